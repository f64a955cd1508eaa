// Polygamma functions by the recurrence psi(x) = psi(x + 1) - 1 / x (and its
// derivatives) up to x >= 10, then the asymptotic series in Bernoulli numbers
// (Abramowitz & Stegun 6.3.18, 6.4.11, 6.4.12), whose first omitted terms are below
// 1e-16 relative there.
#include "lmm/glmm/special.hpp"

#include <cmath>

namespace qk::glmm {
namespace {

constexpr double kSeriesFrom = 10.0;

// Stirling's correction log Gamma(x) - ((x - 1/2) log x - x + log(2 pi) / 2), x >= 10:
// sum of B_2k / (2k (2k - 1) x^(2k - 1)), terms through x^-13.
double stirling_correction(double x) {
  const double r = 1.0 / x, r2 = r * r;
  return r * (1.0 / 12.0 +
              r2 * (-1.0 / 360.0 +
                    r2 * (1.0 / 1260.0 +
                          r2 * (-1.0 / 1680.0 + r2 * (1.0 / 1188.0 + r2 * (-691.0 / 360360.0 + r2 * (1.0 / 156.0)))))));
}

}  // namespace

double log_gamma(double x) {
  int sign = 0;
  return ::lgamma_r(x, &sign);
}

double log_gamma_ratio(double x, double y) {
  if (y == 0.0) return 0.0;
  if (x < kSeriesFrom) return log_gamma(x + y) - log_gamma(x);
  // With Stirling's form of both terms the large parts x log x cancel analytically:
  // (x - 1/2) log(1 + y / x) + y log(x + y) - y, plus the corrections' difference.
  return ((x - 0.5) * std::log1p(y / x) + (y * std::log(x + y) - y)) +
         (stirling_correction(x + y) - stirling_correction(x));
}

double digamma(double x) {
  double shift = 0.0;
  while (x < kSeriesFrom) {
    shift = shift + 1.0 / x;
    x = x + 1.0;
  }
  const double r2 = 1.0 / (x * x);
  const double series =
      r2 * (1.0 / 12.0 -
            r2 * (1.0 / 120.0 - r2 * (1.0 / 252.0 - r2 * (1.0 / 240.0 - r2 * (1.0 / 132.0 - r2 * (691.0 / 32760.0))))));
  return ((std::log(x) - 0.5 / x) - series) - shift;
}

double trigamma(double x) {
  double shift = 0.0;
  while (x < kSeriesFrom) {
    shift = shift + 1.0 / (x * x);
    x = x + 1.0;
  }
  const double r = 1.0 / x, r2 = r * r;
  const double series =
      r * r2 * (1.0 / 6.0 - r2 * (1.0 / 30.0 - r2 * (1.0 / 42.0 - r2 * (1.0 / 30.0 - r2 * (5.0 / 66.0 - r2 * (691.0 / 2730.0))))));
  return ((r + 0.5 * r2) + series) + shift;
}

double tetragamma(double x) {
  double shift = 0.0;
  while (x < kSeriesFrom) {
    shift = shift + 2.0 / (x * x * x);
    x = x + 1.0;
  }
  const double r = 1.0 / x, r2 = r * r;
  const double series =
      r2 * r2 * (0.5 - r2 * (1.0 / 6.0 - r2 * (1.0 / 6.0 - r2 * (3.0 / 10.0 - r2 * (5.0 / 6.0 - r2 * (691.0 / 210.0))))));
  return -((r2 + r2 * r) + series) - shift;
}

}  // namespace qk::glmm
