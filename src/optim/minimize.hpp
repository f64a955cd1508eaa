// Quasi-Newton minimiser for smooth objectives that are even in the sign of given
// groups of coordinates, and the multi-start rule built on it.
//
// It knows nothing of mixed models. The caller supplies an objective that either
// refuses a point as infeasible or returns a value with its exact gradient, and the
// sign groups: sets of coordinates whose joint negation leaves the objective
// unchanged, each with one coordinate (its "diagonal") whose sign is normalised to be
// non-negative at the end. For the profiled criterion of a linear mixed model these
// are the columns of the relative covariance factor, so the search runs without bounds
// (a negative diagonal is the reflection of a positive one) and no step is ever
// projected onto a symmetric point, where the gradient of the sign-flipped entries is
// exactly zero and a bounded search stalls at a saddle or a maximum.
//
// The method is dense BFGS (Nocedal & Wright, Numerical Optimization, 2nd ed., ch. 6)
// on the few coordinates such problems have:
//  - the search runs in variables divided by their typical magnitudes (an option);
//  - without a given initial inverse Hessian, the first trial step of a (re)start
//    moves the largest coordinate by half of max(|x|_inf, 0.1), whatever the
//    gradient's scale, and the initial inverse Hessian is set to (s'y / y'y) I from
//    that first step (their eq. 6.20);
//  - updates whose curvature s'y is not clearly positive are skipped;
//  - steps come from a backtracking line search with safeguarded quadratic
//    interpolation and the Armijo test; a point the objective refuses (infeasible)
//    counts as a step too long and halves it;
//  - the stopping test is scale-free: the decrease predicted by the quasi-Newton model,
//    g'Hg / 2, below ftol * max(|f|, 1) (in the objective's units), or a gradient whose
//    largest entry is below gtol;
//  - a claimed optimum is checked for negative curvature within every sign group whose
//    diagonal is near zero (the Hessian block from differences of the exact gradient);
//    if there is any, the run steps along it and restarts.
//
// Determinism: every dot product runs in index order, every multiply-and-add is a
// rounded product followed by a rounded sum, and the routine is sequential, so the
// same objective gives the same bits on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qk {

// The report of one optimiser run.
struct OptimResult {
  std::vector<double> theta;  // final point, sign groups normalised
  std::string message;        // stop reason, one of the fixed texts below
  double deviance;            // objective at theta; +inf for an infeasible start
  double grad_inf_norm;       // largest |gradient entry| at theta; +inf for an infeasible start
  std::uint64_t iterations;   // passes begun (the pass whose test succeeds included)
  std::uint64_t fev;          // objective evaluations, the start's included
  bool converged;
  // The quasi-Newton model of the inverse Hessian at theta (n x n, row-major, in the
  // caller's variables) when the run ends with one; empty otherwise. Rows and columns
  // of fixed coordinates are those of the given h0, else of the identity in the scaled
  // variables (scale_i^2 on the diagonal), so the model can start a run where they are
  // free.
  std::vector<double> inverse_hessian;
};

// Objective: returns false when x is infeasible; otherwise sets f and g (g has
// x.size() entries, already sized by the caller). It may throw; the exception
// propagates out of the minimiser unchanged.
using Objective =
    std::function<bool(const std::vector<double>& x, double& f, std::vector<double>& g)>;

// The objective's value alone at x (false when infeasible); see MinimizeOptions::value.
using ValueOnly = std::function<bool(const std::vector<double>& x, double& f)>;

// Coordinates whose joint negation leaves the objective unchanged. `members` lists
// them (the diagonal included); `diagonal` is the one whose sign is normalised.
struct SignGroup {
  std::size_t diagonal;
  std::vector<std::size_t> members;
};

struct MinimizeOptions {
  std::uint64_t max_iter = 300;  // passes per run; 0 evaluates the start only
  double gtol = 1e-8;            // largest gradient entry that counts as zero
  double ftol = 1e-12;           // predicted decrease, relative to max(|f|, 1)
  // Typical magnitudes of the coordinates (empty: all 1). The search runs in the
  // variables x_i / scale_i, so coordinates whose natural units differ by orders of
  // magnitude are moved in proportion from the first step on (Dennis & Schnabel,
  // Numerical Methods for Unconstrained Optimization, sec. 7.1). Entries must be
  // finite and positive; others count as 1.
  std::vector<double> scale;
  // Coordinates held at their start values: the search runs over the others, and the
  // objective's gradient entries for these are not read. Indices must be below n
  // (std::out_of_range otherwise); repeats are allowed. A sign group whose diagonal is
  // fixed, or with a member fixed at a non-zero value, is no symmetry of the search
  // and is dropped; members fixed at zero are left out of their group.
  std::vector<std::size_t> fixed;
  // The initial inverse Hessian (n x n, row-major, in the caller's variables; only its
  // free rows and columns are read, symmetrised), e.g. the model of an earlier run on
  // a neighbouring problem. Empty: none, and the first step is scaled steepest descent
  // (above). One that is not finite and positive definite is not used. Any size other
  // than 0 or n * n is refused with std::invalid_argument.
  std::vector<double> h0;
  // Stops (converged) once an accepted step decreases f by less than stall * max(|f|, 1):
  // at a minimum flatter than quadratic, as on a boundary, quasi-Newton steps shrink
  // geometrically and the other tests may take hundreds of passes to hold. Zero (the
  // default) or any value that is not positive disables the test.
  double stall = 0.0;
  // The objective's value without its gradient, for objectives whose gradient costs
  // several values. When set, the line search evaluates trial points with it and asks
  // `objective` for the gradient at the same point only where the trial may be taken
  // (that second call is not counted as an evaluation). It must return exactly the
  // value the objective returns. Empty (the default): every point gets both at once.
  ValueOnly value;
};

// Minimises `objective` from x0 over all of R^n. On return every sign group whose
// diagonal is negative has been negated, so the diagonals are non-negative; the value
// and gradient reported are the ones evaluated at the returned point (negating a group
// negates its gradient entries and keeps the value).
//
// Stop messages and `converged`:
//   "projected gradient below tolerance"   true   largest gradient entry below gtol
//   "predicted decrease below tolerance"   true   g'Hg / 2 below ftol * max(|f|, 1)
//   "decrease per step below tolerance"    true   the last step gained below `stall`
//   "maximum iterations reached"           false  max_iter passes were made
//   "line search failed"                   false  no decrease along steepest descent
//   "initial point infeasible"             false  the objective refused x0
// gtol or ftol that is zero, negative or NaN disables its test. The converged stops
// are subject to the curvature check described above, which may resume the run.
OptimResult minimize_symmetric(const Objective& objective, std::vector<double> x0,
                               const std::vector<SignGroup>& groups,
                               const MinimizeOptions& options);

// The multi-start rule: true when `candidate` should replace `incumbent`, i.e. its
// deviance is strictly lower. Ties keep the earlier run, a NaN deviance never wins, a
// NaN incumbent is never replaced, and an infeasible run (+inf) loses to any feasible
// one.
bool replaces(const OptimResult& incumbent, const OptimResult& candidate);

// Runs minimize_symmetric from each start in turn (`starts` is their flat
// concatenation; its length must be a positive multiple of `n`) and returns the best
// by `replaces`.
OptimResult minimize_from_starts(const Objective& objective, const std::vector<double>& starts,
                                 std::size_t n, const std::vector<SignGroup>& groups,
                                 const MinimizeOptions& options);

}  // namespace qk
