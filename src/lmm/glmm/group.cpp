#include "lmm/glmm/group.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/dense.hpp"
#include "pool/pool.hpp"

namespace qk::glmm::detail {
namespace {

// h_g = -2 sum loglik_smooth + |u|^2 at the eta in work.eta, refreshing work.st.
double objective(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u) {
  const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0, q = rows.q;
  double ll = 0.0;
  for (std::uint64_t r = 0; r < nr; ++r) {
    const std::uint64_t k = r0 + r;
    const Family& f = row_family(work, r);
    const RowState s = row_state(f, rows.y[k], work.eta[r], rows.w[k]);
    work.st[r] = s;
    ll = ll + loglik_smooth(f, rows.y[k], s.mu, rows.w[k]);
  }
  double uu = 0.0;
  for (std::uint64_t b = 0; b < q; ++b) uu = uu + u[b] * u[b];
  return -2.0 * ll + uu;
}

// Refreshes work.st at the eta in work.eta, without h_g's log-likelihood.
void refresh(const Rows& rows, std::uint64_t g, GroupWork& work) {
  const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0;
  for (std::uint64_t r = 0; r < nr; ++r)
    work.st[r] = row_state(row_family(work, r), rows.y[r0 + r], work.eta[r], rows.w[r0 + r]);
}

// work.eta <- eta0 + A u.
void set_eta(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u) {
  const std::uint64_t nr = rows.start[g + 1] - rows.start[g], q = rows.q;
  for (std::uint64_t r = 0; r < nr; ++r) work.eta[r] = plus_random(work.eta0[r], work.a.data() + r * q, u, q);
}

// work.m <- A' diag(c) A + I with c the observed (-d2) or the Fisher weights.
void curvature(std::uint64_t nr, GroupWork& work, bool observed) {
  const std::uint64_t q = work.q;
  std::fill(work.m.begin(), work.m.end(), 0.0);
  for (std::uint64_t r = 0; r < nr; ++r)
    add_outer_lower(observed ? -work.st[r].d2 : work.st[r].weight, work.a.data() + r * q, q, work.m.data());
  for (std::uint64_t i = 0; i < q; ++i) work.m[i * q + i] = work.m[i * q + i] + 1.0;
}

// work.l <- the Cholesky factor of A' W A + I (the Laplace weights) at work.st.
bool laplace_factor(std::uint64_t nr, GroupWork& work) {
  curvature(nr, work, false);
  work.l = work.m;
  return cholesky_in_place(work.l.data(), work.q);
}

// work.l <- the Cholesky factor of A' S A + I with the scoring weights.
bool scoring_factor(std::uint64_t nr, GroupWork& work) {
  const std::uint64_t q = work.q;
  std::fill(work.l.begin(), work.l.end(), 0.0);
  for (std::uint64_t r = 0; r < nr; ++r) add_outer_lower(work.st[r].scoring, work.a.data() + r * q, q, work.l.data());
  for (std::uint64_t i = 0; i < q; ++i) work.l[i * q + i] = work.l[i * q + i] + 1.0;
  return cholesky_in_place(work.l.data(), q);
}

}  // namespace

RowState row_state(const Family& f, double y, double eta, double w) {
  double mu, m1;
  f.link->mean(eta, mu, m1);
  if (general_path(f)) {
    // Chain rule from mu to eta: d1 = l1 m1, d2 = l2 m1^2 + l1 m2, d3 = l3 m1^3 + 3 l2
    // m1 m2 + l1 m3; the Fisher weight info m1^2 and its derivative.
    const MuDerivs d = mu_derivs_of(f, y, mu, w, false);
    const double m2 = mu_eta2(f, eta), m11 = m1 * m1;
    const double d1 = d.l1 * m1, d2 = d.l2 * m11 + d.l1 * m2, fisher = d.info * m11;
    if (f.observed) {
      const double d3 = (d.l3 * m11 * m1 + 3.0 * d.l2 * m1 * m2) + d.l1 * f.link->mu_eta3(eta);
      return {mu, d1, d2, -d2, -d3, fisher};
    }
    return {mu, d1, d2, fisher, d.dinfo * m11 * m1 + 2.0 * d.info * m1 * m2, fisher};
  }
  const double v = variance(f, mu);
  const double weight = working_weight(f, mu, m1, w);
  if (canonical(f)) {
    // d2 = -W exactly, so Newton and Fisher scoring coincide; dW/deta = w V' m1.
    return {mu, w * (y - mu), -weight, weight, w * variance_deriv(f, mu) * m1, weight};
  }
  const EtaDerivs d = loglik_eta_derivs(f, y, eta, w);
  const double m2 = mu_eta2(f, eta);
  const double dw = w * m1 * (2.0 * m2 * v - m1 * m1 * variance_deriv(f, mu)) / (v * v);
  return {mu, d.d1, d.d2, weight, dw, weight};
}

std::array<ExtraDerivs, 2> extra_derivs(const Family& f, double y, double eta, double w) {
  double mu, m1;
  f.link->mean(eta, mu, m1);
  const MuDerivs d = mu_derivs_of(f, y, mu, w);
  const double m2 = mu_eta2(f, eta);
  std::array<ExtraDerivs, 2> out{};
  std::size_t k = 0;
  if (f.def->dispersion)
    out[k++] = {d.lt, d.l1t * m1, f.observed ? -(d.l2t * m1 * m1 + d.l1t * m2) : d.infot * m1 * m1};
  // An inflated family's information is the observed one (its expected one has no
  // closed form).
  if (f.inflated) out[k] = {d.lz, d.l1z * m1, -(d.l2z * m1 * m1 + d.l1z * m2)};
  if (f.def->power)
    out[k] = {d.lz, d.l1z * m1, f.observed ? -(d.l2z * m1 * m1 + d.l1z * m2) : d.infoz * m1 * m1};
  return out;
}

GroupWork::GroupWork(const Rows& rows) : q(rows.q), p(rows.p), family(rows.family) {
  const std::uint64_t n = rows.max_rows;
  a.assign(n * q, 0.0);
  lev.assign(n, 0.0);
  zp.assign(n, 0.0);
  extra.assign(n_extra(rows), 0.0);
  eta0.assign(n, 0.0);
  eta.assign(n, 0.0);
  st.assign(n, RowState{});
  for (auto* v : {&m, &l, &minv, &gm}) v->assign(q * q, 0.0);
  for (auto* v : {&g, &delta, &trial, &s, &t, &zw, &zd}) v->assign(q, 0.0);
}

void group_prepare(const Rows& rows, std::uint64_t g, const double* lambda, const double* beta,
                   GroupWork& work) {
  const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0, q = rows.q, p = rows.p;
  work.family = at_params(rows.family, beta, p);
  if (rows.family.inflated) {
    // The logit of each row's zero-inflation probability: its design row times the
    // coefficients after beta and log(phi).
    const std::uint64_t pz = rows.family.zi_columns;
    const double* bz = beta + p + (rows.family.def->dispersion ? 1 : 0);
    for (std::uint64_t r = 0; r < nr; ++r) {
      const double* zr = rows.zx.data() + (r0 + r) * pz;
      double e = 0.0;
      for (std::uint64_t j = 0; j < pz; ++j) e = e + zr[j] * bz[j];
      work.zp[r] = 1.0 / (1.0 + std::exp(-e));
    }
  }
  for (std::uint64_t r = 0; r < nr; ++r) {
    const std::uint64_t k = r0 + r;
    work.eta0[r] = fixed_eta(rows.offset[k], rows.x.data() + k * p, beta, p);
    lambda_t_row(lambda, rows.z.data() + k * q, q, work.a.data() + r * q);
  }
}

bool group_mode(const Rows& rows, std::uint64_t g, GroupWork& work, double* u, bool warm) {
  const std::uint64_t nr = rows.start[g + 1] - rows.start[g], q = rows.q;
  set_eta(rows, g, work, u);
  double h = objective(rows, g, work, u);
  // A start from a nearby point's mode is kept while its first Newton step is short;
  // after a long trial step of the optimiser the old mode can be far off, and then
  // u = 0 is taken where h_g is lower there.
  bool check_start = warm;
  if (warm && !std::isfinite(h)) {
    std::fill(u, u + q, 0.0);
    set_eta(rows, g, work, u);
    h = objective(rows, g, work, u);
    check_start = false;
  }
  if (!std::isfinite(h)) return false;
  bool h_known = true;  // h is h_g(u): not kept up to date by whole Newton steps
  double prev_whole = INFINITY;  // the last whole step's size (converged_after)
  for (int it = 0; it < kMaxIter; ++it) {
    // Newton direction on h / 2: (A' D A + I) delta = A' d1 - u, with D the observed
    // curvature, or Fisher's weights where the observed one is not positive definite
    // (probit and cloglog far from the data).
    for (std::uint64_t b = 0; b < q; ++b) work.g[b] = -u[b];
    for (std::uint64_t r = 0; r < nr; ++r) {
      const double* ar = work.a.data() + r * q;
      for (std::uint64_t b = 0; b < q; ++b) work.g[b] = work.g[b] + ar[b] * work.st[r].d1;
    }
    curvature(nr, work, true);
    work.l = work.m;
    if (!cholesky_in_place(work.l.data(), q) && !scoring_factor(nr, work)) return false;
    work.delta = work.g;
    forward_solve(work.l.data(), q, work.delta.data(), 1);
    backward_solve(work.l.data(), q, work.delta.data(), 1);
    double big = 0.0;
    for (std::uint64_t b = 0; b < q; ++b) big = std::max(big, std::fabs(work.delta[b]));
    if (!std::isfinite(big)) return false;
    if (check_start) {
      check_start = false;
      if (big > kFarStart) {
        std::vector<double>& zero = work.trial;
        std::fill(zero.begin(), zero.end(), 0.0);
        set_eta(rows, g, work, zero.data());
        const double h0 = objective(rows, g, work, zero.data());
        if (h0 < h) std::fill(u, u + q, 0.0);
        set_eta(rows, g, work, u);
        h = objective(rows, g, work, u);
        --it;
        continue;
      }
    }
    if (big <= kNewtonZone) {
      // Within this distance of the mode Newton's steps converge quadratically and are
      // taken whole: a line search there would judge decreases of h below its rounding
      // error and stop short, and the Laplace term is first-order in the mode's error
      // (log|L|^2 is not stationary at the mode).
      for (std::uint64_t b = 0; b < q; ++b) u[b] = u[b] + work.delta[b];
      set_eta(rows, g, work, u);
      refresh(rows, g, work);
      h_known = false;
      if (converged_after(big, prev_whole)) return laplace_factor(nr, work);
      prev_whole = big;
      continue;
    }
    prev_whole = INFINITY;
    if (!h_known) {
      h = objective(rows, g, work, u);
      h_known = true;
    }
    double step = 1.0;
    bool taken = false;
    for (int k = 0; k < kMaxHalvings; ++k, step *= 0.5) {
      for (std::uint64_t b = 0; b < q; ++b) work.trial[b] = u[b] + step * work.delta[b];
      set_eta(rows, g, work, work.trial.data());
      const double ht = objective(rows, g, work, work.trial.data());
      if (ht <= h) {
        h = ht;
        taken = true;
        break;
      }
      if (big * step <= kStepTol) break;
    }
    if (!taken) {
      // No decrease along a descent direction: u is the mode to rounding when the
      // direction is already tiny, else the search has failed.
      set_eta(rows, g, work, u);
      objective(rows, g, work, u);
      return big <= kSearchEnd && laplace_factor(nr, work);
    }
    for (std::uint64_t b = 0; b < q; ++b) u[b] = work.trial[b];
  }
  return false;
}

double group_laplace(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u) {
  const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0, q = rows.q;
  double ll = 0.0;
  for (std::uint64_t r = 0; r < nr; ++r)
    ll = ll + loglik_smooth(row_family(work, r), rows.y[r0 + r], work.st[r].mu, rows.w[r0 + r]);
  double uu = 0.0;
  for (std::uint64_t b = 0; b < q; ++b) uu = uu + u[b] * u[b];
  return (-2.0 * ll + uu) + log_det(work.l.data(), q);
}

void group_gradient(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u,
                    double* grad) {
  // With M = A' W A + I (Fisher weights, factor L), M_o = A' (-D2) A + I and the mode's
  // derivative du/dphi = M_o^-1 (dA'/dphi d1 + A' D2 deta/dphi) (implicit function
  // theorem on A' d1 - u = 0), the derivative of h_g(u) + log|M| is
  //   sum_r omega_r deta_r/dphi + t' (dA'/dphi) d1 + 2 tr(M^-1 A' W dA/dphi),
  // omega_r = W'_r c_r + D2_r a_r' t - 2 d1_r, c_r = a_r' M^-1 a_r, t = M_o^-1 sum_r W'_r
  // c_r a_r (h_g's own u-derivative vanishes at the mode). For Lambda's entry (a, b):
  // deta_r = z_ra u_b, dA'/dphi d1 = e_b (Z'd1)_a and the trace is (M^-1 A'W Z)_ba.
  const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0, q = rows.q, p = rows.p;
  cholesky_inverse(work.l.data(), q, work.minv.data());
  std::fill(work.s.begin(), work.s.end(), 0.0);
  for (std::uint64_t r = 0; r < nr; ++r) {
    const double* ar = work.a.data() + r * q;
    double c = 0.0;
    for (std::uint64_t i = 0; i < q; ++i) {
      double mi = 0.0;
      for (std::uint64_t j = 0; j < q; ++j) mi = mi + work.minv[i * q + j] * ar[j];
      c = c + ar[i] * mi;
    }
    const double v = work.st[r].dweight * c;
    work.lev[r] = c;
    work.eta0[r] = v;  // eta0 is not needed past the mode: it keeps v_r here
    for (std::uint64_t b = 0; b < q; ++b) work.s[b] = work.s[b] + v * ar[b];
  }
  work.t = work.s;
  if (canonical(work.family) || work.family.observed) {
    // M is M_o: the Laplace weights are the observed curvature.
    forward_solve(work.l.data(), q, work.t.data(), 1);
    backward_solve(work.l.data(), q, work.t.data(), 1);
  } else {
    curvature(nr, work, true);
    std::vector<double>& lo = work.m;  // factor M_o in place
    if (!cholesky_in_place(lo.data(), q)) {
      curvature(nr, work, false);
      cholesky_in_place(lo.data(), q);
    }
    forward_solve(lo.data(), q, work.t.data(), 1);
    backward_solve(lo.data(), q, work.t.data(), 1);
  }
  std::fill(work.zw.begin(), work.zw.end(), 0.0);
  std::fill(work.zd.begin(), work.zd.end(), 0.0);
  std::fill(work.gm.begin(), work.gm.end(), 0.0);  // G = A' W Z
  double* gb = grad + rows.idx.size();
  // d/dt of -2 l + log|M| for each parameter t beside beta (log(phi), the inflation's
  // logit) with the mode moving: the direct terms -2 l_t + c_r W_t and, through du/dt =
  // M_o^-1 A' d1_t, (a_r' t) d1_t (as for beta, with t = M_o^-1 s).
  const std::uint64_t ne = n_extra(work.family), nd = work.family.def->dispersion ? 1 : 0;
  std::fill(work.extra.begin(), work.extra.end(), 0.0);
  for (std::uint64_t r = 0; r < nr; ++r) {
    const std::uint64_t k = r0 + r;
    const double* ar = work.a.data() + r * q;
    const double* zr = rows.z.data() + k * q;
    const RowState& s = work.st[r];
    double at = 0.0;
    for (std::uint64_t b = 0; b < q; ++b) at = at + ar[b] * work.t[b];
    const double omega = (work.eta0[r] + s.d2 * at) - 2.0 * s.d1;
    const double* xr = rows.x.data() + k * p;
    for (std::uint64_t j = 0; j < p; ++j) gb[j] = gb[j] + omega * xr[j];
    if (ne > 0) {
      const std::array<ExtraDerivs, 2> dp = extra_derivs(row_family(work, r), rows.y[k], work.eta[r], rows.w[k]);
      if (nd > 0) work.extra[0] = work.extra[0] + ((-2.0 * dp[0].l + work.lev[r] * dp[0].weight) + at * dp[0].d1);
      if (work.family.def->power)
        work.extra[nd] = work.extra[nd] + ((-2.0 * dp[nd].l + work.lev[r] * dp[nd].weight) + at * dp[nd].d1);
      if (work.family.inflated) {
        // The logit's derivative, times the row's zero-inflation design.
        const double dz = (-2.0 * dp[nd].l + work.lev[r] * dp[nd].weight) + at * dp[nd].d1;
        const std::uint64_t pz = ne - nd;
        const double* zr = rows.zx.data() + k * pz;
        for (std::uint64_t j = 0; j < pz; ++j) work.extra[nd + j] = work.extra[nd + j] + dz * zr[j];
      }
    }
    for (std::uint64_t c = 0; c < q; ++c) {
      work.zw[c] = work.zw[c] + omega * zr[c];
      work.zd[c] = work.zd[c] + s.d1 * zr[c];
    }
    for (std::uint64_t b = 0; b < q; ++b) {
      const double wa = s.weight * ar[b];
      for (std::uint64_t c = 0; c < q; ++c) work.gm[b * q + c] = work.gm[b * q + c] + wa * zr[c];
    }
  }
  for (std::size_t e = 0; e < rows.idx.size(); ++e) {
    const std::uint64_t ra = rows.idx[e].first, cb = rows.idx[e].second;
    double mg = 0.0;  // (M^-1 G)_{b a}
    for (std::uint64_t j = 0; j < q; ++j) mg = mg + work.minv[cb * q + j] * work.gm[j * q + ra];
    grad[e] = grad[e] + ((u[cb] * work.zw[ra] + work.t[cb] * work.zd[ra]) + 2.0 * mg);
  }
  for (std::uint64_t j = 0; j < ne; ++j) gb[p + j] = gb[p + j] + work.extra[j];
}

bool agq_scale(const double* l, std::uint64_t q, double* scale) {
  // The grid's scale S: the lower-triangular factor of M^-1 (S S' = M^-1, M = L L'),
  // from the Cholesky factor of M with its indices reversed, R~: M^-1 = P R~^-T R~^-1 P
  // and P R~^-T P is lower triangular. Any S with S S' = M^-1 centres and scales the
  // grid; the product rule depends on which, and this one is the usual (that of
  // Pinheiro & Bates 1995).
  std::vector<double> mr(q * q), sc(q * q, 0.0);
  for (std::uint64_t i = 0; i < q; ++i)
    for (std::uint64_t j = 0; j < q; ++j) {
      double v = 0.0;  // M[q-1-i][q-1-j] = sum_c L[q-1-i][c] L[q-1-j][c]
      for (std::uint64_t c = 0; c < q; ++c) v = v + l[(q - 1 - i) * q + c] * l[(q - 1 - j) * q + c];
      mr[i * q + j] = v;
    }
  if (!cholesky_in_place(mr.data(), q)) return false;
  for (std::uint64_t i = 0; i < q; ++i) sc[i * q + i] = 1.0;
  backward_solve(mr.data(), q, sc.data(), q);  // R~^-T, upper triangular
  for (std::uint64_t i = 0; i < q; ++i)
    for (std::uint64_t j = 0; j < q; ++j) scale[i * q + j] = sc[(q - 1 - i) * q + (q - 1 - j)];
  return true;
}

double group_agq(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u,
                 const std::vector<double>& nodes, const std::vector<double>& log_weights) {
  const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0, q = rows.q;
  const std::size_t k = nodes.size();
  std::size_t total = 1;
  for (std::uint64_t b = 0; b < q; ++b) total *= k;
  std::vector<double> scale(q * q);
  if (!agq_scale(work.l.data(), q, scale.data())) return INFINITY;
  std::vector<std::size_t> digit(q, 0);
  std::vector<double> z(q), terms(total);
  double top = -INFINITY;
  for (std::size_t node = 0; node < total; ++node) {
    if (node % 1024 == 1023) check_interrupt();  // 25^4 nodes of one group take minutes
    double lw = 0.0, zz = 0.0;
    for (std::uint64_t b = 0; b < q; ++b) {
      z[b] = nodes[digit[b]];
      lw = lw + log_weights[digit[b]];
      zz = zz + z[b] * z[b];
    }
    // u = mode + S z.
    mat_mul(scale.data(), z.data(), work.trial.data(), q, q, 1);
    double uu = 0.0;
    for (std::uint64_t b = 0; b < q; ++b) {
      work.trial[b] = u[b] + work.trial[b];
      uu = uu + work.trial[b] * work.trial[b];
    }
    double ll = 0.0;
    const double* ut = work.trial.data();
    for (std::uint64_t r = 0; r < nr; ++r) {
      double e = work.eta0[r];
      const double* ar = work.a.data() + r * q;
      for (std::uint64_t b = 0; b < q; ++b) e = e + ar[b] * ut[b];
      ll = ll + loglik_smooth(row_family(work, r), rows.y[r0 + r], linkinv(work.family, e), rows.w[r0 + r]);
    }
    terms[node] = lw + ((ll - 0.5 * uu) + 0.5 * zz);
    top = std::max(top, terms[node]);
    for (std::uint64_t b = 0; b < q; ++b) {  // next node, first digit fastest
      if (++digit[b] < k) break;
      digit[b] = 0;
    }
  }
  double sum = 0.0;
  for (std::size_t node = 0; node < total; ++node) sum = sum + std::exp(terms[node] - top);
  return log_det(work.l.data(), q) - 2.0 * (top + std::log(sum));
}

bool schur_share(double* m, std::uint64_t q, std::uint64_t p, double* bg, double* rg, double* s, double* rb) {
  if (!cholesky_in_place(m, q)) return false;
  forward_solve(m, q, bg, p);
  forward_solve(m, q, rg, 1);
  for (std::uint64_t i = 0; i < p; ++i) {
    double rc = 0.0;
    for (std::uint64_t k = 0; k < q; ++k) rc = rc + bg[k * p + i] * rg[k];
    rb[i] = rb[i] - rc;
    for (std::uint64_t j = 0; j <= i; ++j) {
      double cc = 0.0;
      for (std::uint64_t k = 0; k < q; ++k) cc = cc + bg[k * p + i] * bg[k * p + j];
      s[i * p + j] = s[i * p + j] - cc;
    }
  }
  return true;
}

}  // namespace qk::glmm::detail
