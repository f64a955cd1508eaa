// The crossed design: products, layout and the layout of theta, and the fit.
#include <cmath>
#include <limits>

#include "lmm/crossed/crossed.hpp"
#include "lmm/crossed/factor.hpp"
#include "pool/pool.hpp"

namespace qk::crossed {

std::variant<std::unique_ptr<Design>, std::string> make_design(Products pr,
                                                               std::vector<std::vector<std::uint64_t>> blocks) {
  const std::size_t k = pr.m.size();
  if (k == 0) return std::string("at least one grouping factor is needed");
  if (blocks.size() != k) return std::string("one list of blocks per factor is needed");
  auto d = std::make_unique<Design>();
  d->theta_offset.push_back(0);
  for (std::size_t j = 0; j < k; ++j) {
    if (auto err = blocks_error(blocks[j], pr.q[j])) return "factor " + std::to_string(j) + ": " + *err;
    d->tidx.push_back(theta_index(pr.q[j], blocks[j]));
    d->theta_offset.push_back(d->theta_offset.back() + d->tidx.back().size());
  }
  d->blocks = std::move(blocks);
  d->layout = layout_of(pr);
  d->shell.n = pr.n;
  d->shell.p = pr.p;
  d->shell.weighted = pr.weighted;
  d->shell.log_weights = pr.log_weights;
  d->pr = std::move(pr);
  return d;
}

std::vector<double> lambda_of(const Design& d, const std::vector<double>& theta, std::size_t j) {
  const auto first = theta.begin() + static_cast<std::ptrdiff_t>(d.theta_offset[j]);
  const std::vector<double> part(first, first + static_cast<std::ptrdiff_t>(d.tidx[j].size()));
  return theta_to_lambda(part, d.tidx[j], d.pr.q[j]);
}

std::vector<double> default_theta(const Design& d) {
  std::vector<double> out;
  for (const ThetaIndex& idx : d.tidx)
    for (double v : qk::default_theta(idx)) out.push_back(v);
  return out;
}

std::vector<double> lower_bounds(const Design& d) {
  std::vector<double> out;
  for (const ThetaIndex& idx : d.tidx)
    for (double v : qk::lower_bounds(idx)) out.push_back(v);
  return out;
}

std::vector<SignGroup> sign_groups(const Design& d) {
  std::vector<SignGroup> out;
  for (std::size_t j = 0; j < d.tidx.size(); ++j)
    for (SignGroup g : qk::sign_groups(d.tidx[j])) {
      g.diagonal += d.theta_offset[j];
      for (std::size_t& m : g.members) m += d.theta_offset[j];
      out.push_back(std::move(g));
    }
  return out;
}

OptimResult fit(const Design& d, const std::vector<double>& starts, bool reml, const MinimizeOptions& opt) {
  // The gradient costs about twice the factorisation, so trial points of the line
  // search are factored alone; the factor of the last one is kept, and the gradient,
  // when asked for at that point, starts from it.
  std::optional<Factor> last;
  std::vector<double> last_at;
  const Objective objective = [&](const std::vector<double>& x, double& f, std::vector<double>& g) {
    std::optional<Solution> s;
    if (last && last_at == x) {
      s = solution_of(d, *last, reml, kModeGradient);
    } else {
      last.reset();
      s = evaluate(d, x, reml, kModeGradient);
    }
    if (!s) return false;
    f = s->ev.deviance;
    g = s->ev.gradient;
    return true;
  };
  MinimizeOptions o = opt;
  o.value = [&](const std::vector<double>& x, double& f) {
    check_interrupt();
    last.reset();  // one factor held at a time
    last = factorize(d, x, reml);
    last_at = x;
    if (!last) return false;
    f = evaluation_from(last->prof, last->ldl2, reml).deviance;
    return true;
  };
  if (o.scale.empty()) {
    // The information about a factor's covariance, and with it the curvature of the
    // criterion in that factor's theta, grows with the factor's number of levels m_j.
    // Searching in theta / sqrt(m_min / m_j) gives the coordinates comparable curvature,
    // so that a factor of few levels is not moved in the steps sized for one of
    // thousands (Dennis & Schnabel, sec. 7.1).
    std::uint64_t fewest = 0;
    for (std::uint64_t m : d.pr.m) fewest = fewest == 0 || m < fewest ? m : fewest;
    for (std::size_t j = 0; j < d.tidx.size(); ++j) {
      const double s = std::sqrt(static_cast<double>(fewest) / static_cast<double>(d.pr.m[j]));
      o.scale.insert(o.scale.end(), d.theta_offset[j + 1] - d.theta_offset[j], s);
    }
  }
  return minimize_from_starts(objective, starts, d.theta_offset.back(), sign_groups(d), o);
}

}  // namespace qk::crossed
