// Patterns' products against their definition: per pattern, Q[a][b][i][j] summed as
// r_sa[i] r_sb[j] over its subjects in subject order, compared bit for bit (rows with
// zeros of both signs, an infinity, rows read in place of the design's own).

#include "lmm/structured/structured.hpp"
#include "support.hpp"

namespace {

struct SumsCase {
  const char* name;
  bool infinite;  // one value of the rows is an infinity
  bool in_place;  // the rows handed to reduce_patterns, not held by the design
};

// 60 subjects of an unstructured correlation over 4 visits, each with a subset of the
// visits (so several patterns), rows of p = 2 and y whose values are often 0 or -0.
qk::StructuredData zero_rich_design(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  qk::StructuredData d;
  d.p = 2;
  d.structure.correlation = qk::Correlation::kUnstructured;
  d.structure.n_visits = 4;
  d.subjects = {0};
  const double values[] = {0.0, -0.0, 1.0, -2.5};
  for (int s = 0; s < 60; ++s) {
    for (std::uint32_t v = 0; v < 4; ++v) {
      if (v > 0 && rng() % 3 == 0) continue;
      d.structure.times.push_back(v);
      for (int j = 0; j < 3; ++j) d.rows.push_back(rng() % 2 ? values[rng() % 4] : normal(rng));
    }
    d.subjects.push_back(d.structure.times.size());
  }
  d.n = d.structure.times.size();
  d.groups = {0, d.subjects.size() - 1};
  return d;
}

bool same_bits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

TEST(StructuredPatterns, ProductsAreTheSubjectsSumsInSubjectOrderBitForBit) {
  const SumsCase cases[] = {
      {"zeros of both signs", false, false},
      {"an infinity", true, false},
      {"rows read in place", false, true},
  };
  for (const SumsCase& c : cases) {
    SCOPED_TRACE(c.name);
    qk::StructuredData d = zero_rich_design(17);
    const std::uint64_t k = d.k();
    if (c.infinite) {  // beside a zero of its row: 0 x inf is a NaN of the sums
      d.rows[4 * k] = 0.0;
      d.rows[4 * k + 1] = std::numeric_limits<double>::infinity();
    }
    EXPECT_EQ(qk::structured_error(d) == "", !c.infinite);
    // The definition: each pattern (its visits) in order of its first subject.
    std::map<std::vector<double>, std::size_t> index;
    std::vector<std::vector<double>> expected;
    for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s) {
      const std::uint64_t b = d.subjects[s], n = d.subjects[s + 1] - b;
      std::vector<double> key(d.structure.times.begin() + b, d.structure.times.begin() + b + n);
      auto [it, fresh] = index.emplace(key, expected.size());
      if (fresh) expected.emplace_back(n * n * k * k, 0.0);
      std::vector<double>& q = expected[it->second];
      for (std::uint64_t r = 0; r < n; ++r)
        for (std::uint64_t t = 0; t < n; ++t)
          for (std::uint64_t i = 0; i < k; ++i)
            for (std::uint64_t j = 0; j < k; ++j) {
              double& e = q[((r * n + t) * k + i) * k + j];
              e = e + d.rows[(b + r) * k + i] * d.rows[(b + t) * k + j];
            }
    }
    const std::vector<double> rows = d.rows;
    if (c.in_place) {
      d.rows.clear();
      EXPECT_EQ(qk::structured_error(d, rows.data()), "");
    }
    const qk::StructuredData out = qk::reduce_patterns(d, nullptr, c.in_place ? rows.data() : nullptr);
    ASSERT_EQ(out.pattern_products.size(), expected.size());
    for (std::size_t p = 0; p < expected.size(); ++p)
      for (std::size_t e = 0; e < expected[p].size(); ++e)
        ASSERT_TRUE(same_bits(out.pattern_products[p][e], expected[p][e]))
            << "pattern " << p << " entry " << e << ": " << out.pattern_products[p][e] << " vs " << expected[p][e];
  }
}

}  // namespace
