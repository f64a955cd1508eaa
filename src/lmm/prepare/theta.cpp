// The layout of theta: the free entries of Lambda column by column, its bounds,
// default and sign groups.
#include "lmm/prepare/theta.hpp"

#include <cmath>
#include <limits>

namespace qk {

ThetaIndex theta_index(std::uint64_t q) { return theta_index(q, {q}); }

ThetaIndex theta_index(std::uint64_t q, const std::vector<std::uint64_t>& blocks) {
  ThetaIndex idx;
  std::uint64_t start = 0;
  for (std::uint64_t size : blocks) {
    for (std::uint64_t c = start; c < start + size && c < q; ++c)
      for (std::uint64_t r = c; r < start + size && r < q; ++r) idx.emplace_back(r, c);
    start += size;
  }
  return idx;
}

std::optional<std::string> blocks_error(const std::vector<std::uint64_t>& blocks, std::uint64_t q) {
  std::uint64_t sum = 0;
  bool positive = !blocks.empty();
  for (std::uint64_t b : blocks) {
    positive = positive && b > 0;
    if (__builtin_add_overflow(sum, b, &sum)) positive = false;
  }
  if (positive && sum == q) return std::nullopt;
  std::string shown;
  for (std::uint64_t b : blocks) shown += (shown.empty() ? "" : ", ") + std::to_string(b);
  return "blocks must be positive sizes summing to q = " + std::to_string(q) + ", got [" + shown + "]";
}

std::vector<double> theta_to_lambda(const std::vector<double>& theta, const ThetaIndex& idx,
                                    std::uint64_t q) {
  std::vector<double> lambda(q * q, 0.0);
  for (std::size_t k = 0; k < idx.size(); ++k) lambda[idx[k].first * q + idx[k].second] = theta[k];
  return lambda;
}

std::vector<double> theta_to_lambda(const std::vector<double>& theta, std::uint64_t q) {
  return theta_to_lambda(theta, theta_index(q), q);
}

std::vector<double> lower_bounds(const ThetaIndex& idx) {
  std::vector<double> out;
  for (auto [r, c] : idx) out.push_back(r == c ? 0.0 : -std::numeric_limits<double>::infinity());
  return out;
}

std::vector<SignGroup> sign_groups(const ThetaIndex& idx) {
  std::vector<SignGroup> groups;
  for (std::size_t k = 0; k < idx.size(); ++k) {
    auto [r, c] = idx[k];
    if (r == c) groups.push_back({k, {}});
  }
  // Entries of a column follow its diagonal entry (the layout is column by column).
  for (std::size_t k = 0, g = 0; k < idx.size(); ++k) {
    if (idx[k].first == idx[k].second && k != groups[g].diagonal) ++g;
    groups[g].members.push_back(k);
  }
  return groups;
}

std::vector<SignGroup> sign_groups(std::uint64_t q) { return sign_groups(theta_index(q)); }

std::vector<double> default_theta(const ThetaIndex& idx) {
  std::vector<double> out;
  for (auto [r, c] : idx) out.push_back(r == c ? 1.0 : 0.0);
  return out;
}

std::vector<double> default_theta(std::uint64_t q) { return default_theta(theta_index(q)); }

std::optional<std::string> theta_error(const std::vector<double>& theta, const ThetaIndex& idx,
                                       std::uint64_t q) {
  if (theta.size() != idx.size())
    return "theta must have " + std::to_string(idx.size()) + " entries for q = " + std::to_string(q) +
           ", got " + std::to_string(theta.size());
  for (std::size_t k = 0; k < theta.size(); ++k)
    if (!std::isfinite(theta[k])) return "theta[" + std::to_string(k) + "] is not finite";
  return std::nullopt;
}

}  // namespace qk
