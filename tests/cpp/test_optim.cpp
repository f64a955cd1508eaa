// The minimiser for objectives even in the sign of groups of coordinates, the
// multi-start rule, and the symmetric eigen-solver its curvature check uses.
#include "linalg/dense.hpp"
#include "optim_cases.hpp"

namespace {

using qk::minimize_symmetric;
using qk::Objective;
using qk::OptimResult;
using qk::SignGroup;
using qkt::kInf;
using qkt::kNaN;
using qkt::summary;
using qkt::Vec;

// One group per coordinate, each its own diagonal.
std::vector<SignGroup> singletons(std::size_t n) {
  std::vector<SignGroup> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back({i, {i}});
  return out;
}

// f = sum_i (x_i^2 - 1)^2 + c sum_{i<j} x_i^2 x_j^2: even in every coordinate; x = 0 is
// a maximum, points with some x_i = 0 saddles whose gradient in x_i is exactly zero.
Objective quartic(double c) {
  return [c](const Vec& x, double& f, Vec& g) {
    f = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      f += (x[i] * x[i] - 1.0) * (x[i] * x[i] - 1.0);
      g[i] = 4.0 * x[i] * (x[i] * x[i] - 1.0);
      for (std::size_t j = 0; j < x.size(); ++j) {
        if (j > i) f += c * x[i] * x[i] * x[j] * x[j];
        if (j != i) g[i] += 2.0 * c * x[i] * x[j] * x[j];
      }
    }
    return true;
  };
}

bool rosenbrock(const Vec& x, double& f, Vec& g) {
  f = (1.0 - x[0]) * (1.0 - x[0]) + 100.0 * (x[1] - x[0] * x[0]) * (x[1] - x[0] * x[0]);
  g = {-2.0 * (1.0 - x[0]) - 400.0 * x[0] * (x[1] - x[0] * x[0]), 200.0 * (x[1] - x[0] * x[0])};
  return true;
}

// x^2 + x^4 + (y^2 - 1)^2: its minima on the symmetric face x = 0.
bool bowl(const Vec& x, double& f, Vec& g) {
  f = x[0] * x[0] + x[0] * x[0] * x[0] * x[0] + (x[1] * x[1] - 1.0) * (x[1] * x[1] - 1.0);
  g = {2.0 * x[0] + 4.0 * x[0] * x[0] * x[0], 4.0 * x[1] * (x[1] * x[1] - 1.0)};
  return true;
}

// A minimum from starts where a bounded or projected search stalls (a maximum, saddles
// on symmetric faces, reflected and far starts), one on a symmetric face reported as
// exactly zero, and ill-conditioned problems solved in 100 passes.
TEST(MinimizeSymmetric, ReachesAMinimumFromSymmetricAndReflectedStarts) {
  Vec a(5);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::pow(10.0, 0.75 * static_cast<double>(i));
  const std::vector<SignGroup> col{{0, {0, 1}}};
  const std::tuple<Objective, std::vector<SignGroup>, Vec, Vec> cases[] = {  // objective, groups, start, minimum
      {quartic(0.0), singletons(1), {0.0}, {1.0}}, {quartic(0.0), singletons(1), {-3.0}, {1.0}},
      {quartic(0.0), singletons(1), {1e4}, {1.0}}, {quartic(0.1), singletons(2), {0.0, 0.5}, Vec(2, 1 / std::sqrt(1.05))},
      {quartic(0.1), singletons(3), {0.0, 0.0, 0.0}, Vec(3, 1 / std::sqrt(1.1))},
      {qkt::column, col, {-2.0, 0.3}, {1.0, 0.5}}, {qkt::column, col, {0.0, 0.0}, {1.0, 0.5}},
      {bowl, singletons(2), {1.0, 0.5}, {0.0, 1.0}}, {bowl, singletons(2), {-0.3, 2.0}, {0.0, 1.0}},
      {bowl, singletons(2), {0.0, 1.5}, {0.0, 1.0}}, {rosenbrock, {}, {-1.2, 1.0}, {1.0, 1.0}},
      {qkt::diag_quadratic(a), {}, Vec(5, 1.0), Vec(5, 0.0)},  // condition 1e3
  };
  for (const auto& [objective, groups, start, minimum] : cases) {
    SCOPED_TRACE(::testing::PrintToString(start));
    const OptimResult r = minimize_symmetric(objective, start, groups, {.max_iter = 100});
    EXPECT_TRUE(r.converged) << summary(r);
    EXPECT_TRUE(qkt::all_near(r.theta, minimum, 1e-6)) << ::testing::PrintToString(r.theta);
    for (const SignGroup& grp : groups) EXPECT_TRUE(minimum[grp.diagonal] != 0.0 || r.theta[grp.diagonal] == 0.0);
    EXPECT_TRUE(qkt::reported_at(objective, r));
  }
}

// The search runs in x / scale: f(x c) with the scale 1 / c (c a power of two) takes
// exactly the unscaled run's steps. Scales not finite and positive count as 1.
TEST(MinimizeSymmetric, ScaledVariablesGiveTheSameRun) {
  const Objective base = quartic(0.1);
  const OptimResult plain = minimize_symmetric(base, {0.3, 2.0}, singletons(2), {});
  for (double c : {std::ldexp(1.0, 20), std::ldexp(1.0, -20)}) {
    const Objective stretched = [&](const Vec& x, double& f, Vec& g) {
      const bool ok = base({x[0] * c, x[1]}, f, g);
      g[0] = g[0] * c;
      return ok;
    };
    const OptimResult r = minimize_symmetric(stretched, {0.3 / c, 2.0}, singletons(2), {.scale = {1.0 / c, 1.0}});
    EXPECT_EQ(summary(r), summary(plain));
    EXPECT_TRUE(r.theta[0] * c == plain.theta[0] && r.theta[1] == plain.theta[1]);
  }
  for (const Vec& bad : {Vec{0.0, 1.0}, Vec{-2.0, kNaN}, Vec{qkt::kInf}})
    EXPECT_EQ(summary(minimize_symmetric(base, {0.3, 2.0}, singletons(2), {.scale = bad})), summary(plain));
}

// Stop reasons and counters. On 0.5 a x^2 + 7 from 1 the first step halves x, its
// secant makes the model exact, the second reaches 0 and the third pass predicts
// nothing left. x^2 with its gradient negated fails its line search of 40 trials.
TEST(MinimizeSymmetric, StopReasonsAndCounters) {
  const std::string grad = "projected gradient below tolerance: ", max_it = "maximum iterations reached: ",
                    pred = "predicted decrease below tolerance: ";
  const std::tuple<double, double, qk::MinimizeOptions, std::string> cases[] = {  // a, start, options, summary
      {1.0, 1.0, {.max_iter = 0}, max_it + "0 passes, 1 evaluations, not converged"},
      {1.0, 0.0, {.max_iter = 0}, grad + "0 passes, 1 evaluations"},  // stationary start
      {1.0, 0.0, {}, grad + "1 passes, 1 evaluations"},
      {1.0, 1.0, {.max_iter = 1}, max_it + "1 passes, 2 evaluations, not converged"},
      {3.0, 1.0, {.gtol = 0.0}, pred + "3 passes, 3 evaluations"},
      {3.0, 1.0, {.gtol = kNaN}, pred + "3 passes, 3 evaluations"},
      {3.0, 1.0, {.max_iter = 2, .gtol = 0.0, .ftol = 0.0}, max_it + "2 passes, 3 evaluations, not converged"},
  };
  for (const auto& [a, start, o, expected] : cases) {
    qkt::Recorder rec;
    const OptimResult r = minimize_symmetric(rec.wrap(qkt::diag_quadratic({a}, 7.0)), {start}, {}, o);
    EXPECT_EQ(summary(r), expected);
    EXPECT_TRUE(rec.points.size() == r.fev && qkt::reported_at(qkt::diag_quadratic({a}, 7.0), r));
  }
  const Objective liar = [](const Vec& x, double& f, Vec& g) { f = x[0] * x[0]; g[0] = -2.0 * x[0]; return true; };
  const OptimResult r = minimize_symmetric(liar, {1.0}, {}, {});
  EXPECT_EQ(summary(r), "line search failed: 1 passes, 41 evaluations, not converged");
  EXPECT_TRUE(r.theta == Vec{1.0} && r.deviance == 1.0);
}

// (x - 2)^2 with its second call refused or NaN: the trial is halved along the same
// direction, and the minimum still reached.
TEST(MinimizeSymmetric, RejectsInfeasibleAndNaNTrials) {
  for (bool use_nan : {false, true}) {
    qkt::Recorder rec;
    auto walled = [&rec, use_nan](const Vec& x, double& f, Vec& g) {
      const bool refused = rec.points.size() == 2;  // recorded before the call
      f = refused && use_nan ? kNaN : (x[0] - 2.0) * (x[0] - 2.0);
      g[0] = 2.0 * (x[0] - 2.0);
      return !refused || use_nan;
    };
    const OptimResult r = minimize_symmetric(rec.wrap(walled), {0.0}, {}, {});
    EXPECT_TRUE(r.converged && std::fabs(r.theta[0] - 2.0) < 1e-8) << summary(r);
    ASSERT_GE(rec.points.size(), 3u);
    EXPECT_EQ(rec.points[2][0], 0.5 * rec.points[1][0]) << use_nan;
  }
}

// The multi-start rule: a run replaces the incumbent only with a strictly lower
// deviance; NaN never wins and a NaN incumbent stays; +inf (infeasible) loses.
TEST(MinimizeFromStarts, ReplacesOnlyWithAStrictlyLowerDeviance) {
  const double cases[][3] = {  // incumbent, candidate, replaces
      {1.0, 0.5, 1}, {1.0, 1.0, 0}, {0.5, 1.0, 0}, {kNaN, 0.0, 0}, {1.0, kNaN, 0}, {kInf, 5.0, 1}, {5.0, kInf, 0}, {kInf, kInf, 0}};
  for (const auto& c : cases) {
    OptimResult inc{}, cand{};
    std::tie(inc.deviance, cand.deviance) = std::pair(c[0], c[1]);
    EXPECT_EQ(qk::replaces(inc, cand), c[2] == 1.0) << c[0] << " vs " << c[1];
  }
}

// Eigenpairs of symmetric matrices (lower triangles): ascending and orthonormal.
TEST(SymmetricEigen, Decomposes) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> nd;
  for (std::size_t n : {1u, 2u, 3u, 6u, 10u}) {
    Vec a(n * n), values, vectors;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = nd(rng);
    qk::symmetric_eigen(a, n, values, vectors);
    ASSERT_EQ(values.size(), n);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    for (std::size_t k = 0; k < n; ++k)
      for (std::size_t i = 0; i < n; ++i) {
        double av = 0.0, dot = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
          av += a[i * n + j] * vectors[j * n + k];
          dot += vectors[j * n + k] * vectors[j * n + i];
        }
        EXPECT_NEAR(av, values[k] * vectors[i * n + k], 1e-12) << n;
        EXPECT_NEAR(dot, k == i ? 1.0 : 0.0, 1e-12) << n;
      }
  }
  Vec values, vectors;
  qk::symmetric_eigen({2.0, kNaN, -1.0, 2.0}, 2, values, vectors);
  EXPECT_TRUE(std::fabs(values[0] - 1.0) < 1e-15 && std::fabs(values[1] - 3.0) < 1e-15);
}

}  // namespace
