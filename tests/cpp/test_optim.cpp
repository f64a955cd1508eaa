// The bounded L-BFGS minimiser. Expected traces (trial points, counters) are worked
// out by hand on small quadratics whose arithmetic is exact.
#include "optim/minimize.hpp"
#include "support.hpp"

namespace {

using qk::minimize_bounded;
using qk::Objective;
using qk::OptimResult;
using qkt::kInf;
using qkt::kNaN;
using qkt::Vec;

const std::string kRelBig = "relative change below tolerance (gradient not small)";

// Stop reason and counters of a run, in one line.
std::string summary(const OptimResult& r) {
  return r.message + ": " + std::to_string(r.iterations) + " passes, " + std::to_string(r.fev) + " evaluations" +
         (r.converged ? "" : ", not converged");
}

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

// f = 0.5 sum a_i x_i^2 + offset.
Objective diag_quadratic(Vec a, double offset = 0.0) {
  return [a, offset](const Vec& x, double& f, Vec& g) {
    f = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      f += 0.5 * a[i] * x[i] * x[i];
      g[i] = a[i] * x[i];
    }
    f = f + offset;
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

// Only finite bounds exist: a coordinate below one is lifted onto it and nothing
// else moves. An infeasible start is reported at the projected point, uncounted.
TEST(MinimizeBounded, StartProjectedOntoPresentBoundsOnly) {
  const Vec lower{0.0, -kInf, kInf, kNaN, -1.0, 2.0}, start{-2.0, -3.0, -4.0, -5.0, 5.0, 2.0};
  const Vec projected{0.0, -3.0, -4.0, -5.0, 5.0, 2.0};
  for (bool feasible : {true, false}) {
    Recorder rec;
    const Objective quad = diag_quadratic(Vec(6, 1.0));
    auto obj = [&](const Vec& x, double& f, Vec& g) { return feasible && quad(x, f, g); };
    const OptimResult r = minimize_bounded(rec.wrap(obj), start, lower, feasible ? 0 : 100, 1e-8, 1e-12);
    EXPECT_EQ(rec.points, std::vector<Vec>{projected});
    EXPECT_EQ(r.theta, projected);
    if (!feasible) {
      EXPECT_EQ(summary(r), "initial point infeasible: 0 passes, 0 evaluations, not converged");
      EXPECT_TRUE(r.deviance == kInf && r.grad_inf_norm == kInf);
    }
  }
}

// The projected-gradient norm, read off runs with max_iter = 0 (the start only): an
// at-bound coordinate pushing outward counts 0, NaN entries are skipped.
TEST(MinimizeBounded, ProjectedGradientNorm) {
  const std::tuple<Vec, Vec, Vec, double> cases[] = {  // x, lower, g, norm
      {{0.0}, {0.0}, {3.0}, 0.0},    // at bound, outward
      {{-1.0}, {0.0}, {3.0}, 0.0},   // below the bound is at it
      {{0.0}, {0.0}, {-3.0}, 3.0},   // at bound, inward
      {{1.0}, {0.0}, {3.0}, 3.0},    // above bound
      {{0.0, 0.0, 1.0}, {0.0, -kInf, -kInf}, {5.0, -2.0, 1.5}, 2.0},
      {{0.0, 0.0}, {-kInf, -kInf}, {kNaN, 3.0}, 3.0},
      {{0.0, 0.0}, {-kInf, -kInf}, {kNaN, kNaN}, 0.0},
  };
  for (const auto& [x, lower, grad, norm] : cases) {
    auto fixed = [&](const Vec&, double& f, Vec& g) { f = 1.0; g = grad; return true; };
    const OptimResult r = minimize_bounded(fixed, x, lower, 0, 1e-8, 1e-12);
    EXPECT_EQ(r.grad_inf_norm, norm) << ::testing::PrintToString(grad);
    EXPECT_EQ(r.converged, norm == 0.0) << ::testing::PrintToString(grad);
  }
}

// f = 0.5 a x^2 + offset from x0 in one dimension: the first step, x0 - a x0, is
// taken at t = 1.
TEST(MinimizeBounded, StopReasonsAndCounters) {
  struct Case {
    double a, x0;
    std::uint64_t max_iter;
    double gtol, ftol;
    std::string expected;
    double offset = 0.0;  // moves the relative-change scale max(|f|, 1)
  };
  const std::string grad = "projected gradient below tolerance: ", max_it = "maximum iterations reached: ",
                    rel = "relative change below tolerance: ", rel_big = kRelBig + ": ";
  const Case cases[] = {
      {1.0, 1.0, 0, 1e-8, 1e-12, max_it + "0 passes, 1 evaluations, not converged"},
      {1.0, 0.0, 0, 1e-8, 1e-12, grad + "0 passes, 1 evaluations"},  // stationary start
      {1.0, 0.0, 300, 1e-8, 1e-12, grad + "1 passes, 1 evaluations"},
      {1.0, 1.0, 300, 1e-8, 0.0, grad + "2 passes, 2 evaluations"},
      {1.0, 1.0, 1, 1e-8, 0.0, grad + "1 passes, 2 evaluations"},  // max_iter hit at the minimum
      {1.5, 1.0, 1, 1e-8, 0.0, max_it + "1 passes, 2 evaluations, not converged"},
      // The relative-change message splits at a gradient of 1e-4, whatever gtol is.
      {1.00001, 1.0, 300, 1e-8, 1.0, rel + "1 passes, 2 evaluations"},
      {1.001, 1.0, 300, 1e-2, 1.0, rel_big + "1 passes, 2 evaluations"},
      // |f| = 1000.5: the change 0.5 is relative 5e-4.
      {1.0, 1.0, 300, 1e-8, 1e-3, rel + "1 passes, 2 evaluations", 1000.0},
      {1.0, 1.0, 300, 1e-8, 1e-4, grad + "2 passes, 2 evaluations", 1000.0},
      // Stationary start with the gradient test off (NaN or 0): every pass takes the
      // null step.
      {1.0, 0.0, 5, kNaN, 1e-12, rel + "1 passes, 2 evaluations"},
      {1.0, 0.0, 5, kNaN, kNaN, max_it + "5 passes, 6 evaluations, not converged"},
      {1.0, 0.0, 5, 0.0, 0.0, max_it + "5 passes, 6 evaluations, not converged"},
  };
  for (const Case& c : cases) {
    Recorder rec;
    const OptimResult r = minimize_bounded(rec.wrap(diag_quadratic({c.a}, c.offset)), {c.x0}, {-kInf},
                                           c.max_iter, c.gtol, c.ftol);
    EXPECT_EQ(summary(r), c.expected);
    ASSERT_EQ(rec.points.size(), r.fev);
    EXPECT_EQ(r.theta, rec.points.back());
    EXPECT_EQ(r.deviance, 0.5 * c.a * r.theta[0] * r.theta[0] + c.offset);
    EXPECT_EQ(r.grad_inf_norm, std::fabs(c.a * r.theta[0]));
  }
}

// f = (x - 2)^2 from 0: the full step to 4 lands where the objective refuses the
// point (or values it as NaN); the halved step reaches the minimum. Trials count.
TEST(MinimizeBounded, RejectsInfeasibleAndNaNTrials) {
  for (bool use_nan : {false, true}) {
    Recorder rec;
    auto walled = [use_nan](const Vec& x, double& f, Vec& g) {
      f = x[0] > 2.5 && use_nan ? kNaN : (x[0] - 2.0) * (x[0] - 2.0);
      g[0] = 2.0 * (x[0] - 2.0);
      return x[0] <= 2.5 || use_nan;
    };
    const OptimResult r = minimize_bounded(rec.wrap(walled), {0.0}, {-kInf}, 300, 1e-8, 1e-12);
    EXPECT_EQ(rec.points, (std::vector<Vec>{{0.0}, {4.0}, {2.0}})) << use_nan;
    EXPECT_EQ(summary(r), "projected gradient below tolerance: 2 passes, 3 evaluations");
  }
}

// f = x^2 reported with the gradient negated: d = +2 at x = 1 climbs, so all 40
// halvings are rejected; with an empty memory the run stops where it began.
TEST(MinimizeBounded, LineSearchFailsWithEmptyMemory) {
  Recorder rec;
  auto liar = [](const Vec& x, double& f, Vec& g) {
    f = x[0] * x[0];
    g[0] = -2.0 * x[0];
    return true;
  };
  const OptimResult r = minimize_bounded(rec.wrap(liar), {1.0}, {-kInf}, 300, 1e-8, 1e-12);
  EXPECT_EQ(summary(r), "line search failed: 1 passes, 41 evaluations, not converged");
  EXPECT_TRUE(r.theta == Vec{1.0} && r.deviance == 1.0);
  ASSERT_EQ(rec.points.size(), 41u);
  EXPECT_EQ(rec.points[1][0], 3.0);
  EXPECT_EQ(rec.points[40][0], 1.0 + 2.0 * std::ldexp(1.0, -39));
}

// f = 0.5 (x^2 + 2 y^2) from (1, 1): pass 1 steps to (0, -1) and stores a pair; the
// objective then refuses its next 40 calls, so pass 2's quasi-Newton search fails.
// The memory is dropped and pass 3 searches along -g = (0, 2): (0, 1) is rejected,
// (0, 0) is the minimum, and pass 4 meets the gradient test. With max_iter = 2 the
// retry is not begun.
TEST(MinimizeBounded, FailedQuasiNewtonSearchRetriesSteepestDescent) {
  struct Case {
    std::uint64_t max_iter;
    std::string expected;
    Vec theta;
  };
  const Case cases[] = {{300, "projected gradient below tolerance: 4 passes, 44 evaluations", {0.0, 0.0}},
                        {2, "maximum iterations reached: 2 passes, 42 evaluations, not converged", {0.0, -1.0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.max_iter);
    Recorder rec;
    const Objective quad = diag_quadratic({1.0, 2.0});
    auto blackout = [&rec, quad](const Vec& x, double& f, Vec& g) {
      const std::size_t call = rec.points.size();  // 1-based: recorded before the call
      return (call < 3 || call > 42) && quad(x, f, g);
    };
    const OptimResult r = minimize_bounded(rec.wrap(blackout), {1.0, 1.0}, {-kInf, -kInf}, c.max_iter, 1e-8, 1e-12);
    EXPECT_EQ(summary(r), c.expected);
    EXPECT_EQ(r.theta, c.theta);
    ASSERT_GE(rec.points.size(), 42u);
    EXPECT_EQ(rec.points[1], (Vec{0.0, -1.0}));
    // Pass 2's trial at t = 1: the two-loop direction from s = (-1, -2), y = (-1, -4)
    // scaled by s'y / y'y = 9/17, worked by hand (-1 + 146/153 rounds by ~1e-16).
    EXPECT_NEAR(rec.points[2][0], 28.0 / 153.0, 1e-15);
    EXPECT_NEAR(rec.points[2][1], -7.0 / 153.0, 1e-15);
    if (c.max_iter > 2) {
      EXPECT_EQ(rec.points[42], (Vec{0.0, 1.0}));
    }
  }
}

// f = 0.5 x'Ax + b'x with A = [[2, 1], [1, 2]], b = (2, -3): under x >= 0 the
// solution is (0, 1.5), where df/dx = 3.5 pushes against the bound.
bool coupled_quadratic(const Vec& x, double& f, Vec& g) {
  g[0] = 2.0 * x[0] + x[1] + 2.0;
  g[1] = x[0] + 2.0 * x[1] - 3.0;
  f = 0.5 * (x[0] * (2.0 * x[0] + x[1]) + x[1] * (x[0] + 2.0 * x[1])) + 2.0 * x[0] - 3.0 * x[1];
  return true;
}

// Within 60 passes: with the first coordinate ending on an active bound (whose
// positive raw gradient must neither block convergence nor let a trial below the
// bound), and on ill-conditioned problems, where steepest descent needs thousands
// of passes (and a single curvature pair hundreds on the quadratic).
TEST(MinimizeBounded, ConvergesOnActiveBoundsAndIllConditionedProblems) {
  Vec a(5);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::pow(10.0, 0.75 * static_cast<double>(i));
  struct Case {
    const char* name;
    Objective objective;
    Vec start, lower, solution;
    double tol;
  };
  const Case cases[] = {
      {"quadratic, start below bound", coupled_quadratic, {-3, -3}, {0, -kInf}, {0, 1.5}, 1e-12},
      {"quadratic, start above bound", coupled_quadratic, {1, -4}, {0, -kInf}, {0, 1.5}, 1e-12},
      {"Rosenbrock, x >= 1.2", rosenbrock, {3, 3}, {1.2, -kInf}, {1.2, 1.44}, 1e-6},
      {"Rosenbrock", rosenbrock, {0, 0}, {-kInf, -kInf}, {1, 1}, 1e-6},
      {"quadratic of condition 1e3", diag_quadratic(a), Vec(5, 1.0), Vec(5, -kInf), Vec(5, 0.0), 1e-6},
  };
  for (const Case& c : cases) {
    Recorder rec;
    const OptimResult r = minimize_bounded(rec.wrap(c.objective), c.start, c.lower, 60, 1e-8, 1e-12);
    EXPECT_TRUE(r.converged && r.message != kRelBig) << c.name << ": " << r.message;
    EXPECT_TRUE(qkt::all_near(r.theta, c.solution, c.tol)) << c.name;
    if (c.lower[0] > -kInf) {
      EXPECT_EQ(r.theta[0], c.lower[0]) << c.name;
      for (const Vec& p : rec.points) ASSERT_GE(p[0], c.lower[0]) << c.name;
      double f;
      Vec g(2);
      c.objective(r.theta, f, g);
      EXPECT_GT(g[0], 0.1) << c.name;  // the bound is genuinely active
    }
  }
}

}  // namespace
