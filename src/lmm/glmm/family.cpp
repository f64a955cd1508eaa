#include "lmm/glmm/family.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

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

// lgamma without the global sign that std::lgamma writes (a data race between
// threads); its arguments here are positive, where the sign is +1.
double log_gamma(double x) {
  int sign = 0;
  return ::lgamma_r(x, &sign);
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
double poisson_kernel(double y, double mu, double w) {
  if (y > kLargeCount) return -(w * bd0(y, mu));
  const double ylogmu = y != 0.0 ? y * std::log(mu) : 0.0;
  return w * (ylogmu - mu);
}

bool not_integral(double c) {
  return std::fabs(c - std::nearbyint(c)) > 1e-8 * std::fmax(1.0, std::fabs(c));
}

}  // namespace

bool canonical(const Family& f) {
  return f.kind == Kind::kBinomial ? f.link == Link::kLogit : f.link == Link::kLog;
}

const char* family_name(Kind kind) { return kind == Kind::kBinomial ? "binomial" : "poisson"; }

const char* link_name(Link link) {
  switch (link) {
    case Link::kLogit: return "logit";
    case Link::kProbit: return "probit";
    case Link::kCloglog: return "cloglog";
    case Link::kLog: return "log";
  }
  return "?";
}

std::variant<Family, std::string> parse_family(std::string_view family, std::string_view link) {
  Family f{};
  if (family == "binomial") {
    f = {Kind::kBinomial, Link::kLogit};
    if (link == "probit") f.link = Link::kProbit;
    else if (link == "cloglog") f.link = Link::kCloglog;
    else if (!link.empty() && link != "logit")
      return "link \"" + std::string(link) +
             "\" is not available for the binomial family: use \"logit\", \"probit\" or \"cloglog\"";
    return f;
  }
  if (family == "poisson") {
    if (!link.empty() && link != "log")
      return "link \"" + std::string(link) +
             "\" is not available for the poisson family: use \"log\"";
    return Family{Kind::kPoisson, Link::kLog};
  }
  return "family \"" + std::string(family) + "\" is not available: use \"binomial\" or \"poisson\"";
}

double linkinv(const Family& f, double eta) {
  switch (f.link) {
    case Link::kLogit: {
      const double x = eta < -kLogitThresh  ? kEps
                       : eta > kLogitThresh ? 1.0 / kEps
                                            : std::exp(eta);
      return x / (1.0 + x);
    }
    case Link::kProbit:
      return big_phi(std::min(std::max(eta, -kProbitThresh), kProbitThresh));
    case Link::kCloglog: {
      const double mu = std::min(-std::expm1(-std::exp(eta)), 1.0 - kEps);
      return std::max(mu, kEps);
    }
    case Link::kLog: return std::max(std::exp(eta), kEps);
  }
  return NAN;
}

double mu_eta(const Family& f, double eta) {
  switch (f.link) {
    case Link::kLogit: {
      if (eta > kLogitThresh || eta < -kLogitThresh) return kEps;
      const double opexp = 1.0 + std::exp(eta);
      return std::exp(eta) / (opexp * opexp);
    }
    case Link::kProbit: return std::max(phi(eta), kEps);
    case Link::kCloglog: {
      const double e = std::exp(std::min(eta, kCloglogCap));
      return std::max(e * std::exp(-e), kEps);
    }
    case Link::kLog: return std::max(std::exp(eta), kEps);
  }
  return NAN;
}

double mu_eta2(const Family& f, double eta) {
  switch (f.link) {
    case Link::kLogit: return mu_eta(f, eta) * (1.0 - 2.0 * linkinv(f, eta));
    case Link::kProbit: return -eta * phi(eta);
    case Link::kCloglog: {
      const double e = std::exp(std::min(eta, kCloglogCap));
      return e * std::exp(-e) * (1.0 - e);
    }
    case Link::kLog: return std::exp(eta);
  }
  return NAN;
}

double variance(const Family& f, double mu) {
  return f.kind == Kind::kBinomial ? mu * (1.0 - mu) : mu;
}

double variance_deriv(const Family& f, double mu) {
  return f.kind == Kind::kBinomial ? 1.0 - 2.0 * mu : 1.0;
}

double dev_resid(const Family& f, double y, double mu, double w) {
  if (f.kind == Kind::kBinomial) return 2.0 * w * (y_log_y(y, mu) + y_log_y(1.0 - y, 1.0 - mu));
  if (y > kLargeCount) return 2.0 * (w * bd0(y, mu));
  return y > 0.0 ? 2.0 * (w * (y * std::log(y / mu) - (y - mu))) : 2.0 * (mu * w);
}

double loglik_constant(const Family& f, double y, double w) {
  if (f.kind == Kind::kBinomial) {
    const double n = std::nearbyint(w);
    const double k = std::nearbyint(w * y);
    return log_gamma(n + 1.0) - log_gamma(k + 1.0) - log_gamma(n - k + 1.0);
  }
  if (y > kLargeCount) return w * poisson_saturated(y);
  return -(w * log_gamma(y + 1.0));
}

double loglik_kernel(const Family& f, double y, double mu, double w) {
  if (f.kind == Kind::kBinomial) {
    const double n = std::nearbyint(w);
    const double k = std::nearbyint(w * y);
    double ll = 0.0;
    if (k != 0.0) ll += k * std::log(mu);
    if (n - k != 0.0) ll += (n - k) * std::log1p(-mu);
    return ll;
  }
  return poisson_kernel(y, mu, w);
}

double loglik_smooth(const Family& f, double y, double mu, double w) {
  if (f.kind == Kind::kBinomial) {
    double ll = 0.0;
    if (y != 0.0) ll += (w * y) * std::log(mu);
    if (y != 1.0) ll += (w * (1.0 - y)) * std::log1p(-mu);
    return ll;
  }
  return poisson_kernel(y, mu, w);
}

double loglik(const Family& f, double y, double mu, double w) {
  return loglik_constant(f, y, w) + loglik_kernel(f, y, mu, w);
}

double loglik_saturated(const Family& f, double y, double w) { return loglik(f, y, y, w); }

double aic_term(const Family& f, double y, double mu, double w) { return -2.0 * loglik(f, y, mu, w); }

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

double working_weight(const Family& f, double mu, double m1, double w) {
  return w * (m1 * m1) / variance(f, mu);
}

double working_response(double eta, double y, double mu, double m1) { return eta + (y - mu) / m1; }

Support check_response(const Family& f, double y, double w) {
  if (!std::isfinite(y) || !std::isfinite(w)) return Support::kOutside;
  if (f.kind == Kind::kBinomial) {
    if (y < 0.0 || y > 1.0 || w <= 0.0) return Support::kOutside;
    return not_integral(w * y) || not_integral(w) ? Support::kNotIntegral : Support::kInside;
  }
  if (y < 0.0 || w < 0.0) return Support::kOutside;
  return not_integral(y) ? Support::kNotIntegral : Support::kInside;
}

void irls_rows(const Family& f, std::size_t n, const double* eta, const double* y,
               const double* w, double* mu, double* weight, double* z) {
  for (std::size_t i = 0; i < n; ++i) {
    const double m = linkinv(f, eta[i]);
    const double m1 = mu_eta(f, eta[i]);
    mu[i] = m;
    weight[i] = working_weight(f, m, m1, w[i]);
    z[i] = working_response(eta[i], y[i], m, m1);
  }
}

double deviance(const Family& f, std::size_t n, const double* y, const double* mu,
                const double* w) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += dev_resid(f, y[i], mu[i], w[i]);
  return s;
}

double loglik_sum(const Family& f, std::size_t n, const double* y, const double* mu,
                  const double* w) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += loglik(f, y[i], mu[i], w[i]);
  return s;
}

}  // namespace qk::glmm
