// Covariances and random effects on the data's scale at a theta.
#include "lmm/results/solution.hpp"

#include <utility>

#include "linalg/dense.hpp"

namespace qk {

std::optional<Solution> solve_at(const LmmData& d, const std::vector<double>& theta, bool reml) {
  std::optional<Evaluation> ev = evaluate(d, theta, reml, kModeSolution);
  if (!ev) return std::nullopt;
  const std::size_t p = d.p, q = d.q, m = d.m;
  const std::vector<double> lambda = theta_to_lambda(theta, d.theta_index, q);
  Solution s;
  s.cov_re.resize(q * q);
  mat_mul_bt(lambda.data(), lambda.data(), s.cov_re.data(), q, q, q);
  for (double& v : s.cov_re) v = v * ev->sigma2;
  s.cov_beta.resize(p * p);
  for (std::size_t i = 0; i < p * p; ++i) s.cov_beta[i] = ev->sigma2 * ev->fixed_inverse[i];
  s.b.resize(m * q);
  mat_mul_bt(ev->u.data(), lambda.data(), s.b.data(), m, q, q);
  s.ev = std::move(*ev);
  return s;
}

double criterion_rounding_error(const LmmData& d, const Evaluation& ev) {
  const double nu = ev.pwrss / ev.sigma2;
  return 8.0 * 0x1p-52 * nu * (d.yty / ev.pwrss);
}

}  // namespace qk
