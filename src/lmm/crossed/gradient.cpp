// The criterion's gradient and the solution from a blocked factor: conditional modes
// by back substitution, Takahashi's selected inversion on the factor's pattern, the
// trace that gives the log-determinants' gradient and the envelope-theorem gradient of
// the penalised residual sum of squares.
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>

#include "linalg/dense.hpp"
#include "linalg/lapack.hpp"
#include "lmm/crossed/factor.hpp"
#include "pool/pool.hpp"

namespace qk::crossed {

namespace {

// Entries of the inverse of the leading system: of Lambda'Z'WZ Lambda + I, or with
// `with_x` of the system over [Z X], on the pattern of the factor.
struct Selected {
  const Design& d;
  bool with_x;
  std::vector<std::vector<double>> diag;  // per block-diagonal factor: m_i blocks q_i x q_i
  std::vector<std::vector<double>> col;   // like Factor::col (rows below the X rows unused)
  std::vector<double> dense;              // nd x nd, full
  std::size_t nd = 0;

  // Rows of the column (i, l) that are part of the system.
  std::uint64_t col_end(std::size_t i, std::uint64_t l) const {
    return d.layout.col_ptr[i][l + 1] - 1 - (with_x ? 0 : d.pr.p);
  }

  double at(std::uint64_t a, std::uint64_t b) const {
    if (a > b) std::swap(a, b);
    const std::uint64_t off_d = d.layout.offset[d.layout.diagonal];
    if (a >= off_d) return dense[(a - off_d) * nd + (b - off_d)];
    const RowPlace pl = place_of(d, a);
    const std::uint64_t q = d.pr.q[pl.factor], base = d.layout.offset[pl.factor] + pl.level * q;
    if (b < base + q) return diag[pl.factor][pl.level * q * q + pl.comp * q + (b - base)];
    const auto& rows = d.layout.rows[pl.factor];
    const auto s = rows.begin() + static_cast<std::ptrdiff_t>(d.layout.col_ptr[pl.factor][pl.level]);
    const auto e = rows.begin() + static_cast<std::ptrdiff_t>(col_end(pl.factor, pl.level));
    const auto it = std::lower_bound(s, e, b);
    return col[pl.factor][static_cast<std::size_t>(it - rows.begin()) * q + pl.comp];
  }

  // at() for a pair that may lie off the pattern, which at() would misread: a
  // std::logic_error there.
  double checked_at(std::uint64_t a, std::uint64_t b) const {
    if (a > b) std::swap(a, b);
    const std::uint64_t off_d = d.layout.offset[d.layout.diagonal];
    if (a < off_d) {
      const RowPlace pl = place_of(d, a);
      const std::uint64_t q = d.pr.q[pl.factor], base = d.layout.offset[pl.factor] + pl.level * q;
      if (b >= base + q) {
        const auto& rows = d.layout.rows[pl.factor];
        const auto s = rows.begin() + static_cast<std::ptrdiff_t>(d.layout.col_ptr[pl.factor][pl.level]);
        const auto e = rows.begin() + static_cast<std::ptrdiff_t>(col_end(pl.factor, pl.level));
        const auto it = std::lower_bound(s, e, b);
        if (it == e || *it != b) throw std::logic_error("a pair of levels that the design's rows do not have");
        return col[pl.factor][static_cast<std::size_t>(it - rows.begin()) * q + pl.comp];
      }
    }
    return at(a, b);
  }
};

}  // namespace

void dense_system_factor(const Factor& f, std::size_t p, bool with_x, double* out) {
  const std::size_t nd = f.dz + (with_x ? p : 0);
  for (std::size_t a = 0; a < nd; ++a) {
    double* row = &out[a * nd];
    const double* from = &f.dense[a * f.nt];
    std::copy(from, from + a + 1, row);
    std::fill(row + a + 1, row + nd, 0.0);
  }
}

std::vector<double> dense_system_inverse(const Factor& f, std::size_t p, bool with_x) {
  const std::size_t nd = f.dz + (with_x ? p : 0);
  std::vector<double> out(nd * nd);
  dense_system_factor(f, p, with_x, out.data());
  lapack::cholesky_inverse(out.data(), nd, nd);
  return out;
}

namespace {

Selected select_inverse(const Design& d, const Factor& f, bool with_x) {
  Selected s{d, with_x, {}, {}, {}, 0};
  s.nd = f.dz + (with_x ? d.pr.p : 0);
  s.dense = dense_system_inverse(f, d.pr.p, with_x);
  const std::size_t dg = d.layout.diagonal;
  s.diag.resize(dg);
  s.col.resize(dg);
  for (std::size_t i = 0; i < dg; ++i) {
    s.diag[i].assign(f.diag[i].size(), 0.0);
    s.col[i].assign(f.col[i].size(), 0.0);
  }
  const std::uint64_t off_d = d.layout.offset[dg];
  // Factor by factor from the last; within a factor the columns read only S of later
  // factors, so its levels are independent and run in chunks on the pool.
  for (std::size_t i = dg; i-- > 0;) {
    const std::uint64_t q = d.pr.q[i], m = d.pr.m[i];
    const auto& rows = d.layout.rows[i];
    const std::uint64_t per = rows.size() / (m ? m : 1) + 1;
    const ChunkPlan plan = plan_chunks(m, per * per * q);
    for_chunks(plan, [&](std::uint64_t, std::uint64_t lb, std::uint64_t le) {
      std::vector<double> y, linv(q * q), w(q * q);
      std::vector<std::uint64_t> idx;
      for (std::uint64_t l = lb; l < le; ++l) {
        const double* lii = &f.diag[i][l * q * q];
        const double* cv = f.col[i].data();
        const std::uint64_t b = d.layout.col_ptr[i][l], e = s.col_end(i, l);
        // Y = S_PP L_P (rows of the column's pattern P), then S_P = -Y L^-1. Rows of
        // the dense block form the tail [bd, e) of P: their entries of S are read from
        // the dense inverse directly.
        const std::uint64_t bd = static_cast<std::uint64_t>(
            std::lower_bound(rows.begin() + static_cast<std::ptrdiff_t>(b),
                             rows.begin() + static_cast<std::ptrdiff_t>(e), off_d) -
            rows.begin());
        y.assign((e - b) * q, 0.0);
        idx.resize(e - bd);
        for (std::uint64_t pb = bd; pb < e; ++pb) idx[pb - bd] = rows[pb] - off_d;
        for (std::uint64_t pa = b; pa < e; ++pa) {
          double* ya = &y[(pa - b) * q];
          for (std::uint64_t pb = b; pb < (pa >= bd ? bd : e); ++pb) {
            const double v = s.at(rows[pa], rows[pb]);
            for (std::size_t c = 0; c < q; ++c) ya[c] = ya[c] + v * cv[pb * q + c];
          }
          if (pa < bd) continue;
          const double* sa = s.dense.data() + idx[pa - bd] * s.nd;
          const double* ct = cv + bd * q;
          const std::size_t nb = e - bd;
          if (q == 1) {
            double acc = ya[0];
            for (std::size_t t = 0; t < nb; ++t) acc = acc + sa[idx[t]] * ct[t];
            ya[0] = acc;
          } else {
            for (std::size_t t = 0; t < nb; ++t) {
              const double v = sa[idx[t]];
              for (std::size_t c = 0; c < q; ++c) ya[c] = ya[c] + v * ct[t * q + c];
            }
          }
        }
        double* sc = s.col[i].data();
        for (std::uint64_t pa = b; pa < e; ++pa) {
          for (std::size_t c = 0; c < q; ++c) sc[pa * q + c] = -y[(pa - b) * q + c];
          backward_solve(lii, q, sc + pa * q, 1);
        }
        // S_ll = (L^-T - S_P' L_P) L^-1.
        cholesky_inverse(lii, q, linv.data());  // (L L')^-1 = L^-T L^-1
        for (std::size_t r = 0; r < q; ++r)
          for (std::size_t c = 0; c < q; ++c) {
            double v = 0.0;
            for (std::uint64_t pa = b; pa < e; ++pa) v = v + sc[pa * q + r] * cv[pa * q + c];
            w[r * q + c] = v;
          }
        // (S_P' L_P) L^-1 by solving against L' from the right: row r of W times L^-1.
        for (std::size_t r = 0; r < q; ++r) backward_solve(lii, q, w.data() + r * q, 1);
        double* sd = &s.diag[i][l * q * q];
        for (std::size_t r = 0; r < q; ++r)
          for (std::size_t c = 0; c < q; ++c) sd[r * q + c] = linv[r * q + c] - w[r * q + c];
      }
    });
  }
  return s;
}

// S's block between the levels (i, li) and (j, lj): q_i x q_j.
void block_of(const Selected& s, std::size_t i, std::uint64_t li, std::size_t j, std::uint64_t lj,
              std::vector<double>& out) {
  const Design& d = s.d;
  const std::uint64_t qi = d.pr.q[i], qj = d.pr.q[j];
  const std::uint64_t gi = d.layout.offset[i] + li * qi, gj = d.layout.offset[j] + lj * qj;
  out.resize(qi * qj);
  for (std::size_t a = 0; a < qi; ++a)
    for (std::size_t c = 0; c < qj; ++c) out[a * qj + c] = s.at(gi + a, gj + c);
}

// H_j[l] (q_j x q_j) = sum over the blocks t of row (j, l) of C[(j,l), t] Lambda_t S[t, (j,l)],
// C the weighted cross-products of [Z X] (X only with the fixed effects in the system).
std::vector<std::vector<double>> trace_blocks(const Design& d, const Factor& f, const Selected& s) {
  const Products& pr = d.pr;
  const std::size_t k = pr.m.size(), p = pr.p;
  std::vector<std::vector<double>> h(k);
  std::vector<double> sb, t1, t2;
  auto add = [&](double* out, const double* c, std::size_t qa, std::size_t qt, const double* lam,
                 const std::vector<double>& sblk, std::size_t qb) {
    // out (qa x qb) += C (qa x qt) Lambda (qt x qt) S (qt x qb)
    t1.assign(qt * qb, 0.0);
    mat_mul(lam, sblk.data(), t1.data(), qt, qt, qb);
    t2.assign(qa * qb, 0.0);
    mat_mul(c, t1.data(), t2.data(), qa, qt, qb);
    for (std::size_t v = 0; v < qa * qb; ++v) out[v] = out[v] + t2[v];
  };
  for (std::size_t j = 0; j < k; ++j) {
    const std::uint64_t q = pr.q[j];
    h[j].assign(pr.m[j] * q * q, 0.0);
    for (std::uint64_t l = 0; l < pr.m[j]; ++l) {
      block_of(s, j, l, j, l, sb);
      add(&h[j][l * q * q], &pr.ztz[j][l * q * q], q, q, f.lambda[j].data(), sb, q);
      if (!s.with_x || p == 0) continue;
      const std::uint64_t g0 = d.layout.offset[j] + l * q, big_q = d.layout.offset[k];
      sb.resize(p * q);
      for (std::size_t x = 0; x < p; ++x)
        for (std::size_t c = 0; c < q; ++c) sb[x * q + c] = s.at(big_q + x, g0 + c);
      std::vector<double> id(p * p, 0.0);
      for (std::size_t x = 0; x < p; ++x) id[x * p + x] = 1.0;
      add(&h[j][l * q * q], pr.ztx[j].data() + l * q * p, q, p, id.data(), sb, q);
    }
  }
  std::vector<double> bt;
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const CrossBlock& cb = pr.cross[pair_index(i, j, k)];
      const std::uint64_t qi = pr.q[i], qj = pr.q[j];
      bt.resize(qj * qi);
      PairLevels levels(pr.m[j]);
      for (std::size_t e = 0; e < cb.keys.size(); ++e) {
        std::uint64_t li = 0, lj = 0;
        levels.at(cb.keys[e], li, lj);
        const double* b = &cb.values[e * qi * qj];
        block_of(s, j, lj, i, li, sb);
        add(&h[i][li * qi * qi], b, qi, qj, f.lambda[j].data(), sb, qi);
        for (std::size_t a = 0; a < qi; ++a)
          for (std::size_t c = 0; c < qj; ++c) bt[c * qi + a] = b[a * qj + c];
        block_of(s, i, li, j, lj, sb);
        add(&h[j][lj * qj * qj], bt.data(), qj, qi, f.lambda[i].data(), sb, qj);
      }
    }
  return h;
}

// Spherical conditional modes u (per factor, m_j x q_j): L_ZZ' u = L_yZ' - L_XZ' beta.
// y <- L_ZZ'^-1 y over Z (y of Z's length, holding L_ZZ^-1 of a right-hand side): the
// dense factors' rows, then the block-diagonal columns from the last, each level's entry
// less its column's rows below in order.
void back_through_z(const Design& d, const Factor& f, std::vector<double>& y) {
  const Products& pr = d.pr;
  const Layout& lay = d.layout;
  const std::size_t dg = lay.diagonal, p = pr.p;
  lapack::solve_transposed(f.dense.data(), f.dz, f.nt, y.data() + lay.offset[dg]);
  for (std::size_t i = dg; i-- > 0;) {
    const std::uint64_t q = pr.q[i];
    const double* cv = f.col[i].data();
    for (std::uint64_t l = pr.m[i]; l-- > 0;) {
      const std::uint64_t b = lay.col_ptr[i][l], ez = lay.col_ptr[i][l + 1] - 1 - p;
      double* yl = &y[lay.offset[i] + l * q];
      for (std::size_t c = 0; c < q; ++c) {
        double v = yl[c];
        for (std::uint64_t t = b; t < ez; ++t) v = v - cv[t * q + c] * y[lay.rows[i][t]];
        yl[c] = v;
      }
      backward_solve(&f.diag[i][l * q * q], q, yl, 1);
    }
  }
}

std::vector<std::vector<double>> modes(const Design& d, const Factor& f) {
  const Products& pr = d.pr;
  const Layout& lay = d.layout;
  const std::size_t k = lay.k, dg = lay.diagonal, p = pr.p;
  const std::uint64_t off_d = lay.offset[dg], big_q = lay.offset[k];
  const std::vector<double>& beta = f.prof.beta;
  // The factor's y row less its X rows times beta: L_ZZ^-1 of Lambda'Z'W(y - X beta).
  std::vector<double> u(big_q, 0.0);
  for (std::uint64_t g = off_d; g < big_q; ++g) {
    const std::uint64_t c = g - off_d;
    double v = f.dense[(f.dz + p) * f.nt + c];
    for (std::size_t x = 0; x < p; ++x) v = v - f.dense[(f.dz + x) * f.nt + c] * beta[x];
    u[g] = v;
  }
  for (std::size_t i = 0; i < dg; ++i) {
    const std::uint64_t q = pr.q[i];
    const double* cv = f.col[i].data();
    for (std::uint64_t l = 0; l < pr.m[i]; ++l) {
      const std::uint64_t e = lay.col_ptr[i][l + 1], ez = e - 1 - p;
      for (std::size_t c = 0; c < q; ++c) {
        double v = cv[(e - 1) * q + c];
        for (std::size_t x = 0; x < p; ++x) v = v - cv[(ez + x) * q + c] * beta[x];
        u[lay.offset[i] + l * q + c] = v;
      }
    }
  }
  back_through_z(d, f, u);
  std::vector<std::vector<double>> out(k);
  for (std::size_t j = 0; j < k; ++j) out[j].assign(u.begin() + lay.offset[j], u.begin() + lay.offset[j + 1]);
  return out;
}

}  // namespace

std::vector<std::vector<double>> solve_z(const Design& d, const Factor& f, const std::vector<std::vector<double>>& r) {
  const Products& pr = d.pr;
  const Layout& lay = d.layout;
  const std::size_t k = lay.k, dg = lay.diagonal, p = pr.p;
  const std::uint64_t off_d = lay.offset[dg], big_q = lay.offset[k];
  if (r.size() != k) throw std::invalid_argument("solve_z: one right-hand side per factor");
  std::vector<double> y(big_q);
  for (std::size_t j = 0; j < k; ++j) {
    if (r[j].size() != lay.offset[j + 1] - lay.offset[j]) throw std::invalid_argument("solve_z: a factor's length");
    std::copy(r[j].begin(), r[j].end(), y.begin() + static_cast<std::ptrdiff_t>(lay.offset[j]));
  }
  // Forward through L_ZZ in the factor's column order: a block-diagonal column's rows
  // [b, e - 1 - p) are Z's (X's and y's follow), all below the column.
  for (std::size_t i = 0; i < dg; ++i) {
    const std::uint64_t q = pr.q[i];
    const double* cv = f.col[i].data();
    for (std::uint64_t l = 0; l < pr.m[i]; ++l) {
      double* yl = &y[lay.offset[i] + l * q];
      forward_solve(&f.diag[i][l * q * q], q, yl, 1);
      const std::uint64_t b = lay.col_ptr[i][l], ez = lay.col_ptr[i][l + 1] - 1 - p;
      for (std::uint64_t t = b; t < ez; ++t) {
        double v = 0.0;
        for (std::size_t c = 0; c < q; ++c) v = v + cv[t * q + c] * yl[c];
        y[lay.rows[i][t]] = y[lay.rows[i][t]] - v;
      }
    }
  }
  lapack::solve_lower(f.dense.data(), f.dz, f.nt, y.data() + off_d);
  back_through_z(d, f, y);
  std::vector<std::vector<double>> out(k);
  for (std::size_t j = 0; j < k; ++j) out[j].assign(y.begin() + lay.offset[j], y.begin() + lay.offset[j + 1]);
  return out;
}

namespace {

// d pwrss / d theta = -2 sum_l (Z_j'W r)[l][row] u_j[l][col], r the weighted residual.
std::vector<double> pwrss_gradient(const Design& d, const Factor& f, const std::vector<std::vector<double>>& u) {
  const Products& pr = d.pr;
  const std::size_t k = pr.m.size(), p = pr.p;
  std::vector<std::vector<double>> b(k), v(k);
  for (std::size_t j = 0; j < k; ++j) {
    const std::uint64_t q = pr.q[j];
    b[j].assign(pr.m[j] * q, 0.0);
    v[j].assign(pr.m[j] * q, 0.0);
    for (std::uint64_t l = 0; l < pr.m[j]; ++l) mat_mul(f.lambda[j].data(), &u[j][l * q], &b[j][l * q], q, q, 1);
    for (std::uint64_t l = 0; l < pr.m[j]; ++l)
      for (std::size_t a = 0; a < q; ++a) {
        double s = pr.zty[j][l * q + a];
        for (std::size_t x = 0; x < p; ++x) s = s - pr.ztx[j][(l * q + a) * p + x] * f.prof.beta[x];
        for (std::size_t c = 0; c < q; ++c) s = s - pr.ztz[j][(l * q + a) * q + c] * b[j][l * q + c];
        v[j][l * q + a] = s;
      }
  }
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const CrossBlock& cb = pr.cross[pair_index(i, j, k)];
      const std::uint64_t qi = pr.q[i], qj = pr.q[j];
      PairLevels levels(pr.m[j]);
      for (std::size_t e = 0; e < cb.keys.size(); ++e) {
        std::uint64_t li = 0, lj = 0;
        levels.at(cb.keys[e], li, lj);
        const double* bl = &cb.values[e * qi * qj];
        for (std::size_t a = 0; a < qi; ++a)
          for (std::size_t c = 0; c < qj; ++c) {
            v[i][li * qi + a] = v[i][li * qi + a] - bl[a * qj + c] * b[j][lj * qj + c];
            v[j][lj * qj + c] = v[j][lj * qj + c] - bl[a * qj + c] * b[i][li * qi + a];
          }
      }
    }
  std::vector<double> g(d.theta_offset.back(), 0.0);
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t t = 0; t < d.tidx[j].size(); ++t) {
      const auto [r, c] = d.tidx[j][t];
      const std::uint64_t q = pr.q[j];
      double s = 0.0;
      for (std::uint64_t l = 0; l < pr.m[j]; ++l) s = s + v[j][l * q + r] * u[j][l * q + c];
      g[d.theta_offset[j] + t] = -2.0 * s;
    }
  return g;
}

// The criterion's gradient at the factor's theta into sol (grad_pwrss, grad_logdet,
// gradient); the selected inverse over [Z X] (REML) or Z (ML) into s when the general
// path made one.
// The conditional modes into u as well: they and the residual's gradient, which need
// the factor only, are made beside the inverse's work when the scalar path runs.
void gradient_into(const Design& d, const Factor& factor, bool reml, std::vector<std::vector<double>>& u,
                   Solution& sol, std::optional<Selected>& s, Scratch* scratch) {
  const Factor* f = &factor;
  const std::size_t nth = d.theta_offset.back();
  sol.ev.grad_logdet.assign(nth, 0.0);
  sol.ev.gradient.assign(nth, 0.0);
  const double nu = f->prof.nu;
  const std::function<void()> residual = [&] {
    u = modes(d, *f);
    sol.ev.grad_pwrss = pwrss_gradient(d, *f, u);
  };
  const std::optional<std::vector<double>> scalar = scalar_logdet_gradient(d, *f, reml, scratch, residual);
  if (scalar) {
    sol.ev.grad_logdet = *scalar;
  } else {
    s.emplace(select_inverse(d, *f, reml));
    const std::vector<std::vector<double>> h = trace_blocks(d, *f, *s);
    for (std::size_t j = 0; j < d.pr.m.size(); ++j)
      for (std::size_t t = 0; t < d.tidx[j].size(); ++t) {
        const auto [r, c] = d.tidx[j][t];
        const std::uint64_t q = d.pr.q[j];
        double acc = 0.0;
        for (std::uint64_t l = 0; l < d.pr.m[j]; ++l) acc = acc + h[j][(l * q + r) * q + c];
        sol.ev.grad_logdet[d.theta_offset[j] + t] = acc + acc;
      }
  }
  for (std::size_t at = 0; at < nth; ++at)
    sol.ev.gradient[at] = sol.ev.grad_logdet[at] + nu / f->prof.pwrss * sol.ev.grad_pwrss[at];
}

}  // namespace

struct LeverageTable {
  Selected s;
};

std::shared_ptr<const LeverageTable> leverage_table(const Design& d, const Factor& f, bool with_x) {
  return std::make_shared<const LeverageTable>(LeverageTable{select_inverse(d, f, with_x && d.pr.p > 0)});
}

std::vector<double> leverages(const Design& d, const Factor& f, const PredictionRows& rows) {
  return leverages(d, f, rows, *leverage_table(d, f, rows.x != nullptr));
}

std::vector<double> leverages(const Design& d, const Factor& f, const PredictionRows& rows,
                              const LeverageTable& table) {
  const Selected& s = table.s;
  // A table over Z alone reads no x.
  const std::size_t k = d.layout.k, p = s.with_x ? d.pr.p : 0;
  if (p > 0 && !rows.x) throw std::invalid_argument("leverages: rows without x for a system over [Z X]");
  const std::uint64_t big_q = d.layout.offset[k];
  // v'A^-1 v reads A^-1 only between the levels a row meets, and those pairs are on the
  // pattern of L (they are entries of A): Takahashi's entries of the inverse suffice,
  // and a row costs (sum_j q_j + p)^2 reads where ||L^-1 v||^2 costs a triangular solve
  // through the dense block.
  std::size_t width = p;
  for (std::size_t j = 0; j < k; ++j) width += d.pr.q[j];
  std::vector<double> out(rows.r, 0.0);
  const ChunkPlan plan = plan_chunks(rows.r, width * width + 1);
  for_chunks(plan, [&](std::uint64_t, std::uint64_t rb, std::uint64_t re) {
    std::vector<std::uint64_t> at;
    std::vector<double> v;
    for (std::uint64_t row = rb; row < re; ++row) {
      at.clear();
      v.clear();
      for (std::size_t j = 0; j < k; ++j) {
        const std::int64_t l = rows.levels[j][row];
        if (l < 0) continue;
        const std::uint64_t q = d.pr.q[j], g = d.layout.offset[j] + static_cast<std::uint64_t>(l) * q;
        const std::vector<double>& lam = f.lambda[j];
        const double* z = rows.z[j] + row * q;
        for (std::size_t a = 0; a < q; ++a) {
          double t = 0.0;  // (Lambda_j' z)_a, Lambda_j lower
          for (std::size_t c = a; c < q; ++c) t = t + lam[c * q + a] * z[c];
          at.push_back(g + a);
          v.push_back(t);
        }
      }
      // The factor is of the shifted X~ = X T (see Shift): T'x0 = x0 - c x0_k / a.
      const double* x0 = rows.x + row * p;
      const Shift& sh = d.pr.shift;
      for (std::size_t x = 0; x < p; ++x) {
        at.push_back(big_q + x);
        v.push_back(sh.active() ? x0[x] - sh.x[x] * (x0[sh.column] / sh.value) : x0[x]);
      }
      double c = 0.0;
      for (std::size_t a = 0; a < at.size(); ++a) {
        double t = 0.0;
        for (std::size_t b = 0; b < at.size(); ++b) t = t + s.checked_at(at[a], at[b]) * v[b];
        c = c + v[a] * t;
      }
      out[row] = c;
    }
  });
  return out;
}

std::optional<Solution> evaluate(const Design& d, const std::vector<double>& theta, bool reml, Mode mode,
                                 bool cond_var, const std::vector<double>* known_gradient) {
  // Between the optimiser's evaluations too, however few chunks each has.
  check_interrupt();
  std::optional<Factor> f = factorize(d, theta, reml);
  if (!f) return std::nullopt;
  return solution_of(d, *f, reml, mode, cond_var, known_gradient);
}

Solution solution_of(const Design& d, const Factor& factor, bool reml, Mode mode, bool cond_var,
                     const std::vector<double>* known_gradient, Scratch* scratch) {
  const Factor* f = &factor;
  Solution sol;
  sol.ev = evaluation_from(f->prof, f->ldl2, reml);
  sol.ev.beta = f->prof.beta;
  if (mode == kModeDeviance) {
    unshift(d.pr.shift, sol.ev);
    return sol;
  }
  std::vector<std::vector<double>> u;
  const std::size_t nth = d.theta_offset.back();
  std::optional<Selected> s;
  if (known_gradient && mode == kModeSolution && known_gradient->size() == nth) {
    sol.ev.gradient = *known_gradient;
    u = modes(d, *f);
  } else {
    gradient_into(d, *f, reml, u, sol, s, scratch);
  }
  if (mode != kModeSolution) {
    unshift(d.pr.shift, sol.ev);
    return sol;
  }
  sol.u = u;
  const std::size_t p = d.pr.p;
  sol.ev.fixed_inverse.assign(p * p, 0.0);
  if (p > 0) cholesky_inverse(f->prof.rx.data(), p, sol.ev.fixed_inverse.data());
  if (!cond_var) {
    unshift(d.pr.shift, sol.ev);
    return sol;
  }
  // The conditional variances: the inverse of the system over Z alone.
  const Selected sz = reml || !s ? select_inverse(d, *f, false) : *s;
  std::vector<double> sb, t1(0), t2(0);
  for (std::size_t j = 0; j < d.pr.m.size(); ++j) {
    const std::uint64_t q = d.pr.q[j];
    sol.cond_var.emplace_back(d.pr.m[j] * q * q, 0.0);
    t1.assign(q * q, 0.0);
    for (std::uint64_t l = 0; l < d.pr.m[j]; ++l) {
      block_of(sz, j, l, j, l, sb);
      mat_mul(f->lambda[j].data(), sb.data(), t1.data(), q, q, q);
      double* out = &sol.cond_var[j][l * q * q];
      mat_mul_bt(t1.data(), f->lambda[j].data(), out, q, q, q);
      for (std::size_t v = 0; v < q * q; ++v) out[v] = out[v] * sol.ev.sigma2;
    }
  }
  unshift(d.pr.shift, sol.ev);
  return sol;
}

}  // namespace qk::crossed
