// The prepared design: everything a model keeps about its rows, reduced once to
// global fixed-effect products and per-group cross-products. No evaluator reads the
// rows again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
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

// Pool of reusable work buffers of the "blocks" evaluator (at most 4 kept).
class ScratchPool {
 public:
  std::vector<double> take(std::size_t len);
  void give_back(std::vector<double> buf);
  std::size_t size();

 private:
  std::mutex mutex_;
  std::vector<std::vector<double>> buffers_;
};

struct LmmData {
  std::vector<double> xtx;   // p x p, full symmetric
  std::vector<double> xty;   // p
  std::vector<double> ztz;   // m blocks q x q, full symmetric
  std::vector<double> ztx;   // m blocks q x p
  std::vector<double> zty;   // m blocks q
  ThetaIndex theta_index;
  std::optional<Classes> classes;
  std::uint64_t n = 0, p = 0, q = 0, m = 0;
  double yty = 0.0;
  mutable ScratchPool scratch;
  std::uint64_t codes_fingerprint = 0;
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
};

// X'X (full symmetric; zeros unless with_xtx), X'y and y'y, chunked over rows and
// reduced in chunk order.
FixedProducts fixed_products(const double* y, const double* x, std::uint64_t n, std::uint64_t p,
                             bool with_xtx);

std::uint64_t codes_fingerprint(const std::int64_t* codes, std::uint64_t n);

// Builds the prepared design; returns the error text for a group code out of range.
std::variant<std::unique_ptr<LmmData>, std::string> from_rows(const Rows& rows, std::uint64_t m,
                                                              std::uint8_t evaluator);

// The same design with a new response (x, z and codes must be the ones the design
// was built from). Returns the caller-error text on a mismatch.
std::variant<std::unique_ptr<LmmData>, std::string> with_response(const LmmData& data,
                                                                  const Rows& rows);

}  // namespace qk
