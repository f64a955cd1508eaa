// The accumulator of products: batches of rows added to every group's record in
// row order, and the accumulated products as a value.
#include "lmm/prepare/accumulator.hpp"

#include <algorithm>

#include "linalg/dense.hpp"
#include "lmm/prepare/cost.hpp"
#include "pool/pool.hpp"

namespace qk {

std::uint64_t record_stride(std::uint64_t p, std::uint64_t q, bool with_ztz) {
  const std::uint64_t used = size_mul(q, (with_ztz ? q : 0) + p + 1) + 1, line = 64 / sizeof(double);
  return (used + line - 1) / line * line;
}

Accumulator empty_accumulator(std::uint64_t m, std::uint64_t p, std::uint64_t q, const Shift& shift, bool weighted,
                              std::vector<std::uint64_t> z_in_x) {
  Accumulator acc;
  acc.p = p;
  acc.q = q;
  for (std::uint64_t k : z_in_x)
    if (k >= p || shift.x.size() != p || shift.x[k] != 0.0) z_in_x.clear();
  if (z_in_x.size() == q) acc.z_in_x = std::move(z_in_x);
  acc.stride = record_stride(p, q, acc.z_in_x.empty());
  acc.weighted = weighted;
  acc.xtx.assign(p * p, 0.0);
  acc.xty.assign(p, 0.0);
  acc.shift = shift;
  grow_accumulator(acc, m);
  return acc;
}

void grow_accumulator(Accumulator& acc, std::uint64_t m) {
  if (m <= acc.m) return;
  acc.records.grow(size_mul(m, acc.stride));
  acc.m = m;
}

// The codes are checked on one thread while the others sum the fixed products;
// nothing is added before both have passed, so a refusal leaves acc as it was.
std::optional<std::string> accumulate_rows(Accumulator& acc, const Rows& rows) {
  if (rows.p != acc.p || rows.q != acc.q)
    return "the rows have " + std::to_string(rows.p) + " fixed and " + std::to_string(rows.q) +
           " random columns; the products have " + std::to_string(acc.p) + " and " + std::to_string(acc.q);
  std::uint64_t total;
  if (__builtin_add_overflow(acc.n, rows.n, &total)) return std::string("the row count overflows");
  if (acc.weighted != (rows.w != nullptr))
    return std::string(acc.weighted ? "the products are weighted: every batch needs its weights"
                                    : "the products are unweighted: a batch cannot bring weights");
  const std::uint64_t n = rows.n, m = acc.m, p = acc.p, q = acc.q;
  std::optional<std::string> code_error;
  const bool ztz_kept = acc.z_in_x.empty();
  auto check_codes = [&] {
    // Z'Z read from Z'X needs z's columns to be those columns of x, bit for bit (a
    // NaN never equals itself: rows hold none by now).
    for (std::uint64_t a = 0; !ztz_kept && a < q; ++a) {
      const std::uint64_t k = acc.z_in_x[a];
      bool same = true;
      for (std::uint64_t r = 0; r < n; ++r) same &= rows.z[r * q + a] == rows.x[r * p + k];
      if (!same) {
        code_error = "column " + std::to_string(a) + " of z differs from column " + std::to_string(k) +
                     " of x, which the products were told it is";
        return;
      }
    }
    // Out of range as unsigned: a negative code is far above m. No early exit, so
    // the loop vectorises; the offender is looked for only when there is one.
    std::uint64_t worst = 0;
    for (std::uint64_t r = 0; r < n; ++r) worst = std::max(worst, static_cast<std::uint64_t>(rows.codes[r]));
    if (n == 0 || worst < m) return;
    for (std::uint64_t r = 0; r < n; ++r)
      if (rows.codes[r] < 0 || static_cast<std::uint64_t>(rows.codes[r]) >= m) {
        code_error = bad_code(rows.codes[r], m);
        return;
      }
  };
  std::optional<FixedProducts> fp = fixed_products(rows, true, acc.shift, check_codes, false);
  if (code_error) return code_error;
  if (!fp)
    return "column " + std::to_string(acc.shift.column) +
           " of x (the shift's constant column) does not hold its value in every row: reduce every batch "
           "with a shift whose constant column is constant in all of them, or with none";
  if (rows.w && fp->weights.first_bad < n) return bad_weight(rows, fp->weights.first_bad);
  // Each task owns a range of groups and adds, in row order, the rows of its own:
  // which task adds a group's rows never changes the order of its sums.
  const std::uint64_t tasks =
      work_is_large(n, group_row_cost(p, q)) && pool_threads() > 1 ? std::min<std::uint64_t>(pool_threads(), m) : 1;
  std::vector<std::uint64_t> added(tasks, 0);
  double* rec = acc.records.data();
  const std::uint64_t zz = ztz_kept ? q * q : 0;
  const BlockStore store{ztz_kept ? rec : nullptr, rec + zz,           rec + zz + q * p, acc.stride, acc.stride,
                         acc.stride,                rec + zz + q * p + q};
  const bool shift_x = acc.shift.shifts_x();
  check_interrupt();
  run_tasks(tasks, true, [&](std::size_t k) {
    added[k] = add_rows_by_code(rows, acc.shift, shift_x, 0, n, m * k / tasks, m * (k + 1) / tasks, store);
  });
  std::uint64_t sum = 0;
  for (std::uint64_t a : added) sum += a;
  if (sum != n) return std::string("the group codes changed while the rows were added; the products are spoilt");
  for (std::uint64_t i = 0; i < p * p; ++i) acc.xtx[i] = acc.xtx[i] + fp->xtx[i];
  for (std::uint64_t j = 0; j < p; ++j) acc.xty[j] = acc.xty[j] + fp->xty[j];
  acc.yty = acc.yty + fp->yty;
  if (rows.w) acc.log_weights = acc.log_weights + fp->weights.log_sum();
  acc.n = total;
  return std::nullopt;
}

namespace {

// Products of m groups (their blocks sized, not yet filled) with acc's sums; with
// `fill`, the blocks sized and zeroed now (else reserved, to be appended to).
Products products_frame(const Accumulator& acc, std::uint64_t m, bool fill) {
  const std::uint64_t p = acc.p, q = acc.q;
  Products d;
  copy_fixed_sums(d, acc);
  d.q = q;
  d.m = m;
  const std::uint64_t zz = size_mul(size_mul(m, q), q), zx = size_mul(size_mul(m, q), p), zy = size_mul(m, q);
  if (fill) {
    d.ztz.resize(zz);
    d.ztx.resize(zx);
    d.zty.resize(zy);
    d.counts.resize(m);
  } else {  // reserved pages are not resident until written
    d.ztz.reserve(zz);
    d.ztx.reserve(zx);
    d.zty.reserve(zy);
    d.counts.reserve(m);
  }
  return d;
}

// The blocks of the record r as group g of d (whose blocks hold at least g + 1 groups).
void copy_record(const Accumulator& acc, const double* r, Products& d, std::uint64_t g) {
  const std::uint64_t p = acc.p, q = acc.q;
  const bool ztz_kept = acc.z_in_x.empty();
  const std::uint64_t zz = ztz_kept ? q * q : 0;
  double* tz = &d.ztz[g * q * q];
  if (ztz_kept) {
    std::copy_n(r, q * q, tz);
  } else {
    for (std::uint64_t a = 0; a < q; ++a)
      for (std::uint64_t b = a; b < q; ++b) tz[a * q + b] = r[a * p + acc.z_in_x[b]];
  }
  mirror_upper(tz, q);
  std::copy_n(r + zz, q * p, &d.ztx[g * q * p]);
  std::copy_n(r + zz + q * p, q, &d.zty[g * q]);
  d.counts[g] = static_cast<std::uint64_t>(r[zz + q * p + q]);
}

// Whether order is a permutation of 0..order.size()-1.
bool is_permutation(const std::vector<std::uint64_t>& order) {
  std::vector<bool> seen(order.size(), false);
  for (std::uint64_t g : order) {
    if (g >= order.size() || seen[g]) return false;
    seen[g] = true;
  }
  return true;
}

}  // namespace

Products accumulated_products(const Accumulator& acc, const std::vector<std::uint64_t>* order) {
  const std::uint64_t m = order ? order->size() : acc.m, s = acc.stride;
  Products d = products_frame(acc, m, true);
  for (std::uint64_t g = 0; g < m; ++g) copy_record(acc, acc.records.data() + (order ? (*order)[g] : g) * s, d, g);
  return d;
}

Products take_products(Accumulator& acc, const std::vector<std::uint64_t>& order) {
  const std::uint64_t k = order.size(), s = acc.stride, p = acc.p, q = acc.q;
  if (k > acc.m || !is_permutation(order)) {
    Products d = accumulated_products(acc, &order);
    acc.records.clear();
    acc.m = 0;
    return d;
  }
  // Record j takes record order[j], cycle by cycle (Knuth, TAOCP vol. 1, 1.3.3,
  // exercise 12): each record is moved once, one record held aside per cycle.
  double* rec = acc.records.data();
  std::vector<double> aside(s);
  std::vector<bool> placed(k, false);
  for (std::uint64_t i = 0; i < k; ++i) {
    if (placed[i]) continue;
    std::copy_n(rec + i * s, s, aside.data());
    for (std::uint64_t j = i;;) {
      placed[j] = true;
      const std::uint64_t from = order[j];
      if (from == i) {
        std::copy_n(aside.data(), s, rec + j * s);
        break;
      }
      std::copy_n(rec + from * s, s, rec + j * s);
      j = from;
    }
  }
  // The products grow as the records they are copied from are handed back, a run of
  // groups at a time. From the first move on, the records are neither in their order
  // nor whole: a failure (out of memory) leaves acc empty, as success does, never
  // holding records that are no longer the groups' products.
  try {
    Products d = products_frame(acc, k, false);
    const std::uint64_t run = 1 << 14;
    for (std::uint64_t g0 = 0; g0 < k; g0 += run) {
      const std::uint64_t g1 = std::min(k, g0 + run);
      d.ztz.resize(g1 * q * q);
      d.ztx.resize(g1 * q * p);
      d.zty.resize(g1 * q);
      d.counts.resize(g1);
      for (std::uint64_t g = g0; g < g1; ++g) copy_record(acc, rec + g * s, d, g);
      acc.records.release(g0 * s, g1 * s);
    }
    acc.records.clear();
    acc.m = 0;
    return d;
  } catch (...) {
    acc.records.clear();
    acc.m = 0;
    throw;
  }
}

}  // namespace qk
