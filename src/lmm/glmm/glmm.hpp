// Generalized linear mixed models with one grouping factor: the conditional modes by
// penalised iteratively reweighted least squares (PIRLS) and the criteria built on
// them, -2 log-likelihood by Laplace's approximation or adaptive Gauss-Hermite
// quadrature (Pinheiro & Bates, J. Comput. Graph. Stat. 4, 1995; Bates et al.,
// J. Stat. Softw. 67(1), 2015, sec. 5 for the PIRLS formulation used by lme4).
//
// Model: eta = offset + X beta + Z Lambda u, u ~ N(0, I), y | u from the family. With
// one grouping factor the spherical effects u_g (q each) of different groups are
// independent given (theta, beta), so every quantity is a sum over groups of terms
// that need only that group's rows.
//
// For group g, with a_r = Lambda' z_r and h_g(u) = -2 sum_r loglik_r(eta_r) + |u|^2:
// - the conditional mode u_g minimises h_g;
// - L_g L_g' = A' W A + I at the mode, W the Fisher (expected) weights w m1^2 / V, as
//   lme4's PIRLS uses them (for canonical links they equal the observed information);
// - Laplace: D_g = h_g(u_g) + log|L_g|^2 (all constants of loglik included), so the
//   sum over groups is -2 log-likelihood. The counts' terms are not rounded (w y log mu
//   + w (1 - y) log(1 - mu)), only the binomial coefficients' (loglik_constant): the
//   same for whole counts, and for counts that are not whole (which the caller warns
//   of) the criterion stays the smooth function its gradient is of;
// - AGQ with k points per dimension: u = u_g + L_g^-T z, z on the product rule of
//   k-point Gauss-Hermite nodes for the standard normal; k = 1 is Laplace.
//
// Determinism: groups are evaluated in chunks of the shared chunk plan and their
// contributions merged in group order, so results are bit-identical for any number of
// threads.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "lmm/glmm/family.hpp"
#include "lmm/prepare/theta.hpp"

namespace qk::glmm {

// The rows of a model, sorted by group (stably: rows of one group keep their order).
struct Rows {
  std::uint64_t n = 0, p = 0, q = 0, m = 0;
  Family family{};
  std::vector<std::uint64_t> start;   // m + 1 offsets into the sorted rows
  std::vector<std::uint64_t> order;   // order[k]: the caller's index of sorted row k
  std::vector<double> y, w, offset;   // per sorted row (offset zero when none)
  std::vector<double> x;              // n x p, row-major
  std::vector<double> z;              // n x q, row-major
  std::vector<double> zx;             // n x family.zi_columns: the zero-inflation's design
  double constant = 0.0;              // -2 * sum of loglik_constant over rows
  std::uint64_t max_rows = 0;         // rows of the largest group
  ThetaIndex idx;                     // theta's entries of Lambda
  std::vector<std::uint64_t> blocks;  // term sizes (sum q)
};

// The family's parameters beside theta and the p fixed effects: log(phi) for a family
// with phi, Tweedie's s (power 1 + plogis(s)), then the logit of the zero-inflation (or
// hurdle) probability of an inflated one. Every beta below has p + n_extra entries, in
// this order after the fixed effects.
inline std::uint64_t n_extra(const Family& f) {
  return (f.def->dispersion ? 1 : 0) + (f.def->power ? 1 : 0) + (f.inflated ? f.zi_columns : 0);
}
inline std::uint64_t n_extra(const Rows& rows) { return n_extra(rows.family); }
// The family at the parameters of a vector beta laid out so.
inline Family at_params(Family f, const double* beta, std::uint64_t p) {
  if (f.def->dispersion) f.phi = std::exp(beta[p++]);
  if (f.def->power) f.power = 1.0 + 1.0 / (1.0 + std::exp(-beta[p++]));
  if (f.inflated && f.zi_columns == 1) f.zi = 1.0 / (1.0 + std::exp(-beta[p]));
  return f;
}

// The caller's arrays, unsorted: codes[i] in 0..m-1 is row i's group.
struct RowInput {
  std::uint64_t n, p, q, m;
  const double* y;
  const double* x;  // n x p row-major
  const double* z;  // n x q row-major
  const std::int64_t* codes;
  const double* w;       // prior weights (binomial: trials)
  const double* offset;  // may be null
  // An inflated family's zero-inflation design (n x zi_columns row-major); null: a
  // constant probability (one column of ones).
  const double* zx = nullptr;
  std::uint64_t zi_columns = 1;
};

// Sorts and checks the rows. Throws std::invalid_argument naming the first row (in the
// caller's numbering) whose response or weight lies outside the family's support, a
// code outside 0..m-1, a group without rows, or blocks that do not fit q.
Rows make_rows(const RowInput& in, Family family, const std::vector<std::uint64_t>& blocks);

// The conditional modes and their factors at one (theta, beta).
struct Modes {
  std::vector<double> u;  // m x q
  std::vector<double> l;  // m x q x q: L_g (lower, row-major)
  std::vector<double> eta;  // per sorted row, with the offset
};

// The criterion at (theta, beta) (lambda: q x q row-major from theta). nagq 1 is
// Laplace, nagq > 1 adaptive quadrature with nagq^q nodes per group. Returns false when
// the conditional modes cannot be found (PIRLS diverges, e.g. a group whose responses
// are all at one end of the support with an unbounded mode) or the value is not finite.
// With `grad` (n_theta + p entries, theta's first) and nagq == 1 the exact gradient is
// written too; `modes`, when given, receives the modes. `warm` (m x q, optional, in and
// out): each group's PIRLS starts from its entry where h_g is lower there than at 0,
// and the entries are replaced by the modes found; PIRLS converges to the mode to
// rounding from either start.
bool evaluate(const Rows& rows, const std::vector<double>& lambda, const double* beta, int nagq,
              double& value, double* grad, Modes* modes, std::vector<double>* warm = nullptr);

// nAGQ = 0: PIRLS over (u, beta) jointly at theta, from beta0; then the Laplace value at
// the joint mode. beta receives the joint mode's beta and, when given, rx_inv the
// inverse of beta's curvature there (p x p: (X'WX - sum_g B_g' M_g^-1 B_g)^-1, the
// covariance of beta at fixed theta). False as for evaluate.
// `warm` (optional, in and out): PIRLS starts from these modes (m x q) where they are no
// worse than zero, and they are replaced by the modes found.
bool evaluate_joint(const Rows& rows, const std::vector<double>& lambda, const double* beta0,
                    double& value, double* beta, double* rx_inv, std::vector<double>* warm = nullptr);

// evaluate_joint with the exact gradient of its criterion f(theta, e) = D(theta, beta^,
// e) over theta and the family's parameters e beside beta (grad: n_theta + n_extra
// entries): the joint PIRLS from beta0 (p + n_extra, e last) and the modes in warm (in
// and out, as for evaluate_joint), beta receiving beta^ then e and value D there, D
// the Laplace criterion. beta^ maximises the penalised likelihood, not D,
// so df = dD + (dD/dbeta) dbeta^, with dbeta^ = -H^-1 C by the implicit function
// theorem on the joint system (H, C: the second derivatives of the profiled penalised
// deviance in beta and in (beta, theta or e)); the product is formed as the gradient
// of one more scalar, v'(dpd/dbeta) with v = H^-1 dD/dbeta (an adjoint), in two passes
// over the groups. False where the modes or a factorisation fail.
bool joint_gradient(const Rows& rows, const std::vector<double>& lambda, const double* beta0, double& value,
                    double* beta, double* grad, std::vector<double>& warm);

// The inverse of beta's curvature at fixed theta, (X'WX - sum_g B_g' M_g^-1 B_g)^-1
// (p x p), at (beta, u) with u the m x q spherical effects (Fisher weights). False when
// a factorisation fails.
bool rx_inverse(const Rows& rows, const std::vector<double>& lambda, const double* beta,
                const std::vector<double>& u, double* out);

// Gauss-Hermite rule of k points for the standard normal density (weights sum to 1),
// nodes ascending; by the Golub-Welsch eigenproblem of the Jacobi matrix.
void gauss_hermite(int k, std::vector<double>& nodes, std::vector<double>& weights);

// The fit: nAGQ = 0 over theta, then (for nagq >= 1) the criterion over (theta, beta).
struct FitOptions {
  int nagq = 1;
  std::uint64_t max_iter = 300;
  std::vector<double> theta;  // start (empty: from the nAGQ = 0 stage)
  std::vector<double> beta;   // start (empty: from the nAGQ = 0 stage)
};

struct FitResult {
  std::vector<double> theta, beta, grad, u, b, cond_var, eta, mu;
  std::vector<double> vcov, vcov_rx, hessian;
  double m2loglik = 0.0;
  double grad_inf_norm = 0.0;
  std::uint64_t iterations = 0, fev = 0, fev_stage1 = 0;
  // Seconds from the fit's entry to its optimiser's first point: the joint PIRLS at the
  // first theta, the penalised quasi-likelihood start and the joint PIRLS at the theta
  // it gives, which every nAGQ shares (nAGQ = 0 takes its gradient there too).
  double start_seconds = 0.0;
  bool converged = false;
  bool vcov_from_hessian = false;
  std::string message;
};

FitResult fit(const Rows& rows, const FitOptions& options);

// Lambda (q x q) from theta for these rows' layout.
std::vector<double> lambda_of(const Rows& rows, const std::vector<double>& theta);

}  // namespace qk::glmm
