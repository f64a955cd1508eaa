// The model's quantities at a theta, on the scale of the data: the evaluation in
// solution mode with the covariances and random effects that the relative covariance
// factor turns into the model's own.
#pragma once

#include <optional>
#include <vector>

#include "lmm/evaluate/evaluate.hpp"

namespace qk {

struct Solution {
  Evaluation ev;                 // mode 2: beta, u, fixed_inverse, sigma2, ...
  std::vector<double> cov_re;    // q x q: sigma^2 Lambda Lambda'
  std::vector<double> cov_beta;  // p x p: sigma^2 (the fixed-effects system)^-1
  std::vector<double> b;         // m x q, group-major: the random effects Lambda u_i
};

// Nothing when theta is infeasible.
std::optional<Solution> solve_at(const LmmData& data, const std::vector<double>& theta, bool reml);

// The absolute error the criterion may carry from cancellation in the reduced form,
// which subtracts sums of squares of the size of y'y (of the shifted response) to
// leave pwrss: about 8 * 2^-52 * nu * y'y / pwrss (the factor measured on large
// means).
double criterion_rounding_error(const LmmData& data, const Evaluation& ev);

}  // namespace qk
