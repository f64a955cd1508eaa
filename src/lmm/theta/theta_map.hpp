// The map from the optimiser's parameters theta to the free entries of the relative
// covariance factor Lambda (lme4's theta, Bates et al. 2015, J. Stat. Softw. 67(1),
// section 2.2: Lambda's lower-triangular blocks filled column by column), and the
// layout of lme4's theta over the terms of several grouping factors.
//
// Every core evaluates its criterion and its gradient in the entries: the gradient is
// taken entry by entry of Lambda (ThetaIndex), and that stays so. A parameterisation is
// a map e = f(theta) with Jacobian J = de/dtheta (n_entries x n_params); the chain rule
// pulls a gradient in the entries back to one in the parameters, grad_theta = J' grad_e,
// and bounds, starts and initial inverse Hessians move with the map. The cores call the
// map where theta enters (entries()) and where the gradient leaves (pull_back()), so a
// new parameterisation is a new kind of map here and touches no core's gradient.
//
// The maps today relabel coordinates: the identity (one factor, or terms already in
// lme4's order) and a permutation (lme4 lists terms by decreasing number of levels, ties
// in formula order, so one factor's terms may be interleaved with another's; the core
// keeps each factor's terms together). A relabelling does no arithmetic: entries() and
// pull_back() are gathers, and the identity does not even copy. A fit through a
// relabelling optimises in the entries' coordinates (starts, bounds and the initial
// inverse Hessian gathered into them, the result gathered back): BFGS is equivariant
// under a permutation of the coordinates, and keeping the core's order keeps the
// order of its sums.
//
// Adding a structured covariance or a dispersion parameter (kept for later):
//  - a new Kind with its parameters (e.g. AR(1) of a term of size k: (log sigma,
//    atanh rho) -> the k(k+1)/2 entries of the Cholesky factor of
//    sigma^2 rho^|i-j|; compound symmetry likewise from (sigma, rho); or the
//    unconstrained log-Cholesky or spherical parameterisations of Pinheiro & Bates
//    1996, Stat. Comput. 6, 289-296) in entries(), jacobian() and bounds();
//  - pull_back() multiplies by J' for any kind that is not a relabelling;
//  - a dispersion parameter is one more parameter that is no entry of Lambda: its
//    column of J is zero, and its gradient comes from the family (glmm/family.*),
//    appended after the pull-back of the entries' gradient;
//  - relabels() is false for such a map, so the fit optimises over the parameters
//    (the objective the core's criterion at entries(theta), its gradient pulled back)
//    and reads starts and bounds from the map, not by inverting it.
// Each core's binding already calls entries() and pull_back(); only this file, its
// .cpp and the construction of the map in the binding change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace qk {

class ThetaMap {
 public:
  // The identity on n entries.
  static ThetaMap identity(std::size_t n);
  // entries[k] = theta[param_of_entry[k]]; param_of_entry a permutation of 0..n-1
  // (checked: an error message otherwise). A permutation that fixes every index is
  // the identity.
  static std::variant<ThetaMap, std::string> permutation(std::vector<std::size_t> param_of_entry);

  std::size_t n_params() const { return n_; }
  std::size_t n_entries() const { return n_; }
  bool is_identity() const { return param_of_entry_.empty(); }
  // The map only renames coordinates (identity or permutation): it has an inverse,
  // params(), and does no arithmetic.
  bool relabels() const { return true; }

  // The entries at theta: theta itself for the identity (no copy), else `scratch`
  // filled and returned.
  const std::vector<double>& entries(const std::vector<double>& theta, std::vector<double>& scratch) const;
  std::vector<double> entries(const std::vector<double>& theta) const;
  // J(theta), n_entries x n_params, row-major.
  std::vector<double> jacobian(const std::vector<double>& theta) const;
  // grad := J(theta)' grad: `grad` holds the gradient in the entries on entry and the
  // one in the parameters on return. Coordinates after the entries (beta in a GLMM's
  // joint (theta, beta)) pass through unchanged.
  void pull_back(const std::vector<double>& theta, std::vector<double>& grad) const;

  // For a relabelling: theta from the entries (the inverse map), and a vector indexed
  // like theta (bounds, a gradient at a point) from one indexed like the entries.
  std::vector<double> params(const std::vector<double>& entries) const;
  // Square matrices (row-major) between the two coordinates, for a relabelling a
  // gather of rows and columns: an inverse Hessian over theta H_t = J^-1 H_e J^-T and
  // back (H_e = J H_t J'), or a Hessian over (theta, beta) whose trailing coordinates
  // pass through, as in pull_back().
  std::vector<double> square_to_entries(const std::vector<double>& over_params) const;
  std::vector<double> square_to_params(const std::vector<double>& over_entries) const;

 private:
  std::size_t n_ = 0;
  std::vector<std::size_t> param_of_entry_;  // empty: the identity
  std::vector<std::size_t> entry_of_param_;
};

// lme4's theta over the terms of several grouping factors. The core lays theta out
// factor by factor (the factors in the core's order), each factor's terms in the order
// of its blocks; lme4 lays it out term by term in its own order. `blocks[k]` holds
// factor k's terms' sizes, `order` the terms as (factor, term) in lme4's order. Each
// term's entries are its lower triangle, column by column, in both.
struct TermLayout {
  ThetaMap map;                                         // entries (the core's) from lme4's theta
  std::vector<std::pair<std::size_t, std::size_t>> terms;  // (factor, term), lme4's order
  std::vector<std::uint64_t> term_sizes;                // columns of each term, lme4's order
};
std::variant<TermLayout, std::string> term_layout(const std::vector<std::vector<std::uint64_t>>& blocks,
                                                  const std::vector<std::pair<std::size_t, std::size_t>>& order);
// The terms factor by factor: the layout whose map is the identity.
std::vector<std::pair<std::size_t, std::size_t>> factor_by_factor(const std::vector<std::vector<std::uint64_t>>& blocks);

}  // namespace qk
