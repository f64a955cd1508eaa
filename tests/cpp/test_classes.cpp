// Classes of groups for the "aggregated" evaluator: ids in order of first appearance,
// keys of bit patterns, the class limit, and the cross sums of each class.

#include "lmm/prepare/classes.hpp"
#include "support.hpp"

namespace {

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
  for (const Vec& b : blocks) in.ztz.insert(in.ztz.end(), b.begin(), b.end());
  for (Vec* v : {&in.ztx, &in.zty})
    for (double& x : *v) x = std::uniform_int_distribution<int>(-4, 4)(rng);
  return in;
}

// Ids in order of first appearance; keys are the lower triangle's bits (signed zeros
// and NaN payloads differ), in the leading run and the map; q = 4: the long key.
TEST(Classes, FirstAppearanceIdsAndKeys) {
  const double nan2 = std::bit_cast<double>(std::bit_cast<std::uint64_t>(qkt::kNaN) | 1);
  const Vec z0{1, 0.0, 0.0, 2}, zn{1, -0.0, -0.0, 2}, nan{1, qkt::kNaN, qkt::kNaN, 2};
  Vec last(16, 1.0);
  last[15] = 4.0;
  const std::tuple<std::uint64_t, std::vector<Vec>, std::vector<std::uint32_t>> cases[] = {
      {1, {{1}, {2}, {1}, {3}, {2}}, {0, 1, 0, 2, 1}},
      {2, {z0, zn, z0, zn}, {0, 1, 0, 1}},
      {2, {nan, z0, nan}, {0, 1, 0}},
      {2, {nan, {1, nan2, nan2, 2}}, {0, 1}},
      {2, {{1, 5, 7, 2}, {1, 9, 7, 2}, {1, 5, 8, 2}, {1, 3, 7, 2}}, {0, 0, 1, 0}},  // upper triangle ignored
      {4, {Vec(16, 1.0), last, Vec(16, 1.0), Vec(16, 3.0)}, {0, 1, 0, 2}},
  };
  for (const auto& [q, blocks, ids] : cases) {
    EXPECT_EQ(class_input(q, 1, blocks).build().value().assignment, ids) << ::testing::PrintToString(ids);
  }
}

// A limit gives up beyond its classes; from group 4096 on, every 1024 groups (before
// looking at the group), also when over a quarter of the groups seen started a class.
// One shared Z'Z is one class under any limit.
TEST(Classes, LimitAndEarlyAbandonment) {
  const std::uint64_t lim = 1000000, none = qk::kUnlimitedClasses;
  const std::array<std::uint64_t, 6> cases[] = {  // m, first, late_begin, late_end, limit, classes
      {4096, 4096, 0, 0, lim, 4096},        // no test reached
      {4097, 4097, 0, 0, lim, 0},           // 4096 classes at group 4096
      {4097, 4097, 0, 0, none, 4097},       // unlimited
      {5000, 1023, 0, 0, lim, 1024},        // 1024 classes at 4096
      {5000, 1024, 0, 0, lim, 0},           // 1025 classes at 4096
      {4097, 1023, 4096, 4097, lim, 1025},  // group 4096 is tested before it starts class 1025
      {5121, 1023, 4096, 4352, lim, 1280},  // 1280 classes at 5120
      {5121, 1023, 4096, 4353, lim, 0},     // 1281 classes at 5120
      {4, 2, 0, 0, 3, 3},    {4, 2, 0, 0, 2, 0},  {1, 0, 0, 0, 0, 1}, {5000, 0, 0, 0, 0, 1},  // 3 classes of 4 groups
  };
  for (const auto& [m, first, late_begin, late_end, limit, classes] : cases) {
    std::vector<Vec> blocks;  // groups g < first and late_begin <= g < late_end start classes; the others share one
    for (std::uint64_t g = 0; g < m; ++g)
      blocks.push_back({g < first || (g >= late_begin && g < late_end) ? 1.0 + static_cast<double>(g) : 0.0});
    auto cl = class_input(1, 1, blocks).build(limit);
    EXPECT_EQ(cl ? cl->n_classes : 0, classes) << m << " groups, " << first << " first distinct, limit " << limit;
  }
}

// Per class, sums of w_a[r] w_b[s] for s >= r (w_a = row a of [Z'X | Z'y]), for a few
// classes and over 4096 (partials in a map); two identical groups sum to twice one.
TEST(Classes, CrossSumsAreUpperTrianglesOfOuterProducts) {
  const Vec a{2, 1, 1, 3};
  std::vector<Vec> blocks;
  for (std::uint64_t g = 0; g < 12000; ++g) blocks.push_back({static_cast<double>(g % 4500)});
  for (const ClassInput& in : {class_input(2, 2, {a, {2, 1, 1, 4}, a, a}, 9), class_input(1, 2, blocks, 11)}) {
    auto c = in.build();
    ASSERT_TRUE(c);
    const std::uint64_t q = in.q, p1 = in.p + 1, blk = p1 * p1;
    Vec want(c->n_classes * q * q * blk, 0.0);
    auto w = [&](std::uint64_t g, std::uint64_t a, std::uint64_t r) {
      return r < in.p ? in.ztx[(g * q + a) * in.p + r] : in.zty[g * q + a];
    };
    for (std::uint64_t g = 0; g < in.m; ++g)
      for (std::uint64_t a = 0; a < q; ++a)
        for (std::uint64_t b = 0; b < q; ++b)
          for (std::uint64_t r = 0, at = ((c->assignment[g] * q + a) * q + b) * blk; r < p1; ++r)
            for (std::uint64_t s = r; s < p1; ++s) want[at + r * p1 + s] += w(g, a, r) * w(g, b, s);
    EXPECT_EQ(c->cross_sums, want);
    EXPECT_TRUE(c->counts.front() == 3.0 && c->counts.back() == (in.m == 4 ? 1.0 : 2.0));
  }
  ClassInput one{2, 2, 1, a, {0.0, 0.1, 2.0, 1.0}, {1.0 / 3.0, 2.0}}, two{2, 2, 2, {}, {}, {}};
  for (auto [from, to] : {std::pair{&one.ztz, &two.ztz}, {&one.ztx, &two.ztx}, {&one.zty, &two.zty}})
    for (int k = 0; k < 2; ++k) to->insert(to->end(), from->begin(), from->end());
  const qk::Classes c1 = one.build().value(), c2 = two.build().value();
  Vec doubled = c1.cross_sums;
  for (double& v : doubled) v *= 2.0;
  EXPECT_TRUE(qkt::bits(c2.cross_sums) == qkt::bits(doubled) && c2.counts == Vec{2.0});
}

}  // namespace
