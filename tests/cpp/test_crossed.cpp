// The crossed core against an independent dense computation of the same criterion
// (Z, Lambda and the augmented system formed explicitly and factored by the small
// dense Cholesky), against the one-factor core, and for the layout it chooses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "linalg/dense.hpp"
#include "lmm/crossed/crossed.hpp"
#include "lmm/crossed/factor.hpp"
#include "lmm/evaluate/evaluate.hpp"
#include "support.hpp"

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
    cr::CrossedRows r;
    r.n = n;
    r.p = p;
    r.y = y.data();
    r.x = x.data();
    r.w = w.empty() ? nullptr : w.data();
    for (std::size_t j = 0; j < m.size(); ++j) r.factors.push_back({codes[j].data(), m[j], z[j].data(), q[j]});
    return r;
  }
};

CrossedData simulate(const CrossedCase& c, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> nd;
  std::uniform_real_distribution<double> ud(0.5, 2.0);
  CrossedData d;
  d.n = c.n;
  d.p = c.p;
  d.m = c.m;
  d.q = c.q;
  const std::size_t k = c.m.size();
  d.codes.assign(k, std::vector<std::int64_t>(c.n));
  for (std::uint64_t r = 0; r < c.n; ++r) {
    switch (c.shape) {
      case Shape::kNested:  // factor 0 (a:b) nested in factor 1 (a)
        d.codes[0][r] = static_cast<std::int64_t>(r % c.m[0]);
        d.codes[1][r] = d.codes[0][r] % static_cast<std::int64_t>(c.m[1]);
        break;
      case Shape::kThreeLevel:  // 0 in 1 in 2
        d.codes[0][r] = static_cast<std::int64_t>(r % c.m[0]);
        d.codes[1][r] = d.codes[0][r] % static_cast<std::int64_t>(c.m[1]);
        d.codes[2][r] = d.codes[1][r] % static_cast<std::int64_t>(c.m[2]);
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

// A theta with every free entry away from its default.
Vec trial_theta(const cr::Design& d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ud(0.3, 1.4);
  Vec th = cr::default_theta(d);
  for (double& v : th) v = v == 1.0 ? ud(rng) : ud(rng) - 0.85;
  return th;
}

struct Dense {
  double deviance;
  Vec beta, b;      // b over all factors' levels
  Vec cond_var_diag;  // per Z row: Var(b | y) diagonal
};

// The textbook route: dense Z, Lambda and M = [Lambda'Z'WZ Lambda + I, Lambda'Z'WX; ., X'WX].
Dense dense_reference(const CrossedData& data, const cr::Design& d, const Vec& theta, bool reml) {
  const std::size_t k = data.m.size(), n = data.n, p = data.p;
  std::vector<std::size_t> off{0};
  for (std::size_t j = 0; j < k; ++j) off.push_back(off.back() + data.m[j] * data.q[j]);
  const std::size_t big_q = off.back(), s = big_q + p;
  Vec zl(n * big_q, 0.0);  // Z Lambda
  Vec lam(big_q * big_q, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    const Vec lj = cr::lambda_of(d, theta, j);
    const std::size_t q = data.q[j];
    for (std::size_t l = 0; l < data.m[j]; ++l)
      for (std::size_t a = 0; a < q; ++a)
        for (std::size_t c = 0; c < q; ++c) lam[(off[j] + l * q + a) * big_q + off[j] + l * q + c] = lj[a * q + c];
    for (std::size_t r = 0; r < n; ++r) {
      const std::size_t base = off[j] + static_cast<std::size_t>(data.codes[j][r]) * q;
      for (std::size_t c = 0; c < q; ++c) {
        double v = 0.0;
        for (std::size_t a = 0; a < q; ++a) v += data.z[j][r * q + a] * lj[a * q + c];
        zl[r * big_q + base + c] = v;
      }
    }
  }
  // Columns [Z Lambda, X, y], weighted Gram matrix.
  const std::size_t t = s + 1;
  auto col = [&](std::size_t r, std::size_t c) {
    return c < big_q ? zl[r * big_q + c] : c < s ? data.x[r * p + c - big_q] : data.y[r];
  };
  Vec g(t * t, 0.0);
  double logw = 0.0;
  for (std::size_t r = 0; r < n; ++r) {
    const double w = data.w.empty() ? 1.0 : data.w[r];
    logw += std::log(w);
    for (std::size_t a = 0; a < t; ++a)
      for (std::size_t c = 0; c < t; ++c) g[a * t + c] += w * col(r, a) * col(r, c);
  }
  for (std::size_t a = 0; a < big_q; ++a) g[a * t + a] += 1.0;
  Vec a_zz(big_q * big_q), m(s * s), rhs(s);
  for (std::size_t a = 0; a < s; ++a) {
    rhs[a] = g[a * t + s];
    for (std::size_t c = 0; c < s; ++c) {
      m[a * s + c] = g[a * t + c];
      if (a < big_q && c < big_q) a_zz[a * big_q + c] = g[a * t + c];
    }
  }
  Vec a_inv = a_zz;
  EXPECT_TRUE(qk::cholesky_in_place(a_zz.data(), big_q));
  const double ldl2 = qk::log_det(a_zz.data(), big_q);
  qk::cholesky_inverse(a_zz.data(), big_q, a_inv.data());
  EXPECT_TRUE(qk::cholesky_in_place(m.data(), s));
  const double ldm = qk::log_det(m.data(), s);
  Vec sol = rhs;
  qk::forward_solve(m.data(), s, sol.data(), 1);
  double ss = 0.0;
  for (double v : sol) ss += v * v;
  qk::backward_solve(m.data(), s, sol.data(), 1);
  const double pwrss = g[s * t + s] - ss;
  const double nu = static_cast<double>(reml ? n - p : n);
  Dense out;
  out.deviance = ldl2 + (reml ? ldm - ldl2 : 0.0) + nu * (1.0 + std::log(2.0 * M_PI * pwrss / nu)) -
                 (data.w.empty() ? 0.0 : logw);
  out.beta.assign(sol.begin() + static_cast<std::ptrdiff_t>(big_q), sol.end());
  out.b.assign(big_q, 0.0);
  for (std::size_t a = 0; a < big_q; ++a)
    for (std::size_t c = 0; c < big_q; ++c) out.b[a] += lam[a * big_q + c] * sol[c];
  // Var(b | y) = sigma^2 Lambda A^-1 Lambda', diagonal.
  for (std::size_t a = 0; a < big_q; ++a) {
    double v = 0.0;
    for (std::size_t c = 0; c < big_q; ++c)
      for (std::size_t e = 0; e < big_q; ++e) v += lam[a * big_q + c] * a_inv[c * big_q + e] * lam[a * big_q + e];
    out.cond_var_diag.push_back(v * pwrss / nu);
  }
  return out;
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
    const Dense ref = dense_reference(data, *d, th, reml);
    auto s = cr::evaluate(*d, th, reml, qk::kModeSolution);
    ASSERT_TRUE(s);
    EXPECT_NEAR(s->ev.deviance, ref.deviance, 1e-9 * std::fabs(ref.deviance)) << reml;
    for (std::size_t a = 0; a < ref.beta.size(); ++a) EXPECT_NEAR(s->ev.beta[a], ref.beta[a], 1e-8);
    std::size_t at = 0;
    for (std::size_t j = 0; j < c.m.size(); ++j) {
      const Vec lj = cr::lambda_of(*d, th, j);
      const std::size_t q = c.q[j];
      for (std::size_t l = 0; l < c.m[j]; ++l)
        for (std::size_t a = 0; a < q; ++a, ++at) {
          double b = 0.0;
          for (std::size_t e = 0; e < q; ++e) b += lj[a * q + e] * s->u[j][l * q + e];
          EXPECT_NEAR(b, ref.b[at], 1e-8) << "b of factor " << j << " level " << l;
          EXPECT_NEAR(s->cond_var[j][(l * q + a) * q + a], ref.cond_var_diag[at], 1e-8) << "factor " << j;
        }
    }
    // The gradient, alone and with the solution, against fourth-order central
    // differences of the criterion (truncation h^4, rounding eps |f| / h: about 1e-10).
    const auto g = cr::evaluate(*d, th, reml, qk::kModeGradient);
    ASSERT_TRUE(g);
    const auto dev = [&](Vec at) { return cr::evaluate(*d, at, reml, qk::kModeDeviance)->ev.deviance; };
    for (std::size_t t = 0; t < th.size(); ++t) {
      const double h = 1e-3;
      Vec p1 = th, m1 = th, p2 = th, m2 = th;
      p1[t] += h;
      m1[t] -= h;
      p2[t] += 2 * h;
      m2[t] -= 2 * h;
      const double fd = (8.0 * (dev(p1) - dev(m1)) - (dev(p2) - dev(m2))) / (12.0 * h);
      const double tol = 1e-7 * std::max(1.0, std::fabs(fd));
      EXPECT_NEAR(s->ev.gradient[t], fd, tol) << "theta " << t << " reml " << reml;
      EXPECT_NEAR(g->ev.gradient[t], fd, tol) << "theta " << t << " reml " << reml;
    }
    // The model's own rows, a level left out now and then: their leverages from the
    // selected inverse are their prediction variances through the factor.
    cr::PredictionRows rows;
    rows.r = data.n;
    rows.x = data.x.data();
    std::vector<std::vector<std::int64_t>> levels = data.codes;
    for (std::size_t j = 0; j < levels.size(); ++j) {
      for (std::uint64_t r = j; r < data.n; r += 7) levels[j][r] = -1;
      rows.levels.push_back(levels[j].data());
      rows.z.push_back(data.z[j].data());
    }
    const auto f = cr::factorize(*d, th, reml);
    ASSERT_TRUE(f);
    const Vec want = cr::prediction_variance(*d, *f, rows), got = cr::leverages(*d, *f, rows);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t r = 0; r < want.size(); ++r)
      EXPECT_NEAR(got[r], want[r], 1e-11 * std::max(1.0, want[r])) << "row " << r << " reml " << reml;
  }
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
  cr::PredictionRows rows;
  rows.r = 1;
  rows.x = x.data();
  rows.levels = {l0.data(), l1.data()};
  rows.z = {z.data(), z.data()};
  const auto f = cr::factorize(*d, trial_theta(*d, 3), true);
  ASSERT_TRUE(f);
  EXPECT_THROW(cr::leverages(*d, *f, rows), std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(Layouts, CrossedAgainstDense, ::testing::ValuesIn(kCrossedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// K = 1: the one-factor core's criterion, gradient and beta at the same theta.
TEST(CrossedCore, OneFactorAgreesWithLmmCore) {
  const CrossedCase& c = kCrossedCases[7];
  const CrossedData data = simulate(c, 5);
  auto d = design_of(data, c);
  qk::Rows rows{data.y.data(), data.x.data(), data.z[0].data(), data.codes[0].data(), data.n, data.p, data.q[0],
                data.w.data()};
  auto one = qk::from_rows(rows, c.m[0], qk::kBlocks);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(one));
  auto& od = *std::get<std::unique_ptr<qk::LmmData>>(one);
  qk::set_blocks(od, c.blocks[0]);
  for (bool reml : {true, false}) {
    const Vec th = trial_theta(*d, 8);
    auto a = cr::evaluate(*d, th, reml, qk::kModeGradient);
    auto b = qk::evaluate(od, th, reml, qk::kModeGradient);
    ASSERT_TRUE(a && b);
    EXPECT_NEAR(a->ev.deviance, b->deviance, 1e-10 * std::fabs(b->deviance));
    for (std::size_t t = 0; t < th.size(); ++t) EXPECT_NEAR(a->ev.gradient[t], b->gradient[t], 1e-7);
    for (std::size_t j = 0; j < c.p; ++j) EXPECT_NEAR(a->ev.beta[j], b->beta[j], 1e-9);
  }
}

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

// Products, criterion, gradient, solution and prediction variances: the same bits for
// pools of 1, 2 and 7.
TEST(CrossedCore, SameBitsForAnyPoolSize) {
  CrossedCase c = kCrossedCases[1];
  c.n = 300000;  // several chunks, run on the pool
  c.m = {400, 150};  // a dense block of several tiles, its updates row by row on the pool
  qkt::same_bits_for_pool_sizes(
      [&] {
        const CrossedData data = simulate(c, 2);
        auto d = design_of(data, c);
        const Vec theta = trial_theta(*d, 1);
        auto s = cr::evaluate(*d, theta, true, qk::kModeSolution);
        qkt::Bytes out;
        out.f64(s->ev.deviance).vec(s->ev.gradient).vec(s->ev.beta);
        for (const Vec& u : s->u) out.vec(u);
        for (const Vec& v : s->cond_var) out.vec(v);
        // the first rows as new rows, with a level of one factor or the other unseen
        cr::PredictionRows rows;
        rows.r = 20000;
        rows.x = data.x.data();
        std::vector<std::vector<std::int64_t>> levels;
        for (std::size_t j = 0; j < data.m.size(); ++j) {
          levels.emplace_back(data.codes[j].begin(), data.codes[j].begin() + static_cast<std::ptrdiff_t>(rows.r));
          for (std::uint64_t r = j; r < rows.r; r += 5) levels[j][r] = -1;
          rows.levels.push_back(levels[j].data());
          rows.z.push_back(data.z[j].data());
        }
        out.vec(*cr::prediction_variance(*d, theta, true, rows));
        return out.buf;
      },
      64);
}

// The first case grown to a dense block of two tiles (300 levels, X and y).
CrossedCase two_tile_case() {
  CrossedCase c = kCrossedCases[0];
  c.n = 20000;
  c.m = {600, 300};
  return c;
}

// Scalar terms (the gradient's shortcut through S^-1) on a dense block of two tiles:
// evaluations that reuse one Scratch, as a fit's do, give the bits of fresh ones, and
// those bits are the same for pools of 1, 2 and 7.
TEST(CrossedCore, ReusedStorageAndPoolSizesKeepTheBits) {
  const CrossedCase c = two_tile_case();
  qkt::same_bits_for_pool_sizes(
      [&] {
        const CrossedData data = simulate(c, 6);
        auto d = design_of(data, c);
        cr::Scratch scratch;
        std::optional<cr::Factor> last;
        qkt::Bytes out;
        for (std::uint64_t seed : {1, 2, 3}) {
          const Vec theta = trial_theta(*d, seed);
          if (last) cr::recycle(*last, scratch);
          last = cr::factorize(*d, theta, true, &scratch);
          const cr::Solution reused = cr::solution_of(*d, *last, true, qk::kModeGradient, true, nullptr, &scratch);
          const auto fresh = cr::evaluate(*d, theta, true, qk::kModeGradient);
          EXPECT_EQ(qkt::Bytes().f64(reused.ev.deviance).vec(reused.ev.gradient).buf,
                    qkt::Bytes().f64(fresh->ev.deviance).vec(fresh->ev.gradient).buf)
              << seed;
          out.f64(fresh->ev.deviance).vec(fresh->ev.gradient);
        }
        return out.buf;
      },
      64);
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

TEST(CrossedCore, RefusesBadRows) {
  CrossedData data = simulate(kCrossedCases[0], 4);
  data.codes[1][5] = 7;
  EXPECT_EQ(qkt::refusal(cr::products_of(data.rows())), "factor 1: group code 7 out of range 0..7");
  data.codes[1][5] = 0;
  data.z[1][3] = qkt::kInf;
  EXPECT_EQ(qkt::refusal(cr::products_of(data.rows())),
            "factor 1's Z column 0 holds a value that is not finite or whose square overflows");
  data.z[1][3] = 1.0;
  data.w.assign(data.n, 1.0);
  data.w[2] = -1.0;
  EXPECT_NE(qkt::refusal(cr::products_of(data.rows())).find("weights[2]"), std::string::npos);
  data.w.clear();
  auto pr = cr::products_of(data.rows());
  EXPECT_EQ(qkt::refusal(cr::make_design(std::get<cr::Products>(pr), {{1}, {2}})),
            "factor 1: " + *qk::blocks_error({2}, 1));
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
