// Reducing rows to their products (the row passes on the pool), merging products and
// checking them, and the prepared design built from products.
#include "lmm/products.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

#include "linalg/dense.hpp"
#include "lmm/cost.hpp"
#include "lmm/fingerprint.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

std::string bad_code(std::int64_t code, std::uint64_t m) {
  return "group code " + std::to_string(code) + " out of range 0.." + std::to_string(m);
}

std::uint64_t record_stride(std::uint64_t p, std::uint64_t q, bool with_ztz = true) {
  const std::uint64_t used = size_mul(q, (with_ztz ? q : 0) + p + 1) + 1, line = 64 / sizeof(double);
  return (used + line - 1) / line * line;
}

const std::string kCodesChanged = "the group codes changed while the design was being prepared";

std::string bad_weight(const Rows& rows, std::uint64_t r) {
  char value[32];
  std::snprintf(value, sizeof value, "%.17g", rows.w[r]);
  return "weights[" + std::to_string(r) + "] is " + value + ": weights must be finite and positive";
}

// How a pass ended: finished, stopped by an error (the text), or the shift's constant
// column turned out not to be constant (the products are then of no use).
struct PassEnd {
  std::optional<std::string> error;
  bool not_constant = false;
};

// The serial pass: one pass over the rows, in the row chunks of fixed_products so that
// the global sums come out bit-identical to the parallel path.
PassEnd serial_pass(const Rows& rows, std::uint64_t m, Reduced& out) {
  Products& d = out.products;
  const std::uint64_t n = rows.n, p = rows.p, q = rows.q;
  const Shift& shift = d.shift;
  ChunkPlan plan = plan_chunks(n, fixed_row_cost(p));
  std::vector<double> xtx(p * p), xty(p), xs(p), bxtx(p * p, 0.0), bxty(p, 0.0);
  double byty = 0.0;
  std::uint64_t h = n;
  FixedScan scan;
  const bool shift_x = shift.shifts_x();
  for (std::uint64_t k = 0; k < plan.count; ++k) {
    check_interrupt();
    std::fill(xtx.begin(), xtx.end(), 0.0);
    std::fill(xty.begin(), xty.end(), 0.0);
    double yty = 0.0;
    fixed_chunk(rows, plan.begin(k), plan.end(k), true, shift, xs.data(), xtx.data(), xty.data(), yty, scan);
    if (!scan.constant) return {std::nullopt, true};
    // Codes out of range are skipped where they would index (another thread may
    // change the array meanwhile); a shortfall then names the first one.
    const std::uint64_t b = plan.begin(k), e = plan.end(k);
    bool runs = true;
    for (std::uint64_t r = b; r < e; ++r) {
      h = fold(h, static_cast<std::uint64_t>(rows.codes[r]));
      runs = runs && static_cast<std::uint64_t>(rows.codes[r]) < m && (r == b || rows.codes[r] >= rows.codes[r - 1]);
    }
    if (runs) {
      // Rows sorted by group within the chunk: each run of a group's rows is added at
      // once (the sums held in registers), bit for bit as row by row.
      for (std::uint64_t r0 = b, r1; r0 < e; r0 = r1) {
        const std::uint64_t g = static_cast<std::uint64_t>(rows.codes[r0]);
        if (g >= m) return {kCodesChanged};
        for (r1 = r0 + 1; r1 < e && static_cast<std::uint64_t>(rows.codes[r1]) == g;) ++r1;
        add_group_run(rows, shift, shift_x, nullptr, r0, r1, &d.ztz[g * q * q], d.ztx.data() + g * q * p,
                      &d.zty[g * q], xs.data());
        d.counts[g] += r1 - r0;
      }
    } else if (add_rows_by_code(rows, shift, shift_x, b, e, 0, m, d.ztz.data(), d.ztx.data(), d.zty.data(),
                                d.counts.data()) != e - b) {
      for (std::uint64_t r = b; r < e; ++r) {
        const std::int64_t code = rows.codes[r];
        if (code < 0 || static_cast<std::uint64_t>(code) >= m) return {bad_code(code, m)};
      }
      return {kCodesChanged};
    }
    for (std::uint64_t i = 0; i < p * p; ++i) bxtx[i] = bxtx[i] + xtx[i];
    for (std::uint64_t j = 0; j < p; ++j) bxty[j] = bxty[j] + xty[j];
    byty = byty + yty;
  }
  mirror_upper(bxtx.data(), p);
  d.xtx = std::move(bxtx);
  d.xty = std::move(bxty);
  d.yty = byty;
  out.codes_fingerprint = h;
  out.x_fingerprint = scan.xsum;
  out.z_fingerprint = scan.zsum;
  out.weights = scan.weights;
  return {};
}

// The parallel pass. A serial count of the codes (their check, fingerprint, the row
// count of every group and whether the rows are sorted by group) runs beside the
// fixed products on the rest of the pool. The groups' blocks are then added by tasks
// that each own a range of groups and write only those groups' blocks:
// - rows sorted by group: a task takes whole groups of about one chunk of rows, group
//   g being rows offsets[g]..offsets[g+1];
// - rows in any other order: each of T tasks (T the pool's threads) owns a range of
//   groups holding about n / T rows, scans every code and adds the rows of its own
//   groups in row order, straight from the rows. Unlike a gather through a
//   permutation (counting sort), this reads the rows in order and needs no serial
//   pass to build the permutation; the codes, 8 bytes a row, are read T times.
// Either way every group's rows are added in row order, each group by one task,
// starting from zeros, so every block is bit-identical for any thread count and to
// the serial pass: the cut into ranges decides only which task does the adding, not
// the order of any sum, which is why it may follow the thread count.
PassEnd parallel_pass(const Rows& rows, std::uint64_t m, Reduced& out) {
  Products& d = out.products;
  const std::uint64_t n = rows.n, p = rows.p, q = rows.q;
  std::vector<std::uint64_t> counts(m, 0);
  bool sorted = true;
  std::uint64_t h = n;
  std::optional<std::string> code_error;
  auto count = [&] {
    std::int64_t prev = 0;
    for (std::uint64_t r = 0; r < n; ++r) {
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) {
        code_error = bad_code(code, m);
        return;
      }
      h = fold(h, static_cast<std::uint64_t>(code));
      ++counts[static_cast<std::uint64_t>(code)];
      sorted = sorted && code >= prev;
      prev = code;
    }
  };
  auto fp = fixed_products(rows, true, d.shift, count);
  if (code_error) return {code_error};
  if (!fp) return {std::nullopt, true};
  out.codes_fingerprint = h;
  out.x_fingerprint = fp->x_fingerprint;
  out.z_fingerprint = fp->z_fingerprint;
  out.weights = fp->weights;
  d.xtx = std::move(fp->xtx);
  d.xty = std::move(fp->xty);
  d.yty = fp->yty;
  d.counts = counts;
  std::vector<std::uint64_t> offsets(m + 1, 0);
  for (std::uint64_t g = 0; g < m; ++g) offsets[g + 1] = offsets[g] + counts[g];
  const bool shift_x = d.shift.shifts_x();
  const Shift& shift = d.shift;
  std::vector<std::uint64_t> range_start{0};
  if (sorted) {
    const std::uint64_t t = plan_chunks(n, group_row_cost(p, q)).len;
    for (std::uint64_t s = 0, j = 1; j < m; ++j)
      if (offsets[j] - offsets[s] >= t) {
        range_start.push_back(j);
        s = j;
      }
  } else {
    const std::uint64_t tasks = pool_threads();
    for (std::uint64_t j = 1; j < m && range_start.size() < tasks; ++j)
      if (offsets[j] >= n / tasks * range_start.size()) range_start.push_back(j);
  }
  range_start.push_back(m);
  const std::size_t n_ranges = range_start.size() - 1;
  std::vector<char> changed(n_ranges, 0);
  // Rows in random group order, many to a group, are added into records that keep
  // each group's blocks together (as an accumulator does: the lines a row touches are
  // adjacent), copied out to the blocks by the task that owns the group. With few rows
  // a group the records' own allocation and copy cost more than they save (measured:
  // 10 rows a group, 15% slower; 20 to 100, 15-25% faster).
  const bool in_records = !sorted && n >= 16 * m;
  const std::uint64_t stride = in_records ? record_stride(p, q) : 0;
  std::vector<double, LineAllocator<double>> records(in_records ? size_mul(m, stride) : 0, 0.0);
  check_interrupt();
  run_tasks(n_ranges, true, [&](std::size_t k) {
    std::vector<double> xs(p);
    const std::uint64_t lo = range_start[k], hi = range_start[k + 1];
    if (sorted) {
      for (std::uint64_t g = lo; g < hi; ++g)
        add_group_run(rows, shift, shift_x, nullptr, offsets[g], offsets[g + 1], &d.ztz[g * q * q],
                      d.ztx.data() + g * q * p, &d.zty[g * q], xs.data());
      return;
    }
    // A code another thread changed meanwhile is either in [lo, hi) (and indexes a
    // block of this task) or skipped; the row total then gives it away.
    if (!in_records) {
      const std::uint64_t added =
          add_rows_by_code(rows, shift, shift_x, 0, n, lo, hi, d.ztz.data(), d.ztx.data(), d.zty.data(), nullptr);
      changed[k] = added != offsets[hi] - offsets[lo];
      return;
    }
    double* rec = records.data();
    const BlockStore store{rec, rec + q * q, rec + q * q + q * p, stride, stride, stride};
    const std::uint64_t added = add_rows_by_code(rows, shift, shift_x, 0, n, lo, hi, store);
    changed[k] = added != offsets[hi] - offsets[lo];
    for (std::uint64_t g = lo; g < hi; ++g) {
      const double* r = rec + g * stride;
      std::copy_n(r, q * q, &d.ztz[g * q * q]);
      std::copy_n(r + q * q, q * p, &d.ztx[g * q * p]);
      std::copy_n(r + q * q + q * p, q, &d.zty[g * q]);
    }
  });
  for (char c : changed)
    if (c) return {kCodesChanged};
  return {};
}

// One pass of rows into out's products (all zeros before).
PassEnd reduce_pass(const Rows& rows, std::uint64_t m, Reduced& out) {
  const bool serial = !work_is_large(rows.n, group_row_cost(rows.p, rows.q) + fixed_row_cost(rows.p)) ||
                      pool_threads() < 2;
  PassEnd end = serial ? serial_pass(rows, m, out) : parallel_pass(rows, m, out);
  Products& d = out.products;
  for (std::uint64_t g = 0; g < m; ++g) mirror_upper(&d.ztz[g * d.q * d.q], d.q);
  if (rows.w && !end.error && !end.not_constant) {
    if (out.weights.first_bad < rows.n) return {bad_weight(rows, out.weights.first_bad)};
    d.weighted = true;
    d.log_weights = out.weights.log_sum();
  }
  return end;
}

void start_products(Products& d, const Rows& rows, std::uint64_t m, const Shift& shift) {
  const std::uint64_t p = rows.p, q = rows.q;
  d = Products{};
  d.n = rows.n;
  d.p = p;
  d.q = q;
  d.m = m;
  d.ztz.assign(size_mul(size_mul(m, q), q), 0.0);
  d.ztx.assign(size_mul(size_mul(m, q), p), 0.0);
  d.zty.assign(size_mul(m, q), 0.0);
  d.counts.assign(m, 0);
  d.xtx.assign(p * p, 0.0);
  d.xty.assign(p, 0.0);
  d.shift = shift;
}

// A design holding the products (moved), before finish_design; the fingerprints of
// rows are the caller's to set.
std::unique_ptr<LmmData> design_of(Products&& pr) {
  auto data = std::make_unique<LmmData>();
  data->n = pr.n;
  data->p = pr.p;
  data->q = pr.q;
  data->m = pr.m;
  data->xtx = std::move(pr.xtx);
  data->xty = std::move(pr.xty);
  data->yty = pr.yty;
  data->ztz = std::move(pr.ztz);
  data->ztx = std::move(pr.ztx);
  data->zty = std::move(pr.zty);
  data->shift = std::move(pr.shift);
  data->weighted = pr.weighted;
  data->log_weights = pr.log_weights;
  return data;
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_shift(const Shift& a, const Shift& b) {
  if (a.column != b.column || !same_bits(a.value, b.value) || !same_bits(a.y, b.y) || a.x.size() != b.x.size())
    return false;
  for (std::size_t j = 0; j < a.x.size(); ++j)
    if (!same_bits(a.x[j], b.x[j])) return false;
  return true;
}

}  // namespace

std::variant<Reduced, std::string> reduce_rows(const Rows& rows, std::uint64_t m, const Shift& shift) {
  if (shift.x.size() != rows.p)
    return "the shift has " + std::to_string(shift.x.size()) + " centres of x; x has " + std::to_string(rows.p) +
           " columns";
  Reduced out;
  start_products(out.products, rows, m, shift);
  PassEnd end = reduce_pass(rows, m, out);
  if (end.error) return *end.error;
  if (end.not_constant)
    return "column " + std::to_string(shift.column) +
           " of x (the shift's constant column) does not hold its value in every row: reduce every batch "
           "with a shift whose constant column is constant in all of them, or with none";
  return out;
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
  acc.records.resize(size_mul(m, acc.stride), 0.0);
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

Products accumulated_products(const Accumulator& acc, const std::vector<std::uint64_t>* order) {
  const std::uint64_t m = order ? order->size() : acc.m, p = acc.p, q = acc.q, s = acc.stride;
  Products d;
  d.n = acc.n;
  d.p = p;
  d.q = q;
  d.m = m;
  d.xtx = acc.xtx;
  d.xty = acc.xty;
  d.yty = acc.yty;
  d.ztz.resize(size_mul(size_mul(m, q), q));
  d.ztx.resize(size_mul(size_mul(m, q), p));
  d.zty.resize(size_mul(m, q));
  const bool ztz_kept = acc.z_in_x.empty();
  const std::uint64_t zz = ztz_kept ? q * q : 0;
  d.counts.resize(m);
  for (std::uint64_t g = 0; g < m; ++g) {
    const double* r = acc.records.data() + (order ? (*order)[g] : g) * s;
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
  d.shift = acc.shift;
  d.weighted = acc.weighted;
  d.log_weights = acc.log_weights;
  return d;
}

std::variant<std::unique_ptr<LmmData>, std::string> from_rows(const Rows& rows, std::uint64_t m,
                                                              Evaluator evaluator) {
  Reduced out;
  start_products(out.products, rows, m, choose_shift(rows));
  PassEnd end = reduce_pass(rows, m, out);
  if (!end.error && end.not_constant) {
    // A column constant in the sampled rows but not in all: start again unshifted.
    Shift none;
    none.x.assign(rows.p, 0.0);
    start_products(out.products, rows, m, none);
    end = reduce_pass(rows, m, out);
  }
  if (end.error) return *end.error;
  Products& pr = out.products;
  auto data = design_of(std::move(pr));
  if (rows.w) data->w_fingerprint = out.weights.checksum;
  data->codes_fingerprint = out.codes_fingerprint;
  data->x_fingerprint = out.x_fingerprint;
  data->z_fingerprint = out.z_fingerprint;
  return finish_design(std::move(data), evaluator);
}

std::optional<std::string> merge_products(Products& a, const Products& b) {
  if (a.p != b.p || a.q != b.q)
    return "the products have different model dimensions (p = " + std::to_string(a.p) + ", q = " +
           std::to_string(a.q) + " and p = " + std::to_string(b.p) + ", q = " + std::to_string(b.q) + ")";
  if (a.m != b.m)
    return "the products have different group counts (" + std::to_string(a.m) + " and " + std::to_string(b.m) +
           ")";
  if (a.weighted != b.weighted)
    return std::string("weighted products cannot be merged with unweighted ones");
  if (!same_shift(a.shift, b.shift))
    return std::string("the products were accumulated with different shifts; every batch of a model must be "
                       "reduced with the same shift");
  if (a.xtx.size() != b.xtx.size() || a.xty.size() != b.xty.size() || a.ztz.size() != b.ztz.size() ||
      a.ztx.size() != b.ztx.size() || a.zty.size() != b.zty.size() || a.counts.size() != b.counts.size())
    return std::string("the products' arrays do not match their dimensions");
  if (__builtin_add_overflow(a.n, b.n, &a.n)) return std::string("the merged row count overflows");
  auto add = [](std::vector<double>& x, const std::vector<double>& y) {
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = x[i] + y[i];
  };
  add(a.xtx, b.xtx);
  add(a.xty, b.xty);
  a.yty = a.yty + b.yty;
  add(a.ztz, b.ztz);
  add(a.ztx, b.ztx);
  add(a.zty, b.zty);
  for (std::size_t g = 0; g < a.counts.size(); ++g) a.counts[g] += b.counts[g];
  a.log_weights = a.log_weights + b.log_weights;
  return std::nullopt;
}

std::optional<std::string> check_products(const Products& pr) {
  const std::uint64_t n = pr.n, p = pr.p, q = pr.q, m = pr.m;
  if (p == 0) return std::string("the products have no fixed-effect column (p = 0)");
  if (q == 0) return std::string("the products have no random-effect column (q = 0)");
  if (m == 0) return std::string("the products have no group (m = 0)");
  if (n == 0) return std::string("the products are of no rows (n = 0)");
  std::uint64_t mq, mqq, mqp;
  if (__builtin_mul_overflow(m, q, &mq) || __builtin_mul_overflow(mq, q, &mqq) ||
      __builtin_mul_overflow(mq, p, &mqp))
    return std::string("model dimensions overflow the address space");
  auto size_error = [&](const char* name, std::uint64_t got, std::uint64_t want) -> std::optional<std::string> {
    if (got == want) return std::nullopt;
    return "products: " + std::string(name) + " holds " + std::to_string(got) + " values, " +
           std::to_string(want) + " expected for n = " + std::to_string(n) + ", p = " + std::to_string(p) +
           ", q = " + std::to_string(q) + ", m = " + std::to_string(m);
  };
  if (auto e = size_error("xtx", pr.xtx.size(), p * p)) return e;
  if (auto e = size_error("xty", pr.xty.size(), p)) return e;
  if (auto e = size_error("ztz", pr.ztz.size(), mqq)) return e;
  if (auto e = size_error("ztx", pr.ztx.size(), mqp)) return e;
  if (auto e = size_error("zty", pr.zty.size(), mq)) return e;
  if (auto e = size_error("counts", pr.counts.size(), m)) return e;
  if (auto e = size_error("shift_x", pr.shift.x.size(), p)) return e;
  std::uint64_t total = 0;
  for (std::uint64_t c : pr.counts)
    if (__builtin_add_overflow(total, c, &total)) return std::string("products: the row counts overflow");
  if (total != n)
    return "products: the group row counts add up to " + std::to_string(total) + ", not to n = " +
           std::to_string(n);
  auto all_finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  const char* nonfinite = " holds a value that is not finite";
  if (!std::isfinite(pr.yty)) return "products: yty" + std::string(nonfinite);
  if (!all_finite(pr.xtx)) return "products: xtx" + std::string(nonfinite);
  if (!all_finite(pr.xty)) return "products: xty" + std::string(nonfinite);
  if (!all_finite(pr.ztz)) return "products: ztz" + std::string(nonfinite);
  if (!all_finite(pr.ztx)) return "products: ztx" + std::string(nonfinite);
  if (!all_finite(pr.zty)) return "products: zty" + std::string(nonfinite);
  if (pr.yty < 0.0) return std::string("products: yty is negative");
  for (std::uint64_t j = 0; j < p; ++j) {
    if (pr.xtx[j * p + j] < 0.0) return "products: xtx has a negative diagonal (column " + std::to_string(j) + ")";
    for (std::uint64_t k = 0; k < j; ++k)
      if (pr.xtx[j * p + k] != pr.xtx[k * p + j]) return std::string("products: xtx is not symmetric");
  }
  for (std::uint64_t g = 0; g < m; ++g) {
    const double* b = &pr.ztz[g * q * q];
    const std::string group = " (group " + std::to_string(g) + ")";
    for (std::uint64_t a = 0; a < q; ++a) {
      if (b[a * q + a] < 0.0) return "products: ztz has a negative diagonal" + group;
      for (std::uint64_t c = 0; c < a; ++c)
        if (b[a * q + c] != b[c * q + a]) return "products: the ztz block is not symmetric" + group;
    }
    if (pr.counts[g] == 0) {
      auto zero = [](const double* v, std::uint64_t len) {
        return std::all_of(v, v + len, [](double x) { return x == 0.0; });
      };
      if (!zero(b, q * q) || !zero(&pr.ztx[g * q * p], q * p) || !zero(&pr.zty[g * q], q))
        return "products: a group without rows has non-zero blocks" + group;
    }
  }
  if (!std::isfinite(pr.log_weights)) return "products: log_weights" + std::string(nonfinite);
  if (!pr.weighted && pr.log_weights != 0.0)
    return std::string("products: unweighted products with a weights' constant that is not zero");
  const Shift& s = pr.shift;
  if (!std::isfinite(s.y) || !std::isfinite(s.value) || !all_finite(s.x))
    return "products: the shift" + std::string(nonfinite);
  if (s.column < -1 || s.column >= static_cast<std::int64_t>(p))
    return "products: the shift's constant column " + std::to_string(s.column) + " is not a column of x";
  if (s.active()) {
    if (s.value == 0.0) return std::string("products: the shift's constant column has the value zero");
    if (s.x[static_cast<std::uint64_t>(s.column)] != 0.0)
      return std::string("products: the shift centres its own constant column");
  } else if (s.y != 0.0 || s.value != 0.0 || s.shifts_x()) {
    return std::string("products: a shift without a constant column centres values");
  }
  return std::nullopt;
}

std::variant<std::unique_ptr<LmmData>, std::string> from_products(Products pr, Evaluator evaluator) {
  if (auto err = check_products(pr)) return *err;
  auto data = design_of(std::move(pr));
  data->rows_known = false;
  return finish_design(std::move(data), evaluator);
}

}  // namespace qk
