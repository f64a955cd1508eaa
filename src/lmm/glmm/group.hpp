// One group's share of a GLMM's criterion: its conditional mode, its Laplace or
// adaptive-quadrature term and the term's exact gradient (see glmm.hpp for the
// notation). Internal to the GLMM core.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "lmm/glmm/glmm.hpp"

namespace qk::glmm::detail {

// PIRLS's rules, one set for the in-memory groups and the groups of rows read in
// batches. A Newton step no longer than kStepTol in every coordinate of u (which is on
// the N(0, 1) scale) ends the iterations: quadratic convergence has then put the mode
// within rounding of the step's end point. Steps within kNewtonZone are taken whole; a
// warm start whose first Newton step is longer than kFarStart is compared with u = 0.
inline constexpr double kStepTol = 1e-10;
inline constexpr double kNewtonZone = 1e-4;
inline constexpr double kFarStart = 0.5;
inline constexpr int kMaxIter = 200;
inline constexpr int kMaxHalvings = 60;
// A search that finds no decrease ends at u when its direction is this short.
inline constexpr double kSearchEnd = 1e-6;

// Whether PIRLS has converged after taking a whole step of size `big` whose whole
// predecessor had size `prev` (INFINITY where there was none): that step is below
// kStepTol, or the next one is predicted below it. Steps of rate rho = big / prev <= 1/2
// leave at most big * rho / (1 - rho) <= 2 big^2 / prev to go, whether the rate holds
// (Fisher scoring's linear convergence) or falls (Newton's quadratic convergence, whose
// next step is C big^2 with C = big / prev^2, smaller still): so the iterate is within
// kStepTol of the modes, and the system solved there is the modes' to that tolerance.
// This saves the last step's solve, which would move the iterate by rounding only.
inline bool converged_after(double big, double prev) {
  return big <= kStepTol || (std::isfinite(prev) && big <= 0.5 * prev && 2.0 * big * big <= kStepTol * prev);
}

// What one row contributes at eta: the mean, the observed score and curvature of
// loglik in eta (d1, d2), the weight W of the Laplace approximation's curvature (the
// Fisher weight w m1^2 / V, or -d2 where the family asks for the observed information)
// and dW / deta, and a positive weight for Fisher-scoring steps (the Fisher weight, or
// the family's surrogate of it).
struct RowState {
  double mu, d1, d2, weight, dweight, scoring;
};

// The per-row pieces every evaluation of a group's sums is built from, shared by the
// in-memory groups (rows sorted by group) and the kernel of rows read in batches (rows
// in any order), so that both add the same terms in the same way.
// a = Lambda' z of one row (Lambda lower triangular, q x q row-major): a_b = sum_c
// Lambda[c][b] z_c over c >= b.
inline void lambda_t_row(const double* lambda, const double* zr, std::uint64_t q, double* ar) {
  for (std::uint64_t b = 0; b < q; ++b) {
    double s = 0.0;
    for (std::uint64_t c = b; c < q; ++c) s = s + lambda[c * q + b] * zr[c];
    ar[b] = s;
  }
}
// offset + x' beta.
inline double fixed_eta(double offset, const double* xr, const double* beta, std::uint64_t p) {
  double e = offset;
  for (std::uint64_t j = 0; j < p; ++j) e = e + xr[j] * beta[j];
  return e;
}
// e + a' u.
inline double plus_random(double e, const double* ar, const double* u, std::uint64_t q) {
  for (std::uint64_t b = 0; b < q; ++b) e = e + ar[b] * u[b];
  return e;
}
// The lower triangle of m (q x q row-major) plus c a a'.
inline void add_outer_lower(double c, const double* ar, std::uint64_t q, double* m) {
  for (std::uint64_t i = 0; i < q; ++i) {
    const double ci = ar[i] * c;
    for (std::uint64_t j = 0; j <= i; ++j) m[i * q + j] = m[i * q + j] + ci * ar[j];
  }
}
RowState row_state(const Family& f, double y, double eta, double w);

// The derivatives of a row's log-likelihood, of d1 and of the Laplace weight W at the
// row's eta in each of the family's parameters beside beta (n_extra of them: log(phi),
// then the logit of the zero-inflation probability).
struct ExtraDerivs {
  double l, d1, weight;
};
std::array<ExtraDerivs, 2> extra_derivs(const Family& f, double y, double eta, double w);

// Scratch for one group at a time, sized for the largest group. `family` is the rows'
// family at the phi of the point being evaluated (group_prepare sets it).
struct GroupWork {
  std::uint64_t q = 0, p = 0;
  Family family;
  std::vector<double> a;     // rows x q: a_r = Lambda' z_r
  std::vector<double> eta0;  // rows: offset + x_r' beta
  std::vector<double> eta;   // rows: at the current u
  std::vector<RowState> st;  // rows
  std::vector<double> lev;   // rows: the leverages a_r' M^-1 a_r of the gradient
  std::vector<double> zp;    // rows: an inflated family's zero-inflation probability
  std::vector<double> extra; // the gradient's entries beside beta (n_extra)
  std::vector<double> m, l, minv, g, delta, trial, s, t, zw, zd, gm;  // q or q x q
  GroupWork(const Rows& rows);
};

// The family at row r of the prepared group: work.family, its zero-inflation
// probability set to the row's (no copy in the rows' loops, where it is hot).
inline const Family& row_family(GroupWork& work, std::uint64_t r) {
  if (work.family.inflated) work.family.zi = work.zp[r];
  return work.family;
}

// Fills work.a and work.eta0 for group g, its rows' zero-inflation probabilities, and
// work.family's phi from beta: beta holds
// the rows' p fixed effects, then log(phi) for a family with phi (the parameter vector
// of the criterion and its gradient has this layout throughout).
void group_prepare(const Rows& rows, std::uint64_t g, const double* lambda, const double* beta,
                   GroupWork& work);

// The conditional mode of group g from the start in u (q entries, overwritten), by
// Newton steps on h_g with step halving; the prepared work must be for g. On success
// work.eta and work.st hold the rows at the mode and work.l the Cholesky factor of
// A' W A + I there (Fisher weights). False when no step decreases h_g or the
// iterations run out. With `warm`, u holds a nearby point's mode, used when h_g is
// lower there than at 0; else u must be 0.
bool group_mode(const Rows& rows, std::uint64_t g, GroupWork& work, double* u, bool warm = false);

// The group's Laplace term at its mode (after group_mode): -2 sum kernel + |u|^2 +
// log|L|^2, the constants of loglik left out.
double group_laplace(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u);

// Adds the gradient of the group's Laplace term over (theta, beta) to grad (n_theta +
// p entries, theta first, and log(phi)'s last for a family with phi), at the mode
// found by group_mode.
void group_gradient(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u,
                    double* grad);

// The scale S of the quadrature's grid (q x q, lower triangular: S S' = M^-1) from L,
// the Cholesky factor of M at the mode. False where it does not factor.
bool agq_scale(const double* l, std::uint64_t q, double* scale);

// The group's adaptive-quadrature term (constants left out) at its mode, on the
// product rule of the given one-dimensional nodes and log weights.
double group_agq(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u,
                 const std::vector<double>& nodes, const std::vector<double>& log_weights);

// The joint PIRLS of nAGQ = 0 over (u, beta) (joint.cpp), over any source of its
// sums. A pass at (beta, u) gives h = sum_g h_g and, with a store, the Schur
// complement S (p x p, lower), the right-hand side rb, and per group L_g, C_g = L_g^-1
// B_g (q x p) and c_g = L_g^-1 (A_g' d1 - u_g).
struct JointSums {
  std::vector<double> s, rb;
  double h = 0.0;
  bool ok = true;
};
struct JointStore {
  std::vector<double> l, c, r;
};
// h at (beta, u) and, with a store, the step's system under the scoring weights or,
// when `observed`, the observed curvature (the exact Hessian of h over (u, beta)).
using JointPass =
    std::function<JointSums(const double* beta, const std::vector<double>& u, JointStore* store, bool observed)>;
// From beta0 (pe entries: p fixed effects, then the family's parameters, held) and u
// (m x q as given, or 0 where u is of another size); beta and u receive the last
// iterate (beta also on failure). False when a step fails or the iterations run out.
// `mixture`: the family's scoring weights are only a surrogate of its curvature (a
// zero-inflation), so the steps within the Newton zone are Newton's.
// trials, when given, finds the h of the halved steps after a whole step that lowers h
// no further, all in one call: at beta b + s_k db (bt, k x pe, as the loop forms them)
// and u + s_k du for the steps s_k; its h_k are those pass would give one at a time.
using JointTrials = std::function<std::vector<JointSums>(const std::vector<double>& bt, const std::vector<double>& u,
                                                         const std::vector<double>& du,
                                                         const std::vector<double>& steps)>;
bool joint_pirls(std::uint64_t m, std::uint64_t q, std::uint64_t p, std::uint64_t pe, const double* beta0,
                 const JointPass& pass, double* beta, std::vector<double>& u, bool mixture,
                 const JointTrials* trials = nullptr);

// One group's share of the joint PIRLS step (joint.cpp): factors its M (q x q, in
// place, lower), then bg <- L^-1 B (q x p), rg <- L^-1 r and takes bg' rg from rb (p)
// and bg' bg from the Schur complement s (p x p, lower). False where M does not
// factor.
bool schur_share(double* m, std::uint64_t q, std::uint64_t p, double* bg, double* rg, double* s, double* rb);

// nAGQ = 0's gradient from Laplace's over (theta, beta, e) (full) and the adjoint
// term psi over (theta, e) (joint_gradient): grad = full - psi over theta and e, the
// fixed effects' entries of full skipped. False where an entry is not finite.
inline bool joint_difference(const std::vector<double>& full, const std::vector<double>& psi, std::size_t nt,
                             std::uint64_t p, std::uint64_t ne, double* grad) {
  for (std::size_t i = 0; i < nt; ++i) grad[i] = full[i] - psi[i];
  for (std::uint64_t j = 0; j < ne; ++j) grad[nt + j] = full[nt + p + j] - psi[nt + j];
  for (std::size_t i = 0; i < nt + ne; ++i)
    if (!std::isfinite(grad[i])) return false;
  return true;
}

}  // namespace qk::glmm::detail
