// Layout of theta: the free entries of the lower-triangular relative covariance
// factor Lambda, taken column by column. Without structure every entry of the lower
// triangle is free: (0,0), (1,0), ..., (q-1,0), (1,1), ..., (q-1,q-1). Random-effect
// terms that are uncorrelated with each other (lme4's (x || g), or several terms on
// one grouping factor) make Lambda block diagonal: entries between blocks are held at
// zero and are not part of theta, which then lists each block's lower triangle in
// turn, as lme4's theta does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "optim/minimize.hpp"

namespace qk {

// The (row, column) of Lambda that each entry of theta holds, in order.
using ThetaIndex = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

inline std::uint64_t n_theta_of(std::uint64_t q) { return q * (q + 1) / 2; }

// Every entry of the lower triangle.
ThetaIndex theta_index(std::uint64_t q);

// Lambda block diagonal with the given block sizes (positive, summing to q): the
// lower triangle of each block, column by column.
ThetaIndex theta_index(std::uint64_t q, const std::vector<std::uint64_t>& blocks);

// The caller-error message for block sizes that are not positive or do not sum to q,
// or nothing when they are acceptable.
std::optional<std::string> blocks_error(const std::vector<std::uint64_t>& blocks, std::uint64_t q);

// Lambda (q x q, row-major, zero above the diagonal and wherever idx has no entry)
// from theta, which must have one entry per entry of idx.
std::vector<double> theta_to_lambda(const std::vector<double>& theta, const ThetaIndex& idx,
                                    std::uint64_t q);
// The same for the full lower triangle.
std::vector<double> theta_to_lambda(const std::vector<double>& theta, std::uint64_t q);

// 0.0 for diagonal entries, -infinity for off-diagonal ones.
std::vector<double> lower_bounds(const ThetaIndex& idx);

// The columns of Lambda as sign groups of theta: the criterion depends on Lambda only
// through Lambda Lambda' and the determinant of Lambda'Z'Z Lambda + I, so negating a
// column changes nothing. Each group lists the column's free entries; its diagonal is
// the entry (c, c).
std::vector<SignGroup> sign_groups(const ThetaIndex& idx);
std::vector<SignGroup> sign_groups(std::uint64_t q);

// The identity factor: 1.0 on the diagonal, 0.0 elsewhere.
std::vector<double> default_theta(const ThetaIndex& idx);
std::vector<double> default_theta(std::uint64_t q);

// The caller-error message for a theta that is the wrong length or not finite,
// or nothing when it is acceptable.
std::optional<std::string> theta_error(const std::vector<double>& theta, const ThetaIndex& idx,
                                       std::uint64_t q);

}  // namespace qk
