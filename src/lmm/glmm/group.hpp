// One group's share of a GLMM's criterion: its conditional mode, its Laplace or
// adaptive-quadrature term and the term's exact gradient (see glmm.hpp for the
// notation). Internal to the GLMM core.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "lmm/glmm/glmm.hpp"

namespace qk::glmm::detail {

// What one row contributes at eta: the mean, the observed score and curvature of
// loglik in eta (d1, d2), the weight W of the Laplace approximation's curvature (the
// Fisher weight w m1^2 / V, or -d2 where the family asks for the observed information)
// and dW / deta, and a positive weight for Fisher-scoring steps (the Fisher weight, or
// the family's surrogate of it).
struct RowState {
  double mu, d1, d2, weight, dweight, scoring;
};
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

// The group's adaptive-quadrature term (constants left out) at its mode, on the
// product rule of the given one-dimensional nodes and log weights.
double group_agq(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u,
                 const std::vector<double>& nodes, const std::vector<double>& log_weights);

}  // namespace qk::glmm::detail
