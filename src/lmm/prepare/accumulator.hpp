// Products accumulated batch after batch in memory: what reading a large source in
// batches adds to, one record of blocks per group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "lmm/prepare/pages.hpp"
#include "lmm/prepare/products.hpp"

namespace qk {

// A std::allocator that aligns to cache lines: the records of a reduction start on a
// line, so that each record covers whole lines.
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
  // m records, on zero pages: grown without copying, and a record never written
  // (groups added ahead of need) takes no memory.
  ZeroPages records;
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

// The accumulated products as accumulated_products gives them with `order`, taken
// out of acc: the records are put in that order in place and handed back to the
// system as they are copied, so that memory at the peak is about the records' rather
// than the records' and the products' together. `order` must be a permutation of
// 0..k-1 for some k <= acc.m (else the products are copied as accumulated_products
// copies them). acc holds no group afterwards (m = 0), also when the call fails: the
// records are moved before the products are allocated, so the products are then lost.
Products take_products(Accumulator& acc, const std::vector<std::uint64_t>& order);

// The doubles of one group's record, whole 64-byte lines: Z_i'Z_i (left out when
// with_ztz is false), Z_i'X_i, Z_i'y_i and the row count.
std::uint64_t record_stride(std::uint64_t p, std::uint64_t q, bool with_ztz = true);

}  // namespace qk
