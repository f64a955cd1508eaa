#include "lmm/glmm/crossed_glmm.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "lmm/crossed/crossed.hpp"
#include "lmm/glmm/group.hpp"
#include "lmm/glmm/stages.hpp"

namespace qk::glmm {
namespace {

namespace cr = qk::crossed;

constexpr int kMaxIter = 200;
constexpr int kMaxHalvings = 60;
constexpr double kStepTol = 1e-10;
constexpr double kNewtonZone = 1e-4;
// Rows of no trials carry no information; the weighted products need positive weights.
constexpr double kTinyWeight = 1e-300;

std::vector<double> theta_part(const CrossedModel& model, const std::vector<double>& theta, std::size_t j) {
  return std::vector<double>(theta.begin() + static_cast<std::ptrdiff_t>(model.theta_offset[j]),
                             theta.begin() + static_cast<std::ptrdiff_t>(model.theta_offset[j + 1]));
}

// The linear predictor at u (per factor m_j x q_j, spherical) from eta0.
void linear_predictor(const CrossedModel& model, const std::vector<std::vector<double>>& lambdas,
                      const std::vector<double>& eta0, const std::vector<std::vector<double>>& u,
                      std::vector<double>& eta) {
  eta = eta0;
  for (std::size_t j = 0; j < model.factors.size(); ++j) {
    const CrossedFactor& f = model.factors[j];
    const std::uint64_t q = f.q;
    const double* lam = lambdas[j].data();
    for (std::uint64_t r = 0; r < model.n; ++r) {
      const double* zr = f.z.data() + r * q;
      const double* ul = u[j].data() + static_cast<std::uint64_t>(f.codes[r]) * q;
      double e = eta[r];
      for (std::uint64_t a = 0; a < q; ++a) {
        double b = 0.0;  // (Lambda u)_a
        for (std::uint64_t c = 0; c <= a; ++c) b = b + lam[a * q + c] * ul[c];
        e = e + zr[a] * b;
      }
      eta[r] = e;
    }
  }
}

// -2 sum loglik_smooth + |u|^2 at eta.
double objective(const CrossedModel& model, const std::vector<double>& eta, const std::vector<std::vector<double>>& u) {
  double ll = 0.0;
  for (std::uint64_t r = 0; r < model.n; ++r)
    if (model.w[r] != 0.0) ll = ll + loglik_smooth(model.family, model.y[r], linkinv(model.family, eta[r]), model.w[r]);
  double uu = 0.0;
  for (const auto& v : u)
    for (double x : v) uu = uu + x * x;
  return -2.0 * ll + uu;
}

struct Solve {
  std::vector<std::vector<double>> u;  // per factor
  std::vector<double> beta;
  double ldl2 = 0.0;
  std::optional<cr::Solution> solution;
};

// The penalised weighted least-squares problem at eta: weights W and working response
// z - eta0 (joint: z - offset, with X), solved by the crossed LMM core.
bool pwls(const CrossedModel& model, const std::vector<double>& theta, const std::vector<double>& eta,
          const std::vector<double>& base, bool joint, bool cond_var, Solve& out) {
  const std::uint64_t n = model.n;
  std::vector<double> wt(n), zr(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    const detail::RowState s = detail::row_state(model.family, model.y[r], eta[r], model.w[r]);
    const double m1 = mu_eta(model.family, eta[r]);
    wt[r] = model.w[r] == 0.0 ? kTinyWeight : s.weight;
    zr[r] = (eta[r] - base[r]) + (model.w[r] == 0.0 ? 0.0 : (model.y[r] - s.mu) / m1);
  }
  cr::CrossedRows rows;
  rows.n = n;
  rows.p = joint ? model.p : 0;
  rows.y = zr.data();
  rows.x = joint ? model.x.data() : nullptr;
  rows.w = wt.data();
  std::vector<std::vector<std::uint64_t>> blocks;
  for (const CrossedFactor& f : model.factors) {
    rows.factors.push_back({f.codes.data(), f.m, f.z.data(), f.q});
    blocks.push_back(f.blocks);
  }
  auto pr = cr::products_of(rows);
  if (std::holds_alternative<std::string>(pr)) return false;
  auto design = cr::make_design(std::get<cr::Products>(std::move(pr)), std::move(blocks));
  if (std::holds_alternative<std::string>(design)) return false;
  out.solution = cr::evaluate(*std::get<0>(design), theta, false, kModeSolution, cond_var);
  if (!out.solution) return false;
  out.u = out.solution->u;
  out.beta = out.solution->ev.beta;
  out.ldl2 = out.solution->ev.ldl2;
  return true;
}

// PIRLS: the modes at (theta, beta) (joint: beta too, from beta in/out). On success eta
// holds the linear predictor at the modes and `last` the system there.
bool pirls(const CrossedModel& model, const std::vector<double>& theta, std::vector<double>& beta, bool joint,
           bool cond_var, std::vector<std::vector<double>>& u, std::vector<double>& eta, Solve& last) {
  const std::uint64_t n = model.n, p = model.p;
  const std::size_t k = model.factors.size();
  std::vector<std::vector<double>> lambdas(k);
  for (std::size_t j = 0; j < k; ++j)
    lambdas[j] = theta_to_lambda(theta_part(model, theta, j), model.factors[j].idx, model.factors[j].q);
  u.assign(k, {});
  for (std::size_t j = 0; j < k; ++j) u[j].assign(model.factors[j].m * model.factors[j].q, 0.0);
  std::vector<double> off(model.offset), eta0(n);
  auto fixed_part = [&](const std::vector<double>& b) {
    for (std::uint64_t r = 0; r < n; ++r) {
      double e = model.offset[r];
      for (std::uint64_t c = 0; c < p; ++c) e = e + model.x[r * p + c] * b[c];
      eta0[r] = e;
    }
  };
  fixed_part(beta);
  linear_predictor(model, lambdas, eta0, u, eta);
  double h = objective(model, eta, u);
  if (!std::isfinite(h)) return false;
  std::vector<std::vector<double>> ut(k);
  std::vector<double> bt(p), etat(n);
  for (int it = 0; it < kMaxIter; ++it) {
    Solve s;
    if (!pwls(model, theta, eta, joint ? off : eta0, joint, false, s)) return false;
    double big = 0.0;
    for (std::size_t j = 0; j < k; ++j)
      for (std::size_t i = 0; i < u[j].size(); ++i) big = std::max(big, std::fabs(s.u[j][i] - u[j][i]));
    if (joint)
      for (std::uint64_t c = 0; c < p; ++c) big = std::max(big, std::fabs(s.beta[c] - beta[c]));
    if (!std::isfinite(big)) return false;
    double step = 1.0;
    bool taken = false;
    for (int hv = 0; hv < kMaxHalvings; ++hv, step *= 0.5) {
      for (std::size_t j = 0; j < k; ++j) {
        ut[j].resize(u[j].size());
        for (std::size_t i = 0; i < u[j].size(); ++i) ut[j][i] = u[j][i] + step * (s.u[j][i] - u[j][i]);
      }
      if (joint) {
        for (std::uint64_t c = 0; c < p; ++c) bt[c] = beta[c] + step * (s.beta[c] - beta[c]);
        fixed_part(bt);
      }
      linear_predictor(model, lambdas, eta0, ut, etat);
      const double ht = objective(model, etat, ut);
      // Near the mode steps are taken whole (see group_mode).
      if (ht <= h || big <= kNewtonZone) {
        h = ht;
        taken = true;
        break;
      }
      if (big * step <= kStepTol) break;
    }
    if (!taken) {
      if (joint) fixed_part(beta);
      if (big > 1e-6) return false;
      return pwls(model, theta, eta, joint ? off : eta0, joint, cond_var, last);
    }
    u.swap(ut);
    eta.swap(etat);
    if (joint) beta = bt;
    if (big <= kStepTol) return pwls(model, theta, eta, joint ? off : eta0, joint, cond_var, last);
  }
  return false;
}

double laplace_value(const CrossedModel& model, const std::vector<double>& eta,
                     const std::vector<std::vector<double>>& u, double ldl2) {
  double ll = 0.0;
  for (std::uint64_t r = 0; r < model.n; ++r)
    if (model.w[r] != 0.0) ll = ll + loglik_kernel(model.family, model.y[r], linkinv(model.family, eta[r]), model.w[r]);
  double uu = 0.0;
  for (const auto& v : u)
    for (double x : v) uu = uu + x * x;
  return ((-2.0 * ll + uu) + ldl2) + model.constant;
}

}  // namespace

CrossedModel make_crossed(std::uint64_t n, std::uint64_t p, const double* y, const double* x, const double* w,
                          const double* offset, Family family, std::vector<CrossedFactor> factors) {
  CrossedModel model;
  model.family = family;
  model.n = n;
  model.p = p;
  model.y.assign(y, y + n);
  model.w.assign(w, w + n);
  model.x.assign(x, x + n * p);
  model.offset.assign(n, 0.0);
  if (offset) model.offset.assign(offset, offset + n);
  double constant = 0.0;
  for (std::uint64_t r = 0; r < n; ++r) {
    if (!(model.w[r] == 0.0 && std::isfinite(model.y[r])) &&
        check_response(family, model.y[r], model.w[r]) == Support::kOutside)
      throw std::invalid_argument("row " + std::to_string(r) + ": response " + std::to_string(model.y[r]) +
                                  " with weight " + std::to_string(model.w[r]) + " is outside the support of the " +
                                  family_name(family.kind) + " family");
    if (!std::isfinite(model.offset[r])) throw std::invalid_argument("offset[" + std::to_string(r) + "] is not finite");
    if (model.w[r] != 0.0) constant = constant + loglik_constant(family, model.y[r], model.w[r]);
  }
  for (double v : model.x)
    if (!std::isfinite(v)) throw std::invalid_argument("x has a value that is not finite");
  model.theta_offset.push_back(0);
  for (std::size_t j = 0; j < factors.size(); ++j) {
    CrossedFactor& f = factors[j];
    if (auto err = blocks_error(f.blocks, f.q)) throw std::invalid_argument("factor " + std::to_string(j) + ": " + *err);
    f.idx = theta_index(f.q, f.blocks);
    for (std::uint64_t r = 0; r < n; ++r)
      if (f.codes[r] < 0 || static_cast<std::uint64_t>(f.codes[r]) >= f.m)
        throw std::invalid_argument("factor " + std::to_string(j) + ": codes[" + std::to_string(r) +
                                    "] is outside 0.." + std::to_string(f.m - 1));
    model.theta_offset.push_back(model.theta_offset.back() + f.idx.size());
  }
  model.factors = std::move(factors);
  model.constant = -2.0 * constant;
  return model;
}

bool crossed_evaluate(const CrossedModel& model, const std::vector<double>& theta, const double* beta, double& value,
                      CrossedModes* modes) {
  std::vector<double> b(beta, beta + model.p), eta;
  std::vector<std::vector<double>> u;
  Solve last;
  if (!pirls(model, theta, b, false, modes != nullptr, u, eta, last)) return false;
  value = laplace_value(model, eta, last.u, last.ldl2);
  if (modes) {
    modes->u = last.u;
    modes->cond_var = last.solution->cond_var;
    modes->eta = eta;
    // beta's covariance at fixed theta: the joint system's at the modes.
    Solve joint;
    std::vector<double> base = model.offset;
    if (!pwls(model, theta, eta, base, true, false, joint)) return false;
    modes->rx_inv = joint.solution->ev.fixed_inverse;
  }
  return std::isfinite(value);
}

bool crossed_joint(const CrossedModel& model, const std::vector<double>& theta, const double* beta0, double& value,
                   double* beta, double* rx_inv) {
  std::vector<double> b(beta0, beta0 + model.p), eta;
  std::vector<std::vector<double>> u;
  Solve last;
  if (!pirls(model, theta, b, true, false, u, eta, last)) return false;
  std::copy(last.beta.begin(), last.beta.end(), beta);
  if (rx_inv) std::copy(last.solution->ev.fixed_inverse.begin(), last.solution->ev.fixed_inverse.end(), rx_inv);
  return crossed_evaluate(model, theta, last.beta.data(), value, nullptr);
}

FitResult crossed_fit(const CrossedModel& model, const FitOptions& options) {
  if (options.nagq > 1) throw std::invalid_argument("adaptive quadrature needs a single grouping factor");
  const std::size_t nt = model.theta_offset.back();
  Criteria c;
  c.n_theta = nt;
  c.p = model.p;
  for (std::size_t j = 0; j < model.factors.size(); ++j) {
    const CrossedFactor& f = model.factors[j];
    for (SignGroup g : sign_groups(f.idx)) {
      g.diagonal += model.theta_offset[j];
      for (auto& i : g.members) i += model.theta_offset[j];
      c.groups.push_back(g);
    }
    const std::vector<double> d = default_theta(f.idx);
    c.theta0.insert(c.theta0.end(), d.begin(), d.end());
  }
  c.joint = [&](const std::vector<double>& th, const double* b0, double& f, double* b, double* rx) {
    return crossed_joint(model, th, b0, f, b, rx);
  };
  c.value = [&](const std::vector<double>& xv, double& f) {
    return crossed_evaluate(model, std::vector<double>(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(nt)),
                            xv.data() + nt, f, nullptr);
  };
  std::vector<double> x, unit;
  FitResult res = two_stage(c, options, x, unit);
  CrossedModes modes;
  double f;
  if (!crossed_evaluate(model, res.theta, res.beta.data(), f, &modes))
    throw std::runtime_error("the conditional modes could not be found at the estimate");
  res.u.clear();
  res.b.clear();
  res.cond_var.clear();
  for (std::size_t j = 0; j < model.factors.size(); ++j) {
    const CrossedFactor& fj = model.factors[j];
    const std::vector<double> lam = theta_to_lambda(theta_part(model, res.theta, j), fj.idx, fj.q);
    res.u.insert(res.u.end(), modes.u[j].begin(), modes.u[j].end());
    for (std::uint64_t l = 0; l < fj.m; ++l)
      for (std::uint64_t a = 0; a < fj.q; ++a) {
        double b = 0.0;
        for (std::uint64_t c2 = 0; c2 <= a; ++c2) b = b + lam[a * fj.q + c2] * modes.u[j][l * fj.q + c2];
        res.b.push_back(b);
      }
    res.cond_var.insert(res.cond_var.end(), modes.cond_var[j].begin(), modes.cond_var[j].end());
  }
  res.eta = modes.eta;
  res.mu.resize(model.n);
  for (std::uint64_t r = 0; r < model.n; ++r) res.mu[r] = linkinv(model.family, modes.eta[r]);
  res.vcov_rx = modes.rx_inv;
  if (!res.vcov_from_hessian) res.vcov = res.vcov_rx;
  return res;
}

}  // namespace qk::glmm
