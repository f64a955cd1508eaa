#include "lmm/glmm/crossed_glmm.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <cmath>
#include <stdexcept>
#include <string>

#include "lmm/crossed/crossed.hpp"
#include "lmm/crossed/factor.hpp"
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

// The products of the rows with weights wt and response resp (with X when joint) into
// pr, whose pattern is the model's: every sum in row order, so the same bits for any
// number of threads.
void refill(const CrossedModel& model, const std::vector<double>& wt, const std::vector<double>& resp, bool joint,
            cr::Products& pr) {
  const std::size_t k = model.factors.size(), p = joint ? model.p : 0;
  for (std::size_t j = 0; j < k; ++j) {
    std::fill(pr.ztz[j].begin(), pr.ztz[j].end(), 0.0);
    std::fill(pr.ztx[j].begin(), pr.ztx[j].end(), 0.0);
    std::fill(pr.zty[j].begin(), pr.zty[j].end(), 0.0);
  }
  for (cr::CrossBlock& cb : pr.cross) std::fill(cb.values.begin(), cb.values.end(), 0.0);
  std::fill(pr.xtx.begin(), pr.xtx.end(), 0.0);
  std::fill(pr.xty.begin(), pr.xty.end(), 0.0);
  pr.yty = 0.0;
  pr.log_weights = 0.0;
  for (std::uint64_t r = 0; r < model.n; ++r) {
    const double w = wt[r], yr = resp[r];
    pr.yty = pr.yty + (yr * w) * yr;
    pr.log_weights = pr.log_weights + std::log(w);
    const double* xr = model.x.data() + r * model.p;
    for (std::size_t a = 0; a < p; ++a) {
      const double xa = xr[a] * w;
      pr.xty[a] = pr.xty[a] + xa * yr;
      for (std::size_t c = 0; c < p; ++c) pr.xtx[a * p + c] = pr.xtx[a * p + c] + xa * xr[c];
    }
    for (std::size_t j = 0; j < k; ++j) {
      const CrossedFactor& f = model.factors[j];
      const std::uint64_t l = static_cast<std::uint64_t>(f.codes[r]), q = f.q;
      const double* zr = f.z.data() + r * q;
      double* ztz = pr.ztz[j].data() + l * q * q;
      double* ztx = pr.ztx[j].data() + l * q * p;
      for (std::size_t a = 0; a < q; ++a) {
        const double za = zr[a] * w;
        pr.zty[j][l * q + a] = pr.zty[j][l * q + a] + za * yr;
        for (std::size_t c = 0; c < q; ++c) ztz[a * q + c] = ztz[a * q + c] + za * zr[c];
        for (std::size_t c = 0; c < p; ++c) ztx[a * p + c] = ztx[a * p + c] + za * xr[c];
      }
    }
    for (std::size_t i = 0, pi = 0; i + 1 < k; ++i)
      for (std::size_t j = i + 1; j < k; ++j, ++pi) {
        const CrossedFactor& fi = model.factors[i];
        const CrossedFactor& fj = model.factors[j];
        double* v = pr.cross[pi].values.data() + model.cross_pos[pi][r] * fi.q * fj.q;
        for (std::size_t a = 0; a < fi.q; ++a) {
          const double za = fi.z[r * fi.q + a] * w;
          for (std::size_t c = 0; c < fj.q; ++c) v[a * fj.q + c] = v[a * fj.q + c] + za * fj.z[r * fj.q + c];
        }
      }
  }
}

// The pattern of the systems (unit weights; no centring, so the rows are used as
// given), for u alone or with X.
std::shared_ptr<const cr::Design> pattern_of(const CrossedModel& model, bool joint) {
  const std::vector<double> ones(model.n, 1.0), zeros(model.n, 0.0);
  cr::CrossedRows rows;
  rows.n = model.n;
  rows.p = joint ? model.p : 0;
  rows.y = zeros.data();
  rows.x = joint ? model.x.data() : nullptr;
  rows.w = ones.data();
  std::vector<std::vector<std::uint64_t>> blocks;
  for (const CrossedFactor& f : model.factors) {
    rows.factors.push_back({f.codes.data(), f.m, f.z.data(), f.q});
    blocks.push_back(f.blocks);
  }
  auto pr = cr::products_of(rows);
  if (auto* err = std::get_if<std::string>(&pr)) throw std::invalid_argument(*err);
  cr::Products products = std::get<cr::Products>(std::move(pr));
  products.shift = Shift{};
  products.shift.x.assign(rows.p, 0.0);
  auto design = cr::make_design(std::move(products), std::move(blocks));
  if (auto* err = std::get_if<std::string>(&design)) throw std::invalid_argument(*err);
  return std::shared_ptr<const cr::Design>(std::move(std::get<0>(design)));
}

struct Solve {
  std::vector<std::vector<double>> u;  // per factor
  std::vector<double> beta;
  double ldl2 = 0.0;
  std::optional<cr::Solution> solution;
  // With the gradient asked for: the system and its factor, kept for what follows.
  std::unique_ptr<cr::Design> design;
  std::optional<cr::Factor> factor;
};

// Solves the penalised weighted least-squares system of weights wt and response resp
// (with X when joint) at theta by the crossed LMM core. Unless `gradient`, the
// log-determinant's gradient is not computed (a known zero stands in for it), and the
// system is not kept.
bool solve_system(const CrossedModel& model, const std::vector<double>& theta, const std::vector<double>& wt,
                  const std::vector<double>& resp, bool joint, bool cond_var, bool gradient, Solve& out) {
  const cr::Design& pattern = joint ? *model.joint : *model.plain;
  auto d = std::make_unique<cr::Design>();
  d->pr = pattern.pr;
  d->layout = pattern.layout;
  d->blocks = pattern.blocks;
  d->tidx = pattern.tidx;
  d->theta_offset = pattern.theta_offset;
  d->shell.n = pattern.shell.n;
  d->shell.p = pattern.shell.p;
  d->shell.weighted = true;
  refill(model, wt, resp, joint, d->pr);
  d->shell.log_weights = d->pr.log_weights;
  std::optional<cr::Factor> f = cr::factorize(*d, theta, false);
  if (!f) return false;
  const std::vector<double> skip(theta.size(), 0.0);
  out.solution = cr::solution_of(*d, *f, false, kModeSolution, cond_var, gradient ? nullptr : &skip);
  out.u = out.solution->u;
  out.beta = out.solution->ev.beta;
  out.ldl2 = out.solution->ev.ldl2;
  if (gradient) {
    out.design = std::move(d);
    out.factor = std::move(f);
  }
  return true;
}

// The system of one PIRLS step at eta: Fisher weights and the working response less
// `base` (eta0 = offset + X beta for u alone, the offset when joint).
bool pwls(const CrossedModel& model, const std::vector<double>& theta, const std::vector<double>& eta,
          const std::vector<double>& base, bool joint, bool cond_var, Solve& out, bool gradient = false) {
  const std::uint64_t n = model.n;
  std::vector<double> wt(n), zr(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    const detail::RowState s = detail::row_state(model.family, model.y[r], eta[r], model.w[r]);
    const double m1 = mu_eta(model.family, eta[r]);
    wt[r] = model.w[r] == 0.0 ? kTinyWeight : s.weight;
    zr[r] = (eta[r] - base[r]) + (model.w[r] == 0.0 ? 0.0 : (model.y[r] - s.mu) / m1);
  }
  return solve_system(model, theta, wt, zr, joint, cond_var, gradient, out);
}

// PIRLS: the modes at (theta, beta) (joint: beta too, from beta in/out). On success eta
// holds the linear predictor at the modes and `last` the system there.
bool pirls(const CrossedModel& model, const std::vector<double>& theta, std::vector<double>& beta, bool joint,
           bool cond_var, std::vector<std::vector<double>>& u, std::vector<double>& eta, Solve& last,
           bool gradient = false) {
  const std::uint64_t n = model.n, p = model.p;
  const std::size_t k = model.factors.size();
  std::vector<std::vector<double>> lambdas(k);
  for (std::size_t j = 0; j < k; ++j)
    lambdas[j] = theta_to_lambda(theta_part(model, theta, j), model.factors[j].idx, model.factors[j].q);
  bool given = u.size() == k;  // a start from the caller (a nearby point's modes)
  for (std::size_t j = 0; j < k && given; ++j) given = u[j].size() == model.factors[j].m * model.factors[j].q;
  if (!given) {
    u.assign(k, {});
    for (std::size_t j = 0; j < k; ++j) u[j].assign(model.factors[j].m * model.factors[j].q, 0.0);
  }
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
  if (given) {
    // A given start far from this point's modes (after a long trial step of the
    // optimiser) can be worse than none: the better of the two is taken.
    std::vector<std::vector<double>> zero(k);
    for (std::size_t j = 0; j < k; ++j) zero[j].assign(u[j].size(), 0.0);
    std::vector<double> eta_zero;
    linear_predictor(model, lambdas, eta0, zero, eta_zero);
    const double h_zero = objective(model, eta_zero, zero);
    if (!(h <= h_zero)) {
      u.swap(zero);
      eta.swap(eta_zero);
      h = h_zero;
    }
  }
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
      return pwls(model, theta, eta, joint ? off : eta0, joint, cond_var, last, gradient);
    }
    u.swap(ut);
    eta.swap(etat);
    if (joint) beta = bt;
    if (big <= kStepTol) return pwls(model, theta, eta, joint ? off : eta0, joint, cond_var, last, gradient);
  }
  return false;
}

double laplace_value(const CrossedModel& model, const std::vector<double>& eta,
                     const std::vector<std::vector<double>>& u, double ldl2) {
  double ll = 0.0;
  for (std::uint64_t r = 0; r < model.n; ++r)
    if (model.w[r] != 0.0) ll = ll + loglik_smooth(model.family, model.y[r], linkinv(model.family, eta[r]), model.w[r]);
  double uu = 0.0;
  for (const auto& v : u)
    for (double x : v) uu = uu + x * x;
  return ((-2.0 * ll + uu) + ldl2) + model.constant;
}

// The gradient of the Laplace criterion over (theta, beta) at the modes `last` found
// (see group_gradient for the formula): the row leverages c_r = a_r' M^-1 a_r are the
// prediction variances of the rows through the system's factor, t = M_o^-1 A' v comes
// from one more solve of the same pattern (weights -D2, response v / -D2; Fisher's
// weights where -D2 is not positive), and 2 tr(M^-1 A'W dA/dtheta) is the LMM core's
// gradient of its log-determinant at fixed weights.
bool crossed_gradient(const CrossedModel& model, const std::vector<double>& theta, const std::vector<double>& eta,
                      const Solve& last, double* grad) {
  const std::uint64_t n = model.n, p = model.p;
  const std::size_t k = model.factors.size();
  std::vector<detail::RowState> st(n);
  bool observed_ok = true;
  for (std::uint64_t r = 0; r < n; ++r) {
    st[r] = detail::row_state(model.family, model.y[r], eta[r], model.w[r]);
    if (model.w[r] != 0.0 && !(-st[r].d2 > 0.0)) observed_ok = false;
  }
  cr::PredictionRows rows;
  const double none = 0.0;
  rows.r = n;
  rows.x = &none;
  for (const CrossedFactor& f : model.factors) {
    rows.levels.push_back(f.codes.data());
    rows.z.push_back(f.z.data());
  }
  const std::vector<double> c = cr::prediction_variance(*last.design, *last.factor, rows);
  const bool observed = !canonical(model.family) && observed_ok;
  std::vector<double> wt(n), resp(n), v(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    v[r] = st[r].dweight * c[r];
    const double cw = observed ? -st[r].d2 : st[r].weight;
    wt[r] = model.w[r] == 0.0 ? kTinyWeight : cw;
    resp[r] = model.w[r] == 0.0 ? 0.0 : v[r] / cw;
  }
  Solve ts;
  if (!solve_system(model, theta, wt, resp, false, false, false, ts)) return false;
  std::vector<std::vector<double>> lambdas(k);
  for (std::size_t j = 0; j < k; ++j)
    lambdas[j] = theta_to_lambda(theta_part(model, theta, j), model.factors[j].idx, model.factors[j].q);
  std::vector<double> at;
  linear_predictor(model, lambdas, std::vector<double>(n, 0.0), ts.u, at);
  std::vector<double> omega(n);
  for (std::uint64_t r = 0; r < n; ++r) omega[r] = (v[r] + st[r].d2 * at[r]) - 2.0 * st[r].d1;
  const std::size_t nt = model.theta_offset.back();
  std::fill(grad, grad + nt + p, 0.0);
  for (std::uint64_t r = 0; r < n; ++r)
    for (std::uint64_t c2 = 0; c2 < p; ++c2) grad[nt + c2] = grad[nt + c2] + omega[r] * model.x[r * p + c2];
  const std::vector<double>& gl = last.solution->ev.grad_logdet;
  for (std::size_t j = 0; j < k; ++j) {
    const CrossedFactor& f = model.factors[j];
    const std::uint64_t q = f.q;
    const std::vector<double>& u = last.u[j];
    const std::vector<double>& t = ts.u[j];
    for (std::size_t e = 0; e < f.idx.size(); ++e) {
      const std::uint64_t a = f.idx[e].first, b = f.idx[e].second;
      double s = 0.0;
      for (std::uint64_t r = 0; r < n; ++r) {
        const std::uint64_t l = static_cast<std::uint64_t>(f.codes[r]);
        s = s + (omega[r] * u[l * q + b] + st[r].d1 * t[l * q + b]) * f.z[r * q + a];
      }
      grad[model.theta_offset[j] + e] = s + gl[model.theta_offset[j] + e];
    }
  }
  return true;
}

// A start for theta by penalised quasi-likelihood (Breslow & Clayton, JASA 88, 1993):
// the linear mixed model of the working response at the modes of (theta0, beta), with
// the Fisher weights, fitted by the crossed LMM core; its random effects' covariance
// sigma^2 Lambda Lambda' gives theta = sigma theta_LMM (a GLMM's scale is 1). Empty
// where the modes or the fit fail.
std::vector<double> pql_start(const CrossedModel& model, const std::vector<double>& theta0,
                              const std::vector<double>& beta) {
  std::vector<double> b = beta, eta;
  std::vector<std::vector<double>> u;
  Solve last;
  if (!pirls(model, theta0, b, false, false, u, eta, last)) return {};
  const std::uint64_t n = model.n;
  std::vector<double> wt(n), zr(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    const detail::RowState s = detail::row_state(model.family, model.y[r], eta[r], model.w[r]);
    wt[r] = model.w[r] == 0.0 ? kTinyWeight : s.weight;
    zr[r] = (eta[r] - model.offset[r]) + (model.w[r] == 0.0 ? 0.0 : (model.y[r] - s.mu) / mu_eta(model.family, eta[r]));
  }
  cr::Design d;
  d.pr = model.joint->pr;
  d.layout = model.joint->layout;
  d.blocks = model.joint->blocks;
  d.tidx = model.joint->tidx;
  d.theta_offset = model.joint->theta_offset;
  d.shell.n = model.joint->shell.n;
  d.shell.p = model.joint->shell.p;
  d.shell.weighted = true;
  refill(model, wt, zr, true, d.pr);
  d.shell.log_weights = d.pr.log_weights;
  const OptimResult r = cr::fit(d, theta0, false, MinimizeOptions{});
  if (!std::isfinite(r.deviance)) return {};
  const std::optional<cr::Solution> sol = cr::evaluate(d, r.theta, false, kModeDeviance);
  if (!sol || !(sol->ev.sigma2 > 0.0)) return {};
  std::vector<double> out = r.theta;
  const double sigma = std::sqrt(sol->ev.sigma2);
  for (double& t : out) t = t * sigma;
  return out;
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
  model.plain = pattern_of(model, false);
  model.joint = pattern_of(model, true);
  const std::size_t k = model.factors.size();
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const cr::CrossBlock& cb = model.plain->pr.cross[cr::pair_index(i, j, k)];
      std::vector<std::uint64_t> pos(n);
      for (std::uint64_t r = 0; r < n; ++r) {
        const std::uint64_t key = static_cast<std::uint64_t>(model.factors[i].codes[r]) * model.factors[j].m +
                                  static_cast<std::uint64_t>(model.factors[j].codes[r]);
        pos[r] = static_cast<std::uint64_t>(std::lower_bound(cb.keys.begin(), cb.keys.end(), key) - cb.keys.begin());
      }
      model.cross_pos.push_back(std::move(pos));
    }
  return model;
}

bool crossed_evaluate(const CrossedModel& model, const std::vector<double>& theta, const double* beta, double& value,
                      CrossedModes* modes, double* grad, std::vector<std::vector<double>>* warm) {
  std::vector<double> b(beta, beta + model.p), eta;
  std::vector<std::vector<double>> u;
  if (warm) u = *warm;
  Solve last;
  if (!pirls(model, theta, b, false, modes != nullptr, u, eta, last, grad != nullptr)) return false;
  if (warm) *warm = last.u;
  value = laplace_value(model, eta, last.u, last.ldl2);
  if (grad && !crossed_gradient(model, theta, eta, last, grad)) return false;
  if (modes) {
    modes->u = last.u;
    // The LMM core's conditional variances carry its residual variance, which the
    // working system's pwrss / n estimates; a GLMM's has none (its scale is 1).
    modes->cond_var = last.solution->cond_var;
    const double s2 = last.solution->ev.sigma2;
    for (auto& v : modes->cond_var)
      for (double& c : v) c = c / s2;
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
  if (!pirls(model, theta, b, true, false, u, eta, last)) {
    std::copy(b.begin(), b.end(), beta);  // the last iterate, for a diagnosis
    return false;
  }
  std::copy(last.beta.begin(), last.beta.end(), beta);
  if (rx_inv) std::copy(last.solution->ev.fixed_inverse.begin(), last.solution->ev.fixed_inverse.end(), rx_inv);
  return crossed_evaluate(model, theta, last.beta.data(), value, nullptr, nullptr, nullptr);
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
  c.diagnose = [&](const std::vector<double>& b) {
    return separation_message(model.family, model.n, model.p, model.x.data(), model.offset.data(), model.y.data(), b);
  };
  // Within the fit each PIRLS starts from the modes of the point evaluated last: the
  // modes move little between the optimiser's points, and PIRLS converges to them to
  // rounding from either start, so this saves about half its steps.
  std::vector<std::vector<double>> warm;
  c.value = [&](const std::vector<double>& xv, double& f) {
    return crossed_evaluate(model, std::vector<double>(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(nt)),
                            xv.data() + nt, f, nullptr, nullptr, &warm);
  };
  c.gradient = [&](const std::vector<double>& xv, double& f, std::vector<double>& g) {
    return crossed_evaluate(model, std::vector<double>(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(nt)),
                            xv.data() + nt, f, nullptr, g.data(), &warm);
  };
  c.stage1 = options.nagq == 0;
  c.refine_start = [&](const std::vector<double>& th, const std::vector<double>& b) {
    return pql_start(model, th, b);
  };
  std::vector<double> x, unit;
  FitResult res = two_stage(c, options, x, unit);
  CrossedModes modes;
  double f;
  if (!crossed_evaluate(model, res.theta, res.beta.data(), f, &modes, nullptr, nullptr))
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
