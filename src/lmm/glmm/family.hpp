// Exponential-family pieces of a generalized linear mixed model: the binomial family
// with the logit, probit and complementary log-log links, and the Poisson family with
// the log link (McCullagh & Nelder, Generalized Linear Models, 2nd ed., ch. 2 and 4).
// They serve penalised iteratively reweighted least squares on the conditional modes
// and the Laplace and adaptive Gauss-Hermite criteria built on the conditional
// log-likelihood.
//
// Conventions are R's glm/glmer ones, whose binomial()/poisson() objects and
// make.link() give the reference behaviour, clamps included:
// - binomial: the response y is a proportion in [0, 1] and the prior weight w is the
//   number of trials n (1 for a Bernoulli response), so n y successes;
// - poisson: y is a count and w a prior weight (usually 1).
// Every function works on one observation; the row loops at the end apply them to
// arrays in row order, so sums are the same for any caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace qk::glmm {

enum class Kind : std::uint8_t { kBinomial, kPoisson };
enum class Link : std::uint8_t { kLogit, kProbit, kCloglog, kLog };

struct Family {
  Kind kind;
  Link link;
};

// True for the canonical links (logit for binomial, log for poisson), where
// d mu / d eta equals the variance and the observed and expected information agree.
bool canonical(const Family& f);

// R's names: "binomial", "poisson"; "logit", "probit", "cloglog", "log".
const char* family_name(Kind kind);
const char* link_name(Link link);

// The family and link from their names, or the caller-error text naming what is
// accepted. An empty link means the family's canonical one. Binomial takes logit,
// probit and cloglog; poisson takes log.
std::variant<Family, std::string> parse_family(std::string_view family, std::string_view link);

// --- Link -------------------------------------------------------------------------
// mu = g^-1(eta) with R's clamps, so mu stays strictly inside the family's support:
// - logit: eta < -30 and eta > 30 are replaced by exp(eta) = DBL_EPSILON and
//   1 / DBL_EPSILON, then mu = x / (1 + x) (R's family.c, logit_linkinv);
// - probit: eta clamped to +-8.125890664701906 = -qnorm(DBL_EPSILON), then Phi(eta);
// - cloglog: 1 - exp(-exp(eta)) clamped to [DBL_EPSILON, 1 - DBL_EPSILON];
// - log: max(exp(eta), DBL_EPSILON).
double linkinv(const Family& f, double eta);

// d mu / d eta, never below DBL_EPSILON, as R's mu.eta:
// - logit: exp(eta) / (1 + exp(eta))^2, DBL_EPSILON for |eta| > 30;
// - probit: max(phi(eta), DBL_EPSILON);
// - cloglog: max(exp(eta) exp(-exp(eta)), DBL_EPSILON) with eta capped at 700;
// - log: max(exp(eta), DBL_EPSILON).
double mu_eta(const Family& f, double eta);

// d^2 mu / d eta^2 of the unclamped inverse link: logit m1 (1 - 2 mu) (with m1 and mu
// as above), probit -eta phi(eta), cloglog exp(eta) exp(-exp(eta)) (1 - exp(eta))
// (eta capped at 700), log exp(eta). Where the clamps act it is not the derivative of
// mu_eta, which is flat there.
double mu_eta2(const Family& f, double eta);

// --- Family -----------------------------------------------------------------------
// V(mu): binomial mu (1 - mu), poisson mu; and dV / dmu: 1 - 2 mu, 1.
double variance(const Family& f, double mu);
double variance_deriv(const Family& f, double mu);

// The unit deviance times the prior weight, as R's dev.resids (y log(y / mu) terms
// with 0 log 0 = 0):
// - binomial: 2 w (y log(y / mu) + (1 - y) log((1 - y) / (1 - mu)));
// - poisson: 2 w (y log(y / mu) - (y - mu)), and 2 w mu for y = 0; for counts above
//   1024 as 2 w bd0(y, mu) (see loglik_kernel), the same without its cancellation.
double dev_resid(const Family& f, double y, double mu, double w);

// The conditional log-likelihood of one observation with its constants, as glmer's
// logLik reports it:
// - binomial: log choose(N, k) + k log mu + (N - k) log(1 - mu), with N = round(w) and
//   k = round(w y): the counts must be integral within rounding (check_response flags
//   them otherwise) and are rounded as R's binomial()$aic rounds them. The binomial
//   coefficient comes from lgamma, so its absolute error grows like DBL_EPSILON times
//   lgamma(N + 1);
// - poisson: w (y log mu - mu - lgamma(y + 1)), with y log mu = 0 for y = 0; the same
//   remark holds for lgamma(y + 1) with large counts.
double loglik(const Family& f, double y, double mu, double w);

// loglik = loglik_constant + loglik_kernel: the constant (binomial: log choose(N, k);
// poisson: -w lgamma(y + 1)) does not depend on mu, the kernel (k log mu + (N - k)
// log(1 - mu); w (y log mu - mu)) does, with the rounding stated above. Poisson counts
// above 1024 are split otherwise, so that neither part is large where loglik is not:
// the kernel -w bd0(y, mu) = -w (y log(y / mu) + mu - y) (Loader's form, exact when mu
// is near y) and the constant w (y log y - y - lgamma(y + 1)) by Stirling's series.
// Summed over many rows with counts near 1e9, the two large parts' rounding would
// otherwise swamp the log-likelihood's own digits.
double loglik_constant(const Family& f, double y, double w);
double loglik_kernel(const Family& f, double y, double mu, double w);

// The kernel without rounding the counts (binomial: w y log mu + w (1 - y) log(1 - mu)),
// whose derivative in eta is exactly loglik_eta_derivs' d1: the objective of the
// conditional modes, equal to loglik_kernel up to rounding when the counts are whole.
double loglik_smooth(const Family& f, double y, double mu, double w);

// loglik at mu = y (the saturated model). For every observation
//   -2 loglik(y, mu, w) = dev_resid(y, mu, w) - 2 loglik_saturated(y, w)
// up to rounding: the deviance is twice the distance to the saturated model.
double loglik_saturated(const Family& f, double y, double w);

// R's family()$aic for one observation: -2 times the log density it sums (dbinom of
// the rounded counts, w times dpois), so -2 loglik with the rounding stated above.
double aic_term(const Family& f, double y, double mu, double w);

// d loglik / d eta and d^2 loglik / d eta^2 at eta, mu = linkinv(eta). With
// m1 = mu_eta, m2 = mu_eta2, V = variance, V' = variance_deriv:
//   d1 = w (y - mu) m1 / V,
//   d2 = w (-m1^2 / V + (y - mu) (m2 / V - V' m1^2 / V^2)),
// since d loglik / d mu = w (y - mu) / V for both families. For canonical links
// m1 = V and m2 = V' V, so d1 = w (y - mu) and the (y - mu) terms of d2 cancel to
// d2 = -w V, which is how both are computed there (no cancellation, and d2 < 0
// always); for probit and cloglog d2 can be positive far from the data.
struct EtaDerivs {
  double d1;
  double d2;
};
EtaDerivs loglik_eta_derivs(const Family& f, double y, double eta, double w);

// The IRLS working weight w m1^2 / V (R's glm.fit takes its square root) and working
// response eta + (y - mu) / m1 (without the offset, which a caller subtracts).
double working_weight(const Family& f, double mu, double m1, double w);
double working_response(double eta, double y, double mu, double m1);

// --- Response checks --------------------------------------------------------------
// kInside: y and w are in the family's support. kNotIntegral: inside, but a count that
// should be a whole number is not (within 1e-8 times max(1, count)), which R warns of.
// kOutside: no log-likelihood exists:
// - binomial: y outside [0, 1], n = w not positive, or either not finite; the counts
//   checked for being whole numbers are the successes n y and the trials n;
// - poisson: y negative, w negative, or either not finite; y is the count checked.
enum class Support : std::uint8_t { kInside, kNotIntegral, kOutside };
Support check_response(const Family& f, double y, double w);

// --- Row loops --------------------------------------------------------------------
// For rows 0..n-1: mu, the working weight and the working response at eta.
void irls_rows(const Family& f, std::size_t n, const double* eta, const double* y,
               const double* w, double* mu, double* weight, double* z);

// Sums over rows 0..n-1 in row order: the deviance and the log-likelihood.
double deviance(const Family& f, std::size_t n, const double* y, const double* mu,
                const double* w);
double loglik_sum(const Family& f, std::size_t n, const double* y, const double* mu,
                  const double* w);

}  // namespace qk::glmm
