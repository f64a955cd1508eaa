// Construction of the prepared design from rows (the row passes on the pool, the
// checks, the classes and the evaluator) and its copy for a new response.
#include "lmm/data.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "linalg/dense.hpp"
#include "lmm/cost.hpp"
#include "lmm/fingerprint.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

std::string bad_code(std::int64_t code, std::uint64_t m) {
  return "group code " + std::to_string(code) + " out of range 0.." + std::to_string(m);
}

std::string bad_weight(const Rows& rows, std::uint64_t r) {
  char value[32];
  std::snprintf(value, sizeof value, "%.17g", rows.w[r]);
  return "weights[" + std::to_string(r) + "] is " + value + ": weights must be finite and positive";
}

// Takes the weights' scan into the design: the checksum, and the criterion's constant.
// Returns the error text for a weight that is not finite and positive.
std::optional<std::string> take_weights(const Rows& rows, const WeightScan& scan, LmmData& d) {
  if (!rows.w) return std::nullopt;
  if (scan.first_bad < rows.n) return bad_weight(rows, scan.first_bad);
  d.weighted = true;
  d.log_weights = scan.log_sum();
  d.w_fingerprint = scan.checksum;
  return std::nullopt;
}

// A NaN or an infinity in y, X or Z (or a value whose square overflows) reaches the
// diagonal of the matching cross-product, so the products tell at O(p + m q) cost
// whether the rows were usable. Such data would otherwise hide behind structural
// zeros (Lambda = 0 skips Z entirely) and yield a fit that looks valid.
std::optional<std::string> nonfinite_error(const LmmData& d) {
  const char* tail = " holds a value that is not finite or whose square overflows";
  if (!std::isfinite(d.yty)) return std::string("y") + tail;
  for (std::uint64_t j = 0; j < d.p; ++j)
    if (!std::isfinite(d.xtx[j * d.p + j])) return "X column " + std::to_string(j) + tail;
  for (std::uint64_t g = 0; g < d.m; ++g)
    for (std::uint64_t a = 0; a < d.q; ++a)
      if (!std::isfinite(d.ztz[(g * d.q + a) * d.q + a]))
        return "Z column " + std::to_string(a) + tail + " (group " + std::to_string(g) + ")";
  return std::nullopt;
}

}  // namespace

bool fits_exactly(const LmmData& d) {
  // The residual sum of squares after least squares on X is y'y less the squared
  // norm of L^-1 X'y (L L' = X'X). On the shifted products its rounding error is a
  // small multiple of 2^-52 y'y, so a remainder below 1e-12 y'y is nothing but
  // rounding: y lies in the column space of X. A singular X'X decides nothing (every
  // theta is then infeasible anyway).
  if (d.yty == 0.0) return true;
  const std::uint64_t p = d.p;
  double small[8 * 8 + 8];
  std::vector<double> large(p <= 8 ? 0 : p * p + p);
  double* a = p <= 8 ? small : large.data();
  double* r = a + p * p;
  std::copy(d.xtx.begin(), d.xtx.end(), a);
  std::copy(d.xty.begin(), d.xty.end(), r);
  if (!cholesky_in_place(a, p)) return false;
  forward_solve(a, p, r, 1);
  double ss = 0.0;
  for (std::uint64_t j = 0; j < p; ++j) ss = ss + r[j] * r[j];
  return d.yty - ss <= 1e-12 * d.yty;
}

namespace {

// Everything after the row passes: the nonfinite check, the exact-fit flag, the
// classes and the evaluator.
std::variant<std::unique_ptr<LmmData>, std::string> finish(std::unique_ptr<LmmData> data,
                                                           Evaluator evaluator) {
  const std::uint64_t p = data->p, q = data->q, m = data->m;
  for (std::uint64_t g = 0; g < m; ++g) mirror_upper(&data->ztz[g * q * q], q);
  if (auto err = nonfinite_error(*data)) return *err;
  data->exact_fit = fits_exactly(*data);
  check_interrupt();
  switch (evaluator) {
    case kAggregated:
      data->classes = Classes::build(q, p, m, data->ztz, data->ztx, data->zty, kUnlimitedClasses);
      data->evaluator = kAggregated;
      break;
    case kAuto:
      data->classes = Classes::build(q, p, m, data->ztz, data->ztx, data->zty,
                                     class_limit(m, p, q));
      data->evaluator = data->classes ? kAggregated : kBlocks;
      break;
    default:
      data->evaluator = evaluator;
  }
  data->blocks = {q};
  data->theta_index = theta_index(q);
  return data;
}

// The serial path: one pass over the rows, in the row chunks of fixed_products so
// that the global sums come out bit-identical to the parallel path. Returns the
// error text of a bad code, an empty text when the shift's constant column turns out
// not to be constant, or nothing.
std::optional<std::string> serial_pass(const Rows& rows, std::uint64_t m, LmmData& d) {
  const std::uint64_t n = rows.n, p = rows.p, q = rows.q;
  const Shift& shift = d.shift;
  ChunkPlan plan = plan_chunks(n, fixed_row_cost(p));
  std::vector<double> xtx(p * p), xty(p), xs(p);
  std::uint64_t h = n;
  FixedScan scan;
  const bool shift_x = shift.shifts_x();
  for (std::uint64_t k = 0; k < plan.count; ++k) {
    check_interrupt();
    std::fill(xtx.begin(), xtx.end(), 0.0);
    std::fill(xty.begin(), xty.end(), 0.0);
    double yty = 0.0;
    fixed_chunk(rows, plan.begin(k), plan.end(k), true, shift, xs.data(), xtx.data(), xty.data(), yty, scan);
    if (!scan.constant) return std::string();
    // Runs of consecutive rows of one group are added together. Each code is checked
    // where it is used to index: another thread may change the array meanwhile.
    for (std::uint64_t r = plan.begin(k), e = plan.end(k); r < e;) {
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
      h = fold(h, static_cast<std::uint64_t>(code));
      std::uint64_t run_end = r + 1;
      for (; run_end < e && rows.codes[run_end] == code; ++run_end) h = fold(h, static_cast<std::uint64_t>(code));
      const std::uint64_t g = static_cast<std::uint64_t>(code);
      add_group_run(rows, shift, shift_x, nullptr, r, run_end, &d.ztz[g * q * q], d.ztx.data() + g * q * p,
                    &d.zty[g * q], xs.data());
      r = run_end;
    }
    for (std::uint64_t i = 0; i < p * p; ++i) d.xtx[i] = d.xtx[i] + xtx[i];
    for (std::uint64_t j = 0; j < p; ++j) d.xty[j] = d.xty[j] + xty[j];
    d.yty = d.yty + yty;
  }
  mirror_upper(d.xtx.data(), p);
  d.codes_fingerprint = h;
  d.x_fingerprint = scan.xsum;
  d.z_fingerprint = scan.zsum;
  return take_weights(rows, scan.weights, d);
}

// Forgets a shift that turned out not to apply: the rows are used as given.
void drop_shift(LmmData& d) {
  d.shift = Shift{};
  d.shift.x.assign(d.p, 0.0);
}

void clear_products(LmmData& d) {
  std::fill(d.ztz.begin(), d.ztz.end(), 0.0);
  std::fill(d.ztx.begin(), d.ztx.end(), 0.0);
  std::fill(d.zty.begin(), d.zty.end(), 0.0);
  std::fill(d.xtx.begin(), d.xtx.end(), 0.0);
  std::fill(d.xty.begin(), d.xty.end(), 0.0);
  d.yty = 0.0;
}

}  // namespace

std::variant<std::unique_ptr<LmmData>, std::string> from_rows(const Rows& rows, std::uint64_t m,
                                                              Evaluator evaluator) {
  const std::uint64_t n = rows.n, p = rows.p, q = rows.q;
  auto data = std::make_unique<LmmData>();
  data->n = n;
  data->p = p;
  data->q = q;
  data->m = m;
  data->ztz.assign(m * q * q, 0.0);
  data->ztx.assign(m * q * p, 0.0);
  data->zty.assign(m * q, 0.0);
  data->xtx.assign(p * p, 0.0);
  data->xty.assign(p, 0.0);
  data->shift = choose_shift(rows);

  const std::uint64_t cz = group_row_cost(p, q), cx = fixed_row_cost(p);
  const bool serial = !work_is_large(n, cz + cx) || pool_threads() < 2;

  if (serial) {
    auto err = serial_pass(rows, m, *data);
    if (err && err->empty()) {
      // A column constant in the sampled rows but not in all: start again unshifted.
      drop_shift(*data);
      clear_products(*data);
      err = serial_pass(rows, m, *data);
    }
    if (err) return *err;
    return finish(std::move(data), evaluator);
  }

  // Counting sort of the rows by group, then batches of whole groups on the pool,
  // each writing only its own groups' blocks. Rows already sorted by group (the
  // usual layout) need no index vector: group g owns rows offsets[g]..offsets[g+1].
  // The count is a serial loop; the fixed products run on the rest of the pool
  // meanwhile (and are discarded if a code is out of range).
  std::vector<std::uint64_t> offsets(m + 1, 0);
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
      ++offsets[static_cast<std::uint64_t>(code) + 1];
      sorted = sorted && code >= prev;
      prev = code;
    }
  };
  auto fp = fixed_products(rows, true, data->shift, count);
  if (code_error) return *code_error;
  data->codes_fingerprint = h;
  if (!fp) {
    drop_shift(*data);
    fp = fixed_products(rows, true, data->shift);
  }
  if (auto err = take_weights(rows, fp->weights, *data)) return *err;
  data->x_fingerprint = fp->x_fingerprint;
  data->z_fingerprint = fp->z_fingerprint;
  data->xtx = std::move(fp->xtx);
  data->xty = std::move(fp->xty);
  data->yty = fp->yty;
  for (std::uint64_t g = 0; g < m; ++g) offsets[g + 1] += offsets[g];
  std::vector<std::uint64_t> order;
  if (!sorted) {
    check_interrupt();
    order.resize(n);
    std::vector<std::uint64_t> next(offsets.begin(), offsets.end() - 1);
    for (std::uint64_t r = 0; r < n; ++r) {
      // The codes are read again: another thread may have changed them since they
      // were counted, and a changed code must not write outside its group's slots.
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
      const std::uint64_t g = static_cast<std::uint64_t>(code);
      if (next[g] == offsets[g + 1]) return std::string("the group codes changed while the design was being prepared");
      order[next[g]++] = r;
    }
  }
  // Batches of whole groups of about one chunk's worth of rows each.
  const std::uint64_t t = plan_chunks(n, cz).len;
  std::vector<std::uint64_t> batch_start{0};
  for (std::uint64_t s = 0, j = 1; j < m; ++j) {
    if (offsets[j] - offsets[s] >= t) {
      batch_start.push_back(j);
      s = j;
    }
  }
  batch_start.push_back(m);
  LmmData& d = *data;
  const std::uint64_t* idx = sorted ? nullptr : order.data();
  const bool shift_x = d.shift.shifts_x();
  run_tasks(batch_start.size() - 1, true, [&](std::size_t b) {
    std::vector<double> xs(p);
    for (std::uint64_t g = batch_start[b]; g < batch_start[b + 1]; ++g)
      add_group_run(rows, d.shift, shift_x, idx, offsets[g], offsets[g + 1], &d.ztz[g * q * q],
                    d.ztx.data() + g * q * p, &d.zty[g * q], xs.data());
  });
  return finish(std::move(data), evaluator);
}

void set_blocks(LmmData& data, std::vector<std::uint64_t> blocks) {
  data.theta_index = theta_index(data.q, blocks);
  data.blocks = std::move(blocks);
}

std::variant<std::unique_ptr<LmmData>, std::string> with_response(const LmmData& data,
                                                                  const Rows& rows) {
  const std::uint64_t n = data.n, p = data.p, q = data.q, m = data.m;
  if (rows.n != n || rows.p != p || rows.q != q)
    return "the prepared design has " + std::to_string(n) + " rows, " + std::to_string(p) +
           " fixed and " + std::to_string(q) + " random columns; the arrays passed do not match it";
  if (codes_fingerprint(rows.codes, n) != data.codes_fingerprint)
    return std::string("the group codes differ from the ones the design was prepared with");
  if (data.weighted && !rows.w)
    return std::string("the design was prepared with weights: pass the same weights with the new response");
  if (!data.weighted && rows.w)
    return std::string("the design was prepared without weights: a new response cannot bring weights");

  auto out = std::make_unique<LmmData>();
  // The design's shift of X, and the new response's own centre.
  out->shift = data.shift;
  out->shift.y = response_centre(data.shift, rows.y, n);
  // Z'y is a serial loop over the rows; the fixed products (and the fingerprints of
  // x and z) run on the rest of the pool meanwhile.
  out->zty.assign(m * q, 0.0);
  std::optional<std::string> code_error;
  auto zty_pass = [&] {
    const double cy = out->shift.y;
    for (std::uint64_t r = 0; r < n; ++r) {
      if (r % 65536 == 0) check_interrupt();
      // Checked where it indexes: a fingerprint collision, or another thread changing
      // the array meanwhile, must not turn into an out-of-range write.
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) {
        code_error = bad_code(code, m);
        return;
      }
      double* zty = &out->zty[static_cast<std::uint64_t>(code) * q];
      const double* zr = rows.z + r * q;
      const double yr = rows.y[r] - cy;
      // The products of construction's group pass, y (w z_a), to the bit.
      if (rows.w)
        for (std::uint64_t a = 0; a < q; ++a) zty[a] = zty[a] + yr * (zr[a] * rows.w[r]);
      else
        for (std::uint64_t a = 0; a < q; ++a) zty[a] = zty[a] + yr * zr[a];
    }
  };
  auto fp = fixed_products(rows, false, out->shift, zty_pass);
  if (!fp || fp->x_fingerprint != data.x_fingerprint)
    return std::string("x differs from the array the design was prepared with");
  if (fp->z_fingerprint != data.z_fingerprint)
    return std::string("z differs from the array the design was prepared with");
  if (rows.w && (fp->weights.checksum != data.w_fingerprint || fp->weights.first_bad < n))
    return std::string("weights differ from the array the design was prepared with");
  if (code_error) return *code_error;
  if (!std::isfinite(fp->yty)) return std::string("y holds a value that is not finite or whose square overflows");
  out->xty = std::move(fp->xty);
  out->yty = fp->yty;
  if (data.classes) {
    const Classes& c = *data.classes;
    std::vector<std::uint64_t> reps;
    reps.reserve(c.n_classes);
    for (std::uint64_t g = 0; g < m && reps.size() < c.n_classes; ++g)
      if (c.assignment[g] == reps.size()) reps.push_back(g);
    out->classes = Classes::with_assignment(q, p, data.ztz, data.ztx, out->zty, c.assignment,
                                            reps, c.n_classes);
  }
  out->xtx = data.xtx;
  out->ztz = data.ztz;
  out->ztx = data.ztx;
  out->blocks = data.blocks;
  out->theta_index = data.theta_index;
  out->n = n;
  out->p = p;
  out->q = q;
  out->m = m;
  out->codes_fingerprint = data.codes_fingerprint;
  out->x_fingerprint = data.x_fingerprint;
  out->z_fingerprint = data.z_fingerprint;
  out->weighted = data.weighted;
  out->log_weights = data.log_weights;
  out->w_fingerprint = data.w_fingerprint;
  out->evaluator = data.evaluator;
  out->exact_fit = fits_exactly(*out);
  return out;
}

}  // namespace qk
