// The fit of a GLMM with one grouping factor, in lme4's two stages: first the nAGQ = 0
// criterion over theta alone (beta from the joint PIRLS), then, for nagq >= 1, the
// Laplace or quadrature criterion over (theta, beta) from there, both by the core's
// quasi-Newton minimiser. The second stage starts with an inverse Hessian assembled
// from the first: the first stage's model for theta and half of beta's covariance at
// fixed theta for beta (the criterion is -2 log-likelihood), so its first steps are
// close to Newton's.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>

#include "linalg/dense.hpp"
#include "lmm/glmm/glmm.hpp"
#include "lmm/glmm/stages.hpp"
#include "optim/minimize.hpp"

namespace qk::glmm {

// Central differences of a value-only function; the step of coordinate j is
// rel * max(|x_j|, floor_j).
bool central_gradient(const std::function<bool(const std::vector<double>&, double&)>& f,
                      const std::vector<double>& x, const std::vector<double>& step,
                      std::vector<double>& g) {
  std::vector<double> xt = x;
  for (std::size_t j = 0; j < x.size(); ++j) {
    double fp, fm;
    xt[j] = x[j] + step[j];
    if (!f(xt, fp)) return false;
    xt[j] = x[j] - step[j];
    if (!f(xt, fm)) return false;
    xt[j] = x[j];
    g[j] = (fp - fm) / (2.0 * step[j]);
  }
  return true;
}

std::vector<double> steps_for(const std::vector<double>& x, const std::vector<double>& unit, double rel) {
  std::vector<double> h(x.size());
  for (std::size_t j = 0; j < x.size(); ++j) h[j] = rel * std::max(std::fabs(x[j]), unit[j]);
  return h;
}

std::string separation_message(const Family& family, std::uint64_t n, std::uint64_t p, const double* x,
                               const double* offset, const double* y, const std::vector<double>& beta) {
  std::uint64_t at_bound = 0, first = 0;
  for (std::uint64_t r = 0; r < n; ++r) {
    double eta = offset ? offset[r] : 0.0;
    for (std::uint64_t j = 0; j < p; ++j) eta = eta + x[r * p + j] * beta[j];
    const double mu = linkinv(family, eta);
    const double lo = family.def->mean_lower, hi = family.def->mean_upper;
    const bool bound = (y[r] == lo && mu < lo + 1e-8) || (y[r] == hi && mu > hi - 1e-8);
    if (bound && at_bound++ == 0) first = r;
  }
  if (at_bound == 0) return {};
  // The column whose term moves the linear predictor most.
  std::uint64_t col = 0;
  double most = -1.0;
  for (std::uint64_t j = 0; j < p; ++j) {
    double spread = 0.0;
    for (std::uint64_t r = 0; r < n; ++r) spread = std::max(spread, std::fabs(x[r * p + j] * beta[j]));
    if (spread > most) {
      most = spread;
      col = j;
    }
  }
  // Separation is the word for a response whose means are bounded on both sides (a
  // binomial one); a count's analogue is a set of zero counts that the fixed effects
  // fit exactly (fitted means tending to their lower bound 0).
  if (std::isfinite(family.def->mean_upper))
    return "perfect separation: the fixed effects fit " + std::to_string(at_bound) +
           " responses exactly (fitted probabilities reach their bound, first at row " + std::to_string(first) +
           ") and the estimate of column " + std::to_string(col) +
           " diverges; the maximum-likelihood estimates do not exist";
  return "the fixed effects fit " + std::to_string(at_bound) + " zero counts exactly (fitted means reach 0, first at row " +
         std::to_string(first) + ") and the estimate of column " + std::to_string(col) +
         " diverges; the maximum-likelihood estimates do not exist";
}

void embed_rx(const std::vector<double>& rxp, std::size_t p, std::size_t nd, double* rx) {
  const std::size_t pe = p + nd;
  std::fill(rx, rx + pe * pe, 0.0);
  for (std::size_t i = 0; i < p; ++i)
    std::copy(rxp.begin() + static_cast<std::ptrdiff_t>(i * p), rxp.begin() + static_cast<std::ptrdiff_t>((i + 1) * p),
              rx + i * pe);
  for (std::size_t i = p; i < pe; ++i) rx[i * pe + i] = 0.01;
}

void keep_fixed_block(FitResult& res, std::size_t p) {
  const std::size_t pe = res.beta.size();
  const auto block = [&](std::vector<double>& m) {
    if (m.size() != pe * pe || pe == p) return;
    std::vector<double> v(p * p);
    for (std::size_t i = 0; i < p; ++i)
      std::copy(m.begin() + static_cast<std::ptrdiff_t>(i * pe), m.begin() + static_cast<std::ptrdiff_t>(i * pe + p),
                v.begin() + static_cast<std::ptrdiff_t>(i * p));
    m = v;
  };
  if (res.vcov_from_hessian) block(res.vcov);
  block(res.vcov_rx);
}

FitResult two_stage(const Criteria& c, const FitOptions& options, std::vector<double>& x, std::vector<double>& unit) {
  const std::size_t nt = c.n_theta, p = c.p, np = nt + p;
  const int nagq = options.nagq;
  if (nagq < 0) throw std::invalid_argument("nagq must be 0 or more");
  FitResult res;
  const auto entered = std::chrono::steady_clock::now();

  // Stage 1: theta alone, beta from the joint PIRLS started at a fixed beta, so the
  // criterion is a function of theta.
  std::vector<double> beta0 = options.beta.empty() ? std::vector<double>(p, 0.0) : options.beta;
  std::vector<double> theta0 = options.theta.empty() ? c.theta0 : options.theta;
  if (beta0.size() != p || theta0.size() != nt) throw std::invalid_argument("start of the wrong length");
  std::vector<double> beta_j(p), rx(p * p);
  double v0;
  if (!c.joint(theta0, beta0.data(), v0, beta_j.data(), rx.data())) {
    const std::string why = c.diagnose ? c.diagnose(beta_j) : std::string();
    throw std::runtime_error(why.empty() ? "PIRLS did not converge at the start: the conditional modes and the fixed "
                                           "effects could not be found"
                                         : why);
  }
  beta0 = beta_j;
  std::vector<double> h0_theta;
  if (c.refine_start && options.theta.empty() && (!c.stage1 || nagq == 0)) {
    std::vector<double> better = c.refine_start(theta0, beta_j, h0_theta);
    if (better.size() == nt && c.joint(better, beta0.data(), v0, beta_j.data(), rx.data())) {
      theta0 = better;
      beta0 = beta_j;
    } else if (!c.joint(theta0, beta0.data(), v0, beta_j.data(), rx.data())) {
      throw std::runtime_error("PIRLS did not converge at the start");
    }
  }
  res.start_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - entered).count();
  // Stage one's variables: theta and the family's parameters beside beta (log(phi), the
  // inflation's logit), which the joint PIRLS holds at the values it is given.
  const std::size_t ne = c.n_extra, ns = nt + ne;
  auto stage1_value = [&](const std::vector<double>& th, double& f) {
    std::vector<double> b(p);
    if (ne == 0) return c.joint(th, beta0.data(), f, b.data(), nullptr);
    std::vector<double> b0 = beta0;
    std::copy(th.begin() + static_cast<std::ptrdiff_t>(nt), th.end(), b0.end() - static_cast<std::ptrdiff_t>(ne));
    return c.joint(std::vector<double>(th.begin(), th.begin() + static_cast<std::ptrdiff_t>(nt)), b0.data(), f,
                   b.data(), nullptr);
  };
  const std::vector<double> unit_theta(ns, 0.1);
  // The last point whose exact gradient obj1 found, which the estimate's report reuses.
  std::vector<double> last_x, last_g;
  double last_f = NAN;
  Objective obj1 = [&](const std::vector<double>& th, double& f, std::vector<double>& g) {
    if (c.joint_gradient && th == last_x) {
      f = last_f;
      g = last_g;
      return true;
    }
    if (c.joint_gradient) {
      std::vector<double> b0 = beta0;
      std::copy(th.begin() + static_cast<std::ptrdiff_t>(nt), th.end(), b0.end() - static_cast<std::ptrdiff_t>(ne));
      if (c.joint_gradient(std::vector<double>(th.begin(), th.begin() + static_cast<std::ptrdiff_t>(nt)), b0.data(), f,
                           g)) {
        last_x = th;
        last_f = f;
        last_g = g;
        return true;
      }
    }
    if (!stage1_value(th, f)) return false;
    return central_gradient(stage1_value, th, steps_for(th, unit_theta, 1e-5), g);
  };
  MinimizeOptions o1;
  o1.max_iter = options.max_iter;
  o1.gtol = 1e-6;
  // With the exact gradient every point gets both: a value alone costs the joint PIRLS
  // from its start, most of the gradient's price.
  if (!c.joint_gradient) o1.value = stage1_value;
  OptimResult r1;
  std::vector<double> extra_at;  // the family's parameters at stage one's estimate
  if (c.stage1 || nagq == 0) {
    std::vector<double> start = theta0;
    start.insert(start.end(), beta0.end() - static_cast<std::ptrdiff_t>(ne), beta0.end());
    if (h0_theta.size() == nt * nt) {
      o1.h0.assign(ns * ns, 0.0);
      for (std::size_t i = 0; i < ns; ++i) o1.h0[i * ns + i] = 1.0;
      for (std::size_t i = 0; i < nt; ++i)
        for (std::size_t j = 0; j < nt; ++j) o1.h0[i * ns + j] = h0_theta[i * nt + j];
      // The family's parameters' curvature from a forward difference of the gradient, as
      // stage two probes it: a unit curvature beside the PQL fit's theta makes the first
      // step in log(phi) as long as its gradient there (hundreds, on a few thousand
      // rows), far past where the joint PIRLS converges.
      std::vector<double> g0(ns), g1(ns), xt = start;
      double f0;
      if (ne > 0 && obj1(start, f0, g0))
        for (std::size_t i = nt; i < ns; ++i) {
          const double h = 1e-3 * std::max(std::fabs(start[i]), 0.1);
          xt[i] = start[i] + h;
          const double cv = obj1(xt, f0, g1) ? (g1[i] - g0[i]) / h : 0.0;
          if (cv > 0.0) o1.h0[i * ns + i] = 1.0 / cv;
          xt[i] = start[i];
        }
    }
    r1 = minimize_symmetric(obj1, start, c.groups, o1);
    if (ne > 0 && r1.theta.size() == ns) {
      // The family's parameters join beta; theta's block of the inverse Hessian stays.
      std::copy(r1.theta.begin() + static_cast<std::ptrdiff_t>(nt), r1.theta.end(), beta0.end() - static_cast<std::ptrdiff_t>(ne));
      extra_at.assign(r1.theta.begin() + static_cast<std::ptrdiff_t>(nt), r1.theta.end());
      r1.theta.resize(nt);
      if (r1.inverse_hessian.size() == ns * ns) {
        std::vector<double> h(nt * nt);
        for (std::size_t i = 0; i < nt; ++i)
          for (std::size_t j = 0; j < nt; ++j) h[i * nt + j] = r1.inverse_hessian[i * ns + j];
        r1.inverse_hessian = h;
      }
    }
  } else {
    r1.theta = theta0;
    r1.deviance = v0;
    r1.fev = 0;
    r1.iterations = 0;
    r1.converged = true;
    r1.grad_inf_norm = 0.0;
  }
  res.fev_stage1 = r1.fev;
  if (!std::isfinite(r1.deviance)) throw std::runtime_error("the nAGQ = 0 stage found no feasible theta");
  std::vector<double> beta1 = beta0;
  double v1 = v0;
  if (r1.fev > 0 && !c.joint(r1.theta, beta0.data(), v1, beta1.data(), rx.data()))
    throw std::runtime_error("the conditional modes could not be found at the nAGQ = 0 estimate");

  x.assign(np, 0.0);
  std::copy(r1.theta.begin(), r1.theta.end(), x.begin());
  std::copy(beta1.begin(), beta1.end(), x.begin() + static_cast<std::ptrdiff_t>(nt));
  // A beta the caller gave stays the start where the criterion is lower there than at
  // the joint PIRLS's beta: a start taken from another fit (glmer's, under
  // near-separation) is not traded for the nAGQ = 0 stage's worse one.
  if (nagq >= 1 && !options.beta.empty() && r1.fev == 0 && c.value) {
    std::vector<double> given = x;
    std::copy(options.beta.begin(), options.beta.end(), given.begin() + static_cast<std::ptrdiff_t>(nt));
    double f;
    if (c.value(given, f) && f < v1) x = given;
  }
  unit.assign(np, 0.1);
  for (std::size_t j = 0; j < p; ++j) unit[nt + j] = std::sqrt(std::max(rx[j * p + j], 1e-300));
  Objective objective = [&](const std::vector<double>& xv, double& f, std::vector<double>& g) {
    if (c.gradient) return c.gradient(xv, f, g);
    if (c.values) return central_together(c.values, xv, steps_for(xv, unit, 1e-5), f, g);
    if (!c.value(xv, f)) return false;
    return central_gradient(c.value, xv, steps_for(xv, unit, 1e-5), g);
  };

  if (nagq == 0) {
    res.theta = r1.theta;
    res.beta = beta1;
    res.m2loglik = v1;
    res.grad.assign(r1.theta.size(), 0.0);
    std::vector<double> g(nt);
    std::vector<double> at = r1.theta;
    at.insert(at.end(), extra_at.begin(), extra_at.end());
    g.resize(at.size());
    double f;
    if (obj1(at, f, g)) res.grad = g;
    res.grad_inf_norm = r1.grad_inf_norm;
    res.iterations = r1.iterations;
    res.fev = r1.fev;
    res.converged = r1.converged;
    res.message = r1.message;
    res.vcov_rx = rx;
    res.vcov = rx;
    return res;
  }
  MinimizeOptions o2;
  o2.max_iter = options.max_iter;
  if (c.gradient) o2.value = c.value;
  o2.h0.assign(np * np, 0.0);
  std::vector<double> theta_curv(nt, 0.0);
  const Objective& probe = c.gradient ? c.gradient : c.warmup;
  // The start's own model of theta's curvature (the PQL fit's), where it has one and
  // there is no family parameter to probe, in place of the probe's differences.
  if (r1.inverse_hessian.empty() && h0_theta.size() == nt * nt && c.n_extra == 0) r1.inverse_hessian = h0_theta;
  if (r1.inverse_hessian.empty() && probe) {
    // Without the first stage's model, theta's curvature from forward differences of
    // the gradient along each theta: the criterion's curvature grows with the levels of
    // a term's factor, and a unit inverse Hessian would make the first step far too long.
    std::vector<double> g0(np), g1(np), xt = x;
    double f0;
    const auto curvature_at = [&](std::size_t i) {
      const double h = 1e-3 * std::max(std::fabs(x[i]), 0.1);
      xt[i] = x[i] + h;
      double c = 0.0;
      if (probe(xt, f0, g1)) c = (g1[i] - g0[i]) / h;
      xt[i] = x[i];
      return c;
    };
    if (probe(x, f0, g0)) {
      for (std::size_t i = 0; i < nt; ++i) theta_curv[i] = curvature_at(i);
      for (std::size_t i = np - c.n_extra; i < np; ++i) {
        const double cv = curvature_at(i);
        o2.h0[i * np + i] = cv > 0.0 ? 1.0 / cv : 1.0;
      }
    }
  }
  for (std::size_t i = 0; i < nt; ++i)
    for (std::size_t j = 0; j < nt; ++j) {
      const double unit_h = i != j ? 0.0 : theta_curv[i] > 0.0 ? 1.0 / theta_curv[i] : 1.0;
      o2.h0[i * np + j] = r1.inverse_hessian.empty() ? unit_h : r1.inverse_hessian[i * nt + j];
    }
  for (std::size_t i = 0; i < p - c.n_extra; ++i)
    for (std::size_t j = 0; j < p - c.n_extra; ++j) o2.h0[(nt + i) * np + nt + j] = 0.5 * rx[i * p + j];
  for (std::size_t i = np - c.n_extra; i < np; ++i)
    if (o2.h0[i * np + i] == 0.0) o2.h0[i * np + i] = 1.0;
  if (c.warmup) {
    MinimizeOptions ow = o2;
    ow.value = c.warmup_value;
    const OptimResult rw = minimize_symmetric(c.warmup, x, c.groups, ow);
    res.fev_stage1 += rw.fev;
    if (std::isfinite(rw.deviance)) {
      x = rw.theta;
      if (rw.inverse_hessian.size() == np * np) o2.h0 = rw.inverse_hessian;
    }
  }
  OptimResult r2 = minimize_symmetric(objective, x, c.groups, o2);
  if (!std::isfinite(r2.deviance)) throw std::runtime_error("the criterion is not finite at the nAGQ = 0 estimate");
  x = r2.theta;
  res.theta.assign(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(nt));
  res.beta.assign(x.begin() + static_cast<std::ptrdiff_t>(nt), x.end());
  res.m2loglik = r2.deviance;
  res.grad.assign(np, 0.0);
  double f;
  objective(x, f, res.grad);
  res.grad_inf_norm = r2.grad_inf_norm;
  res.iterations = r2.iterations;
  res.fev = r2.fev;
  res.converged = r2.converged;
  res.message = r2.message;

  hessian_covariance(objective, c.gradient ? c.gradients : Gradients(), x, unit, nt, p, res);
  return res;
}

FitResult fit(const Rows& rows, const FitOptions& options) {
  const std::size_t nt = rows.idx.size(), p = rows.p, q = rows.q, nd = n_extra(rows), pe = p + nd;
  const int nagq = options.nagq;
  Criteria c;
  c.n_theta = nt;
  c.p = pe;
  c.n_extra = nd;
  c.groups = sign_groups(rows.idx);
  c.theta0 = default_theta(rows.idx);
  // Under nAGQ = 0 every joint PIRLS after the first starts from the last one's beta and
  // modes (the fit is of theta alone, and these are its points; the criterion's
  // gradient is exact, so the rounding of where PIRLS stops enters no difference
  // quotient); a Laplace fit's from beta0 and zero.
  const bool chain = nagq == 0;
  std::vector<double> warm0, beta_last;
  auto start_of = [&](const double* b0) {
    std::vector<double> s(b0, b0 + pe);
    if (chain && beta_last.size() == pe) std::copy(beta_last.begin(), beta_last.begin() + static_cast<std::ptrdiff_t>(p), s.begin());
    return s;
  };
  c.joint = [&](const std::vector<double>& th, const double* b0, double& f, double* b, double* rx) {
    const std::vector<double> start = start_of(b0);
    std::vector<double> rxp(nd == 0 ? 0 : p * p);
    const bool ok = evaluate_joint(rows, lambda_of(rows, th), start.data(), f, b, nd == 0 || !rx ? rx : rxp.data(),
                                   chain ? &warm0 : nullptr);
    if (ok && rx && nd > 0) embed_rx(rxp, p, nd, rx);
    if (ok && chain) beta_last.assign(b, b + pe);
    return ok;
  };
  auto theta_of = [nt](const std::vector<double>& xv) {
    return std::vector<double>(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(nt));
  };
  // Within the fit each PIRLS starts from the modes of the point evaluated last.
  std::vector<double> warm(rows.m * q, 0.0);
  c.value = [&](const std::vector<double>& xv, double& f) {
    return evaluate(rows, lambda_of(rows, theta_of(xv)), xv.data() + nt, nagq, f, nullptr, nullptr, &warm);
  };
  c.joint_gradient = [&](const std::vector<double>& th, const double* b0, double& f, std::vector<double>& g) {
    const std::vector<double> lam = lambda_of(rows, th), start = start_of(b0);
    std::vector<double> b(pe);
    if (!joint_gradient(rows, lam, start.data(), f, b.data(), g.data(), warm0)) return false;
    beta_last = b;
    return true;
  };
  Objective laplace = [&](const std::vector<double>& xv, double& f, std::vector<double>& g) {
    return evaluate(rows, lambda_of(rows, theta_of(xv)), xv.data() + nt, 1, f, g.data(), nullptr, &warm);
  };
  if (nagq == 1) {
    c.gradient = laplace;
    c.gradients = gradients_on_pool([&]() -> Objective {
      return [&rows, theta_of, nt, own = warm](const std::vector<double>& xv, double& f, std::vector<double>& g) mutable {
        return evaluate(rows, lambda_of(rows, theta_of(xv)), xv.data() + nt, 1, f, g.data(), nullptr, &own);
      };
    });
  } else if (nagq > 1) {
    // The quadrature's gradient is by differences: Laplace's fit, with its exact
    // gradient, brings the run close first.
    c.warmup = laplace;
    c.warmup_value = [&](const std::vector<double>& xv, double& f) {
      return evaluate(rows, lambda_of(rows, theta_of(xv)), xv.data() + nt, 1, f, nullptr, nullptr, &warm);
    };
  }
  c.stage1 = false;
  c.diagnose = [&](const std::vector<double>& b) {
    // In the caller's row order, so the row named is theirs.
    std::vector<double> y(rows.n), off(rows.n), xs(rows.n * p);
    for (std::uint64_t k = 0; k < rows.n; ++k) {
      const std::uint64_t i = rows.order[k];
      y[i] = rows.y[k];
      off[i] = rows.offset[k];
      std::copy(rows.x.begin() + static_cast<std::ptrdiff_t>(k * p), rows.x.begin() + static_cast<std::ptrdiff_t>((k + 1) * p),
                xs.begin() + static_cast<std::ptrdiff_t>(i * p));
    }
    return separation_message(rows.family, rows.n, p, xs.data(), off.data(), y.data(), b);
  };
  std::vector<double> x, unit;
  FitResult res = two_stage(c, options, x, unit);

  // Results at the estimate: modes, conditional covariances, eta and mu by the
  // caller's rows.
  const std::vector<double> lambda = lambda_of(rows, res.theta);
  Modes modes;
  double f;
  if (!evaluate(rows, lambda, res.beta.data(), 1, f, nullptr, &modes))
    throw std::runtime_error("the conditional modes could not be found at the estimate");
  res.u = modes.u;
  res.b.assign(rows.m * q, 0.0);
  res.cond_var.assign(rows.m * q * q, 0.0);
  std::vector<double> inv(q * q), t(q * q);
  for (std::uint64_t g = 0; g < rows.m; ++g) {
    mat_mul(lambda.data(), modes.u.data() + g * q, res.b.data() + g * q, q, q, 1);
    cholesky_inverse(modes.l.data() + g * q * q, q, inv.data());
    mat_mul(lambda.data(), inv.data(), t.data(), q, q, q);
    mat_mul_bt(t.data(), lambda.data(), res.cond_var.data() + g * q * q, q, q, q);
  }
  res.eta.assign(rows.n, 0.0);
  res.mu.assign(rows.n, 0.0);
  for (std::uint64_t k = 0; k < rows.n; ++k) {
    res.eta[rows.order[k]] = modes.eta[k];
    res.mu[rows.order[k]] = linkinv(rows.family, modes.eta[k]);
  }
  res.vcov_rx.assign(p * p, NAN);
  rx_inverse(rows, lambda, res.beta.data(), modes.u, res.vcov_rx.data());
  keep_fixed_block(res, p);
  if (!res.vcov_from_hessian) res.vcov = res.vcov_rx;
  return res;
}

}  // namespace qk::glmm
