// Layout of theta: the q(q+1)/2 free entries of the lower-triangular relative
// covariance factor Lambda, taken column by column: (0,0), (1,0), ..., (q-1,0),
// (1,1), ..., (q-1,q-1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "optim/minimize.hpp"

namespace qk {

using ThetaIndex = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

inline std::uint64_t n_theta_of(std::uint64_t q) { return q * (q + 1) / 2; }

ThetaIndex theta_index(std::uint64_t q);

// Lambda (q x q, row-major, zero above the diagonal) from theta; theta must have
// exactly q(q+1)/2 entries.
std::vector<double> theta_to_lambda(const std::vector<double>& theta, std::uint64_t q);

// 0.0 for diagonal entries, -infinity for off-diagonal ones.
std::vector<double> lower_bounds(std::uint64_t q);

// The columns of Lambda as sign groups of theta: the criterion depends on Lambda only
// through Lambda Lambda' and the determinant of Lambda'Z'Z Lambda + I, so negating a
// column changes nothing. Each group lists the column's entries; its diagonal is the
// entry (c, c).
std::vector<SignGroup> sign_groups(std::uint64_t q);

// The identity factor: 1.0 on the diagonal, 0.0 elsewhere.
std::vector<double> default_theta(std::uint64_t q);

// The caller-error message for a theta that is the wrong length or not finite,
// or nothing when it is acceptable.
std::optional<std::string> theta_error(const std::vector<double>& theta, std::uint64_t q);

}  // namespace qk
