// The quasi-Newton run behind minimize_symmetric, on variables already divided by
// their scales and with fixed coordinates removed (the method is described in
// minimize.hpp).
#pragma once

#include <vector>

#include "optim/minimize.hpp"

namespace qk::detail {

// One run from u0 on `objective`, whose gradient is df/du. `scale` (one entry per
// coordinate) converts it back to df/dx = (df/du) / scale for the gradient test;
// options.scale, options.fixed and options.h0 are not read. `h0` is the initial inverse
// Hessian in u (n * n entries, row-major), used when it is finite and positive
// definite; empty, or any other, starts from steepest descent. The result holds u and,
// when the run ends with a model, that model in u.
OptimResult bfgs_run(const Objective& objective, std::vector<double> u0, const std::vector<SignGroup>& groups,
                     const MinimizeOptions& options, const std::vector<double>& scale, std::vector<double> h0);

}  // namespace qk::detail
