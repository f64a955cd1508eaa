// The products of rows as a value: what a batch of rows reduces to (the global
// fixed-effect products, every group's blocks and its row count, and the shift they
// were accumulated with), the merge of two such values and the prepared design built
// from them. Every evaluator reads only these products, so a model whose rows never
// fit in memory at once (read in batches, or spread over the partitions of a cluster)
// is the model of its merged products.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "lmm/data.hpp"

namespace qk {

struct Products {
  std::uint64_t n = 0, p = 0, q = 0, m = 0;
  std::vector<double> xtx;             // p x p, full symmetric
  std::vector<double> xty;             // p
  double yty = 0.0;
  std::vector<double> ztz;             // m blocks q x q, full symmetric
  std::vector<double> ztx;             // m blocks q x p
  std::vector<double> zty;             // m blocks q
  std::vector<std::uint64_t> counts;   // rows per group
  Shift shift;                         // every product above is of the shifted rows
  // Prior weights: whether the products above are the weighted ones (see Rows), and
  // sum log w over the rows (the criterion's constant; 0.0 without weights). Products
  // of weighted and unweighted rows never mix.
  bool weighted = false;
  double log_weights = 0.0;
};

// What reducing rows yields besides the products: the fingerprints of the rows (the
// codes' is a sequential fold, meaningful for one whole array only; the checksums
// of x and z are keyed by positions counted from the batch's first row).
struct Reduced {
  Products products;
  std::uint64_t codes_fingerprint = 0, x_fingerprint = 0, z_fingerprint = 0;
  WeightScan weights;  // of the batch's weights (untouched without)
};

// The products of rows with group codes in 0..m-1, accumulated with `shift`: every
// batch of one model must use the same shift (products of different shifts cannot be
// added), so it is chosen once (choose_shift on a first batch, or Shift{} with x of
// size p for rows as given) and passed to every batch. Each group's rows are added in
// row order, so the blocks of one batch are bit-identical for any thread count and to
// those of the same rows in a whole-data pass. With weights (rows.w) the products are
// the weighted ones. Errors: a weight that is not finite and positive (the text
// names the row); a code out of range; a shift of
// another width; a shift whose constant column does not hold its value in every row
// (its text names the column); the codes changing while they are read.
std::variant<Reduced, std::string> reduce_rows(const Rows& rows, std::uint64_t m, const Shift& shift);

// A std::allocator that aligns to cache lines: the records of an accumulator start
// on a line, so that each record covers whole lines.
template <class T>
struct LineAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlign{64};
  LineAllocator() = default;
  template <class U>
  LineAllocator(const LineAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, kAlign); }
  template <class U>
  bool operator==(const LineAllocator<U>&) const noexcept { return true; }
};

// Products being accumulated batch after batch (what reading a large source in
// batches adds to). Each group's blocks are kept together in one record of `stride`
// doubles, whole 64-byte lines: Z_i'Z_i (q x q, upper triangle filled), then Z_i'X_i
// (q x p), then Z_i'y_i (q), then the group's row count (a double, exact below 2^53).
// Rows of a large source come in random group order, and adding a row then touches
// adjacent lines of one record rather than lines of four arrays far apart.
// accumulated_products gives the products as a value.
//
// When every column of z is a column of x (z_in_x[a] = k: z's column a is x's column
// k, whose centre is 0) Z_i'Z_i is not kept: its entries are those of Z_i'X_i, the
// same products added in the same order (za * zb against za * x_k with x_k = zb), so
// they are read from there, bit for bit, and a record is q^2 doubles shorter (p = 6,
// q = 2: two lines rather than three, a third less memory traffic for each row).
struct Accumulator {
  std::uint64_t n = 0, p = 0, q = 0, m = 0, stride = 0;
  std::vector<std::uint64_t> z_in_x;  // empty: Z'Z kept
  std::vector<double> xtx;  // p x p, full symmetric
  std::vector<double> xty;
  double yty = 0.0;
  std::vector<double, LineAllocator<double>> records;  // m records
  Shift shift;
  bool weighted = false;
  double log_weights = 0.0;
};

// An accumulator of no rows for m groups, p fixed and q random columns, accumulated
// with shift (its x of size p), weighted or not; with z_in_x (q entries below p, see
// Accumulator) every batch's z must equal those columns of its x, bit for bit. A
// z_in_x naming a column the shift centres is dropped (Z'Z is then kept).
Accumulator empty_accumulator(std::uint64_t m, std::uint64_t p, std::uint64_t q, const Shift& shift,
                              bool weighted = false, std::vector<std::uint64_t> z_in_x = {});

// Adds a batch of rows (codes in 0..acc.m-1) to an accumulator: each group's rows
// are added to its blocks in row order, so a sequence of batches leaves every block
// bit-identical to one pass over all their rows in that order (reduce_rows' blocks,
// for any thread count); the batch's fixed products are summed as reduce_rows sums
// them and then added. The work of a batch is of its rows, not of the groups. On an
// error (a code out of range, the shift's constant column not constant, weights
// missing from a weighted accumulator or given to an unweighted one, a weight that is
// not finite and positive) acc is unchanged; only codes changed by another thread
// while they are read can leave it part-added (the error says so).
std::optional<std::string> accumulate_rows(Accumulator& acc, const Rows& rows);

// Adds groups without rows up to m groups (codes of groups met later).
void grow_accumulator(Accumulator& acc, std::uint64_t m);

// The accumulated products as a value (blocks full symmetric); with `order` (group
// numbers below acc.m), the groups order[0], order[1], ... only, in that order (an
// exact permutation or selection of the groups). Products whose groups are not all
// taken are not those of the rows: their counts add up to less than n.
Products accumulated_products(const Accumulator& acc, const std::vector<std::uint64_t>* order = nullptr);

// Adds b into a, group by group (a's blocks + b's, in that order, so a fixed order of
// merges gives fixed bits). Refused, with a unchanged: other dimensions or group
// count, another shift (bit for bit), or weighted with unweighted products.
std::optional<std::string> merge_products(Products& a, const Products& b);

// Why the products cannot be those of any rows, or nothing: sizes that disagree with
// n, p, q and m; row counts that do not add up to n; a group without rows whose blocks
// are not zero; blocks or X'X that are not symmetric; values that are not finite;
// negative diagonals; a shift that is not one construction could have used; a
// weights' constant that is not finite, or not zero without weights.
std::optional<std::string> check_products(const Products& pr);

// The prepared design of checked products (check_products first; its text on
// failure). Such a design holds no fingerprints of rows (rows_known is false):
// with_response refuses it, since it cannot tell whether arrays are the model's.
std::variant<std::unique_ptr<LmmData>, std::string> from_products(Products pr, Evaluator evaluator);

}  // namespace qk
