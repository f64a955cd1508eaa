// nAGQ = 0 on crossed factors: PIRLS over (u, beta) jointly, the Laplace value at its
// solution, and that criterion's exact gradient over theta and the family's parameters
// beside beta (see joint_gradient in glmm.hpp for the formula).
#include <algorithm>
#include <array>
#include <cmath>

#include "lmm/glmm/crossed_detail.hpp"
#include "lmm/glmm/crossed_glmm.hpp"
#include "lmm/glmm/group.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {

using namespace crossed_detail;

namespace {

// The joint PIRLS from beta0 (and the modes in warm, when given): beta receives its beta
// (the family's parameters beside it copied from beta0's) and rx_inv, when given, beta's
// covariance at fixed theta there.
bool joint_solve(const CrossedModel& model, const std::vector<double>& theta, const double* beta0, double* beta,
                 double* rx_inv, std::vector<std::vector<double>>* warm) {
  std::vector<double> zp;
  const Family fam = family_at(model, beta0, zp);
  std::vector<double> b(beta0, beta0 + model.p), eta;
  std::vector<std::vector<double>> u;
  if (warm) u = *warm;
  Solve last;
  // The family's parameters beside beta (log(phi), the inflation's logit) are held at beta0's.
  const std::uint64_t nd = n_extra(model.family);
  std::copy(beta0 + model.p, beta0 + model.p + nd, beta + model.p);
  if (!pirls(model, fam, theta, b, true, false, u, eta, last)) {
    std::copy(b.begin(), b.end(), beta);  // the last iterate, for a diagnosis
    return false;
  }
  std::copy(last.beta.begin(), last.beta.end(), beta);
  if (rx_inv) std::copy(last.solution->ev.fixed_inverse.begin(), last.solution->ev.fixed_inverse.end(), rx_inv);
  if (warm) *warm = last.u;
  return true;
}

}  // namespace

bool crossed_joint(const CrossedModel& model, const std::vector<double>& theta, const double* beta0, double& value,
                   double* beta, double* rx_inv, std::vector<std::vector<double>>* warm) {
  // The Laplace value at beta starts its PIRLS from the joint modes, which are its own.
  std::vector<std::vector<double>> u;
  if (warm) u = *warm;
  if (!joint_solve(model, theta, beta0, beta, rx_inv, &u)) return false;
  const bool ok = crossed_evaluate(model, theta, beta, value, nullptr, nullptr, &u, true);
  if (ok && warm) *warm = u;
  return ok;
}

bool crossed_joint_gradient(const CrossedModel& model, const std::vector<double>& theta, const double* beta0,
                            double& value, double* beta, double* grad, std::vector<std::vector<double>>& warm,
                            double* rx_inv) {
  const std::uint64_t n = model.n, p = model.p, ne = n_extra(model.family);
  const std::size_t k = model.factors.size(), nt = model.theta_offset.back();
  std::vector<double> rx(p * p);
  if (!joint_solve(model, theta, beta0, beta, rx.data(), &warm)) return false;
  if (rx_inv) std::copy(rx.begin(), rx.end(), rx_inv);
  std::vector<double> full(nt + p + ne, 0.0);
  std::vector<std::vector<double>>& u = warm;
  if (!crossed_evaluate(model, theta, beta, value, nullptr, full.data(), &u, true)) return false;
  std::vector<double> zp;
  const Family fam = family_at(model, beta, zp);
  std::vector<std::vector<double>> lambdas(k);
  for (std::size_t j = 0; j < k; ++j)
    lambdas[j] = theta_to_lambda(theta_part(model, theta, j), model.factors[j].idx, model.factors[j].q);
  std::vector<double> eta0(n), eta;
  for (std::uint64_t r = 0; r < n; ++r) {
    double e = model.offset[r];
    for (std::uint64_t c = 0; c < p; ++c) e = e + model.x[r * p + c] * beta[c];
    eta0[r] = e;
  }
  linear_predictor(model, lambdas, eta0, u, eta);
  std::vector<detail::RowState> st(n);
  each_row(n, kRowStateCost, [&](std::uint64_t r) { st[r] = state_at(model, fam, eta[r], r); });
  // H = 2 S_o with S_o the joint system's Schur complement under the observed curvature,
  // whose inverse a joint solve returns: the joint PIRLS's last one where its Laplace
  // weights are that curvature already. Rows of negative curvature (zeros a
  // zero-inflation explains) stay in it, as in PIRLS's Newton steps; Fisher's weights
  // only where that system does not factor (a non-canonical link far from the data).
  std::vector<double> cw(n), resp(n);
  const auto weigh = [&](bool observed) {
    for (std::uint64_t r = 0; r < n; ++r) {
      const double c = observed ? -st[r].d2 : st[r].scoring;
      cw[r] = model.w[r] == 0.0 || c == 0.0 ? kTinyWeight : c;
      resp[r] = model.w[r] == 0.0 ? 0.0 : st[r].d1 / cw[r];
    }
  };
  weigh(true);
  if (!(canonical(fam) || fam.observed)) {
    Solve js;
    if (!solve_system(model, theta, cw, resp, true, false, false, js)) {
      weigh(false);
      if (!solve_system(model, theta, cw, resp, true, false, false, js)) return false;
    }
    rx = js.solution->ev.fixed_inverse;
  }
  const std::vector<double>& sinv = rx;
  std::vector<double> v(p, 0.0), xv(n), w(n);
  for (std::uint64_t i = 0; i < p; ++i) {
    double s = 0.0;
    for (std::uint64_t j = 0; j < p; ++j) s = s + sinv[i * p + j] * full[nt + j];
    v[i] = 0.5 * s;
  }
  for (std::uint64_t r = 0; r < n; ++r) {
    double s = 0.0;
    for (std::uint64_t c = 0; c < p; ++c) s = s + model.x[r * p + c] * v[c];
    xv[r] = s;
    w[r] = -2.0 * s * st[r].d2;
    resp[r] = model.w[r] == 0.0 ? 0.0 : w[r] / cw[r];
  }
  // t = M_o^-1 A'w, and a_r't per row.
  Solve ts;
  if (std::any_of(resp.begin(), resp.end(), [](double x) { return x != 0.0; })) {
    if (!solve_system(model, theta, cw, resp, false, false, false, ts)) return false;
  } else {
    ts.u.resize(k);
    for (std::size_t j = 0; j < k; ++j) ts.u[j].assign(u[j].size(), 0.0);
  }
  std::vector<double> at;
  linear_predictor(model, lambdas, std::vector<double>(n, 0.0), ts.u, at);
  std::vector<double> psi(nt + ne, 0.0);
  const ExtraEntries ex(model, fam);
  for (std::uint64_t r = 0; r < n && ne > 0; ++r) {
    if (model.w[r] == 0.0) continue;
    const std::array<detail::ExtraDerivs, 2> d =
        fam.zi_rows ? detail::extra_derivs(row_family(fam, r), model.y[r], eta[r], model.w[r])
                    : detail::extra_derivs(fam, model.y[r], eta[r], model.w[r]);
    for (std::uint64_t j = 0; j < ne; ++j)
      psi[nt + j] = psi[nt + j] + (-2.0 * xv[r] + at[r]) * d[ex.slot(j)].d1 * ex.weight(r, j);
  }
  std::vector<double> coef(n);
  for (std::uint64_t r = 0; r < n; ++r) coef[r] = w[r] + st[r].d2 * at[r];
  theta_terms(model, coef, st, u, ts.u, psi.data());
  return detail::joint_difference(full, psi, nt, p, ne, grad);
}

}  // namespace qk::glmm
