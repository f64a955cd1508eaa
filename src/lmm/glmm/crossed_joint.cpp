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

bool crossed_joint(const CrossedModel& model, const std::vector<double>& theta, const double* beta0, double& value,
                   double* beta, double* rx_inv, std::vector<std::vector<double>>* warm) {
  std::vector<std::vector<double>> u;
  if (warm) u = *warm;
  const bool ok = joint_point(model, theta, beta0, beta, rx_inv, value, nullptr, u);
  if (ok && warm) *warm = std::move(u);
  return ok;
}

bool crossed_joint_gradient(const CrossedModel& model, const std::vector<double>& theta, const double* beta0,
                            double& value, double* beta, double* grad, std::vector<std::vector<double>>& warm,
                            double* rx_inv) {
  const std::uint64_t n = model.n, p = model.p, ne = n_extra(model.family);
  const std::size_t k = model.factors.size(), nt = model.theta_offset.back();
  std::vector<double> rx(p * p), full(nt + p + ne, 0.0);
  JointRows at_point;
  if (!joint_point(model, theta, beta0, beta, rx.data(), value, full.data(), warm, &at_point)) return false;
  if (rx_inv) std::copy(rx.begin(), rx.end(), rx_inv);
  const std::vector<std::vector<double>>& u = warm;
  const std::vector<double>& eta = at_point.eta;
  const std::vector<detail::RowState>& st = at_point.st;
  std::vector<double> zp;
  const Family fam = family_at(model, beta, zp);
  std::vector<std::vector<double>> lambdas(k);
  for (std::size_t j = 0; j < k; ++j)
    lambdas[j] = theta_to_lambda(theta_part(model, theta, j), model.factors[j].idx, model.factors[j].q);
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
  // t = M_o^-1 A'w, and a_r't per row: M_o is the joint system's part over u where its
  // Laplace weights are the observed curvature, and its factor serves.
  std::vector<std::vector<double>> t;
  const bool solved = [&] {
    if (!std::any_of(resp.begin(), resp.end(), [](double x) { return x != 0.0; })) {
      t.resize(k);
      for (std::size_t j = 0; j < k; ++j) t[j].assign(u[j].size(), 0.0);
      return true;
    }
    if (canonical(fam) || fam.observed) {
      t = cr::solve_z(*at_point.design, *at_point.factor, z_rhs(model, lambdas, cw, resp));
      return true;
    }
    Solve ts;
    if (!solve_system(model, theta, cw, resp, false, false, false, ts)) return false;
    t = std::move(ts.u);
    return true;
  }();
  model.spares->give(std::move(at_point.design), true);
  if (!solved) return false;
  std::vector<double> at;
  linear_predictor(model, lambdas, std::vector<double>(n, 0.0), t, at);
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
  theta_terms(model, coef, st, u, t, psi.data());
  return detail::joint_difference(full, psi, nt, p, ne, grad);
}

}  // namespace qk::glmm
