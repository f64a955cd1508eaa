// A fixed effect held at a value (fixed_at): the derived design evaluates as the design
// built from the rows y - b x_j without column j, whichever column is dropped (the
// constant one, a centred one, one used as given), for every kernel, and on any pool
// size to the bit. (A design left with no column at all is checked from Python against a
// dense computation: construction from rows needs a column.)
#include <optional>

#include "lmm/evaluate/evaluate.hpp"
#include "lmm/prepare/derive.hpp"
#include "support.hpp"

namespace {

using qkt::Design;
using qkt::Vec;

// Rows with an intercept, a column far from zero (centred by construction) and one
// that straddles zero (used as given), and a response with a large mean.
Design shifted_design(std::uint64_t templates, std::uint64_t p = 3) {  // p >= 2
  qkt::DesignShape shape;
  shape.p = p;
  shape.q = 2;
  shape.m = 60;
  shape.min_rows = 2;
  shape.max_rows = 7;
  shape.templates = templates;
  Design d = qkt::make_design(shape);
  for (std::uint64_t r = 0; r < d.n; ++r) {
    d.x[r * p + 1] += 1000.0;
    d.y[r] += 5000.0 + 0.3 * d.x[r * p + 1] + (p > 2 ? 2.0 * d.x[r * p + 2] : 0.0);
  }
  return d;
}

// The rows of the model with column j held at b.
Design held_at(const Design& d, std::uint64_t j, double b) {
  Design out{d.n, d.p - 1, d.q, d.m, {}, {}, d.z, d.codes, {}};
  for (std::uint64_t r = 0; r < d.n; ++r) {
    out.y.push_back(d.y[r] - b * d.x[r * d.p + j]);
    for (std::uint64_t c = 0; c < d.p; ++c)
      if (c != j) out.x.push_back(d.x[r * d.p + c]);
  }
  return out;
}

std::unique_ptr<qk::LmmData> derive_build(const Design& d, qk::Evaluator e) {
  auto built = qk::from_rows(d.rows(), d.m, e);
  EXPECT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(built));
  return std::move(std::get<0>(built));
}

void expect_same_model(const qk::LmmData& derived, const qk::LmmData& direct, bool reml, const char* what) {
  const Vec theta{0.8, -0.3, 0.5};
  auto a = qk::evaluate(derived, theta, reml, qk::kModeSolution);
  auto b = qk::evaluate(direct, theta, reml, qk::kModeSolution);
  ASSERT_TRUE(a && b) << what;
  // Different centres give the same model to rounding, not to the bit.
  EXPECT_NEAR(a->deviance, b->deviance, 1e-9 * std::fabs(b->deviance)) << what;
  for (std::size_t k = 0; k < theta.size(); ++k) {
    EXPECT_NEAR(a->grad_logdet[k], b->grad_logdet[k], 1e-8 * (1.0 + std::fabs(b->grad_logdet[k]))) << what;
    EXPECT_NEAR(a->grad_pwrss[k], b->grad_pwrss[k], 1e-8 * (1.0 + std::fabs(b->grad_pwrss[k]))) << what;
  }
  ASSERT_EQ(a->beta.size(), b->beta.size()) << what;
  for (std::size_t k = 0; k < b->beta.size(); ++k)
    EXPECT_NEAR(a->beta[k], b->beta[k], 1e-8 * (1.0 + std::fabs(b->beta[k]))) << what << " beta " << k;
  for (std::size_t k = 0; k < b->fixed_inverse.size(); ++k)
    EXPECT_NEAR(a->fixed_inverse[k], b->fixed_inverse[k], 1e-8 * (1.0 + std::fabs(b->fixed_inverse[k]))) << what;
}

TEST(FixedAt, EvaluatesAsTheRowsWithTheColumnHeld) {
  for (std::uint64_t templates : {0u, 4u}) {
    const Design d = shifted_design(templates);
    const qk::Evaluator kernel = templates ? qk::kAggregated : qk::kBlocks;
    auto data = derive_build(d, kernel);
    ASSERT_TRUE(data->shift.active());
    ASSERT_EQ(data->shift.column, 0);
    ASSERT_NE(data->shift.x[1], 0.0);  // the column far from zero is centred
    ASSERT_EQ(data->shift.x[2], 0.0);
    for (std::uint64_t j = 0; j < d.p; ++j)
      for (double b : {0.0, 1.75, -40.0}) {
        auto derived = qk::fixed_at(*data, j, b);
        auto direct = derive_build(held_at(d, j, b), kernel);
        EXPECT_EQ(derived->p, d.p - 1);
        EXPECT_EQ(derived->shift.active(), j != 0);  // the constant column leaves no shift
        EXPECT_EQ(derived->kernel(), kernel);
        const std::string what = "templates " + std::to_string(templates) + " column " + std::to_string(j) +
                                 " at " + std::to_string(b);
        for (bool reml : {true, false}) expect_same_model(*derived, *direct, reml, what.c_str());
      }
  }
}

TEST(FixedAt, TheValueThatFitsExactlyIsInfeasible) {
  // y = 2 x_1 exactly plus a constant: holding x_1 at 2 leaves a constant response.
  Design d = shifted_design(0, 2);
  for (std::uint64_t r = 0; r < d.n; ++r) d.y[r] = 7.0 + 2.0 * d.x[r * 2 + 1];
  auto data = derive_build(d, qk::kBlocks);
  EXPECT_TRUE(data->exact_fit);
  EXPECT_TRUE(qk::fixed_at(*data, 1, 2.0)->exact_fit);
}

TEST(FixedAt, SameBitsForAnyPoolSize) {
  const Design d = shifted_design(0);
  qkt::same_bits_for_pool_sizes(
      [&] {
        auto data = derive_build(d, qk::kBlocks);
        auto derived = qk::fixed_at(*data, 1, 0.5);
        auto ev = qk::evaluate(*derived, {0.8, -0.3, 0.5}, true, qk::kModeGradient);
        return qkt::bits(derived->ztx) + qkt::bits(derived->zty) + qkt::bits(derived->xtx) +
               qkt::bits(Vec{ev->deviance}) + qkt::bits(ev->gradient);
      },
      100);
}

}  // namespace
