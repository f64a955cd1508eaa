// The GLMM fits' differences of their criterion at several points at once, and the
// covariance of beta from the criterion's Hessian (stages.hpp).
#include <algorithm>
#include <vector>

#include "linalg/dense.hpp"
#include "lmm/glmm/stages.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {

bool central_together(const Values& values, const std::vector<double>& x, const std::vector<double>& step, double& f,
                      std::vector<double>& g) {
  std::vector<std::vector<double>> xs{x};
  std::vector<double> xt = x;
  for (std::size_t j = 0; j < x.size(); ++j) {
    xt[j] = x[j] + step[j];
    xs.push_back(xt);
    xt[j] = x[j] - step[j];
    xs.push_back(xt);
    xt[j] = x[j];
  }
  std::vector<double> fs(xs.size());
  if (!values(xs, fs)) return false;
  f = fs[0];
  for (std::size_t j = 0; j < x.size(); ++j) g[j] = (fs[1 + 2 * j] - fs[2 + 2 * j]) / (2.0 * step[j]);
  return true;
}

Gradients gradients_on_pool(std::function<Objective()> copy) {
  return [copy = std::move(copy)](const std::vector<std::vector<double>>& xs, std::vector<double>& fs,
                                  std::vector<std::vector<double>>& gs) {
    std::vector<Objective> copies;
    copies.reserve(xs.size());
    for (std::size_t k = 0; k < xs.size(); ++k) copies.push_back(copy());
    std::vector<char> done(xs.size(), 0);
    run_tasks(xs.size(), true, [&](std::size_t k) { done[k] = copies[k](xs[k], fs[k], gs[k]) ? 1 : 0; });
    return std::all_of(done.begin(), done.end(), [](char d) { return d != 0; });
  };
}

void hessian_covariance(const Objective& objective, const Gradients& together, const std::vector<double>& x,
                        const std::vector<double>& unit, std::size_t nt, std::size_t p, FitResult& res) {
  const std::size_t np = x.size();
  // lme4's default covariance: the beta block of 2 H^-1, H the Hessian of the
  // criterion over (theta, beta), here by central differences of the gradient.
  res.hessian.assign(np * np, 0.0);
  std::vector<double> xt = x, gp(np), gm(np);
  const std::vector<double> h = steps_for(x, unit, 1e-4);
  bool ok = true;
  if (together) {
    // The 2 np points at once: x + h_j e_j, x - h_j e_j for each j in turn.
    std::vector<std::vector<double>> xs, gs(2 * np, std::vector<double>(np));
    std::vector<double> fs(2 * np);
    for (std::size_t j = 0; j < np; ++j) {
      xt[j] = x[j] + h[j];
      xs.push_back(xt);
      xt[j] = x[j] - h[j];
      xs.push_back(xt);
      xt[j] = x[j];
    }
    ok = together(xs, fs, gs);
    for (std::size_t j = 0; j < np && ok; ++j)
      for (std::size_t i = 0; i < np; ++i) res.hessian[i * np + j] = (gs[2 * j][i] - gs[2 * j + 1][i]) / (2.0 * h[j]);
  }
  for (std::size_t j = 0; j < np && ok && !together; ++j) {
    double fp, fm;
    xt[j] = x[j] + h[j];
    ok = objective(xt, fp, gp);
    xt[j] = x[j] - h[j];
    ok = ok && objective(xt, fm, gm);
    xt[j] = x[j];
    for (std::size_t i = 0; i < np; ++i) res.hessian[i * np + j] = (gp[i] - gm[i]) / (2.0 * h[j]);
  }
  if (ok) {
    std::vector<double> hs(np * np);
    for (std::size_t i = 0; i < np; ++i)
      for (std::size_t j = 0; j < np; ++j) hs[i * np + j] = 0.5 * (res.hessian[i * np + j] + res.hessian[j * np + i]);
    if (cholesky_in_place(hs.data(), np)) {
      std::vector<double> hinv(np * np);
      cholesky_inverse(hs.data(), np, hinv.data());
      res.vcov.assign(p * p, 0.0);
      for (std::size_t i = 0; i < p; ++i)
        for (std::size_t j = 0; j < p; ++j) res.vcov[i * p + j] = 2.0 * hinv[(nt + i) * np + nt + j];
      res.vcov_from_hessian = true;
    }
  }
}

}  // namespace qk::glmm
