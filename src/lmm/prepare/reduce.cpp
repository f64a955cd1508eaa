// Reducing rows to their products: one pass over the rows on the pool (serial for
// little work), and the prepared design built from the rows.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "linalg/dense.hpp"
#include "lmm/prepare/accumulator.hpp"
#include "lmm/prepare/cost.hpp"
#include "lmm/prepare/fingerprint.hpp"
#include "lmm/prepare/products.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

const std::string kCodesChanged = "the group codes changed while the design was being prepared";

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
  // a group the records' own allocation and copy cost more than they save; 16 rows a
  // group is about where the two even out on the construction benchmark's shapes.
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

}  // namespace

std::string bad_code(std::int64_t code, std::uint64_t m) {
  return "group code " + std::to_string(code) + " out of range 0.." + std::to_string(m);
}

std::string bad_weight(const Rows& rows, std::uint64_t r) {
  char value[32];
  std::snprintf(value, sizeof value, "%.17g", rows.w[r]);
  return "weights[" + std::to_string(r) + "] is " + value + ": weights must be finite and positive (the core takes no row of weight zero; lmm leaves such rows out)";
}

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

}  // namespace qk
