// The two-stage fit shared by the GLMM cores (one grouping factor, crossed factors):
// nAGQ = 0 over theta, then the criterion over (theta, beta). Internal to the GLMM core.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "lmm/glmm/glmm.hpp"
#include "optim/minimize.hpp"

namespace qk::glmm {

using ValueFn = std::function<bool(const std::vector<double>& x, double& f)>;
// The criterion's values and exact gradients at several points at once (gs sized by
// the caller); false where any point fails.
using Gradients = std::function<bool(const std::vector<std::vector<double>>& xs, std::vector<double>& fs,
                                     std::vector<std::vector<double>>& gs)>;
// The criterion's values at several points at once; false where any point fails.
using Values = std::function<bool(const std::vector<std::vector<double>>& xs, std::vector<double>& fs)>;

struct Criteria {
  // p counts beta's entries: the fixed effects, then n_extra family parameters (log(phi)),
  // whose curvature is probed as theta's is and whose rows of joint's rx are a
  // placeholder (joint holds them at their start).
  std::size_t n_theta = 0, p = 0, n_extra = 0;
  std::vector<SignGroup> groups;
  std::vector<double> theta0;
  // nAGQ = 0 at theta from beta0: the value, beta (p) and, when rx is not null, beta's
  // covariance at fixed theta (p x p).
  std::function<bool(const std::vector<double>& theta, const double* beta0, double& f, double* beta, double* rx)>
      joint;
  // The same criterion over (theta, the family's parameters beside beta) with its exact
  // gradient (the joint PIRLS's beta from beta0, whose last n_extra entries hold the
  // family's parameters); empty, or false at a point: central differences of joint.
  std::function<bool(const std::vector<double>& theta, const double* beta0, double& f, std::vector<double>& g)>
      joint_gradient;
  ValueFn value;      // the stage-two criterion at x = (theta, beta)
  Objective gradient;  // its exact gradient, or empty: central differences of value
  // The exact gradient at several points at once, for the Hessian's differences (a
  // source read in passes reads them once for all the points); empty: one at a time.
  Gradients gradients;
  // Without an exact gradient: the values at several points at once, for the central
  // differences of the gradient (the point and its 2 np neighbours together); empty:
  // value at one point at a time.
  Values values;
  // Run the nAGQ = 0 stage before the criterion's (else the criterion's starts from
  // theta0 and the joint PIRLS's beta there): worth it where the joint criterion is
  // much cheaper than the criterion's gradient.
  bool stage1 = true;
  // A cheaper criterion with an exact gradient (Laplace's, before a quadrature's), run
  // to its optimum first: the criterion's run starts there with its inverse-Hessian
  // model. Its evaluations count as the first stage's. Empty: none.
  ValueFn warmup_value;
  Objective warmup;
  // A better start for theta than theta0 from the joint PIRLS's beta there (empty, or
  // a result of the wrong length: none), used without the first stage.
  // h0 (out, optional to fill) an inverse Hessian of the criterion over theta near that
  // start, which the nAGQ = 0 stage's run takes as its first model.
  std::function<std::vector<double>(const std::vector<double>& theta0, const std::vector<double>& beta,
                                    std::vector<double>& h0)>
      refine_start;
  // Why the joint PIRLS failed at the start, from its last beta (empty: not known).
  std::function<std::string(const std::vector<double>& beta)> diagnose;
};

// The diagnosis of a joint PIRLS that diverged: perfect or quasi-complete separation
// when rows' fitted means reach their bound at the last beta (binomial: 0 or 1 on the
// side of the response; Poisson: 0 for zero counts), naming the fixed-effects column
// that grows fastest (its 0-based index, "column J"); empty otherwise.
std::string separation_message(const Family& family, std::uint64_t n, std::uint64_t p, const double* x,
                               const double* offset, const double* y, const std::vector<double>& beta);

// The joint PIRLS's rx of the p fixed effects as two_stage's rx over (beta, log(phi))
// ((p + nd) x (p + nd)): log(phi)'s rows are 0 but for 0.01 on the diagonal (a typical
// scale of 0.1 for the differences), since the joint PIRLS holds it.
void embed_rx(const std::vector<double>& rxp, std::size_t p, std::size_t nd, double* rx);
// res.vcov reduced to its fixed effects' block (p x p) where it is over (beta,
// log(phi)), and res.vcov_rx likewise (nAGQ = 0's, two_stage's rx).
void keep_fixed_block(FitResult& res, std::size_t p);

// Central differences of f at x with the given steps into g.
bool central_gradient(const ValueFn& f, const std::vector<double>& x, const std::vector<double>& step,
                      std::vector<double>& g);
// rel * max(|x_j|, unit_j) per coordinate.
std::vector<double> steps_for(const std::vector<double>& x, const std::vector<double>& unit, double rel);

// Central differences of the values at x and its 2 np neighbours, found together: f at
// x, g as central_gradient's.
bool central_together(const Values& values, const std::vector<double>& x, const std::vector<double>& step, double& f,
                      std::vector<double>& g);

// lme4's default covariance: res.vcov, the beta block of 2 H^-1 (p of beta's entries
// after nt of theta's; vcov_from_hessian set) where H, the Hessian of the criterion
// over x by central differences of its gradient (res.hessian), is positive definite.
// The gradients at the 2 np points from together when given, else from objective.
void hessian_covariance(const Objective& objective, const Gradients& together, const std::vector<double>& x,
                        const std::vector<double>& unit, std::size_t nt, std::size_t p, FitResult& res);

// The gradients at several points (a Criteria's gradients) as tasks of the pool, each
// through its own copy of an objective that copy() makes when the points are asked
// for: the copies share nothing they write and start from the same modes (those the
// objective copied holds then), so what each point gets depends neither on the order
// the points ran in nor on the thread.
Gradients gradients_on_pool(std::function<Objective()> copy);

// Runs both stages (only the first for nagq 0). The result holds theta, beta, the
// criterion, gradient and report, vcov_rx (stage one's at its estimate), and for nagq
// >= 1 the Hessian and, when it is positive definite, vcov from it. x receives the
// final (theta, beta) and unit the typical magnitudes used for the differences.
FitResult two_stage(const Criteria& c, const FitOptions& options, std::vector<double>& x, std::vector<double>& unit);

}  // namespace qk::glmm
