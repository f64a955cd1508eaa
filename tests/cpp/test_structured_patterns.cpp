// Patterns' products against their definition, bit for bit: per pattern, Q[a][b][i][j]
// summed as r_sa[i] r_sb[j] over its subjects in subject order (rows rich in zeros of
// both signs; with an infinity beside a zero, whose product is a NaN of the sums).

#include "lmm/structured/structured.hpp"
#include "support.hpp"

namespace {

TEST(StructuredPatterns, ProductsAreTheSubjectsSumsInSubjectOrderBitForBit) {
  for (const bool infinite : {false, true}) {
    SCOPED_TRACE(infinite ? "an infinity" : "zeros of both signs");
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal;
    qk::StructuredData d;  // 60 subjects of subsets of 4 visits (unstructured), p = 2
    d.p = 2;
    d.structure.correlation = qk::Correlation::kUnstructured;
    d.structure.n_visits = 4;
    d.subjects = {0};
    const double some[] = {0.0, -0.0, 1.0, -2.5};
    for (int s = 0; s < 60; ++s) {
      for (std::uint32_t v = 0; v < 4; ++v)
        if (v == 0 || rng() % 3) {
          d.structure.times.push_back(v);
          for (int j = 0; j < 3; ++j) d.rows.push_back(rng() % 2 ? some[rng() % 4] : normal(rng));
        }
      d.subjects.push_back(d.structure.times.size());
    }
    d.n = d.structure.times.size();
    d.groups = {0, d.subjects.size() - 1};
    const std::uint64_t k = d.k();
    if (infinite) d.rows[4 * k] = 0.0, d.rows[4 * k + 1] = std::numeric_limits<double>::infinity();
    std::map<std::vector<double>, std::size_t> index;  // the patterns in order of their first subject
    std::vector<std::vector<double>> expected;
    for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s) {
      const std::uint64_t b = d.subjects[s], n = d.subjects[s + 1] - b;
      const double* times = &d.structure.times[b];
      auto [it, fresh] = index.emplace(std::vector<double>(times, times + n), index.size());
      if (fresh) expected.emplace_back(n * n * k * k, 0.0);
      for (std::uint64_t e = 0; e < n * n * k * k; ++e) {
        const std::uint64_t r = e / (n * k * k), t = e / (k * k) % n, i = e / k % k, j = e % k;
        double& q = expected[it->second][e];
        q = q + d.rows[(b + r) * k + i] * d.rows[(b + t) * k + j];
      }
    }
    const qk::StructuredData out = qk::reduce_patterns(d);
    ASSERT_EQ(out.pattern_products.size(), expected.size());
    for (std::size_t p = 0; p < expected.size(); ++p)
      for (std::size_t e = 0; e < expected[p].size(); ++e) {
        const double got = out.pattern_products[p][e], want = expected[p][e];
        const bool same = std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want);
        ASSERT_TRUE(std::isnan(got) ? std::isnan(want) : same) << "pattern " << p << " entry " << e << ": " << got;
      }
  }
}

}  // namespace
