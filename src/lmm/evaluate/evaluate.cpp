// The profiling step shared by every evaluator, and the dispatch on the design's
// evaluator.
#include <cmath>

#include "linalg/dense.hpp"
#include "lmm/evaluate/evaluate.hpp"
#include "pool/pool.hpp"

namespace qk {

std::optional<Profile> profile(const LmmData& data, std::vector<double> m, std::vector<double> r,
                               bool reml, double s, double ldl2) {
  const std::size_t p = data.p;
  Profile out;
  out.ldrx2 = 0.0;
  if (p > 0) {
    if (!cholesky_in_place(m.data(), p)) return std::nullopt;
    out.ldrx2 = log_det(m.data(), p);
    forward_solve(m.data(), p, r.data(), 1);
  }
  double ss = -0.0;
  for (std::size_t j = 0; j < p; ++j) ss = ss + r[j] * r[j];
  if (p > 0) backward_solve(m.data(), p, r.data(), 1);
  out.pwrss = s - ss;
  if (data.free_scale && std::isfinite(out.pwrss) && !(out.pwrss > 0.0))
    out.pwrss = out.pwrss < 0.0 ? -out.pwrss : 1.0;
  if (!(out.pwrss > 0.0) || !std::isfinite(out.pwrss)) return std::nullopt;
  // n <= p under REML leaves no residual degrees of freedom: infeasible, rather than
  // the NaN or the wrapped count the unsigned difference would give.
  if (reml && data.n <= data.p) return std::nullopt;
  out.nu = static_cast<double>(reml ? data.n - data.p : data.n);
  out.deviance = (std::log(out.pwrss / out.nu) + kLog2PiPlus1) * out.nu +
                 (ldl2 + (reml ? out.ldrx2 : 0.0));
  // Prior weights: the residual covariance is sigma^2 W^-1, whose log-determinant
  // adds -sum log w (lme4's ldW) to -2 log-likelihood.
  if (data.weighted) out.deviance = out.deviance - data.log_weights;
  out.beta = std::move(r);
  out.rx = std::move(m);
  return out;
}

Evaluation evaluation_from(const Profile& prof, double ldl2, bool reml) {
  Evaluation ev;
  ev.deviance = prof.deviance;
  ev.pwrss = prof.pwrss;
  ev.sigma2 = prof.pwrss / prof.nu;
  ev.ldl2 = ldl2;
  ev.ldrx2 = reml ? prof.ldrx2 : 0.0;
  return ev;
}

void unshift(const Shift& shift, Evaluation& ev) {
  if (!shift.active()) return;
  // beta = T beta~ + e_k y / a and Cov = T Cov~ T' with T = I - e_k c'/a (c the
  // column centres, c_k = 0): only the intercept's row and column change.
  const std::size_t p = ev.beta.size(), k = static_cast<std::size_t>(shift.column);
  const double a = shift.value;
  const double* c = shift.x.data();
  double cb = 0.0;
  for (std::size_t j = 0; j < p; ++j) cb = cb + c[j] * ev.beta[j];
  ev.beta[k] = ev.beta[k] + (shift.y - cb) / a;
  if (ev.fixed_inverse.empty()) return;
  std::vector<double>& f = ev.fixed_inverse;
  std::vector<double> fc(p);  // F~ c
  for (std::size_t i = 0; i < p; ++i) {
    double s = 0.0;
    for (std::size_t j = 0; j < p; ++j) s = s + f[i * p + j] * c[j];
    fc[i] = s;
  }
  double cfc = 0.0;
  for (std::size_t j = 0; j < p; ++j) cfc = cfc + c[j] * fc[j];
  const double fkk = f[k * p + k];
  for (std::size_t i = 0; i < p; ++i) {
    if (i == k) continue;
    const double v = f[i * p + k] - fc[i] / a;
    f[i * p + k] = v;
    f[k * p + i] = v;
  }
  f[k * p + k] = (fkk - (fc[k] + fc[k]) / a) + cfc / (a * a);
}

std::optional<Evaluation> evaluate(const LmmData& data, const std::vector<double>& theta, bool reml,
                                   Mode mode) {
  // Between the optimiser's evaluations too, however few chunks each has.
  check_interrupt();
  if (data.exact_fit) return std::nullopt;
  const Evaluator kernel = data.kernel();
  std::optional<Evaluation> ev = kernel == kBlocks ? evaluate_blocks(data, theta, reml, mode)
                                                   : evaluate_augmented(data, theta, reml, mode, kernel == kAggregated);
  if (ev && data.shift.active()) unshift(data.shift, *ev);
  return ev;
}

}  // namespace qk
