// The pass driver of the GLMM fit from batches (batch.hpp): each group's PIRLS advanced
// pass by pass by group_mode's rules, the criterion and its exact gradient from the
// sums at the modes (the joint PIRLS of nAGQ = 0 in batch_joint.cpp), and the fit by
// the in-memory fit's two stages.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "linalg/dense.hpp"
#include "lmm/glmm/batch.hpp"
#include "lmm/glmm/batch_board.hpp"
#include "lmm/glmm/batch_driver.hpp"
#include "lmm/glmm/group.hpp"
#include "lmm/glmm/stages.hpp"

namespace qk::glmm {
namespace {

using namespace detail;

// Where a group's PIRLS stands: the point of the next pass is its start (warm or 0),
// 0 (a far warm start compared with it), u after a whole step, a trial step, or its
// mode (for the factor and the Laplace term there).
enum class Phase : std::uint8_t { kStart, kZero, kWhole, kSearch, kFinal, kDone };

// Per group: the Newton direction at the pass's point from the sums there, as
// group_mode takes it (the observed curvature, or the scoring one where that is not
// positive definite); its largest coordinate in big. False when neither factors.
bool newton(const PassSums& s, std::uint64_t g, std::uint64_t q, std::vector<double>& l, double* delta,
            double& big) {
  const std::uint64_t qq = q * q;
  const auto factor = [&](const std::vector<double>& sum) {
    std::copy(sum.begin() + static_cast<std::ptrdiff_t>(g * qq), sum.begin() + static_cast<std::ptrdiff_t>((g + 1) * qq),
              l.begin());
    for (std::uint64_t i = 0; i < q; ++i) l[i * q + i] = l[i * q + i] + 1.0;
    return cholesky_in_place(l.data(), q);
  };
  if (!factor(s.mo) && !factor(s.ms)) return false;
  std::copy(s.d1.begin() + static_cast<std::ptrdiff_t>(g * q), s.d1.begin() + static_cast<std::ptrdiff_t>((g + 1) * q),
            delta);
  forward_solve(l.data(), q, delta, 1);
  backward_solve(l.data(), q, delta, 1);
  big = 0.0;
  for (std::uint64_t b = 0; b < q; ++b) big = std::max(big, std::fabs(delta[b]));
  return std::isfinite(big);
}

// A pass's input at (lambda, beta) and the modes u.
PassInput input_at(PassKind kind, const std::vector<double>& lambda, const double* beta, const double* u) {
  PassInput in;
  in.kind = kind;
  in.lambda = lambda.data();
  in.beta = beta;
  in.u = u;
  return in;
}

// A group's terms of the exact gradient over (theta, beta) at its mode (group_gradient's
// formula), from the sums of the pass there: lg the factor of M = A'WA + I, mo the
// observed curvature A'(-D2)A, tm the spread's moments and mg the gradient's
// (GradientMoments), u the mode. s = sum_r W'_r (a_r' M^-1 a_r) a_r, t = M_o^-1 s (M_o
// = mo + I, or M where that is not positive definite or the family's Laplace weights
// are its observed curvature already), and the rows' sums are the moments contracted
// with M^-1 and t. out receives n_theta + n_beta terms; scratch holds 2 q^2 + 2 q
// doubles (one call a group: no allocation of its own).
void gradient_terms(const BatchModel& model, const double* lg, const double* mo, const double* tm, const double* mg,
                    const double* u, double* out, double* scratch) {
  const std::uint64_t q = model.q, qq = q * q, p = model.p, nt = model.idx.size();
  double* mi = scratch;
  double* lo = mi + qq;
  double* tg = lo + qq;
  double* zw = tg + q;
  std::copy(mo, mo + qq, lo);
  cholesky_inverse(lg, q, mi);
  for (std::uint64_t i = 0; i < q; ++i) {
    double si = 0.0;
    for (std::uint64_t jk = 0; jk < qq; ++jk) si = si + mi[jk] * tm[i * qq + jk];
    tg[i] = si;
  }
  const double* fac = lg;
  if (!(canonical(model.family) || model.family.observed)) {
    for (std::uint64_t i = 0; i < q; ++i) lo[i * q + i] = lo[i * q + i] + 1.0;
    if (cholesky_in_place(lo, q)) fac = lo;
  }
  forward_solve(fac, q, tg, 1);
  backward_solve(fac, q, tg, 1);
  const GradientMoments gmo(model);
  // omega's sum against z (width q), x (width p) or 1 (a family parameter's):
  // sum_jk (M^-1)_jk at[jk * width + c] + sum_j t_j bt[j * width + c].
  const auto contract = [&](const double* at, const double* bt, std::uint64_t width, std::uint64_t c) {
    double v = 0.0;
    for (std::uint64_t jk = 0; jk < qq; ++jk) v = v + mi[jk] * at[jk * width + c];
    for (std::uint64_t j = 0; j < q; ++j) v = v + tg[j] * bt[j * width + c];
    return v;
  };
  const double* zd = mg + gmo.zd();
  for (std::uint64_t c = 0; c < q; ++c) zw[c] = contract(mg + gmo.wz(), mg + gmo.dz(), q, c) - 2.0 * zd[c];
  for (std::uint64_t c = 0; c < p; ++c) out[nt + c] = contract(mg + gmo.wx(), mg + gmo.dx(), p, c) - 2.0 * mg[gmo.d1x() + c];
  for (std::uint64_t e = 0; e < gmo.ne; ++e) {
    const double* me = mg + gmo.extra(e);
    out[nt + p + e] = me[0] + contract(me + 1, me + 1 + qq, 1, 0);
  }
  const double* gm = mg + gmo.gm();
  for (std::size_t e = 0; e < nt; ++e) {
    const std::uint64_t ra = model.idx[e].first, cb = model.idx[e].second;
    double mgv = 0.0;  // (M^-1 G)_{b a}
    for (std::uint64_t j = 0; j < q; ++j) mgv = mgv + mi[cb * q + j] * gm[j * q + ra];
    out[e] = (u[cb] * zw[ra] + tg[cb] * zd[ra]) + 2.0 * mgv;
  }
}

}  // namespace

namespace detail {

void Driver::check() {
  PassInput in;
  in.kind = PassKind::kCheck;
  pass(in);
  for (std::uint64_t g = 0; g < model_.m; ++g)
    if (sums_.count[g] == 0) throw std::invalid_argument("group " + std::to_string(g) + " has no rows");
  constant_ = -2.0 * sums_.constant;
  n_ = sums_.rows;
}

bool Driver::modes_at(const std::vector<double>& lambda, const double* beta, std::vector<double>* warm) {
  const std::uint64_t m = model_.m, q = model_.q, qq = q * q, nm = GradientMoments(model_).size();
  const std::uint64_t ng = model_.idx.size() + model_.p + n_extra(model_.family);
  reusable_ = false;
  const bool from_warm = warm && warm->size() == m * q;
  std::vector<double> u = from_warm ? *warm : std::vector<double>(m * q, 0.0);
  std::vector<double> probe = u, delta(m * q), h(m), big(m), step(m), term(m), lf(m * qq), l(qq),
      prev(m, INFINITY);  // prev: the group's last whole step (converged_after)
  // Each group's terms of the gradient, found at its mode's pass (no rows' sums kept).
  std::vector<double> terms(m * ng), scratch(2 * qq + 2 * q);
  std::vector<int> iter(m, 0), halvings(m, 0);
  std::vector<Phase> phase(m, Phase::kStart);
  std::vector<std::uint8_t> active(m, 1), check_start(m, from_warm ? 1 : 0);
  std::uint64_t remaining = m;
  const auto set_probe = [&](std::uint64_t g, double s) {
    for (std::uint64_t b = 0; b < q; ++b) probe[g * q + b] = u[g * q + b] + s * delta[g * q + b];
  };
  const auto at_zero = [&](std::uint64_t g) { std::fill(probe.begin() + g * q, probe.begin() + (g + 1) * q, 0.0); };
  // The step from u once its Newton direction is known (group_mode's loop body).
  const auto decide = [&](std::uint64_t g) {
    if (big[g] <= kNewtonZone) {
      for (std::uint64_t b = 0; b < q; ++b) u[g * q + b] = u[g * q + b] + delta[g * q + b];
      phase[g] = converged_after(big[g], prev[g]) ? Phase::kFinal : Phase::kWhole;
      prev[g] = big[g];
      active[g] = phase[g] == Phase::kFinal ? 2 : 1;  // the pass at the mode adds the moments
      std::copy(u.begin() + g * q, u.begin() + (g + 1) * q, probe.begin() + g * q);
      return;
    }
    phase[g] = Phase::kSearch;
    prev[g] = INFINITY;
    step[g] = 1.0;
    halvings[g] = 0;
    set_probe(g, 1.0);
  };
  // The pass's sums are at u: one more iteration.
  const auto at_u = [&](std::uint64_t g) {
    if (++iter[g] > kMaxIter || !newton(sums_, g, q, l, delta.data() + g * q, big[g])) return false;
    if (check_start[g]) {
      check_start[g] = 0;
      if (big[g] > kFarStart) {
        --iter[g];
        phase[g] = Phase::kZero;
        at_zero(g);
        return true;
      }
    }
    decide(g);
    return true;
  };
  const auto not_taken = [&](std::uint64_t g) {
    if (big[g] > kSearchEnd) return false;
    phase[g] = Phase::kFinal;
    active[g] = 2;
    std::copy(u.begin() + g * q, u.begin() + (g + 1) * q, probe.begin() + g * q);
    return true;
  };
  while (remaining > 0) {
    PassInput in = input_at(PassKind::kModes, lambda, beta, probe.data());
    in.active = active.data();
    pass(in);
    for (std::uint64_t g = 0; g < m; ++g) {
      if (!active[g]) continue;
      const double* pg = probe.data() + g * q;
      double uu = 0.0;
      for (std::uint64_t b = 0; b < q; ++b) uu = uu + pg[b] * pg[b];
      const double hp = -2.0 * sums_.ll[g] + uu;
      bool ok = true;
      switch (phase[g]) {
        case Phase::kStart:
          if (check_start[g] && !std::isfinite(hp)) {  // the warm start is infeasible: from 0
            check_start[g] = 0;
            std::fill(u.begin() + g * q, u.begin() + (g + 1) * q, 0.0);
            at_zero(g);
            break;
          }
          h[g] = hp;
          ok = std::isfinite(hp) && at_u(g);
          break;
        case Phase::kZero:
          if (hp < h[g]) {
            std::fill(u.begin() + g * q, u.begin() + (g + 1) * q, 0.0);
            h[g] = hp;
            ok = at_u(g);
          } else {
            decide(g);  // the direction found at the warm start stands
          }
          break;
        case Phase::kWhole:
          h[g] = hp;
          ok = at_u(g);
          break;
        case Phase::kSearch:
          if (hp <= h[g]) {
            h[g] = hp;
            std::copy(pg, pg + q, u.begin() + g * q);
            ok = at_u(g);
          } else if (big[g] * step[g] <= kStepTol || ++halvings[g] >= kMaxHalvings) {
            ok = not_taken(g);
          } else {
            step[g] *= 0.5;
            set_probe(g, step[g]);
          }
          break;
        case Phase::kFinal: {
          // laplace_factor and group_laplace at the mode.
          double* lg = lf.data() + g * qq;
          std::copy(sums_.mf.begin() + g * qq, sums_.mf.begin() + (g + 1) * qq, lg);
          for (std::uint64_t i = 0; i < q; ++i) lg[i * q + i] = lg[i * q + i] + 1.0;
          ok = cholesky_in_place(lg, q);
          term[g] = hp + log_det(lg, q);
          if (ok)
            gradient_terms(model_, lg, sums_.mo.data() + g * qq, sums_.tm.data() + g * qq * q,
                           sums_.gmom.data() + g * nm, u.data() + g * q, terms.data() + g * ng, scratch.data());
          phase[g] = Phase::kDone;
          active[g] = 0;
          --remaining;
          break;
        }
        case Phase::kDone:
          break;
      }
      if (!ok) return false;
    }
  }
  double total = constant_;
  for (std::uint64_t g = 0; g < m; ++g) total = total + term[g];
  if (!std::isfinite(total)) return false;
  if (from_warm) *warm = u;
  u_.swap(u);
  lf_.swap(lf);
  // The gradient: the groups' terms added in group order.
  grad_.assign(ng, 0.0);
  for (std::uint64_t g = 0; g < m; ++g)
    for (std::uint64_t e = 0; e < ng; ++e) grad_[e] = grad_[e] + terms[g * ng + e];
  value_ = total;
  if (from_warm) {
    at_lambda_ = lambda;
    at_beta_.assign(beta, beta + model_.p + n_extra(model_.family));
    reusable_ = true;
  }
  return true;
}

bool Driver::evaluate(const std::vector<double>& lambda, const double* beta, double& value, double* grad,
                      std::vector<double>* warm, std::vector<double>* u_out, std::vector<double>* l_out) {
  const std::uint64_t pe = model_.p + n_extra(model_.family);
  const bool again = grad && warm && reusable_ && lambda == at_lambda_ && std::equal(beta, beta + pe, at_beta_.begin());
  if (!again && !modes_at(lambda, beta, warm)) return false;
  value = value_;
  if (u_out) *u_out = u_;
  if (l_out) *l_out = lf_;
  if (grad) std::copy(grad_.begin(), grad_.end(), grad);
  return true;
}

}  // namespace detail

FitResult fit_batches(PassRunner& runner, const BatchModel& model, const FitOptions& options,
                      std::uint64_t& passes) {
  const std::size_t nt = model.idx.size(), p = model.p, q = model.q, m = model.m, nd = n_extra(model.family);
  const int nagq = options.nagq;
  if (nagq > 1 && q != 1)
    throw std::invalid_argument("the quadrature (nagq > 1) from batches takes one scalar random effect (q = 1)");
  Driver d(runner, model);
  d.check();
  const auto lambda_at = [&](const std::vector<double>& x) {
    return theta_to_lambda(std::vector<double>(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(nt)), model.idx, q);
  };
  Criteria c;
  c.n_theta = nt;
  c.p = p + nd;
  c.n_extra = nd;
  c.groups = sign_groups(model.idx);
  c.theta0 = default_theta(model.idx);
  // Within the fit each PIRLS starts from the modes of the point evaluated last.
  std::vector<double> warm(m * q, 0.0);
  // fit()'s chain under nAGQ = 0: each joint PIRLS after the first from the last one's
  // beta and modes.
  const bool chain = nagq == 0;
  std::vector<double> warm0, beta_last;
  const auto start_of = [&](const double* b0) {
    std::vector<double> s(b0, b0 + p + nd);
    if (chain && beta_last.size() == p + nd)
      std::copy(beta_last.begin(), beta_last.begin() + static_cast<std::ptrdiff_t>(p), s.begin());
    return s;
  };
  c.joint = [&](const std::vector<double>& th, const double* b0, double& f, double* b, double* rx) {
    const std::vector<double> start = start_of(b0);
    std::vector<double> rxp(nd == 0 ? 0 : p * p);
    const bool ok = d.joint(theta_to_lambda(th, model.idx, q), start.data(), f, b, nd == 0 || !rx ? rx : rxp.data(),
                            chain ? &warm0 : nullptr);
    if (ok && rx && nd > 0) embed_rx(rxp, p, nd, rx);
    if (ok && chain) beta_last.assign(b, b + p + nd);
    // Laplace's first PIRLS (the criterion at the start, and at the given beta) starts
    // from the Laplace modes at the joint PIRLS's estimate, not from zero.
    if (ok && !chain) warm = d.modes();
    return ok;
  };
  c.joint_gradient = [&](const std::vector<double>& th, const double* b0, double& f, std::vector<double>& g) {
    const std::vector<double> start = start_of(b0);
    std::vector<double> b(p + nd);
    if (!d.joint_gradient(theta_to_lambda(th, model.idx, q), start.data(), f, b.data(), g.data(), warm0)) return false;
    beta_last = b;
    return true;
  };
  const ValueFn laplace_value = [&](const std::vector<double>& xv, double& f) {
    return d.evaluate(lambda_at(xv), xv.data() + nt, f, nullptr, &warm);
  };
  const Objective laplace = [&](const std::vector<double>& xv, double& f, std::vector<double>& g) {
    return d.evaluate(lambda_at(xv), xv.data() + nt, f, g.data(), &warm);
  };
  // Points whose criteria are found together share their passes (the Hessian's 2 np
  // gradients, a quadrature's differences), as many at once as points_at_once allows
  // for their state (some 8 (5q + 5 + 8q^2 + 3q^3) bytes a group each, and a pass's
  // gradient moments and the groups' gradient terms).
  const std::size_t moments = GradientMoments(model).size() + nt + p + nd;
  const std::size_t together = points_at_once(m * (8 * (5 * q + 5 + 8 * q * q + 3 * q * q * q + moments) + 16));
  if (nagq <= 1) {
    c.value = laplace_value;
    c.gradient = laplace;
    c.gradients = [&, together](const std::vector<std::vector<double>>& xs, std::vector<double>& fs,
                                std::vector<std::vector<double>>& gs) {
      return evaluate_together(runner, d, model, 1, xs, warm, together, fs, &gs, d.passes);
    };
  } else {
    // As in memory: Laplace's fit with its exact gradient first, then the quadrature's
    // criterion by differences.
    c.warmup = laplace;
    c.warmup_value = laplace_value;
    c.value = [&](const std::vector<double>& xv, double& f) {
      return d.agq_value(lambda_at(xv), xv.data() + nt, nagq, f, &warm);
    };
    c.values = [&, together](const std::vector<std::vector<double>>& xs, std::vector<double>& fs) {
      return evaluate_together(runner, d, model, nagq, xs, warm, together, fs, nullptr, d.passes);
    };
  }
  c.stage1 = false;
  std::vector<double> x, unit;
  FitResult res = two_stage(c, options, x, unit);

  // Results at the estimate: the modes and conditional covariances of every group.
  const std::vector<double> lambda = theta_to_lambda(res.theta, model.idx, q);
  // Its PIRLS from the modes of the last point evaluated (near: the estimate, or a
  // point of the Hessian's about it), which it finds in a few passes, not from zero.
  std::vector<double> u, l;
  double f;
  if (!d.evaluate(lambda, res.beta.data(), f, nullptr, &warm, &u, &l))
    throw std::runtime_error("the conditional modes could not be found at the estimate");
  res.u = u;
  res.b.assign(m * q, 0.0);
  res.cond_var.assign(m * q * q, 0.0);
  std::vector<double> inv(q * q), t(q * q);
  for (std::uint64_t g = 0; g < m; ++g) {
    mat_mul(lambda.data(), u.data() + g * q, res.b.data() + g * q, q, q, 1);
    cholesky_inverse(l.data() + g * q * q, q, inv.data());
    mat_mul(lambda.data(), inv.data(), t.data(), q, q, q);
    mat_mul_bt(t.data(), lambda.data(), res.cond_var.data() + g * q * q, q, q, q);
  }
  res.vcov_rx.assign(p * p, NAN);
  d.rx_inverse(lambda, res.beta.data(), u, res.vcov_rx.data());
  keep_fixed_block(res, p);
  if (!res.vcov_from_hessian) res.vcov = res.vcov_rx;
  passes = d.passes;
  return res;
}

struct BatchCriterion::State {
  // The passes run by the reader's rows here, or by the caller's runner.
  State(BatchReader& reader, const BatchModel& m)
      : model(m), own(std::make_unique<ReaderRunner>(reader, model)), driver(*own, model) {}
  State(PassRunner& runner, const BatchModel& m) : model(m), driver(runner, model) {}
  BatchModel model;  // the runner and driver keep references: this copy lives as long as they
  std::unique_ptr<ReaderRunner> own;
  Driver driver;
  std::vector<double> warm;
  bool checked = false;
};

BatchCriterion::BatchCriterion(BatchReader& reader, const BatchModel& model)
    : state_(std::make_unique<State>(reader, model)) {}
BatchCriterion::BatchCriterion(PassRunner& runner, const BatchModel& model)
    : state_(std::make_unique<State>(runner, model)) {}
BatchCriterion::~BatchCriterion() = default;

bool BatchCriterion::evaluate(const std::vector<double>& theta, const double* beta, double& value, double* grad) {
  State& s = *state_;
  if (theta.size() != s.model.idx.size()) throw std::invalid_argument("theta has the wrong length");
  if (!s.checked) {
    s.driver.check();
    s.checked = true;
    s.warm.assign(s.model.m * s.model.q, 0.0);
  }
  return s.driver.evaluate(theta_to_lambda(theta, s.model.idx, s.model.q), beta, value, grad, &s.warm);
}

std::uint64_t BatchCriterion::passes() const { return state_->driver.passes; }
std::size_t BatchCriterion::n_theta() const { return state_->model.idx.size(); }
std::size_t BatchCriterion::n_beta() const { return state_->model.p + n_extra(state_->model.family); }

FitResult fit_batches(BatchReader& reader, const BatchModel& model, const FitOptions& options,
                      std::uint64_t& passes) {
  ReaderRunner runner(reader, model);
  return fit_batches(runner, model, options, passes);
}

}  // namespace qk::glmm
