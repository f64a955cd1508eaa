// The GLMM cores on simulated designs: the Gauss-Hermite rule's exactness, the Laplace
// gradient against central differences for every family and link and for scalar,
// vector and uncorrelated terms (one factor) and crossed factors, the two cores'
// agreement on a model of one factor, the same bits for any pool size, and the
// refusals of bad rows.

#include "lmm/glmm/crossed_detail.hpp"
#include "lmm/glmm/crossed_glmm.hpp"
#include "lmm/glmm/glmm.hpp"
#include "lmm/glmm/stages.hpp"
#include "glmm_rows.hpp"

namespace {

namespace gl = qk::glmm;
using GVec = std::vector<double>;

struct Sim {
  std::uint64_t n, p, q, m;
  GVec y, x, z, w;
  std::vector<std::int64_t> codes, codes2;
};

// Rows in m groups of 2..max_rows, x = (1, N(0,1)), z = the first q columns of
// (1, x1, N(0,1)), a second factor of m2 levels, and responses drawn from the family
// at a moderate linear predictor (binomial with 1..6 trials).
Sim simulate(gl::Family fam, std::uint64_t m, std::uint64_t q, std::uint64_t max_rows, unsigned seed,
             std::uint64_t m2 = 7) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> nd;
  std::uniform_int_distribution<std::uint64_t> size(2, max_rows), trials(1, 6), lev2(0, m2 - 1);
  Sim s{0, 2, q, m, {}, {}, {}, {}, {}, {}};
  const bool counts = fam.def->name == std::string("poisson");
  for (std::uint64_t g = 0; g < m; ++g) {
    const double bg = 0.7 * nd(rng), sg = 0.4 * nd(rng);
    for (std::uint64_t k = size(rng); k > 0; --k) {
      const double x1 = nd(rng), x2 = nd(rng);
      const double eta = (counts ? 0.8 : -0.3) + 0.5 * x1 + bg + sg * x1;
      const double mu = gl::linkinv(fam, eta);
      const auto [y, w] = qkt::draw_response(fam, mu, rng, trials, 1.0);
      s.y.push_back(y);
      s.w.push_back(w);
      s.x.insert(s.x.end(), {1.0, x1});
      const double zz[3] = {1.0, x1, x2};
      s.z.insert(s.z.end(), zz, zz + q);
      s.codes.push_back(static_cast<std::int64_t>(g));
      s.codes2.push_back(static_cast<std::int64_t>(lev2(rng)));
      ++s.n;
    }
  }
  return s;
}

gl::Rows rows_of(const Sim& s, gl::Family fam, const std::vector<std::uint64_t>& blocks) {
  return gl::make_rows({s.n, s.p, s.q, s.m, s.y.data(), s.x.data(), s.z.data(), s.codes.data(), s.w.data(), nullptr},
                       fam, blocks);
}

// The crossed model of s's two factors, a random intercept on each.
gl::CrossedModel two_factors(const Sim& s, gl::Family fam) {
  std::vector<gl::CrossedFactor> factors(2);
  factors[0] = {s.codes, s.m, 1, GVec(s.n, 1.0), {1}, {}};
  factors[1] = {s.codes2, 7, 1, GVec(s.n, 1.0), {1}, {}};
  return gl::make_crossed(s.n, s.p, s.y.data(), s.x.data(), s.w.data(), nullptr, fam, std::move(factors));
}

const auto family = qkt::glmm_family;

TEST(GaussHermite, IntegratesPolynomialsOfDegreeBelow2kExactly) {
  for (int k : {1, 2, 5, 9, 25}) {
    GVec nodes, weights;
    gl::gauss_hermite(k, nodes, weights);
    ASSERT_EQ(nodes.size(), static_cast<std::size_t>(k));
    // E[x^(2j)] = (2j - 1)!! under the standard normal; odd moments vanish.
    double moment = 1.0;
    for (int j = 0; 2 * j < 2 * k; ++j) {
      double s = 0.0, odd = 0.0;
      for (int i = 0; i < k; ++i) {
        s += weights[i] * std::pow(nodes[i], 2 * j);
        odd += weights[i] * std::pow(nodes[i], 2 * j + 1);
      }
      EXPECT_NEAR(s, moment, 1e-11 * moment) << "k " << k << " moment " << 2 * j;
      EXPECT_NEAR(odd, 0.0, 1e-11 * moment) << "k " << k;
      moment *= 2 * j + 1;
    }
  }
}

struct GradCase {
  const char* family;
  const char* link;
  std::uint64_t q;
  std::vector<std::uint64_t> blocks;
};

// Every family and link, scalar, vector-valued and uncorrelated terms.
TEST(GlmmGradient, LaplaceGradientMatchesDifferences) {
  const GradCase cases[] = {{"binomial", "logit", 1, {1}},   {"binomial", "probit", 1, {1}},
                            {"binomial", "cloglog", 1, {1}}, {"poisson", "log", 1, {1}},
                            {"binomial", "logit", 2, {2}},   {"poisson", "log", 2, {2}},
                            {"poisson", "log", 3, {1, 2}},   {"binomial", "probit", 2, {1, 1}}};
  for (const GradCase& c : cases) {
    const gl::Family fam = family(c.family, c.link);
    const Sim s = simulate(fam, 30, c.q, 9, 11 + static_cast<unsigned>(c.q));
    const gl::Rows rows = rows_of(s, fam, c.blocks);
    GVec x;
    for (std::size_t e = 0; e < rows.idx.size(); ++e) x.push_back(rows.idx[e].first == rows.idx[e].second ? 0.6 : 0.15);
    x.insert(x.end(), {-0.2, 0.4});
    const std::size_t nt = rows.idx.size();
    auto value = [&](const GVec& v) {
      double f;
      const GVec th(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(nt));
      EXPECT_TRUE(gl::evaluate(rows, gl::lambda_of(rows, th), v.data() + nt, 1, f, nullptr, nullptr));
      return f;
    };
    GVec grad(x.size());
    double f;
    const GVec th(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(nt)), lam = gl::lambda_of(rows, th);
    gl::Modes modes;
    ASSERT_TRUE(gl::evaluate(rows, lam, x.data() + nt, 1, f, grad.data(), &modes));
    EXPECT_EQ(f, value(x));
    const std::string what = std::string(c.family) + "/" + c.link + " q " + std::to_string(c.q);
    EXPECT_TRUE(qkt::all_near(grad, qkt::differences(value, x, 1e-3), 1e-6)) << what;
    // Each group's mode solves h_g's score equations sum_r a_r d1_r = u, a_r = Lambda' z_r,
    // to rounding: PIRLS runs until its Newton step is below 1e-10.
    const std::uint64_t q = rows.q;
    for (std::uint64_t g = 0; g < rows.m; ++g)
      for (std::uint64_t b = 0; b < q; ++b) {
        double score = -modes.u[g * q + b], scale = std::fabs(modes.u[g * q + b]);
        for (std::uint64_t k = rows.start[g]; k < rows.start[g + 1]; ++k) {
          double a = 0.0;
          for (std::uint64_t cc = b; cc < q; ++cc) a += lam[cc * q + b] * rows.z[k * q + cc];
          const double t = a * gl::loglik_eta_derivs(fam, rows.y[k], modes.eta[k], rows.w[k]).d1;
          score += t;
          scale += std::fabs(t);
        }
        EXPECT_LE(std::fabs(score), 1e-12 * (1.0 + scale)) << what << " group " << g;
      }
    // A start from modes far off (eta near 300, where each Newton step of a count
    // moves eta by about one) is traded for u = 0, from which PIRLS finds the modes.
    if (q == 1) {
      GVec warm(rows.m, 500.0);
      double fw;
      ASSERT_TRUE(gl::evaluate(rows, lam, x.data() + nt, 1, fw, nullptr, nullptr, &warm)) << what;
      EXPECT_NEAR(fw, f, 1e-12 * std::fabs(f)) << what;
    }
  }
}

// The diagnosis of a joint PIRLS that diverged names the rows whose fitted means
// reached their bound on the side of their response (binomial: 0 or 1; Poisson: a zero
// count's 0), the first of them and the column that moves eta most; none otherwise.
TEST(GlmmFit, SeparationIsNamedOnEitherBound) {
  const GVec x{1, -2, 1, -1, 1, 1, 1, 2};  // 4 rows: intercept and a covariate
  struct Case {
    const char* family;
    GVec y, beta;
    const char* expect;
  };
  const Case cases[] = {
      {"binomial", {0, 0, 1, 1}, {0, 30},
       "perfect separation: the fixed effects fit 4 responses exactly (fitted probabilities reach their bound, "
       "first at row 0) and the estimate of column 1 diverges; the maximum-likelihood estimates do not exist"},
      {"binomial", {1, 0, 1, 1}, {25, 0}, "perfect separation: the fixed effects fit 3 responses exactly "
       "(fitted probabilities reach their bound, first at row 0) and the estimate of column 0 diverges"},
      {"binomial", {0, 1, 0, 1}, {0, 0.1}, ""},
      {"poisson", {0, 2, 0, 1}, {0, -20}, "the fixed effects fit 1 zero counts exactly (fitted means reach 0, "
       "first at row 2) and the estimate of column 1 diverges"},
      {"poisson", {0, 2, 0, 1}, {0, 0.1}, ""},
  };
  for (const Case& c : cases) {
    const std::string got =
        gl::separation_message(family(c.family, ""), 4, 2, x.data(), nullptr, c.y.data(), c.beta);
    EXPECT_EQ(got.substr(0, std::string(c.expect).size()), c.expect) << c.family << " " << c.y[0];
    EXPECT_EQ(got.empty(), *c.expect == '\0') << c.family;
  }
}

TEST(GlmmGradient, CrossedLaplaceGradientMatchesDifferences) {
  for (const auto& [name, link] : {std::pair{"binomial", "logit"}, {"binomial", "probit"}, {"poisson", "log"}}) {
    const gl::Family fam = family(name, link);
    const Sim s = simulate(fam, 40, 1, 8, 29);
    const gl::CrossedModel model = two_factors(s, fam);
    const GVec x{0.8, 0.5, -0.3, 0.45};
    auto value = [&](const GVec& v) {
      double f;
      EXPECT_TRUE(gl::crossed_evaluate(model, {v[0], v[1]}, v.data() + 2, f, nullptr, nullptr));
      return f;
    };
    GVec grad(4);
    double f;
    ASSERT_TRUE(gl::crossed_evaluate(model, {x[0], x[1]}, x.data() + 2, f, nullptr, grad.data()));
    EXPECT_EQ(f, value(x));
    EXPECT_TRUE(qkt::all_near(grad, qkt::differences(value, x, 1e-3), 1e-6)) << link;
  }
}

// A warm start of PIRLS, near the modes or far from them (after a long trial step of the
// optimiser), reaches the modes a cold start finds: the Laplace value and the nAGQ = 0
// point to rounding, whichever start is traded for zero.
TEST(GlmmCriterion, CrossedWarmStartsNearAndFar) {
  for (const auto& [name, link] : {std::pair{"binomial", "logit"}, {"poisson", "log"}}) {
    const gl::Family fam = family(name, link);
    const Sim s = simulate(fam, 40, 1, 8, 31);
    const gl::CrossedModel model = two_factors(s, fam);
    const std::vector<double> theta{0.8, 0.5}, beta{-0.3, 0.45};
    double cold, joint_cold;
    std::vector<std::vector<double>> modes;
    ASSERT_TRUE(gl::crossed_evaluate(model, theta, beta.data(), cold, nullptr, nullptr, &modes));
    GVec b_cold(2), b(2);
    ASSERT_TRUE(gl::crossed_joint(model, theta, beta.data(), joint_cold, b_cold.data(), nullptr));
    for (const double shift : {0.01, 0.3, 4.0, 40.0}) {
      std::vector<std::vector<double>> warm = modes;
      for (auto& v : warm)
        for (double& x : v) x = x + shift;
      std::vector<std::vector<double>> joint_warm = warm;
      double f, fj;
      ASSERT_TRUE(gl::crossed_evaluate(model, theta, beta.data(), f, nullptr, nullptr, &warm)) << name << shift;
      EXPECT_NEAR(f, cold, 1e-11 * std::fabs(cold)) << name << " shift " << shift;
      ASSERT_TRUE(gl::crossed_joint(model, theta, beta.data(), fj, b.data(), nullptr, &joint_warm)) << name << shift;
      EXPECT_NEAR(fj, joint_cold, 1e-11 * std::fabs(joint_cold)) << name << " shift " << shift;
      EXPECT_TRUE(qkt::all_near(b, b_cold, 1e-8)) << name << " shift " << shift;
    }
  }
}

// One factor written as a crossed model of one factor: the same criterion, though the
// two cores share nothing but the family.
TEST(GlmmCriterion, OneFactorAndCrossedCoresAgree) {
  const gl::Family fam = family("poisson", "log");
  const Sim s = simulate(fam, 25, 2, 8, 5);
  const gl::Rows rows = rows_of(s, fam, {2});
  const GVec theta{0.7, 0.2, 0.3}, beta{0.5, 0.3};
  double laplace;
  ASSERT_TRUE(gl::evaluate(rows, gl::lambda_of(rows, theta), beta.data(), 1, laplace, nullptr, nullptr));
  std::vector<gl::CrossedFactor> factors(1);
  factors[0] = {s.codes, s.m, 2, {}, {2}, {}};
  for (std::uint64_t r = 0; r < s.n; ++r) factors[0].z.insert(factors[0].z.end(), {s.z[r * 2], s.z[r * 2 + 1]});
  const gl::CrossedModel model =
      gl::make_crossed(s.n, s.p, s.y.data(), s.x.data(), s.w.data(), nullptr, fam, std::move(factors));
  double crossed;
  ASSERT_TRUE(gl::crossed_evaluate(model, theta, beta.data(), crossed, nullptr, nullptr));
  EXPECT_NEAR(crossed, laplace, 1e-10 * std::fabs(laplace));
}

// Many groups, so the groups run in many chunks on the pool.
TEST(GlmmDeterminism, SameBitsForAnyPoolSize) {
  EXPECT_NE(qkt::same_bits_for_pool_sizes([] {
    const gl::Family fam = family("binomial", "logit");
    const Sim s = simulate(fam, 20000, 2, 6, 77);
    const gl::Rows rows = rows_of(s, fam, {2});
    const GVec theta{0.9, 0.1, 0.4}, beta{-0.2, 0.5};
    GVec grad(5), beta_j(2), rx(4);
    double f1, f5, f0;
    const GVec lam = gl::lambda_of(rows, theta);
    gl::Modes modes;
    const bool ok = gl::evaluate(rows, lam, beta.data(), 1, f1, grad.data(), &modes) &&
                    gl::evaluate(rows, lam, beta.data(), 3, f5, nullptr, nullptr) &&
                    gl::evaluate_joint(rows, lam, beta.data(), f0, beta_j.data(), rx.data());
    GVec all = grad;
    all.insert(all.end(), {f1, f5, f0});
    all.insert(all.end(), beta_j.begin(), beta_j.end());
    all.insert(all.end(), rx.begin(), rx.end());
    all.insert(all.end(), modes.u.begin(), modes.u.end());
    return (ok ? "" : "failed") + qkt::bits(all);
  }, 20000 * 2 * 8).substr(0, 6), "failed");
}

// Crossed factors: the first factor's 100000 levels are factored, their products and
// cross products refilled and the rows' leverages read in many chunks.
TEST(GlmmDeterminism, CrossedSameBitsForAnyPoolSize) {
  EXPECT_NE(qkt::same_bits_for_pool_sizes([] {
    const gl::Family fam = family("poisson", "log");
    const Sim s = simulate(fam, 100000, 1, 4, 78);
    const gl::CrossedModel model = two_factors(s, fam);
    const GVec beta{0.7, 0.4};
    GVec grad(4);
    double f;
    gl::CrossedModes modes;
    const bool ok = gl::crossed_evaluate(model, {0.6, 0.3}, beta.data(), f, &modes, grad.data());
    GVec all = grad;
    all.push_back(f);
    for (const GVec& u : modes.u) all.insert(all.end(), u.begin(), u.end());
    return (ok ? "" : "failed") + qkt::bits(all);
  }, 100000 * 8).substr(0, 6), "failed");
}

// Whole Laplace fits, one factor and crossed: the Hessian's differences run as tasks
// on the pool, each from the estimate's modes, so the standard errors are the same
// bits whichever thread ran which difference and in what order.
TEST(GlmmDeterminism, FitsSameBitsForAnyPoolSize) {
  EXPECT_NE(qkt::same_bits_for_pool_sizes([] {
    const gl::Family bin = family("binomial", "logit"), poi = family("poisson", "log");
    const Sim one = simulate(bin, 300, 2, 20, 79), two = simulate(poi, 300, 1, 20, 80);
    gl::FitOptions options;
    const gl::FitResult a = gl::fit(rows_of(one, bin, {2}), options);
    const gl::FitResult b = gl::crossed_fit(two_factors(two, poi), options);
    GVec all;
    for (const gl::FitResult* r : {&a, &b}) {
      if (!r->vcov_from_hessian) return std::string("failed: no Hessian");
      for (const GVec* v : {&r->theta, &r->beta, &r->hessian, &r->vcov}) all.insert(all.end(), v->begin(), v->end());
    }
    return qkt::bits(all);
  }, 200).substr(0, 6), "failed");
}

// A PIRLS step refills the system the previous step solved: its solution is that of a
// fresh copy of the pattern, bit for bit, for u alone and with X; a held system of the
// other kind is not refilled.
TEST(GlmmCrossedSystem, RefilledSystemSolvesAsAFreshOne) {
  namespace cd = gl::crossed_detail;
  const gl::Family fam = family("binomial", "logit");
  const Sim s = simulate(fam, 300, 1, 4, 41);
  const gl::CrossedModel model = two_factors(s, fam);
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> ud(0.1, 2.0);
  const auto draw = [&] {
    GVec v(s.n);
    for (double& e : v) e = ud(rng);
    return v;
  };
  const GVec w1 = draw(), r1 = draw(), w2 = draw(), r2 = draw();
  const auto bits = [](const cd::Solve& o) {
    GVec all{o.ldl2};
    for (const GVec& u : o.u) all.insert(all.end(), u.begin(), u.end());
    all.insert(all.end(), o.beta.begin(), o.beta.end());
    return qkt::bits(all);
  };
  const std::vector<double> theta{0.8, 0.5};
  for (bool joint : {false, true}) {
    std::unique_ptr<qk::crossed::Design> held;
    cd::Solve first, again, fresh, other, spare;
    ASSERT_TRUE(cd::solve_system(model, theta, w1, r1, joint, false, false, first, &held));
    ASSERT_TRUE(held) << "the solved system is held for the next step";
    ASSERT_TRUE(cd::solve_system(model, theta, w2, r2, joint, false, false, again, &held));
    model.spares->clear();
    ASSERT_TRUE(cd::solve_system(model, theta, w2, r2, joint, false, false, fresh));
    EXPECT_EQ(bits(again), bits(fresh)) << joint;
    EXPECT_NE(bits(first), bits(fresh)) << joint;
    // Without a holder the system goes to the model's spares, and the next solve of its
    // kind refills it: the solution of a fresh copy still.
    ASSERT_TRUE(cd::solve_system(model, theta, w1, r1, joint, false, false, spare));
    EXPECT_EQ(bits(spare), bits(first)) << joint;
    // the other kind's system held: a fresh copy of this kind's pattern is made
    ASSERT_TRUE(cd::solve_system(model, theta, w2, r2, !joint, false, false, other, &held));
    cd::Solve other_fresh;
    ASSERT_TRUE(cd::solve_system(model, theta, w2, r2, !joint, false, false, other_fresh));
    EXPECT_EQ(bits(other), bits(other_fresh)) << joint;
  }
}

// PIRLS's stop: a step below the tolerance, or one whose rate since the last whole step
// (at most a half) leaves less than the tolerance to go.
TEST(GlmmCrossedSystem, PirlsStopsWhenTheNextStepIsPredictedBelowTheTolerance) {
  namespace cd = gl::crossed_detail;
  struct Case {
    double big, prev;
    bool stop;
    const char* why;
  };
  for (const Case& c : {Case{1e-3, INFINITY, false, "a first step, however fast the iteration"},
                        Case{1e-11, INFINITY, true, "a first step below the tolerance"},
                        Case{1e-8, 1e-4, true, "Newton's quadratic rate: the next is near 1e-12"},
                        Case{1e-4, 1e-2, false, "the next may be near 1e-6"},
                        Case{9e-10, 1e-9, false, "a linear rate of 0.9 leaves 8e-9 to go"},
                        Case{3e-6, 1e-6, false, "a step that grew"},
                        Case{1e-7, 1e-3, true, "a rate of 1e-4: under 2e-11 to go"},
                        Case{1e-7, 1.5e-4, false, "a rate of 7e-4: over 1e-10 to go"}})
    EXPECT_EQ(cd::converged_after(c.big, c.prev), c.stop) << c.why;
}

// The joint PIRLS's modes are the modes at its beta: the Laplace value there from them
// (no step taken) is the value PIRLS finds from zero.
TEST(GlmmCrossedSystem, ValueAtTheJointModesIsTheValueFromZero) {
  for (const auto& [name, link] : {std::pair{"binomial", "logit"}, {"poisson", "log"}, {"binomial", "probit"}}) {
    const gl::Family fam = family(name, link);
    const Sim s = simulate(fam, 60, 1, 8, 43);
    const gl::CrossedModel model = two_factors(s, fam);
    const std::vector<double> theta{0.9, 0.4};
    const GVec beta0{0.0, 0.0};
    GVec beta(2), rx(4), g_modes(4), g_zero(4);
    double joint_value, at_modes, from_zero;
    std::vector<GVec> modes;
    ASSERT_TRUE(gl::crossed_joint(model, theta, beta0.data(), joint_value, beta.data(), rx.data(), &modes));
    ASSERT_TRUE(gl::crossed_evaluate(model, theta, beta.data(), at_modes, nullptr, g_modes.data(), &modes, true));
    ASSERT_TRUE(gl::crossed_evaluate(model, theta, beta.data(), from_zero, nullptr, g_zero.data()));
    EXPECT_NEAR(at_modes, from_zero, 1e-9 * std::fabs(from_zero)) << link;
    EXPECT_NEAR(joint_value, from_zero, 1e-9 * std::fabs(from_zero)) << link;
    EXPECT_TRUE(qkt::all_near(g_modes, g_zero, 1e-7)) << link;
  }
}

TEST(GlmmRows, RefusalsNameTheRow) {
  const gl::Family bin = family("binomial", "logit"), poi = family("poisson", "log");
  const Sim s = simulate(bin, 4, 1, 3, 3);
  auto refusal = [&](gl::Family fam, const Sim& t) {
    const std::string e = qkt::thrown<std::invalid_argument>([&] { rows_of(t, fam, {1}); });
    return e == "none" ? std::string("accepted") : e;
  };
  const std::tuple<gl::Family, std::function<void(Sim&)>, std::string> cases[] = {  // family, edit, text
      {bin, [](Sim&) {}, "accepted"},
      {bin, [](Sim& t) { t.y[2] = 1.5; }, "row 2"},
      {poi, [](Sim& t) { t.y[1] = -1.0; }, "row 1"},
      {bin, [](Sim& t) { t.w[0] = 0.0; }, "accepted"},  // a row of no trials is kept and carries nothing
      {bin, [](Sim& t) { t.codes[3] = 9; }, "codes[3]"},
      {bin, [](Sim& t) { std::replace(t.codes.begin(), t.codes.end(), std::int64_t{1}, std::int64_t{0}); },
       "group 1 has no rows"}};
  for (const auto& [fam, edit, text] : cases) {
    Sim t = s;
    edit(t);
    const std::string got = refusal(fam, t);
    EXPECT_TRUE(text == "accepted" ? got == text : got.find(text) != std::string::npos) << got;
  }
}

}  // namespace
