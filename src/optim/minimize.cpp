#include "optim/minimize.hpp"

#include <cmath>
#include <cstddef>
#include <deque>
#include <limits>
#include <utility>

namespace qk {
namespace {

constexpr std::size_t kMemory = 10;          // correction pairs kept
constexpr int kTrials = 40;                  // backtracking trials per line search
constexpr double kArmijo = 1e-4;             // sufficient-decrease constant
constexpr double kTinyDecrease = 1e-16;      // |dec| below this: any strict decrease is taken
constexpr double kCurvature = 1e-12;         // s'y must exceed this to store a pair
constexpr double kSmallGradient = 1e-4;      // splits the two relative-change messages

// One (s, y, rho = 1 / s'y) correction pair of the limited memory.
struct Pair {
  std::vector<double> s;
  std::vector<double> y;
  double rho;
};

// Index-order dot product; the build forbids contraction, so each term is rounded
// before it is added.
double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double acc = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) acc = acc + a[i] * b[i];
  return acc;
}

// Bounds as seen by the iteration: `present[i]` is set only for a finite bound.
struct Bounds {
  std::vector<double> lb;
  std::vector<char> present;

  Bounds(const std::vector<double>& lower, std::size_t n) : lb(n, 0.0), present(n, 0) {
    const double big = std::numeric_limits<double>::max();
    for (std::size_t i = 0; i < n && i < lower.size(); ++i) {
      // |NaN| <= big is false, so a NaN bound is absent like an infinite one.
      if (std::fabs(lower[i]) <= big) {
        lb[i] = lower[i];
        present[i] = 1;
      }
    }
  }

  void project(std::vector<double>& x) const {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (present[i] && lb[i] > x[i]) x[i] = lb[i];
    }
  }

  // Zeroes the components of d that would move an at-bound coordinate downward, so
  // the direction (and the descent test on it) only involves the free face.
  void zero_at_bound(const std::vector<double>& x, std::vector<double>& d) const {
    for (std::size_t i = 0; i < d.size(); ++i) {
      if (present[i] && lb[i] >= x[i] && d[i] < 0.0) d[i] = 0.0;
    }
  }

  // Infinity norm of the projected gradient: an at-bound coordinate whose gradient
  // points outward (g_i > 0, descent would go below the bound) contributes 0. NaN
  // entries are skipped, so the norm is NaN-free and starts at 0.
  double pg_norm(const std::vector<double>& x, const std::vector<double>& g) const {
    double m = 0.0;
    for (std::size_t i = 0; i < g.size(); ++i) {
      double v = (present[i] && lb[i] >= x[i] && g[i] > 0.0) ? 0.0 : std::fabs(g[i]);
      if (std::isnan(v)) continue;
      if (v > m) m = v;
    }
    return m;
  }
};

// On entry d = -g; on exit d = -H g, H the L-BFGS inverse-Hessian approximation
// built from the memory (oldest pair first) by the two-loop recursion (Nocedal &
// Wright, Alg. 7.4), with H0 = (s'y / y'y) I from the newest pair (their eq. 7.20)
// and H0 = I when y'y is not positive. Requires a non-empty memory.
void two_loop(const std::deque<Pair>& mem, std::vector<double>& d,
              std::vector<double>& alpha) {
  const std::size_t k = mem.size();
  const std::size_t n = d.size();
  alpha.assign(k, 0.0);
  for (std::size_t jj = k; jj-- > 0;) {
    const Pair& p = mem[jj];
    const double a = p.rho * dot(p.s, d);
    alpha[jj] = a;
    for (std::size_t i = 0; i < n; ++i) d[i] = d[i] - a * p.y[i];
  }
  const Pair& newest = mem[k - 1];
  const double sy = dot(newest.s, newest.y);
  const double yy = dot(newest.y, newest.y);
  if (yy > 0.0) {
    const double gamma = sy / yy;
    for (std::size_t i = 0; i < n; ++i) d[i] = d[i] * gamma;
  }
  for (std::size_t j = 0; j < k; ++j) {
    const Pair& p = mem[j];
    const double beta = p.rho * dot(p.y, d);
    const double c = alpha[j] - beta;
    for (std::size_t i = 0; i < n; ++i) d[i] = d[i] + c * p.s[i];
  }
}

void steepest(const std::vector<double>& g, std::vector<double>& d) {
  for (std::size_t i = 0; i < g.size(); ++i) d[i] = -g[i];
}

}  // namespace

OptimResult minimize_bounded(const Objective& objective, std::vector<double> x0,
                             const std::vector<double>& lower, std::uint64_t max_iter,
                             double gtol, double ftol) {
  const std::size_t n = x0.size();
  const Bounds bounds(lower, n);
  const double inf = std::numeric_limits<double>::infinity();

  bounds.project(x0);

  std::vector<double> x = std::move(x0);
  std::vector<double> g(n, 0.0);
  double f = 0.0;
  if (!objective(x, f, g)) {
    return OptimResult{std::move(x), "initial point infeasible", inf, inf, 0, 0, false};
  }

  std::uint64_t iterations = 0;
  std::uint64_t fev = 1;
  bool converged = false;
  std::string message;

  std::deque<Pair> memory;
  std::vector<double> d(n), alpha, xt(n), gt(n, 0.0);

  if (max_iter == 0) {
    message = "maximum iterations reached";
  } else {
    for (;;) {
      ++iterations;
      if (gtol > bounds.pg_norm(x, g)) {
        message = "projected gradient below tolerance";
        converged = true;
        break;
      }

      steepest(g, d);
      if (!memory.empty()) two_loop(memory, d, alpha);
      bounds.zero_at_bound(x, d);

      // A non-descent quasi-Newton direction (curvature information gone stale)
      // restarts from steepest descent. NaN compares false and keeps d.
      if (dot(d, g) >= 0.0) {
        memory.clear();
        steepest(g, d);
        bounds.zero_at_bound(x, d);
      }

      // Backtracking along the projected path x(t) = P(x + t d). The decrease
      // predicted by the current gradient is taken along the projected step, since
      // projection may shorten or bend it.
      double t = 1.0;
      double ft = 0.0;
      bool accepted = false;
      for (int trial = 0; trial < kTrials; ++trial) {
        for (std::size_t i = 0; i < n; ++i) xt[i] = x[i] + t * d[i];
        bounds.project(xt);
        const bool feasible = objective(xt, ft, gt);
        ++fev;
        if (feasible && !std::isnan(ft)) {
          double dec = 0.0;
          for (std::size_t i = 0; i < n; ++i) dec = dec + (xt[i] - x[i]) * g[i];
          // The second clause accepts a strict decrease when the predicted change is
          // below resolution (e.g. a step squeezed almost to nothing by the bounds).
          if (f + kArmijo * dec >= ft || (f > ft && std::fabs(dec) < kTinyDecrease)) {
            accepted = true;
            break;
          }
        }
        t = 0.5 * t;
      }

      if (!accepted) {
        if (memory.empty()) {
          message = "line search failed";
          break;
        }
        // The quasi-Newton model may be what failed: retry from steepest descent
        // in a fresh pass, which counts against max_iter like any other.
        memory.clear();
        if (iterations == max_iter) {
          message = "maximum iterations reached";
          break;
        }
        continue;
      }

      const double fscale = std::isnan(f) ? 1.0 : (std::fabs(f) > 1.0 ? std::fabs(f) : 1.0);
      Pair p{std::vector<double>(n), std::vector<double>(n), 0.0};
      for (std::size_t i = 0; i < n; ++i) {
        p.s[i] = xt[i] - x[i];
        p.y[i] = gt[i] - g[i];
      }
      const double sy = dot(p.s, p.y);
      // Only pairs with clearly positive curvature keep the inverse-Hessian
      // approximation positive definite (Nocedal & Wright, sec. 7.2).
      if (sy > kCurvature) {
        p.rho = 1.0 / sy;
        memory.push_back(std::move(p));
        if (memory.size() > kMemory) memory.pop_front();
      }
      const double rel = std::fabs(f - ft) / fscale;
      std::swap(x, xt);
      std::swap(g, gt);
      f = ft;

      if (ftol > rel) {
        converged = true;
        message = bounds.pg_norm(x, g) < kSmallGradient
                      ? "relative change below tolerance"
                      : "relative change below tolerance (gradient not small)";
        break;
      }
      if (iterations >= max_iter) {
        message = "maximum iterations reached";
        break;
      }
    }
  }

  // A run stopped for another reason whose final point meets the gradient test is
  // reported as converged under that test.
  const double pg = bounds.pg_norm(x, g);
  if (!converged && gtol > pg) {
    converged = true;
    message = "projected gradient below tolerance";
  }
  return OptimResult{std::move(x), std::move(message), f, pg, iterations, fev, converged};
}

}  // namespace qk
