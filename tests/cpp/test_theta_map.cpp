// The theta map and lme4's layout of theta over several factors' terms: the permutation
// each term order gives (worked out by hand from lme4's rule: terms by decreasing
// levels, ties in formula order), and the map's parts agreeing with its Jacobian.

#include "lmm/theta/theta_map.hpp"
#include "support.hpp"

namespace {

using Terms = std::vector<std::pair<std::size_t, std::size_t>>;

struct LayoutCase {
  const char* name;
  std::vector<std::vector<std::uint64_t>> blocks;  // per factor (the core's order)
  Terms order;                                     // lme4's
  std::vector<std::size_t> param_of_entry;         // entries = theta[param_of_entry]
  std::vector<std::uint64_t> term_sizes;
};

const LayoutCase kLayouts[] = {
    {"factor_by_factor", {{2}, {1}}, {{0, 0}, {1, 0}}, {0, 1, 2, 3}, {2, 1}},
    // (1|a) + (1|b) + (1|c) + (0+x|a), ten levels each: lme4 lists a, b, c, a.1
    {"three_cycle", {{1, 1}, {1}, {1}}, {{0, 0}, {1, 0}, {2, 0}, {0, 1}}, {0, 3, 1, 2}, {1, 1, 1, 1}},
    // the second factor's scalar term before the first's 2 x 2 block
    {"vector_term_last", {{2}, {1}}, {{1, 0}, {0, 0}}, {1, 2, 3, 0}, {1, 2}},
    {"blocks_swapped", {{1, 2}}, {{0, 1}, {0, 0}}, {3, 0, 1, 2}, {2, 1}},
};

std::vector<double> iota(std::size_t n, double from) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = from + static_cast<double>(i) * 1.5;
  return v;
}

TEST(ThetaMap, TermOrderGivesLme4sPermutationAndItsJacobianAgrees) {
  for (const LayoutCase& c : kLayouts) {
    SCOPED_TRACE(c.name);
    auto built = qk::term_layout(c.blocks, c.order);
    ASSERT_TRUE(std::holds_alternative<qk::TermLayout>(built)) << std::get<std::string>(built);
    const qk::TermLayout& layout = std::get<qk::TermLayout>(built);
    const qk::ThetaMap& map = layout.map;
    const std::size_t n = c.param_of_entry.size(), extra = 2;  // two trailing coordinates (a GLMM's beta)
    EXPECT_EQ(layout.term_sizes, c.term_sizes);
    EXPECT_EQ(map.is_identity(), c.order == qk::factor_by_factor(c.blocks));
    const std::vector<double> theta = iota(n, 0.25);
    const std::vector<double> e = map.entries(theta);
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(e[k], theta[c.param_of_entry[k]]) << k;
    EXPECT_EQ(map.params(e), theta);
    // J' g from the Jacobian, against the pull-back; the trailing coordinates pass
    const std::vector<double> jac = map.jacobian(theta);
    std::vector<double> g = iota(n + extra, -2.0), want(n + extra, 0.0);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t k = 0; k < n; ++k) want[i] += jac[k * n + i] * g[k];
    want[n] = g[n];
    want[n + 1] = g[n + 1];
    map.pull_back(theta, g);
    EXPECT_EQ(g, want);
    // an inverse Hessian over theta into the entries is J H J', and back
    const std::size_t w = n + extra;
    std::vector<double> h = iota(w * w, 1.0), moved(w * w, 0.0);
    for (std::size_t r = 0; r < w; ++r)
      for (std::size_t s = 0; s < w; ++s)
        for (std::size_t a = 0; a < w; ++a)
          for (std::size_t b = 0; b < w; ++b) {
            const double jr = r < n ? (a < n ? jac[r * n + a] : 0.0) : (a == r), js = s < n ? (b < n ? jac[s * n + b] : 0.0) : (b == s);
            moved[r * w + s] += jr * h[a * w + b] * js;
          }
    EXPECT_EQ(map.square_to_entries(h), moved);
    EXPECT_EQ(map.square_to_params(moved), h);
  }
}

TEST(ThetaMap, TermOrdersThatAreNoPermutationAreRefused) {
  const std::vector<std::vector<std::uint64_t>> blocks = {{2}, {1}};
  const std::pair<Terms, const char*> cases[] = {
      {{{0, 0}}, "each of the 2 terms once"},
      {{{0, 0}, {0, 0}}, "twice"},
      {{{0, 0}, {1, 1}}, "which the factors lack"},
      {{{0, 0}, {2, 0}}, "which the factors lack"},
  };
  for (const auto& [order, says] : cases) {
    auto built = qk::term_layout(blocks, order);
    ASSERT_TRUE(std::holds_alternative<std::string>(built));
    EXPECT_NE(std::get<std::string>(built).find(says), std::string::npos) << std::get<std::string>(built);
  }
  EXPECT_TRUE(std::holds_alternative<std::string>(qk::ThetaMap::permutation({0, 2, 2})));
}

}  // namespace
