// Classes of groups for the "aggregated" evaluator: ids in order of first appearance,
// keys of bit patterns, the class limit, and the cross sums of each class.
#include <bit>
#include <array>
#include <optional>
#include <random>

#include "lmm/prepare/classes.hpp"
#include "support.hpp"

namespace {

using qkt::kNaN;
using qkt::Vec;

struct ClassInput {
  std::uint64_t q, p, m;
  Vec ztz, ztx, zty;
  std::optional<qk::Classes> build(std::uint64_t limit = qk::kUnlimitedClasses) const {
    return qk::Classes::build(q, p, m, ztz, ztx, zty, limit);
  }
};

// Groups with the given Z'Z blocks and small integer Z'X, Z'y, so sums are exact.
ClassInput class_input(std::uint64_t q, std::uint64_t p, const std::vector<Vec>& blocks, std::uint64_t seed = 1) {
  ClassInput in{q, p, blocks.size(), {}, Vec(blocks.size() * q * p), Vec(blocks.size() * q)};
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> small(-4, 4);
  for (const Vec& b : blocks) in.ztz.insert(in.ztz.end(), b.begin(), b.end());
  for (double& v : in.ztx) v = small(rng);
  for (double& v : in.zty) v = small(rng);
  return in;
}

// Ids in order of first appearance; keys are the bit patterns of the lower triangle
// (signed zeros and NaN payloads differ, the upper triangle is ignored), met both in
// the leading run and in the map; q = 4 takes the long key form.
TEST(Classes, FirstAppearanceIdsAndKeys) {
  const double nan2 = std::bit_cast<double>(std::bit_cast<std::uint64_t>(kNaN) | 1);
  const Vec z0{1, 0.0, 0.0, 2}, zn{1, -0.0, -0.0, 2}, nan{1, kNaN, kNaN, 2};
  Vec last(16, 1.0);
  last[15] = 4.0;
  const std::tuple<const char*, std::uint64_t, std::vector<Vec>, std::vector<std::uint32_t>> cases[] = {
      {"first appearance", 1, {{1}, {2}, {1}, {3}, {2}}, {0, 1, 0, 2, 1}},
      {"0.0 vs -0.0", 2, {z0, zn, z0, zn}, {0, 1, 0, 1}},
      {"equal NaN patterns", 2, {nan, z0, nan}, {0, 1, 0}},
      {"NaN payloads", 2, {nan, {1, nan2, nan2, 2}}, {0, 1}},
      {"upper triangle ignored", 2, {{1, 5, 7, 2}, {1, 9, 7, 2}, {1, 5, 8, 2}, {1, 3, 7, 2}}, {0, 0, 1, 0}},
      {"q = 4", 4, {Vec(16, 1.0), last, Vec(16, 1.0), Vec(16, 3.0)}, {0, 1, 0, 2}},
  };
  for (const auto& [name, q, blocks, ids] : cases) {
    auto cl = class_input(q, 1, blocks).build();
    ASSERT_TRUE(cl) << name;
    EXPECT_EQ(cl->assignment, ids) << name;
  }
  const ClassInput three = class_input(1, 1, {{1}, {2}, {1}, {3}});
  EXPECT_TRUE(three.build(3));
  EXPECT_FALSE(three.build(2));
}

// One shared Z'Z (or a single group) is one class whatever the limit, 0 included.
TEST(Classes, SharedCrossProductIsOneClassUnderLimitZero) {
  for (std::uint64_t m : {1u, 5000u}) {
    auto c = class_input(2, 1, std::vector<Vec>(m, Vec{2, 1, 1, 3})).build(0);
    ASSERT_TRUE(c) << m;
    EXPECT_EQ(c->counts, Vec{static_cast<double>(m)});
    EXPECT_EQ(c->assignment, std::vector<std::uint32_t>(m, 0));
  }
}

// From group 4096 on, every 1024 groups, a finite limit gives up when more than a
// quarter of the groups seen so far started a class; the test comes before the
// group is looked at, and the unlimited value never gives up.
TEST(Classes, EarlyAbandonmentAtTheBoundary) {
  // Groups g < first and late_begin <= g < late_end start classes of their own; all
  // other groups share one. 0 classes: declined.
  const std::uint64_t lim = 1000000, none = qk::kUnlimitedClasses;
  const std::array<std::uint64_t, 6> cases[] = {  // m, first, late_begin, late_end, limit, classes
      {4096, 4096, 0, 0, lim, 4096},      // no test reached
      {4097, 4097, 0, 0, lim, 0},         // 4096 classes at group 4096
      {4097, 4097, 0, 0, none, 4097},     // unlimited
      {5000, 1023, 0, 0, lim, 1024},      // 1024 classes at 4096
      {5000, 1024, 0, 0, lim, 0},         // 1025 classes at 4096
      {4097, 1023, 4096, 4097, lim, 1025},  // group 4096 is tested before it starts class 1025
      {5121, 1023, 4096, 4352, lim, 1280},  // 1280 classes at 5120
      {5121, 1023, 4096, 4353, lim, 0},     // 1281 classes at 5120
  };
  for (const auto& [m, first, late_begin, late_end, limit, classes] : cases) {
    std::vector<Vec> blocks;
    for (std::uint64_t g = 0; g < m; ++g)
      blocks.push_back({g < first || (g >= late_begin && g < late_end) ? 1.0 + static_cast<double>(g) : 0.0});
    auto cl = class_input(1, 1, blocks).build(limit);
    EXPECT_EQ(cl ? cl->n_classes : 0, classes) << m << " groups, " << first << " first distinct";
  }
}

// Per class, sums over the members of w_a[r] w_b[s] for s >= r (w_a = row a of
// [Z'X | Z'y]); below the diagonal of each block stays zero.
Vec expected_cross_sums(const ClassInput& in, const qk::Classes& c) {
  const std::uint64_t q = in.q, p = in.p, p1 = p + 1, blk = p1 * p1;
  auto w = [&](std::uint64_t g, std::uint64_t a, std::uint64_t r) {
    return r < p ? in.ztx[(g * q + a) * p + r] : in.zty[g * q + a];
  };
  Vec out(c.n_classes * q * q * blk, 0.0);
  for (std::uint64_t g = 0; g < in.m; ++g)
    for (std::uint64_t a = 0; a < q; ++a)
      for (std::uint64_t b = 0; b < q; ++b)
        for (std::uint64_t r = 0; r < p1; ++r)
          for (std::uint64_t s = r; s < p1; ++s)
            out[((c.assignment[g] * q + a) * q + b) * blk + r * p1 + s] += w(g, a, r) * w(g, b, s);
  return out;
}

// A few classes, and over 4096 classes (chunk partials kept in a map); two
// identical groups with inexact values sum to exactly twice one.
TEST(Classes, CrossSumsAreUpperTrianglesOfOuterProducts) {
  const Vec a{2, 1, 1, 3};
  const ClassInput few = class_input(2, 2, {a, {2, 1, 1, 4}, a, a}, 9);
  std::vector<Vec> blocks;
  for (std::uint64_t g = 0; g < 12000; ++g) blocks.push_back({static_cast<double>(g % 4500)});
  const ClassInput many = class_input(1, 2, blocks, 11);
  for (const ClassInput* in : {&few, &many}) {
    auto c = in->build();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->cross_sums, expected_cross_sums(*in, *c));
    EXPECT_EQ(c->counts.front(), 3.0);
    EXPECT_EQ(c->counts.back(), in == &few ? 1.0 : 2.0);
  }

  ClassInput one = class_input(2, 2, {a}, 10);
  one.ztx[1] = 0.1;
  one.zty[0] = 1.0 / 3.0;
  ClassInput two = one;
  two.m = 2;
  for (Vec* v : {&two.ztz, &two.ztx, &two.zty}) {
    const Vec once = *v;
    v->insert(v->end(), once.begin(), once.end());
  }
  auto c1 = one.build(), c2 = two.build();
  ASSERT_TRUE(c1 && c2);
  Vec doubled = c1->cross_sums;
  for (double& v : doubled) v *= 2.0;
  EXPECT_EQ(qkt::bits(c2->cross_sums), qkt::bits(doubled));
  EXPECT_EQ(c2->counts, Vec{2.0});
}

}  // namespace
