// The symmetric BFGS minimiser and the multi-start rule (see minimize.hpp).
#include "optim/minimize.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "optim/bfgs.hpp"

namespace qk {

OptimResult minimize_symmetric(const Objective& objective, std::vector<double> x0,
                               const std::vector<SignGroup>& groups,
                               const MinimizeOptions& options) {
  const std::size_t n = x0.size();
  if (!options.h0.empty() && options.h0.size() != n * n)
    throw std::invalid_argument("the initial inverse Hessian must have n * n entries");
  std::vector<bool> held(n, false);
  for (std::size_t i : options.fixed) {
    if (i >= n) throw std::out_of_range("a fixed coordinate is out of range");
    held[i] = true;
  }
  std::vector<double> scale(n, 1.0);
  for (std::size_t i = 0; i < n && i < options.scale.size(); ++i) {
    const double s = options.scale[i];
    if (s > 0.0 && std::isfinite(s)) scale[i] = s;
  }
  // The search's coordinates are the free ones, in order: free[k] is the caller's
  // index of coordinate k, at[i] the search's index of the caller's i.
  std::vector<std::size_t> free, at(n, n);
  for (std::size_t i = 0; i < n; ++i)
    if (!held[i]) {
      at[i] = free.size();
      free.push_back(i);
    }
  const std::size_t m = free.size();
  std::vector<double> scale_u(m), u0(m);
  for (std::size_t k = 0; k < m; ++k) {
    scale_u[k] = scale[free[k]];
    u0[k] = x0[free[k]] / scale_u[k];
  }
  std::vector<SignGroup> groups_u;
  for (const SignGroup& grp : groups) {
    if (held[grp.diagonal]) continue;
    SignGroup gu{at[grp.diagonal], {}};
    bool symmetric = true;
    for (std::size_t j : grp.members) {
      if (!held[j]) gu.members.push_back(at[j]);
      else if (x0[j] != 0.0) symmetric = false;
    }
    if (symmetric) groups_u.push_back(std::move(gu));
  }
  std::vector<double> h0_u;
  if (!options.h0.empty()) {
    h0_u.resize(m * m);
    for (std::size_t a = 0; a < m; ++a)
      for (std::size_t b = 0; b < m; ++b) {
        const double v = 0.5 * (options.h0[free[a] * n + free[b]] + options.h0[free[b] * n + free[a]]);
        h0_u[a * m + b] = v / scale_u[a] / scale_u[b];
      }
  }
  // The run sees u = x / scale over the free coordinates, f(u) = objective(x) with the
  // fixed ones at their start values, and df/du = g * scale.
  std::vector<double> xs = x0, g_x(n, 0.0);
  const Objective scaled = [&](const std::vector<double>& u, double& f, std::vector<double>& g) {
    for (std::size_t k = 0; k < m; ++k) xs[free[k]] = u[k] * scale_u[k];
    if (!objective(xs, f, g_x)) return false;
    for (std::size_t k = 0; k < m; ++k) g[k] = g_x[free[k]] * scale_u[k];
    return true;
  };
  MinimizeOptions opt_u = options;
  if (options.value) {
    std::vector<double> xv = x0;
    opt_u.value = [&options, &free, &scale_u, m, xv](const std::vector<double>& u, double& f) mutable {
      for (std::size_t k = 0; k < m; ++k) xv[free[k]] = u[k] * scale_u[k];
      return options.value(xv, f);
    };
  }
  OptimResult r = detail::bfgs_run(scaled, std::move(u0), groups_u, opt_u, scale_u, std::move(h0_u));
  std::vector<double> theta = std::move(x0);
  for (std::size_t k = 0; k < m; ++k) theta[free[k]] = r.theta[k] * scale_u[k];
  r.theta = std::move(theta);
  if (!r.inverse_hessian.empty()) {
    std::vector<double> h(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        if (!held[i] && !held[j]) h[i * n + j] = r.inverse_hessian[at[i] * m + at[j]] * scale[i] * scale[j];
        else if (!options.h0.empty()) h[i * n + j] = options.h0[i * n + j];
        else if (i == j) h[i * n + j] = scale[i] * scale[i];
      }
    r.inverse_hessian = std::move(h);
  }
  return r;
}

bool replaces(const OptimResult& incumbent, const OptimResult& candidate) {
  // NaN compares false both ways: a NaN never wins and a NaN incumbent stays.
  return incumbent.deviance > candidate.deviance;
}

OptimResult minimize_from_starts(const Objective& objective, const std::vector<double>& starts,
                                 std::size_t n, const std::vector<SignGroup>& groups,
                                 const MinimizeOptions& options) {
  OptimResult best;
  bool have = false;
  for (std::size_t j = 0; j + n <= starts.size(); j += n) {
    std::vector<double> x0(starts.begin() + static_cast<std::ptrdiff_t>(j),
                           starts.begin() + static_cast<std::ptrdiff_t>(j + n));
    OptimResult r = minimize_symmetric(objective, std::move(x0), groups, options);
    if (!have || replaces(best, r)) {
      best = std::move(r);
      have = true;
    }
  }
  return best;
}

}  // namespace qk
