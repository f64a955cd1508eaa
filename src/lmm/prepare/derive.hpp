// Designs derived from a prepared design without reading the rows again.
#pragma once

#include <cstdint>
#include <memory>

#include "lmm/prepare/data.hpp"

namespace qk {

// The design of the same model with fixed-effect column j held at the value b: X
// without column j and the response y - x_j b. It is formed from the products alone:
// with A = [X | y] and the new A' = A M (M selects the other columns of X and maps y
// to y - b x_j), A''A' = M'(A'A)M and Z_i'A' = (Z_i'A)M, while Z'Z, the classes'
// assignment and the theta layout are unchanged.
//
// Centring (see Shift) carries over: dropping a column other than the constant one k
// keeps the centred columns valid, with the response's centre moved by -b c_j
// (y - b x_j - (c_y - b c_j) = y~ - b x~_j). Dropping the constant column itself
// leaves nothing to centre against, so the products are first taken back to the rows
// as given, x_i = x~_i + (c_i / a) x~_k and y = y~ + (c_y / a) x~_k, and the derived
// design uses them unshifted (as a design without a constant column always does).
//
// The derived design has no rows behind it: its x fingerprint matches no array, so
// with_response refuses it. j < p is the caller's to check; p may become 0.
std::unique_ptr<LmmData> fixed_at(const LmmData& data, std::uint64_t j, double b);

}  // namespace qk
