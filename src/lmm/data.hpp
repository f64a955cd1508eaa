// The prepared design: everything a model keeps about its rows, reduced once to
// global fixed-effect products and per-group cross-products. No evaluator reads the
// rows again.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "lmm/theta.hpp"

namespace qk {

enum Evaluator : std::uint8_t {
  kBlocks = 0,
  kStreaming = 1,
  kAggregated = 2,
  kAuto = 255,  // only while parsing; construction resolves it to kBlocks or kAggregated
};

inline constexpr std::uint64_t kUnlimitedClasses = ~std::uint64_t{0};

// a * b for a buffer size; a product that does not fit is reported as exhausted
// memory (std::length_error) instead of wrapping into a short buffer.
inline std::uint64_t size_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw std::length_error("buffer size overflows");
  return r;
}

// Groups whose Z_i'Z_i have bitwise identical lower triangles, merged into classes
// with their summed outer products, so that one factorisation serves all members.
struct Classes {
  std::vector<double> counts;       // member groups per class (exact integers)
  std::vector<double> ztz;          // per class: Z'Z of its first member (q x q)
  // Per class, q*q blocks (a, b) of (p+1) x (p+1): upper triangle (s >= r) holds
  // sum over members of w_a[r] * w_b[s], w_a = row a of [Z_i'X_i | Z_i'y_i].
  std::vector<double> cross_sums;
  std::vector<std::uint32_t> assignment;  // class id of each group
  std::uint64_t n_classes = 0;

  // Forms the classes in order of first appearance. With a finite class_limit it
  // declines (returns nothing) once the classes stop paying off.
  static std::optional<Classes> build(std::uint64_t q, std::uint64_t p, std::uint64_t m,
                                      const std::vector<double>& ztz,
                                      const std::vector<double>& ztx,
                                      const std::vector<double>& zty,
                                      std::uint64_t class_limit);

  // The per-class sums for a known assignment; representatives[c] is the lowest
  // group of class c.
  static Classes with_assignment(std::uint64_t q, std::uint64_t p,
                                 const std::vector<double>& ztz,
                                 const std::vector<double>& ztx,
                                 const std::vector<double>& zty,
                                 std::vector<std::uint32_t> assignment,
                                 const std::vector<std::uint64_t>& representatives,
                                 std::uint64_t n_classes);
};

// Pool of reusable work buffers of the "blocks" evaluator (at most 4 kept). It holds
// no lock: a process forked while another thread had taken or was returning a
// buffer finds nothing to wait for in the child, and returning a buffer allocates
// nothing, so it cannot fail in the destructor that does it.
class ScratchPool {
 public:
  using Buffer = std::unique_ptr<std::vector<double>>;

  ScratchPool() = default;
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;
  ~ScratchPool();

  // A kept buffer of `len` doubles as it was left, else a new one of zeros.
  Buffer take(std::size_t len);
  // Keeps buf when a slot is free, else frees it.
  void give_back(Buffer buf) noexcept;
  std::size_t size() const;

 private:
  std::atomic<std::vector<double>*> slots_[4] = {};
};

// How the rows were shifted before their products were accumulated.
//
// The reduced form subtracts large sums of squares, so the products of raw rows lose
// about 2 log10(|mean| / sd) digits to cancellation. When a column k of X is
// constant and non-zero (X holds an intercept), construction instead accumulates
// the products of y - y and of every other column j of X minus x[j] (Z is never
// shifted). With a the value of column k and T = I - e_k x'/a, the shifted X is X T
// and the shifted y is y - X e_k y / a, so this is an exact reparameterisation:
// theta, the criterion, its derivatives, sigma and every slope are unchanged, and
// the intercept and Cov(beta) are mapped back as beta = T beta~ + e_k y / a,
// Cov(beta) = T Cov(beta~) T'. Column k is found in 63 rows spread over the data
// and checked in every row; the centres are the medians of 5 rows spread over the
// data (one of the values: a constant is centred to exactly zero). A column of X
// whose values straddle zero (its centre is within the range of the 63 rows) is not
// centred: it loses at most about one digit, and needs no subtraction per row. Column
// k keeps a, so X~'X~ holds the shifted columns' sums, and products accumulated with
// other centres can be re-centred from these.
struct Shift {
  std::vector<double> x;     // per column of X; 0.0 for column k, all 0.0 without one
  double y = 0.0;            // the response's centre (0.0 without a constant column)
  std::int64_t column = -1;  // k, or -1 when X has no constant column: rows used as given
  double value = 0.0;        // a

  bool active() const { return column >= 0; }
  // Whether any column of X is centred.
  bool shifts_x() const {
    for (double c : x)
      if (c != 0.0) return true;
    return false;
  }
};

struct LmmData {
  std::vector<double> xtx;   // p x p, full symmetric
  std::vector<double> xty;   // p
  std::vector<double> ztz;   // m blocks q x q, full symmetric
  std::vector<double> ztx;   // m blocks q x p
  std::vector<double> zty;   // m blocks q
  ThetaIndex theta_index;
  std::optional<Classes> classes;
  Shift shift;               // every product above is of the shifted rows
  std::uint64_t n = 0, p = 0, q = 0, m = 0;
  double yty = 0.0;
  mutable ScratchPool scratch;
  std::uint64_t codes_fingerprint = 0;
  std::uint64_t x_fingerprint = 0;  // of the bits of x and z as given, by row and column
  std::uint64_t z_fingerprint = 0;
  // The fixed effects alone fit the (shifted) response exactly, to rounding: every
  // theta is infeasible (the residual sum of squares is zero), whatever the kernel.
  bool exact_fit = false;
  std::uint8_t evaluator = kBlocks;

  // The kernel in use: aggregated only when classes exist.
  std::uint8_t kernel() const {
    if (evaluator == kAggregated && !classes) return kBlocks;
    return evaluator;
  }
};

// Flat row-major views of the rows of a model.
struct Rows {
  const double* y;
  const double* x;
  const double* z;
  const std::int64_t* codes;
  std::uint64_t n, p, q;
};

struct FixedProducts {
  std::vector<double> xtx;
  std::vector<double> xty;
  double yty;
  std::uint64_t x_fingerprint, z_fingerprint;
};

// X'X (full symmetric; zeros unless with_xtx), X'y and y'y of the shifted rows,
// chunked over rows and reduced in chunk order, and the fingerprints of x and z.
// Nothing when the shift's constant column is not constant. `beside`, when given, is
// run as one more task on the pool while the chunks run (serial work of the caller's
// that the other threads need not wait for).
std::optional<FixedProducts> fixed_products(const Rows& rows, bool with_xtx, const Shift& shift,
                                            const std::function<void()>& beside = {});

std::uint64_t codes_fingerprint(const std::int64_t* codes, std::uint64_t n);

// The checksum behind the fingerprints of x and z over the len values v[0..len) at
// flat positions first.. of an array: a sum of one term per position, so the sums of
// the parts of a split array add up to that of the whole (see data.cpp).
std::uint64_t checksum_range(const double* v, std::uint64_t first, std::uint64_t len);

// The fingerprint of a row-major n x k array of values as given: a checksum of the
// values' bits keyed by their positions (see checksum_range in data.cpp).
std::uint64_t rows_fingerprint(const double* v, std::uint64_t n, std::uint64_t k);

// The shift construction picks for these rows (nothing shifted without a constant
// column of X).
Shift choose_shift(const Rows& rows);

// The centre of a response for an existing shift: its median over the sampled rows
// when the shift is active, else 0.0.
double response_centre(const Shift& shift, const double* y, std::uint64_t n);

// Whether y's least-squares fit on X leaves a residual sum of squares that is zero
// to rounding (from the products alone).
bool fits_exactly(const LmmData& data);

// Builds the prepared design; returns the error text for a group code out of range.
std::variant<std::unique_ptr<LmmData>, std::string> from_rows(const Rows& rows, std::uint64_t m,
                                                              std::uint8_t evaluator);

// The same design with a new response (x, z and codes must be the ones the design
// was built from; they are checked against the design's fingerprints). Returns the
// caller-error text on a mismatch.
std::variant<std::unique_ptr<LmmData>, std::string> with_response(const LmmData& data,
                                                                  const Rows& rows);

}  // namespace qk
