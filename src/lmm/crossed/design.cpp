// The crossed design: products, layout and the layout of theta, and the fit.
#include <cmath>
#include <limits>
#include <utility>

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

OptimResult fit(const Design& d, const std::vector<double>& starts, bool reml, const MinimizeOptions& opt,
                std::optional<Solution>* solution, bool cond_var) {
  // The gradient costs about twice the factorisation, so trial points of the line
  // search are factored alone; the factor of the last point is kept, and the gradient
  // (or the final solution) at that point starts from it.
  std::optional<Factor> last;
  std::vector<double> last_at;
  Scratch scratch = take_scratch();
  std::vector<std::pair<std::vector<double>, std::vector<double>>> seen;  // (theta, gradient) evaluated
  const auto factor_at = [&](const std::vector<double>& x) {
    if (last && last_at == x) return true;
    check_interrupt();
    if (last) recycle(*last, scratch);
    last.reset();  // one factor held at a time
    last = factorize(d, x, reml, &scratch);
    last_at = x;
    return last.has_value();
  };
  const Objective objective = [&](const std::vector<double>& x, double& f, std::vector<double>& g) {
    if (!factor_at(x)) return false;
    const Solution s = solution_of(d, *last, reml, kModeGradient, true, nullptr, &scratch);
    f = s.ev.deviance;
    g = s.ev.gradient;
    seen.emplace_back(x, g);
    return true;
  };
  MinimizeOptions o = opt;
  o.value = [&](const std::vector<double>& x, double& f) {
    if (!factor_at(x)) return false;
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
  const std::vector<SignGroup> groups = sign_groups(d);
  OptimResult r = minimize_from_starts(objective, starts, d.theta_offset.back(), groups, o);
  if (solution) {
    // The returned theta is an evaluated point with its sign groups normalised, which
    // negates the gradient entries of the groups it flips; the last factor is reused
    // only when it is of that very theta.
    std::vector<double> gradient;
    for (auto it = seen.rbegin(); it != seen.rend() && gradient.empty(); ++it) {
      std::vector<double> x = it->first, g = it->second;
      for (const SignGroup& grp : groups)
        if (x[grp.diagonal] < 0.0)
          for (std::size_t j : grp.members) {
            x[j] = -x[j];
            g[j] = -g[j];
          }
      if (x == r.theta) gradient = std::move(g);
    }
    const std::vector<double>* known = gradient.empty() ? nullptr : &gradient;
    if (last && last_at == r.theta) *solution = solution_of(d, *last, reml, kModeSolution, cond_var, known);
    else *solution = evaluate(d, r.theta, reml, kModeSolution, cond_var, known);
  }
  if (last) recycle(*last, scratch);
  keep_scratch(std::move(scratch));
  return r;
}

Start start_of(const Design& d, bool reml) {
  // Each factor's theta from the model with that factor alone, whose products are the
  // factor's own blocks and the shared X and y parts: cheap (no cross blocks, one
  // block-diagonal factor) and, for crossed factors, close to the joint optimum, where
  // the identity start can be far from it. A diagonal entry near zero is lifted: at zero the
  // criterion is even in it and its gradient vanishes. Each run's quasi-Newton model
  // of its inverse Hessian becomes that factor's diagonal block of the joint run's
  // initial model: the curvature of a factor's own parameters changes little when the
  // other factors join, and a first step of the right length saves the line search's
  // trials.
  constexpr double kLeast = 0.1;
  const Products& pr = d.pr;
  const std::size_t nth = d.theta_offset.back();
  Start out;
  out.inverse_hessian.assign(nth * nth, 0.0);
  bool models = true;
  // The factors' runs are independent: they run as tasks on the pool, and each writes
  // its own entry of `runs` (theta, then the run).
  const std::size_t k = pr.m.size();
  std::vector<std::pair<std::vector<double>, OptimResult>> runs(k);
  std::vector<std::vector<SignGroup>> groups(k);
  run_tasks(k, true, [&](std::size_t j) {
    Products one;
    copy_fixed_sums(one, pr);
    one.m = {pr.m[j]};
    one.q = {pr.q[j]};
    one.ztz = {pr.ztz[j]};
    one.ztx = {pr.ztx[j]};
    one.zty = {pr.zty[j]};
    auto made = make_design(std::move(one), {d.blocks[j]});
    const Design& dj = *std::get<std::unique_ptr<Design>>(made);  // the blocks were checked for d
    runs[j].first = default_theta(dj);
    runs[j].second = fit(dj, runs[j].first, reml, MinimizeOptions{});
    groups[j] = sign_groups(dj);
  });
  for (std::size_t j = 0; j < k; ++j) {
    std::vector<double> theta = runs[j].first;
    const OptimResult& r = runs[j].second;
    if (r.converged || std::isfinite(r.deviance)) theta = r.theta;
    for (const SignGroup& g : groups[j])
      if (!(std::fabs(theta[g.diagonal]) >= kLeast)) theta[g.diagonal] = kLeast;
    out.theta.insert(out.theta.end(), theta.begin(), theta.end());
    const std::size_t nj = theta.size(), at = d.theta_offset[j];
    if (!r.converged || r.inverse_hessian.size() != nj * nj) models = false;
    else
      for (std::size_t a = 0; a < nj; ++a)
        for (std::size_t b = 0; b < nj; ++b) out.inverse_hessian[(at + a) * nth + at + b] = r.inverse_hessian[a * nj + b];
  }
  if (!models) out.inverse_hessian.clear();
  // Nested factors share their variance differently: each alone can start further off
  // than the identity, and the start with the lower criterion is taken. Crossed
  // factors keep theirs without the two evaluations that comparison costs.
  bool nested = false;
  for (std::size_t i = 0; i < pr.m.size() && !nested; ++i)
    for (std::size_t j = i + 1; j < pr.m.size() && !nested; ++j) nested = nested_in(pr, i, j);
  if (!nested) return out;
  const std::vector<double> identity = default_theta(d);
  const std::optional<Solution> a = evaluate(d, out.theta, reml, kModeDeviance);
  const std::optional<Solution> b = evaluate(d, identity, reml, kModeDeviance);
  if (a && (!b || a->ev.deviance < b->ev.deviance)) return out;
  return {identity, {}};
}

std::vector<double> start_theta(const Design& d, bool reml) { return start_of(d, reml).theta; }

}  // namespace qk::crossed
