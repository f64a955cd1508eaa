// A pattern's products against their definition, bit for bit: Q[a][b][i][j] summed as
// r_sa[i] r_sb[j] over its subjects in subject order (rows rich in zeros of both signs;
// with an infinity beside a zero, whose product is a NaN of the sums).

#include "lmm/structured/structured.hpp"
#include "support.hpp"

namespace {

TEST(StructuredPatterns, ProductsAreTheSubjectsSumsInSubjectOrderBitForBit) {
  for (const bool infinite : {false, true}) {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal;
    qk::StructuredData d;  // 40 subjects of 4 visits (unstructured): one pattern, p = 2
    d.p = 2, d.n = 160, d.groups = {0, 40};
    d.structure.correlation = qk::Correlation::kUnstructured, d.structure.n_visits = 4;
    const double some[] = {0.0, -0.0, 1.0, -2.5};
    for (std::uint64_t r = 0; r < d.n; ++r) {
      d.structure.times.push_back(static_cast<double>(r % 4));
      for (int j = 0; j < 3; ++j) d.rows.push_back(rng() % 2 ? some[rng() % 4] : normal(rng));
      if (r % 4 == 0) d.subjects.push_back(r);
    }
    d.subjects.push_back(d.n);
    if (infinite) d.rows[15] = 0.0, d.rows[16] = std::numeric_limits<double>::infinity();
    std::vector<double> want(16 * 9, 0.0);
    for (std::uint64_t s = 0; s < 40; ++s)
      for (std::uint64_t e = 0; e < want.size(); ++e) {
        const std::uint64_t a = e / 36, b = e / 9 % 4, i = e / 3 % 3, j = e % 3;
        want[e] = want[e] + d.rows[(4 * s + a) * 3 + i] * d.rows[(4 * s + b) * 3 + j];
      }
    const qk::StructuredData out = qk::reduce_patterns(d);
    ASSERT_EQ(out.pattern_products.size(), 1u);
    for (std::size_t e = 0; e < want.size(); ++e) {
      const double got = out.pattern_products[0][e];
      const bool same = std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want[e]);
      EXPECT_TRUE(std::isnan(got) ? std::isnan(want[e]) : same) << infinite << " entry " << e << ": " << got;
    }
  }
}

}  // namespace
