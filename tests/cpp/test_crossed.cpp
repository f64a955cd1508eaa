// The crossed core against the dense solution of the same model (Z, Lambda and the
// augmented system formed explicitly), against the one-factor core, and for the layout
// it chooses.

#include "lmm/crossed/crossed.hpp"
#include "lmm/crossed/factor.hpp"
#include "lmm/evaluate/evaluate.hpp"
#include "dense_reference.hpp"

namespace {

using qkt::Vec;
namespace cr = qk::crossed;

enum class Shape { kCrossed, kNested, kPartial, kThreeLevel, kOneFactor };

struct CrossedCase;
void PrintTo(const CrossedCase& c, std::ostream* os);
struct CrossedCase {
  const char* name;
  Shape shape;
  std::vector<std::uint64_t> m, q;
  std::vector<std::vector<std::uint64_t>> blocks;
  std::uint64_t n, p;
  bool weighted;
  std::vector<std::string> kinds;  // expected storage of each factor
};

void PrintTo(const CrossedCase& c, std::ostream* os) { *os << c.name; }

// Owned rows of a seeded model.
struct CrossedData {
  std::uint64_t n = 0, p = 0;
  Vec y, x, w;
  std::vector<std::vector<std::int64_t>> codes;
  std::vector<Vec> z;
  std::vector<std::uint64_t> m, q;
  cr::CrossedRows rows() const {
    cr::CrossedRows r{n, p, y.data(), x.data(), w.empty() ? nullptr : w.data(), {}};
    for (std::size_t j = 0; j < m.size(); ++j) r.factors.push_back({codes[j].data(), m[j], z[j].data(), q[j]});
    return r;
  }
};

CrossedData simulate(const CrossedCase& c, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> nd;
  std::uniform_real_distribution<double> ud(0.5, 2.0);
  CrossedData d{c.n, c.p, {}, {}, {}, {}, {}, c.m, c.q};
  const std::size_t k = c.m.size();
  d.codes.assign(k, std::vector<std::int64_t>(c.n));
  for (std::uint64_t r = 0; r < c.n; ++r) {
    switch (c.shape) {
      case Shape::kNested:      // factor 0 (a:b) nested in factor 1 (a)
      case Shape::kThreeLevel:  // 0 in 1 in 2
        d.codes[0][r] = static_cast<std::int64_t>(r % c.m[0]);
        for (std::size_t j = 1; j < k; ++j) d.codes[j][r] = d.codes[j - 1][r] % static_cast<std::int64_t>(c.m[j]);
        break;
      case Shape::kPartial:  // factor 1 meets only about half of factor 0's levels per level
        d.codes[0][r] = static_cast<std::int64_t>(r % c.m[0]);
        d.codes[1][r] = static_cast<std::int64_t>((r % c.m[0]) / 2 + rng() % 2) % static_cast<std::int64_t>(c.m[1]);
        break;
      default:
        for (std::size_t j = 0; j < k; ++j) d.codes[j][r] = static_cast<std::int64_t>(j == 0 ? r % c.m[0] : rng() % c.m[j]);
    }
  }
  for (std::size_t j = 0; j < k; ++j) {
    d.z.emplace_back(c.n * c.q[j]);
    for (std::uint64_t r = 0; r < c.n; ++r)
      for (std::uint64_t a = 0; a < c.q[j]; ++a) d.z[j][r * c.q[j] + a] = a == 0 ? 1.0 : nd(rng);
  }
  d.x.resize(c.n * c.p);
  d.y.resize(c.n);
  for (std::uint64_t r = 0; r < c.n; ++r) {
    for (std::uint64_t a = 0; a < c.p; ++a) d.x[r * c.p + a] = a == 0 ? 1.0 : nd(rng);
    double eta = 2.0 + (c.p > 1 ? d.x[r * c.p + 1] : 0.0);
    for (std::size_t j = 0; j < k; ++j) eta = eta + 0.7 * std::sin(3.0 * static_cast<double>(d.codes[j][r]) + 1.0 + j);
    d.y[r] = eta + nd(rng);
  }
  if (c.weighted) {
    d.w.resize(c.n);
    for (double& v : d.w) v = ud(rng);
  }
  return d;
}

std::unique_ptr<cr::Design> design_of(const CrossedData& data, const CrossedCase& c) {
  auto pr = cr::products_of(data.rows());
  EXPECT_TRUE(std::holds_alternative<cr::Products>(pr)) << qkt::refusal(pr);
  auto d = cr::make_design(std::get<cr::Products>(std::move(pr)), c.blocks);
  EXPECT_TRUE(std::holds_alternative<std::unique_ptr<cr::Design>>(d)) << qkt::refusal(d);
  return std::get<std::unique_ptr<cr::Design>>(std::move(d));
}

// The model's first r rows as new rows, factor j's level unseen (-1) in rows j,
// j + every, ...: `levels` holds the levels the rows point to.
cr::PredictionRows own_rows(const CrossedData& data, std::uint64_t r, std::uint64_t every,
                            std::vector<std::vector<std::int64_t>>& levels) {
  cr::PredictionRows rows{r, data.x.data(), {}, {}};
  for (std::size_t j = 0; j < data.m.size(); ++j) {
    levels.emplace_back(data.codes[j].begin(), data.codes[j].begin() + static_cast<std::ptrdiff_t>(r));
    for (std::uint64_t i = j; i < r; i += every) levels[j][i] = -1;
  }
  for (std::size_t j = 0; j < data.m.size(); ++j) {
    rows.levels.push_back(levels[j].data());
    rows.z.push_back(data.z[j].data());
  }
  return rows;
}

// A theta with every free entry away from its default.
Vec trial_theta(const cr::Design& d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ud(0.3, 1.4);
  Vec th = cr::default_theta(d);
  for (double& v : th) v = v == 1.0 ? ud(rng) : ud(rng) - 0.85;
  return th;
}

// The dense solution of the model at theta.
qkt::DenseSolution dense_reference(const CrossedData& data, const cr::Design& d, const Vec& theta, bool reml) {
  std::vector<qkt::DenseFactor> factors;
  for (std::size_t j = 0; j < data.m.size(); ++j)
    factors.push_back({data.codes[j].data(), data.m[j], data.q[j], data.z[j].data(), cr::lambda_of(d, theta, j)});
  return qkt::dense_solution(data.n, data.p, data.y, data.x, data.w, factors, reml).value();
}

const CrossedCase kCrossedCases[] = {
    {"crossed", Shape::kCrossed, {13, 7}, {1, 1}, {{1}, {1}}, 80, 2, false, {"diagonal", "dense"}},
    {"crossed_weighted_vector", Shape::kCrossed, {11, 6}, {2, 2}, {{2}, {1, 1}}, 90, 2, true, {"diagonal", "dense"}},
    {"three_crossed", Shape::kCrossed, {12, 6, 3}, {1, 2, 1}, {{1}, {2}, {1}}, 100, 3, false,
     {"diagonal", "dense", "dense"}},
    {"nested", Shape::kNested, {12, 4}, {1, 1}, {{1}, {1}}, 72, 1, false, {"diagonal", "diagonal"}},
    {"nested_vector", Shape::kNested, {10, 5}, {2, 1}, {{2}, {1}}, 70, 2, true, {"diagonal", "diagonal"}},
    {"three_level", Shape::kThreeLevel, {18, 6, 3}, {1, 1, 2}, {{1}, {1}, {2}}, 90, 2, false,
     {"diagonal", "diagonal", "diagonal"}},
    {"partial", Shape::kPartial, {14, 7}, {1, 1}, {{1}, {1}}, 84, 2, false, {"diagonal", "dense"}},
    {"one_factor", Shape::kOneFactor, {9}, {2}, {{2}}, 60, 2, true, {"diagonal"}},
    // no fixed effects at all, as when a profile holds the only one
    {"no_fixed_effects", Shape::kCrossed, {13, 7}, {1, 1}, {{1}, {1}}, 80, 0, true, {"diagonal", "dense"}},
};

class CrossedAgainstDense : public ::testing::TestWithParam<CrossedCase> {};

TEST_P(CrossedAgainstDense, CriterionSolutionAndLayout) {
  const CrossedCase& c = GetParam();
  const CrossedData data = simulate(c, 11);
  auto d = design_of(data, c);
  for (std::size_t j = 0; j < c.m.size(); ++j)
    EXPECT_EQ(j < d->layout.diagonal ? "diagonal" : "dense", c.kinds[j]) << "factor " << j;
  for (bool reml : {true, false}) {
    const Vec th = trial_theta(*d, 3);
    const qkt::DenseSolution ref = dense_reference(data, *d, th, reml);
    auto s = cr::evaluate(*d, th, reml, qk::kModeSolution);
    ASSERT_TRUE(s);
    EXPECT_NEAR(s->ev.deviance, ref.deviance, 1e-10 * std::fabs(ref.deviance)) << reml;
    EXPECT_TRUE(qkt::all_near(s->ev.beta, ref.beta, 1e-8));
    Vec u, cond_var;  // factor after factor, as the reference lists them
    for (std::size_t j = 0; j < c.m.size(); ++j) {
      u.insert(u.end(), s->u[j].begin(), s->u[j].end());
      cond_var.insert(cond_var.end(), s->cond_var[j].begin(), s->cond_var[j].end());
    }
    EXPECT_TRUE(qkt::all_near(u, ref.u, 1e-8));
    EXPECT_TRUE(qkt::all_near(cond_var, ref.cond_cov, 1e-8));
    // The gradient, alone and with the solution, against fourth-order central
    // differences of the criterion (truncation h^4, rounding eps |f| / h: about 1e-10).
    const auto g = cr::evaluate(*d, th, reml, qk::kModeGradient);
    ASSERT_TRUE(g);
    const auto dev = [&](const Vec& at) { return cr::evaluate(*d, at, reml, qk::kModeDeviance)->ev.deviance; };
    const Vec fd = qkt::differences(dev, th, 2e-3);
    EXPECT_TRUE(qkt::all_near(s->ev.gradient, fd, 1e-7)) << reml;
    EXPECT_TRUE(qkt::all_near(g->ev.gradient, fd, 1e-7)) << reml;
    // The model's own rows, a level left out now and then: their leverages from the
    // selected inverse are their prediction variances through the factor.
    std::vector<std::vector<std::int64_t>> levels;
    const cr::PredictionRows rows = own_rows(data, data.n, 7, levels);
    const auto f = cr::factorize(*d, th, reml);
    ASSERT_TRUE(f);
    const Vec want = cr::prediction_variance(*d, *f, rows), got = cr::leverages(*d, *f, rows);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t r = 0; r < want.size(); ++r)
      EXPECT_NEAR(got[r], want[r], 1e-11 * std::max(1.0, want[r])) << "row " << r << " reml " << reml;
  }
}

// The system over Z alone from the factor of a design with X: its solve and its
// leverages are those of the design without X (the dense reference's modes, and the
// prediction variances through that design's own factor).
TEST_P(CrossedAgainstDense, SystemOverZAloneFromAnyFactor) {
  const CrossedCase& c = GetParam();
  const CrossedData data = simulate(c, 13);
  CrossedData plain = data;
  plain.p = 0;
  plain.x.clear();
  CrossedCase c0 = c;
  c0.p = 0;
  auto d = design_of(data, c);
  auto d0 = design_of(plain, c0);
  const Vec th = trial_theta(*d, 5);
  const qkt::DenseSolution ref = dense_reference(plain, *d0, th, false);
  // Lambda'Z'Wy per level: the right-hand side whose solution is the modes.
  std::vector<Vec> r(c.m.size());
  for (std::size_t j = 0; j < c.m.size(); ++j) {
    const std::uint64_t q = c.q[j];
    const Vec lam = cr::lambda_of(*d, th, j);
    r[j].assign(c.m[j] * q, 0.0);
    for (std::uint64_t row = 0; row < data.n; ++row) {
      const double wy = (data.w.empty() ? 1.0 : data.w[row]) * data.y[row];
      const double* z = data.z[j].data() + row * q;
      for (std::uint64_t a = 0; a < q; ++a)
        for (std::uint64_t b = a; b < q; ++b)
          r[j][static_cast<std::uint64_t>(data.codes[j][row]) * q + a] += lam[b * q + a] * z[b] * wy;
    }
  }
  std::vector<std::vector<std::int64_t>> levels;
  cr::PredictionRows rows = own_rows(data, data.n, 5, levels);
  const auto f0 = cr::factorize(*d0, th, false);
  ASSERT_TRUE(f0);
  const Vec want_lev = cr::prediction_variance(*d0, *f0, rows);
  for (bool reml : {false, true}) {  // the Z part of the factor does not depend on it
    for (const cr::Design* dd : {d.get(), d0.get()}) {
      const auto f = cr::factorize(*dd, th, reml);
      ASSERT_TRUE(f);
      const std::vector<Vec> x = cr::solve_z(*dd, *f, r);
      Vec u;
      for (const Vec& xj : x) u.insert(u.end(), xj.begin(), xj.end());
      EXPECT_TRUE(qkt::all_near(u, ref.u, 1e-9)) << "p " << dd->pr.p << " reml " << reml;
      rows.x = nullptr;
      const Vec got = cr::leverages(*dd, *f, rows);
      rows.x = data.x.data();
      ASSERT_EQ(got.size(), want_lev.size());
      for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want_lev[i], 1e-11 * std::max(1.0, want_lev[i])) << "row " << i << " p " << dd->pr.p;
    }
  }
  EXPECT_THROW(cr::solve_z(*d, *f0, {}), std::invalid_argument);  // no right-hand side per factor
}

// A row whose pair of levels the design's rows do not have lies off the selected
// inverse's pattern: refused, not misread.
TEST(CrossedCore, LeveragesRefuseAPairOffThePattern) {
  const CrossedCase& c = kCrossedCases[0];
  const CrossedData data = simulate(c, 11);
  auto d = design_of(data, c);
  ASSERT_EQ(d->layout.diagonal, 1u);
  std::vector<std::vector<bool>> seen(c.m[0], std::vector<bool>(c.m[1], false));
  for (std::uint64_t r = 0; r < data.n; ++r)
    seen[static_cast<std::size_t>(data.codes[0][r])][static_cast<std::size_t>(data.codes[1][r])] = true;
  std::vector<std::int64_t> l0{-1}, l1{-1};
  for (std::size_t a = 0; a < c.m[0] && l0[0] < 0; ++a)
    for (std::size_t b = 0; b < c.m[1] && l0[0] < 0; ++b)
      if (!seen[a][b]) l0 = {static_cast<std::int64_t>(a)}, l1 = {static_cast<std::int64_t>(b)};
  ASSERT_GE(l0[0], 0) << "every pair occurs";
  const Vec x(c.p, 1.0), z{1.0};
  const cr::PredictionRows rows{1, x.data(), {l0.data(), l1.data()}, {z.data(), z.data()}};
  const auto f = cr::factorize(*d, trial_theta(*d, 3), true);
  ASSERT_TRUE(f);
  EXPECT_THROW(cr::leverages(*d, *f, rows), std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(Layouts, CrossedAgainstDense, ::testing::ValuesIn(kCrossedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The fit from the default start reaches a point whose gradient vanishes.
TEST(CrossedCore, FitConverges) {
  const CrossedCase& c = kCrossedCases[2];
  const CrossedData data = simulate(c, 21);
  auto d = design_of(data, c);
  const qk::OptimResult r = cr::fit(*d, cr::default_theta(*d), true, qk::MinimizeOptions{});
  EXPECT_TRUE(r.converged) << r.message;
  EXPECT_LT(r.grad_inf_norm, 1e-4);
  EXPECT_LT(r.fev, 60u);
}

// The first case grown to a dense block of two tiles (300 levels, X and y).
CrossedCase two_tile_case() {
  CrossedCase c = kCrossedCases[0];
  c.n = 20000;
  c.m = {600, 300};
  return c;
}

// Products, criterion, gradient, solution and prediction variances; and scalar terms
// (the gradient's shortcut through S^-1) on a dense block of two tiles, evaluated
// reusing one Scratch as a fit does, which must give the bits of fresh evaluations.
// All of it the same bits for pools of 1, 2 and 7.
TEST(CrossedCore, SameBitsForAnyPoolSize) {
  CrossedCase c = kCrossedCases[1];
  c.n = 300000;  // several chunks, run on the pool
  c.m = {400, 150};  // a dense block of several tiles, its updates row by row on the pool
  const std::string bits = qkt::same_bits_for_pool_sizes([&] {
    const CrossedData data = simulate(c, 2);
    auto d = design_of(data, c);
    const Vec theta = trial_theta(*d, 1);
    auto s = cr::evaluate(*d, theta, true, qk::kModeSolution);
    qkt::Bytes out;
    out.f64(s->ev.deviance).vec(s->ev.gradient).vec(s->ev.beta);
    for (const Vec& u : s->u) out.vec(u);
    for (const Vec& v : s->cond_var) out.vec(v);
    // the first rows as new rows, with a level of one factor or the other unseen
    std::vector<std::vector<std::int64_t>> levels;
    out.vec(*cr::prediction_variance(*d, theta, true, own_rows(data, 20000, 5, levels)));
    const CrossedCase tiles = two_tile_case();
    const CrossedData tiled = simulate(tiles, 6);
    auto dt = design_of(tiled, tiles);
    cr::Scratch scratch;
    std::optional<cr::Factor> last;
    std::string report;
    for (std::uint64_t seed : {1, 2, 3}) {
      const Vec th = trial_theta(*dt, seed);
      if (last) cr::recycle(*last, scratch);
      last = cr::factorize(*dt, th, true, &scratch);
      const cr::Solution reused = cr::solution_of(*dt, *last, true, qk::kModeGradient, true, nullptr, &scratch);
      const auto fresh = cr::evaluate(*dt, th, true, qk::kModeGradient);
      const std::string fresh_bits = qkt::Bytes().f64(fresh->ev.deviance).vec(fresh->ev.gradient).buf;
      if (qkt::Bytes().f64(reused.ev.deviance).vec(reused.ev.gradient).buf != fresh_bits) report += "reused differs;";
      out.add(fresh_bits.data(), fresh_bits.size());
    }
    return report + "\n" + out.buf;
  }, 64);
  EXPECT_EQ(bits.substr(0, bits.find('\n')), "");
}

// A fit's arrays come back as the process's spare and the next fit takes them: its
// result is the fresh fit's, bit for bit; arrays above the cap are not kept.
TEST(CrossedCore, SpareStorageBetweenFits) {
  const CrossedCase c = two_tile_case();
  const CrossedData data = simulate(c, 6);
  auto d = design_of(data, c);
  cr::take_scratch();  // none spare to begin with
  const auto run = [&] {
    std::optional<cr::Solution> sol;
    const qk::OptimResult r = cr::fit(*d, cr::start_theta(*d, true), true, qk::MinimizeOptions{}, &sol, false);
    return qkt::Bytes().vec(r.theta).f64(r.deviance).vec(sol->ev.gradient).buf;
  };
  const auto first = run();
  cr::Scratch spare = cr::take_scratch();
  EXPECT_GE(spare.dense.capacity(), 301u * 301u);  // the dense block of the 300 levels, X and y
  cr::keep_scratch(std::move(spare));
  EXPECT_EQ(run(), first);
  cr::Scratch huge;
  huge.dense.resize(cr::kSpareBytes / sizeof(double) + 1);
  cr::keep_scratch(std::move(huge));
  EXPECT_LT(cr::take_scratch().dense.capacity() * sizeof(double), cr::kSpareBytes);
}

// Products of two batches reduced with one shift and merged: those of all rows (the
// same pairs, sums to rounding), checked; a batch whose constant column differs from
// the shift's, and tampered products, refused.
TEST(CrossedCore, BatchesMergeToTheProductsOfAllRows) {
  const CrossedCase& c = kCrossedCases[2];
  const CrossedData data = simulate(c, 9);
  const cr::CrossedRows all = data.rows();
  const qk::Shift shift = qk::choose_shift(qk::Rows{all.y, all.x, nullptr, nullptr, all.n, all.p, 0, all.w});
  ASSERT_TRUE(shift.active());
  cr::CrossedRows first = all, second = all;
  first.n = all.n / 3;
  second.n = all.n - first.n;
  second.y += first.n;
  second.x += first.n * all.p;
  if (second.w) second.w += first.n;
  for (std::size_t j = 0; j < all.factors.size(); ++j) {
    second.factors[j].codes += first.n;
    second.factors[j].z += first.n * all.factors[j].q;
  }
  auto a = cr::products_of(first, shift), b = cr::products_of(second, shift), whole = cr::products_of(all, shift);
  cr::Products merged = std::get<cr::Products>(a);
  cr::merge(merged, std::get<cr::Products>(b));
  const cr::Products& w = std::get<cr::Products>(whole);
  const auto near = [](const Vec& u, const Vec& v) {
    ASSERT_EQ(u.size(), v.size());
    double scale = 1.0;
    for (double e : v) scale = std::max(scale, std::abs(e));
    for (std::size_t i = 0; i < u.size(); ++i) EXPECT_NEAR(u[i], v[i], 1e-13 * scale) << i;
  };
  EXPECT_EQ(cr::check_products(merged), std::nullopt);
  EXPECT_EQ(merged.n, w.n);
  near(merged.xtx, w.xtx);
  for (std::size_t j = 0; j < w.ztz.size(); ++j) near(merged.ztx[j], w.ztx[j]);
  for (std::size_t t = 0; t < w.cross.size(); ++t) {
    EXPECT_EQ(merged.cross[t].keys, w.cross[t].keys);
    near(merged.cross[t].values, w.cross[t].values);
  }
  qk::Shift other = shift;
  other.value = 2.0;
  EXPECT_NE(qkt::refusal(cr::products_of(first, other)).find("does not hold the shift's constant in row 0"),
            std::string::npos);
  std::swap(merged.cross[0].keys[0], merged.cross[0].keys[1]);
  EXPECT_EQ(qkt::refusal(cr::check_products(merged)), "cross block (0, 1): pairs are not strictly increasing");
  std::swap(merged.cross[0].keys[0], merged.cross[0].keys[1]);
  merged.cross[0].keys.back() = merged.m[0] * merged.m[1];
  EXPECT_EQ(qkt::refusal(cr::check_products(merged)), "cross block (0, 1): a pair of levels is out of range");
}

}  // namespace
