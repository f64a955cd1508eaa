// The GLMM family table against R's binomial() / poisson() (tables written by
// tests/data/glmm/make_family_reference.R), its eta derivatives against finite
// differences, IRLS on its working weights, and the checks of names and responses.

#include "lmm/glmm/family.hpp"
#include "support.hpp"

namespace {

// Unity builds put several test files in one translation unit: names here are the
// family tests' own.
namespace fam = qk::glmm;

fam::Family fam_of(const std::string& family, const std::string& link) {
  const auto r = fam::parse_family(family, link);
  EXPECT_TRUE(std::holds_alternative<fam::Family>(r)) << family << " " << link;
  return std::get<fam::Family>(r);
}
fam::Family fam_of_link(const std::string& link) { return fam_of(link == "log" ? "poisson" : "binomial", link); }
bool fam_is(const fam::Family& f, const char* name) { return f.def->name == std::string(name); }

// |got - want| <= tol; infinities must agree exactly.
void fam_expect_near(double got, double want, double tol, const std::string& what) {
  if (std::isinf(want)) {
    EXPECT_EQ(got, want) << what;
    return;
  }
  EXPECT_LE(std::fabs(got - want), tol) << what << ": got " << got << " want " << want;
}

// The scale that rounding in the log-likelihood is relative to: its terms' magnitudes,
// lgamma of the counts included (their differences cancel to the result).
// Terms with a zero count (0 log 0 at the saturated model) are absent.
double fam_loglik_scale(const fam::Family& f, double y, double mu, double w) {
  const auto xlog = [](double x, double m) { return x != 0.0 ? x * std::fabs(std::log(m)) : 0.0; };
  if (fam_is(f, "binomial")) return std::lgamma(w + 1.0) + xlog(w * y, mu) + xlog(w - w * y, 1.0 - mu);
  return w * (std::lgamma(y + 1.0) + xlog(y, mu) + mu);
}

double fam_loglik(const fam::Family& f, double y, double mu, double w) {
  return fam::loglik_constant(f, y, w) + fam::loglik_smooth(f, y, mu, w);
}

// linkinv and mu_eta match R on the whole grid, clamps included, to a few ulps (the
// same operations on exp, and for probit another algorithm for Phi than R's pnorm);
// the link's mean gives both to the same bits.
TEST(GlmmFamily, LinkMatchesR) {
  for (const qkt::FamRef& r : qkt::fam_table("family_links.csv")) {
    const fam::Family f = fam_of_link(r.name);
    const double eta = r.v[0], mu = r.v[1], m1 = r.v[2], rel = 4 * DBL_EPSILON;
    const std::string what = r.name + " eta=" + std::to_string(eta);
    fam_expect_near(fam::linkinv(f, eta), mu, rel * std::fabs(mu), what + " linkinv");
    fam_expect_near(fam::mu_eta(f, eta), m1, rel * std::fabs(m1), what + " mu_eta");
    double both_mu, both_m1;
    f.link->mean(eta, both_mu, both_m1);
    EXPECT_EQ(both_mu, fam::linkinv(f, eta)) << what;
    EXPECT_EQ(both_m1, fam::mu_eta(f, eta)) << what;
  }
}

// The unit deviance of single observations matches R's to a few ulps (R's operations);
// the log density (lgamma-based here, Loader's saddle point in R's dbinom and dpois) to
// 1e-14 of the magnitude of its terms; and -2 loglik = deviance - 2 loglik at mu = y
// (the deviance is twice the distance to the saturated model).
TEST(GlmmFamily, DevianceAndLikelihoodMatchR) {
  for (const qkt::FamRef& r : qkt::fam_table("family_observations.csv")) {
    const fam::Family f = fam_of(r.name, "");
    const double y = r.v[0], mu = r.v[1], w = r.v[2], dev = r.v[3], logdens = r.v[4];
    const std::string what =
        r.name + " y=" + std::to_string(y) + " mu=" + std::to_string(mu) + " w=" + std::to_string(w);
    // Poisson counts above 1024 take Loader's form, without the cancellation of R's
    // y log(y / mu) - (y - mu), which rounds to a few ulps of 2 w (y + 1) (0.4% of the
    // deviance at y = 1e6, mu = y + 0.1).
    const bool loader = fam_is(f, "poisson") && y > 1024.0;
    const double dev_tol = loader ? 4 * DBL_EPSILON * 2.0 * w * (y + 1.0) : 4 * DBL_EPSILON * std::fabs(dev);
    fam_expect_near(fam::dev_resid(f, y, mu, w), dev, dev_tol, what + " dev");
    const double tol = 1e-14 * (std::fabs(logdens) + fam_loglik_scale(f, y, mu, w));
    fam_expect_near(fam_loglik(f, y, mu, w), logdens, tol, what + " loglik");
    // dev_resid rounds y / mu, an absolute error of a few ulps of 2 w (y + 1) where the
    // ratio is near 1.
    const double row_scale = fam_loglik_scale(f, y, mu, w) + fam_loglik_scale(f, y, y, w) + 2.0 * w * (y + 1.0);
    fam_expect_near(-2.0 * fam_loglik(f, y, mu, w), fam::dev_resid(f, y, mu, w) - 2.0 * fam_loglik(f, y, y, w),
                    1e-13 * row_scale, what + " saturated");
  }
}

struct FamDerivCase {
  const char* link;
  double y, w;
};
constexpr FamDerivCase kFamDerivCases[] = {
    {"logit", 3.0 / 7.0, 7}, {"logit", 0, 1},     {"logit", 1, 1000},
    {"probit", 3.0 / 7.0, 7}, {"probit", 0, 1},   {"probit", 1, 1000},
    {"cloglog", 3.0 / 7.0, 7}, {"cloglog", 0, 1}, {"cloglog", 1, 1000},
    {"log", 3, 1},            {"log", 0, 2.5},    {"log", 17, 1},
};
constexpr double kFamInteriorEtas[] = {-4.5, -2, -0.7, 0, 0.4, 1.3, 2.8};

// Derivatives by Richardson-extrapolated central differences (truncation O(h^4)):
// relative 1e-7 is far above their error and far below any wrong term.
double fam_central(const std::function<double(double)>& fn, double x, double h) {
  return qkt::differences([&](const qkt::Vec& v) { return fn(v[0]); }, {x}, h)[0];
}

// d loglik / d eta, d^2 loglik / d eta^2, d mu / d eta and d^2 mu / d eta^2 against
// central differences of the function one order below, inside the clamps; and the
// canonical link's defining identity d mu / d eta = V(mu).
TEST(GlmmFamily, DerivativesMatchFiniteDifferences) {
  for (const auto& c : kFamDerivCases) {
    const fam::Family f = fam_of_link(c.link);
    for (const double eta : kFamInteriorEtas) {
      if (c.link == std::string("cloglog") && eta > 2) continue;  // mu within 1e-7 of 1: no digits left
      const std::string what = std::string(c.link) + " y=" + std::to_string(c.y) +
                               " eta=" + std::to_string(eta);
      const double h = 1e-5;
      const auto ll = [&](double e) { return fam_loglik(f, c.y, fam::linkinv(f, e), c.w); };
      const auto d1 = [&](double e) { return fam::loglik_eta_derivs(f, c.y, e, c.w).d1; };
      const auto mu = [&](double e) { return fam::linkinv(f, e); };
      const auto m1 = [&](double e) { return fam::mu_eta(f, e); };
      const fam::EtaDerivs d = fam::loglik_eta_derivs(f, c.y, eta, c.w);
      const double fd1 = fam_central(ll, eta, h), fd2 = fam_central(d1, eta, h);
      EXPECT_NEAR(d.d1, fd1, 1e-7 * (std::fabs(fd1) + c.w * 1e-3)) << what << " d1";
      EXPECT_NEAR(d.d2, fd2, 1e-7 * (std::fabs(fd2) + c.w * 1e-3)) << what << " d2";
      const double fm1 = fam_central(mu, eta, h), fm2 = fam_central(m1, eta, h);
      // Rounding in the differences is about DBL_EPSILON mu / h: the floor where m2 is 0.
      EXPECT_NEAR(fam::mu_eta(f, eta), fm1, 1e-7 * std::fabs(fm1)) << what << " mu_eta";
      EXPECT_NEAR(fam::mu_eta2(f, eta), fm2, 1e-7 * std::fabs(fm2) + 1e-9 * std::fabs(fm1))
          << what << " mu_eta2";
      if (fam::canonical(f)) {
        EXPECT_LT(d.d2, 0.0) << what;
        EXPECT_NEAR(fam::mu_eta(f, eta), fam::variance(f, mu(eta)), 4 * DBL_EPSILON * fm1) << what;
      }
    }
  }
}

// Far outside the clamps every link of binomial and Poisson keeps mu strictly inside
// the family's means and the working weight and response finite, so a PIRLS step never
// divides by zero (the log link only towards zero, where its clamp is). R clamps no
// other link.
TEST(GlmmFamily, ClampsKeepIrlsFinite) {
  for (const fam::FamilyDef& def : fam::families())
    for (const fam::LinkDef* link : def.links) {
      if (def.mu_derivs != nullptr) continue;
      const fam::Family f{&def, link};
      const bool bounded = std::isfinite(def.mean_upper);
      const double y = bounded ? 0.5 : 2.0, w = 2.0;
      for (const double eta : {-800.0, -40.0, 40.0, 800.0}) {
        if (!bounded && eta > 0) continue;
        const std::string what = std::string(def.name) + "/" + link->name + " eta=" + std::to_string(eta);
        const double mu = fam::linkinv(f, eta), m1 = fam::mu_eta(f, eta);
        const double weight = fam::working_weight(f, mu, m1, w);
        EXPECT_TRUE(mu > def.mean_lower && mu < def.mean_upper) << what;
        EXPECT_TRUE(std::isfinite(weight) && weight > 0.0) << what;
        EXPECT_TRUE(std::isfinite(eta + (y - mu) / m1)) << what;
        const fam::EtaDerivs d = fam::loglik_eta_derivs(f, y, eta, w);
        EXPECT_TRUE(std::isfinite(d.d1) && std::isfinite(d.d2)) << what;
      }
    }
}

// IRLS for an intercept alone, eta_{k+1} = sum(W z) / sum(W) with the working weights
// W and responses z = eta + (y - mu) / mu_eta, reaches the maximum-likelihood mean,
// which for one common mean is the pooled proportion (binomial) or the weighted mean
// count (poisson) whatever the link, and lowers the deviance at every step.
TEST(GlmmFamily, IrlsFindsInterceptMle) {
  const std::vector<double> trials{1, 7, 3, 10, 1, 4};
  const std::vector<double> succ{1, 2, 0, 9, 0, 4};
  const std::vector<double> counts{0, 3, 1, 7, 2, 0};
  const std::vector<double> pw{1, 1, 2.5, 1, 0.5, 1};
  for (const char* link : {"logit", "probit", "cloglog", "log"}) {
    const fam::Family f = fam_of_link(link);
    const bool bin = fam_is(f, "binomial");
    const std::size_t n = trials.size();
    std::vector<double> y(n), w = bin ? trials : pw;
    double num = 0.0, den = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      y[i] = bin ? succ[i] / trials[i] : counts[i];
      num += w[i] * y[i];
      den += w[i];
    }
    double eta = 0.0, last = INFINITY;
    for (int it = 0; it < 50; ++it) {
      const double mu = fam::linkinv(f, eta), m1 = fam::mu_eta(f, eta);
      double dev = 0.0, sw = 0.0, swz = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double weight = fam::working_weight(f, mu, m1, w[i]);
        dev += fam::dev_resid(f, y[i], mu, w[i]);
        sw += weight;
        swz += weight * (eta + (y[i] - mu) / m1);
      }
      EXPECT_LE(dev, last * (1 + 1e-15)) << link << " iteration " << it;
      last = dev;
      eta = swz / sw;
    }
    EXPECT_NEAR(fam::linkinv(f, eta), num / den, 1e-13) << link;
  }
}

TEST(GlmmFamily, ParseNamesFamiliesAndLinks) {
  struct Case {
    const char* family;
    const char* link;
    std::string expect;  // "family/link" accepted, or the refusal
  };
  const std::string binomial_links = "\" is not available for the binomial family: use \"logit\", \"probit\" or \"cloglog\"",
                    poisson_links = "\" is not available for the poisson family: use \"log\"",
                    families = "\" is not available: use \"binomial\", \"poisson\", \"nbinom2\", \"nbinom1\", \"Gamma\", "
                               "\"gaussian\", \"inverse.gaussian\", \"beta\", \"betabinomial\", \"truncated_poisson\", "
                               "\"truncated_nbinom2\" or \"tweedie\"";
  const Case cases[] = {
      {"binomial", "", "binomial/logit"}, {"binomial", "logit", "binomial/logit"},
      {"binomial", "probit", "binomial/probit"}, {"binomial", "cloglog", "binomial/cloglog"},
      {"poisson", "", "poisson/log"}, {"poisson", "log", "poisson/log"},
      {"binomial", "log", "link \"log" + binomial_links}, {"binomial", "identity", "link \"identity" + binomial_links},
      {"poisson", "logit", "link \"logit" + poisson_links}, {"poisson", "sqrt", "link \"sqrt" + poisson_links},
      {"gaussian", "", "gaussian/identity"}, {"Gamma", "", "Gamma/inverse"}, {"Gamma", "log", "Gamma/log"},
      {"inverse.gaussian", "", "inverse.gaussian/1/mu^2"}, {"nbinom2", "", "nbinom2/log"}, {"beta", "", "beta/logit"},
      {"gamma", "", "family \"gamma" + families}, {"Binomial", "logit", "family \"Binomial" + families},
      {"", "", "family \"" + families},
  };
  for (const Case& c : cases) {
    const auto r = fam::parse_family(c.family, c.link);
    const std::string got =
        std::holds_alternative<fam::Family>(r)
            ? std::string(std::get<fam::Family>(r).def->name) + "/" + std::get<fam::Family>(r).link->name
            : std::get<std::string>(r);
    EXPECT_EQ(got, c.expect) << c.family << " " << c.link;
  }
}

TEST(GlmmFamily, ResponseSupport) {
  struct Case {
    const char* family;
    double y, w;
    fam::Support expect;
  };
  using S = fam::Support;
  const Case cases[] = {
      {"binomial", 0, 1, S::kInside}, {"binomial", 1, 1, S::kInside}, {"binomial", 3.0 / 7.0, 7, S::kInside},
      {"binomial", 0.1, 30, S::kInside},  // 0.1 * 30 rounds to 3.0000000000000004
      {"binomial", 0.5, 1, S::kNotIntegral}, {"binomial", 0.25, 2.5, S::kNotIntegral},  // 0.625 successes
      {"binomial", 0, 2.5, S::kNotIntegral},                                           // 2.5 trials
      {"binomial", 0.3, 10 + 1e-6, S::kNotIntegral}, {"binomial", -1e-300, 1, S::kOutside},
      {"binomial", 1 + 1e-15, 1, S::kOutside}, {"binomial", 0.5, 0, S::kOutside}, {"binomial", 0.5, -2, S::kOutside},
      {"binomial", NAN, 1, S::kOutside}, {"binomial", 0.5, INFINITY, S::kOutside},
      {"poisson", 0, 1, S::kInside}, {"poisson", 1e6, 1, S::kInside}, {"poisson", 3, 0, S::kInside},
      {"poisson", 3, 2.5, S::kInside}, {"poisson", 2.5, 1, S::kNotIntegral}, {"poisson", 1e6 + 0.5, 1, S::kNotIntegral},
      {"poisson", 3 + 1e-9, 1, S::kInside}, {"poisson", -1, 1, S::kOutside}, {"poisson", 3, -1, S::kOutside},
      {"poisson", INFINITY, 1, S::kOutside}, {"poisson", NAN, 1, S::kOutside},
  };
  for (const Case& c : cases)
    EXPECT_EQ(fam::check_response(fam_of(c.family, ""), c.y, c.w), c.expect)
        << c.family << " y=" << c.y << " w=" << c.w;
}

}  // namespace
