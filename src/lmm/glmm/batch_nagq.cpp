// The criteria of the fit from batches beside Laplace's (batch_driver.hpp): nAGQ = 0's
// exact gradient and the adaptive Gauss-Hermite quadrature of a scalar random effect,
// each from passes whose row sums are those joint_gradient and group_agq take of the
// rows in memory, in the same order within each group.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "linalg/dense.hpp"
#include "lmm/glmm/batch_driver.hpp"

namespace qk::glmm::detail {

bool Driver::joint_gradient(const std::vector<double>& lambda, const double* beta0, double& value, double* beta,
                            double* grad, std::vector<double>& warm) {
  const std::uint64_t p = model_.p, q = model_.q, m = model_.m, qq = q * q, nt = model_.idx.size();
  const std::uint64_t ne = n_extra(model_.family);
  if (!joint_modes(lambda, beta0, beta, &warm, warm)) return false;
  std::vector<double> full(nt + p + ne, 0.0);
  if (!evaluate(lambda, beta, value, full.data(), &warm)) return false;
  const std::vector<double> u = u_;
  // H = 2 S_o, S_o the Schur complement of the exact Hessian of h over (u, beta);
  // Fisher's where the observed curvature is not positive definite in a group.
  JointStore store{std::vector<double>(m * qq), std::vector<double>(m * q * p), std::vector<double>(m * q)};
  JointSums sums = joint_pass(lambda, beta, u, &store, true);
  if (!sums.ok) sums = joint_pass(lambda, beta, u, &store, false);
  if (!sums.ok) return false;
  for (std::uint64_t i = 0; i < p; ++i)
    for (std::uint64_t j = i + 1; j < p; ++j) sums.s[i * p + j] = 0.0;
  if (!cholesky_in_place(sums.s.data(), p)) return false;
  std::vector<double> v(full.begin() + static_cast<std::ptrdiff_t>(nt), full.begin() + static_cast<std::ptrdiff_t>(nt + p));
  forward_solve(sums.s.data(), p, v.data(), 1);
  backward_solve(sums.s.data(), p, v.data(), 1);
  for (double& x : v) x = 0.5 * x;
  // The adjoint term psi (joint_gradient's): t = M_o^-1 s per group from one pass, its
  // row sums from a second.
  PassInput in;
  in.kind = PassKind::kAdjoint;
  in.lambda = lambda.data();
  in.beta = beta;
  in.u = u.data();
  in.v = v.data();
  pass(in);
  std::vector<double> t = sums_.s;
  for (std::uint64_t g = 0; g < m; ++g) {
    forward_solve(store.l.data() + g * qq, q, t.data() + g * q, 1);
    backward_solve(store.l.data() + g * qq, q, t.data() + g * q, 1);
  }
  in.kind = PassKind::kAdjointGradient;
  in.t = t.data();
  pass(in);
  std::vector<double> psi(nt + ne, 0.0);
  for (std::uint64_t g = 0; g < m; ++g)
    for (std::size_t i = 0; i < nt; ++i) {
      const std::uint64_t ra = model_.idx[i].first, cb = model_.idx[i].second;
      psi[i] = psi[i] + (u[g * q + cb] * sums_.zw[g * q + ra] + t[g * q + cb] * sums_.zd[g * q + ra]);
    }
  for (std::uint64_t j = 0; j < ne; ++j) psi[nt + j] = sums_.gb[j];
  return joint_difference(full, psi, nt, p, ne, grad);
}

bool Driver::agq_value(const std::vector<double>& lambda, const double* beta, int nagq, double& value,
                       std::vector<double>* warm) {
  const std::uint64_t m = model_.m, k = static_cast<std::uint64_t>(nagq);
  if (model_.q != 1) throw std::invalid_argument("the quadrature from batches takes one scalar random effect");
  double laplace;
  if (!evaluate(lambda, beta, laplace, nullptr, warm)) return false;
  std::vector<double> nodes, logw;
  gauss_hermite(nagq, nodes, logw);
  for (double& w : logw) w = std::log(w);
  // Each group's points u_j = mode + S z_j, as group_agq places them.
  std::vector<double> points(m * k), scale(m);
  for (std::uint64_t g = 0; g < m; ++g) {
    if (!agq_scale(lf_.data() + g, 1, scale.data() + g)) return false;
    for (std::uint64_t j = 0; j < k; ++j) {
      double s;
      mat_mul(scale.data() + g, &nodes[j], &s, 1, 1, 1);
      points[g * k + j] = u_[g] + s;
    }
  }
  PassInput in;
  in.kind = PassKind::kNodes;
  in.lambda = lambda.data();
  in.beta = beta;
  in.points = points.data();
  in.nodes = k;
  pass(in);
  // group_agq's sum over the nodes, the largest term factored out.
  double total = constant_;
  std::vector<double> terms(k);
  for (std::uint64_t g = 0; g < m; ++g) {
    double top = -INFINITY;
    for (std::uint64_t j = 0; j < k; ++j) {
      const double z = nodes[j], ut = points[g * k + j];
      const double lw = 0.0 + logw[j], zz = 0.0 + z * z, uu = 0.0 + ut * ut;
      terms[j] = lw + ((sums_.at_nodes[g * k + j] - 0.5 * uu) + 0.5 * zz);
      top = std::max(top, terms[j]);
    }
    double sum = 0.0;
    for (std::uint64_t j = 0; j < k; ++j) sum = sum + std::exp(terms[j] - top);
    total = total + (log_det(lf_.data() + g, 1) - 2.0 * (top + std::log(sum)));
  }
  value = total;
  return std::isfinite(total);
}

}  // namespace qk::glmm::detail
