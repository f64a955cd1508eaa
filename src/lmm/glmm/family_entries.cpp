// The families with a parameter phi beside the mean, as glmmTMB defines their
// likelihoods (family.hpp), and the zero-truncated Poisson. Each log-likelihood is
// split into the part free of mu and phi (loglik_constant, summed once per model) and
// the rest (loglik_smooth); mu_derivs gives its derivatives in mu and in t = log(phi),
// from which the PIRLS, the Laplace criterion and its exact gradient are built.
#include <cmath>

#include "lmm/glmm/family_entries.hpp"
#include "lmm/glmm/special.hpp"

namespace qk::glmm::entries {
namespace {

constexpr double kHalfLog2Pi = 0.918938533204672741780329736406;

bool not_whole(double c) { return std::fabs(c - std::nearbyint(c)) > 1e-8 * std::fmax(1.0, std::fabs(c)); }

MuDerivs scaled(MuDerivs d, double w) {
  for (double* v : {&d.l1, &d.l2, &d.l3, &d.info, &d.dinfo, &d.lt, &d.l1t, &d.l2t, &d.infot}) *v = w * *v;
  return d;
}

// --- Supports ------------------------------------------------------------------------
Support count_check(double y, double w) {
  if (!std::isfinite(y) || !std::isfinite(w) || y < 0.0 || w < 0.0) return Support::kOutside;
  return not_whole(y) ? Support::kNotIntegral : Support::kInside;
}
Support positive_count_check(double y, double w) {
  if (!std::isfinite(y) || !std::isfinite(w) || y < 1.0 || w < 0.0) return Support::kOutside;
  return not_whole(y) ? Support::kNotIntegral : Support::kInside;
}
Support positive_check(double y, double w) {
  return std::isfinite(y) && std::isfinite(w) && y > 0.0 && w >= 0.0 ? Support::kInside : Support::kOutside;
}
Support real_check(double y, double w) {
  return std::isfinite(y) && std::isfinite(w) && w >= 0.0 ? Support::kInside : Support::kOutside;
}
Support unit_open_check(double y, double w) {
  return std::isfinite(y) && std::isfinite(w) && y > 0.0 && y < 1.0 && w >= 0.0 ? Support::kInside : Support::kOutside;
}
// Families whose unit deviance R's and glmmTMB's family objects do not define.
double no_deviance(double, double, double, double) { return NAN; }
double zero_constant(double, double) { return 0.0; }
double count_constant(double y, double w) { return -(w * log_gamma(y + 1.0)); }

// --- nbinom2: size phi, V = mu + mu^2 / phi ---------------------------------------------
double nbinom2_variance(double mu, double phi) { return mu + mu * mu / phi; }
double nbinom2_variance_deriv(double mu, double phi) { return 1.0 + 2.0 * mu / phi; }
// MASS's negative.binomial(theta)$dev.resids.
double nbinom2_dev_resid(double y, double mu, double w, double phi) {
  return 2.0 * w * (y * std::log(std::fmax(1.0, y) / mu) - (y + phi) * std::log((y + phi) / (mu + phi)));
}
// log Gamma(y + phi) - log Gamma(phi) + phi log(phi / (phi + mu)) + y log(mu / (phi + mu)),
// with phi log(phi / (phi + mu)) as -phi log1p(mu / phi): near the Poisson limit the
// terms are of order phi and their sum of order mu.
double nbinom2_smooth(double y, double mu, double w, double phi) {
  const double ylog = y != 0.0 ? y * std::log(mu / (phi + mu)) : 0.0;
  return w * ((log_gamma_ratio(phi, y) - phi * std::log1p(mu / phi)) + ylog);
}
MuDerivs nbinom2_derivs(double y, double mu, double w, double phi, bool extras) {
  // One division each for 1 / mu and 1 / (phi + mu): this runs for every row at every
  // PIRLS step.
  const double s = phi + mu, im = 1.0 / mu, is = 1.0 / s, im2 = im * im, is2 = is * is;
  MuDerivs d{};
  d.info = phi * (im * is);
  d.l1 = (y - mu) * d.info;
  d.l2 = -y * im2 + (phi + y) * is2;
  d.l3 = 2.0 * y * (im2 * im) - 2.0 * (phi + y) * (is2 * is);
  d.dinfo = -phi * (phi + 2.0 * mu) * (im2 * is2);
  if (extras) {
    d.lt = phi * ((digamma(y + phi) - digamma(phi)) - std::log1p(mu / phi) + (mu - y) / s);
    d.l1t = phi * (y - mu) * is2;
    d.l2t = phi * (mu - phi - 2.0 * y) * (is2 * is);
    d.infot = phi * is2;
  }
  return scaled(d, w);
}

// --- nbinom1: size mu / phi, V = mu (1 + phi) ------------------------------------------
double nbinom1_variance(double mu, double phi) { return mu * (1.0 + phi); }
double nbinom1_variance_deriv(double, double phi) { return 1.0 + phi; }
double nbinom1_smooth(double y, double mu, double w, double phi) {
  const double size = mu / phi;
  const double ylog = y != 0.0 ? -y * std::log1p(1.0 / phi) : 0.0;
  return w * ((log_gamma_ratio(size, y) - size * std::log1p(phi)) + ylog);
}
// With s = mu / phi and D_k = psi_k(y + s) - psi_k(s): l1 = (D_0 - log(1 + phi)) / phi,
// l2 = D_1 / phi^2, l3 = D_2 / phi^3; in t, ds/dt = -s. The expected information has no
// closed form: info is the reciprocal variance.
MuDerivs nbinom1_derivs(double y, double mu, double w, double phi, bool extras) {
  const double s = mu / phi, lp = std::log1p(phi);
  const double d0 = digamma(y + s) - digamma(s), d1 = trigamma(y + s) - trigamma(s);
  const double d2 = tetragamma(y + s) - tetragamma(s);
  MuDerivs d{};
  d.l1 = (d0 - lp) / phi;
  d.l2 = d1 / (phi * phi);
  d.l3 = d2 / (phi * phi * phi);
  d.info = 1.0 / (mu * (1.0 + phi));
  d.dinfo = -d.info / mu;
  if (extras) {
    d.lt = ((-s * d0 + s * lp) - s * phi / (1.0 + phi)) + y / (1.0 + phi);
    d.l1t = (-d.l1 - s * d1 / phi) - 1.0 / (1.0 + phi);
    d.l2t = -2.0 * d.l2 - s * d2 / (phi * phi);
    d.infot = -phi * d.info / (1.0 + phi);
  }
  return scaled(d, w);
}

// --- Gamma: shape a = 1 / phi^2, mean mu ----------------------------------------------
// The variance functions are R's and glmmTMB's family$variance: free of a dispersion
// (gaussian's, Gamma's, inverse.gaussian's) or precision (beta's, betabinomial's),
// which Pearson residuals leave out as R's do; nbinom's hold their size.
double gamma_variance(double mu, double) { return mu * mu; }
double gamma_variance_deriv(double mu, double) { return 2.0 * mu; }
// R's Gamma()$dev.resids.
double gamma_dev_resid(double y, double mu, double w, double) {
  return -2.0 * w * (std::log(y / mu) - (y - mu) / mu);
}
double gamma_constant(double y, double w) { return -(w * std::log(y)); }
// a log(a y / mu) - a y / mu - log Gamma(a).
double gamma_smooth(double y, double mu, double w, double phi) {
  const double a = 1.0 / (phi * phi), r = y / mu;
  return w * ((a * std::log(a * r) - a * r) - log_gamma(a));
}
MuDerivs gamma_derivs(double y, double mu, double w, double phi, bool extras) {
  const double a = 1.0 / (phi * phi), mu2 = mu * mu, r = y / mu;
  MuDerivs d{};
  d.l1 = a * (y - mu) / mu2;
  d.l2 = a * (mu - 2.0 * y) / (mu2 * mu);
  d.l3 = a * (6.0 * y - 2.0 * mu) / (mu2 * mu2);
  d.info = a / mu2;
  d.dinfo = -2.0 * a / (mu2 * mu);
  // da/dt = -2a.
  if (extras) {
    d.lt = -2.0 * a * (((std::log(a * r) + 1.0) - r) - digamma(a));
    d.l1t = -2.0 * d.l1;
    d.l2t = -2.0 * d.l2;
    d.infot = -2.0 * d.info;
  }
  return scaled(d, w);
}

// --- gaussian: sd phi ---------------------------------------------------------------
double gaussian_variance(double, double) { return 1.0; }
double gaussian_variance_deriv(double, double) { return 0.0; }
double gaussian_dev_resid(double y, double mu, double w, double) { return w * ((y - mu) * (y - mu)); }
double gaussian_constant(double, double w) { return -(w * kHalfLog2Pi); }
double gaussian_smooth(double y, double mu, double w, double phi) {
  const double z = (y - mu) / phi;
  return w * (-std::log(phi) - 0.5 * (z * z));
}
MuDerivs gaussian_derivs(double y, double mu, double w, double phi, bool extras) {
  const double v = 1.0 / (phi * phi), r = y - mu;
  MuDerivs d{};
  d.l1 = r * v;
  d.l2 = -v;
  d.l3 = 0.0;
  d.info = v;
  d.dinfo = 0.0;
  if (extras) {
    d.lt = -1.0 + (r * r) * v;
    d.l1t = -2.0 * d.l1;
    d.l2t = 2.0 * v;
    d.infot = -2.0 * v;
  }
  return scaled(d, w);
}

// --- inverse.gaussian: V = phi mu^3 (R's dispersion phi) -----------------------------
double inverse_gaussian_variance(double mu, double) { return mu * mu * mu; }
double inverse_gaussian_variance_deriv(double mu, double) { return 3.0 * mu * mu; }
double inverse_gaussian_dev_resid(double y, double mu, double w, double) {
  return w * ((y - mu) * (y - mu)) / (y * mu * mu);
}
// -log(2 pi y^3) / 2.
double inverse_gaussian_constant(double y, double w) { return -(w * (kHalfLog2Pi + 1.5 * std::log(y))); }
double inverse_gaussian_smooth(double y, double mu, double w, double phi) {
  const double r = y - mu;
  return w * (-0.5 * std::log(phi) - (r * r) / (2.0 * phi * mu * mu * y));
}
MuDerivs inverse_gaussian_derivs(double y, double mu, double w, double phi, bool extras) {
  const double mu2 = mu * mu, r = y - mu;
  MuDerivs d{};
  d.l1 = r / (phi * mu2 * mu);
  d.l2 = (2.0 * mu - 3.0 * y) / (phi * mu2 * mu2);
  d.l3 = (12.0 * y - 6.0 * mu) / (phi * mu2 * mu2 * mu);
  d.info = 1.0 / (phi * mu2 * mu);
  d.dinfo = -3.0 / (phi * mu2 * mu2);
  if (extras) {
    d.lt = -0.5 + (r * r) / (2.0 * phi * mu2 * y);
    d.l1t = -d.l1;
    d.l2t = -d.l2;
    d.infot = -d.info;
  }
  return scaled(d, w);
}

// --- beta: shapes mu phi and (1 - mu) phi ---------------------------------------------
double beta_variance(double mu, double) { return mu * (1.0 - mu); }
double beta_variance_deriv(double mu, double) { return 1.0 - 2.0 * mu; }
double beta_smooth(double y, double mu, double w, double phi) {
  const double a = mu * phi, b = (1.0 - mu) * phi;
  return w * (((log_gamma(phi) - log_gamma(a)) - log_gamma(b)) + ((a - 1.0) * std::log(y) + (b - 1.0) * std::log1p(-y)));
}
// The expected information phi^2 (psi1(a) + psi1(b)) is -l2, which is free of y.
MuDerivs beta_derivs(double y, double mu, double w, double phi, bool extras) {
  const double a = mu * phi, b = (1.0 - mu) * phi, ly = std::log(y), l1y = std::log1p(-y);
  const double p0a = digamma(a), p0b = digamma(b), p1a = trigamma(a), p1b = trigamma(b);
  const double p2a = tetragamma(a), p2b = tetragamma(b);
  MuDerivs d{};
  d.l1 = phi * ((ly - l1y) - p0a + p0b);
  d.l2 = -phi * phi * (p1a + p1b);
  d.l3 = -phi * phi * phi * (p2a - p2b);
  d.info = -d.l2;
  d.dinfo = -d.l3;
  if (extras) {
    d.lt = phi * (((digamma(phi) - mu * p0a) - (1.0 - mu) * p0b) + (mu * ly + (1.0 - mu) * l1y));
    d.l1t = d.l1 + phi * phi * (-mu * p1a + (1.0 - mu) * p1b);
    d.l2t = 2.0 * d.l2 - phi * phi * phi * (mu * p2a + (1.0 - mu) * p2b);
    d.infot = -d.l2t;
  }
  return scaled(d, w);
}

// --- betabinomial: k = w y successes of w trials, shapes mu phi and (1 - mu) phi ------
double betabinomial_variance(double mu, double) { return mu * (1.0 - mu); }
double betabinomial_variance_deriv(double mu, double) { return 1.0 - 2.0 * mu; }
// log B(k + a, w - k + b) - log B(a, b), without log choose(w, k) (binomial's constant).
double betabinomial_smooth(double y, double mu, double w, double phi) {
  const double a = mu * phi, b = (1.0 - mu) * phi, k = w * y;
  return (log_gamma_ratio(a, k) + log_gamma_ratio(b, w - k)) - log_gamma_ratio(phi, w);
}
// With A = k + a, B = w - k + b: l1 = phi (psi(A) - psi(a) - psi(B) + psi(b)) and so on;
// info is the binomial's w / (mu (1 - mu)) over the overdispersion 1 + (w - 1) / (phi +
// 1), a surrogate (the expected information has no closed form).
MuDerivs betabinomial_derivs(double y, double mu, double w, double phi, bool extras) {
  const double a = mu * phi, b = (1.0 - mu) * phi, k = w * y;
  const double ea = digamma(k + a) - digamma(a), eb = digamma(w - k + b) - digamma(b);
  const double fa = trigamma(k + a) - trigamma(a), fb = trigamma(w - k + b) - trigamma(b);
  const double ga = tetragamma(k + a) - tetragamma(a), gb = tetragamma(w - k + b) - tetragamma(b);
  const double phi2 = phi * phi;
  MuDerivs d{};
  d.l1 = phi * (ea - eb);
  d.l2 = phi2 * (fa + fb);
  d.l3 = phi2 * phi * (ga - gb);
  const double over = 1.0 + (w - 1.0) / (phi + 1.0);
  d.info = w / (mu * (1.0 - mu) * over);
  d.dinfo = -d.info * (1.0 - 2.0 * mu) / (mu * (1.0 - mu));
  if (extras) {
    d.lt = phi * ((mu * ea + (1.0 - mu) * eb) - (digamma(w + phi) - digamma(phi)));
    d.l1t = d.l1 + phi2 * (mu * fa - (1.0 - mu) * fb);
    d.l2t = 2.0 * d.l2 + phi2 * phi * (mu * ga + (1.0 - mu) * gb);
    d.infot = d.info * ((w - 1.0) * phi / ((phi + 1.0) * (phi + 1.0))) / over;
  }
  return d;
}

// --- truncated_nbinom2: y >= 1, P(y) = dnbinom(y) / (1 - p0), log p0 = L0 = -phi log1p(mu / phi)
// With E = p0, k = E / (1 - E) and g = -log(1 - E), primes derivatives in mu:
// g' = k L0', g'' = k (1 + k) L0'^2 + k L0'', g^(3) = k (1 + k) (1 + 2k) L0'^3 + 3 k (1 + k)
// L0' L0'' + k L0^(3) (dk = k (1 + k) dL0), and likewise in t = log(phi); the truncated
// log-likelihood is nbinom2's + g.
double truncated_nbinom2_smooth(double y, double mu, double w, double phi) {
  const double l0 = -phi * std::log1p(mu / phi);
  return nbinom2_smooth(y, mu, w, phi) - w * std::log(-std::expm1(l0));
}
MuDerivs truncated_nbinom2_derivs(double y, double mu, double w, double phi, bool extras) {
  MuDerivs d = nbinom2_derivs(y, mu, 1.0, phi, extras);
  const double s = phi + mu, l0 = -phi * std::log1p(mu / phi);
  const double k = std::exp(l0) / -std::expm1(l0), kk = k * (1.0 + k), kkk = kk * (1.0 + 2.0 * k);
  const double a1 = -phi / s, a2 = phi / (s * s), a3 = -2.0 * phi / (s * s * s);
  d.l1 = d.l1 + k * a1;
  d.l2 = d.l2 + (kk * a1 * a1 + k * a2);
  d.l3 = d.l3 + ((kkk * a1 * a1 * a1 + 3.0 * kk * a1 * a2) + k * a3);
  if (extras) {
    const double at = phi * (mu / s - std::log1p(mu / phi)), a1t = -phi * mu / (s * s);
    const double a2t = phi * (mu - phi) / (s * s * s);
    d.lt = d.lt + k * at;
    d.l1t = d.l1t + (kk * at * a1 + k * a1t);
    d.l2t = d.l2t + (((kkk * at * a1 * a1 + 2.0 * kk * a1 * a1t) + kk * at * a2) + k * a2t);
  }
  return scaled(d, w);
}

// --- truncated_poisson: y >= 1, P(y) = dpois(y, mu) / (1 - exp(-mu)) ----------------
double truncated_poisson_variance(double mu, double) { return mu; }
double truncated_poisson_variance_deriv(double, double) { return 1.0; }
double truncated_poisson_smooth(double y, double mu, double w, double) {
  return w * ((y * std::log(mu) - mu) - std::log(-std::expm1(-mu)));
}
// With q = exp(-mu): 1 / expm1(mu) = q / (1 - q), exp(mu) / expm1(mu)^2 = q / (1 - q)^2
// and exp(mu) (exp(mu) + 1) / expm1(mu)^3 = q (1 + q) / (1 - q)^3, which stay finite
// for large mu.
MuDerivs truncated_poisson_derivs(double y, double mu, double w, double, bool) {
  const double q = std::exp(-mu), oq = -std::expm1(-mu);
  MuDerivs d{};
  d.l1 = (y / mu - 1.0) - q / oq;
  d.l2 = -y / (mu * mu) + q / (oq * oq);
  d.l3 = 2.0 * y / (mu * mu * mu) - q * (1.0 + q) / (oq * oq * oq);
  d.info = 1.0 / mu;
  d.dinfo = -1.0 / (mu * mu);
  return scaled(d, w);
}

// --- tweedie: y >= 0; its log-likelihood and derivatives take the power (tweedie.cpp),
// so the entry's own are placeholders that nothing calls.
Support nonnegative_check(double y, double w) {
  return std::isfinite(y) && std::isfinite(w) && y >= 0.0 && w >= 0.0 ? Support::kInside : Support::kOutside;
}
double tweedie_constant(double y, double w) { return y > 0.0 ? -(w * std::log(y)) : 0.0; }
double by_power(double, double) { return NAN; }
double by_power_smooth(double, double, double, double) { return NAN; }
MuDerivs by_power_derivs(double, double, double, double, bool) {
  return {NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN};
}

}  // namespace

std::vector<FamilyDef> more_families(const EntryLinks& l) {
  // R's order of the links: the default first; the canonical one, where one is listed,
  // is the one at which the observed and expected information agree.
  return {
      {"nbinom2", l.log, true, 0.0, INFINITY, count_check, nbinom2_variance, nbinom2_variance_deriv,
       nbinom2_dev_resid, count_constant, nbinom2_smooth, nullptr, true, nbinom2_derivs},
      {"nbinom1", l.log, true, 0.0, INFINITY, count_check, nbinom1_variance, nbinom1_variance_deriv, no_deviance,
       count_constant, nbinom1_smooth, nullptr, false, nbinom1_derivs},
      {"Gamma", l.gamma, true, 0.0, INFINITY, positive_check, gamma_variance, gamma_variance_deriv, gamma_dev_resid,
       gamma_constant, gamma_smooth, l.inverse, true, gamma_derivs},
      {"gaussian", l.gaussian, true, -INFINITY, INFINITY, real_check, gaussian_variance, gaussian_variance_deriv,
       gaussian_dev_resid, gaussian_constant, gaussian_smooth, l.identity, true, gaussian_derivs},
      {"inverse.gaussian", l.inverse_gaussian, true, 0.0, INFINITY, positive_check, inverse_gaussian_variance,
       inverse_gaussian_variance_deriv, inverse_gaussian_dev_resid, inverse_gaussian_constant,
       inverse_gaussian_smooth, l.inverse_square, true, inverse_gaussian_derivs},
      {"beta", l.binomial, true, 0.0, 1.0, unit_open_check, beta_variance, beta_variance_deriv, no_deviance,
       zero_constant, beta_smooth, nullptr, true, beta_derivs},
      {"betabinomial", l.binomial, true, 0.0, 1.0, l.binomial_check, betabinomial_variance,
       betabinomial_variance_deriv, no_deviance, l.binomial_constant, betabinomial_smooth, nullptr, false,
       betabinomial_derivs},
      {"truncated_poisson", l.log, false, 1.0, INFINITY, positive_count_check, truncated_poisson_variance,
       truncated_poisson_variance_deriv, no_deviance, count_constant, truncated_poisson_smooth, nullptr, false,
       truncated_poisson_derivs},
      {"truncated_nbinom2", l.log, true, 1.0, INFINITY, positive_count_check, nbinom2_variance,
       nbinom2_variance_deriv, no_deviance, count_constant, truncated_nbinom2_smooth, nullptr, false,
       truncated_nbinom2_derivs},
      {"tweedie", l.log, true, 0.0, INFINITY, nonnegative_check, by_power, by_power, no_deviance, tweedie_constant,
       by_power_smooth, nullptr, true, by_power_derivs, true},
  };
}

}  // namespace qk::glmm::entries
