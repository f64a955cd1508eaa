// Fitting theta: the profiled criterion of a prepared design handed to the minimiser,
// with the structure the minimiser exploits (the sign symmetry of Lambda's columns and
// the natural scale of each theta entry).
#pragma once

#include <vector>

#include "lmm/prepare/data.hpp"
#include "optim/minimize.hpp"

namespace qk {

// Typical magnitude of each theta entry. Z Lambda is what the criterion sees, and
// column r of Z enters it as z_r Lambda(r, c), so the natural magnitude of the entries
// in row r of Lambda is 1 / s_r, s_r the root mean square of column r of Z: a random
// slope whose covariate is in units 1,000 times larger has entries 1,000 times
// smaller. Columns of Z that are zero throughout count with s_r = 1.
std::vector<double> theta_scale(const LmmData& data);

// Minimises the REML (or ML) criterion from each start (the flat concatenation of
// vectors of n_theta entries) and returns the best run; see minimize_from_starts.
// `options.scale` is replaced by theta_scale(data).
OptimResult fit_theta(const LmmData& data, const std::vector<double>& starts, bool reml,
                      const MinimizeOptions& options);

}  // namespace qk
