// The rows of a model and the passes that reduce them to cross-products: the global
// fixed-effect products of a chunk of rows, and a run of rows of one group added to
// that group's blocks. Construction (reduce.cpp) runs them over the whole data.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace qk {

// Flat row-major views of the rows of a model. `w`, when given, holds the prior
// weights (residual variance sigma^2 / w_r for row r): every product is then the
// weighted one, X'WX, X'Wy, y'Wy, Z_i'W_iZ_i, Z_i'W_iX_i, Z_i'W_iy_i, formed by
// multiplying one factor of each product by w_r, so that weights of exactly 1.0 give
// the unweighted products to the bit.
struct Rows {
  const double* y;
  const double* x;
  const double* z;
  const std::int64_t* codes;
  std::uint64_t n, p, q;
  const double* w = nullptr;
};

struct Shift;

// What the fixed pass finds in the weights of its rows: their checksum, the first
// row whose weight is not finite and positive, and the product of the others as a
// mantissa in [0.5, 1) (1.0 for none) times 2^exponent, which no number of rows
// overflows or underflows. Scans of consecutive chunks are merged in chunk order;
// merging a chunk into an empty scan gives the chunk's scan, so the serial and the
// parallel pass, which merge the same chunks in the same order, get the same bits.
struct WeightScan {
  double mantissa = 1.0;
  std::int64_t exponent = 0;
  std::uint64_t first_bad = ~std::uint64_t{0};
  std::uint64_t checksum = 0;

  void merge(const WeightScan& other);
  // sum_r log w_r over the rows scanned (their valid weights).
  double log_sum() const;
};

// What one chunk of the fixed pass finds besides the sums: the checksums of x and z
// over its rows, and whether the shift's constant column held its value in each.
struct FixedScan {
  std::uint64_t xsum = 0, zsum = 0;
  bool constant = true;
  WeightScan weights;  // untouched without weights
};

struct FixedProducts {
  std::vector<double> xtx;
  std::vector<double> xty;
  double yty;
  std::uint64_t x_fingerprint, z_fingerprint;
  WeightScan weights;
};

// X'X (full symmetric; zeros unless with_xtx), X'y and y'y of the shifted (and
// weighted) rows, chunked over rows and reduced in chunk order, the fingerprints of x
// and z and the scan of the weights.
// Nothing when the shift's constant column is not constant. `beside`, when given, is
// run as one more task on the pool while the chunks run (serial work of the caller's
// that the other threads need not wait for).
// Without `fingerprints` the checksums of x and z are not taken (left 0): rows that are
// only added to products need none.
std::optional<FixedProducts> fixed_products(const Rows& rows, bool with_xtx, const Shift& shift,
                                            const std::function<void()>& beside = {}, bool fingerprints = true);

// The fixed-effect partial sums of rows [b, e) (upper triangle of X'X when with_xtx,
// X'y, y'y) added into xtx, xty and yty, the check of the shift's constant column, the
// checksums of x and z and the chunk's weights scan, into scan. xs holds p doubles of
// scratch.
void fixed_chunk(const Rows& rows, std::uint64_t b, std::uint64_t e, bool with_xtx, const Shift& shift,
                 double* xs, double* xtx, double* xty, double& yty, FixedScan& scan, bool fingerprints = true);

// Adds rows [begin, end) of one group to its blocks (upper triangle of Z'Z, Z'X, Z'y,
// weighted when the rows are):
// the rows themselves (rows sorted by group) or, with `order`, the rows order[begin..
// end). shift_x is shift.shifts_x(), found once by the caller (runs may be single
// rows). xs holds p doubles of scratch.
void add_group_run(const Rows& rows, const Shift& shift, bool shift_x, const std::uint64_t* order,
                   std::uint64_t begin, std::uint64_t end, double* ztz, double* ztx, double* zty, double* xs);

// Adds every row of [b, e) whose group code lies in [lo, hi) to its group's blocks
// (upper triangle of Z'Z, Z'X, Z'y at the code's offset in the m-group arrays), in
// row order, and counts it in counts[code] when counts is given; rows of other codes
// (other tasks' groups, or codes out of range) are skipped. Returns the number of
// rows added. Every block entry receives the same products in the same order as
// add_group_run gives it for the group's rows, so the two are interchangeable bit for
// bit. For rows in random group order: the blocks of rows a little ahead are
// prefetched, so the cache misses of the scattered blocks overlap.
std::uint64_t add_rows_by_code(const Rows& rows, const Shift& shift, bool shift_x, std::uint64_t b, std::uint64_t e,
                               std::uint64_t lo, std::uint64_t hi, double* ztz, double* ztx, double* zty,
                               std::uint64_t* counts);

// Where the blocks of group g lie: Z'Z at ztz + g * stride_z (q x q), Z'X at
// ztx + g * stride_x (q x p), Z'y at zty + g * stride_y (q), and, when `count` is
// given, its row count (a double, exact below 2^53) at count + g * stride_z. Separate
// arrays have strides q^2, qp and q; an accumulator keeps each group's blocks and
// count together in one record (every stride the record's size). Without ztz Z'Z is
// not kept (stride_z still spaces the counts).
struct BlockStore {
  double* ztz;
  double* ztx;
  double* zty;
  std::uint64_t stride_z, stride_x, stride_y;
  double* count = nullptr;
};

// add_rows_by_code into the blocks (and counts) of `store`.
std::uint64_t add_rows_by_code(const Rows& rows, const Shift& shift, bool shift_x, std::uint64_t b, std::uint64_t e,
                               std::uint64_t lo, std::uint64_t hi, const BlockStore& store);

}  // namespace qk
