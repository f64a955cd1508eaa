// Tweedie's compound Poisson-gamma family with 1 < p < 2 (Jorgensen, J. R. Stat. Soc.
// B 49, 1987), as glmmTMB defines it: variance phi mu^p, the power p = 1 + plogis(s)
// estimated through s beside log(phi). For y > 0
//   log f = (y mu^(1-p) / (1-p) - mu^(2-p) / (2-p)) / phi - log y + log sum_j W_j,
//   W_j = z^j / (j! Gamma(j a)),  a = (2-p)/(p-1),
//   log z = a log y - a log(p-1) - (1+a) log phi - log(2-p),
// and log f(0) = -mu^(2-p) / (phi (2-p)) (Dunn & Smyth, Stat. Comput. 15, 2005, whose
// series this is). The sum is taken outward from its largest term, near j = y^(2-p) /
// (phi (2-p)), until the terms fall below e^-37 of it: its tail then lies below the
// rounding of the sum, so the density is exact to double precision.
#include <algorithm>
#include <cmath>

#include "lmm/glmm/family.hpp"
#include "lmm/glmm/special.hpp"

namespace qk::glmm {
namespace {

constexpr double kTail = 37.0;
constexpr double kMaxTerms = 1e7;

struct Series {
  double log_sum;  // log sum_j W_j
  double mean_j;   // E[j] under the weights W_j / sum_j W_j
  double mean_dp;  // E[d log W_j / dp] under them
};

Series series(double y, double phi, double p, bool extras) {
  const double a = (2.0 - p) / (p - 1.0), ly = std::log(y), lq = std::log(p - 1.0);
  const double logz = ((a * ly - a * lq) - (1.0 + a) * std::log(phi)) - std::log(2.0 - p);
  // d a / dp and d log z / dp.
  const double da = -1.0 / ((p - 1.0) * (p - 1.0));
  const double dlogz = (da * ((ly - lq) - std::log(phi)) - a / (p - 1.0)) + 1.0 / (2.0 - p);
  const auto term = [&](double j) { return (j * logz - log_gamma(j + 1.0)) - log_gamma(j * a); };
  const double peak = std::max(1.0, std::nearbyint(std::pow(y, 2.0 - p) / (phi * (2.0 - p))));
  const double top = term(peak);
  double s = 0.0, sj = 0.0, sp = 0.0;
  const auto add = [&](double j) {
    const double t = term(j), e = std::exp(t - top);
    s = s + e;
    if (extras) {
      sj = sj + j * e;
      sp = sp + (j * (dlogz - da * digamma(j * a))) * e;
    }
    return t;
  };
  add(peak);
  for (double j = peak + 1.0; j < peak + kMaxTerms; j += 1.0)
    if (add(j) < top - kTail) break;
  for (double j = peak - 1.0; j >= 1.0; j -= 1.0)
    if (add(j) < top - kTail) break;
  return {top + std::log(s), sj / s, sp / s};
}

// y mu^(1-p) / (1-p) - mu^(2-p) / (2-p), the part of phi log f in mu.
double kernel(double y, double mu, double p) {
  const double m2 = std::pow(mu, 2.0 - p) / (2.0 - p);
  return y == 0.0 ? -m2 : y * std::pow(mu, 1.0 - p) / (1.0 - p) - m2;
}

}  // namespace

double tweedie_smooth(const Family& f, double y, double mu, double w) {
  const double p = f.power, phi = f.phi;
  const double l = kernel(y, mu, p) / phi;
  return w * (y == 0.0 ? l : l + series(y, phi, p, false).log_sum);
}

MuDerivs tweedie_derivs(const Family& f, double y, double mu, double w, bool extras) {
  const double p = f.power, phi = f.phi;
  const double mp = std::pow(mu, -p), mp1 = mp / mu, mp2 = mp1 / mu;
  MuDerivs d{};
  d.l1 = (y - mu) * mp / phi;
  d.l2 = (-p * y * mp1 + (p - 1.0) * mp) / phi;
  d.l3 = (p * (p + 1.0) * y * mp2 - p * (p - 1.0) * mp1) / phi;
  d.info = mp / phi;
  d.dinfo = -p * mp1 / phi;
  if (extras) {
    const Series s = y == 0.0 ? Series{0.0, 0.0, 0.0} : series(y, phi, p, true);
    const double a = (2.0 - p) / (p - 1.0), g = kernel(y, mu, p);
    // t = log(phi): the kernel scales with 1 / phi, log z has slope -(1 + a).
    d.lt = -g / phi - (1.0 + a) * s.mean_j;
    d.l1t = -d.l1;
    d.l2t = -d.l2;
    d.infot = -d.info;
    // s, p = 1 + plogis(s): dp / ds = (p - 1)(2 - p).
    const double dps = (p - 1.0) * (2.0 - p), lm = std::log(mu);
    const double m1p = std::pow(mu, 1.0 - p), m2p = std::pow(mu, 2.0 - p);
    const double dg = (y == 0.0 ? 0.0 : y * m1p * (1.0 / ((1.0 - p) * (1.0 - p)) - lm / (1.0 - p))) -
                      m2p * (1.0 / ((2.0 - p) * (2.0 - p)) - lm / (2.0 - p));
    d.lz = dps * (dg / phi + s.mean_dp);
    d.l1z = dps * (-d.l1 * lm);
    d.l2z = dps * ((mp - y * mp1) / phi - d.l2 * lm);
    d.infoz = dps * (-lm * d.info);
  }
  for (double* v : {&d.l1, &d.l2, &d.l3, &d.info, &d.dinfo, &d.lt, &d.l1t, &d.l2t, &d.infot, &d.lz, &d.l1z, &d.l2z,
                    &d.infoz})
    *v = w * *v;
  return d;
}

}  // namespace qk::glmm
