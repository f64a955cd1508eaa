// The prepared design after its products are known (the checks, the exact-fit flag,
// the classes and the evaluator) and its copy for a new response. The products of
// rows are formed in reduce.cpp.
#include "lmm/prepare/data.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/dense.hpp"
#include "lmm/prepare/cost.hpp"
#include "lmm/prepare/fingerprint.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

std::string bad_code(std::int64_t code, std::uint64_t m) {
  return "group code " + std::to_string(code) + " out of range 0.." + std::to_string(m);
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

std::variant<std::unique_ptr<LmmData>, std::string> finish_design(std::unique_ptr<LmmData> data,
                                                                  Evaluator evaluator) {
  const std::uint64_t p = data->p, q = data->q, m = data->m;
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

void set_blocks(LmmData& data, std::vector<std::uint64_t> blocks) {
  data.theta_index = theta_index(data.q, blocks);
  data.blocks = std::move(blocks);
}

std::variant<std::unique_ptr<LmmData>, std::string> with_response(const LmmData& data,
                                                                  const Rows& rows) {
  const std::uint64_t n = data.n, p = data.p, q = data.q, m = data.m;
  if (!data.rows_known)
    return std::string("this design was built from products and holds no fingerprints of rows, so it cannot "
                       "check that arrays are the model's: build the core from the rows (or reduce the new "
                       "response's batches to products) instead");
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
  if (data.classes) out->classes = data.classes->regrouped(q, p, data.ztz, data.ztx, out->zty);
  out->xtx = data.xtx;
  out->ztz = data.ztz;
  out->ztx = data.ztx;
  out->n = n;
  out->p = p;
  out->q = q;
  out->m = m;
  inherit(*out, data);
  out->exact_fit = fits_exactly(*out);
  return out;
}

void inherit(LmmData& to, const LmmData& from) {
  to.blocks = from.blocks;
  to.theta_index = from.theta_index;
  to.codes_fingerprint = from.codes_fingerprint;
  to.x_fingerprint = from.x_fingerprint;
  to.z_fingerprint = from.z_fingerprint;
  to.weighted = from.weighted;
  to.log_weights = from.log_weights;
  to.w_fingerprint = from.w_fingerprint;
  to.evaluator = from.evaluator;
  to.rows_known = from.rows_known;
}

}  // namespace qk
