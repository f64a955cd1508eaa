// Unit tests of the bounded L-BFGS minimiser. Expected traces (trial points,
// counters) are derived by hand on small quadratics whose arithmetic is exact.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "optim/minimize.hpp"

namespace {

using qk::minimize_bounded;
using qk::Objective;
using qk::OptimResult;
using Vec = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::string kGrad = "projected gradient below tolerance";
const std::string kRel = "relative change below tolerance";
const std::string kRelBig = "relative change below tolerance (gradient not small)";
const std::string kMaxIt = "maximum iterations reached";
const std::string kLsFail = "line search failed";

// Wraps an objective and records every point it is asked about, in call order.
struct Recorder {
  std::vector<Vec> points;
  Objective wrap(Objective inner) {
    return [this, inner](const Vec& x, double& f, Vec& g) {
      points.push_back(x);
      return inner(x, f, g);
    };
  }
};

// f = 0.5 * sum a_i x_i^2.
Objective diag_quadratic(Vec a) {
  return [a](const Vec& x, double& f, Vec& g) {
    f = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      f += 0.5 * a[i] * x[i] * x[i];
      g[i] = a[i] * x[i];
    }
    return true;
  };
}

bool rosenbrock(const Vec& x, double& f, Vec& g) {
  const double r = x[1] - x[0] * x[0];
  f = (1.0 - x[0]) * (1.0 - x[0]) + 100.0 * r * r;
  g[0] = -2.0 * (1.0 - x[0]) - 400.0 * x[0] * r;
  g[1] = 200.0 * r;
  return true;
}

// Only a finite bound is present; it lifts a coordinate that starts below it and
// leaves every other coordinate, negative or not, as given. An infeasible start
// is reported at that projected point without counting anything.
TEST(MinimizeBounded, StartIsProjectedOntoPresentBoundsOnly) {
  const Vec lower{0.0, -kInf, kInf, kNaN, -1.0, 2.0};
  const Vec start{-2.0, -3.0, -4.0, -5.0, 5.0, 2.0};
  const Vec expected{0.0, -3.0, -4.0, -5.0, 5.0, 2.0};
  for (bool feasible : {true, false}) {
    SCOPED_TRACE(feasible ? "feasible start" : "infeasible start");
    Recorder rec;
    Objective quad = diag_quadratic(Vec(6, 1.0));
    auto obj = [feasible, quad](const Vec& x, double& f, Vec& g) {
      return feasible && quad(x, f, g);
    };
    OptimResult r = minimize_bounded(rec.wrap(obj), start, lower, feasible ? 0 : 100, 1e-8, 1e-12);
    ASSERT_EQ(rec.points.size(), 1u);
    EXPECT_EQ(rec.points[0], expected);
    EXPECT_EQ(r.theta, expected);
    if (feasible) continue;
    EXPECT_EQ(r.message, "initial point infeasible");
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.deviance, kInf);
    EXPECT_EQ(r.grad_inf_norm, kInf);
    EXPECT_EQ(r.iterations, 0u);
    EXPECT_EQ(r.fev, 0u);
  }
}

// The norm is read off a run with max_iter = 0, which evaluates the start only.
struct PgCase {
  const char* name;
  Vec x, lower, g;
  double norm;
};

TEST(MinimizeBounded, ProjectedGradientNorm) {
  const PgCase cases[] = {
      {"at bound, outward gradient", {0.0}, {0.0}, {3.0}, 0.0},
      {"start below bound is at bound", {-1.0}, {0.0}, {3.0}, 0.0},
      {"at bound, inward gradient", {0.0}, {0.0}, {-3.0}, 3.0},
      {"above bound", {1.0}, {0.0}, {3.0}, 3.0},
      {"free coordinate", {0.0}, {-kInf}, {-2.0}, 2.0},
      {"maximum over coordinates", {0.0, 0.0, 1.0}, {0.0, -kInf, -kInf}, {5.0, -2.0, 1.5}, 2.0},
      {"NaN first is skipped", {0.0, 0.0}, {-kInf, -kInf}, {kNaN, 3.0}, 3.0},
      {"NaN last is skipped", {0.0, 0.0}, {-kInf, -kInf}, {3.0, kNaN}, 3.0},
      {"all NaN gives zero", {0.0, 0.0}, {-kInf, -kInf}, {kNaN, kNaN}, 0.0},
  };
  for (const PgCase& c : cases) {
    SCOPED_TRACE(c.name);
    Vec grad = c.g;
    auto fixed = [grad](const Vec&, double& f, Vec& g) { f = 1.0; g = grad; return true; };
    OptimResult r = minimize_bounded(fixed, c.x, c.lower, 0, 1e-8, 1e-12);
    EXPECT_EQ(r.grad_inf_norm, c.norm);
    EXPECT_EQ(r.converged, c.norm == 0.0);
  }
}

// f = 0.5 a x^2 (+ offset) from x0 in one dimension; the first step is x0 - a x0,
// taken at t = 1.
struct StopCase {
  const char* name;
  double a, x0;
  std::uint64_t max_iter;
  double gtol, ftol;
  std::string message;
  bool converged;
  std::uint64_t iterations, fev;
  double offset = 0.0;  // added to f; moves the relative-change scale max(|f|, 1)
};

TEST(MinimizeBounded, StopReasonsAndCounters) {
  const StopCase cases[] = {
      {"max_iter 0, gradient large", 1.0, 1.0, 0, 1e-8, 1e-12, kMaxIt, false, 0, 1},
      {"max_iter 0, start stationary", 1.0, 0.0, 0, 1e-8, 1e-12, kGrad, true, 0, 1},
      {"max_iter 0, gtol above norm", 1.0, 1.0, 0, 2.0, 1e-12, kGrad, true, 0, 1},
      {"stationary start", 1.0, 0.0, 300, 1e-8, 1e-12, kGrad, true, 1, 1},
      {"gradient test at the next pass", 1.0, 1.0, 300, 1e-8, 0.0, kGrad, true, 2, 2},
      {"max_iter hit at a stationary point", 1.0, 1.0, 1, 1e-8, 0.0, kGrad, true, 1, 2},
      {"max_iter hit, gradient large", 1.5, 1.0, 1, 1e-8, 0.0, kMaxIt, false, 1, 2},
      // The relative-change test splits its message at 1e-4, whatever gtol is.
      {"relative change, zero gradient", 1.0, 1.0, 300, 1e-8, 1.0, kRel, true, 1, 2},
      {"relative change, gradient 1e-5 > gtol", 1.00001, 1.0, 300, 1e-8, 1.0, kRel, true, 1, 2},
      {"relative change, gradient 1e-3 < gtol", 1.001, 1.0, 300, 1e-2, 1.0, kRelBig, true, 1, 2},
      {"relative change, gradient large", 1.5, 1.0, 300, 1e-8, 1.0, kRelBig, true, 1, 2},
      // Stationary start with the gradient test off: every pass takes the null step,
      // which the relative-change test stops unless it is off as well.
      {"NaN gtol", 1.0, 0.0, 5, kNaN, 1e-12, kRel, true, 1, 2},
      {"NaN gtol and ftol", 1.0, 0.0, 5, kNaN, kNaN, kMaxIt, false, 5, 6},
      {"zero gtol and ftol", 1.0, 0.0, 5, 0.0, 0.0, kMaxIt, false, 5, 6},
      {"negative gtol, NaN ftol", 1.0, 0.0, 5, -1.0, kNaN, kMaxIt, false, 5, 6},
      // |f| = 1000.5: the change 0.5 is relative 5e-4, below 1e-2, not absolute.
      {"relative change scaled by |f|", 1.0, 1.0, 300, 1e-8, 1e-2, kRel, true, 1, 2, 1000.0},
      {"relative change not reached", 1.0, 1.0, 300, 1e-8, 1e-4, kGrad, true, 2, 2, 1000.0},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder rec;
    Objective quad = diag_quadratic({c.a});
    const double offset = c.offset;
    auto shifted = [quad, offset](const Vec& x, double& f, Vec& g) {
      const bool ok = quad(x, f, g);
      f = f + offset;
      return ok;
    };
    OptimResult r =
        minimize_bounded(rec.wrap(shifted), {c.x0}, {-kInf}, c.max_iter, c.gtol, c.ftol);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.converged, c.converged);
    EXPECT_EQ(r.iterations, c.iterations);
    EXPECT_EQ(r.fev, c.fev);
    EXPECT_EQ(r.fev, rec.points.size());
    ASSERT_EQ(r.theta.size(), 1u);
    const double x = r.theta[0];
    EXPECT_EQ(r.theta[0], rec.points.back()[0]);
    EXPECT_EQ(r.deviance, 0.5 * c.a * x * x + c.offset);
    EXPECT_EQ(r.grad_inf_norm, std::fabs(c.a * x));
  }
}

// f = (x - 2)^2 from 0: the full step to 4 lands in a region the objective refuses
// (or values as NaN); the halved step reaches the minimum. Rejected trials count.
TEST(MinimizeBounded, RejectsInfeasibleAndNaNTrials) {
  for (bool use_nan : {false, true}) {
    SCOPED_TRACE(use_nan ? "NaN value" : "infeasible");
    Recorder rec;
    auto walled = [use_nan](const Vec& x, double& f, Vec& g) {
      f = (x[0] - 2.0) * (x[0] - 2.0);
      g[0] = 2.0 * (x[0] - 2.0);
      if (x[0] > 2.5) {
        if (!use_nan) return false;
        f = kNaN;
      }
      return true;
    };
    OptimResult r = minimize_bounded(rec.wrap(walled), {0.0}, {-kInf}, 300, 1e-8, 1e-12);
    EXPECT_EQ(rec.points, (std::vector<Vec>{{0.0}, {4.0}, {2.0}}));
    EXPECT_EQ(r.message, kGrad);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.theta, Vec{2.0});
    EXPECT_EQ(r.deviance, 0.0);
    EXPECT_EQ(r.iterations, 2u);
    EXPECT_EQ(r.fev, 3u);
  }
}

// f = x^2 reported with the gradient negated: d = +2 at x = 1 climbs, so all 40
// halvings of t are rejected; with an empty memory the run stops where it began.
TEST(MinimizeBounded, LineSearchFailsWithEmptyMemory) {
  Recorder rec;
  auto liar = [](const Vec& x, double& f, Vec& g) {
    f = x[0] * x[0];
    g[0] = -2.0 * x[0];
    return true;
  };
  OptimResult r = minimize_bounded(rec.wrap(liar), {1.0}, {-kInf}, 300, 1e-8, 1e-12);
  EXPECT_EQ(r.message, kLsFail);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.iterations, 1u);
  EXPECT_EQ(r.fev, 41u);
  EXPECT_EQ(r.theta, Vec{1.0});
  EXPECT_EQ(r.deviance, 1.0);
  EXPECT_EQ(r.grad_inf_norm, 2.0);
  ASSERT_EQ(rec.points.size(), 41u);
  EXPECT_EQ(rec.points[1][0], 3.0);
  EXPECT_EQ(rec.points[40][0], 1.0 + 2.0 * std::ldexp(1.0, -39));
}

// f = 0.5 (x^2 + 2 y^2) from (1, 1): pass 1 steps to (0, -1) and stores a pair; the
// objective then refuses its next 40 calls, so pass 2's quasi-Newton search fails.
// The memory is dropped and pass 3 searches along -g = (0, 2): (0, 1) is rejected,
// (0, 0) is the minimum, and pass 4 meets the gradient test.
TEST(MinimizeBounded, FailedQuasiNewtonSearchRetriesSteepestDescentInNewPass) {
  struct Case {
    std::uint64_t max_iter;
    std::string message;
    bool converged;
    std::uint64_t iterations, fev;
    Vec theta;
  };
  const Case cases[] = {{300, kGrad, true, 4, 44, {0.0, 0.0}},
                        {2, kMaxIt, false, 2, 42, {0.0, -1.0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.max_iter);
    Recorder rec;
    Objective quad = diag_quadratic({1.0, 2.0});
    auto blackout = [&rec, quad](const Vec& x, double& f, Vec& g) {
      const std::size_t call = rec.points.size();  // 1-based: recorded before the call
      return (call >= 3 && call <= 42) ? false : quad(x, f, g);
    };
    OptimResult r = minimize_bounded(rec.wrap(blackout), {1.0, 1.0}, {-kInf, -kInf}, c.max_iter,
                                     1e-8, 1e-12);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.converged, c.converged);
    EXPECT_EQ(r.iterations, c.iterations);
    EXPECT_EQ(r.fev, c.fev);
    EXPECT_EQ(r.theta, c.theta);
    ASSERT_GE(rec.points.size(), 3u);
    EXPECT_EQ(rec.points[1], (Vec{0.0, -1.0}));
    // Pass 2 trial at t = 1: x + d with d the two-loop direction from the pair
    // s = (-1, -2), y = (-1, -4), scaled by s'y / y'y = 9/17, worked by hand.
    // The second entry is -1 + 146/153, so rounding of order 1e-16 is allowed.
    EXPECT_NEAR(rec.points[2][0], 28.0 / 153.0, 1e-15);
    EXPECT_NEAR(rec.points[2][1], -7.0 / 153.0, 1e-15);
    if (rec.points.size() > 42) {
      EXPECT_EQ(rec.points[42], (Vec{0.0, 1.0}));
    }
  }
}

// f = 0.5 x'Ax + b'x with A = [[2, 1], [1, 2]], b = (2, -3). Under x >= 0 the
// solution is (0, 1.5), where df/dx = 3.5 pushes against the bound.
bool coupled_quadratic(const Vec& x, double& f, Vec& g) {
  g[0] = 2.0 * x[0] + x[1] + 2.0;
  g[1] = x[0] + 2.0 * x[1] - 3.0;
  f = 0.5 * (x[0] * (2.0 * x[0] + x[1]) + x[1] * (x[0] + 2.0 * x[1])) + 2.0 * x[0] - 3.0 * x[1];
  return true;
}

// The first coordinate ends on its bound with a positive raw gradient: that
// component must neither block convergence nor let any trial go below the bound.
TEST(MinimizeBounded, ActiveLowerBound) {
  struct Case {
    const char* name;
    Objective objective;
    Vec start;
    double bound, y_star, y_tol;
  };
  const Case cases[] = {
      {"quadratic, start below bound", coupled_quadratic, {-3.0, -3.0}, 0.0, 1.5, 1e-12},
      {"quadratic, start above bound", coupled_quadratic, {1.0, -4.0}, 0.0, 1.5, 1e-12},
      {"Rosenbrock, x >= 1.2", rosenbrock, {3.0, 3.0}, 1.2, 1.44, 1e-6},
      {"Rosenbrock, x >= 1.1", rosenbrock, {-1.2, 1.0}, 1.1, 1.21, 1e-6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder rec;
    OptimResult r = minimize_bounded(rec.wrap(c.objective), c.start, {c.bound, -kInf}, 300, 1e-8,
                                     1e-12);
    EXPECT_TRUE(r.converged) << r.message;
    EXPECT_NE(r.message, kRelBig);
    EXPECT_EQ(r.theta[0], c.bound);
    EXPECT_NEAR(r.theta[1], c.y_star, c.y_tol);
    EXPECT_LT(r.grad_inf_norm, 1e-4);
    for (const Vec& p : rec.points) ASSERT_GE(p[0], c.bound);
    EXPECT_EQ(r.fev, rec.points.size());
    double f;
    Vec g(2);
    c.objective(r.theta, f, g);
    EXPECT_EQ(f, r.deviance);
    EXPECT_GT(g[0], 0.1);  // the bound is genuinely active
  }
}

// Curvature pairs must make the method far faster than steepest descent, which
// needs thousands of passes on either problem (and a single pair hundreds on the
// quadratic, whose condition number is 1e3).
TEST(MinimizeBounded, QuasiNewtonSolvesIllConditionedProblems) {
  struct Case {
    const char* name;
    Objective objective;
    Vec start, solution;
  };
  Vec a(5);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::pow(10.0, 0.75 * i);
  const Case cases[] = {
      {"Rosenbrock", rosenbrock, {0.0, 0.0}, {1.0, 1.0}},
      {"diagonal quadratic", diag_quadratic(a), Vec(5, 1.0), Vec(5, 0.0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder rec;
    OptimResult r = minimize_bounded(rec.wrap(c.objective), c.start, Vec(c.start.size(), -kInf),
                                     60, 1e-8, 1e-12);
    EXPECT_TRUE(r.converged) << r.message;
    EXPECT_NE(r.message, kRelBig);
    for (std::size_t i = 0; i < c.solution.size(); ++i) {
      EXPECT_NEAR(r.theta[i], c.solution[i], 1e-6);
    }
    EXPECT_EQ(r.fev, rec.points.size());
    EXPECT_LE(r.fev, 1 + 40 * r.iterations);
  }
}

}  // namespace
