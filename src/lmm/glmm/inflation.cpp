// Zero-inflated and hurdle families (family.hpp): the base family's log density f and
// its derivatives at one response, mixed with structural zeros of probability p =
// logistic(z). Writing L for log f at the row's y (L0 at y = 0), q = (1 - p) exp(L0),
// s = p + q and r = q / s (the posterior probability that a zero is the base family's):
// - a zero of an inflated family: l = log s, dl/dmu = r L0', and
//   l2 = r (1 - r) L0'^2 + r L0'', l3 = r (1 - r) (1 - 2r) L0'^3 + 3 r (1 - r) L0' L0''
//   + r L0''' (dr/dmu = r (1 - r) L0'); in z, dl/dz = p (1 - s) / s and dr/dz = -p r / s;
//   in t = log(phi), dr/dt = r (1 - r) L0_t;
// - a count above zero: l = log(1 - p) + L, dl/dz = -p, mu's derivatives the base's;
// - a zero of a hurdle model: l = log p, dl/dz = 1 - p, free of mu.
// The base's log density is of weight 1; the mixture's is multiplied by the row's weight.
#include <cmath>

#include "lmm/glmm/family.hpp"

namespace qk::glmm {
namespace {

bool hurdle(const Family& f) { return f.def->mean_lower > 0.0; }

double base_loglik(const Family& f, double y, double mu) {
  return f.def->loglik_constant(y, 1.0) + f.def->loglik_smooth(y, mu, 1.0, f.phi);
}

MuDerivs base_derivs(const Family& f, double y, double mu, bool extras) {
  Family base = f;
  base.inflated = false;
  return mu_derivs_of(base, y, mu, 1.0, extras);
}

// log(p + q) from log p and log q without overflow.
double log_add(double a, double b) {
  const double hi = std::fmax(a, b);
  return hi + std::log1p(std::exp(std::fmin(a, b) - hi));
}

}  // namespace

double inflated_smooth(const Family& f, double y, double mu, double w) {
  const double p = f.zi;
  const double constant = f.def->loglik_constant(y, 1.0);
  if (y == 0.0 && hurdle(f)) return w * (std::log(p) - constant);
  if (y == 0.0) return w * (log_add(std::log(p), std::log1p(-p) + base_loglik(f, 0.0, mu)) - constant);
  return w * (std::log1p(-p) + f.def->loglik_smooth(y, mu, 1.0, f.phi));
}

MuDerivs inflated_derivs(const Family& f, double y, double mu, double w, bool extras) {
  const double p = f.zi;
  MuDerivs d{};
  if (y == 0.0 && hurdle(f)) {
    d.lz = 1.0 - p;
    d.info = 0.0;
  } else if (y == 0.0) {
    const MuDerivs b = base_derivs(f, 0.0, mu, extras);
    const double lq = std::log1p(-p) + base_loglik(f, 0.0, mu), ls = log_add(std::log(p), lq);
    const double r = std::exp(lq - ls), s = std::exp(ls), rr = r * (1.0 - r);
    d.l1 = r * b.l1;
    d.l2 = rr * b.l1 * b.l1 + r * b.l2;
    d.l3 = (rr * (1.0 - 2.0 * r) * b.l1 * b.l1 * b.l1 + 3.0 * rr * b.l1 * b.l2) + r * b.l3;
    d.info = (1.0 - p) * b.info;
    d.lz = p * (1.0 - s) / s;
    d.l1z = -p * r * b.l1 / s;
    d.l2z = -(p * r / s) * ((1.0 - 2.0 * r) * b.l1 * b.l1 + b.l2);
    d.lt = r * b.lt;
    d.l1t = rr * b.lt * b.l1 + r * b.l1t;
    d.l2t = ((rr * (1.0 - 2.0 * r) * b.lt * b.l1 * b.l1 + 2.0 * rr * b.l1 * b.l1t) + rr * b.lt * b.l2) + r * b.l2t;
  } else {
    d = base_derivs(f, y, mu, extras);
    d.info = (1.0 - p) * d.info;
    d.lz = -p;
  }
  for (double* v : {&d.l1, &d.l2, &d.l3, &d.info, &d.dinfo, &d.lt, &d.l1t, &d.l2t, &d.infot, &d.lz, &d.l1z, &d.l2z})
    *v = w * *v;
  return d;
}

}  // namespace qk::glmm
