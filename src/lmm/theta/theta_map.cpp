#include "lmm/theta/theta_map.hpp"

namespace qk {

ThetaMap ThetaMap::identity(std::size_t n) {
  ThetaMap m;
  m.n_ = n;
  return m;
}

std::variant<ThetaMap, std::string> ThetaMap::permutation(std::vector<std::size_t> param_of_entry) {
  const std::size_t n = param_of_entry.size();
  std::vector<std::size_t> inverse(n, n);
  bool moves = false;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = param_of_entry[k];
    if (i >= n || inverse[i] != n)
      return "the layout of theta is not a permutation of 0.." + std::to_string(n - 1) + ": index " +
             std::to_string(i) + (i >= n ? " is out of range" : " appears twice");
    inverse[i] = k;
    moves = moves || i != k;
  }
  ThetaMap m = identity(n);
  if (moves) {
    m.param_of_entry_ = std::move(param_of_entry);
    m.entry_of_param_ = std::move(inverse);
  }
  return m;
}

const std::vector<double>& ThetaMap::entries(const std::vector<double>& theta, std::vector<double>& scratch) const {
  if (is_identity()) return theta;
  scratch.resize(n_);
  for (std::size_t k = 0; k < n_; ++k) scratch[k] = theta[param_of_entry_[k]];
  return scratch;
}

std::vector<double> ThetaMap::entries(const std::vector<double>& theta) const {
  std::vector<double> out;
  if (is_identity()) return theta;
  entries(theta, out);
  return out;
}

std::vector<double> ThetaMap::jacobian(const std::vector<double>&) const {
  std::vector<double> j(n_ * n_, 0.0);
  for (std::size_t k = 0; k < n_; ++k) j[k * n_ + (is_identity() ? k : param_of_entry_[k])] = 1.0;
  return j;
}

void ThetaMap::pull_back(const std::vector<double>&, std::vector<double>& grad) const {
  // J' g for a relabelling: (J' g)_i = g_k with param_of_entry[k] = i, a gather.
  if (is_identity()) return;
  const std::vector<double> g(grad.begin(), grad.begin() + static_cast<std::ptrdiff_t>(n_));
  for (std::size_t i = 0; i < n_; ++i) grad[i] = g[entry_of_param_[i]];
}

std::vector<double> ThetaMap::params(const std::vector<double>& entries) const {
  if (is_identity()) return entries;
  std::vector<double> out(n_);
  for (std::size_t i = 0; i < n_; ++i) out[i] = entries[entry_of_param_[i]];
  return out;
}

namespace {

// out[r, c] = a[at(r), at(c)] over a square of side at.size() + the trailing
// coordinates, which stay in place.
std::vector<double> gather_square(const std::vector<double>& a, const std::vector<std::size_t>& at) {
  std::size_t n = at.size();
  while (n * n < a.size()) ++n;
  auto from = [&](std::size_t i) { return i < at.size() ? at[i] : i; };
  std::vector<double> out(n * n);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < n; ++c) out[r * n + c] = a[from(r) * n + from(c)];
  return out;
}

}  // namespace

std::vector<double> ThetaMap::square_to_entries(const std::vector<double>& over_params) const {
  return is_identity() ? over_params : gather_square(over_params, param_of_entry_);
}

std::vector<double> ThetaMap::square_to_params(const std::vector<double>& over_entries) const {
  return is_identity() ? over_entries : gather_square(over_entries, entry_of_param_);
}

std::variant<TermLayout, std::string> term_layout(const std::vector<std::vector<std::uint64_t>>& blocks,
                                                  const std::vector<std::pair<std::size_t, std::size_t>>& order) {
  // Where each term's entries start among the core's entries (factor by factor).
  std::vector<std::vector<std::size_t>> core_start(blocks.size());
  std::size_t n = 0, n_terms = 0;
  for (std::size_t k = 0; k < blocks.size(); ++k)
    for (std::uint64_t s : blocks[k]) {
      core_start[k].push_back(n);
      n += static_cast<std::size_t>(s * (s + 1) / 2);
      ++n_terms;
    }
  if (order.size() != n_terms)
    return "term_order must list each of the " + std::to_string(n_terms) + " terms once, got " +
           std::to_string(order.size()) + " pairs";
  TermLayout out{ThetaMap::identity(n), order, {}};
  std::vector<std::size_t> param_of_entry(n, n);
  std::size_t at = 0;  // where the term starts in lme4's theta
  for (auto [k, t] : order) {
    if (k >= blocks.size() || t >= blocks[k].size())
      return "term_order names the term (" + std::to_string(k) + ", " + std::to_string(t) + "), which the factors lack";
    const std::uint64_t s = blocks[k][t];
    const std::size_t size = static_cast<std::size_t>(s * (s + 1) / 2), start = core_start[k][t];
    if (param_of_entry[start] != n)
      return "term_order lists the term (" + std::to_string(k) + ", " + std::to_string(t) + ") twice";
    for (std::size_t e = 0; e < size; ++e) param_of_entry[start + e] = at + e;
    at += size;
    out.term_sizes.push_back(s);
  }
  auto map = ThetaMap::permutation(std::move(param_of_entry));
  if (auto* err = std::get_if<std::string>(&map)) return *err;
  out.map = std::get<ThetaMap>(std::move(map));
  return out;
}

std::vector<std::pair<std::size_t, std::size_t>> factor_by_factor(const std::vector<std::vector<std::uint64_t>>& blocks) {
  std::vector<std::pair<std::size_t, std::size_t>> order;
  for (std::size_t k = 0; k < blocks.size(); ++k)
    for (std::size_t t = 0; t < blocks[k].size(); ++t) order.emplace_back(k, t);
  return order;
}

}  // namespace qk
