// The exponential families of a generalized linear mixed model and their links
// (McCullagh & Nelder, Generalized Linear Models, 2nd ed., ch. 2 and 4), as one table:
// every family the package fits is an entry of families(), with its links, and the
// rest of the package (the PIRLS of the conditional modes, the Laplace and adaptive
// Gauss-Hermite criteria, the Python module's names, residuals and deviances) reads
// them from there. A new family is one more entry, with its functions, in family.cpp.
//
// Conventions are R's glm/glmer ones, whose family objects and make.link() give the
// reference behaviour, clamps included:
// - binomial: the response y is a proportion in [0, 1] and the prior weight w is the
//   number of trials n (1 for a Bernoulli response), so n y successes;
// - poisson: y is a count and w a prior weight (usually 1).
// The families with a parameter phi beside the mean (a dispersion, shape or precision)
// take glmmTMB's definitions of the likelihood and of phi (Brooks et al., R Journal
// 9(2), 2017): nbinom2 (size phi, variance mu + mu^2 / phi), nbinom1 (size mu / phi,
// variance mu (1 + phi)), Gamma (shape 1 / phi^2), gaussian (sd phi), beta (precision
// phi), betabinomial (precision phi of w trials); inverse.gaussian is R's (variance phi
// mu^3). Their log-likelihoods are multiplied by the prior weight w, except
// betabinomial's, whose w is the number of trials as binomial's.
// Every function works on one observation.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace qk::glmm {

// kInside: y and w are in the family's support. kNotIntegral: inside, but a count that
// should be a whole number is not (within 1e-8 times max(1, count)), which R warns of.
// kOutside: no log-likelihood exists.
enum class Support : std::uint8_t { kInside, kNotIntegral, kOutside };

// A link g, mu = g^-1(eta). Contract of every entry:
// - linkinv keeps mu strictly inside the support of the means of every family that
//   lists the link (R's clamps: (0, 1) for binomial links, (0, inf) for the log);
// - mu_eta is d mu / d eta, never below DBL_EPSILON (R's mu.eta);
// - mu_eta2 is d^2 mu / d eta^2 of the unclamped inverse; where the clamps act it is
//   not the derivative of mu_eta, which is flat there;
// - mean sets mu = linkinv(eta) and m1 = mu_eta(eta), to the same bits (an entry may
//   share work between the two).
// - mu_eta3 is d^3 mu / d eta^3 of the unclamped inverse (for the observed
//   information's derivative).
struct LinkDef {
  const char* name;  // R's name
  double (*linkinv)(double eta);
  double (*mu_eta)(double eta);
  double (*mu_eta2)(double eta);
  void (*mean)(double eta, double& mu, double& m1);
  double (*mu_eta3)(double eta);
};

// The derivatives of one observation's log-likelihood (times its weight) in mu at phi:
// l1, l2, l3; the expected information `info` = E[-l2] (or, where it has no closed
// form, a positive surrogate: the reciprocal variance) and d info / d mu; and the
// derivatives of the log-likelihood, l1, l2 and info in t = log(phi) (zero for a
// family without phi).
struct MuDerivs {
  double l1, l2, l3, info, dinfo;
  double lt, l1t, l2t, infot;
  // The derivatives of l, l1 and l2 in the family's second parameter: the logit of a
  // zero-inflation probability, or Tweedie's s (power 1 + plogis(s)), and of info in s.
  double lz = 0.0, l1z = 0.0, l2z = 0.0, infoz = 0.0;
};

// An exponential family (McCullagh & Nelder, sec. 2.2.2). Contract of every entry:
// - links: its links by R's names, the canonical one first (d mu / d eta = V(mu) there,
//   so the observed and expected information agree);
// - dispersion: whether it has a dispersion parameter to estimate beside theta and
//   beta (false for binomial and Poisson, whose scale is 1);
// - mean_lower, mean_upper: the infimum and supremum of mu (0 and 1 for a proportion,
//   0 and infinity for a count): the bounds that the fitted means of a response at one
//   of them reach under separation;
// - check: whether (y, w) is in the support;
// - variance V(mu) and its derivative dV / dmu;
// - dev_resid: the unit deviance times the prior weight, R's dev.resids;
// - loglik_constant + loglik_smooth: the conditional log-likelihood of one
//   observation, the part free of mu and phi and the part that depends on them;
//   loglik_smooth's derivative in eta is d1 of loglik_eta_derivs;
// - canonical: the link at which the observed and expected information agree (null
//   where none of the links does);
// - exact_fisher: whether mu_derivs's info is the expected information (false: a
//   surrogate, and only the observed information defines the Laplace approximation);
// - mu_derivs: see MuDerivs, the derivatives in t only with `extras` (the PIRLS needs
//   those in mu alone, and the t ones cost digamma functions); null for binomial and
//   Poisson, whose derivatives come
//   from V (loglik_eta_derivs), and whose paths stay those of lme4's PIRLS.
// Without phi (binomial, Poisson, truncated_poisson) every phi argument is ignored.
struct FamilyDef {
  const char* name;  // R's name
  std::span<const LinkDef* const> links;
  bool dispersion;
  double mean_lower, mean_upper;
  Support (*check)(double y, double w);
  double (*variance)(double mu, double phi);
  double (*variance_deriv)(double mu, double phi);
  double (*dev_resid)(double y, double mu, double w, double phi);
  double (*loglik_constant)(double y, double w);
  double (*loglik_smooth)(double y, double mu, double w, double phi);
  const LinkDef* canonical;
  bool exact_fisher;
  MuDerivs (*mu_derivs)(double y, double mu, double w, double phi, bool extras);
  // Tweedie: a power parameter beside phi, which the functions above do not take (its
  // log-likelihood and derivatives are tweedie_smooth and tweedie_derivs, by Family).
  bool power = false;
};

// The table, in the order R users meet the families (binomial first).
std::span<const FamilyDef> families();

// A family with one of its links (both point into the tables), the value of its
// parameter phi, and which information defines the Laplace approximation: the
// expected one at the modes (lme4's glmer and glmer.nb) or the observed one, the
// Hessian of the integrand (glmmTMB's, Laplace's approximation proper). The two agree
// at canonical links.
//
// An inflated family mixes its counts with structural zeros of probability zi
// (glmmTMB's zero-inflation with ziformula = ~1): P(0) = zi + (1 - zi) f(0), P(y) = (1 -
// zi) f(y) for y > 0. For a zero-truncated family it is a hurdle model instead: P(0) =
// zi, P(y) = (1 - zi) f(y) with f truncated at zero.
struct Family {
  const FamilyDef* def = nullptr;
  const LinkDef* link = nullptr;
  double phi = 1.0;
  bool observed = false;
  bool inflated = false;
  double zi = 0.0;
  // The zero-inflation's coefficients: 1 for a constant probability, else its design's
  // columns (glmmTMB's ziformula), whose logit is linear in them row by row.
  std::uint32_t zi_columns = 1;
  // Each row's zero-inflation probability, where the inflation has covariates and the
  // caller has them at the parameters (null: zi for every row). Borrowed.
  const double* zi_rows = nullptr;
  // Tweedie's power p in (1, 2).
  double power = 1.5;
};

// The family and link from their names, or the caller-error text naming what is
// accepted. An empty link means the family's canonical one.
std::variant<Family, std::string> parse_family(std::string_view family, std::string_view link);

// The link's entry by R's name; null for a name that is none.
const LinkDef* find_link(std::string_view name);

// --- The entries, by Family -------------------------------------------------------
inline bool canonical(const Family& f) { return f.link == f.def->canonical; }
inline double linkinv(const Family& f, double eta) { return f.link->linkinv(eta); }
inline double mu_eta(const Family& f, double eta) { return f.link->mu_eta(eta); }
inline double mu_eta2(const Family& f, double eta) { return f.link->mu_eta2(eta); }
inline double variance(const Family& f, double mu) { return f.def->variance(mu, f.phi); }
inline double variance_deriv(const Family& f, double mu) { return f.def->variance_deriv(mu, f.phi); }
inline double dev_resid(const Family& f, double y, double mu, double w) { return f.def->dev_resid(y, mu, w, f.phi); }
inline double loglik_constant(const Family& f, double y, double w) { return f.def->loglik_constant(y, w); }
// The inflated family's log-likelihood less the base family's loglik_constant, and its
// derivatives (inflation.cpp).
double inflated_smooth(const Family& f, double y, double mu, double w);
MuDerivs inflated_derivs(const Family& f, double y, double mu, double w, bool extras);
// Tweedie's log-likelihood less -w log y, and its derivatives (tweedie.cpp).
double tweedie_smooth(const Family& f, double y, double mu, double w);
MuDerivs tweedie_derivs(const Family& f, double y, double mu, double w, bool extras);
inline double loglik_smooth(const Family& f, double y, double mu, double w) {
  if (f.def->power) return tweedie_smooth(f, y, mu, w);
  return f.inflated ? inflated_smooth(f, y, mu, w) : f.def->loglik_smooth(y, mu, w, f.phi);
}
// Whether the row derivatives take the general path of mu_derivs: a family with phi,
// or the observed information asked of a non-canonical link.
inline bool general_path(const Family& f) {
  return f.def->mu_derivs != nullptr || f.inflated || (f.observed && !canonical(f));
}
// A hurdle model's zeros are in its support; its truncated family's are not.
inline Support check_response(const Family& f, double y, double w) {
  return f.inflated && y == 0.0 && w >= 0.0 ? Support::kInside : f.def->check(y, w);
}

// d loglik / d eta and d^2 loglik / d eta^2 at eta, mu = linkinv(eta). With
// m1 = mu_eta, m2 = mu_eta2, V = variance, V' = variance_deriv:
//   d1 = w (y - mu) m1 / V,
//   d2 = w (-m1^2 / V + (y - mu) (m2 / V - V' m1^2 / V^2)),
// since d loglik / d mu = w (y - mu) / V. For canonical links m1 = V and m2 = V' V, so
// d1 = w (y - mu) and the (y - mu) terms of d2 cancel to d2 = -w V, which is how both
// are computed there (no cancellation, and d2 < 0 always); for other links d2 can be
// positive far from the data.
struct EtaDerivs {
  double d1;
  double d2;
};
EtaDerivs loglik_eta_derivs(const Family& f, double y, double eta, double w);

// The derivatives in mu of the binomial and Poisson log-likelihoods, from V (phi 1).
MuDerivs variance_mu_derivs(const Family& f, double y, double mu, double w);
// Every family's derivatives in mu: its own, V's, or the inflated family's.
inline MuDerivs mu_derivs_of(const Family& f, double y, double mu, double w, bool extras = true) {
  if (f.inflated) return inflated_derivs(f, y, mu, w, extras);
  if (f.def->power) return tweedie_derivs(f, y, mu, w, extras);
  return f.def->mu_derivs ? f.def->mu_derivs(y, mu, w, f.phi, extras) : variance_mu_derivs(f, y, mu, w);
}

// The IRLS working weight w m1^2 / V (R's glm.fit takes its square root).
inline double working_weight(const Family& f, double mu, double m1, double w) {
  return w * (m1 * m1) / variance(f, mu);
}

}  // namespace qk::glmm
