// The adaptive Gauss-Hermite quadrature of a scalar random effect in the fit from
// batches (batch_driver.hpp): one pass sums each group's rows' loglik at its points, as
// group_agq sums them in memory (in the same order within each group).
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "linalg/dense.hpp"
#include "lmm/glmm/batch_driver.hpp"

namespace qk::glmm::detail {

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
