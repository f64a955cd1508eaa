// The GLMM families against R's binomial() / poisson() (tables made by
// tests/data/glmm/make_family_reference.R), their eta derivatives against finite
// differences, IRLS on their working weights and responses, and the checks of names
// and responses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "glmm_family_reference.hpp"
#include "lmm/glmm/family.hpp"

namespace {

// Unity builds put several test files in one translation unit: names here are the
// family tests' own.
namespace fam = qk::glmm;

fam::Family fam_of(const std::string& family, const std::string& link) {
  const auto r = fam::parse_family(family, link);
  EXPECT_TRUE(std::holds_alternative<fam::Family>(r)) << family << " " << link;
  return std::get<fam::Family>(r);
}
fam::Family fam_of_link(const std::string& link) {
  return fam_of(link == "log" ? "poisson" : "binomial", link);
}

// |got - want| <= tol; infinities must agree exactly.
void fam_expect_near(double got, double want, double tol, const std::string& what) {
  if (std::isinf(want)) {
    EXPECT_EQ(got, want) << what;
    return;
  }
  EXPECT_LE(std::fabs(got - want), tol) << what << ": got " << got << " want " << want;
}

std::string fam_row_name(const char* fam, double y, double mu, double w) {
  return std::string(fam) + " y=" + std::to_string(y) + " mu=" + std::to_string(mu) +
         " w=" + std::to_string(w);
}

// The scale that rounding in the log-likelihood is relative to: its terms' magnitudes,
// lgamma of the counts included (their differences cancel to the result).
// Terms with a zero count (0 log 0 at the saturated model) are absent.
double fam_loglik_scale(fam::Kind kind, double y, double mu, double w) {
  const auto xlog = [](double x, double m) { return x != 0.0 ? x * std::fabs(std::log(m)) : 0.0; };
  if (kind == fam::Kind::kBinomial) return std::lgamma(w + 1.0) + xlog(w * y, mu) + xlog(w - w * y, 1.0 - mu);
  return w * (std::lgamma(y + 1.0) + xlog(y, mu) + mu);
}

// linkinv and mu_eta match R on the whole grid, clamps included, to a few ulps (the
// same operations on exp, and for probit another algorithm for Phi than R's pnorm).
TEST(GlmmFamily, LinkMatchesR) {
  for (const auto& r : qkt_family::kLinkRefs) {
    const fam::Family f = fam_of_link(r.link);
    const double rel = 4 * DBL_EPSILON;
    const std::string what = std::string(r.link) + " eta=" + std::to_string(r.eta);
    fam_expect_near(fam::linkinv(f, r.eta), r.mu, rel * std::fabs(r.mu), what + " linkinv");
    fam_expect_near(fam::mu_eta(f, r.eta), r.mu_eta, rel * std::fabs(r.mu_eta),
                    what + " mu_eta");
  }
}

// The unit deviance of single observations matches R's to a few ulps (R's operations);
// the log density and aic (lgamma-based here, Loader's saddle point in R's dbinom and
// dpois) to 1e-14 of the magnitude of their terms.
TEST(GlmmFamily, DevianceAndLikelihoodMatchR) {
  for (const auto& r : qkt_family::kObsRefs) {
    const fam::Family f = fam_of(r.family, "");
    const std::string what = fam_row_name(r.family, r.y, r.mu, r.w);
    // Poisson counts above 1024 take Loader's form, without the cancellation of R's
    // y log(y / mu) - (y - mu), which rounds to a few ulps of 2 w (y + 1) (0.4% of the
    // deviance at y = 1e6, mu = y + 0.1).
    const bool loader = f.kind == fam::Kind::kPoisson && r.y > 1024.0;
    const double dev_tol = loader ? 4 * DBL_EPSILON * 2.0 * r.w * (r.y + 1.0) : 4 * DBL_EPSILON * std::fabs(r.dev);
    fam_expect_near(fam::dev_resid(f, r.y, r.mu, r.w), r.dev, dev_tol, what + " dev");
    const double tol = 1e-14 * (std::fabs(r.logdens) + fam_loglik_scale(f.kind, r.y, r.mu, r.w));
    fam_expect_near(fam::loglik(f, r.y, r.mu, r.w), r.logdens, tol, what + " loglik");
    fam_expect_near(fam::aic_term(f, r.y, r.mu, r.w), r.aic, 2 * tol, what + " aic");
  }
}

// -2 loglik = deviance - 2 saturated loglik, row by row and summed over rows.
TEST(GlmmFamily, DevianceIsDistanceToSaturated) {
  for (const fam::Kind kind : {fam::Kind::kBinomial, fam::Kind::kPoisson}) {
    const fam::Family f = fam_of(fam::family_name(kind), "");
    std::vector<double> y, mu, w;
    double sat = 0.0, scale = 0.0;
    for (const auto& r : qkt_family::kObsRefs) {
      if (fam::family_name(kind) != std::string(r.family)) continue;
      y.push_back(r.y), mu.push_back(r.mu), w.push_back(r.w);
      const double s = fam::loglik_saturated(f, r.y, r.w);
      // dev_resid rounds y / mu, an absolute error of a few ulps of 2 w (y + 1) where the
      // ratio is near 1.
      const double row_scale = fam_loglik_scale(kind, r.y, r.mu, r.w) +
                               fam_loglik_scale(kind, r.y, r.y, r.w) + 2.0 * r.w * (r.y + 1.0);
      fam_expect_near(-2.0 * fam::loglik(f, r.y, r.mu, r.w),
                      fam::dev_resid(f, r.y, r.mu, r.w) - 2.0 * s, 1e-13 * row_scale,
                      fam_row_name(r.family, r.y, r.mu, r.w));
      sat += s;
      scale += row_scale;
    }
    const std::size_t n = y.size();
    fam_expect_near(-2.0 * fam::loglik_sum(f, n, y.data(), mu.data(), w.data()),
                    fam::deviance(f, n, y.data(), mu.data(), w.data()) - 2.0 * sat,
                    1e-13 * scale, "sum");
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

// Central differences with step h have error h^2 f'''/6: relative 1e-7 is far above it
// and far below any wrong term.
double fam_central(const std::function<double(double)>& fn, double x, double h) {
  return (fn(x + h) - fn(x - h)) / (2.0 * h);
}

// d loglik / d eta, d^2 loglik / d eta^2, d mu / d eta and d^2 mu / d eta^2 against
// central differences of the function one order below, inside the clamps.
TEST(GlmmFamily, DerivativesMatchFiniteDifferences) {
  for (const auto& c : kFamDerivCases) {
    const fam::Family f = fam_of_link(c.link);
    for (const double eta : kFamInteriorEtas) {
      if (f.link == fam::Link::kCloglog && eta > 2) continue;  // mu within 1e-7 of 1: no digits left
      const std::string what = std::string(c.link) + " y=" + std::to_string(c.y) +
                               " eta=" + std::to_string(eta);
      const double h = 1e-5;
      const auto ll = [&](double e) { return fam::loglik(f, c.y, fam::linkinv(f, e), c.w); };
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
      }
    }
  }
}

// Far outside the clamps every binomial link keeps mu inside (0, 1) and the working
// weight and response finite, so a PIRLS step never divides by zero; so does the log
// link towards zero.
TEST(GlmmFamily, ClampsKeepIrlsFinite) {
  for (const char* link : {"logit", "probit", "cloglog", "log"}) {
    const fam::Family f = fam_of_link(link);
    const std::vector<double> eta = f.link == fam::Link::kLog ? std::vector<double>{-800, -40}
                                                         : std::vector<double>{-800, -40, 40, 800};
    const std::vector<double> y(eta.size(), f.link == fam::Link::kLog ? 2.0 : 0.5), w(eta.size(), 2.0);
    std::vector<double> mu(eta.size()), weight(eta.size()), z(eta.size());
    fam::irls_rows(f, eta.size(), eta.data(), y.data(), w.data(), mu.data(), weight.data(),
                        z.data());
    for (std::size_t i = 0; i < eta.size(); ++i) {
      const std::string what = std::string(link) + " eta=" + std::to_string(eta[i]);
      EXPECT_GT(mu[i], 0.0) << what;
      if (f.kind == fam::Kind::kBinomial) {
        EXPECT_LT(mu[i], 1.0) << what;
      }
      EXPECT_TRUE(std::isfinite(weight[i]) && weight[i] > 0.0) << what;
      EXPECT_TRUE(std::isfinite(z[i])) << what;
      const fam::EtaDerivs d = fam::loglik_eta_derivs(f, y[i], eta[i], w[i]);
      EXPECT_TRUE(std::isfinite(d.d1) && std::isfinite(d.d2)) << what;
    }
  }
}

// IRLS for an intercept alone, eta_{k+1} = sum(W z) / sum(W) from irls_rows, reaches
// the maximum-likelihood mean, which for one common mean is the pooled proportion
// (binomial) or the weighted mean count (poisson) whatever the link, and lowers the
// deviance at every step.
TEST(GlmmFamily, IrlsFindsInterceptMle) {
  const std::vector<double> trials{1, 7, 3, 10, 1, 4};
  const std::vector<double> succ{1, 2, 0, 9, 0, 4};
  const std::vector<double> counts{0, 3, 1, 7, 2, 0};
  const std::vector<double> pw{1, 1, 2.5, 1, 0.5, 1};
  for (const char* link : {"logit", "probit", "cloglog", "log"}) {
    const fam::Family f = fam_of_link(link);
    const bool bin = f.kind == fam::Kind::kBinomial;
    const std::size_t n = trials.size();
    std::vector<double> y(n), w = bin ? trials : pw;
    double num = 0.0, den = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      y[i] = bin ? succ[i] / trials[i] : counts[i];
      num += w[i] * y[i];
      den += w[i];
    }
    std::vector<double> eta(n, 0.0), mu(n), weight(n), z(n);
    double last = INFINITY;
    for (int it = 0; it < 50; ++it) {
      fam::irls_rows(f, n, eta.data(), y.data(), w.data(), mu.data(), weight.data(), z.data());
      const double dev = fam::deviance(f, n, y.data(), mu.data(), w.data());
      EXPECT_LE(dev, last * (1 + 1e-15)) << link << " iteration " << it;
      last = dev;
      double sw = 0.0, swz = 0.0;
      for (std::size_t i = 0; i < n; ++i) sw += weight[i], swz += weight[i] * z[i];
      std::fill(eta.begin(), eta.end(), swz / sw);
    }
    EXPECT_NEAR(fam::linkinv(f, eta[0]), num / den, 1e-13) << link;
  }
}

TEST(GlmmFamily, ParseNamesFamiliesAndLinks) {
  struct Case {
    const char* family;
    const char* link;
    const char* expect;  // "family/link" accepted, or the refusal
  };
  const Case cases[] = {
      {"binomial", "", "binomial/logit"},
      {"binomial", "logit", "binomial/logit"},
      {"binomial", "probit", "binomial/probit"},
      {"binomial", "cloglog", "binomial/cloglog"},
      {"poisson", "", "poisson/log"},
      {"poisson", "log", "poisson/log"},
      {"binomial", "log",
       "link \"log\" is not available for the binomial family: use \"logit\", \"probit\" or \"cloglog\""},
      {"binomial", "identity",
       "link \"identity\" is not available for the binomial family: use \"logit\", \"probit\" or \"cloglog\""},
      {"poisson", "logit", "link \"logit\" is not available for the poisson family: use \"log\""},
      {"poisson", "sqrt", "link \"sqrt\" is not available for the poisson family: use \"log\""},
      {"gaussian", "", "family \"gaussian\" is not available: use \"binomial\" or \"poisson\""},
      {"Binomial", "logit", "family \"Binomial\" is not available: use \"binomial\" or \"poisson\""},
      {"", "", "family \"\" is not available: use \"binomial\" or \"poisson\""},
  };
  for (const Case& c : cases) {
    const auto r = fam::parse_family(c.family, c.link);
    const std::string got =
        std::holds_alternative<fam::Family>(r)
            ? std::string(fam::family_name(std::get<fam::Family>(r).kind)) + "/" +
                  fam::link_name(std::get<fam::Family>(r).link)
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
  const Case cases[] = {
      {"binomial", 0, 1, fam::Support::kInside},
      {"binomial", 1, 1, fam::Support::kInside},
      {"binomial", 3.0 / 7.0, 7, fam::Support::kInside},
      {"binomial", 0.1, 30, fam::Support::kInside},  // 0.1 * 30 rounds to 3.0000000000000004
      {"binomial", 0.5, 1, fam::Support::kNotIntegral},
      {"binomial", 0.25, 2.5, fam::Support::kNotIntegral},  // 0.625 successes
      {"binomial", 0, 2.5, fam::Support::kNotIntegral},     // 2.5 trials
      {"binomial", 0.3, 10 + 1e-6, fam::Support::kNotIntegral},
      {"binomial", -1e-300, 1, fam::Support::kOutside},
      {"binomial", 1 + 1e-15, 1, fam::Support::kOutside},
      {"binomial", 0.5, 0, fam::Support::kOutside},
      {"binomial", 0.5, -2, fam::Support::kOutside},
      {"binomial", NAN, 1, fam::Support::kOutside},
      {"binomial", 0.5, INFINITY, fam::Support::kOutside},
      {"poisson", 0, 1, fam::Support::kInside},
      {"poisson", 1e6, 1, fam::Support::kInside},
      {"poisson", 3, 0, fam::Support::kInside},
      {"poisson", 3, 2.5, fam::Support::kInside},
      {"poisson", 2.5, 1, fam::Support::kNotIntegral},
      {"poisson", 1e6 + 0.5, 1, fam::Support::kNotIntegral},
      {"poisson", 3 + 1e-9, 1, fam::Support::kInside},
      {"poisson", -1, 1, fam::Support::kOutside},
      {"poisson", 3, -1, fam::Support::kOutside},
      {"poisson", INFINITY, 1, fam::Support::kOutside},
      {"poisson", NAN, 1, fam::Support::kOutside},
  };
  for (const Case& c : cases)
    EXPECT_EQ(fam::check_response(fam_of(c.family, ""), c.y, c.w), c.expect)
        << c.family << " y=" << c.y << " w=" << c.w;
}

}  // namespace
