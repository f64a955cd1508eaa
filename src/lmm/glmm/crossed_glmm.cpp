#include "lmm/glmm/crossed_glmm.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "lmm/glmm/crossed_detail.hpp"
#include "lmm/glmm/group.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {
namespace crossed_detail {
namespace {


// -2 sum loglik_smooth + |u|^2 at eta.
double objective(const CrossedModel& model, const Family& fam, const std::vector<double>& eta,
                 const std::vector<std::vector<double>>& u) {
  // The rows' terms on the pool, their sum in row order.
  std::vector<double> terms(model.n);
  each_row(model.n, kRowStateCost, [&](std::uint64_t r) {
    if (model.w[r] != 0.0)
      terms[r] = fam.zi_rows ? loglik_smooth(row_family(fam, r), model.y[r], linkinv(fam, eta[r]), model.w[r])
                             : loglik_smooth(fam, model.y[r], linkinv(fam, eta[r]), model.w[r]);
  });
  double ll = 0.0;
  for (std::uint64_t r = 0; r < model.n; ++r)
    if (model.w[r] != 0.0) ll = ll + terms[r];
  double uu = 0.0;
  for (const auto& v : u)
    for (double x : v) uu = uu + x * x;
  return -2.0 * ll + uu;
}


}  // namespace

Family family_at(const CrossedModel& model, const double* beta, std::vector<double>& zp) {
  Family f = at_params(model.family, beta, model.p);
  if (!f.inflated || model.zx.empty()) return f;
  const std::uint64_t pz = f.zi_columns;
  const double* bz = beta + model.p + (n_extra(f) - pz);
  zp.resize(model.n);
  for (std::uint64_t r = 0; r < model.n; ++r) {
    const double* zr = model.zx.data() + r * pz;
    double e = 0.0;
    for (std::uint64_t j = 0; j < pz; ++j) e = e + zr[j] * bz[j];
    zp[r] = 1.0 / (1.0 + std::exp(-e));
  }
  f.zi_rows = zp.data();
  return f;
}

ExtraEntries::ExtraEntries(const CrossedModel& model, const Family& fam)
    : ne(n_extra(fam)), first_zi(fam.inflated ? n_extra(fam) - fam.zi_columns : n_extra(fam)),
      pz(fam.zi_columns), zx(model.zx.empty() ? nullptr : model.zx.data()) {}

std::vector<double> theta_part(const CrossedModel& model, const std::vector<double>& theta, std::size_t j) {
  return std::vector<double>(theta.begin() + static_cast<std::ptrdiff_t>(model.theta_offset[j]),
                             theta.begin() + static_cast<std::ptrdiff_t>(model.theta_offset[j + 1]));
}


void linear_predictor(const CrossedModel& model, const std::vector<std::vector<double>>& lambdas,
                      const std::vector<double>& eta0, const std::vector<std::vector<double>>& u,
                      std::vector<double>& eta) {
  eta.resize(model.n);
  std::uint64_t cost = 1;
  for (const CrossedFactor& f : model.factors) cost += f.q * f.q + f.q;
  // Each row adds its factors' terms in factor order.
  each_row(model.n, cost, [&](std::uint64_t r) {
    double e = eta0[r];
    for (std::size_t j = 0; j < model.factors.size(); ++j) {
      const CrossedFactor& f = model.factors[j];
      const std::uint64_t q = f.q;
      const double* lam = lambdas[j].data();
      const double* zr = f.z.data() + r * q;
      const double* ul = u[j].data() + static_cast<std::uint64_t>(f.codes[r]) * q;
      for (std::uint64_t a = 0; a < q; ++a) {
        double b = 0.0;  // (Lambda u)_a
        for (std::uint64_t c = 0; c <= a; ++c) b = b + lam[a * q + c] * ul[c];
        e = e + zr[a] * b;
      }
    }
    eta[r] = e;
  });
}


bool pirls(const CrossedModel& model, const Family& fam, const std::vector<double>& theta, std::vector<double>& beta,
           bool joint,
           bool cond_var, std::vector<std::vector<double>>& u, std::vector<double>& eta, Solve& last,
           bool gradient, bool at_mode) {
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
    each_row(n, p + 1, [&](std::uint64_t r) {
      double e = model.offset[r];
      for (std::uint64_t c = 0; c < p; ++c) e = e + model.x[r * p + c] * b[c];
      eta0[r] = e;
    });
  };
  fixed_part(beta);
  linear_predictor(model, lambdas, eta0, u, eta);
  double h = objective(model, fam, eta, u);
  if (given && at_mode) {
    if (!std::isfinite(h)) return false;
    return pwls(model, fam, theta, eta, joint ? off : eta0, joint, cond_var, last, gradient, nullptr, true);
  }
  // A given start far from this point's modes (after a long trial step of the
  // optimiser) can be worse than none: where its first step is longer than kFarStart,
  // the better of it and zero is taken (group_mode's rule).
  bool check_start = given;
  const auto take_zero = [&]() {
    std::vector<std::vector<double>> zero(k);
    for (std::size_t j = 0; j < k; ++j) zero[j].assign(u[j].size(), 0.0);
    std::vector<double> eta_zero;
    linear_predictor(model, lambdas, eta0, zero, eta_zero);
    const double h_zero = objective(model, fam, eta_zero, zero);
    if (h <= h_zero) return false;
    u.swap(zero);
    eta.swap(eta_zero);
    h = h_zero;
    return true;
  };
  if (!std::isfinite(h) && std::exchange(check_start, false)) take_zero();
  if (!std::isfinite(h)) return false;
  std::vector<std::vector<double>> ut(k);
  std::vector<double> bt(p), etat(n);
  // The system of the steps, refilled at each, and the model's spare when PIRLS ends.
  struct Work {
    const CrossedModel& model;
    bool joint;
    std::unique_ptr<cr::Design> d;
    ~Work() { model.spares->give(std::move(d), joint); }
  } held{model, joint, nullptr};
  std::unique_ptr<cr::Design>& work = held.d;
  double smallest = INFINITY, h_run = h;  // the objective at the start of a stalled run
  double moved = INFINITY;                 // how much the last step taken moved the objective
  double prev_whole = INFINITY;            // the size of the last step, when taken whole
  int stalled = 0;
  const auto flat = [&](double change) { return change <= kFlatObjective * std::max(1.0, std::fabs(h)); };
  for (int it = 0; it < kMaxIter; ++it) {
    check_interrupt();
    Solve s;
    // A mixture's Fisher weights are a surrogate of its curvature, whose steps converge
    // only linearly: within the Newton zone its steps are Newton's (the observed
    // curvature), unless that system does not factor.
    const bool newton = fam.inflated && smallest <= kNewtonZone;
    if (!(newton && pwls(model, fam, theta, eta, joint ? off : eta0, joint, false, s, false, &work, true)) &&
        !pwls(model, fam, theta, eta, joint ? off : eta0, joint, false, s, false, &work)) {
      // A given start whose system does not factor (weights overflowing far off): zero.
      if (std::exchange(check_start, false) && take_zero()) continue;
      return false;
    }
    double big = 0.0;
    for (std::size_t j = 0; j < k; ++j)
      for (std::size_t i = 0; i < u[j].size(); ++i) big = std::max(big, std::fabs(s.u[j][i] - u[j][i]));
    if (joint) {
      // The fixed effects' step is measured in beta or, where smaller, in the linear
      // predictor it moves: the latter does not depend on how the columns are centred
      // or scaled (a year of 1995 beside the intercept, a covariate in micrometres),
      // which is what centring and scaling the columns would buy, at no change to the
      // iterates. Where beta's own step is the smaller, the test is as before.
      double step_beta = 0.0, step_eta = 0.0;
      for (std::uint64_t c = 0; c < p; ++c) step_beta = std::max(step_beta, std::fabs(s.beta[c] - beta[c]));
      for (std::uint64_t r = 0; r < n && step_eta < step_beta; ++r) {
        double e = 0.0;
        for (std::uint64_t c = 0; c < p; ++c) e = e + model.x[r * p + c] * (s.beta[c] - beta[c]);
        step_eta = std::max(step_eta, std::fabs(e));
      }
      big = std::max(big, std::min(step_beta, step_eta));
    }
    if (std::exchange(check_start, false) && !(big <= kFarStart) && take_zero()) continue;
    if (!std::isfinite(big)) return false;
    if (big <= kNewtonZone) {
      if (big <= 0.5 * smallest) {
        stalled = 0;
      } else {
        if (stalled == 0) h_run = h;
        if (++stalled >= kStalledSteps) {
          if (joint) fixed_part(beta);
          return (big <= 1e-6 || flat(std::fabs(h - h_run))) &&
                 pwls(model, fam, theta, eta, joint ? off : eta0, joint, cond_var, last, gradient, &work, true);
        }
      }
    }
    smallest = std::min(smallest, big);
    double step = 1.0;
    bool taken = false;
    for (int hv = 0; hv < kMaxHalvings; ++hv, step *= 0.5) {
      check_interrupt();
      for (std::size_t j = 0; j < k; ++j) {
        ut[j].resize(u[j].size());
        for (std::size_t i = 0; i < u[j].size(); ++i) ut[j][i] = u[j][i] + step * (s.u[j][i] - u[j][i]);
      }
      if (joint) {
        for (std::uint64_t c = 0; c < p; ++c) bt[c] = beta[c] + step * (s.beta[c] - beta[c]);
        fixed_part(bt);
      }
      linear_predictor(model, lambdas, eta0, ut, etat);
      const double ht = objective(model, fam, etat, ut);
      // Near the mode steps are taken whole (see group_mode).
      if (ht <= h || big <= kNewtonZone) {
        moved = std::fabs(h - ht);
        h = ht;
        taken = true;
        break;
      }
      if (big * step <= kStepTol) break;
    }
    if (!taken) {
      if (joint) fixed_part(beta);
      // No step lowers the objective: converged if the step is small, or if the last
      // one taken left the objective unchanged to kFlatObjective (see there).
      if (big > 1e-6 && !flat(moved)) return false;
      return pwls(model, fam, theta, eta, joint ? off : eta0, joint, cond_var, last, gradient, &work, true);
    }
    u.swap(ut);
    eta.swap(etat);
    if (joint) beta = bt;
    if (converged_after(step == 1.0 ? big : INFINITY, prev_whole) || big <= kStepTol)
      return pwls(model, fam, theta, eta, joint ? off : eta0, joint, cond_var, last, gradient, &work, true);
    prev_whole = step == 1.0 ? big : INFINITY;
  }
  return false;
}


std::vector<std::vector<double>> lambda_t_levels(const std::vector<std::vector<double>>& s,
                                                 const std::vector<std::vector<double>>& lambdas,
                                                 const std::vector<std::uint64_t>& q) {
  std::vector<std::vector<double>> out(s.size());
  for (std::size_t j = 0; j < s.size(); ++j) {
    const std::uint64_t qj = q[j], m = s[j].size() / qj;
    out[j].assign(s[j].size(), 0.0);
    for (std::uint64_t l = 0; l < m; ++l)
      for (std::uint64_t a = 0; a < qj; ++a) {
        double t = 0.0;
        for (std::uint64_t c = 0; c < qj; ++c) t = t + s[j][l * qj + c] * lambdas[j][c * qj + a];
        out[j][l * qj + a] = t;
      }
  }
  return out;
}

std::vector<std::vector<double>> z_rhs(const CrossedModel& model, const std::vector<std::vector<double>>& lambdas,
                                       const std::vector<double>& wt, const std::vector<double>& resp) {
  const std::size_t k = model.factors.size();
  std::vector<std::vector<double>> zty(k);
  std::vector<std::uint64_t> qs(k);
  for (std::size_t j = 0; j < k; ++j) {
    const CrossedFactor& f = model.factors[j];
    const std::uint64_t q = f.q;
    qs[j] = q;
    const std::vector<std::uint64_t>& rows = model.level_rows[j];
    const std::vector<std::uint64_t>& ptr = model.level_ptr[j];
    zty[j].assign(f.m * q, 0.0);
    for_chunks(plan_chunks(f.m, (model.n / f.m + 1) * q), [&](std::uint64_t, std::uint64_t lb, std::uint64_t le) {
      for (std::uint64_t l = lb; l < le; ++l) {
        double* zl = zty[j].data() + l * q;
        for (std::uint64_t t = ptr[l]; t < ptr[l + 1]; ++t) {
          const std::uint64_t r = rows[t];
          for (std::uint64_t a = 0; a < q; ++a) zl[a] = zl[a] + (f.z[r * q + a] * wt[r]) * resp[r];
        }
      }
    });
  }
  return lambda_t_levels(zty, lambdas, qs);
}

void theta_terms(const CrossedModel& model, const std::vector<double>& omega, const std::vector<detail::RowState>& st,
                 const std::vector<std::vector<double>>& u, const std::vector<std::vector<double>>& t, double* out) {
  for (std::size_t j = 0; j < model.factors.size(); ++j) {
    const CrossedFactor& f = model.factors[j];
    const std::uint64_t q = f.q;
    for (std::size_t e = 0; e < f.idx.size(); ++e) {
      const std::uint64_t a = f.idx[e].first, b = f.idx[e].second;
      double s = 0.0;
      for (std::uint64_t r = 0; r < model.n; ++r) {
        const std::uint64_t l = static_cast<std::uint64_t>(f.codes[r]);
        s = s + (omega[r] * u[j][l * q + b] + st[r].d1 * t[j][l * q + b]) * f.z[r * q + a];
      }
      out[model.theta_offset[j] + e] = s;
    }
  }
}

}  // namespace crossed_detail

namespace {

using namespace crossed_detail;

double laplace_value(const CrossedModel& model, const Family& fam, const std::vector<double>& eta,
                     const std::vector<std::vector<double>>& u, double ldl2) {
  return (objective(model, fam, eta, u) + ldl2) + model.constant;
}


// The gradient of the Laplace criterion over (theta, beta) at the modes `last` found
// (see group_gradient for the formula): the row leverages c_r = a_r' M^-1 a_r are read
// from the selected inverse of the system (a row's pairs of levels are on its factor's
// pattern; a triangular solve per row through the dense block cost n times its size
// squared, most of a large crossed fit's time), t = M_o^-1 A' v comes from a solve of
// the same pattern (weights -D2, response v / -D2; Fisher's weights where -D2 is not
// positive), by last's own factor where M_o is its system over u (the Laplace weights
// are -D2 already), and 2 tr(M^-1 A'W dA/dtheta) is the LMM core's gradient of its
// log-determinant at fixed weights. last's system may be the joint one (with X): its
// factor's part over u is the system over u alone, and so are the leverages and the
// log-determinant's gradient read from it.
bool crossed_gradient(const CrossedModel& model, const Family& fam, const std::vector<double>& theta,
                      const std::vector<double>& eta, const Solve& last, double* grad,
                      std::vector<detail::RowState>* st_out = nullptr) {
  const std::uint64_t n = model.n, p = model.p;
  const std::size_t k = model.factors.size();
  check_interrupt();
  std::vector<detail::RowState> st(n);
  bool observed_ok = true;
  each_row(n, kRowStateCost, [&](std::uint64_t r) { st[r] = state_at(model, fam, eta[r], r); });
  for (std::uint64_t r = 0; r < n; ++r)
    if (model.w[r] != 0.0 && !(-st[r].d2 > 0.0)) observed_ok = false;
  cr::PredictionRows rows;
  rows.r = n;
  rows.x = nullptr;  // the leverages of the system over u alone, whatever last's design
  for (const CrossedFactor& f : model.factors) {
    rows.levels.push_back(f.codes.data());
    rows.z.push_back(f.z.data());
  }
  const std::vector<double> c = cr::leverages(*last.design, *last.factor, rows);
  // M is M_o where the Laplace weights are the observed curvature already.
  const bool observed = !canonical(fam) && !fam.observed && observed_ok;
  std::vector<double> wt(n), resp(n), v(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    v[r] = st[r].dweight * c[r];
    const double cw = observed ? -st[r].d2 : st[r].weight;
    wt[r] = model.w[r] == 0.0 ? kTinyWeight : cw;
    resp[r] = model.w[r] == 0.0 ? 0.0 : v[r] / cw;
  }
  std::vector<std::vector<double>> lambdas(k);
  for (std::size_t j = 0; j < k; ++j)
    lambdas[j] = theta_to_lambda(theta_part(model, theta, j), model.factors[j].idx, model.factors[j].q);
  // With every Lambda zero the leverages, and so the response of this solve, are zero:
  // t = 0 without a solve, whose system (a zero response has no residual pivot) would
  // not factor. Under the Laplace weights M is last's system over u: its factor serves.
  std::vector<std::vector<double>> t;
  if (std::any_of(resp.begin(), resp.end(), [](double r) { return r != 0.0; })) {
    if (!observed) {
      t = cr::solve_z(*last.design, *last.factor, z_rhs(model, lambdas, wt, resp));
    } else {
      Solve ts;
      if (!solve_system(model, theta, wt, resp, false, false, false, ts)) return false;
      t = std::move(ts.u);
    }
  } else {
    t.resize(k);
    for (std::size_t j = 0; j < k; ++j) t[j].assign(last.u[j].size(), 0.0);
  }
  std::vector<double> at;
  linear_predictor(model, lambdas, std::vector<double>(n, 0.0), t, at);
  std::vector<double> omega(n);
  for (std::uint64_t r = 0; r < n; ++r) omega[r] = (v[r] + st[r].d2 * at[r]) - 2.0 * st[r].d1;
  const std::size_t nt = model.theta_offset.back();
  std::fill(grad, grad + nt + p, 0.0);
  for (std::uint64_t r = 0; r < n; ++r)
    for (std::uint64_t c2 = 0; c2 < p; ++c2) grad[nt + c2] = grad[nt + c2] + omega[r] * model.x[r * p + c2];
  // The entries of log(phi) and the inflation's logit (see group_gradient): -2 l_t +
  // c_r W_t + (a_r' t) d1_t per row.
  const ExtraEntries ex(model, fam);
  const std::uint64_t ne = ex.ne;
  for (std::uint64_t j = 0; j < ne; ++j) grad[nt + p + j] = 0.0;
  for (std::uint64_t r = 0; r < n && ne > 0; ++r) {
    if (model.w[r] == 0.0) continue;
    const std::array<detail::ExtraDerivs, 2> d =
        fam.zi_rows ? detail::extra_derivs(row_family(fam, r), model.y[r], eta[r], model.w[r])
                    : detail::extra_derivs(fam, model.y[r], eta[r], model.w[r]);
    for (std::uint64_t j = 0; j < ne; ++j) {
      const detail::ExtraDerivs& dj = d[ex.slot(j)];
      grad[nt + p + j] = grad[nt + p + j] + ((-2.0 * dj.l + c[r] * dj.weight) + at[r] * dj.d1) * ex.weight(r, j);
    }
  }
  const std::vector<double>& gl = last.solution->ev.grad_logdet;
  theta_terms(model, omega, st, last.u, t, grad);
  for (std::size_t e = 0; e < nt; ++e) grad[e] = grad[e] + gl[e];
  if (st_out) *st_out = std::move(st);
  return true;
}


}  // namespace

bool crossed_evaluate(const CrossedModel& model, const std::vector<double>& theta, const double* beta, double& value,
                      CrossedModes* modes, double* grad, std::vector<std::vector<double>>* warm, bool at_mode) {
  std::vector<double> zp;
  const Family fam = family_at(model, beta, zp);
  std::vector<double> b(beta, beta + model.p), eta;
  std::vector<std::vector<double>> u;
  if (warm) u = *warm;
  Solve last;
  if (!pirls(model, fam, theta, b, false, modes != nullptr, u, eta, last, grad != nullptr, at_mode && warm)) return false;
  if (warm) *warm = last.u;
  value = laplace_value(model, fam, eta, last.u, last.ldl2);
  if (grad && !crossed_gradient(model, fam, theta, eta, last, grad)) return false;
  model.spares->give(std::move(last.design), false);
  if (modes) {
    modes->u = last.u;
    // The LMM core's conditional variances carry its residual variance, which the
    // working system's pwrss / n estimates; a GLMM's has none (its scale is 1).
    modes->cond_var = last.solution->cond_var;
    const double s2 = last.solution->ev.sigma2;
    for (auto& v : modes->cond_var)
      for (double& c : v) c = c / s2;
    modes->eta = eta;
    if (!modes->with_rx) return std::isfinite(value);
    // beta's covariance at fixed theta: the joint system's at the modes.
    Solve joint;
    std::vector<double> base = model.offset;
    if (!pwls(model, fam, theta, eta, base, true, false, joint)) return false;
    modes->rx_inv = joint.solution->ev.fixed_inverse;
  }
  return std::isfinite(value);
}

namespace crossed_detail {

bool joint_point(const CrossedModel& model, const std::vector<double>& theta, const double* beta0, double* beta,
                 double* rx_inv, double& value, double* grad, std::vector<std::vector<double>>& warm,
                 JointRows* rows) {
  std::vector<double> zp;
  const Family fam = family_at(model, beta0, zp);
  std::vector<double> b(beta0, beta0 + model.p), eta;
  // The family's parameters beside beta (log(phi), the inflation's logit) are held at beta0's.
  const std::uint64_t n = model.n, p = model.p, nd = n_extra(model.family);
  std::copy(beta0 + p, beta0 + p + nd, beta + p);
  Solve last;
  if (!pirls(model, fam, theta, b, true, false, warm, eta, last, true)) {
    std::copy(b.begin(), b.end(), beta);  // the last iterate, for a diagnosis
    return false;
  }
  std::copy(last.beta.begin(), last.beta.end(), beta);
  if (rx_inv) std::copy(last.solution->ev.fixed_inverse.begin(), last.solution->ev.fixed_inverse.end(), rx_inv);
  warm = last.u;
  // The point is (beta, u) of the last solve, which its system's solution moved by less
  // than PIRLS's tolerance: its linear predictor, and the criterion with the system's
  // log-determinant over u (the Z part of its factor) and gradient there.
  const std::size_t k = model.factors.size();
  std::vector<std::vector<double>> lambdas(k);
  for (std::size_t j = 0; j < k; ++j)
    lambdas[j] = theta_to_lambda(theta_part(model, theta, j), model.factors[j].idx, model.factors[j].q);
  std::vector<double> eta0(n);
  each_row(n, p + 1, [&](std::uint64_t r) {
    double e = model.offset[r];
    for (std::uint64_t c = 0; c < p; ++c) e = e + model.x[r * p + c] * beta[c];
    eta0[r] = e;
  });
  linear_predictor(model, lambdas, eta0, warm, eta);
  value = laplace_value(model, fam, eta, warm, last.ldl2);
  std::vector<detail::RowState> st;
  const bool ok = std::isfinite(value) && (!grad || crossed_gradient(model, fam, theta, eta, last, grad, &st));
  if (ok && rows) {
    rows->eta = std::move(eta);
    rows->st = std::move(st);
    rows->design = std::move(last.design);
    rows->factor = std::move(last.factor);
  } else {
    model.spares->give(std::move(last.design), true);
  }
  return ok;
}

}  // namespace crossed_detail

}  // namespace qk::glmm
