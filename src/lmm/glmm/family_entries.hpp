// The entries of the family table beyond binomial and Poisson (family_entries.cpp):
// the families with a parameter phi beside the mean, and the zero-truncated Poisson.
// Internal to the family table; see family.hpp for each function's contract.
#pragma once

#include "lmm/glmm/family.hpp"

namespace qk::glmm::entries {

Support count_check(double y, double w);
Support positive_check(double y, double w);
Support real_check(double y, double w);
Support unit_open_check(double y, double w);
Support positive_count_check(double y, double w);
double no_deviance(double y, double mu, double w, double phi);
double zero_constant(double y, double w);

double nbinom2_variance(double mu, double phi);
double nbinom2_variance_deriv(double mu, double phi);
double nbinom2_dev_resid(double y, double mu, double w, double phi);
double nbinom2_smooth(double y, double mu, double w, double phi);
double count_constant(double y, double w);
MuDerivs nbinom2_derivs(double y, double mu, double w, double phi, bool extras);

double nbinom1_variance(double mu, double phi);
double nbinom1_variance_deriv(double mu, double phi);
double nbinom1_smooth(double y, double mu, double w, double phi);
MuDerivs nbinom1_derivs(double y, double mu, double w, double phi, bool extras);

double gamma_variance(double mu, double phi);
double gamma_variance_deriv(double mu, double phi);
double gamma_dev_resid(double y, double mu, double w, double phi);
double gamma_constant(double y, double w);
double gamma_smooth(double y, double mu, double w, double phi);
MuDerivs gamma_derivs(double y, double mu, double w, double phi, bool extras);

double gaussian_variance(double mu, double phi);
double gaussian_variance_deriv(double mu, double phi);
double gaussian_dev_resid(double y, double mu, double w, double phi);
double gaussian_constant(double y, double w);
double gaussian_smooth(double y, double mu, double w, double phi);
MuDerivs gaussian_derivs(double y, double mu, double w, double phi, bool extras);

double inverse_gaussian_variance(double mu, double phi);
double inverse_gaussian_variance_deriv(double mu, double phi);
double inverse_gaussian_dev_resid(double y, double mu, double w, double phi);
double inverse_gaussian_constant(double y, double w);
double inverse_gaussian_smooth(double y, double mu, double w, double phi);
MuDerivs inverse_gaussian_derivs(double y, double mu, double w, double phi, bool extras);

double beta_variance(double mu, double phi);
double beta_variance_deriv(double mu, double phi);
double beta_smooth(double y, double mu, double w, double phi);
MuDerivs beta_derivs(double y, double mu, double w, double phi, bool extras);

double betabinomial_variance(double mu, double phi);
double betabinomial_variance_deriv(double mu, double phi);
double betabinomial_smooth(double y, double mu, double w, double phi);
MuDerivs betabinomial_derivs(double y, double mu, double w, double phi, bool extras);

double truncated_nbinom2_smooth(double y, double mu, double w, double phi);
MuDerivs truncated_nbinom2_derivs(double y, double mu, double w, double phi, bool extras);

double truncated_poisson_variance(double mu, double phi);
double truncated_poisson_variance_deriv(double mu, double phi);
double truncated_poisson_smooth(double y, double mu, double w, double phi);
MuDerivs truncated_poisson_derivs(double y, double mu, double w, double phi, bool extras);

}  // namespace qk::glmm::entries
