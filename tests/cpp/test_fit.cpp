// The natural scale of theta, and a fixed effect held at a value (fixed_at); a design
// left with no column is checked from Python, as rows need one.
#include "lmm/evaluate/evaluate.hpp"
#include "lmm/prepare/derive.hpp"
#include "lmm/results/fit.hpp"
#include "support.hpp"

namespace {

using qkt::Design;

// Each entry's scale is 1 / the root mean square of its row's column of z: here an
// intercept, a slope in units 1024 times larger, and zeros (scale 1).
TEST(Fit, ThetaScaleFollowsTheUnitsOfZ) {
  Design d = qkt::make_design({.p = 2, .q = 3, .m = 60, .min_rows = 3, .max_rows = 9, .seed = 11});
  qkt::Vec ss(3, 0.0);
  for (std::size_t r = 0; r < d.n; ++r) {
    std::tie(d.z[r * 3 + 1], d.z[r * 3 + 2]) = std::pair(std::ldexp(d.z[r * 3 + 1], 10), 0.0);
    for (std::size_t j = 0; j < 3; ++j) ss[j] += d.z[r * 3 + j] * d.z[r * 3 + j] / static_cast<double>(d.n);
  }
  const double s0 = 1.0 / std::sqrt(ss[0]), s1 = 1.0 / std::sqrt(ss[1]);
  const qkt::Vec scale = qk::theta_scale(*qkt::build(d, qk::kBlocks));
  EXPECT_TRUE(qkt::all_near(scale, {s0, s1, 1.0, s1, 1.0, 1.0}, 1e-12) && s1 < 1e-2) << ::testing::PrintToString(scale);
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

// The derived design evaluates as the rows y - b x_j without column j, to rounding,
// whichever column is held (the constant one, a centred one, one used as given), on
// the blocks and the aggregated kernel; y = 7 + 2 x_1 with x_1 held at 2 fits exactly.
TEST(FixedAt, EvaluatesAsTheRowsWithTheColumnHeld) {
  const qkt::Vec theta{0.8, -0.3, 0.5};
  for (std::uint64_t templates : {0u, 4u}) {
    const Design d = qkt::make_design({.p = 3, .q = 2, .m = 60, .min_rows = 2, .max_rows = 7, .templates = templates,
                                       .mean = 1000.0});
    const qk::Evaluator kernel = templates ? qk::kAggregated : qk::kBlocks;
    auto data = qkt::build(d, kernel);
    ASSERT_TRUE(data->shift.column == 0 && data->shift.x[1] == 0.0 && data->shift.x[2] != 0.0);
    for (std::uint64_t j = 0; j < d.p; ++j)
      for (double b : {0.0, 1.75, -40.0}) {
        SCOPED_TRACE("templates " + std::to_string(templates) + " column " + std::to_string(j) + " at " + std::to_string(b));
        auto derived = qk::fixed_at(*data, j, b);
        auto direct = qkt::build(held_at(d, j, b), kernel);
        EXPECT_TRUE(derived->p == d.p - 1 && derived->kernel() == kernel);
        EXPECT_EQ(derived->shift.active(), j != 0);
        for (bool reml : {true, false}) {
          auto e = qk::evaluate(*derived, theta, reml, qk::kModeSolution);
          auto f = qk::evaluate(*direct, theta, reml, qk::kModeSolution);
          ASSERT_TRUE(e && f);
          EXPECT_TRUE(qkt::near_rel(e->deviance, f->deviance, 1e-9));
          EXPECT_TRUE(qkt::all_near(e->grad_logdet, f->grad_logdet, 1e-8) && qkt::all_near(e->grad_pwrss, f->grad_pwrss, 1e-8));
          EXPECT_TRUE(qkt::all_near(e->beta, f->beta, 1e-8) && qkt::all_near(e->fixed_inverse, f->fixed_inverse, 1e-8));
        }
      }
  }
  Design line = qkt::make_design({.p = 2, .q = 2, .m = 60, .min_rows = 2, .max_rows = 7, .mean = 1000.0});
  for (std::uint64_t r = 0; r < line.n; ++r) line.y[r] = 7.0 + 2.0 * line.x[r * 2 + 1];
  auto data = qkt::build(line, qk::kBlocks);
  EXPECT_TRUE(data->exact_fit && qk::fixed_at(*data, 1, 2.0)->exact_fit);
}

}  // namespace
