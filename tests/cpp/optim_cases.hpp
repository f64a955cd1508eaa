// What the minimiser's tests share: a one-line report of a run and the objective with
// the mixed-model shape (even under a joint sign flip, its minimum off the symmetric point).
#pragma once
#include <string>

#include "optim/minimize.hpp"
#include "support.hpp"

namespace qkt {

inline std::string summary(const qk::OptimResult& r) {
  return r.message + ": " + std::to_string(r.iterations) + " passes, " + std::to_string(r.fev) + " evaluations" +
         (r.converged ? "" : ", not converged");
}

// f(a, b) = (a^2 - 1)^2 + (b - a / 2)^2, even under (a, b) -> -(a, b).
inline bool column(const Vec& x, double& f, Vec& g) {
  const double r = x[0] * x[0] - 1.0, s = x[1] - 0.5 * x[0];
  f = r * r + s * s;
  g[0] = 4.0 * x[0] * r - s;
  g[1] = 2.0 * s;
  return true;
}

}  // namespace qkt
