// PIRLS over (u, beta) jointly at fixed theta (lme4's nAGQ = 0), and beta's curvature at
// fixed theta. The system of one Fisher-scoring step is block-arrow shaped:
//   [M_g  B_g] [du_g ]   [A_g' d1 - u_g]
//   [B_g' X'WX] [dbeta] = [X' d1       ],   M_g = A_g' W A_g + I, B_g = A_g' W X_g,
// solved through the Schur complement S = X'WX - sum_g B_g' M_g^-1 B_g, as the linear
// model's core solves its penalised least squares (Bates et al. 2015, sec. 3.6).
#include <algorithm>
#include <array>
#include <cmath>

#include "linalg/dense.hpp"
#include "lmm/glmm/glmm.hpp"
#include "lmm/glmm/group.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {
namespace {

using detail::GroupWork;
using Sums = detail::JointSums;
using Store = detail::JointStore;

std::uint64_t cost_of(const Rows& rows) {
  const std::uint64_t per = rows.n / std::max<std::uint64_t>(rows.m, 1) + 1;
  return per * (rows.q + rows.p) * (rows.q + rows.p) * 4;
}

// One pass over the groups at (beta, u): h = sum_g h_g and, when `store` is given,
// the Schur complement S and right-hand side of the step, with the scoring weights or,
// when `observed`, the observed curvature -d2 (the exact Hessian of h over (u, beta)).
Sums pass(const Rows& rows, const double* lambda, const double* beta, const std::vector<double>& u,
          Store* store, bool observed = false) {
  const std::uint64_t q = rows.q, p = rows.p;
  const ChunkPlan plan = plan_chunks(rows.m, cost_of(rows));
  std::vector<Sums> parts = map_chunks<Sums>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    Sums part;
    part.s.assign(p * p, 0.0);
    part.rb.assign(p, 0.0);
    GroupWork work(rows);
    std::vector<double> bg(q * p), rg(q), ug(q);
    for (std::uint64_t g = b; g < e; ++g) {
      if (g % 256 == 255) check_interrupt();
      const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0;
      detail::group_prepare(rows, g, lambda, beta, work);
      std::copy(u.begin() + static_cast<std::ptrdiff_t>(g * q), u.begin() + static_cast<std::ptrdiff_t>((g + 1) * q),
                ug.begin());
      double ll = 0.0, uu = 0.0;
      std::fill(bg.begin(), bg.end(), 0.0);
      std::fill(work.m.begin(), work.m.end(), 0.0);
      for (std::uint64_t j = 0; j < q; ++j) {
        uu = uu + ug[j] * ug[j];
        rg[j] = -ug[j];
      }
      for (std::uint64_t r = 0; r < nr; ++r) {
        const std::uint64_t k = r0 + r;
        const double* ar = work.a.data() + r * q;
        double eta = work.eta0[r];
        for (std::uint64_t j = 0; j < q; ++j) eta = eta + ar[j] * ug[j];
        const Family& f = detail::row_family(work, r);
        const detail::RowState st = detail::row_state(f, rows.y[k], eta, rows.w[k]);
        ll = ll + loglik_smooth(f, rows.y[k], st.mu, rows.w[k]);
        if (!store) continue;
        const double* xr = rows.x.data() + k * p;
        const double wt = observed ? -st.d2 : st.scoring;
        for (std::uint64_t i = 0; i < q; ++i) {
          const double wa = wt * ar[i];
          rg[i] = rg[i] + ar[i] * st.d1;
          for (std::uint64_t j = 0; j <= i; ++j) work.m[i * q + j] = work.m[i * q + j] + wa * ar[j];
          for (std::uint64_t j = 0; j < p; ++j) bg[i * p + j] = bg[i * p + j] + wa * xr[j];
        }
        for (std::uint64_t i = 0; i < p; ++i) {
          const double wx = wt * xr[i];
          part.rb[i] = part.rb[i] + xr[i] * st.d1;
          for (std::uint64_t j = 0; j <= i; ++j) part.s[i * p + j] = part.s[i * p + j] + wx * xr[j];
        }
      }
      part.h = part.h + (-2.0 * ll + uu);
      if (!store) continue;
      for (std::uint64_t j = 0; j < q; ++j) work.m[j * q + j] = work.m[j * q + j] + 1.0;
      if (!detail::schur_share(work.m.data(), q, p, bg.data(), rg.data(), part.s.data(), part.rb.data())) {
        part.ok = false;
        return part;
      }
      std::copy(work.m.begin(), work.m.end(), store->l.begin() + static_cast<std::ptrdiff_t>(g * q * q));
      std::copy(bg.begin(), bg.end(), store->c.begin() + static_cast<std::ptrdiff_t>(g * q * p));
      std::copy(rg.begin(), rg.end(), store->r.begin() + static_cast<std::ptrdiff_t>(g * q));
    }
    return part;
  });
  Sums total;
  total.s.assign(p * p, 0.0);
  total.rb.assign(p, 0.0);
  for (const Sums& part : parts) {
    if (!part.ok) total.ok = false;
    total.h = total.h + part.h;
    for (std::uint64_t i = 0; i < p * p; ++i) total.s[i] = total.s[i] + part.s[i];
    for (std::uint64_t i = 0; i < p; ++i) total.rb[i] = total.rb[i] + part.rb[i];
  }
  if (!std::isfinite(total.h)) total.ok = false;
  return total;
}

}  // namespace

bool rx_inverse(const Rows& rows, const std::vector<double>& lambda, const double* beta,
                const std::vector<double>& u, double* out) {
  const std::uint64_t p = rows.p, q = rows.q;
  Store store{std::vector<double>(rows.m * q * q), std::vector<double>(rows.m * q * p), std::vector<double>(rows.m * q)};
  Sums sums = pass(rows, lambda.data(), beta, u, &store);
  if (!sums.ok || !cholesky_in_place(sums.s.data(), p)) return false;
  cholesky_inverse(sums.s.data(), p, out);
  return true;
}

namespace detail {

bool joint_pirls(std::uint64_t m, std::uint64_t q, std::uint64_t p, std::uint64_t pe, const double* beta0,
                 const JointPass& pass, double* beta, std::vector<double>& u, bool mixture,
                 const JointTrials* trials) {
  // The family's parameters beside beta ride along in b and bt, fixed at beta0's.
  std::vector<double> b(beta0, beta0 + pe), bt(b), ut(m * q), db(p), du(m * q);
  if (u.size() != m * q) u.assign(m * q, 0.0);  // else a start the caller chose
  // On failure beta holds the last iterate, for a diagnosis of why.
  struct Last {
    const std::vector<double>& b;
    double* out;
    ~Last() { std::copy(b.begin(), b.end(), out); }
  } last{b, beta};
  Store store{std::vector<double>(m * q * q), std::vector<double>(m * q * p), std::vector<double>(m * q)};
  bool done = false;
  double last_big = INFINITY;
  // The step's system at (b, u), its Schur complement factored; false where it fails.
  const auto system_at = [&](bool observed, Sums& sums) {
    sums = pass(b.data(), u, &store, observed);
    if (!sums.ok) return false;
    for (std::uint64_t i = 0; i < p; ++i)
      for (std::uint64_t j = i + 1; j < p; ++j) sums.s[i * p + j] = 0.0;
    return cholesky_in_place(sums.s.data(), p);
  };
  for (int it = 0; it < kMaxIter && !done; ++it) {
    Sums sums;
    // A mixture's scoring steps converge only linearly, and within the Newton zone a
    // step whose decrease h's rounding cannot show ends the PIRLS (below): one that
    // stopped there would sit some 1e-8 from the modes. Its steps there are Newton's,
    // unless that system does not factor.
    const bool newton = mixture && last_big <= kNewtonZone;
    if (!(newton && system_at(true, sums)) && !system_at(false, sums)) return false;
    db = sums.rb;
    forward_solve(sums.s.data(), p, db.data(), 1);
    backward_solve(sums.s.data(), p, db.data(), 1);
    double big = 0.0;
    for (std::uint64_t i = 0; i < p; ++i) big = std::max(big, std::fabs(db[i]));
    for (std::uint64_t g = 0; g < m; ++g) {
      double* dg = du.data() + g * q;
      const double* cg = store.c.data() + g * q * p;
      for (std::uint64_t i = 0; i < q; ++i) {
        double s = store.r[g * q + i];
        for (std::uint64_t j = 0; j < p; ++j) s = s - cg[i * p + j] * db[j];
        dg[i] = s;
      }
      backward_solve(store.l.data() + g * q * q, q, dg, 1);
      for (std::uint64_t i = 0; i < q; ++i) big = std::max(big, std::fabs(dg[i]));
    }
    if (!std::isfinite(big)) return false;
    if (big <= kStepTol) done = true;
    last_big = big;
    double step = 1.0;
    bool taken = false;
    std::vector<Sums> ahead;  // the halvings' values from trials, in the loop's order
    // Within the Newton zone a whole step that fails to decrease h ends the PIRLS, with no
    // halvings tried: the decrease there is below h's rounding on large data (see below),
    // and each halving would be one more pass over the rows.
    const int halvings = big <= kNewtonZone ? 1 : kMaxHalvings;
    for (int k = 0; k < halvings; ++k, step *= 0.5) {
      for (std::uint64_t i = 0; i < p; ++i) bt[i] = b[i] + step * db[i];
      if (k == 1 && trials) {
        std::vector<double> bts, steps;
        for (double s = step; steps.size() + 1 < static_cast<std::size_t>(kMaxHalvings); s *= 0.5) {
          for (std::uint64_t i = 0; i < p; ++i) bt[i] = b[i] + s * db[i];
          bts.insert(bts.end(), bt.begin(), bt.end());
          steps.push_back(s);
          if (big * s <= kStepTol) break;
        }
        ahead = (*trials)(bts, u, du, steps);
        for (std::uint64_t i = 0; i < p; ++i) bt[i] = b[i] + step * db[i];
      }
      for (std::uint64_t i = 0; i < m * q; ++i) ut[i] = u[i] + step * du[i];
      const Sums trial =
          k >= 1 && trials ? ahead[static_cast<std::size_t>(k - 1)] : pass(bt.data(), ut, nullptr, false);
      if (done || (trial.ok && trial.h <= sums.h)) {
        taken = true;
        break;
      }
      if (big * step <= kStepTol) break;
    }
    if (!taken) {
      // No decrease along the Newton direction: u and beta are the joint mode to the
      // rounding of h when the direction is within the Newton zone (at a million rows
      // h's rounding, some 1e-10 of it, swamps the decrease of a step near 1e-6).
      if (big > kNewtonZone) return false;
      done = true;
      break;
    }
    b.swap(bt);
    u.swap(ut);
  }
  return done;
}

}  // namespace detail

namespace {

// The joint PIRLS from beta0 (and the modes in warm where they are no worse than
// zero): beta and u receive its solution, rx_inv (when given) beta's covariance there.
bool joint_modes(const Rows& rows, const std::vector<double>& lambda, const double* beta0, double* beta,
                 double* rx_inv, const std::vector<double>* warm, std::vector<double>& u) {
  // A start from other modes is kept where it is no worse than zero (warm may be u).
  const bool keep = warm && warm->size() == rows.m * rows.q &&
                    pass(rows, lambda.data(), beta0, *warm, nullptr).h <=
                        pass(rows, lambda.data(), beta0, std::vector<double>(rows.m * rows.q, 0.0), nullptr).h;
  if (!keep) u.clear();
  else if (warm != &u) u = *warm;
  const detail::JointPass at = [&](const double* b, const std::vector<double>& uv, Store* store, bool observed) {
    return pass(rows, lambda.data(), b, uv, store, observed);
  };
  if (!detail::joint_pirls(rows.m, rows.q, rows.p, rows.p + n_extra(rows), beta0, at, beta, u,
                           rows.family.inflated))
    return false;
  return !rx_inv || rx_inverse(rows, lambda, beta, u, rx_inv);
}

}  // namespace

bool evaluate_joint(const Rows& rows, const std::vector<double>& lambda, const double* beta0,
                    double& value, double* beta, double* rx_inv, std::vector<double>* warm) {
  std::vector<double> u;
  if (!joint_modes(rows, lambda, beta0, beta, rx_inv, warm, u)) return false;
  if (warm) *warm = u;
  return evaluate(rows, lambda, beta, 1, value, nullptr, nullptr, warm);
}

bool joint_gradient(const Rows& rows, const std::vector<double>& lambda, const double* beta0, double& value,
                    double* beta, double* grad, std::vector<double>& warm) {
  const std::uint64_t p = rows.p, q = rows.q, m = rows.m, nt = rows.idx.size(), ne = n_extra(rows);
  if (!joint_modes(rows, lambda, beta0, beta, nullptr, &warm, warm)) return false;
  std::vector<double> full(nt + p + ne, 0.0);
  Modes modes;
  if (!evaluate(rows, lambda, beta, 1, value, full.data(), &modes, &warm)) return false;
  // H = 2 S_o, S_o the Schur complement of the exact (observed) Hessian of h over
  // (u, beta); Fisher's where the observed curvature is not positive definite in a
  // group (a non-canonical link far from the data), as the gradients do.
  Store store{std::vector<double>(m * q * q), std::vector<double>(m * q * p), std::vector<double>(m * q)};
  Sums sums = pass(rows, lambda.data(), beta, modes.u, &store, true);
  if (!sums.ok) sums = pass(rows, lambda.data(), beta, modes.u, &store, false);
  if (!sums.ok) return false;
  for (std::uint64_t i = 0; i < p; ++i)
    for (std::uint64_t j = i + 1; j < p; ++j) sums.s[i * p + j] = 0.0;
  if (!cholesky_in_place(sums.s.data(), p)) return false;
  std::vector<double> v(full.begin() + static_cast<std::ptrdiff_t>(nt), full.begin() + static_cast<std::ptrdiff_t>(nt + p));
  forward_solve(sums.s.data(), p, v.data(), 1);
  backward_solve(sums.s.data(), p, v.data(), 1);
  for (double& x : v) x = 0.5 * x;
  // The gradient of psi = -2 sum_r (x_r'v) d1_r over (theta, e) at fixed beta, the
  // modes following: with w_r = -2 (x_r'v) d2_r and t = M_o^-1 sum_r w_r a_r it is
  // sum_r (w_r + d2_r a_r't) deta_r/dphi + t' (dA'/dphi) d1 for theta's entries (the
  // form of group_gradient's) and sum_r (-2 x_r'v + a_r't) d1_r,e for e.
  const std::uint64_t nd = rows.family.def->dispersion ? 1 : 0;
  const ChunkPlan plan = plan_chunks(m, cost_of(rows));
  std::vector<std::vector<double>> parts =
      map_chunks<std::vector<double>>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
        std::vector<double> part(nt + ne, 0.0), xv(rows.max_rows);
        GroupWork work(rows);
        for (std::uint64_t g = b; g < e; ++g) {
          if (g % 256 == 255) check_interrupt();
          const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0;
          const double* ug = modes.u.data() + g * q;
          detail::group_prepare(rows, g, lambda.data(), beta, work);
          std::fill(work.s.begin(), work.s.end(), 0.0);
          for (std::uint64_t r = 0; r < nr; ++r) {
            const std::uint64_t k = r0 + r;
            const double* xr = rows.x.data() + k * p;
            double s = 0.0;
            for (std::uint64_t j = 0; j < p; ++j) s = s + xr[j] * v[j];
            xv[r] = s;
            work.st[r] = detail::row_state(detail::row_family(work, r), rows.y[k], modes.eta[k], rows.w[k]);
            const double w = -2.0 * s * work.st[r].d2;
            const double* ar = work.a.data() + r * q;
            for (std::uint64_t i = 0; i < q; ++i) work.s[i] = work.s[i] + w * ar[i];
          }
          work.t = work.s;
          const double* lg = store.l.data() + g * q * q;
          forward_solve(lg, q, work.t.data(), 1);
          backward_solve(lg, q, work.t.data(), 1);
          std::fill(work.zw.begin(), work.zw.end(), 0.0);
          std::fill(work.zd.begin(), work.zd.end(), 0.0);
          for (std::uint64_t r = 0; r < nr; ++r) {
            const std::uint64_t k = r0 + r;
            const double* ar = work.a.data() + r * q;
            const double* zr = rows.z.data() + k * q;
            const detail::RowState& st = work.st[r];
            double at = 0.0;
            for (std::uint64_t i = 0; i < q; ++i) at = at + ar[i] * work.t[i];
            const double coef = -2.0 * xv[r] * st.d2 + st.d2 * at;
            for (std::uint64_t c = 0; c < q; ++c) {
              work.zw[c] = work.zw[c] + coef * zr[c];
              work.zd[c] = work.zd[c] + st.d1 * zr[c];
            }
            if (ne == 0 || rows.w[k] == 0.0) continue;
            const std::array<detail::ExtraDerivs, 2> dp =
                detail::extra_derivs(detail::row_family(work, r), rows.y[k], modes.eta[k], rows.w[k]);
            const double base = -2.0 * xv[r] + at;
            if (nd > 0) part[nt] = part[nt] + base * dp[0].d1;
            if (rows.family.def->power) part[nt + nd] = part[nt + nd] + base * dp[nd].d1;
            const double* zx = rows.zx.data() + k * (ne - nd);
            for (std::uint64_t j = nd; j < ne && rows.family.inflated; ++j)
              part[nt + j] = part[nt + j] + base * dp[nd].d1 * zx[j - nd];
          }
          for (std::size_t i = 0; i < nt; ++i) {
            const std::uint64_t ra = rows.idx[i].first, cb = rows.idx[i].second;
            part[i] = part[i] + (ug[cb] * work.zw[ra] + work.t[cb] * work.zd[ra]);
          }
        }
        return part;
      });
  std::vector<double> psi(nt + ne, 0.0);
  for (const std::vector<double>& part : parts)
    for (std::size_t i = 0; i < psi.size(); ++i) psi[i] = psi[i] + part[i];
  return detail::joint_difference(full, psi, nt, p, ne, grad);
}

}  // namespace qk::glmm
