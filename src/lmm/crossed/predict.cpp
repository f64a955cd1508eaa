// Variances of prediction errors of new rows: ||L^-1 v||^2 by a forward solve through
// the blocked factor, sparse over the block-diagonal factors and dense over the rest.
//
// With u = Lambda^-1 b, the mixed-model equations give the prediction errors of
// (u, beta) the covariance sigma^2 A^-1 (Henderson 1975, "Best linear unbiased
// estimation and prediction under a selection model", Biometrics 31), A = L L' the
// system the criterion factors. A prediction error x0'(beta^ - beta) + z0'(b^ - b) is
// v'((u^, beta^) - (u, beta)) with v = [Lambda'z0; x0], so its variance is
// sigma^2 v'A^-1 v = sigma^2 ||L^-1 v||^2. With one factor this is the familiar
// x0'C x0 + sigma^2 z0'K z0 + u'C u - 2 x0'C u of the one-factor path.
#include <algorithm>
#include <utility>

#include "linalg/dense.hpp"
#include "linalg/lapack.hpp"
#include "lmm/crossed/factor.hpp"
#include "pool/pool.hpp"

namespace qk::crossed {

namespace {

// One row's right-hand side on the block-diagonal factors: per factor the levels it
// reaches (level, offset into vals), q_i values each. A row reaches few levels: its own
// and those its levels' columns fill in the factors they are nested in.
struct SparsePart {
  std::vector<std::vector<std::pair<std::uint64_t, std::size_t>>> at;
  std::vector<double> vals;

  void reset(std::size_t dg) {
    at.assign(dg, {});
    vals.clear();
  }
  std::size_t slot(std::size_t i, std::uint64_t l, std::uint64_t q) {
    for (const auto& [lv, o] : at[i])
      if (lv == l) return o;
    at[i].emplace_back(l, vals.size());
    vals.resize(vals.size() + q, 0.0);
    return at[i].back().second;
  }
};

// out (q) <- Lambda' z (Lambda q x q lower, row-major).
void lambda_t_times(const std::vector<double>& lam, std::size_t q, const double* z, double* out) {
  for (std::size_t a = 0; a < q; ++a) {
    double s = 0.0;
    for (std::size_t c = a; c < q; ++c) s = s + lam[c * q + a] * z[c];
    out[a] = s;
  }
}

}  // namespace

std::optional<std::vector<double>> prediction_variance(const Design& d, const std::vector<double>& theta, bool reml,
                                                       const PredictionRows& rows) {
  const std::optional<Factor> fo = factorize(d, theta, reml);
  if (!fo) return std::nullopt;
  return prediction_variance(d, *fo, rows);
}

std::vector<double> prediction_variance(const Design& d, const Factor& f, const PredictionRows& rows) {
  const Layout& lay = d.layout;
  const std::size_t k = lay.k, dg = lay.diagonal, p = d.pr.p, dz = f.dz, nt = f.nt, nd = dz + p;
  const std::uint64_t off_d = lay.offset[dg];
  std::vector<double> out(rows.r, 0.0);
  std::uint64_t per_col = 1;
  for (std::size_t i = 0; i < dg; ++i) per_col = per_col + lay.rows[i].size() / (d.pr.m[i] ? d.pr.m[i] : 1) * d.pr.q[i];
  const ChunkPlan plan = plan_chunks(rows.r, nd * (nd + 1) / 2 + per_col);
  for_chunks(plan, [&](std::uint64_t, std::uint64_t rb, std::uint64_t re) {
    const std::size_t nr = re - rb;
    std::vector<double> dense(nr * nd, 0.0), wl, lz;
    std::vector<double> sparse_sq(nr, 0.0);
    SparsePart sp;
    for (std::uint64_t t = 0; t < nr; ++t) {
      const std::uint64_t row = rb + t;
      double* dr = dense.data() + t * nd;
      sp.reset(dg);
      for (std::size_t j = 0; j < k; ++j) {
        const std::int64_t l = rows.levels[j][row];
        if (l < 0) continue;
        const std::uint64_t q = d.pr.q[j], lu = static_cast<std::uint64_t>(l);
        lz.resize(q);
        lambda_t_times(f.lambda[j], q, rows.z[j] + row * q, lz.data());
        if (j < dg) {
          const std::size_t o = sp.slot(j, lu, q);
          for (std::size_t a = 0; a < q; ++a) sp.vals[o + a] = lz[a];
        } else {
          for (std::size_t a = 0; a < q; ++a) dr[lay.offset[j] + lu * q + a - off_d] = lz[a];
        }
      }
      // The factor is of the shifted X~ = X T (see Shift), so x0'beta = (T'x0)'beta~ plus
      // a constant: T'x0 = x0 - c x0_k / a.
      const double* x0 = rows.x + row * p;
      const Shift& sh = d.pr.shift;
      for (std::size_t x = 0; x < p; ++x)
        dr[dz + x] = sh.active() ? x0[x] - sh.x[x] * (x0[sh.column] / sh.value) : x0[x];
      // Columns of the block-diagonal factors, factor by factor: the rows of a column
      // lie in later factors, so a factor's columns do not touch one another.
      for (std::size_t i = 0; i < dg; ++i) {
        const std::uint64_t q = d.pr.q[i];
        auto& reached = sp.at[i];
        std::sort(reached.begin(), reached.end());
        const double* cv = f.col[i].data();
        for (const auto& [l, o] : reached) {
          wl.assign(sp.vals.begin() + static_cast<std::ptrdiff_t>(o),
                    sp.vals.begin() + static_cast<std::ptrdiff_t>(o + q));
          forward_solve(&f.diag[i][l * q * q], q, wl.data(), 1);
          std::copy(wl.begin(), wl.end(), sp.vals.begin() + static_cast<std::ptrdiff_t>(o));
          // The last row of a column is y's, which v does not have.
          const std::uint64_t b = lay.col_ptr[i][l], e = lay.col_ptr[i][l + 1] - 1;
          for (std::uint64_t r = b; r < e; ++r) {
            double s = 0.0;
            for (std::size_t c = 0; c < q; ++c) s = s + cv[r * q + c] * wl[c];
            const std::uint64_t g = lay.rows[i][r];
            if (g >= off_d) {
              dr[g - off_d] = dr[g - off_d] - s;
            } else {
              const RowPlace pl = place_of(d, g);
              const std::size_t at = sp.slot(pl.factor, pl.level, d.pr.q[pl.factor]) + pl.comp;
              sp.vals[at] = sp.vals[at] - s;
            }
          }
        }
        for (const auto& [l, o] : reached)
          for (std::size_t c = 0; c < q; ++c) sparse_sq[t] = sparse_sq[t] + sp.vals[o + c] * sp.vals[o + c];
      }
    }
    // The dense factors, then L_XZ and R_X, for the chunk's rows together.
    if (nr > 0 && dz > 0) lapack::solve_right_transposed(f.dense.data(), dz, nt, dense.data(), nr, nd);
    for (std::uint64_t t = 0; t < nr; ++t) {
      double* dr = dense.data() + t * nd;
      for (std::size_t x = 0; x < p; ++x) {
        const double* lxz = f.dense.data() + (dz + x) * nt;
        double s = dr[dz + x];
        for (std::size_t c = 0; c < dz; ++c) s = s - lxz[c] * dr[c];
        dr[dz + x] = s;
      }
    }
    if (nr > 0 && p > 0) lapack::solve_right_transposed(f.prof.rx.data(), p, p, dense.data() + dz, nr, nd);
    for (std::uint64_t t = 0; t < nr; ++t) {
      const double* dr = dense.data() + t * nd;
      double s = sparse_sq[t];
      for (std::size_t c = 0; c < nd; ++c) s = s + dr[c] * dr[c];
      out[rb + t] = s;
    }
  });
  return out;
}

}  // namespace qk::crossed
