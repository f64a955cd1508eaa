// One quasi-Newton run of the symmetric minimiser (see minimize.hpp for the method).
#include "optim/bfgs.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "linalg/dense.hpp"

namespace qk::detail {
namespace {

constexpr int kTrials = 40;              // line-search trials per pass
constexpr double kArmijo = 1e-4;         // sufficient-decrease constant
constexpr double kWolfe = 0.9;           // curvature constant: a step ending steeper extends
constexpr int kExpansions = 20;          //   by doubling, at most this often
constexpr double kApproxWolfe = 0.1;     // delta of the approximate Wolfe conditions
constexpr double kRounding = 1e-9;       // rise of f, relative, allowed under those
constexpr double kFirstStep = 0.5;       // a restart moves no coordinate by more than this
                                         //   fraction of its magnitude (at least 1)
constexpr double kSkipUpdate = 1e-10;    // s'y must exceed this * |s| |y| to update H
constexpr double kNearZero = 1e-3;       // a diagonal below this * max(|x|_inf, 1) is checked
constexpr double kHessianStep = 1e-6;    // relative step of the gradient differences
constexpr double kNegligible = 1e-6;     // |x / scale| below this may be snapped to zero
constexpr int kEscapeTrials = 12;        // trials along a direction of negative curvature
constexpr double kEscapeShrink = 0.25;   //   each shorter by this factor

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double acc = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) acc = acc + a[i] * b[i];
  return acc;
}

double inf_norm(const std::vector<double>& v) {
  double m = 0.0;
  for (double e : v) {
    const double a = std::fabs(e);
    if (a > m) m = a;  // NaN compares false and is skipped
  }
  return m;
}

// One run from one start: the iterate, its model of the inverse Hessian and counters.
class Run {
 public:
  Run(const Objective& objective, const std::vector<SignGroup>& groups, const MinimizeOptions& opt,
      std::vector<double> u0, const std::vector<double>& scale, std::vector<double> h0)
      : obj_(objective), groups_(groups), opt_(opt), scale_(scale), n_(u0.size()), x_(std::move(u0)),
        g_(n_, 0.0), h_(n_ * n_, 0.0) {
    // A given model is used only when it is positive definite: the stopping test reads
    // g'Hg / 2 as a decrease, and every update keeps H positive definite from there on.
    if (h0.size() == n_ * n_ && n_ > 0) {
      std::vector<double> l = h0;
      bool finite = true;
      for (double v : h0) finite = finite && std::isfinite(v);
      if (finite && cholesky_in_place(l.data(), n_)) {
        h_ = std::move(h0);
        have_h_ = true;
      }
    }
  }

  OptimResult run() {
    const double inf = std::numeric_limits<double>::infinity();
    if (!evaluate(x_, f_, g_)) {
      return OptimResult{std::move(x_), "initial point infeasible", inf, inf, 0, 0, false, {}};
    }
    std::string message = "maximum iterations reached";
    bool converged = false;
    int escapes_left = 2 * static_cast<int>(groups_.size()) + 2;
    if (opt_.max_iter == 0) {
      if (opt_.gtol > grad_norm()) {
        converged = true;
        message = "projected gradient below tolerance";
      }
    }
    while (iterations_ < opt_.max_iter) {
      ++iterations_;
      const char* stop = stopping_test();
      if (!stop) {
        if (step()) continue;
        if (have_h_) {  // the quasi-Newton model failed: retry from steepest descent
          have_h_ = false;
          continue;
        }
        // Not even steepest descent decreases f: a stationary point to rounding.
      }
      // A stationary point on a symmetric face may be a saddle or a maximum.
      if (escapes_left > 0 && escape_negative_curvature()) {
        --escapes_left;
        have_h_ = false;
        continue;
      }
      if (!stop) {
        message = "line search failed";
        break;
      }
      converged = true;
      message = stop;
      if (have_h_) polish();
      snap_to_zero();
      break;
    }
    // The gradient test may hold at the final point of a run stopped otherwise.
    if (!converged && opt_.gtol > grad_norm()) {
      converged = true;
      message = "projected gradient below tolerance";
    }
    normalise_signs();
    const double gn = grad_norm();
    OptimResult r{std::move(x_), std::move(message), f_, gn, iterations_, fev_, converged, {}};
    if (have_h_) r.inverse_hessian = std::move(h_);
    return r;
  }

 private:
  // Largest entry of the gradient in the caller's variables, df/dx = (df/du) / scale.
  double grad_norm() const {
    double m = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
      const double a = std::fabs(g_[i] / scale_[i]);
      if (a > m) m = a;
    }
    return m;
  }

  // Counts every call; NaN values count as infeasible.
  bool evaluate(const std::vector<double>& x, double& f, std::vector<double>& g) {
    ++fev_;
    return obj_(x, f, g) && !std::isnan(f);
  }

  // A trial point's value, and its gradient in g when `wanted(f)` says it may be taken
  // (got_g tells whether g holds it). Without options.value the objective gives both.
  template <class Wanted>
  bool probe(const std::vector<double>& x, double& f, std::vector<double>& g, Wanted wanted, bool& got_g) {
    got_g = !opt_.value;
    if (got_g) return evaluate(x, f, g) && std::isfinite(f);
    ++fev_;
    if (!(opt_.value(x, f) && std::isfinite(f))) return false;
    if (!wanted(f)) return true;
    double again = 0.0;
    got_g = obj_(x, again, g);
    return got_g;
  }

  double ftol_abs() const { return opt_.ftol * std::max(std::fabs(f_), 1.0); }

  // The stop message when the current point passes a test, else nullptr.
  const char* stopping_test() {
    if (opt_.gtol > grad_norm()) return "projected gradient below tolerance";
    if (stalled_) return "decrease per step below tolerance";
    if (have_h_) {
      apply_h(g_, hg_);
      const double predicted = 0.5 * dot(g_, hg_);
      if (ftol_abs() > predicted) return "predicted decrease below tolerance";
    }
    return nullptr;
  }

  // out = H v.
  void apply_h(const std::vector<double>& v, std::vector<double>& out) const {
    out.assign(n_, 0.0);
    for (std::size_t i = 0; i < n_; ++i) {
      double acc = 0.0;
      for (std::size_t j = 0; j < n_; ++j) acc = acc + h_[i * n_ + j] * v[j];
      out[i] = acc;
    }
  }

  // The quasi-Newton step the stopping test has just predicted to gain almost nothing,
  // taken if it is acceptable (one evaluation): the convergence is superlinear, so it
  // buys several more correct digits of x for the price of one evaluation.
  void polish() {
    std::vector<double> d(n_), xt(n_), gt(n_, 0.0);
    apply_h(g_, d);
    for (double& e : d) e = -e;
    const double slope = dot(g_, d);
    if (!(slope < 0.0)) return;
    for (std::size_t i = 0; i < n_; ++i) xt[i] = x_[i] + d[i];
    double ft = 0.0;
    if (evaluate(xt, ft, gt) && std::isfinite(ft) && acceptable(1.0, slope, ft, gt, d)) {
      x_.swap(xt);
      g_.swap(gt);
      f_ = ft;
    }
  }

  // At an optimum on a symmetric face the run ends a rounding error away from it (an
  // even function's minimiser at 0 is approached, not reached). Entries that are
  // negligible against their typical magnitude are set to exactly zero, a whole group
  // when all its entries are, else its diagonal, if the criterion there is no worse to
  // rounding. A boundary fit is then reported as one.
  void snap_to_zero() {
    std::vector<double> xt = x_;
    bool changed = false;
    for (const SignGroup& grp : groups_) {
      bool all = true;
      for (std::size_t j : grp.members) all = all && std::fabs(x_[j]) <= kNegligible;
      for (std::size_t j : grp.members) {
        if ((all || j == grp.diagonal) && std::fabs(x_[j]) <= kNegligible && x_[j] != 0.0) {
          xt[j] = 0.0;
          changed = true;
        }
      }
    }
    if (!changed) return;
    std::vector<double> gt(n_, 0.0);
    double ft = 0.0;
    const double eps = std::numeric_limits<double>::epsilon();
    if (evaluate(xt, ft, gt) && std::isfinite(ft) && ft <= f_ + 4.0 * eps * std::max(std::fabs(f_), 1.0)) {
      x_.swap(xt);
      g_.swap(gt);
      f_ = ft;
    }
  }

  // One pass: direction, line search, update. False when no acceptable step exists.
  bool step() {
    std::vector<double> d(n_);
    if (have_h_) {
      apply_h(g_, d);
      for (double& e : d) e = -e;
    }
    double slope = dot(g_, d);
    if (!have_h_ || !(slope < 0.0)) {
      // Steepest descent in the metric of relative changes, D = diag(max(|x_i|, 1)):
      // d = -D^2 g, scaled so that no coordinate moves by more than a fixed fraction of
      // its magnitude. The gradient's size (1e4 on large data) says nothing about how
      // far to go, and a coordinate that starts orders of magnitude too large sits
      // where the criterion is logarithmic in it, so its gradient is tiny although
      // halving it gains as much as any other move.
      have_h_ = false;
      set_metric();
      double rel = 0.0;
      for (std::size_t i = 0; i < n_; ++i) {
        d[i] = -(metric_[i] * metric_[i]) * g_[i];
        rel = std::max(rel, std::fabs(d[i]) / metric_[i]);
      }
      if (!(rel > 0.0) || !std::isfinite(rel)) return false;
      const double len = last_step_ > 0.0 ? std::min(kFirstStep, last_step_) : kFirstStep;
      for (double& e : d) e = e * (len / rel);
      slope = dot(g_, d);
      if (!(slope < 0.0)) return false;
    }

    std::vector<double> xt(n_), gt(n_, 0.0);
    double t = 1.0, ft = 0.0;
    bool accepted = false;
    for (int trial = 0; trial < kTrials; ++trial) {
      for (std::size_t i = 0; i < n_; ++i) xt[i] = x_[i] + t * d[i];
      bool got_g = false;
      const auto may_take = [&](double v) {
        return (v < f_ && v <= f_ + kArmijo * t * slope) || v <= f_ + kRounding * std::max(std::fabs(f_), 1.0);
      };
      const bool ok = probe(xt, ft, gt, may_take, got_g);
      if (ok && got_g && acceptable(t, slope, ft, gt, d)) {
        accepted = true;
        break;
      }
      // Safeguarded quadratic interpolation: the minimiser of the parabola through
      // f, the slope at 0 and f(t), kept within [0.1 t, 0.5 t].
      double next = 0.5 * t;
      if (ok) {
        const double curv = ft - f_ - slope * t;
        if (curv > 0.0) next = std::clamp(-slope * t * t / (2.0 * curv), 0.1 * t, 0.5 * t);
      }
      t = next;
    }
    if (!accepted) return false;
    // A full step that is accepted while the slope at its end is still steep (the
    // curvature condition of Wolfe fails) undershoots: extend it while f keeps falling
    // (Nocedal & Wright, sec. 3.5). This is what carries a start that is orders of
    // magnitude off across the flat, logarithmic part of the criterion in few passes.
    if (t == 1.0) {
      std::vector<double> xe(n_), ge(n_, 0.0);
      for (int k = 0; k < kExpansions && dot(gt, d) < kWolfe * slope; ++k) {
        const double te = 2.0 * t;
        for (std::size_t i = 0; i < n_; ++i) xe[i] = x_[i] + te * d[i];
        double fe = 0.0;
        bool got_g = false;
        if (!(probe(xe, fe, ge, [&](double v) { return v < ft; }, got_g) && got_g && fe < ft)) break;
        t = te;
        ft = fe;
        xt.swap(xe);
        gt.swap(ge);
      }
    }

    std::vector<double> s(n_), y(n_);
    for (std::size_t i = 0; i < n_; ++i) {
      s[i] = xt[i] - x_[i];
      y[i] = gt[i] - g_[i];
    }
    update_h(s, y);
    stalled_ = opt_.stall > 0.0 && !(f_ - ft >= opt_.stall * std::max(std::fabs(f_), 1.0));
    last_step_ = 0.0;
    for (std::size_t i = 0; i < n_; ++i)
      last_step_ = std::max(last_step_, std::fabs(s[i]) / std::max(std::fabs(x_[i]), 1.0));
    x_.swap(xt);
    g_.swap(gt);
    f_ = ft;
    return true;
  }

  // A trial step of length t along d (slope g'd < 0) is taken when it decreases f by the
  // Armijo test, or, where differences of f drown in rounding, when it meets the
  // approximate Wolfe conditions of Hager & Zhang (SIAM J. Optim. 16, 2005, eq. 23):
  // the slope along d has flattened by at least 10% without overshooting by more than
  // 80% of the initial slope, and f has not risen beyond its rounding allowance. Near
  // the optimum of a badly scaled criterion the exact gradient still tells where the
  // minimum lies when f itself no longer can.
  bool acceptable(double t, double slope, double ft, const std::vector<double>& gt,
                  const std::vector<double>& d) const {
    if (ft < f_ && ft <= f_ + kArmijo * t * slope) return true;
    const double slope_t = dot(gt, d);
    return ft <= f_ + kRounding * std::max(std::fabs(f_), 1.0) && kWolfe * slope <= slope_t &&
           slope_t <= (2.0 * kApproxWolfe - 1.0) * slope;
  }

  // D_i = max(|x_i|, 1): a coordinate's magnitude, never below the typical one.
  void set_metric() {
    metric_.resize(n_);
    for (std::size_t i = 0; i < n_; ++i) metric_[i] = std::max(std::fabs(x_[i]), 1.0);
  }

  // BFGS update of the inverse Hessian (Nocedal & Wright, eq. 6.17); the first pair
  // after a (re)start sets H = gamma D^2 first, gamma = s'y / y'D^2y (their eq. 6.20 in
  // the metric of the restart).
  void update_h(const std::vector<double>& s, const std::vector<double>& y) {
    const double sy = dot(s, y);
    const double ns = std::sqrt(dot(s, s)), ny = std::sqrt(dot(y, y));
    if (!(sy > kSkipUpdate * ns * ny)) return;  // curvature not clearly positive
    if (!have_h_) {
      double ydy = 0.0;
      for (std::size_t i = 0; i < n_; ++i) ydy = ydy + (metric_[i] * metric_[i]) * (y[i] * y[i]);
      const double gamma = sy / ydy;
      std::fill(h_.begin(), h_.end(), 0.0);
      for (std::size_t i = 0; i < n_; ++i) h_[i * n_ + i] = gamma * (metric_[i] * metric_[i]);
      have_h_ = true;
    }
    // H+ = (I - rho s y') H (I - rho y s') + rho s s', expanded with Hy = H y:
    // H+ = H - rho (s (Hy)' + (Hy) s') + (rho^2 y'Hy + rho) s s'.
    const double rho = 1.0 / sy;
    std::vector<double> hy;
    apply_h(y, hy);
    const double yhy = dot(y, hy);
    const double c = rho * rho * yhy + rho;
    for (std::size_t i = 0; i < n_; ++i)
      for (std::size_t j = 0; j < n_; ++j) {
        double v = h_[i * n_ + j];
        v = v - rho * (s[i] * hy[j] + hy[i] * s[j]);
        v = v + c * (s[i] * s[j]);
        h_[i * n_ + j] = v;
      }
  }

  // For each sign group whose diagonal is near zero, the Hessian block of its members
  // from forward differences of the exact gradient. Where it has a negative eigenvalue,
  // try to decrease f along its eigenvector. True when a step was taken.
  bool escape_negative_curvature() {
    const double near = kNearZero * std::max(inf_norm(x_), 1.0);
    std::vector<double> xh, gh(n_, 0.0);
    for (const SignGroup& grp : groups_) {
      if (!(std::fabs(x_[grp.diagonal]) <= near)) continue;
      const std::size_t r = grp.members.size();
      std::vector<double> block(r * r, 0.0);
      bool ok = true;
      for (std::size_t b = 0; b < r && ok; ++b) {
        const std::size_t j = grp.members[b];
        const double h = kHessianStep * std::max(std::fabs(x_[j]), near);
        xh = x_;
        xh[j] = x_[j] + h;
        double fh = 0.0;
        ok = evaluate(xh, fh, gh);
        const double step = xh[j] - x_[j];  // the step actually represented
        for (std::size_t a = 0; a < r && ok; ++a) block[a * r + b] = (gh[grp.members[a]] - g_[grp.members[a]]) / step;
      }
      if (!ok) continue;
      for (std::size_t a = 0; a < r; ++a)
        for (std::size_t b = 0; b < a; ++b) {
          const double v = 0.5 * (block[a * r + b] + block[b * r + a]);
          block[a * r + b] = v;
          block[b * r + a] = v;
        }
      std::vector<double> values, vectors;
      symmetric_eigen(block, r, values, vectors);
      if (!(values[0] < 0.0)) continue;
      std::vector<double> e(n_, 0.0);
      for (std::size_t a = 0; a < r; ++a) e[grp.members[a]] = vectors[a * r + 0];
      if (dot(g_, e) > 0.0)
        for (double& v : e) v = -v;
      if (try_escape(e)) return true;
    }
    return false;
  }

  // Steps along the unit direction e, shortening until f drops by more than the
  // stopping tolerance (a drop within rounding would only bring the run back here).
  bool try_escape(const std::vector<double>& e) {
    std::vector<double> xt(n_), gt(n_, 0.0);
    double alpha = kFirstStep;
    for (int trial = 0; trial < kEscapeTrials; ++trial, alpha *= kEscapeShrink) {
      for (std::size_t i = 0; i < n_; ++i) xt[i] = x_[i] + alpha * e[i];
      double ft = 0.0;
      if (evaluate(xt, ft, gt) && std::isfinite(ft) && ft < f_ - ftol_abs()) {
        x_.swap(xt);
        g_.swap(gt);
        f_ = ft;
        last_step_ = 0.0;
        return true;
      }
    }
    return false;
  }

  // Reflects every group with a negative diagonal; the objective is even in it, so f
  // stays, the group's gradient entries change sign and the model becomes D H D with D
  // the diagonal of signs.
  void normalise_signs() {
    std::vector<bool> flipped(n_, false);
    for (const SignGroup& grp : groups_) {
      if (!(x_[grp.diagonal] < 0.0)) continue;
      for (std::size_t j : grp.members) {
        x_[j] = -x_[j];
        g_[j] = -g_[j];
        flipped[j] = true;
      }
    }
    if (!have_h_) return;
    for (std::size_t i = 0; i < n_; ++i)
      for (std::size_t j = 0; j < n_; ++j)
        if (flipped[i] != flipped[j]) h_[i * n_ + j] = -h_[i * n_ + j];
  }

  const Objective& obj_;
  const std::vector<SignGroup>& groups_;
  const MinimizeOptions& opt_;
  const std::vector<double>& scale_;  // x = u * scale; g_ holds df/du
  std::size_t n_;
  std::vector<double> x_, g_;
  double f_ = 0.0;
  std::vector<double> h_, hg_;  // inverse-Hessian model (n x n) and scratch
  bool have_h_ = false;
  std::vector<double> metric_;  // D of the last restart
  double last_step_ = 0.0;      // largest relative move of the last accepted step
  bool stalled_ = false;        // the last accepted step decreased f by less than opt_.stall
  std::uint64_t iterations_ = 0, fev_ = 0;
};

}  // namespace

OptimResult bfgs_run(const Objective& objective, std::vector<double> u0, const std::vector<SignGroup>& groups,
                     const MinimizeOptions& options, const std::vector<double>& scale, std::vector<double> h0) {
  return Run(objective, groups, options, std::move(u0), scale, std::move(h0)).run();
}

}  // namespace qk::detail
