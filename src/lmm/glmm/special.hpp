// The log-gamma function and its derivatives (digamma, trigamma, tetragamma) for
// positive arguments, as the families with a dispersion parameter need them in their
// log-likelihoods and derivatives. Thread-safe (no global sign, unlike lgamma).
#pragma once

namespace qk::glmm {

// log Gamma(x), x > 0.
double log_gamma(double x);
// log Gamma(x + y) - log Gamma(x) for x > 0, y >= 0, without the cancellation of the
// direct difference when x is large (a negative binomial near its Poisson limit).
double log_gamma_ratio(double x, double y);
// psi(x) = d log Gamma / dx and its first two derivatives, x > 0.
double digamma(double x);
double trigamma(double x);
double tetragamma(double x);

}  // namespace qk::glmm
