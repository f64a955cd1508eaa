// The pass driver of the crossed GLMM fit from batches (batch_crossed.hpp): PIRLS on
// the crossed core's sparse system by the in-memory rules (crossed_glmm.cpp's pirls,
// a pass where it sums over rows), the Laplace criterion and its exact gradient, the
// joint PIRLS and the PQL start of the in-memory fit, and the fit by its two stages.
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>

#include "lmm/glmm/batch_board.hpp"
#include "lmm/glmm/batch_crossed.hpp"
#include "lmm/glmm/crossed_detail.hpp"
#include "lmm/glmm/stages.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {
namespace {

using namespace crossed_detail;
using ModeSet = std::vector<std::vector<double>>;  // per factor m_j x q_j

double squares(const ModeSet& u) {
  double uu = 0.0;
  for (const auto& v : u)
    for (double x : v) uu = uu + x * x;
  return uu;
}

class Driver {
 public:
  Driver(BatchReader& reader, const CrossedBatchModel& model) : reader_(reader), model_(model) {}

  std::uint64_t passes = 0;

  void check();
  // What check() learnt (the patterns, shared, and the loglik constant), taken from
  // another driver of the same rows.
  void same_rows_as(const Driver& d) {
    plain_ = d.plain_;
    joint_ = d.joint_;
    constant_ = d.constant_;
    cross_start_ = d.cross_start_;
    places_ = d.places_;
    places_writable_ = false;
  }
  // Bytes a point's evaluation holds beside the rows (its systems' products, a factor's
  // dense block and its inverse), for how many points may share passes at once.
  std::size_t point_bytes() const;
  ModeSet lambdas(const std::vector<double>& theta) const {
    ModeSet out;
    for (std::size_t j = 0; j < model_.m.size(); ++j)
      out.push_back(theta_to_lambda(std::vector<double>(theta.begin() + static_cast<std::ptrdiff_t>(model_.theta_offset[j]),
                                                        theta.begin() + static_cast<std::ptrdiff_t>(model_.theta_offset[j + 1])),
                                    model_.idx[j], model_.q[j]));
    return out;
  }
  // crossed_evaluate: the criterion at (theta, beta), its gradient and the modes'
  // conditional variances and rx_inv (into modes) when asked; at_mode as its.
  bool evaluate(const std::vector<double>& theta, const double* beta, double& value, double* grad,
                ModeSet* warm, CrossedModes* modes = nullptr, bool at_mode = false);
  // crossed_joint: from the modes in warm (in and out; empty: zero); full, when given,
  // receives the Laplace criterion's gradient over (theta, beta) at its solution.
  bool joint(const std::vector<double>& theta, const double* beta0, double& value, double* beta, double* rx_inv,
             ModeSet& warm, double* full = nullptr);
  // crossed_joint_gradient: the same and the nAGQ = 0 criterion's exact gradient over
  // theta and the family's parameters, its passes where that sums over rows.
  bool joint_gradient(const std::vector<double>& theta, const double* beta0, double& value, double* beta,
                      double* grad, ModeSet& warm, double* rx_inv);
  // crossed_fit's pql_start, its PIRLS from the modes in warm.
  std::vector<double> pql_start(const std::vector<double>& theta0, const std::vector<double>& beta,
                                std::vector<double>& h0, const ModeSet& warm);

 private:
  struct Point {
    std::unique_ptr<crossed::Design> system;  // the products of the point's system
    CrossedPassSums sums;
  };
  void pass(const CrossedPassInput& in, CrossedPassSums& sums) {
    CrossedPassInput run = in;
    if (!cross_start_.empty()) run.cross_start = &cross_start_;
    run.places = places_.get();
    run.places_writable = places_writable_;
    clear_crossed(model_, run, sums);
    reader_.each([&](const Batch& b) { add_crossed_batch(model_, b, run, sums); });
    ++passes;
  }
  std::unique_ptr<crossed::Design> fresh(bool joint) const;
  // A pass at (beta, u) filling a fresh system of `weights` (dbeta: see CrossedPassInput).
  Point system_at(const Family& fam, const ModeSet& lam, const std::vector<double>& beta, const ModeSet& u,
                  CrossedWeights weights, bool joint, const double* dbeta = nullptr);
  // The same for a kSystem input.
  Point filled(const CrossedPassInput& in);
  bool solve(std::unique_ptr<crossed::Design>& d, const std::vector<double>& theta, bool cond_var, bool gradient,
             Solve& out) const;
  // crossed_detail::pirls with a pass where it sums over the rows: the same start,
  // steps, halvings and stopping rules, so the same iterates. On success u holds the
  // modes' point, last the system solved there (kept with its factor when
  // `gradient`) and ll the rows' sum of loglik_smooth there.
  bool pirls(const Family& fam, const std::vector<double>& theta, const ModeSet& lam, std::vector<double>& beta,
             bool joint, bool cond_var, ModeSet& u, Solve& last, bool gradient, double& ll, bool at_mode = false);
  // The solve of a gradient's second system over u (in: its kSystem pass), t into t;
  // zero, shaped as `like`, without a solve where the system's response is zero. With
  // `by` (the system at the point, whose factor's Z part is this system's matrix) the
  // pass sums the right-hand side only, which by's factor solves; else the pass fills
  // the system, which is factored. ll (optional) receives the pass's sum of loglik.
  bool t_solve(CrossedPassInput in, const std::vector<double>& theta, const ModeSet& lam, const ModeSet& like,
               const Solve* by, ModeSet& t, double* ll = nullptr);
  // crossed_gradient's exact gradient at the modes pirls found (u, last): the second
  // solve's right-hand side (or system) and the leverages in one pass, the row sums in
  // another. ll (optional) receives the first pass's sum of loglik at (beta, u).
  bool gradient(const Family& fam, const std::vector<double>& theta, const ModeSet& lam, const std::vector<double>& beta,
                const ModeSet& u, Solve& last, double* grad, double* ll = nullptr);
  // The joint PIRLS and the criterion at its point (joint_point's): `keep` receives the
  // joint PIRLS's last system with its factor.
  bool joint_at(const std::vector<double>& theta, const double* beta0, double& value, double* beta, double* rx_inv,
                ModeSet& warm, double* full, Solve& keep);

  BatchReader& reader_;
  const CrossedBatchModel& model_;
  std::shared_ptr<const crossed::Design> plain_, joint_;  // the patterns (read only)
  double constant_ = 0.0;
  bool observed_ok_ = true;  // at the modes pirls found last
  // Per pair of factors, each level of the first's first key in the cross block (see
  // CrossedPassInput::cross_start), from the patterns.
  std::vector<std::vector<std::uint64_t>> cross_start_;
  void index_cross();
  // The rows' places in the cross blocks, kept between passes; read only by the drivers
  // that share another's (the Hessian's points, whose passes run side by side).
  std::shared_ptr<CrossedPlaces> places_ = std::make_shared<CrossedPlaces>();
  bool places_writable_ = true;
};

void Driver::check() {
  CrossedPassInput in;
  in.kind = CrossedPassKind::kCheck;
  CrossedPassSums s;
  pass(in, s);
  const std::size_t k = model_.m.size();
  for (std::size_t j = 0; j < k; ++j)
    for (std::uint64_t l = 0; l < model_.m[j]; ++l)
      if (s.count[j][l] == 0)
        throw std::invalid_argument("level " + std::to_string(l) + " of factor " + std::to_string(j) + " has no rows");
  constant_ = -2.0 * s.constant;
  plain_ = crossed_pattern(model_, s, false);
  joint_ = crossed_pattern(model_, s, true);
  index_cross();
}

void Driver::index_cross() {
  const std::size_t k = model_.m.size();
  cross_start_.clear();
  for (std::size_t i = 0, pi = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j, ++pi) {
      const std::vector<std::uint64_t>& keys = plain_->pr.cross[pi].keys;
      std::vector<std::uint64_t> start(model_.m[i] + 1, 0);
      // Keys increase, so level l's run begins after every key of a lower level.
      for (std::uint64_t key : keys) ++start[key / model_.m[j] + 1];
      for (std::uint64_t l = 0; l < model_.m[i]; ++l) start[l + 1] += start[l];
      cross_start_.push_back(std::move(start));
    }
}

std::size_t Driver::point_bytes() const {
  std::size_t doubles = 0;
  for (const crossed::Design* d : {plain_.get(), joint_.get()}) {
    const crossed::Products& pr = d->pr;
    for (const auto* blocks : {&pr.ztz, &pr.ztx, &pr.zty})
      for (const std::vector<double>& v : *blocks) doubles += v.size();
    for (const crossed::CrossBlock& cb : pr.cross) doubles += cb.values.size() + cb.keys.size();
    const std::size_t nt = d->layout.dense_z + pr.p + 1;
    doubles += 2 * nt * nt;
  }
  return 8 * doubles;
}

std::unique_ptr<crossed::Design> Driver::fresh(bool joint) const {
  return pattern_copy(joint ? *joint_ : *plain_);  // as system_of copies it
}

// A kSystem pass's input at (beta, u): the system of `weights`, with X when joint.
CrossedPassInput system_input(const Family& fam, const ModeSet& lam, const double* beta, const ModeSet& u,
                              CrossedWeights weights, bool joint) {
  CrossedPassInput in;
  in.kind = CrossedPassKind::kSystem;
  in.fam = fam;
  in.lambdas = &lam;
  in.beta = beta;
  in.u = &u;
  in.weights = weights;
  in.joint = joint;
  return in;
}

Driver::Point Driver::system_at(const Family& fam, const ModeSet& lam, const std::vector<double>& beta, const ModeSet& u,
                                CrossedWeights weights, bool joint, const double* dbeta) {
  CrossedPassInput in = system_input(fam, lam, beta.data(), u, weights, joint);
  in.dbeta = dbeta;
  return filled(in);
}

Driver::Point Driver::filled(const CrossedPassInput& in) {
  Point pt;
  pt.system = fresh(in.joint);
  pt.sums.products = &pt.system->pr;
  pass(in, pt.sums);
  pt.system->shell.log_weights = pt.system->pr.log_weights;
  pt.system->shell.free_scale = pt.sums.negative;
  return pt;
}

// solve_system's solve of a filled system.
bool Driver::solve(std::unique_ptr<crossed::Design>& d, const std::vector<double>& theta, bool cond_var,
                   bool gradient, Solve& out) const {
  std::optional<crossed::Factor> f = crossed::factorize(*d, theta, false);
  if (!f) return false;
  const std::vector<double> skip(theta.size(), 0.0);
  out.solution = crossed::solution_of(*d, *f, false, kModeSolution, cond_var, gradient ? nullptr : &skip);
  out.u = out.solution->u;
  out.beta = out.solution->ev.beta;
  out.ldl2 = out.solution->ev.ldl2;
  if (gradient) {
    out.design = std::move(d);
    out.factor = std::move(f);
  }
  return true;
}

bool Driver::pirls(const Family& fam, const std::vector<double>& theta, const ModeSet& lam, std::vector<double>& beta,
                   bool joint, bool cond_var, ModeSet& u, Solve& last, bool gradient, double& ll, bool at_mode) {
  const std::uint64_t p = model_.p;
  const std::size_t k = model_.m.size();
  bool given = u.size() == k;
  for (std::size_t j = 0; j < k && given; ++j) given = u[j].size() == model_.m[j] * model_.q[j];
  if (!given) {
    u.assign(k, {});
    for (std::size_t j = 0; j < k; ++j) u[j].assign(model_.m[j] * model_.q[j], 0.0);
  }
  // Each point's pass also fills its scoring system, solved when the point is taken.
  Point cur = system_at(fam, lam, beta, u, CrossedWeights::kScoring, joint);
  double h = -2.0 * cur.sums.ll + squares(u);
  // The in-memory rule for a given start: compared with zero (a pass there) where its
  // first step is longer than kFarStart, or where its objective is not finite.
  bool check_start = given && !at_mode;
  const auto take_zero = [&]() {
    ModeSet zero(k);
    for (std::size_t j = 0; j < k; ++j) zero[j].assign(u[j].size(), 0.0);
    Point at_zero = system_at(fam, lam, beta, zero, CrossedWeights::kScoring, joint);
    const double h_zero = -2.0 * at_zero.sums.ll + squares(zero);
    if (h <= h_zero) return false;
    u.swap(zero);
    std::swap(cur, at_zero);
    h = h_zero;
    return true;
  };
  if (!std::isfinite(h) && std::exchange(check_start, false)) take_zero();
  if (!std::isfinite(h)) return false;
  // The system at the current point with the Laplace weights, solved: the modes'.
  const auto final_solve = [&]() {
    observed_ok_ = cur.sums.observed_ok;
    if (!cur.sums.laplace_same) cur = system_at(fam, lam, beta, u, CrossedWeights::kLaplace, joint);
    ll = cur.sums.ll;
    return solve(cur.system, theta, cond_var, gradient, last);
  };
  if (given && at_mode) return final_solve();
  ModeSet ut(k);
  std::vector<double> bt(beta), db(p);
  double smallest = INFINITY, h_run = h, moved = INFINITY, prev_whole = INFINITY;
  int stalled = 0;
  const auto flat = [&](double change) { return change <= kFlatObjective * std::max(1.0, std::fabs(h)); };
  for (int it = 0; it < kMaxIter; ++it) {
    check_interrupt();
    Solve s;
    // A mixture's steps are Newton's within the Newton zone, unless that system does
    // not factor (as crossed_glmm.cpp's pirls takes them): one more pass there.
    bool solved = false;
    if (fam.inflated && smallest <= kNewtonZone) {
      Point newton = system_at(fam, lam, beta, u, CrossedWeights::kLaplace, joint);
      solved = solve(newton.system, theta, false, false, s);
    }
    if (!solved && !solve(cur.system, theta, false, false, s)) {
      if (std::exchange(check_start, false) && take_zero()) continue;
      return false;
    }
    double big = 0.0;
    for (std::size_t j = 0; j < k; ++j)
      for (std::size_t i = 0; i < u[j].size(); ++i) big = std::max(big, std::fabs(s.u[j][i] - u[j][i]));
    // The whole step's point, whose pass also measures the fixed effects' step in the
    // linear predictor (see crossed_glmm.cpp's pirls).
    const auto trial = [&](double step) {
      for (std::size_t j = 0; j < k; ++j) {
        ut[j].resize(u[j].size());
        for (std::size_t i = 0; i < u[j].size(); ++i) ut[j][i] = u[j][i] + step * (s.u[j][i] - u[j][i]);
      }
      if (joint)
        for (std::uint64_t c = 0; c < p; ++c) bt[c] = beta[c] + step * (s.beta[c] - beta[c]);
      return system_at(fam, lam, joint ? bt : beta, ut, CrossedWeights::kScoring, joint, step == 1.0 && joint ? db.data() : nullptr);
    };
    if (joint)
      for (std::uint64_t c = 0; c < p; ++c) db[c] = s.beta[c] - beta[c];
    Point next = trial(1.0);
    if (joint) {
      double step_beta = 0.0;
      for (std::uint64_t c = 0; c < p; ++c) step_beta = std::max(step_beta, std::fabs(s.beta[c] - beta[c]));
      big = std::max(big, std::min(step_beta, next.sums.step_eta));
    }
    if (std::exchange(check_start, false) && !(big <= kFarStart) && take_zero()) continue;
    if (!std::isfinite(big)) return false;
    if (big <= kNewtonZone) {
      if (big <= 0.5 * smallest) {
        stalled = 0;
      } else {
        if (stalled == 0) h_run = h;
        if (++stalled >= kStalledSteps) return (big <= 1e-6 || flat(std::fabs(h - h_run))) && final_solve();
      }
    }
    smallest = std::min(smallest, big);
    double step = 1.0;
    bool taken = false;
    for (int hv = 0; hv < kMaxHalvings; ++hv, step *= 0.5) {
      check_interrupt();
      if (hv > 0) next = trial(step);
      const double ht = -2.0 * next.sums.ll + squares(ut);
      if (ht <= h || big <= kNewtonZone) {
        moved = std::fabs(h - ht);
        h = ht;
        taken = true;
        break;
      }
      if (big * step <= kStepTol) break;
    }
    if (!taken) {
      if (big > 1e-6 && !flat(moved)) return false;
      return final_solve();
    }
    u.swap(ut);
    if (joint) beta = bt;
    std::swap(cur, next);
    if (converged_after(step == 1.0 ? big : INFINITY, prev_whole) || big <= kStepTol) return final_solve();
    prev_whole = step == 1.0 ? big : INFINITY;
  }
  return false;
}

bool Driver::t_solve(CrossedPassInput in, const std::vector<double>& theta, const ModeSet& lam, const ModeSet& like,
                     const Solve* by, ModeSet& t, double* ll) {
  bool response = false;
  if (by) {
    crossed::Products rhs;
    for (std::size_t j = 0; j < like.size(); ++j) rhs.zty.emplace_back(like[j].size(), 0.0);
    in.rhs_only = true;
    CrossedPassSums sums;
    sums.products = &rhs;
    pass(in, sums);
    if (ll) *ll = sums.ll;
    response = sums.response;
    if (response) t = crossed::solve_z(*by->design, *by->factor, lambda_t_levels(rhs.zty, lam, model_.q));
  } else {
    Point second = filled(in);
    if (ll) *ll = second.sums.ll;
    response = second.sums.response;
    Solve ts;
    if (response && !solve(second.system, theta, false, false, ts)) return false;
    t = std::move(ts.u);
  }
  if (!response) {
    t.resize(like.size());
    for (std::size_t j = 0; j < like.size(); ++j) t[j].assign(like[j].size(), 0.0);
  }
  return true;
}

bool Driver::gradient(const Family& fam, const std::vector<double>& theta, const ModeSet& lam,
                      const std::vector<double>& beta, const ModeSet& u, Solve& last, double* grad, double* ll) {
  const std::size_t nt = model_.theta_offset.back();
  check_interrupt();
  // The second solve's system: the leverages c_r (from last's factor) give its response.
  CrossedPassInput in = system_input(fam, lam, beta.data(), u, CrossedWeights::kSecond, false);
  in.design = last.design.get();
  in.factor = &*last.factor;
  // One selected inverse for both passes' batches (the dense block's inverse, the
  // largest price of a crossed pass where a factor has thousands of levels), of the
  // system over u alone whatever last's design.
  const std::shared_ptr<const crossed::LeverageTable> table = crossed::leverage_table(*in.design, *in.factor, false);
  in.leverage = table.get();
  in.observed = !canonical(fam) && !fam.observed && observed_ok_;
  ModeSet t;
  // Under the Laplace weights the second system's matrix is last's over u.
  if (!t_solve(in, theta, lam, last.u, in.observed ? nullptr : &last, t, ll)) return false;
  in.kind = CrossedPassKind::kGradient;
  in.u_last = &last.u;
  in.t = &t;
  CrossedPassSums sums;
  pass(in, sums);
  std::copy(sums.grad.begin(), sums.grad.end(), grad);
  const std::vector<double>& gl = last.solution->ev.grad_logdet;
  for (std::size_t e = 0; e < nt; ++e) grad[e] = grad[e] + gl[e];
  return true;
}

bool Driver::evaluate(const std::vector<double>& theta, const double* beta, double& value, double* grad, ModeSet* warm,
                      CrossedModes* modes, bool at_mode) {
  const Family fam = at_params(model_.family, beta, model_.p);
  const ModeSet lam = lambdas(theta);
  std::vector<double> b(beta, beta + model_.p);
  ModeSet u;
  if (warm) u = *warm;
  Solve last;
  double ll = 0.0;
  if (!pirls(fam, theta, lam, b, false, modes != nullptr, u, last, grad != nullptr, ll, at_mode && warm)) return false;
  if (warm) *warm = last.u;
  value = ((-2.0 * ll + squares(last.u)) + last.ldl2) + constant_;
  if (grad && !gradient(fam, theta, lam, b, u, last, grad)) return false;
  if (modes) {
    modes->u = last.u;
    modes->cond_var = last.solution->cond_var;  // of the working system: its sigma^2 out (see crossed_evaluate)
    const double s2 = last.solution->ev.sigma2;
    for (auto& v : modes->cond_var)
      for (double& c : v) c = c / s2;
    if (modes->with_rx) {
      Point at = system_at(fam, lam, b, u, CrossedWeights::kScoring, true);
      Solve js;
      if (!solve(at.system, theta, false, false, js)) return false;
      modes->rx_inv = js.solution->ev.fixed_inverse;
    }
  }
  return std::isfinite(value);
}

bool Driver::joint_at(const std::vector<double>& theta, const double* beta0, double& value, double* beta,
                      double* rx_inv, ModeSet& warm, double* full, Solve& keep) {
  const Family fam = at_params(model_.family, beta0, model_.p);
  const std::uint64_t p = model_.p, nd = n_extra(model_.family);
  const ModeSet lam = lambdas(theta);
  std::vector<double> b(beta0, beta0 + p);
  ModeSet u = warm;
  double ll = 0.0;
  std::copy(beta0 + p, beta0 + p + nd, beta + p);
  if (!pirls(fam, theta, lam, b, true, false, u, keep, true, ll)) {
    std::copy(b.begin(), b.end(), beta);
    return false;
  }
  std::copy(keep.beta.begin(), keep.beta.end(), beta);
  if (rx_inv) std::copy(keep.solution->ev.fixed_inverse.begin(), keep.solution->ev.fixed_inverse.end(), rx_inv);
  u = keep.u;
  const std::vector<double> bp(beta, beta + p);
  // The point's sum of loglik: from the gradient's first pass, which is at the point,
  // else a pass of its own (which, where the curvature's sign decides the gradient's
  // second system, also finds it, as crossed_gradient does from the rows' states).
  const bool curvature = full && !canonical(fam) && !fam.observed;
  if (!full || curvature) {
    CrossedPassInput in;
    in.kind = CrossedPassKind::kValue;
    in.fam = fam;
    in.lambdas = &lam;
    in.beta = bp.data();
    in.u = &u;
    in.curvature = curvature;
    CrossedPassSums sums;
    pass(in, sums);
    ll = sums.ll;
    if (curvature) observed_ok_ = sums.observed_ok;
  }
  if (full) {
    double at_point = 0.0;
    if (!gradient(fam, theta, lam, bp, u, keep, full, &at_point)) return false;
    if (!curvature) ll = at_point;
  }
  value = ((-2.0 * ll + squares(u)) + keep.ldl2) + constant_;
  if (!std::isfinite(value)) return false;
  warm = u;
  return true;
}

bool Driver::joint(const std::vector<double>& theta, const double* beta0, double& value, double* beta,
                   double* rx_inv, ModeSet& warm, double* full) {
  Solve keep;
  return joint_at(theta, beta0, value, beta, rx_inv, warm, full, keep);
}

bool Driver::joint_gradient(const std::vector<double>& theta, const double* beta0, double& value, double* beta,
                            double* grad, ModeSet& warm, double* rx_inv) {
  const std::uint64_t p = model_.p, ne = n_extra(model_.family);
  const std::size_t nt = model_.theta_offset.back();
  std::vector<double> rx(p * p), full(nt + p + ne, 0.0);
  Solve keep;
  if (!joint_at(theta, beta0, value, beta, rx.data(), warm, full.data(), keep)) return false;
  if (rx_inv) std::copy(rx.begin(), rx.end(), rx_inv);
  const Family fam = at_params(model_.family, beta, p);
  const ModeSet lam = lambdas(theta);
  const std::vector<double> b(beta, beta + p);
  // S's inverse: the joint PIRLS's last system's where its weights are the observed
  // curvature already, else the observed curvature's joint system (Fisher's where that
  // does not factor), whose curvature then weighs t's system too.
  bool observed = true;
  CrossedPassInput in = system_input(fam, lam, b.data(), warm, CrossedWeights::kCurvature, true);
  if (!(canonical(fam) || fam.observed)) {
    Solve js;
    for (;; observed = false) {
      in.observed = observed;
      Point at = filled(in);
      if (solve(at.system, theta, false, false, js)) break;
      if (!observed) return false;
    }
    rx = js.solution->ev.fixed_inverse;
  }
  std::vector<double> v(p, 0.0);
  for (std::uint64_t i = 0; i < p; ++i) {
    double s = 0.0;
    for (std::uint64_t j = 0; j < p; ++j) s = s + rx[i * p + j] * full[nt + j];
    v[i] = 0.5 * s;
  }
  // t = M_o^-1 A'w, w = -2 (x'v) D2, by the system of t's pass.
  in.weights = CrossedWeights::kAdjoint;
  in.joint = false;
  in.observed = observed;
  in.v = v.data();
  ModeSet t;
  // M_o is the joint system's part over u where its Laplace weights are the curvature.
  if (!t_solve(in, theta, lam, warm, canonical(fam) || fam.observed ? &keep : nullptr, t)) return false;
  in.kind = CrossedPassKind::kAdjointGradient;
  in.t = &t;
  CrossedPassSums sums;
  pass(in, sums);
  return detail::joint_difference(full, sums.grad, nt, p, ne, grad);
}

std::vector<double> Driver::pql_start(const std::vector<double>& theta0, const std::vector<double>& beta,
                                      std::vector<double>& h0, const ModeSet& warm) {
  const Family fam = at_params(model_.family, beta.data(), model_.p);
  const ModeSet lam = lambdas(theta0);
  std::vector<double> b(beta.begin(), beta.begin() + static_cast<std::ptrdiff_t>(model_.p));
  ModeSet u = warm;
  Solve last;
  double ll = 0.0;
  if (!pirls(fam, theta0, lam, b, false, false, u, last, false, ll, true)) return {};
  return pql_theta(*system_at(fam, lam, b, u, CrossedWeights::kPql, true).system, theta0, h0);
}

}  // namespace

FitResult fit_crossed_batches(BatchReader& reader, const CrossedBatchModel& model, const FitOptions& options,
                              std::uint64_t& passes) {
  if (options.nagq > 1) throw std::invalid_argument("adaptive quadrature needs a single grouping factor");
  const std::size_t nt = model.theta_offset.back(), p = model.p, nd = n_extra(model.family);
  Driver d(reader, model);
  d.check();
  Criteria c;
  c.n_theta = nt;
  c.p = p + nd;
  c.n_extra = nd;
  for (std::size_t j = 0; j < model.m.size(); ++j) {
    for (SignGroup g : sign_groups(model.idx[j])) {
      g.diagonal += model.theta_offset[j];
      for (auto& i : g.members) i += model.theta_offset[j];
      c.groups.push_back(g);
    }
    const std::vector<double> t = default_theta(model.idx[j]);
    c.theta0.insert(c.theta0.end(), t.begin(), t.end());
  }
  JointCriteria jc(
      model.m, model.q, model.idx, model.theta_offset, p, nd,
      [&](const std::vector<double>& th, const double* b0, double& f, double* b, double* rx, ModeSet& warm) {
        return d.joint(th, b0, f, b, rx, warm);
      },
      [&](const std::vector<double>& th, const double* b0, double& f, double* b, double* g, ModeSet& warm,
          double* rx) { return d.joint_gradient(th, b0, f, b, g, warm, rx); });
  jc.install(c, options.nagq);
  ModeSet& warm0 = jc.warm0;
  // Within the fit each PIRLS starts from the modes of the point evaluated last.
  ModeSet warm;
  const auto theta_of = [&](const std::vector<double>& xv) {
    return std::vector<double>(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(nt));
  };
  c.value = [&](const std::vector<double>& xv, double& f) {
    return d.evaluate(theta_of(xv), xv.data() + nt, f, nullptr, &warm);
  };
  c.gradient = [&](const std::vector<double>& xv, double& f, std::vector<double>& g) {
    return d.evaluate(theta_of(xv), xv.data() + nt, f, g.data(), &warm);
  };
  // The Hessian's points each from the estimate's modes, as the in-memory fit's (there
  // on the pool): the same bits. Each runs as a driver of its own whose passes share
  // one read of the batches with the others' (batch_board.hpp), as many at once as
  // points_at_once allows for their systems.
  const std::size_t together = detail::points_at_once(d.point_bytes());
  c.gradients = [&](const std::vector<std::vector<double>>& xs, std::vector<double>& fs,
                    std::vector<std::vector<double>>& gs) {
    const ModeSet at = warm;
    std::vector<std::uint8_t> ok(xs.size(), 0);
    using Visit = const std::function<void(const Batch&)>*;
    // A point's reader: posts the visit of its pass and waits until a round has read it.
    class Posting final : public BatchReader {
     public:
      Posting(detail::Board<Visit>& board, std::size_t slot) : board_(board), slot_(slot) {}
      void each(const std::function<void(const Batch&)>& visit) override { board_.post(slot_, &visit); }

     private:
      detail::Board<Visit>& board_;
      std::size_t slot_;
    };
    const auto point = [&](std::size_t k, detail::Board<Visit>& board, std::size_t slot) {
      Posting reads(board, slot);
      Driver own(reads, model);
      own.same_rows_as(d);
      ModeSet start = at;
      ok[k] = own.evaluate(theta_of(xs[k]), xs[k].data() + nt, fs[k], gs[k].data(), &start) ? 1 : 0;
    };
    // Each batch's visits of the round on the pool: each adds to its own point's sums.
    const auto make = [&](const std::vector<Visit>& round) {
      reader.each([&](const Batch& b) {
        run_tasks(round.size(), round.size() > 1 && b.n >= 4096, [&](std::size_t k) { (*round[k])(b); });
      });
    };
    detail::run_points<Visit>(xs.size(), together, point, make, d.passes);
    return std::all_of(ok.begin(), ok.end(), [](std::uint8_t o) { return o == 1; });
  };
  c.stage1 = options.nagq == 0;
  c.refine_start = [&](const std::vector<double>& th, const std::vector<double>& b, std::vector<double>& h0) {
    return d.pql_start(th, b, h0, warm0);
  };
  std::vector<double> x, unit;
  FitResult res = two_stage(c, options, x, unit);
  CrossedModes modes;
  // nAGQ = 0's last joint PIRLS was at this point: its modes are these, and its rx
  // (res.vcov_rx) beta's covariance there.
  modes.with_rx = options.nagq != 0;
  double f;
  if (!d.evaluate(res.theta, res.beta.data(), f, nullptr, options.nagq == 0 ? &warm0 : nullptr, &modes,
                  options.nagq == 0))
    throw std::runtime_error("the conditional modes could not be found at the estimate");
  put_modes(d.lambdas(res.theta), model.m, model.q, p, modes, res);
  passes = d.passes;
  return res;
}

struct CrossedBatchCriterion::State {
  State(BatchReader& reader, const CrossedBatchModel& m) : model(m), driver(reader, model) {}
  CrossedBatchModel model;  // the driver keeps a reference: this copy lives as long as it
  Driver driver;
  ModeSet warm;
  bool checked = false;
};

CrossedBatchCriterion::CrossedBatchCriterion(BatchReader& reader, const CrossedBatchModel& model)
    : state_(std::make_unique<State>(reader, model)) {}
CrossedBatchCriterion::~CrossedBatchCriterion() = default;

bool CrossedBatchCriterion::evaluate(const std::vector<double>& theta, const double* beta, double& value,
                                     double* grad) {
  State& s = *state_;
  if (theta.size() != n_theta()) throw std::invalid_argument("theta has the wrong length");
  if (!s.checked) {
    s.driver.check();
    s.checked = true;
  }
  return s.driver.evaluate(theta, beta, value, grad, &s.warm);
}

std::uint64_t CrossedBatchCriterion::passes() const { return state_->driver.passes; }
std::size_t CrossedBatchCriterion::n_theta() const { return state_->model.theta_offset.back(); }
std::size_t CrossedBatchCriterion::n_beta() const { return state_->model.p + n_extra(state_->model.family); }

}  // namespace qk::glmm
