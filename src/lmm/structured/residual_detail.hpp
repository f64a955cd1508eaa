// What the residual structure's files share and no caller needs: one correlation
// entry with its derivatives, and the variance functions' gradient by row.
#pragma once

#include <cstdint>

#include "lmm/structured/residual.hpp"

namespace qk::detail {

// The correlation of rows a != b, and its derivatives in the correlation's parameters
// (at most two; the kinds by visit read the precomputed C and give none).
double correlation(const ResidualStructure& s, const ResidualValues& v, std::uint64_t a, std::uint64_t b,
                   double* d);

// Adds sum_rows w[j] d log delta_j / d eta to each variance function's parameters
// (grad at the first function's), w indexed from the subject's first row.
void add_variance_gradient(const ResidualStructure& s, std::uint64_t begin, std::uint64_t n, const double* w,
                           double* grad);

}  // namespace qk::detail
