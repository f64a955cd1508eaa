// The evaluators against an independent dense solution of the penalised least
// squares problem (Bates et al. 2015, "Fitting Linear Mixed-Effects Models Using
// lme4", section 3), against each other, and against finite differences; the
// q = 1 Hessian, conditional covariances, infeasible points, and bit-identical
// results for any pool size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lmm/evaluate.hpp"
#include "lmm/theta.hpp"
#include "pool/pool.hpp"
#include "support.hpp"

namespace {

using Vec = std::vector<double>;
using LVec = std::vector<long double>;
using qkt::Design;
using qkt::DesignSpec;
constexpr std::uint8_t kKernels[] = {qk::kBlocks, qk::kStreaming, qk::kAggregated};
const char* kernel_name(std::uint8_t k) {
  return k == qk::kBlocks ? "blocks" : k == qk::kStreaming ? "streaming" : "aggregated";
}
constexpr long double kTwoPi = 6.283185307179586476925286766559L;

// In-place Cholesky of a dense n x n matrix in long double; false if not SPD.
bool lchol(LVec& a, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    long double d = a[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    if (!(d > 0)) return false;
    a[j * n + j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < n; ++i) {
      long double s = a[i * n + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / a[j * n + j];
    }
  }
  return true;
}

// Solves L L' x = b for the factor in the trailing block starting at `off`.
void lsolve(const LVec& l, std::size_t n, std::size_t off, LVec& b) {
  for (std::size_t i = off; i < n; ++i) {
    for (std::size_t k = off; k < i; ++k) b[i] -= l[i * n + k] * b[k];
    b[i] /= l[i * n + i];
  }
  for (std::size_t i = n; i-- > off;) {
    for (std::size_t k = i + 1; k < n; ++k) b[i] -= l[k * n + i] * b[k];
    b[i] /= l[i * n + i];
  }
}

struct Reference {
  double deviance, ldl2, ldrx2, pwrss, sigma2;
  Vec beta, u, fixed_inverse;
};

// The joint system [Lambda'Z'Z Lambda + I, Lambda'Z'X; X'Z Lambda, X'X] [u; beta] =
// [Lambda'Z'y; X'y] over all m*q + p unknowns, formed from the rows and solved
// densely. Its factor's leading block gives ldl2, its trailing block RX.
std::optional<Reference> reference(const Design& d, const Vec& theta, bool reml) {
  const std::size_t q = d.q, p = d.p, mq = d.m * q, n = mq + p;
  const Vec lambda = qk::theta_to_lambda(theta, q);
  LVec c(n * n, 0.0L), rhs(n, 0.0L);
  std::vector<LVec> zl(d.n, LVec(q));
  for (std::size_t r = 0; r < d.n; ++r) {
    const std::size_t g = static_cast<std::size_t>(d.codes[r]) * q;
    for (std::size_t a = 0; a < q; ++a)
      for (std::size_t k = 0; k < q; ++k) zl[r][a] += static_cast<long double>(d.z[r * q + k]) * lambda[k * q + a];
    const double* x = &d.x[r * p];
    for (std::size_t a = 0; a < q; ++a) {
      for (std::size_t b = 0; b < q; ++b) c[(g + a) * n + g + b] += zl[r][a] * zl[r][b];
      for (std::size_t j = 0; j < p; ++j) {
        c[(g + a) * n + mq + j] += zl[r][a] * x[j];
        c[(mq + j) * n + g + a] += zl[r][a] * x[j];
      }
      rhs[g + a] += zl[r][a] * d.y[r];
    }
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t j = 0; j < p; ++j) c[(mq + i) * n + mq + j] += static_cast<long double>(x[i]) * x[j];
      rhs[mq + i] += static_cast<long double>(x[i]) * d.y[r];
    }
  }
  for (std::size_t i = 0; i < mq; ++i) c[i * n + i] += 1.0L;
  if (!lchol(c, n)) return std::nullopt;
  Reference ref{};
  long double ldl2 = 0, ldrx2 = 0;
  for (std::size_t i = 0; i < n; ++i) (i < mq ? ldl2 : ldrx2) += 2 * std::log(c[i * n + i]);
  LVec sol = rhs;
  lsolve(c, n, 0, sol);
  long double pwrss = 0;
  for (std::size_t r = 0; r < d.n; ++r) {
    const std::size_t g = static_cast<std::size_t>(d.codes[r]) * q;
    long double e = d.y[r];
    for (std::size_t j = 0; j < p; ++j) e -= d.x[r * p + j] * sol[mq + j];
    for (std::size_t a = 0; a < q; ++a) e -= zl[r][a] * sol[g + a];
    pwrss += e * e;
  }
  for (std::size_t i = 0; i < mq; ++i) pwrss += sol[i] * sol[i];
  const long double nu = static_cast<long double>(reml ? d.n - p : d.n);
  ref.deviance = static_cast<double>(ldl2 + (reml ? ldrx2 : 0) + nu * (1 + std::log(kTwoPi * pwrss / nu)));
  ref.ldl2 = static_cast<double>(ldl2);
  ref.ldrx2 = reml ? static_cast<double>(ldrx2) : 0.0;
  ref.pwrss = static_cast<double>(pwrss);
  ref.sigma2 = static_cast<double>(pwrss / nu);
  for (std::size_t i = 0; i < mq; ++i) ref.u.push_back(static_cast<double>(sol[i]));
  for (std::size_t j = 0; j < p; ++j) ref.beta.push_back(static_cast<double>(sol[mq + j]));
  ref.fixed_inverse.assign(p * p, 0.0);
  for (std::size_t j = 0; j < p; ++j) {
    LVec e(n, 0.0L);
    e[mq + j] = 1.0L;
    lsolve(c, n, mq, e);
    for (std::size_t i = 0; i < p; ++i) ref.fixed_inverse[i * p + j] = static_cast<double>(e[mq + i]);
  }
  return ref;
}

Vec random_theta(std::uint64_t q, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> diag(0.3, 1.5), off(-0.5, 0.5);
  Vec t;
  for (auto [r, c] : qk::theta_index(q)) t.push_back(r == c ? diag(rng) : off(rng));
  return t;
}

double deviance(const qk::LmmData& data, const Vec& theta, bool reml) {
  auto ev = qk::evaluate(data, theta, reml, qk::kModeDeviance);
  return ev ? ev->deviance : std::numeric_limits<double>::infinity();
}

struct Models {
  Design d;
  std::unique_ptr<qk::LmmData> data[3];  // blocks, streaming, aggregated
};

Models models(const DesignSpec& s, std::uint64_t extra_empty = 0) {
  Models out{qkt::make_design(s), {}};
  out.d.m += extra_empty;
  for (int k = 0; k < 3; ++k) out.data[k] = qkt::build(out.d, kKernels[k]);
  return out;
}

const DesignSpec kDesigns[] = {
    {.p = 1, .q = 1, .m = 25, .min_rows = 0, .max_rows = 6, .seed = 101},
    {.p = 3, .q = 1, .m = 20, .max_rows = 4, .balanced = true, .seed = 102},
    {.p = 2, .q = 2, .m = 30, .min_rows = 0, .max_rows = 6, .seed = 103},
    {.p = 5, .q = 2, .m = 24, .min_rows = 1, .max_rows = 7, .seed = 104, .templates = 4},
    {.p = 2, .q = 3, .m = 25, .min_rows = 1, .max_rows = 8, .seed = 105},
    {.p = 4, .q = 3, .m = 12, .max_rows = 6, .balanced = true, .seed = 106},
    {.p = 3, .q = 4, .m = 18, .min_rows = 0, .max_rows = 9, .seed = 107},
    {.p = 1, .q = 4, .m = 10, .max_rows = 7, .balanced = true, .seed = 108},
};

std::string design_name(const DesignSpec& s) {
  return "p=" + std::to_string(s.p) + " q=" + std::to_string(s.q) + " m=" + std::to_string(s.m) +
         (s.balanced ? " balanced" : s.templates ? " templated" : " unbalanced");
}

// Every kernel reproduces the dense solution: deviance, determinant terms, beta,
// the spherical random effects and the inverse of the fixed-effects system.
TEST(Evaluate, KernelsMatchDenseSolution) {
  for (const DesignSpec& s : kDesigns) {
    Models mod = models(s, 2);
    for (std::uint64_t t = 0; t < 2; ++t) {
      const Vec theta = random_theta(s.q, s.seed * 10 + t);
      for (bool reml : {true, false}) {
        SCOPED_TRACE(design_name(s) + (reml ? " REML" : " ML") + " theta set " + std::to_string(t));
        auto ref = reference(mod.d, theta, reml);
        ASSERT_TRUE(ref);
        for (int k = 0; k < 3; ++k) {
          SCOPED_TRACE(kernel_name(kKernels[k]));
          auto ev = qk::evaluate(*mod.data[k], theta, reml, qk::kModeSolution);
          ASSERT_TRUE(ev);
          EXPECT_TRUE(qkt::near_rel(ev->deviance, ref->deviance, 1e-10));
          EXPECT_TRUE(qkt::near_rel(ev->ldl2, ref->ldl2, 1e-10));
          EXPECT_TRUE(qkt::near_rel(ev->ldrx2, ref->ldrx2, 1e-10));
          if (!reml) {
            EXPECT_EQ(ev->ldrx2, 0.0);
          }
          EXPECT_TRUE(qkt::near_rel(ev->pwrss, ref->pwrss, 1e-9));
          EXPECT_TRUE(qkt::near_rel(ev->sigma2, ref->sigma2, 1e-9));
          EXPECT_TRUE(qkt::all_near(ev->beta, ref->beta, 1e-8));
          EXPECT_TRUE(qkt::all_near(ev->u, ref->u, 1e-8));
          EXPECT_TRUE(qkt::all_near(ev->fixed_inverse, ref->fixed_inverse, 1e-8));
          EXPECT_EQ(ev->gradient.size(), qk::n_theta_of(s.q));
          // Lower modes compute the same numbers and leave out what they do not need.
          auto m0 = qk::evaluate(*mod.data[k], theta, reml, qk::kModeDeviance);
          auto m1 = qk::evaluate(*mod.data[k], theta, reml, qk::kModeGradient);
          ASSERT_TRUE(m0 && m1);
          EXPECT_TRUE(m0->gradient.empty() && m0->u.empty() && m0->fixed_inverse.empty());
          EXPECT_TRUE(m1->u.empty() && m1->fixed_inverse.empty());
          EXPECT_EQ(m0->deviance, ev->deviance);
          EXPECT_EQ(m0->beta, ev->beta);
          EXPECT_EQ(m1->gradient, ev->gradient);
        }
      }
    }
  }
}

// The analytic gradients agree across kernels and with central differences of the
// deviance, at interior points and at a point with a zero diagonal entry.
TEST(Evaluate, GradientMatchesFiniteDifferences) {
  for (const DesignSpec& s : kDesigns) {
    Models mod = models(s, 1);
    std::vector<Vec> thetas{random_theta(s.q, s.seed * 7)};
    Vec zero_diag = random_theta(s.q, s.seed * 7 + 1);
    zero_diag[0] = 0.0;
    thetas.push_back(zero_diag);
    for (const Vec& theta : thetas) {
      for (bool reml : {true, false}) {
        SCOPED_TRACE(design_name(s) + (reml ? " REML" : " ML") +
                     (theta[0] == 0.0 ? " zero diagonal" : " interior"));
        const double h = 1e-5;
        Vec fd(theta.size());
        for (std::size_t i = 0; i < theta.size(); ++i) {
          Vec up = theta, down = theta;
          up[i] += h;
          down[i] -= h;
          fd[i] = (deviance(*mod.data[0], up, reml) - deviance(*mod.data[0], down, reml)) / (2 * h);
        }
        auto blocks = qk::evaluate(*mod.data[0], theta, reml, qk::kModeGradient);
        ASSERT_TRUE(blocks);
        EXPECT_TRUE(qkt::all_near(blocks->gradient, fd, 1e-6));
        for (int k = 1; k < 3; ++k) {
          SCOPED_TRACE(kernel_name(kKernels[k]));
          auto ev = qk::evaluate(*mod.data[k], theta, reml, qk::kModeGradient);
          ASSERT_TRUE(ev);
          EXPECT_TRUE(qkt::near_rel(ev->deviance, blocks->deviance, 1e-10));
          EXPECT_TRUE(qkt::all_near(ev->gradient, blocks->gradient, 1e-8));
          EXPECT_TRUE(qkt::all_near(ev->beta, blocks->beta, 1e-9));
        }
      }
    }
  }
}

// Ordinary least squares on X: the criterion without random effects.
double ols_criterion(const Design& d, bool reml) {
  const std::size_t p = d.p;
  LVec xtx(p * p, 0.0L), xty(p, 0.0L);
  for (std::size_t r = 0; r < d.n; ++r)
    for (std::size_t i = 0; i < p; ++i) {
      xty[i] += static_cast<long double>(d.x[r * p + i]) * d.y[r];
      for (std::size_t j = 0; j < p; ++j) xtx[i * p + j] += static_cast<long double>(d.x[r * p + i]) * d.x[r * p + j];
    }
  EXPECT_TRUE(lchol(xtx, p));
  LVec beta = xty;
  lsolve(xtx, p, 0, beta);
  long double rss = 0, logdet = 0;
  for (std::size_t r = 0; r < d.n; ++r) {
    long double e = d.y[r];
    for (std::size_t j = 0; j < p; ++j) e -= d.x[r * p + j] * beta[j];
    rss += e * e;
  }
  for (std::size_t j = 0; j < p; ++j) logdet += 2 * std::log(xtx[j * p + j]);
  const long double nu = static_cast<long double>(reml ? d.n - p : d.n);
  return static_cast<double>((reml ? logdet : 0) + nu * (1 + std::log(kTwoPi * rss / nu)));
}

TEST(Evaluate, ZeroThetaIsLeastSquaresWithZeroGradient) {
  for (const DesignSpec& s : kDesigns) {
    Models mod = models(s, 1);
    const Vec theta(qk::n_theta_of(s.q), 0.0);
    for (bool reml : {true, false}) {
      SCOPED_TRACE(design_name(s) + (reml ? " REML" : " ML"));
      const double ols = ols_criterion(mod.d, reml);
      for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(kernel_name(kKernels[k]));
        auto ev = qk::evaluate(*mod.data[k], theta, reml, qk::kModeSolution);
        ASSERT_TRUE(ev);
        EXPECT_EQ(ev->ldl2, 0.0);
        EXPECT_TRUE(qkt::near_rel(ev->deviance, ols, 1e-10));
        for (double g : ev->gradient) EXPECT_EQ(g, 0.0);
        for (double u : ev->u) EXPECT_EQ(u, 0.0);
      }
    }
  }
}

// A class of k groups sharing Z'Z does the work of those k groups one by one:
// q = 1, three groups of three unit rows (Z'Z = 3) at theta = 1 give V = 4 and
// ldl2 = 3 log 4; larger templated designs agree between the two sources.
TEST(Evaluate, ClassesEqualTheirGroupsOneByOne) {
  Design d;
  d.p = 1;
  d.q = 1;
  d.m = 3;
  const double ys[] = {1.0, 2.5, -0.5, 3.0, 0.25, 1.5, -2.0, 0.5, 4.0};
  for (int r = 0; r < 9; ++r) {
    d.codes.push_back(r % 3);
    d.y.push_back(ys[r]);
    d.x.push_back(1.0);
    d.z.push_back(1.0);
  }
  d.n = 9;
  auto agg = qkt::build(d, qk::kAggregated);
  ASSERT_TRUE(agg && agg->classes);
  EXPECT_EQ(agg->classes->n_classes, 1u);
  auto ev = qk::evaluate(*agg, {1.0}, true, qk::kModeGradient);
  ASSERT_TRUE(ev);
  EXPECT_DOUBLE_EQ(ev->ldl2, 6.0 * std::log(2.0));

  for (std::uint64_t q : {1u, 2u, 3u}) {
    Models mod = models({.p = 3, .q = q, .m = 300, .min_rows = 0, .max_rows = 5, .seed = 120 + q,
                         .templates = 5});
    ASSERT_LE(mod.data[2]->classes->n_classes, 5u);
    const Vec theta = random_theta(q, 121);
    for (bool reml : {true, false}) {
      auto s = qk::evaluate(*mod.data[1], theta, reml, qk::kModeSolution);
      auto a = qk::evaluate(*mod.data[2], theta, reml, qk::kModeSolution);
      ASSERT_TRUE(s && a);
      EXPECT_TRUE(qkt::near_rel(a->deviance, s->deviance, 1e-11));
      EXPECT_TRUE(qkt::near_rel(a->ldl2, s->ldl2, 1e-11));
      EXPECT_TRUE(qkt::all_near(a->gradient, s->gradient, 1e-9));
      EXPECT_TRUE(qkt::all_near(a->beta, s->beta, 1e-10));
      EXPECT_TRUE(qkt::all_near(a->u, s->u, 1e-10));
    }
  }
}

// A theta large enough to overflow a pivot is infeasible, also when only one group
// of a middle chunk overflows; the blocks kernel's pooled buffer survives it.
TEST(Evaluate, InfeasibleThetaAndScratchReuse) {
  Models mod = models({.p = 2, .q = 2, .m = 1000, .min_rows = 1, .max_rows = 4, .seed = 131});
  const Vec good{0.8, 0.1, 0.6};
  const Vec huge{1e200, 0.0, 1.0};
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(kernel_name(kKernels[k]));
    const qk::LmmData& data = *mod.data[k];
    auto first = qk::evaluate(data, good, true, qk::kModeGradient);
    ASSERT_TRUE(first);
    for (std::uint8_t mode : {qk::kModeDeviance, qk::kModeGradient, qk::kModeSolution})
      EXPECT_FALSE(qk::evaluate(data, huge, true, mode));
    // The buffer borrowed by the failed evaluations went back to the pool.
    EXPECT_EQ(data.scratch.size(), kKernels[k] == qk::kBlocks ? 1u : 0u);
    EXPECT_FALSE(qk::conditional_covariances(data, huge, true));
    auto again = qk::evaluate(data, good, true, qk::kModeGradient);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->deviance, first->deviance);
    EXPECT_EQ(again->gradient, first->gradient);
    EXPECT_EQ(data.scratch.size(), kKernels[k] == qk::kBlocks ? 1u : 0u);
  }

  // One group (number 500, in a middle chunk of every kernel) with Z'Z near 1e300:
  // at lambda = 1e5 only its pivot overflows.
  Design poisoned = mod.d;
  poisoned.codes.push_back(500);
  poisoned.y.push_back(0.0);
  poisoned.x.insert(poisoned.x.end(), {1.0, 0.0});
  poisoned.z.insert(poisoned.z.end(), {1e150, 0.0});
  poisoned.n += 1;
  const Vec big{1e5, 0.0, 1.0};
  for (std::uint8_t kernel : kKernels) {
    SCOPED_TRACE(kernel_name(kernel));
    auto clean = qkt::build(mod.d, kernel);
    auto bad = qkt::build(poisoned, kernel);
    ASSERT_TRUE(clean && bad);
    EXPECT_TRUE(qk::evaluate(*clean, big, false, qk::kModeGradient));
    EXPECT_FALSE(qk::evaluate(*bad, big, false, qk::kModeDeviance));
    EXPECT_FALSE(qk::evaluate(*bad, big, false, qk::kModeGradient));
  }
}

// y exactly in the column space of X: at theta = 0 pwrss is exactly 0 (all values
// here are powers of two), which is infeasible rather than a deviance of -inf.
TEST(Evaluate, ZeroResidualIsInfeasible) {
  Design d;
  d.p = 1;
  d.q = 1;
  d.m = 2;
  d.n = 4;
  d.codes = {0, 1, 0, 1};
  d.y = Vec(4, 2.0);
  d.x = Vec(4, 1.0);
  d.z = {1.0, 0.5, 2.0, 1.0};
  for (std::uint8_t kernel : kKernels) {
    auto data = qkt::build(d, kernel);
    ASSERT_TRUE(data);
    for (bool reml : {true, false})
      EXPECT_FALSE(qk::evaluate(*data, {0.0}, reml, qk::kModeGradient)) << kernel_name(kernel);
  }
}

// Concurrent gradient evaluations of one design each get their own work buffer and
// the same bits; at most four buffers stay pooled afterwards.
TEST(Evaluate, ConcurrentEvaluationsOfOneDesign) {
  Models mod = models({.p = 2, .q = 2, .m = 5000, .min_rows = 1, .max_rows = 3, .seed = 141});
  const qk::LmmData& data = *mod.data[0];
  const Vec theta{1.1, 0.3, 0.4};
  auto expected = qk::evaluate(data, theta, true, qk::kModeGradient);
  ASSERT_TRUE(expected);
  std::vector<std::optional<qk::Evaluation>> got(6 * 3);
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3; ++i) got[t * 3 + i] = qk::evaluate(data, theta, true, qk::kModeGradient);
    });
  for (auto& th : threads) th.join();
  for (const auto& ev : got) {
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->deviance, expected->deviance);
    EXPECT_EQ(ev->gradient, expected->gradient);
  }
  EXPECT_GE(data.scratch.size(), 1u);
  EXPECT_LE(data.scratch.size(), 4u);
}

TEST(ScalarHessian, MatchesDerivativesOfTheCriterion) {
  const DesignSpec specs[] = {
      {.p = 2, .q = 1, .m = 40, .min_rows = 0, .max_rows = 7, .seed = 151},
      {.p = 3, .q = 1, .m = 60, .min_rows = 1, .max_rows = 6, .seed = 152, .templates = 3},
  };
  for (const DesignSpec& s : specs) {
    Models mod = models(s);
    for (bool reml : {true, false}) {
      for (double theta : {0.0, 0.35, 1.3}) {
        SCOPED_TRACE(design_name(s) + (reml ? " REML" : " ML") + " theta " + std::to_string(theta));
        std::optional<qk::ScalarHessian> first;
        for (int k = 0; k < 3; ++k) {
          SCOPED_TRACE(kernel_name(kKernels[k]));
          const qk::LmmData& data = *mod.data[k];
          auto h = qk::scalar_hessian(data, reml, theta);
          ASSERT_TRUE(h);
          auto ev = qk::evaluate(data, {theta}, reml, qk::kModeGradient);
          ASSERT_TRUE(ev);
          EXPECT_TRUE(qkt::near_rel(h->deviance, ev->deviance, 1e-11));
          EXPECT_TRUE(qkt::near_rel(h->first, ev->gradient[0], 1e-8));
          const double step = 1e-4;
          auto up = qk::evaluate(data, {theta + step}, reml, qk::kModeGradient);
          auto down = qk::evaluate(data, {theta - step}, reml, qk::kModeGradient);
          ASSERT_TRUE(up && down);
          const double fd = (up->gradient[0] - down->gradient[0]) / (2 * step);
          EXPECT_TRUE(qkt::near_rel(h->second, fd, 1e-6));
          // Even in theta: the same deviance and curvature, the slope negated.
          auto mirror = qk::scalar_hessian(data, reml, -theta);
          ASSERT_TRUE(mirror);
          EXPECT_EQ(mirror->deviance, h->deviance);
          EXPECT_EQ(mirror->first, -h->first);
          EXPECT_EQ(mirror->second, h->second);
          if (theta == 0.0) {
            EXPECT_EQ(h->first, 0.0);
          }
          if (first) {
            EXPECT_TRUE(qkt::near_rel(h->deviance, first->deviance, 1e-11));
            EXPECT_TRUE(qkt::near_rel(h->second, first->second, 1e-8));
          } else {
            first = h;
          }
        }
      }
    }
  }
}

TEST(ScalarHessian, NothingForVectorEffectsOrInfeasiblePoints) {
  Models two = models({.p = 2, .q = 2, .m = 10, .seed = 161});
  EXPECT_FALSE(qk::scalar_hessian(*two.data[0], true, 1.0));
  Models one = models({.p = 2, .q = 1, .m = 10, .seed = 162});
  for (int k = 0; k < 3; ++k) {
    EXPECT_FALSE(qk::scalar_hessian(*one.data[k], true, 1e200)) << kernel_name(kKernels[k]);
    EXPECT_FALSE(qk::evaluate(*one.data[k], {1e200}, true, qk::kModeDeviance));
  }
}

// Var(b_i | y) = sigma2 Lambda (Lambda'Z_i'Z_i Lambda + I)^-1 Lambda', in closed
// form for q = 1 (sigma2 l^2 / (l^2 z + 1)) and by a dense solve for q = 2, 3;
// groups without rows get sigma2 Lambda Lambda'. REML scales ML by n / (n - p).
TEST(ConditionalCovariances, ClosedForms) {
  for (std::uint64_t q : {1u, 2u, 3u}) {
    Models mod = models({.p = 2, .q = q, .m = 30, .min_rows = 0, .max_rows = 5, .seed = 170 + q}, 2);
    const Vec theta = random_theta(q, 171);
    const Vec lam = qk::theta_to_lambda(theta, q);
    for (int k = 0; k < 3; ++k) {
      SCOPED_TRACE(std::to_string(q) + " " + kernel_name(kKernels[k]));
      const qk::LmmData& data = *mod.data[k];
      auto reml = qk::conditional_covariances(data, theta, true);
      auto ml = qk::conditional_covariances(data, theta, false);
      auto ev = qk::evaluate(data, theta, true, qk::kModeDeviance);
      ASSERT_TRUE(reml && ml && ev);
      ASSERT_EQ(reml->size(), data.m * q * q);
      const double ratio = static_cast<double>(data.n) / static_cast<double>(data.n - data.p);
      for (std::uint64_t g = 0; g < data.m; ++g) {
        const double* a = &data.ztz[g * q * q];
        LVec s(q * q, 0.0L);
        for (std::size_t i = 0; i < q; ++i)
          for (std::size_t j = 0; j < q; ++j) {
            for (std::size_t r = 0; r < q; ++r)
              for (std::size_t c = 0; c < q; ++c)
                s[i * q + j] += static_cast<long double>(lam[r * q + i]) * a[r * q + c] * lam[c * q + j];
            s[i * q + j] += i == j ? 1.0L : 0.0L;
          }
        ASSERT_TRUE(lchol(s, q));
        for (std::size_t c = 0; c < q; ++c) {
          LVec col(q);  // column c of S^-1 Lambda'
          for (std::size_t i = 0; i < q; ++i) col[i] = lam[c * q + i];
          lsolve(s, q, 0, col);
          for (std::size_t r = 0; r < q; ++r) {
            long double v = 0.0L;
            for (std::size_t i = 0; i < q; ++i) v += lam[r * q + i] * col[i];
            const double got = (*reml)[(g * q + r) * q + c];
            EXPECT_TRUE(qkt::near_rel(got, static_cast<double>(ev->sigma2 * v), 1e-12)) << "group " << g;
            EXPECT_TRUE(qkt::near_rel(got, (*ml)[(g * q + r) * q + c] * ratio, 1e-12));
          }
        }
        if (q == 1) {
          const double l2 = lam[0] * lam[0];
          EXPECT_TRUE(qkt::near_rel((*reml)[g], ev->sigma2 * l2 / (l2 * a[0] + 1.0), 1e-13));
        }
      }
    }
  }
}

// Everything the evaluators compute on a design large enough that every loop runs
// in chunks on the pool, as bytes.
std::string pooled_results(const Design& big, const Design& scalar, const Design& scalar_below) {
  qkt::Bytes b;
  b.u64(qk::pool_threads());
  auto put = [&](const std::optional<qk::Evaluation>& ev) {
    b.u64(ev.has_value());
    if (!ev) return;
    b.f64(ev->deviance).f64(ev->sigma2).f64(ev->pwrss).f64(ev->ldl2).f64(ev->ldrx2);
    b.vec(ev->gradient).vec(ev->beta).vec(ev->u).vec(ev->fixed_inverse);
  };
  const Vec theta{0.8, 0.25, 0.6};
  for (std::uint8_t kernel : kKernels) {
    auto data = qkt::build(big, kernel);
    if (!data) return "build failed";
    b.u64(data->classes ? data->classes->n_classes : 0);
    put(qk::evaluate(*data, theta, true, qk::kModeSolution));
    put(qk::evaluate(*data, theta, false, qk::kModeGradient));
    put(qk::evaluate(*data, theta, true, qk::kModeDeviance));
    auto cov = qk::conditional_covariances(*data, theta, true);
    b.vec(cov ? *cov : Vec{});
  }
  for (const Design* d : {&scalar, &scalar_below}) {
    for (std::uint8_t kernel : kKernels) {
      auto data = qkt::build(*d, kernel);
      if (!data) return "build failed";
      put(qk::evaluate(*data, {0.7}, true, qk::kModeSolution));
      for (bool reml : {true, false}) {
        auto h = qk::scalar_hessian(*data, reml, 0.7);
        b.u64(h.has_value());
        if (h) b.f64(h->deviance).f64(h->first).f64(h->second);
      }
    }
  }
  return b.buf;
}

// Bit-identical results with 1, 2 and 7 threads. The q = 2 design has 20000
// groups and about 1600 classes, so blocks, streaming, aggregated, random effects
// and conditional covariances all run chunks on the pool; the q = 1 designs sit on
// both sides of the blocks kernel's threshold for p = q = 1 (m * 18 >= 262144).
TEST(Evaluate, SameBitsForAnyPoolSize) {
  const Design big = qkt::make_design(
      {.p = 3, .q = 2, .m = 20000, .min_rows = 0, .max_rows = 4, .seed = 181, .templates = 2000});
  const Design scalar = qkt::make_design({.p = 1, .q = 1, .m = 14564, .min_rows = 1, .max_rows = 3, .seed = 182});
  Design below = scalar;
  below.m -= 1;
  for (std::int64_t& c : below.codes) c = c % static_cast<std::int64_t>(below.m);
  auto compute = [&] { return pooled_results(big, scalar, below); };
  const std::string one = qkt::in_child("1", compute);
  ASSERT_GT(one.size(), 100000u) << one.substr(0, 100);
  std::uint64_t threads = 0;
  std::memcpy(&threads, one.data(), 8);
  EXPECT_EQ(threads, 1u);
  for (const char* t : {"2", "7"}) {
    const std::string other = qkt::in_child(t, compute);
    ASSERT_EQ(other.size(), one.size()) << t;
    std::memcpy(&threads, other.data(), 8);
    EXPECT_EQ(threads, std::stoull(t));
    EXPECT_TRUE(other.compare(8, std::string::npos, one, 8, std::string::npos) == 0)
        << "results differ between 1 and " << t << " threads";
  }
  auto agg = qkt::build(big, qk::kAggregated);
  ASSERT_TRUE(agg && agg->classes);
  EXPECT_GT(agg->classes->n_classes, 1400u);  // enough classes to fill several chunks
}

}  // namespace
