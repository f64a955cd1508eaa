// The minimiser's options and guards: fixed coordinates, the initial and returned
// inverse Hessian, the stall test, throwing objectives and the curvature guard.

#include "linalg/dense.hpp"
#include "optim_cases.hpp"

namespace {

using qk::minimize_symmetric;
using qk::Objective;
using qk::OptimResult;
using qk::SignGroup;
using qkt::column;
using qkt::kNaN;
using qkt::summary;
using qkt::Vec;

// f = (x0 - 1)^2 + (x1 - x0)^2 + (x2 - 2 x1)^2 + x0^2 x2^2 / 10: every coordinate coupled.
bool chain(const Vec& x, double& f, Vec& g) {
  const double a = x[0] - 1.0, b = x[1] - x[0], c = x[2] - 2.0 * x[1];
  f = a * a + b * b + c * c + x[0] * x[0] * x[2] * x[2] / 10.0;
  g[0] = 2.0 * a - 2.0 * b + x[0] * x[2] * x[2] / 5.0;
  g[1] = 2.0 * b - 4.0 * c;
  g[2] = 2.0 * c + x[0] * x[0] * x[2] / 5.0;
  return true;
}

// Fixed coordinates keep their start values in every point asked about, their gradient
// (NaN here) is never read, and the free ones reach the minimum (NaN: where the free
// gradient vanishes). A member fixed off zero or a fixed diagonal drops its sign group
// (from a = -2 with b = 1/2 the run ends at -1/2 - sqrt(2)/4, unreflected); a member
// fixed at zero is left out of it.
TEST(MinimizeOptions, FixedCoordinatesAreHeldAndTheirGradientIgnored) {
  const std::vector<SignGroup> col{{0, {0, 1}}};
  const std::tuple<bool (*)(const Vec&, double&, Vec&), std::vector<SignGroup>, std::vector<std::size_t>, Vec, Vec>
      cases[] = {  // objective, groups, fixed, start, minimum
          {chain, {}, {1}, {0.0, 3.0, 0.0}, {kNaN, 3.0, kNaN}},
          {chain, {}, {0, 2, 0}, {0.5, 9.0, 4.0}, {0.5, 1.7, 4.0}},
          {column, col, {1}, {-2.0, 0.5}, {-0.5 - std::sqrt(2.0) / 4.0, 0.5}},
          {column, col, {1}, {-2.0, 0.0}, {std::sqrt(7.0 / 8.0), 0.0}},
          {column, col, {0}, {0.0, -1.0}, {0.0, 0.0}},
          {chain, {}, {0, 1, 2}, {0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}}};
  for (const auto& [objective, groups, fixed, start, minimum] : cases) {
    SCOPED_TRACE(::testing::PrintToString(start));
    std::vector<Vec> asked;
    const Objective poisoned = [&](const Vec& x, double& f, Vec& g) {
      asked.push_back(x);
      const bool ok = objective(x, f, g);
      for (std::size_t i : fixed) g[i] = kNaN;
      return ok;
    };
    const OptimResult r = minimize_symmetric(poisoned, start, groups, {.fixed = fixed});
    EXPECT_TRUE(r.converged) << summary(r);
    for (const Vec& x : asked)
      for (std::size_t i : fixed) ASSERT_EQ(x[i], start[i]) << i;
    double f;
    Vec g(r.theta.size());
    objective(r.theta, f, g);
    EXPECT_EQ(r.deviance, f);
    for (std::size_t i = 0; i < minimum.size(); ++i)
      EXPECT_TRUE(std::isnan(minimum[i]) ? std::fabs(g[i]) < 1e-7 : std::fabs(r.theta[i] - minimum[i]) < 1e-7) << i;
  }
  EXPECT_THROW(minimize_symmetric(chain, {0.0, 0.0, 0.0}, {}, {.fixed = {3}}), std::out_of_range);
}

// 0.5 x'Ax with A's inverse given: the first step lands on the minimum and the exact
// model is returned. A model not positive definite or not finite is not used, one of
// the wrong size refused. With x1 held the free block tends to A's free block's
// inverse, and the held row and column are the given model's.
TEST(MinimizeOptions, InitialInverseHessianStartsTheModel) {
  const Vec a{4.0, 1.0, 0.0, 1.0, 3.0, 0.5, 0.0, 0.5, 2.0}, start{1.0, -2.0, 3.0};
  const Objective quad = [&](const Vec& x, double& f, Vec& g) {
    f = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
      g[i] = a[i * 3] * x[0] + a[i * 3 + 1] * x[1] + a[i * 3 + 2] * x[2];
      f += 0.5 * x[i] * g[i];
    }
    return true;
  };
  Vec l = a, inv(9);
  ASSERT_TRUE(qk::cholesky_in_place(l.data(), 3));
  qk::cholesky_inverse(l.data(), 3, inv.data());
  qk::mirror_upper(inv.data(), 3);
  const OptimResult r = minimize_symmetric(quad, start, {}, {.gtol = 0.0, .h0 = inv});
  EXPECT_EQ(summary(r), "predicted decrease below tolerance: 2 passes, 2 evaluations");
  EXPECT_TRUE(qkt::all_near(r.theta, Vec(3, 0.0), 1e-14));
  EXPECT_TRUE(qkt::all_near(r.inverse_hessian, inv, 1e-12)) << ::testing::PrintToString(r.inverse_hessian);
  const std::string plain = summary(minimize_symmetric(quad, start, {}, {.gtol = 0.0}));
  EXPECT_NE(plain, summary(r));
  for (const Vec& bad : {Vec{1, 0, 0, 0, -1, 0, 0, 0, 1}, Vec{1, 0, 0, 0, kNaN, 0, 0, 0, 1}, Vec(9, 0.0)})
    EXPECT_EQ(summary(minimize_symmetric(quad, start, {}, {.gtol = 0.0, .h0 = bad})), plain);
  EXPECT_THROW(minimize_symmetric(quad, start, {}, {.h0 = Vec(4, 1.0)}), std::invalid_argument);
  const OptimResult rh = minimize_symmetric(quad, start, {}, {.gtol = 0.0, .fixed = {1}, .h0 = inv});
  EXPECT_TRUE(rh.converged) << summary(rh);
  ASSERT_EQ(rh.inverse_hessian.size(), 9u);
  for (std::size_t k : {1u, 3u, 4u, 5u, 7u}) EXPECT_EQ(rh.inverse_hessian[k], inv[k]) << k;
  const double det = a[0] * a[8] - a[2] * a[6];
  const Vec block{rh.inverse_hessian[0], rh.inverse_hessian[2], rh.inverse_hessian[6], rh.inverse_hessian[8]};
  EXPECT_TRUE(qkt::all_near(block, {a[8] / det, -a[2] / det, -a[6] / det, a[0] / det}, 1e-2))
      << ::testing::PrintToString(rh.inverse_hessian);
}

// A reflected result carries its model reflected (D H D): the runs from mirror-image
// starts report the same point and model to the bit, coupling (a, b) to c included.
TEST(MinimizeOptions, ReturnedModelFollowsTheSignNormalisation) {
  const Objective coupled = [](const Vec& x, double& f, Vec& g) {  // (a^2 - 1)^2 + (b - a/2)^2 + (c - ab)^2
    const double r = x[0] * x[0] - 1.0, s = x[1] - 0.5 * x[0], t = x[2] - x[0] * x[1];
    f = r * r + s * s + t * t;
    g[0] = 4.0 * x[0] * r - s - 2.0 * t * x[1];
    g[1] = 2.0 * s - 2.0 * t * x[0];
    g[2] = 2.0 * t;
    return true;
  };
  const std::vector<SignGroup> ab{{0, {0, 1}}};
  const OptimResult up = minimize_symmetric(coupled, {2.0, 0.3, -1.0}, ab, {});
  const OptimResult down = minimize_symmetric(coupled, {-2.0, -0.3, -1.0}, ab, {});
  ASSERT_TRUE(up.converged && down.converged) << summary(up) << "; " << summary(down);
  EXPECT_TRUE(qkt::all_near(up.theta, {1.0, 0.5, 0.5}, 1e-7)) << ::testing::PrintToString(up.theta);
  ASSERT_EQ(up.inverse_hessian.size(), 9u);
  EXPECT_NE(up.inverse_hessian[2], 0.0);
  EXPECT_EQ(qkt::bits(down.theta) + qkt::bits(down.inverse_hessian), qkt::bits(up.theta) + qkt::bits(up.inverse_hessian));
}

// 400 + (x - 1)^4 + (y - x)^2, a minimum flatter than quadratic: with the other tests
// off the run crawls until its line search fails; `stall` stops it, converged, at the
// first step gaining less than stall * max(|f|, 1). Zero, negative or NaN disable it.
TEST(MinimizeOptions, StallEndsTheCrawlToADegenerateMinimum) {
  const Objective flat = [](const Vec& x, double& f, Vec& g) {
    const double a = x[0] - 1.0, b = x[1] - x[0];
    f = 400.0 + a * a * a * a + b * b;
    g[0] = 4.0 * a * a * a - 2.0 * b;
    g[1] = 2.0 * b;
    return true;
  };
  qk::MinimizeOptions o{.gtol = 0.0, .ftol = 0.0};
  const OptimResult crawl = minimize_symmetric(flat, {3.0, -1.0}, {}, o);
  EXPECT_FALSE(crawl.converged) << summary(crawl);
  o.stall = 1e-12;
  const OptimResult r = minimize_symmetric(flat, {3.0, -1.0}, {}, o);
  EXPECT_TRUE(r.converged && r.message == "decrease per step below tolerance") << summary(r);
  EXPECT_LT(2 * r.iterations, crawl.iterations) << summary(r) << " vs " << summary(crawl);
  EXPECT_LT(r.deviance - 400.0, 1e-8);
  EXPECT_TRUE(qkt::all_near(r.theta, {1.0, 1.0}, 1e-2)) << ::testing::PrintToString(r.theta);
  for (double off : {0.0, -1.0, kNaN}) {
    o.stall = off;
    EXPECT_EQ(summary(minimize_symmetric(flat, {3.0, -1.0}, {}, o)), summary(crawl));
  }
}

// An exception from the objective leaves the minimiser unchanged, whichever call throws.
TEST(MinimizeOptions, ExceptionFromTheObjectivePropagates) {
  struct Thrown : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  const std::vector<SignGroup> col{{0, {0, 1}}};
  const std::uint64_t first = minimize_symmetric(column, {2.0, 0.3}, col, {}).fev;
  for (int when : {1, 2, 6, static_cast<int>(first) + 1}) {
    int calls = 0;
    const Objective throwing = [&](const Vec& x, double& f, Vec& g) {
      if (++calls == when) throw Thrown("call " + std::to_string(when));
      return column(x, f, g);
    };
    EXPECT_EQ(qkt::thrown<Thrown>([&] { qk::minimize_from_starts(throwing, {2.0, 0.3, -1.0, 4.0}, 2, col, {}); }),
              "call " + std::to_string(when));
    EXPECT_EQ(calls, when);
  }
}

// A secant pair across a concave stretch (s'y <= 0) would make the model indefinite and
// its predicted decrease pass the stopping test. Runs from inside the concave region
// of (x^2 - 1)^2 + (x y)^2 / 4 + (y - 1)^2 / 2 reach a minimum with a definite model.
TEST(MinimizeOptions, CurvatureGuardKeepsTheModelPositiveDefinite) {
  const Objective bumpy = [](const Vec& x, double& f, Vec& g) {
    const double r = x[0] * x[0] - 1.0, c = x[0] * x[1];
    f = r * r + 0.25 * c * c + 0.5 * (x[1] - 1.0) * (x[1] - 1.0);
    g[0] = 4.0 * x[0] * r + 0.5 * c * x[1];
    g[1] = 0.5 * c * x[0] + (x[1] - 1.0);
    return true;
  };
  for (double x0 : {0.05, 0.1, 0.2, 0.3, -0.15})
    for (double y0 : {-2.0, 0.0, 1.0, 3.0}) {
      SCOPED_TRACE(::testing::PrintToString(Vec{x0, y0}));
      const OptimResult r = minimize_symmetric(bumpy, {x0, y0}, {}, {});
      double f0;
      Vec g0(2), l = r.inverse_hessian;
      bumpy({x0, y0}, f0, g0);
      EXPECT_TRUE(r.converged && r.grad_inf_norm < 1e-6 && r.deviance < f0) << summary(r);
      ASSERT_EQ(l.size(), 4u) << summary(r);
      EXPECT_TRUE(qk::cholesky_in_place(l.data(), 2)) << ::testing::PrintToString(r.inverse_hessian);
    }
}

// With a value-only function, trial points the line search rejects cost no gradient:
// every gradient is asked for at the point last valued (or the start, or a point the
// run probes with both), the run reaches the same minimum, counts each point once,
// and reports the objective's value and gradient at the point it returns. The scaled
// and fixed coordinates reach the value function as the caller's.
TEST(MinimizeOptions, ValueOnlyTrialsSkipTheGradient) {
  struct Case {
    Vec x0;
    std::vector<std::size_t> fixed;
    Vec scale;
  };
  const Case cases[] = {{{30.0, -20.0, 50.0}, {}, {}}, {{-40.0, 6.0, 0.5}, {1}, {}}, {{30.0, -20.0, 50.0}, {}, {0.5, 2.0, 1.0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.x0));
    int values = 0, gradients = 0, foreign = 0;
    Vec last;
    const Objective counted = [&](const Vec& x, double& f, Vec& g) {
      ++gradients;
      foreign += !c.fixed.empty() && x[c.fixed[0]] != c.x0[c.fixed[0]];
      return chain(x, f, g);
    };
    qk::MinimizeOptions plain{.fixed = c.fixed};
    plain.scale = c.scale;
    qk::MinimizeOptions lazy = plain;
    lazy.value = [&](const Vec& x, double& f) {
      ++values;
      last = x;
      Vec g(3);
      foreign += !c.fixed.empty() && x[c.fixed[0]] != c.x0[c.fixed[0]];
      return chain(x, f, g);
    };
    const qk::OptimResult a = minimize_symmetric(chain, c.x0, {}, plain);
    const qk::OptimResult b = minimize_symmetric(counted, c.x0, {}, lazy);
    ASSERT_TRUE(a.converged && b.converged) << summary(a) << " / " << summary(b);
    EXPECT_TRUE(qkt::all_near(a.theta, b.theta, 1e-6));
    EXPECT_NEAR(a.deviance, b.deviance, 1e-12);
    EXPECT_TRUE(!c.fixed.empty() || qkt::reported_at(chain, b));
    EXPECT_EQ(foreign, 0);
    EXPECT_GT(values, 0);
    EXPECT_LT(static_cast<std::uint64_t>(gradients), b.fev);  // some trials went without
    EXPECT_LE(b.fev, static_cast<std::uint64_t>(values + gradients));
  }
}

}  // namespace
