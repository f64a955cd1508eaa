// The criterion of a prepared design handed to the minimiser with its symmetry and
// the natural scale of theta.
#include "lmm/results/fit.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "lmm/evaluate/evaluate.hpp"

namespace qk {

std::vector<double> theta_scale(const LmmData& d) {
  const std::uint64_t q = d.q;
  std::vector<double> ss(q, 0.0);
  for (std::uint64_t g = 0; g < d.m; ++g)
    for (std::uint64_t r = 0; r < q; ++r) ss[r] = ss[r] + d.ztz[(g * q + r) * q + r];
  std::vector<double> scale;
  for (auto [r, c] : d.theta_index) {
    const double rms = std::sqrt(ss[r] / static_cast<double>(d.n));
    scale.push_back(rms > 0.0 && std::isfinite(rms) ? 1.0 / rms : 1.0);
  }
  return scale;
}

OptimResult fit_theta(const LmmData& d, const std::vector<double>& starts, bool reml,
                      const MinimizeOptions& options) {
  const Objective objective = [&](const std::vector<double>& x, double& f, std::vector<double>& g) {
    auto ev = evaluate(d, x, reml, kModeGradient);
    if (!ev) return false;
    f = ev->deviance;
    g = std::move(ev->gradient);
    return true;
  };
  MinimizeOptions opt = options;
  opt.scale = theta_scale(d);
  return minimize_from_starts(objective, starts, d.theta_index.size(), sign_groups(d.theta_index), opt);
}

}  // namespace qk
