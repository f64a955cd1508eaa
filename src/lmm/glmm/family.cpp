#include "lmm/glmm/family.hpp"

#include "lmm/glmm/family_entries.hpp"
#include "lmm/glmm/special.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

namespace qk::glmm {
namespace {

constexpr double kEps = DBL_EPSILON;
// R's logit clamps (family.c): exp(eta) is replaced outside [-30, 30].
constexpr double kLogitThresh = 30.0;
// -qnorm(DBL_EPSILON): the probit clamp of R's make.link("probit").
constexpr double kProbitThresh = 8.125890664701906;
// R's make.link("cloglog") caps eta at 700 in mu.eta, where exp(exp(eta)) overflows.
constexpr double kCloglogCap = 700.0;
constexpr double kInvSqrt2Pi = 0.398942280401432677939946059934;
constexpr double kTwoInvSqrtPi = 1.12837916709551257389615890312;
// sqrt(1/2) as a rounded double and the remainder sqrt(1/2) - kSqrtHalf.
constexpr double kSqrtHalf = 0x1.6a09e667f3bcdp-1;
constexpr double kSqrtHalfLow = -0x1.bdd3413b26456p-55;
// Above this, phi(x) underflows to zero: sqrt(-2 log(2) (DBL_MIN_EXP + 1 - DBL_MANT_DIG)).
const double kPhiZero = std::sqrt(-2.0 * M_LN2 * (DBL_MIN_EXP + 1 - DBL_MANT_DIG));

// The standard normal density. exp(-x^2 / 2) with x^2 rounded has relative error
// about x^2 / 2 ulps, so beyond |x| = 5 x is split into x1 (16 fractional bits, whose
// square is exact) and x2 = x - x1: x^2 / 2 = x1^2 / 2 + (x2 / 2 + x1) x2.
double phi(double x) {
  x = std::fabs(x);
  if (x < 5.0) return kInvSqrt2Pi * std::exp(-0.5 * x * x);
  if (x > kPhiZero) return 0.0;
  const double x1 = std::ldexp(std::nearbyint(std::ldexp(x, 16)), -16);
  const double x2 = x - x1;
  return kInvSqrt2Pi * (std::exp(-0.5 * x1 * x1) * std::exp((-0.5 * x2 - x1) * x2));
}

// The standard normal distribution function Phi(x) = erfc(-x / sqrt 2) / 2. Rounding
// the argument u = -x / sqrt 2 moves erfc by a relative 2 u du, up to 1.5e-14 at the
// probit clamp; the exact remainder du (an fma of the product, plus the remainder of
// sqrt(1/2) itself) is put back to first order: erfc(u + du) = erfc(u) - du 2 / sqrt(pi)
// exp(-u^2), whose neglected term is of order du^2.
double big_phi(double x) {
  const double u = -x * kSqrtHalf;
  const double du = std::fma(-x, kSqrtHalf, -u) + -x * kSqrtHalfLow;
  return 0.5 * (std::erfc(u) - du * kTwoInvSqrtPi * std::exp(-u * u));
}

// y log(y / mu) with 0 log 0 = 0 (R's y_log_y).
double y_log_y(double y, double mu) { return y != 0.0 ? y * std::log(y / mu) : 0.0; }

// Counts above this take the saddle-point form of the Poisson log-likelihood below;
// under it y log mu and log y! are below 1e4, and their direct difference loses at
// most a few 1e-12 per row.
constexpr double kLargeCount = 1024.0;

// Loader's deviance term bd0(y, mu) = y log(y / mu) + mu - y >= 0 without cancellation
// when mu is near y (C. Loader, "Fast and accurate computation of binomial
// probabilities", 2000, as R's dpois computes it): with v = (y - mu) / (y + mu),
// y log(y / mu) = 2 y atanh(v), whose series starts with the (y - mu) v that cancels -
// (y - mu).
double bd0(double y, double mu) {
  if (std::fabs(y - mu) < 0.1 * (y + mu)) {
    double v = (y - mu) / (y + mu);
    double s = (y - mu) * v;
    double ej = 2.0 * y * v;
    v = v * v;
    for (int j = 1; j < 1000; ++j) {
      ej = ej * v;
      const double next = s + ej / static_cast<double>(2 * j + 1);
      if (next == s) return next;
      s = next;
    }
    return s;
  }
  return y * std::log(y / mu) + mu - y;
}

// y log y - y - log y! for y > kLargeCount, by Stirling's series: log y! = (y + 1/2)
// log y - y + log(2 pi) / 2 + 1 / (12 y) - 1 / (360 y^3) + ..., of which the terms
// past y^-3 are below 1e-15 there.
double poisson_saturated(double y) {
  constexpr double kHalfLog2Pi = 0.918938533204672741780329736406;
  const double y2 = y * y;
  const double stirling = (1.0 / 12.0 - (1.0 / 360.0) / y2) / y;
  return -((kHalfLog2Pi + 0.5 * std::log(y)) + stirling);
}

// The Poisson kernel, the part of w (y log mu - mu - log y!) that depends on mu: w (y
// log mu - mu) for counts up to kLargeCount, and for larger ones -w bd0(y, mu), which
// differs from it by w (y log y - y), moved into the constant (poisson_saturated): of
// two terms near y log y only their small difference is then summed.
double poisson_kernel(double y, double mu, double w, double) {
  if (y > kLargeCount) return -(w * bd0(y, mu));
  const double ylogmu = y != 0.0 ? y * std::log(mu) : 0.0;
  return w * (ylogmu - mu);
}

bool not_integral(double c) {
  return std::fabs(c - std::nearbyint(c)) > 1e-8 * std::fmax(1.0, std::fabs(c));
}

// --- Links ------------------------------------------------------------------------
// logit: eta < -30 and eta > 30 take exp(eta) = DBL_EPSILON and 1 / DBL_EPSILON, then
// mu = x / (1 + x) (R's family.c, logit_linkinv); mu_eta is DBL_EPSILON there.
double logit_linkinv(double eta) {
  const double x = eta < -kLogitThresh ? kEps : eta > kLogitThresh ? 1.0 / kEps : std::exp(eta);
  return x / (1.0 + x);
}
double logit_mu_eta(double eta) {
  if (eta > kLogitThresh || eta < -kLogitThresh) return kEps;
  const double opexp = 1.0 + std::exp(eta);
  return std::exp(eta) / (opexp * opexp);
}
double logit_mu_eta2(double eta) { return logit_mu_eta(eta) * (1.0 - 2.0 * logit_linkinv(eta)); }
// Inside the clamps both from one exponential: the same operations as above.
void logit_mean(double eta, double& mu, double& m1) {
  if (eta < -kLogitThresh || eta > kLogitThresh) {
    mu = logit_linkinv(eta);
    m1 = logit_mu_eta(eta);
    return;
  }
  const double e = std::exp(eta), opexp = 1.0 + e;
  mu = e / opexp;
  m1 = e / (opexp * opexp);
}

// probit: eta clamped to +-8.125890664701906 = -qnorm(DBL_EPSILON), then Phi(eta);
// mu_eta max(phi(eta), DBL_EPSILON); mu_eta2 -eta phi(eta).
double probit_linkinv(double eta) { return big_phi(std::min(std::max(eta, -kProbitThresh), kProbitThresh)); }
double probit_mu_eta(double eta) { return std::max(phi(eta), kEps); }
double probit_mu_eta2(double eta) { return -eta * phi(eta); }

// cloglog: 1 - exp(-exp(eta)) clamped to [DBL_EPSILON, 1 - DBL_EPSILON]; mu_eta
// max(exp(eta) exp(-exp(eta)), DBL_EPSILON) and mu_eta2 exp(eta) exp(-exp(eta)) (1 -
// exp(eta)), both with eta capped at 700.
double cloglog_linkinv(double eta) {
  const double mu = std::min(-std::expm1(-std::exp(eta)), 1.0 - kEps);
  return std::max(mu, kEps);
}
double cloglog_mu_eta(double eta) {
  const double e = std::exp(std::min(eta, kCloglogCap));
  return std::max(e * std::exp(-e), kEps);
}
double cloglog_mu_eta2(double eta) {
  const double e = std::exp(std::min(eta, kCloglogCap));
  return e * std::exp(-e) * (1.0 - e);
}

// log: max(exp(eta), DBL_EPSILON) for mu and mu_eta; mu_eta2 exp(eta).
double log_linkinv(double eta) { return std::max(std::exp(eta), kEps); }
double log_mu_eta2(double eta) { return std::exp(eta); }

// Third derivatives of the unclamped inverses: logit m3 = m2 (1 - 2 mu) - 2 m1^2;
// probit (eta^2 - 1) phi(eta); cloglog, with e = exp(eta), m2 (1 - e) - m1 e.
double logit_mu_eta3(double eta) {
  const double mu = logit_linkinv(eta), m1 = logit_mu_eta(eta);
  return m1 * (1.0 - 2.0 * mu) * (1.0 - 2.0 * mu) - 2.0 * m1 * m1;
}
double probit_mu_eta3(double eta) { return (eta * eta - 1.0) * phi(eta); }
double cloglog_mu_eta3(double eta) {
  const double e = std::exp(std::min(eta, kCloglogCap)), m1 = e * std::exp(-e);
  return m1 * (1.0 - e) * (1.0 - e) - m1 * e;
}

// inverse: mu = 1 / eta; identity; 1/mu^2: mu = eta^(-1/2). R clamps none of them.
double inverse_linkinv(double eta) { return 1.0 / eta; }
double inverse_mu_eta(double eta) { return -1.0 / (eta * eta); }
double inverse_mu_eta2(double eta) { return 2.0 / (eta * eta * eta); }
double inverse_mu_eta3(double eta) { return -6.0 / ((eta * eta) * (eta * eta)); }
double identity_linkinv(double eta) { return eta; }
double identity_mu_eta(double) { return 1.0; }
double identity_zero(double) { return 0.0; }
double inverse_square_linkinv(double eta) { return 1.0 / std::sqrt(eta); }
double inverse_square_mu_eta(double eta) { return -0.5 / (eta * std::sqrt(eta)); }
double inverse_square_mu_eta2(double eta) { return 0.75 / (eta * eta * std::sqrt(eta)); }
double inverse_square_mu_eta3(double eta) { return -1.875 / (eta * eta * eta * std::sqrt(eta)); }

template <double (*Inv)(double), double (*Deriv)(double)>
void mean_of(double eta, double& mu, double& m1) {
  mu = Inv(eta);
  m1 = Deriv(eta);
}

// --- Families ---------------------------------------------------------------------
// binomial: y a proportion of w trials. Outside the support: y outside [0, 1], w not
// positive, or either not finite; the counts checked for being whole are the successes
// w y and the trials w.
Support binomial_check(double y, double w) {
  if (!std::isfinite(y) || !std::isfinite(w)) return Support::kOutside;
  if (y < 0.0 || y > 1.0 || w <= 0.0) return Support::kOutside;
  return not_integral(w * y) || not_integral(w) ? Support::kNotIntegral : Support::kInside;
}
double binomial_variance(double mu, double) { return mu * (1.0 - mu); }
double binomial_variance_deriv(double mu, double) { return 1.0 - 2.0 * mu; }
// 2 w (y log(y / mu) + (1 - y) log((1 - y) / (1 - mu))), 0 log 0 = 0.
double binomial_dev_resid(double y, double mu, double w, double) {
  return 2.0 * w * (y_log_y(y, mu) + y_log_y(1.0 - y, 1.0 - mu));
}
// log choose(N, k) with N = round(w), k = round(w y), as R's binomial()$aic rounds the
// counts. From lgamma, so its absolute error grows like DBL_EPSILON lgamma(N + 1).
double binomial_loglik_constant(double y, double w) {
  const double n = std::nearbyint(w);
  const double k = std::nearbyint(w * y);
  return log_gamma(n + 1.0) - log_gamma(k + 1.0) - log_gamma(n - k + 1.0);
}
// w y log mu + w (1 - y) log(1 - mu), the counts not rounded: equal to the rounded
// counts' k log mu + (N - k) log(1 - mu) up to rounding when they are whole, and for
// counts that are not (which the caller warns of) still the smooth function whose
// derivative d1 is.
double binomial_loglik_smooth(double y, double mu, double w, double) {
  double ll = 0.0;
  if (y != 0.0) ll += (w * y) * std::log(mu);
  if (y != 1.0) ll += (w * (1.0 - y)) * std::log1p(-mu);
  return ll;
}

// poisson: y a count of prior weight w. Outside the support: y or w negative, or either
// not finite; y is the count checked for being whole.
Support poisson_check(double y, double w) {
  if (!std::isfinite(y) || !std::isfinite(w)) return Support::kOutside;
  if (y < 0.0 || w < 0.0) return Support::kOutside;
  return not_integral(y) ? Support::kNotIntegral : Support::kInside;
}
double poisson_variance(double mu, double) { return mu; }
double poisson_variance_deriv(double, double) { return 1.0; }
// 2 w (y log(y / mu) - (y - mu)), and 2 w mu for y = 0; for counts above kLargeCount
// 2 w bd0(y, mu), the same without its cancellation.
double poisson_dev_resid(double y, double mu, double w, double) {
  if (y > kLargeCount) return 2.0 * (w * bd0(y, mu));
  return y > 0.0 ? 2.0 * (w * (y * std::log(y / mu) - (y - mu))) : 2.0 * (mu * w);
}
// -w lgamma(y + 1), and for counts above kLargeCount w (y log y - y - lgamma(y + 1)),
// the part of y log mu - mu that poisson_kernel leaves out there (see it).
double poisson_loglik_constant(double y, double w) {
  if (y > kLargeCount) return w * poisson_saturated(y);
  return -(w * log_gamma(y + 1.0));
}

constexpr LinkDef kLinks[] = {
    {"logit", logit_linkinv, logit_mu_eta, logit_mu_eta2, logit_mean, logit_mu_eta3},
    {"probit", probit_linkinv, probit_mu_eta, probit_mu_eta2, mean_of<probit_linkinv, probit_mu_eta>, probit_mu_eta3},
    {"cloglog", cloglog_linkinv, cloglog_mu_eta, cloglog_mu_eta2, mean_of<cloglog_linkinv, cloglog_mu_eta>,
     cloglog_mu_eta3},
    {"log", log_linkinv, log_linkinv, log_mu_eta2, mean_of<log_linkinv, log_linkinv>, log_mu_eta2},
    {"inverse", inverse_linkinv, inverse_mu_eta, inverse_mu_eta2, mean_of<inverse_linkinv, inverse_mu_eta>,
     inverse_mu_eta3},
    {"identity", identity_linkinv, identity_mu_eta, identity_zero, mean_of<identity_linkinv, identity_mu_eta>,
     identity_zero},
    {"1/mu^2", inverse_square_linkinv, inverse_square_mu_eta, inverse_square_mu_eta2,
     mean_of<inverse_square_linkinv, inverse_square_mu_eta>, inverse_square_mu_eta3},
};
constexpr const LinkDef* kLogit = &kLinks[0];
constexpr const LinkDef* kLog = &kLinks[3];
constexpr const LinkDef* kInverse = &kLinks[4];
constexpr const LinkDef* kIdentity = &kLinks[5];
constexpr const LinkDef* kBinomialLinks[] = {&kLinks[0], &kLinks[1], &kLinks[2]};
constexpr const LinkDef* kLogLinks[] = {kLog};
constexpr const LinkDef* kGammaLinks[] = {kInverse, kIdentity, kLog};
constexpr const LinkDef* kGaussianLinks[] = {kIdentity, kLog, kInverse};
constexpr const LinkDef* kInverseGaussianLinks[] = {&kLinks[6], kInverse, kIdentity, kLog};

// The glm families, lme4's; the rest of the table is family_entries.cpp's.
constexpr FamilyDef kGlmFamilies[] = {
    {"binomial", kBinomialLinks, false, 0.0, 1.0, binomial_check, binomial_variance, binomial_variance_deriv,
     binomial_dev_resid, binomial_loglik_constant, binomial_loglik_smooth, kLogit, true, nullptr},
    {"poisson", kLogLinks, false, 0.0, INFINITY, poisson_check, poisson_variance, poisson_variance_deriv,
     poisson_dev_resid, poisson_loglik_constant, poisson_kernel, kLog, true, nullptr},
};

// "a", "b" or "c": the names a refusal offers.
template <class Names>
std::string offered(const Names& names) {
  std::string s;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += i + 1 == names.size() ? " or " : ", ";
    s += '"';
    s += names[i];
    s += '"';
  }
  return s;
}

}  // namespace

std::span<const FamilyDef> families() {
  // Built once, on first use (thread-safe); entries never move, so a Family's pointer
  // into the table stays valid.
  static const std::vector<FamilyDef> table = [] {
    std::vector<FamilyDef> t(std::begin(kGlmFamilies), std::end(kGlmFamilies));
    const std::vector<FamilyDef> more = entries::more_families({kLogLinks, kGammaLinks, kGaussianLinks,
                                                                 kInverseGaussianLinks, kBinomialLinks, kInverse,
                                                                 kIdentity, &kLinks[6], binomial_check,
                                                                 binomial_loglik_constant});
    t.insert(t.end(), more.begin(), more.end());
    return t;
  }();
  return table;
}

const LinkDef* find_link(std::string_view name) {
  for (const LinkDef& l : kLinks)
    if (name == l.name) return &l;
  return nullptr;
}

std::variant<Family, std::string> parse_family(std::string_view family, std::string_view link) {
  std::vector<const char*> names;
  for (const FamilyDef& f : families()) {
    names.push_back(f.name);
    if (family != f.name) continue;
    if (link.empty()) return Family{&f, f.links.front()};
    std::vector<const char*> offer;
    for (const LinkDef* l : f.links) {
      if (link == l->name) return Family{&f, l};
      offer.push_back(l->name);
    }
    return "link \"" + std::string(link) + "\" is not available for the " + f.name + " family: use " + offered(offer);
  }
  return "family \"" + std::string(family) + "\" is not available: use " + offered(names);
}

MuDerivs variance_mu_derivs(const Family& f, double y, double mu, double w) {
  // l = w (y log mu ...) with dl/dmu = w (y - mu) / V; V is at most quadratic in mu for
  // both families, so V'' = V'(1) - V'(0).
  const double v = variance(f, mu), dv = variance_deriv(f, mu);
  const double d2v = variance_deriv(f, 1.0) - variance_deriv(f, 0.0);
  const double r = y - mu, v2 = v * v;
  MuDerivs d{};
  d.l1 = w * r / v;
  d.l2 = w * (-1.0 / v - r * dv / v2);
  d.l3 = w * (2.0 * dv / v2 - r * (d2v / v2 - 2.0 * dv * dv / (v2 * v)));
  d.info = w / v;
  d.dinfo = -w * dv / v2;
  return d;
}

EtaDerivs loglik_eta_derivs(const Family& f, double y, double eta, double w) {
  const double mu = linkinv(f, eta);
  const double v = variance(f, mu);
  if (canonical(f)) return {w * (y - mu), -w * v};
  const double m1 = mu_eta(f, eta);
  const double m2 = mu_eta2(f, eta);
  const double r = y - mu;
  const double d1 = w * r * m1 / v;
  const double d2 = w * (-m1 * m1 / v + r * (m2 / v - variance_deriv(f, mu) * m1 * m1 / (v * v)));
  return {d1, d2};
}

}  // namespace qk::glmm
