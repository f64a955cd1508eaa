// The minimiser for objectives even in the sign of groups of coordinates, the
// multi-start rule, and the symmetric eigen-solver its curvature check uses.
#include <cstring>

#include "linalg/dense.hpp"
#include "optim/minimize.hpp"
#include "optim_cases.hpp"
#include "support.hpp"

namespace {

using qk::minimize_from_starts;
using qk::minimize_symmetric;
using qk::MinimizeOptions;
using qk::Objective;
using qk::OptimResult;
using qk::SignGroup;
using qkt::kInf;
using qkt::kNaN;
using qkt::column;
using qkt::summary;
using qkt::Vec;

// Stop reason and counters of a run, in one line.
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

// One group per coordinate, each its own diagonal.
std::vector<SignGroup> singletons(std::size_t n) {
  std::vector<SignGroup> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back({i, {i}});
  return out;
}

MinimizeOptions opts(std::uint64_t max_iter = 300, double gtol = 1e-8, double ftol = 1e-12) {
  return MinimizeOptions{max_iter, gtol, ftol, {}, {}, {}, 0.0};
}

// f = sum_i (x_i^2 - 1)^2 + c sum_{i<j} x_i^2 x_j^2: even in every coordinate, minima at
// |x_i| = 1 for c small. x = 0 is a maximum, and points with some x_i = 0 are saddles
// whose gradient in x_i is exactly zero.
Objective quartic(double c) {
  return [c](const Vec& x, double& f, Vec& g) {
    f = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double r = x[i] * x[i] - 1.0;
      f += r * r;
      g[i] = 4.0 * x[i] * r;
      for (std::size_t j = 0; j < x.size(); ++j) {
        if (j == i) continue;
        if (j > i) f += c * x[i] * x[i] * x[j] * x[j];
        g[i] += 2.0 * c * x[i] * x[j] * x[j];
      }
    }
    return true;
  };
}

// The mixed-model shape in two coordinates: f(a, b) = (a^2 - 1)^2 + (b - a / 2)^2 is
// even under (a, b) -> (-a, -b) (one group, diagonal a), has its minima at +-(1, 1/2)
// and a saddle at the symmetric point 0.
bool rosenbrock(const Vec& x, double& f, Vec& g) {
  const double r = x[1] - x[0] * x[0];
  f = (1.0 - x[0]) * (1.0 - x[0]) + 100.0 * r * r;
  g[0] = -2.0 * (1.0 - x[0]) - 400.0 * x[0] * r;
  g[1] = 200.0 * r;
  return true;
}

// f = 0.5 sum a_i x_i^2 + offset.
Objective diag_quadratic(Vec a, double offset = 0.0) {
  return [a, offset](const Vec& x, double& f, Vec& g) {
    f = offset;
    for (std::size_t i = 0; i < x.size(); ++i) {
      f += 0.5 * a[i] * x[i] * x[i];
      g[i] = a[i] * x[i];
    }
    return true;
  };
}

// Every run reaches a minimum from starts where a bounded or projected search stalls:
// a maximum, saddles on symmetric faces (exact and within rounding of them), negative
// values of the sign coordinates, and far away. The reported point has non-negative
// diagonals, and its value and gradient are the objective's at that point.
TEST(MinimizeSymmetric, ReachesAMinimumFromSymmetricAndReflectedStarts) {
  struct Case {
    const char* name;
    Objective objective;
    std::vector<SignGroup> groups;
    Vec start, solution;
  };
  const std::vector<SignGroup> col{{0, {0, 1}}};
  const Case cases[] = {
      {"maximum at 0", quartic(0.0), singletons(1), {0.0}, {1.0}},
      {"within rounding of the maximum", quartic(0.0), singletons(1), {1e-12}, {1.0}},
      {"negative start", quartic(0.0), singletons(1), {-3.0}, {1.0}},
      {"far start", quartic(0.0), singletons(1), {1e4}, {1.0}},
      {"saddle on a face", quartic(0.1), singletons(2), {0.0, 0.5}, Vec(2, 1 / std::sqrt(1.05))},
      {"all at the maximum", quartic(0.1), singletons(3), {0.0, 0.0, 0.0}, Vec(3, 1 / std::sqrt(1.1))},
      {"group reflected", column, col, {-2.0, 0.3}, {1.0, 0.5}},
      {"group at its symmetric point", column, col, {0.0, 0.0}, {1.0, 0.5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const OptimResult r = minimize_symmetric(c.objective, c.start, c.groups, opts());
    EXPECT_TRUE(r.converged) << summary(r);
    EXPECT_TRUE(qkt::all_near(r.theta, c.solution, 1e-7)) << ::testing::PrintToString(r.theta);
    double f;
    Vec g(r.theta.size());
    c.objective(r.theta, f, g);
    EXPECT_EQ(r.deviance, f);
    double largest = 0.0;
    for (double v : g) largest = std::max(largest, std::fabs(v));
    EXPECT_EQ(r.grad_inf_norm, largest);
  }
}

// A minimum at a symmetric point (an optimum on the boundary) is reached and reported
// as exactly zero, without any escape: the curvature there is positive.
TEST(MinimizeSymmetric, BoundaryMinimumIsReportedAsZero) {
  const Objective bowl = [](const Vec& x, double& f, Vec& g) {  // x^2 + x^4 + (y^2 - 1)^2
    f = x[0] * x[0] + x[0] * x[0] * x[0] * x[0] + (x[1] * x[1] - 1.0) * (x[1] * x[1] - 1.0);
    g[0] = 2.0 * x[0] + 4.0 * x[0] * x[0] * x[0];
    g[1] = 4.0 * x[1] * (x[1] * x[1] - 1.0);
    return true;
  };
  for (const Vec& start : {Vec{1.0, 0.5}, Vec{-0.3, 2.0}, Vec{0.0, 1.5}}) {
    const OptimResult r = minimize_symmetric(bowl, start, singletons(2), opts());
    EXPECT_TRUE(r.converged) << summary(r);
    EXPECT_EQ(r.theta[0], 0.0) << r.theta[0];
    EXPECT_NEAR(r.theta[1], 1.0, 1e-7);
  }
}

// The search runs in x / scale: an objective of x * c with the scale 1 / c (c a power
// of two, so every product is exact) takes exactly the steps of the unscaled run.
TEST(MinimizeSymmetric, ScaledVariablesGiveTheSameRun) {
  for (double c : {std::ldexp(1.0, 20), std::ldexp(1.0, -20)}) {
    Recorder plain, scaled;
    const Objective base = quartic(0.1);
    const Objective stretched = [&](const Vec& x, double& f, Vec& g) {
      const Vec u{x[0] * c, x[1]};
      const bool ok = base(u, f, g);
      g[0] = g[0] * c;
      return ok;
    };
    MinimizeOptions o = opts();
    o.scale = {1.0 / c, 1.0};
    const OptimResult a = minimize_symmetric(plain.wrap(base), {0.3, 2.0}, singletons(2), opts());
    const OptimResult b = minimize_symmetric(scaled.wrap(stretched), {0.3 / c, 2.0}, singletons(2), o);
    EXPECT_EQ(summary(a), summary(b));
    EXPECT_EQ(a.theta[0], b.theta[0] * c);
    EXPECT_EQ(a.theta[1], b.theta[1]);
    ASSERT_EQ(plain.points.size(), scaled.points.size());
    // Scales that are not finite and positive count as 1.
    for (const Vec& bad : {Vec{0.0, 1.0}, Vec{-2.0, kNaN}, Vec{kInf}}) {
      MinimizeOptions ob = opts();
      ob.scale = bad;
      EXPECT_EQ(summary(minimize_symmetric(base, {0.3, 2.0}, singletons(2), ob)), summary(a));
    }
  }
}

// Stop reasons and counters on f = 0.5 a x^2 + offset (no symmetry used).
TEST(MinimizeSymmetric, StopReasonsAndCounters) {
  struct Case {
    double a, x0;
    std::uint64_t max_iter;
    double gtol, ftol;
    std::string expected;
  };
  const std::string grad = "projected gradient below tolerance: ", max_it = "maximum iterations reached: ",
                    pred = "predicted decrease below tolerance: ";
  const Case cases[] = {
      {1.0, 1.0, 0, 1e-8, 1e-12, max_it + "0 passes, 1 evaluations, not converged"},
      {1.0, 0.0, 0, 1e-8, 1e-12, grad + "0 passes, 1 evaluations"},  // stationary start
      {1.0, 0.0, 300, 1e-8, 1e-12, grad + "1 passes, 1 evaluations"},
      {1.0, 1.0, 1, 1e-8, 1e-12, max_it + "1 passes, 2 evaluations, not converged"},
      // The first step halves x; its secant makes the model exact, so the second
      // reaches 0 and the third pass predicts nothing left (the gradient test is off;
      // there is no polishing step to take).
      {3.0, 1.0, 300, 0.0, 1e-12, pred + "3 passes, 3 evaluations"},
      {3.0, 1.0, 300, kNaN, 1e-12, pred + "3 passes, 3 evaluations"},
      {3.0, 1.0, 2, 0.0, 0.0, max_it + "2 passes, 3 evaluations, not converged"},
  };
  for (const Case& c : cases) {
    Recorder rec;
    const OptimResult r = minimize_symmetric(rec.wrap(diag_quadratic({c.a}, 7.0)), {c.x0}, {},
                                             opts(c.max_iter, c.gtol, c.ftol));
    EXPECT_EQ(summary(r).substr(0, c.expected.size()), c.expected);
    ASSERT_EQ(rec.points.size(), r.fev);
    EXPECT_EQ(r.deviance, 0.5 * c.a * r.theta[0] * r.theta[0] + 7.0);
    EXPECT_EQ(r.grad_inf_norm, std::fabs(c.a * r.theta[0]));
  }
}

// An infeasible start is reported at once, uncounted and unnormalised.
TEST(MinimizeSymmetric, InfeasibleStart) {
  const Objective never = [](const Vec&, double&, Vec&) { return false; };
  const Objective nan = [](const Vec&, double& f, Vec&) { f = kNaN; return true; };
  for (const Objective& o : {never, nan}) {
    const OptimResult r = minimize_symmetric(o, {-2.0}, singletons(1), opts());
    EXPECT_EQ(summary(r), "initial point infeasible: 0 passes, 0 evaluations, not converged");
    EXPECT_TRUE(r.theta == Vec{-2.0} && r.deviance == kInf && r.grad_inf_norm == kInf);
  }
}

// f = (x - 2)^2 from 0 with its second call refused (or valued NaN): the rejected
// trial is shortened along the same direction by the backtracking factor, and the
// minimum is still reached.
TEST(MinimizeSymmetric, RejectsInfeasibleAndNaNTrials) {
  for (bool use_nan : {false, true}) {
    Recorder rec;
    auto walled = [&rec, use_nan](const Vec& x, double& f, Vec& g) {
      const bool refused = rec.points.size() == 2;  // recorded before the call
      f = refused && use_nan ? kNaN : (x[0] - 2.0) * (x[0] - 2.0);
      g[0] = 2.0 * (x[0] - 2.0);
      return !refused || use_nan;
    };
    const OptimResult r = minimize_symmetric(rec.wrap(walled), {0.0}, {}, opts());
    EXPECT_TRUE(r.converged) << summary(r);
    EXPECT_NEAR(r.theta[0], 2.0, 1e-8);
    ASSERT_GE(rec.points.size(), 3u);
    EXPECT_EQ(rec.points[2][0], 0.5 * rec.points[1][0]) << use_nan;
  }
}

// f = x^2 reported with the gradient negated: no step along it decreases f, so the
// run stops where it began after one steepest-descent search of 40 trials.
TEST(MinimizeSymmetric, LineSearchFails) {
  auto liar = [](const Vec& x, double& f, Vec& g) {
    f = x[0] * x[0];
    g[0] = -2.0 * x[0];
    return true;
  };
  const OptimResult r = minimize_symmetric(liar, {1.0}, {}, opts());
  EXPECT_EQ(summary(r), "line search failed: 1 passes, 41 evaluations, not converged");
  EXPECT_TRUE(r.theta == Vec{1.0} && r.deviance == 1.0);
}

// Differences of f drown in rounding near the optimum of a badly scaled problem while
// the exact gradient still points the way. With f perturbed by a deterministic
// "rounding" of relative size 1e-11 (far above the stopping test's 1e-12), the run
// must still converge on the gradient instead of failing its line search.
TEST(MinimizeSymmetric, ConvergesWhenDifferencesOfFAreRoundingNoise) {
  Vec a{1.0, 1e3, 1e6};
  const Objective quad = diag_quadratic(a, 1e4);
  const Objective noisy = [&](const Vec& x, double& f, Vec& g) {
    quad(x, f, g);
    std::uint64_t h = 0;
    for (double v : x) {
      std::uint64_t b;
      std::memcpy(&b, &v, sizeof b);
      h = (h ^ b) * 0x9E3779B97F4A7C15ull;
    }
    f += 1e-11 * f * (static_cast<double>(h >> 11) * 0x1.0p-53 - 0.5);
    return true;
  };
  for (const Vec& start : {Vec{1.0, 1.0, 1.0}, Vec{-3.0, 0.01, 0.2}}) {
    const OptimResult r = minimize_symmetric(noisy, start, {}, opts());
    EXPECT_TRUE(r.converged) << summary(r);
    EXPECT_TRUE(qkt::all_near(r.theta, Vec(3, 0.0), 1e-6)) << ::testing::PrintToString(r.theta);
  }
}

// Problems where steepest descent needs thousands of passes converge quickly.
TEST(MinimizeSymmetric, ConvergesOnIllConditionedProblems) {
  Vec a(5);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::pow(10.0, 0.75 * static_cast<double>(i));
  struct Case {
    const char* name;
    Objective objective;
    Vec start, solution;
    double tol;
  };
  const Case cases[] = {
      {"Rosenbrock", rosenbrock, {-1.2, 1.0}, {1, 1}, 1e-6},
      {"quadratic of condition 1e3", diag_quadratic(a), Vec(5, 1.0), Vec(5, 0.0), 1e-6},
  };
  for (const Case& c : cases) {
    const OptimResult r = minimize_symmetric(c.objective, c.start, {}, opts(100));
    EXPECT_TRUE(r.converged) << c.name << ": " << summary(r);
    EXPECT_TRUE(qkt::all_near(r.theta, c.solution, c.tol)) << c.name;
  }
}

// The multi-start rule: a run replaces the incumbent only with a strictly lower
// deviance; NaN never wins and a NaN incumbent stays; +inf (infeasible) loses.
TEST(MinimizeFromStarts, BestOfTheStarts) {
  const double cases[][3] = {  // incumbent, candidate, replaces
      {1.0, 0.5, 1}, {1.0, 1.0, 0}, {0.5, 1.0, 0}, {kNaN, 0.0, 0},
      {1.0, kNaN, 0}, {kInf, 5.0, 1}, {5.0, kInf, 0}, {kInf, kInf, 0},
  };
  for (const auto& c : cases) {
    OptimResult inc{}, cand{};
    inc.deviance = c[0];
    cand.deviance = c[1];
    EXPECT_EQ(qk::replaces(inc, cand), c[2] == 1.0) << c[0] << " vs " << c[1];
  }
  // Starts in order; the infeasible one (x < 0 refused) loses, the tie keeps the first.
  Recorder rec;
  const Objective quad = diag_quadratic({2.0}, 1.0);
  const Objective half = [&](const Vec& x, double& f, Vec& g) { return x[0] >= -5.0 && quad(x, f, g); };
  const OptimResult r = minimize_from_starts(rec.wrap(half), {-9.0, 3.0, 3.0}, 1, {}, opts());
  EXPECT_TRUE(r.converged);
  EXPECT_EQ(rec.points[0], Vec{-9.0});
  EXPECT_EQ(rec.points[1], Vec{3.0});
  const OptimResult single = minimize_symmetric(quad, {3.0}, {}, opts());
  EXPECT_EQ(summary(r), summary(single));
}

// Eigenpairs of small symmetric matrices: A v = lambda v, ascending, orthonormal.
TEST(SymmetricEigen, Decomposes) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> nd;
  for (std::size_t n : {1u, 2u, 3u, 6u, 10u}) {
    Vec a(n * n);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = nd(rng);
    Vec values, vectors;
    qk::symmetric_eigen(a, n, values, vectors);
    ASSERT_EQ(values.size(), n);
    for (std::size_t k = 0; k + 1 < n; ++k) EXPECT_LE(values[k], values[k + 1]);
    for (std::size_t k = 0; k < n; ++k) {
      for (std::size_t i = 0; i < n; ++i) {
        double av = 0.0;
        for (std::size_t j = 0; j < n; ++j) av += a[i * n + j] * vectors[j * n + k];
        EXPECT_NEAR(av, values[k] * vectors[i * n + k], 1e-12) << n;
      }
      for (std::size_t l = 0; l < n; ++l) {
        double dot = 0.0;
        for (std::size_t i = 0; i < n; ++i) dot += vectors[i * n + k] * vectors[i * n + l];
        EXPECT_NEAR(dot, k == l ? 1.0 : 0.0, 1e-12);
      }
    }
  }
  // Only the lower triangle is read.
  Vec values, vectors;
  qk::symmetric_eigen({2.0, kNaN, -1.0, 2.0}, 2, values, vectors);
  EXPECT_NEAR(values[0], 1.0, 1e-15);
  EXPECT_NEAR(values[1], 3.0, 1e-15);
}

}  // namespace
