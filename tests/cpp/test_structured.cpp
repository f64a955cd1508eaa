// Residual structures: the whitened, profiled criterion against the dense marginal
// likelihood of the same model, its gradient against central differences, for every
// kind of correlation and variance function with and without random effects; the
// refusals of designs that do not fit; the same bits on pools of any size; designs of
// patterns reduced from parts of the subjects and merged.

#include <numeric>

#include "lmm/structured/structured.hpp"
#include "linalg/dense.hpp"
#include "support.hpp"

namespace {

using qkt::Vec;

struct Case {
  const char* name;
  qk::Correlation correlation;
  bool nugget;
  std::vector<qk::VarianceKind> variances;
  std::uint64_t q;
  std::uint64_t subjects_per_group;
  std::uint32_t structure_groups = 1;  // subjects' structures of their own, alternating
};

constexpr qk::VarianceKind kIdent = qk::VarianceKind::kIdent, kPower = qk::VarianceKind::kPower,
                           kExp = qk::VarianceKind::kExp;

const Case kCases[] = {
    {"independent+ident, q1", qk::Correlation::kIndependent, false, {kIdent}, 1, 1},
    {"ar1, q0", qk::Correlation::kAR1, false, {}, 0, 1},
    {"ar1+power, q1", qk::Correlation::kAR1, false, {kPower}, 1, 1},
    {"ar1, q2 over pairs of subjects", qk::Correlation::kAR1, false, {}, 2, 2},
    {"car1+exp, q1", qk::Correlation::kCAR1, false, {kExp}, 1, 1},
    {"cs+ident, q0", qk::Correlation::kCompound, false, {kIdent}, 0, 1},
    {"cs, q2", qk::Correlation::kCompound, false, {}, 2, 1},
    {"us+ident by visit, q0", qk::Correlation::kUnstructured, false, {kIdent}, 0, 1},
    {"us+ident+power, q1 over triples", qk::Correlation::kUnstructured, false, {kIdent, kPower}, 1, 3},
    {"exp, q0", qk::Correlation::kExponential, false, {}, 0, 1},
    {"exp+nugget, q1", qk::Correlation::kExponential, true, {}, 1, 1},
    {"gaus+nugget+ident, q0", qk::Correlation::kGaussian, true, {kIdent}, 0, 1},
    {"toep+ident by visit, q0", qk::Correlation::kToeplitz, false, {kIdent}, 0, 1},
    {"toep, q1 over pairs", qk::Correlation::kToeplitz, false, {}, 1, 2},
    {"ad+ident by visit, q0", qk::Correlation::kAnteDependence, false, {kIdent}, 0, 1},
    {"ad+power, q1", qk::Correlation::kAnteDependence, false, {kPower}, 1, 1},
    {"us+ident by visit in 2 structure groups, q0", qk::Correlation::kUnstructured, false, {kIdent}, 0, 1, 2},
    {"ar1+ident in 3 structure groups, q1", qk::Correlation::kAR1, false, {kIdent}, 1, 1, 3},
    {"exp+nugget in 2 structure groups, q0", qk::Correlation::kExponential, true, {}, 0, 1, 2},
};

constexpr std::uint32_t kVisits = 4;

// A design of `groups` groups of c.subjects_per_group subjects with 1 to 5 rows each,
// times increasing with gaps (whole numbers except for CAR1; visits below kVisits for
// the unstructured kind), two coordinates per row, three variance strata.
qk::StructuredData design(const Case& c, std::uint64_t groups, std::uint64_t p, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> normal;
  qk::StructuredData d;
  d.p = p;
  d.q = c.q;
  qk::ResidualStructure& st = d.structure;
  st.correlation = c.correlation;
  st.nugget = c.nugget;
  st.n_visits = kVisits;
  st.dims = 2;
  std::vector<double> strata, covariate;
  d.subjects = {0};
  d.groups = {0};
  const std::uint64_t k = d.k();
  for (std::uint64_t g = 0; g < groups; ++g) {
    Vec b(c.q);
    for (double& v : b) v = normal(rng);
    for (std::uint64_t s = 0; s < c.subjects_per_group; ++s) {
      const std::uint64_t rows = 1 + rng() % (qk::by_visit(c.correlation) ? kVisits : 5);
      double t = 0.0;
      std::vector<std::uint32_t> visits(kVisits);
      std::iota(visits.begin(), visits.end(), 0u);
      std::shuffle(visits.begin(), visits.end(), rng);
      visits.resize(rows);
      std::sort(visits.begin(), visits.end());
      for (std::uint64_t r = 0; r < rows; ++r) {
        if (qk::by_visit(c.correlation))
          t = visits[r];
        else
          t += c.correlation == qk::Correlation::kCAR1 ? 0.2 + 2.0 * unit(rng) : 1.0 + static_cast<double>(rng() % 3);
        st.times.push_back(t);
        st.coords.push_back(10.0 * unit(rng));
        st.coords.push_back(10.0 * unit(rng));
        strata.push_back(static_cast<double>(rng() % 3));
        covariate.push_back(0.5 + 2.0 * unit(rng));
        Vec row(k);
        for (std::uint64_t j = 0; j < c.q; ++j) row[j] = j == 0 ? 1.0 : normal(rng);
        double y = normal(rng);
        for (std::uint64_t j = 0; j < p; ++j) {
          row[c.q + j] = j == 0 ? 1.0 : normal(rng);
          y += 0.5 * row[c.q + j];
        }
        for (std::uint64_t j = 0; j < c.q; ++j) y += b[j] * row[j];
        row[k - 1] = y;
        d.rows.insert(d.rows.end(), row.begin(), row.end());
      }
      d.subjects.push_back(d.rows.size() / k);
    }
    d.groups.push_back(d.subjects.size() - 1);
  }
  d.n = d.rows.size() / k;
  if (c.q == 0) d.groups = {0, d.subjects.size() - 1};
  d.n_structure_groups = c.structure_groups;
  if (c.structure_groups > 1)
    for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s) d.structure_group.push_back(s % c.structure_groups);
  if (c.q) d.theta_index = qk::theta_index(c.q);
  if (c.correlation != qk::Correlation::kAR1 && c.correlation != qk::Correlation::kCAR1 && !qk::by_visit(c.correlation))
    st.times.clear();
  for (qk::VarianceKind v : c.variances) {
    qk::VarianceFunction f;
    f.kind = v;
    f.n_strata = 3;
    f.values = v == kIdent ? (qk::by_visit(c.correlation) ? st.times : strata) : covariate;
    if (v == kIdent && qk::by_visit(c.correlation)) f.n_strata = kVisits;
    st.variances.push_back(std::move(f));
  }
  return d;
}

// Parameters at random: Lambda's diagonal in [0.4, 1.2), the rest and eta in [-0.5, 0.5)
// (the spatial range's log in [0.5, 1.5)).
Vec random_params(const qk::StructuredData& d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> diag(0.4, 1.2), off(-0.5, 0.5);
  Vec x;
  for (auto [r, c] : d.theta_index) x.push_back(r == c ? diag(rng) : off(rng));
  for (std::size_t j = 0; j < d.n_eta(); ++j) x.push_back(off(rng));
  const bool spatial = d.structure.correlation == qk::Correlation::kExponential ||
                       d.structure.correlation == qk::Correlation::kGaussian;
  for (std::uint32_t g = 0; spatial && g < d.n_structure_groups; ++g)
    x[d.n_theta() + g * d.structure.n_correlation_params()] += 1.0;
  return x;
}

// -2 log-likelihood (REML or ML) profiled over beta and sigma from the n x n marginal
// covariance V / sigma^2 = Z Lambda Lambda' Z' + R, R block diagonal over subjects.
double dense_criterion(const qk::StructuredData& d, const Vec& x, bool reml) {
  const std::uint64_t n = d.n, p = d.p, q = d.q, k = d.k();
  const Vec lambda =
      q && !d.crossed() ? qk::theta_to_lambda(Vec(x.begin(), x.begin() + d.n_theta()), d.theta_index, q) : Vec{};
  Vec v(n * n, 0.0);
  for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s) {
    const std::uint64_t b = d.subjects[s], m = d.subjects[s + 1] - b;
    Vec r(m * m);
    const Vec eta = d.group_eta(x.data() + d.n_theta(), d.group_of(s));
    EXPECT_TRUE(qk::residual_matrix(d.structure, qk::residual_values(d.structure, eta.data()), b, m, r.data()));
    for (std::uint64_t i = 0; i < m; ++i)
      for (std::uint64_t j = 0; j < m; ++j) v[(b + i) * n + b + j] = r[i * m + j];
  }
  if (d.crossed()) {  // Z's row of every level, times Lambda
    const std::uint64_t nq = d.lambda_size(), nf = d.factor_widths.size();
    Vec lam(nq * nq, 0.0);  // each template entry (at its factor's first level) at every level
    for (std::size_t t = 0; t < d.n_theta(); ++t) {
      const auto [r, c] = d.theta_index[t];
      const std::uint64_t f = r < d.factor_widths[0] * d.factor_levels[0] ? 0 : 1;
      for (std::uint64_t l = 0; l < d.factor_levels[f]; ++l)
        lam[(r + l * d.factor_widths[f]) * nq + c + l * d.factor_widths[f]] = x[t];
    }
    Vec zl(n * nq, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) {
      Vec z(nq, 0.0);
      for (std::uint64_t f = 0, o = 0, zo = 0; f < nf; o += d.factor_widths[f] * d.factor_levels[f], zo += d.factor_widths[f], ++f)
        for (std::uint64_t c = 0; c < d.factor_widths[f]; ++c)
          z[o + d.factor_codes[i * nf + f] * d.factor_widths[f] + c] = d.rows[i * k + zo + c];
      for (std::uint64_t c = 0; c < nq; ++c)
        for (std::uint64_t r = 0; r < nq; ++r) zl[i * nq + c] += z[r] * lam[r * nq + c];
    }
    for (std::uint64_t i = 0; i < n; ++i)
      for (std::uint64_t j = 0; j < n; ++j)
        for (std::uint64_t c = 0; c < nq; ++c) v[i * n + j] += zl[i * nq + c] * zl[j * nq + c];
  }
  for (std::size_t g = 0; q && !d.crossed() && g + 1 < d.groups.size(); ++g) {
    const std::uint64_t b = d.subjects[d.groups[g]], e = d.subjects[d.groups[g + 1]];
    for (std::uint64_t i = b; i < e; ++i)
      for (std::uint64_t j = b; j < e; ++j) {
        double s = 0.0;  // z_i' Lambda Lambda' z_j
        for (std::uint64_t c = 0; c < q; ++c) {
          double li = 0.0, lj = 0.0;
          for (std::uint64_t r = 0; r < q; ++r) {
            li += d.rows[i * k + r] * lambda[r * q + c];
            lj += d.rows[j * k + r] * lambda[r * q + c];
          }
          s += li * lj;
        }
        v[i * n + j] += s;
      }
  }
  EXPECT_TRUE(qk::cholesky_in_place(v.data(), n));
  Vec xy(n * (p + 1));
  for (std::uint64_t i = 0; i < n; ++i)
    for (std::uint64_t j = 0; j <= p; ++j) xy[i * (p + 1) + j] = d.rows[i * k + q + j];
  qk::forward_solve(v.data(), n, xy.data(), p + 1);
  Vec g((p + 1) * (p + 1));
  qk::mat_tmul(xy.data(), xy.data(), g.data(), n, p + 1, p + 1);
  Vec xtx(p * p);
  for (std::uint64_t i = 0; i < p; ++i)
    for (std::uint64_t j = 0; j < p; ++j) xtx[i * p + j] = g[i * (p + 1) + j];
  EXPECT_TRUE(qk::cholesky_in_place(xtx.data(), p));
  Vec beta(p);
  for (std::uint64_t i = 0; i < p; ++i) beta[i] = g[i * (p + 1) + p];
  qk::forward_solve(xtx.data(), p, beta.data(), 1);
  double fitted = 0.0;
  for (double b : beta) fitted += b * b;
  const double rss = g[p * (p + 1) + p] - fitted, nu = static_cast<double>(reml ? n - p : n);
  return qk::log_det(v.data(), n) + nu * (1.0 + std::log(2.0 * M_PI * rss / nu)) +
         (reml ? qk::log_det(xtx.data(), p) : 0.0);
}

TEST(Structured, CriterionIsTheDenseMarginalLikelihoodAndItsGradientIsExact) {
  std::uint64_t seed = 500;
  for (const Case& c : kCases)
    for (bool reml : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (reml ? ", REML" : ", ML"));
      const qk::StructuredData d = design(c, 9, 3, ++seed);
      ASSERT_EQ(qk::structured_error(d), "");
      const Vec x = random_params(d, seed);
      auto ev = qk::evaluate_structured(d, x, reml, qk::kModeGradient);
      ASSERT_TRUE(ev);
      EXPECT_NEAR(ev->deviance, dense_criterion(d, x, reml), 1e-10 * std::fabs(ev->deviance));
      ASSERT_EQ(ev->gradient.size(), d.n_params());
      for (std::size_t j = 0; j < x.size(); ++j) {
        const double h = 1e-6;
        Vec up = x, down = x;
        up[j] += h;
        down[j] -= h;
        auto fu = qk::evaluate_structured(d, up, reml, qk::kModeDeviance);
        auto fd = qk::evaluate_structured(d, down, reml, qk::kModeDeviance);
        ASSERT_TRUE(fu && fd);
        const double numeric = (fu->deviance - fd->deviance) / (2.0 * h);
        EXPECT_NEAR(ev->gradient[j], numeric, 2e-6 * std::max(1.0, std::fabs(numeric))) << "parameter " << j;
      }
    }
}

// The fit reaches a point where the gradient vanishes and the criterion is no larger
// than at nearby points; the solution's beta is the generalised least-squares one.
TEST(Structured, FitStopsAtAStationaryMinimum) {
  for (const Case& c : {kCases[2], kCases[7], kCases[10]}) {
    SCOPED_TRACE(c.name);
    const qk::StructuredData d = design(c, 40, 2, 77);
    Vec start = random_params(d, 78);
    qk::OptimResult r = qk::fit_structured(d, start, true, qk::MinimizeOptions{});
    ASSERT_TRUE(r.converged) << r.message;
    auto ev = qk::evaluate_structured(d, r.theta, true, qk::kModeGradient);
    ASSERT_TRUE(ev);
    for (double g : ev->gradient) EXPECT_LT(std::fabs(g), 1e-3);
    for (std::size_t j = 0; j < r.theta.size(); ++j)
      for (double step : {-1e-3, 1e-3}) {
        Vec moved = r.theta;
        moved[j] += step;
        auto other = qk::evaluate_structured(d, moved, true, qk::kModeDeviance);
        if (other) {
          EXPECT_GE(other->deviance, ev->deviance - 1e-9);
        }
      }
  }
}

// Without random effects, subjects of the same times and strata share R: the patterns'
// summed products give the criterion and gradient of the subjects one by one.
TEST(Structured, PatternsOfSubjectsGiveTheSubjectsCriterion) {
  for (const Case& c : {kCases[5], kCases[7], kCases[9], kCases[12], kCases[14], kCases[16], kCases[18]}) {
    SCOPED_TRACE(c.name);
    qk::StructuredData d = design(c, 300, 3, 61);
    if (!d.structure.coords.empty())  // spatial: a handful of layouts shared by the subjects
      for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s)
        for (std::uint64_t r = d.subjects[s]; r < d.subjects[s + 1]; ++r)
          for (std::uint32_t j = 0; j < 2; ++j)
            d.structure.coords[r * 2 + j] = static_cast<double>((r - d.subjects[s]) * (j + 1));
    for (auto& f : d.structure.variances)  // strata by the row's place in its subject
      for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s)
        for (std::uint64_t r = d.subjects[s]; r < d.subjects[s + 1]; ++r)
          if (f.kind == kIdent && !qk::by_visit(c.correlation))
            f.values[r] = static_cast<double>((r - d.subjects[s]) % 3);
    Vec x = random_params(d, 62);
    x[d.n_theta()] = std::fabs(x[d.n_theta()]);  // a compound symmetry positive definite for 5 rows
    auto one_by_one = qk::evaluate_structured(d, x, true, qk::kModeGradient);
    qk::set_patterns(d);
    ASSERT_FALSE(d.pattern_subject.empty());
    EXPECT_LT(d.pattern_subject.size(), d.subjects.size() / 4);
    auto by_pattern = qk::evaluate_structured(d, x, true, qk::kModeGradient);
    ASSERT_TRUE(one_by_one && by_pattern);
    EXPECT_NEAR(by_pattern->deviance, one_by_one->deviance, 1e-9 * std::fabs(one_by_one->deviance));
    for (std::size_t j = 0; j < x.size(); ++j)
      EXPECT_NEAR(by_pattern->gradient[j], one_by_one->gradient[j], 1e-7 * std::max(1.0, std::fabs(one_by_one->gradient[j])));
  }
}

TEST(Structured, RefusesDesignsThatDoNotFit) {
  const qk::StructuredData base = design(kCases[7], 5, 2, 9);  // unstructured, visits as times
  struct Refusal {
    const char* message;
    std::function<void(qk::StructuredData&)> change;
  };
  const Refusal refusals[] = {
      {"the times of a subject are not increasing",
       [](qk::StructuredData& d) {
         for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s)
           if (d.subjects[s + 1] - d.subjects[s] > 1) {
             std::swap(d.structure.times[d.subjects[s]], d.structure.times[d.subjects[s] + 1]);
             return;
           }
       }},
      {"a visit code is out of range", [](qk::StructuredData& d) { d.structure.times.back() = kVisits; }},
      {"the subjects' offsets do not cover the rows", [](qk::StructuredData& d) { d.subjects.back() -= 1; }},
      {"a subject has no rows", [](qk::StructuredData& d) { d.subjects.insert(d.subjects.begin() + 1, 0); }},
      {"the groups' offsets do not cover the subjects", [](qk::StructuredData& d) { d.groups.back() += 1; }},
      {"a value of the rows is not finite", [](qk::StructuredData& d) { d.rows[3] = qkt::kNaN; }},
      {"a stratum of a variance function is out of range",
       [](qk::StructuredData& d) { d.structure.variances[0].values[0] = kVisits; }},
      {"an AR(1) correlation needs whole-number times",
       [](qk::StructuredData& d) {
         d.structure.correlation = qk::Correlation::kAR1;
         d.structure.times[0] = -0.5;
       }},
      {"a power variance function needs a covariate that is not zero",
       [](qk::StructuredData& d) {
         d.structure.variances[0].kind = kPower;
         d.structure.variances[0].values[0] = 0.0;
       }},
  };
  for (const Refusal& r : refusals) {
    qk::StructuredData d = base;
    r.change(d);
    EXPECT_EQ(qk::structured_error(d), r.message);
  }
}

// The design's random effects on two crossed factors instead (the subjects one group):
// its first two z columns on a factor of 3 levels (a 2 x 2 template), its third on one
// of 4, each row's levels at random.
qk::StructuredData crossed(qk::StructuredData d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  d.factor_widths = {2, 1};
  d.factor_levels = {3, 4};
  d.factor_codes.resize(d.n * 2);
  for (std::uint64_t r = 0; r < d.n; ++r) {
    d.factor_codes[r * 2] = static_cast<std::uint32_t>(rng() % 3);
    d.factor_codes[r * 2 + 1] = static_cast<std::uint32_t>(rng() % 4);
  }
  d.groups = {0, d.subjects.size() - 1};
  d.theta_index = {{0, 0}, {1, 0}, {1, 1}, {6, 6}};
  return d;
}

const Case kCrossedCases[] = {
    {"ar1+ident, crossed", qk::Correlation::kAR1, false, {kIdent}, 3, 1},
    {"car1+exp, crossed", qk::Correlation::kCAR1, false, {kExp}, 3, 1},
    {"cs, crossed", qk::Correlation::kCompound, false, {}, 3, 1},
    {"us+ident by visit in 2 structure groups, crossed", qk::Correlation::kUnstructured, false, {kIdent}, 3, 1, 2},
    {"exp+nugget, crossed", qk::Correlation::kExponential, true, {}, 3, 1},
};

TEST(Structured, CrossedFactorsGiveTheDenseMarginalLikelihoodAndItsExactGradient) {
  std::uint64_t seed = 900;
  for (const Case& c : kCrossedCases)
    for (bool reml : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (reml ? ", REML" : ", ML"));
      ++seed;
      const qk::StructuredData d = crossed(design(c, 14, 2, seed), seed);
      ASSERT_EQ(qk::structured_error(d), "");
      Vec x = random_params(d, seed);
      auto ev = qk::evaluate_structured(d, x, reml, qk::kModeGradient);
      ASSERT_TRUE(ev);
      EXPECT_NEAR(ev->deviance, dense_criterion(d, x, reml), 1e-10 * std::fabs(ev->deviance));
      for (std::size_t j = 0; j < x.size(); ++j) {
        Vec up = x, down = x;
        up[j] += 1e-6;
        down[j] -= 1e-6;
        auto fu = qk::evaluate_structured(d, up, reml, qk::kModeDeviance);
        auto fd = qk::evaluate_structured(d, down, reml, qk::kModeDeviance);
        ASSERT_TRUE(fu && fd);
        const double numeric = (fu->deviance - fd->deviance) / 2e-6;
        EXPECT_NEAR(ev->gradient[j], numeric, 2e-6 * std::max(1.0, std::fabs(numeric))) << "parameter " << j;
      }
    }
  qk::StructuredData d = crossed(design(kCrossedCases[0], 5, 2, 3), 4);
  d.factor_codes[1] = 4;
  EXPECT_EQ(qk::structured_error(d), "a crossed factor's code is out of range");
  d = crossed(design(kCrossedCases[0], 5, 2, 3), 4);
  d.theta_index.back() = {7, 6};
  EXPECT_EQ(qk::structured_error(d), "the layout of Lambda does not fit the factors");
}

TEST(Structured, SameBitsOnPoolsOfAnySize) {
  for (const qk::StructuredData& d : {design(kCases[8], 1500, 3, 31), crossed(design(kCrossedCases[3], 1500, 3, 33), 34)}) {
    const Vec x = random_params(d, 32);
    qkt::same_bits_for_pool_sizes(
        [&] {
          auto ev = qk::evaluate_structured(d, x, true, qk::kModeSolution);
          return ev ? qkt::Bytes().f64(ev->deviance).vec(ev->gradient).vec(ev->beta).vec(ev->u).buf : std::string();
        },
        64);
  }
}

// Subjects [from, to) of a design without random effects, as a design of their own.
qk::StructuredData subjects_of(const qk::StructuredData& d, std::uint64_t from, std::uint64_t to) {
  qk::StructuredData out = d;
  const std::uint64_t b = d.subjects[from], e = d.subjects[to], k = d.k();
  out.rows.assign(d.rows.begin() + b * k, d.rows.begin() + e * k);
  out.n = e - b;
  out.subjects.assign(d.subjects.begin() + from, d.subjects.begin() + to + 1);
  for (auto& o : out.subjects) o -= b;
  out.groups = {0, to - from};
  auto cut = [&](std::vector<double>& v, const std::vector<double>& all, std::uint64_t w) {
    if (!all.empty()) v.assign(all.begin() + b * w, all.begin() + e * w);
  };
  cut(out.structure.times, d.structure.times, 1);
  cut(out.structure.coords, d.structure.coords, d.structure.dims);
  for (std::size_t f = 0; f < d.structure.variances.size(); ++f)
    cut(out.structure.variances[f].values, d.structure.variances[f].values, 1);
  if (!d.structure_group.empty())
    out.structure_group.assign(d.structure_group.begin() + from, d.structure_group.begin() + to);
  return out;
}

// The patterns of two halves of the subjects, each reduced apart and merged by key,
// give the criterion and gradient of the subjects one by one, banded kinds among them;
// the merge finds every pattern of the whole once, and a design of patterns is checked.
TEST(Structured, PatternsMergedFromHalvesGiveTheSubjectsCriterion) {
  for (const Case& c : {kCases[1], kCases[5], kCases[7], kCases[9], kCases[12], kCases[14], kCases[16], kCases[18]}) {
    SCOPED_TRACE(c.name);
    qk::StructuredData d = design(c, 240, 3, 71);
    for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s)  // layouts and strata shared by subjects
      for (std::uint64_t r = d.subjects[s]; r < d.subjects[s + 1]; ++r) {
        if (c.correlation == qk::Correlation::kAR1) d.structure.times[r] = static_cast<double>(r - d.subjects[s]);
        for (std::uint32_t j = 0; j < d.structure.dims && !d.structure.coords.empty(); ++j)
          d.structure.coords[r * 2 + j] = static_cast<double>((r - d.subjects[s]) * (j + 1));
        for (auto& f : d.structure.variances)
          if (f.kind == kIdent && !qk::by_visit(c.correlation)) f.values[r] = static_cast<double>((r - d.subjects[s]) % 3);
      }
    ASSERT_EQ(qk::structured_error(d), "");
    Vec x = random_params(d, 72);
    x[d.n_theta()] = std::fabs(x[d.n_theta()]);
    const std::uint64_t n_subj = d.subjects.size() - 1;
    for (std::uint64_t cut : {n_subj / 2, std::uint64_t{7}}) {
      qk::StructuredData merged = qk::reduce_patterns(subjects_of(d, 0, cut));
      const qk::StructuredData second = qk::reduce_patterns(subjects_of(d, cut, n_subj));
      ASSERT_EQ(qk::patterns_merge_error(merged, second), "");
      const std::vector<std::uint64_t> where = qk::merge_patterns(merged, second);
      ASSERT_EQ(qk::structured_error(merged), "");
      std::vector<std::uint64_t> of;
      const qk::StructuredData whole = qk::reduce_patterns(d, &of);
      EXPECT_EQ(merged.subjects.size(), whole.subjects.size());
      EXPECT_EQ(merged.n, d.n);
      EXPECT_EQ(std::accumulate(merged.pattern_count.begin(), merged.pattern_count.end(), std::uint64_t{0}), n_subj);
      EXPECT_EQ(where.size(), second.subjects.size() - 1);
      EXPECT_LT(whole.subjects.size(), n_subj / 3);
      auto one_by_one = qk::evaluate_structured(d, x, true, qk::kModeGradient);
      auto from_halves = qk::evaluate_structured(merged, x, true, qk::kModeGradient);
      ASSERT_TRUE(one_by_one && from_halves);
      EXPECT_NEAR(from_halves->deviance, one_by_one->deviance, 1e-9 * std::fabs(one_by_one->deviance));
      for (std::size_t j = 0; j < x.size(); ++j)
        EXPECT_NEAR(from_halves->gradient[j], one_by_one->gradient[j],
                    1e-7 * std::max(1.0, std::fabs(one_by_one->gradient[j])));
    }
  }
  qk::StructuredData a = qk::reduce_patterns(design(kCases[7], 30, 2, 5));
  qk::StructuredData b = a;
  b.pattern_count[0] += 1;  // n no longer the rows the patterns summarise
  EXPECT_EQ(qk::structured_error(b), "n is not the number of rows the patterns summarise");
  b = qk::reduce_patterns(design(kCases[7], 30, 3, 5));
  EXPECT_NE(qk::patterns_merge_error(a, b), "");
}

}  // namespace
