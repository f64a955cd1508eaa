// What the minimiser's tests share: a run's report, a recorder, and objectives.
#pragma once
// Options are written as designated initializers; the fields left out keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "optim/minimize.hpp"
#include "support.hpp"

namespace qkt {

inline std::string summary(const qk::OptimResult& r) {
  return r.message + ": " + std::to_string(r.iterations) + " passes, " + std::to_string(r.fev) + " evaluations" +
         (r.converged ? "" : ", not converged");
}

// Wraps an objective and records every point it is asked about, in call order.
struct Recorder {
  std::vector<Vec> points;
  qk::Objective wrap(qk::Objective inner) {
    return [this, inner](const Vec& x, double& f, Vec& g) {
      points.push_back(x);
      return inner(x, f, g);
    };
  }
};

// f = 0.5 sum a_i x_i^2 + offset.
inline qk::Objective diag_quadratic(Vec a, double offset = 0.0) {
  return [a, offset](const Vec& x, double& f, Vec& g) {
    f = offset;
    for (std::size_t i = 0; i < x.size(); ++i) {
      f += 0.5 * a[i] * x[i] * x[i];
      g[i] = a[i] * x[i];
    }
    return true;
  };
}

// Whether the value and gradient reported are the objective's at the point reported.
inline bool reported_at(const qk::Objective& objective, const qk::OptimResult& r) {
  double f, largest = 0.0;
  Vec g(r.theta.size());
  objective(r.theta, f, g);
  for (double v : g) largest = std::max(largest, std::fabs(v));
  return r.deviance == f && r.grad_inf_norm == largest;
}

// f(a, b) = (a^2 - 1)^2 + (b - a / 2)^2, even under (a, b) -> -(a, b), minima +-(1, 1/2).
inline bool column(const Vec& x, double& f, Vec& g) {
  const double r = x[0] * x[0] - 1.0, s = x[1] - 0.5 * x[0];
  f = r * r + s * s;
  g[0] = 4.0 * x[0] * r - s;
  g[1] = 2.0 * s;
  return true;
}

}  // namespace qkt
