// Work estimates, in multiply-adds per item, of the passes over rows, groups and
// classes. They size the chunks of the parallel loops (see pool.hpp) and decide when
// "auto" prefers classes of groups: one home, so the two can never disagree. All
// arithmetic wraps like every size computation here.
#pragma once

#include <cstdint>

namespace qk {

// Per row of the global fixed-effect products X'X, X'y, y'y.
inline std::uint64_t fixed_row_cost(std::uint64_t p) { return p * (p + 1) / 2 + p + 1; }

// Per row of the per-group products Z_i'Z_i, Z_i'X_i, Z_i'y_i.
inline std::uint64_t group_row_cost(std::uint64_t p, std::uint64_t q) { return q + q * p + q * (q + 1) / 2; }

// Per group of the "blocks" evaluator: the q x q factorisation and the products with
// Z_i'X_i, in both passes.
inline std::uint64_t blocks_group_cost(std::uint64_t p, std::uint64_t q) {
  return 2 * q * p * p + (q * (q + 1) / 2 + 3 * q * q) * (p + q) + 8;
}

// Per class of the "aggregated" evaluator: the factorisation and the weighted sums of
// the class's cross products, for the criterion and each theta entry.
inline std::uint64_t class_cost(std::uint64_t p, std::uint64_t q) {
  const std::uint64_t tq = q * (q + 1) / 2;
  return q * q * (((p + 1) * (p + 2) / 2 + 2) * (tq + 1) + 4 * q) + 8;
}

// Per group of the "streaming" evaluator.
inline std::uint64_t streaming_group_cost(std::uint64_t p, std::uint64_t q) {
  const std::uint64_t tq = q * (q + 1) / 2;
  return ((p + 3) * q * q + q * (p + 1) * (p + 2) / 2) * (tq + 1) + 4 * q * q * q + 8;
}

// The most classes for which "auto" takes the aggregated evaluator: classes pay off
// while their work, counted twice for the margin forming them takes, stays below
// that of the m groups under "blocks". A divisor that wraps to zero gives no budget.
inline std::uint64_t class_limit(std::uint64_t m, std::uint64_t p, std::uint64_t q) {
  const std::uint64_t d = 2 * class_cost(p, q);
  if (d == 0) return 0;
  return (m * blocks_group_cost(p, q)) / d;
}

}  // namespace qk
