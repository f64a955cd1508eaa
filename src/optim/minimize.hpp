// Projected L-BFGS minimiser for smooth objectives under lower bounds only.
//
// It knows nothing of mixed models: the caller supplies an objective that either
// refuses a point as infeasible or returns a value with its gradient. Lower bounds are
// enforced by projection, a direction component that would push an at-bound
// coordinate further down is zeroed, and steps are chosen by backtracking with a
// sufficient-decrease test measured along the projected step. The quasi-Newton
// direction is the two-loop recursion of Nocedal & Wright, Numerical Optimization
// (2nd ed.), Alg. 7.4, over at most 10 correction pairs, with the initial Hessian
// scaling of their eq. (7.20).
//
// Determinism: every dot product runs in index order, every multiply-and-add is a
// rounded product followed by a rounded sum, and the routine is sequential, so the
// same objective gives the same bits on every run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qk {

// The report of one optimiser run.
struct OptimResult {
  std::vector<double> theta;  // final point (the projected start when that is infeasible)
  std::string message;        // stop reason, one of the fixed texts below
  double deviance;            // objective at theta; +inf for an infeasible start
  double grad_inf_norm;       // projected-gradient norm at theta; +inf for an infeasible start
  std::uint64_t iterations;   // passes begun (the gradient-test pass included)
  std::uint64_t fev;          // 1 for the start plus one per line-search trial
  bool converged;
};

// Objective: returns false when x is infeasible; otherwise sets f and g (g has
// x.size() entries, already sized by the caller).
using Objective =
    std::function<bool(const std::vector<double>& x, double& f, std::vector<double>& g)>;

// Minimises `objective` from x0 subject to x >= lower.
//
// lower: one entry per coordinate; a bound is present only when it is finite, so
// -infinity (or +infinity, or NaN) means the coordinate is free. Entries beyond
// lower.size() are treated as free.
//
// Stop messages: "projected gradient below tolerance", "relative change below
// tolerance", "relative change below tolerance (gradient not small)", "maximum
// iterations reached", "line search failed", "initial point infeasible".
//
// gtol and ftol are used as given: zero, negative or NaN disables the corresponding
// test. Never throws (except std::bad_alloc); an exception thrown by the objective
// itself propagates unchanged.
OptimResult minimize_bounded(const Objective& objective, std::vector<double> x0,
                             const std::vector<double>& lower, std::uint64_t max_iter,
                             double gtol, double ftol);

}  // namespace qk
