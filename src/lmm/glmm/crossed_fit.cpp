// The fit of a crossed GLMM: a start by penalised quasi-likelihood, then the two-stage
// fit shared with one grouping factor.
#include <cmath>
#include <optional>
#include <algorithm>
#include <stdexcept>

#include "lmm/glmm/crossed_detail.hpp"
#include "lmm/glmm/group.hpp"
#include "lmm/glmm/stages.hpp"

namespace qk::glmm {
namespace {

using namespace crossed_detail;

// A start for theta by penalised quasi-likelihood (Breslow & Clayton, JASA 88, 1993):
// the linear mixed model of the working response at the modes of (theta0, beta), with
// the Fisher weights, fitted by the crossed LMM core; its random effects' covariance
// sigma^2 Lambda Lambda' gives theta = sigma theta_LMM (a GLMM's scale is 1). Empty
// where the modes or the fit fail. `warm`, when given, holds the modes at (theta0,
// beta) already (the joint PIRLS's there, whose u-equations are theirs); h0 receives the linear model's
// inverse Hessian over its theta at its estimate, times sigma^2 (the GLMM's units).
std::vector<double> pql_start(const CrossedModel& model, const std::vector<double>& theta0,
                              const std::vector<double>& beta, std::vector<double>& h0,
                              const std::vector<std::vector<double>>* warm) {
  std::vector<double> zp;
  const Family fam = family_at(model, beta.data(), zp);
  std::vector<double> b(beta.begin(), beta.begin() + static_cast<std::ptrdiff_t>(model.p)), eta;
  std::vector<std::vector<double>> u;
  if (warm) u = *warm;
  Solve last;
  if (!pirls(model, fam, theta0, b, false, false, u, eta, last, false, warm != nullptr)) return {};
  const std::uint64_t n = model.n;
  std::vector<double> wt(n), zr(n);
  each_row(n, kRowStateCost, [&](std::uint64_t r) {
    const detail::RowState s = state_at(model, fam, eta[r], r);
    wt[r] = model.w[r] == 0.0 ? kTinyWeight : s.scoring;
    zr[r] = (eta[r] - model.offset[r]) + (model.w[r] == 0.0 ? 0.0 : (model.y[r] - s.mu) / mu_eta(fam, eta[r]));
  });
  return pql_theta(*system_of(model, wt, zr, true), theta0, h0);
}

}  // namespace

namespace crossed_detail {

std::vector<double> pql_theta(const cr::Design& d, const std::vector<double>& theta0, std::vector<double>& h0) {
  const OptimResult r = cr::fit(d, theta0, false, MinimizeOptions{});
  if (!std::isfinite(r.deviance)) return {};
  const std::optional<cr::Solution> sol = cr::evaluate(d, r.theta, false, kModeDeviance);
  if (!sol || !(sol->ev.sigma2 > 0.0)) return {};
  std::vector<double> out = r.theta;
  const double sigma = std::sqrt(sol->ev.sigma2);
  for (double& t : out) t = t * sigma;
  // The linear model's inverse Hessian over its theta, in the GLMM's units.
  if (r.inverse_hessian.size() == out.size() * out.size()) {
    h0 = r.inverse_hessian;
    for (double& h : h0) h = h * sol->ev.sigma2;
  }
  return out;
}

// u <- Lambda(to)^-1 Lambda(from) u per level of each factor (spherical modes at `from`
// as those at `to` of the same effects); a factor whose Lambda at `to` is singular
// keeps its u. Factor j has m[j] levels, q[j] effects, theta's entries idx[j] from
// theta_offset[j].
void rescale_modes(const std::vector<std::uint64_t>& m, const std::vector<std::uint64_t>& qs,
                   const std::vector<ThetaIndex>& idx, const std::vector<std::size_t>& theta_offset,
                   const std::vector<double>& from, const std::vector<double>& to, std::vector<std::vector<double>>& u) {
  if (u.size() != m.size()) return;
  const auto part = [&](const std::vector<double>& theta, std::size_t j) {
    return std::vector<double>(theta.begin() + static_cast<std::ptrdiff_t>(theta_offset[j]),
                               theta.begin() + static_cast<std::ptrdiff_t>(theta_offset[j + 1]));
  };
  for (std::size_t j = 0; j < m.size(); ++j) {
    const std::uint64_t q = qs[j];
    const std::vector<double> lf = theta_to_lambda(part(from, j), idx[j], q), lt = theta_to_lambda(part(to, j), idx[j], q);
    bool regular = u[j].size() == m[j] * q;
    for (std::uint64_t a = 0; a < q && regular; ++a) regular = lt[a * q + a] != 0.0;
    if (!regular) continue;
    std::vector<double> b(q);
    for (std::uint64_t l = 0; l < m[j]; ++l) {
      double* ul = u[j].data() + l * q;
      for (std::uint64_t a = 0; a < q; ++a) {
        double s = 0.0;
        for (std::uint64_t c = 0; c <= a; ++c) s = s + lf[a * q + c] * ul[c];
        b[a] = s;
      }
      for (std::uint64_t a = 0; a < q; ++a) {
        double s = b[a];
        for (std::uint64_t c = 0; c < a; ++c) s = s - lt[a * q + c] * ul[c];
        ul[a] = s / lt[a * q + a];
      }
    }
  }
}

void put_modes(const std::vector<std::vector<double>>& lambdas, const std::vector<std::uint64_t>& m,
               const std::vector<std::uint64_t>& q, std::uint64_t p, const CrossedModes& modes, FitResult& res) {
  res.u.clear();
  res.b.clear();
  res.cond_var.clear();
  for (std::size_t j = 0; j < m.size(); ++j) {
    const std::uint64_t qj = q[j];
    res.u.insert(res.u.end(), modes.u[j].begin(), modes.u[j].end());
    for (std::uint64_t l = 0; l < m[j]; ++l)
      for (std::uint64_t a = 0; a < qj; ++a) {
        double b = 0.0;
        for (std::uint64_t c2 = 0; c2 <= a; ++c2) b = b + lambdas[j][a * qj + c2] * modes.u[j][l * qj + c2];
        res.b.push_back(b);
      }
    res.cond_var.insert(res.cond_var.end(), modes.cond_var[j].begin(), modes.cond_var[j].end());
  }
  if (modes.with_rx) res.vcov_rx = modes.rx_inv;
  keep_fixed_block(res, p);
  if (!res.vcov_from_hessian) res.vcov = res.vcov_rx;
}

JointCriteria::JointCriteria(std::vector<std::uint64_t> m, std::vector<std::uint64_t> q, std::vector<ThetaIndex> idx,
                             std::vector<std::size_t> theta_offset, std::uint64_t p, std::uint64_t nd, Joint joint,
                             JointGradient joint_gradient)
    : m_(std::move(m)), q_(std::move(q)), idx_(std::move(idx)), theta_offset_(std::move(theta_offset)), p_(p),
      nd_(nd), joint_(std::move(joint)), joint_gradient_(std::move(joint_gradient)) {}

// One joint PIRLS at theta from b0 (the last point's beta and modes, once there is
// one), with the criterion's exact gradient when g is given.
bool JointCriteria::at(const std::vector<double>& th, const double* b0, double& f, double* b, double* rx,
                       std::vector<double>* g) {
  const std::size_t pe = p_ + nd_;
  std::vector<double> start(b0, b0 + pe);
  if (beta_last_.size() == pe) {
    std::copy(beta_last_.begin(), beta_last_.begin() + static_cast<std::ptrdiff_t>(p_), start.begin());
    rescale_modes(m_, q_, idx_, theta_offset_, theta_last_, th, warm0);
  } else {
    warm0.clear();
  }
  std::vector<double> rxp(nd_ == 0 || !rx ? 0 : p_ * p_);
  double* rx_at = nd_ == 0 || !rx ? rx : rxp.data();
  const bool ok = g ? joint_gradient_(th, start.data(), f, b, g->data(), warm0, rx_at)
                    : joint_(th, start.data(), f, b, rx_at, warm0);
  if (ok && rx && nd_ > 0) embed_rx(rxp, p_, nd_, rx);
  if (ok) {
    beta_last_.assign(b, b + pe);
    theta_last_ = th;
  }
  return ok;
}

bool JointCriteria::kept_at(const std::vector<double>& th, const double* b0) const {
  return kept_ && kept_->theta == th && std::equal(kept_->extra.begin(), kept_->extra.end(), b0 + p_);
}

bool JointCriteria::keep(const std::vector<double>& th, const double* b0) {
  if (kept_at(th, b0)) return true;
  const std::size_t pe = p_ + nd_, nt = theta_offset_.back();
  Point jp;
  jp.beta.resize(pe);
  jp.rx.resize(pe * pe);
  jp.grad.resize(nt + nd_);
  if (!at(th, b0, jp.f, jp.beta.data(), jp.rx.data(), &jp.grad)) {
    kept_.reset();
    failed_ = jp.beta;
    return false;
  }
  jp.theta = th;
  jp.extra.assign(b0 + p_, b0 + pe);
  kept_ = std::move(jp);
  return true;
}

void JointCriteria::install(Criteria& c, int nagq) {
  c.joint_gradient = [this](const std::vector<double>& th, const double* b0, double& f, std::vector<double>& g) {
      if (!keep(th, b0)) return false;
      f = kept_->f;
      g = kept_->grad;
      return true;
    };
  c.joint = [this, nagq](const std::vector<double>& th, const double* b0, double& f, double* b, double* rx) {
    // The first, at theta0, is the PQL start's, which moves theta: no gradient there;
    // a Laplace fit's are its start's only.
    if (nagq != 0 || beta_last_.empty()) return at(th, b0, f, b, rx, nullptr);
    if (!keep(th, b0)) {
      std::copy(failed_.begin(), failed_.end(), b);
      return false;
    }
    f = kept_->f;
    std::copy(kept_->beta.begin(), kept_->beta.end(), b);
    if (rx) std::copy(kept_->rx.begin(), kept_->rx.end(), rx);
    return true;
  };
}

}  // namespace crossed_detail

FitResult crossed_fit(const CrossedModel& model, const FitOptions& options) {
  if (options.nagq > 1) throw std::invalid_argument("adaptive quadrature needs a single grouping factor");
  const SparesScope spares{model};  // the fit's solves pass their systems on; none outlives it
  const std::size_t nt = model.theta_offset.back(), nd = n_extra(model.family);
  Criteria c;
  c.n_theta = nt;
  c.p = model.p + nd;
  c.n_extra = nd;
  for (std::size_t j = 0; j < model.factors.size(); ++j) {
    const CrossedFactor& f = model.factors[j];
    for (SignGroup g : sign_groups(f.idx)) {
      g.diagonal += model.theta_offset[j];
      for (auto& i : g.members) i += model.theta_offset[j];
      c.groups.push_back(g);
    }
    const std::vector<double> d = default_theta(f.idx);
    c.theta0.insert(c.theta0.end(), d.begin(), d.end());
  }
  std::vector<std::uint64_t> levels, effects;
  std::vector<ThetaIndex> indices;
  for (const CrossedFactor& f : model.factors) {
    levels.push_back(f.m);
    effects.push_back(f.q);
    indices.push_back(f.idx);
  }
  JointCriteria jc(
      levels, effects, indices, model.theta_offset, model.p, nd,
      [&](const std::vector<double>& th, const double* b0, double& f, double* b, double* rx,
          JointCriteria::ModeSet& warm) { return crossed_joint(model, th, b0, f, b, rx, &warm); },
      [&](const std::vector<double>& th, const double* b0, double& f, double* b, double* g,
          JointCriteria::ModeSet& warm, double* rx) {
        return crossed_joint_gradient(model, th, b0, f, b, g, warm, rx);
      });
  jc.install(c, options.nagq);
  std::vector<std::vector<double>>& warm0 = jc.warm0;
  c.diagnose = [&](const std::vector<double>& b) {
    return separation_message(model.family, model.n, model.p, model.x.data(), model.offset.data(), model.y.data(), b);
  };
  // Within the fit each PIRLS starts from the modes of the point evaluated last: the
  // modes move little between the optimiser's points, and PIRLS converges to them to
  // rounding from either start, so this saves about half its steps.
  std::vector<std::vector<double>> warm;
  c.value = [&](const std::vector<double>& xv, double& f) {
    return crossed_evaluate(model, std::vector<double>(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(nt)),
                            xv.data() + nt, f, nullptr, nullptr, &warm);
  };
  c.gradient = [&](const std::vector<double>& xv, double& f, std::vector<double>& g) {
    return crossed_evaluate(model, std::vector<double>(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(nt)),
                            xv.data() + nt, f, nullptr, g.data(), &warm);
  };
  c.gradients = gradients_on_pool([&]() -> Objective {
    return [&model, nt, own = warm](const std::vector<double>& xv, double& f, std::vector<double>& g) mutable {
      return crossed_evaluate(model, std::vector<double>(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(nt)),
                              xv.data() + nt, f, nullptr, g.data(), &own);
    };
  });
  c.stage1 = options.nagq == 0;
  c.refine_start = [&](const std::vector<double>& th, const std::vector<double>& b, std::vector<double>& h0) {
    // The modes at (theta0, beta) start from the joint PIRLS's just found there.
    return pql_start(model, th, b, h0, &warm0);
  };
  std::vector<double> x, unit;
  FitResult res = two_stage(c, options, x, unit);
  CrossedModes modes;
  // nAGQ = 0's last joint PIRLS was at this point: its modes are these, and its rx
  // (res.vcov_rx) beta's covariance there.
  modes.with_rx = options.nagq != 0;
  double f;
  if (!crossed_evaluate(model, res.theta, res.beta.data(), f, &modes, nullptr, options.nagq == 0 ? &warm0 : nullptr,
                        options.nagq == 0))
    throw std::runtime_error("the conditional modes could not be found at the estimate");
  std::vector<std::vector<double>> lambdas;
  for (std::size_t j = 0; j < model.factors.size(); ++j)
    lambdas.push_back(theta_to_lambda(theta_part(model, res.theta, j), indices[j], effects[j]));
  put_modes(lambdas, levels, effects, model.p, modes, res);
  res.eta = modes.eta;
  res.mu.resize(model.n);
  for (std::uint64_t r = 0; r < model.n; ++r) res.mu[r] = linkinv(model.family, modes.eta[r]);
  return res;
}


}  // namespace qk::glmm
