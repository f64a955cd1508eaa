// The layout of theta: Lambda's lower triangle column by column, its bounds, default
// and sign groups.
#include "lmm/theta.hpp"

#include <cmath>
#include <limits>

namespace qk {

ThetaIndex theta_index(std::uint64_t q) {
  ThetaIndex idx;
  idx.reserve(n_theta_of(q));
  for (std::uint64_t c = 0; c < q; ++c)
    for (std::uint64_t r = c; r < q; ++r) idx.emplace_back(r, c);
  return idx;
}

std::vector<double> theta_to_lambda(const std::vector<double>& theta, std::uint64_t q) {
  std::vector<double> lambda(q * q, 0.0);
  std::size_t k = 0;
  for (std::uint64_t c = 0; c < q; ++c)
    for (std::uint64_t r = c; r < q; ++r) lambda[r * q + c] = theta[k++];
  return lambda;
}

std::vector<double> lower_bounds(std::uint64_t q) {
  std::vector<double> out;
  for (auto [r, c] : theta_index(q))
    out.push_back(r == c ? 0.0 : -std::numeric_limits<double>::infinity());
  return out;
}

std::vector<SignGroup> sign_groups(std::uint64_t q) {
  std::vector<SignGroup> groups(q);
  std::size_t k = 0;
  for (std::uint64_t c = 0; c < q; ++c) {
    groups[c].diagonal = k;
    for (std::uint64_t r = c; r < q; ++r) groups[c].members.push_back(k++);
  }
  return groups;
}

std::vector<double> default_theta(std::uint64_t q) {
  std::vector<double> out;
  for (auto [r, c] : theta_index(q)) out.push_back(r == c ? 1.0 : 0.0);
  return out;
}

std::optional<std::string> theta_error(const std::vector<double>& theta, std::uint64_t q) {
  std::uint64_t nt = n_theta_of(q);
  if (theta.size() != nt)
    return "theta must have " + std::to_string(nt) + " entries for q = " + std::to_string(q) +
           ", got " + std::to_string(theta.size());
  for (std::size_t k = 0; k < theta.size(); ++k)
    if (!std::isfinite(theta[k])) return "theta[" + std::to_string(k) + "] is not finite";
  return std::nullopt;
}

}  // namespace qk
