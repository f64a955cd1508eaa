// A fixed effect held at a value, as a change of the response, from the products.
#include "lmm/prepare/derive.hpp"

#include <vector>

#include "pool/pool.hpp"

namespace qk {

std::unique_ptr<LmmData> fixed_at(const LmmData& d, std::uint64_t j, double b) {
  const std::uint64_t p = d.p, q = d.q, m = d.m, p1 = p + 1, np = p;  // np: new p + 1 columns
  const std::uint64_t yc = p;  // index of the response among the columns of A = [X | y]
  const bool drop_constant = d.shift.active() && static_cast<std::int64_t>(j) == d.shift.column;
  // M, (p + 1) x np, column-major in the new order: the other columns of X, then y - b x_j.
  std::vector<double> mm(size_mul(p1, np), 0.0);
  auto at = [&](std::uint64_t r, std::uint64_t c) -> double& { return mm[c * p1 + r]; };
  for (std::uint64_t i = 0, c = 0; i < p; ++i)
    if (i != j) at(i, c++) = 1.0;
  at(yc, np - 1) = 1.0;
  at(j, np - 1) = -b;
  if (drop_constant) {
    // Back to the rows as given first: A = A~ W, W = I + e_k w', w_i = c_i / a and
    // w_y = c_y / a, so M becomes W M (row k gains w' M).
    const std::uint64_t k = j;
    const double a = d.shift.value;
    std::vector<double> w(p1, 0.0);
    for (std::uint64_t i = 0; i < p; ++i) w[i] = i == k ? 0.0 : d.shift.x[i] / a;
    w[yc] = d.shift.y / a;
    for (std::uint64_t c = 0; c < np; ++c) {
      double s = 0.0;
      for (std::uint64_t r = 0; r < p1; ++r) s = s + w[r] * at(r, c);
      at(k, c) = at(k, c) + s;
    }
  }
  // A'A of the stored products, full (p + 1) x (p + 1).
  std::vector<double> g(size_mul(p1, p1));
  for (std::uint64_t r = 0; r < p; ++r) {
    for (std::uint64_t c = 0; c < p; ++c) g[r * p1 + c] = d.xtx[r * p + c];
    g[r * p1 + yc] = g[yc * p1 + r] = d.xty[r];
  }
  g[yc * p1 + yc] = d.yty;
  // G' = M' G M.
  std::vector<double> gm(size_mul(p1, np), 0.0);  // G M, row-major p1 x np
  for (std::uint64_t r = 0; r < p1; ++r)
    for (std::uint64_t c = 0; c < np; ++c) {
      double s = 0.0;
      for (std::uint64_t l = 0; l < p1; ++l) s = s + g[r * p1 + l] * at(l, c);
      gm[r * np + c] = s;
    }
  std::vector<double> g2(size_mul(np, np));
  for (std::uint64_t r = 0; r < np; ++r)
    for (std::uint64_t c = r; c < np; ++c) {
      double s = 0.0;
      for (std::uint64_t l = 0; l < p1; ++l) s = s + at(l, r) * gm[l * np + c];
      g2[r * np + c] = g2[c * np + r] = s;
    }

  auto out = std::make_unique<LmmData>();
  const std::uint64_t pn = np - 1;
  out->n = d.n;
  out->p = pn;
  out->q = q;
  out->m = m;
  out->xtx.resize(pn * pn);
  out->xty.resize(pn);
  for (std::uint64_t r = 0; r < pn; ++r) {
    for (std::uint64_t c = 0; c < pn; ++c) out->xtx[r * pn + c] = g2[r * np + c];
    out->xty[r] = g2[r * np + pn];
  }
  out->yty = g2[pn * np + pn];
  // Z_i'A' = (Z_i'A) M, group by group on the pool (each task writes its own groups).
  out->ztz = d.ztz;
  out->ztx.resize(size_mul(m, q * pn));
  out->zty.resize(m * q);
  for_chunks(plan_chunks(m, q * p1 * np), [&](std::uint64_t, std::uint64_t first, std::uint64_t last) {
    std::vector<double> row(p1);
    for (std::uint64_t gi = first; gi < last; ++gi)
      for (std::uint64_t a = 0; a < q; ++a) {
        for (std::uint64_t l = 0; l < p; ++l) row[l] = d.ztx[(gi * q + a) * p + l];
        row[yc] = d.zty[gi * q + a];
        for (std::uint64_t c = 0; c < np; ++c) {
          double s = 0.0;
          for (std::uint64_t l = 0; l < p1; ++l) s = s + row[l] * at(l, c);
          if (c < pn)
            out->ztx[(gi * q + a) * pn + c] = s;
          else
            out->zty[gi * q + a] = s;
        }
      }
  });
  // The shift of the derived rows.
  out->shift = Shift{};
  out->shift.x.assign(pn, 0.0);
  if (d.shift.active() && !drop_constant) {
    for (std::uint64_t i = 0, c = 0; i < p; ++i)
      if (i != j) out->shift.x[c++] = d.shift.x[i];
    out->shift.column = d.shift.column - (static_cast<std::int64_t>(j) < d.shift.column ? 1 : 0);
    out->shift.value = d.shift.value;
    out->shift.y = d.shift.y - b * d.shift.x[j];
  }
  if (d.classes) out->classes = d.classes->regrouped(q, pn, out->ztz, out->ztx, out->zty);
  // The weights stay the model's: the products above are the weighted ones, and the
  // criterion keeps their log-determinant. No rows stand behind the derived core, so
  // with_response refuses every array whatever the weights: no array has the derived
  // columns' fingerprint.
  inherit(*out, d);
  out->x_fingerprint = 0;
  out->rows_known = false;
  out->exact_fit = fits_exactly(*out);
  return out;
}

}  // namespace qk
