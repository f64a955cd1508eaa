// Fitting theta on a prepared design: the sign groups of Lambda's columns, the natural
// scale of theta, and fits that do not depend on the units of a random slope.
#include "lmm/results/fit.hpp"
#include "support.hpp"

namespace {

using qkt::Vec;

// Per layout: theta's entries, and each column's group (diagonal first).
TEST(Fit, SignGroupsAreTheColumnsOfLambda) {
  struct Case {
    std::vector<std::uint64_t> blocks;
    qk::ThetaIndex index;
    std::vector<std::pair<std::size_t, std::vector<std::size_t>>> groups;
  };
  const Case cases[] = {
      {{3}, {{0, 0}, {1, 0}, {2, 0}, {1, 1}, {2, 1}, {2, 2}}, {{0, {0, 1, 2}}, {3, {3, 4}}, {5, {5}}}},
      {{1, 2}, {{0, 0}, {1, 1}, {2, 1}, {2, 2}}, {{0, {0}}, {1, {1, 2}}, {3, {3}}}},
      {{2, 1}, {{0, 0}, {1, 0}, {1, 1}, {2, 2}}, {{0, {0, 1}}, {2, {2}}, {3, {3}}}},
      {{1, 1, 1}, {{0, 0}, {1, 1}, {2, 2}}, {{0, {0}}, {1, {1}}, {2, {2}}}},
  };
  for (const Case& c : cases) {
    const qk::ThetaIndex idx = qk::theta_index(3, c.blocks);
    EXPECT_EQ(idx, c.index);
    EXPECT_FALSE(qk::blocks_error(c.blocks, 3));
    const auto groups = qk::sign_groups(idx);
    ASSERT_EQ(groups.size(), c.groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
      EXPECT_EQ(groups[g].diagonal, c.groups[g].first);
      EXPECT_EQ(groups[g].members, c.groups[g].second);
    }
  }
  for (const std::vector<std::uint64_t>& bad : {std::vector<std::uint64_t>{}, {2, 2}, {0, 3}, {1, 1}})
    EXPECT_EQ(qk::blocks_error(bad, 3).value_or("").rfind("blocks must be positive sizes summing to q = 3", 0), 0u);
}

// q = 3 rows with random intercepts and slopes; column 1 of z in units 2^k, column 2
// (when `zero_last`) zero throughout.
qkt::Design slope_design(int k, bool zero_last = false) {
  qkt::Design d = qkt::make_design({2, 3, 60, 3, 9, 11, 0});
  std::mt19937_64 rng(3);
  std::normal_distribution<double> nd;
  std::vector<Vec> b(d.m, Vec(3));
  for (Vec& bi : b) bi = {nd(rng), 0.6 * nd(rng), 0.3 * nd(rng)};
  for (std::size_t r = 0; r < d.n; ++r) {
    const Vec& bi = b[static_cast<std::size_t>(d.codes[r])];
    double* z = &d.z[r * 3];
    d.y[r] = d.y[r] + bi[0] + bi[1] * z[1] + bi[2] * z[2];
    z[1] = std::ldexp(z[1], k);
    if (zero_last) z[2] = 0.0;
  }
  return d;
}

TEST(Fit, ThetaScaleFollowsTheUnitsOfZ) {
  const qkt::Design d = slope_design(10, true);
  auto data = qkt::build(d, qk::kBlocks);
  ASSERT_TRUE(data);
  Vec ss(3, 0.0);
  for (std::size_t r = 0; r < d.n; ++r)
    for (std::size_t j = 0; j < 3; ++j) ss[j] += d.z[r * 3 + j] * d.z[r * 3 + j];
  const Vec scale = qk::theta_scale(*data);
  ASSERT_EQ(scale.size(), 6u);
  const double s0 = 1.0 / std::sqrt(ss[0] / d.n), s1 = 1.0 / std::sqrt(ss[1] / d.n);
  EXPECT_TRUE(qkt::all_near(scale, {s0, s1, 1.0, s1, 1.0, 1.0}, 1e-12)) << ::testing::PrintToString(scale);
  EXPECT_LT(s1, 1e-2);  // the slope's units are 1024 times larger
}

// The same model with the slope's covariate in units 2^-10, 1 and 2^10 times as large,
// fitted from the identity start on every evaluator: the same optimum, with row 1 of
// Lambda scaled by the inverse factor, in a comparable number of evaluations.
TEST(Fit, UnitsOfARandomSlopeChangeNothing) {
  for (qk::Evaluator ev : {qk::kBlocks, qk::kStreaming, qk::kAggregated}) {
    auto base = qkt::build(slope_design(0), ev);
    ASSERT_TRUE(base);
    const Vec start = qk::default_theta(3);
    const qk::OptimResult ref = qk::fit_theta(*base, start, true, {});
    ASSERT_TRUE(ref.converged) << ref.message;
    for (int k : {-10, 10}) {
      auto data = qkt::build(slope_design(k), ev);
      const qk::OptimResult r = qk::fit_theta(*data, start, true, {});
      EXPECT_TRUE(r.converged) << r.message;
      EXPECT_TRUE(qkt::near_rel(r.deviance, ref.deviance, 1e-10)) << k;
      Vec theta = r.theta;
      for (std::size_t i : {1, 3}) theta[i] = std::ldexp(theta[i], k);  // row 1: (1,0), (1,1)
      EXPECT_TRUE(qkt::all_near(theta, ref.theta, 1e-5)) << k << ::testing::PrintToString(r.theta);
      EXPECT_LT(r.fev, 3 * ref.fev + 20) << k;
    }
  }
}

}  // namespace
