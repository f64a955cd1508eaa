// One group's share of a GLMM's criterion: its conditional mode, its Laplace or
// adaptive-quadrature term and the term's exact gradient (see glmm.hpp for the
// notation). Internal to the GLMM core.
#pragma once

#include <cstdint>
#include <vector>

#include "lmm/glmm/glmm.hpp"

namespace qk::glmm::detail {

// What one row contributes at eta: the mean, the observed score and curvature of
// loglik in eta (d1, d2), the Fisher weight W = w m1^2 / V and dW / deta.
struct RowState {
  double mu, d1, d2, weight, dweight;
};
RowState row_state(const Family& f, double y, double eta, double w);

// Scratch for one group at a time, sized for the largest group.
struct GroupWork {
  std::uint64_t q = 0, p = 0;
  std::vector<double> a;     // rows x q: a_r = Lambda' z_r
  std::vector<double> eta0;  // rows: offset + x_r' beta
  std::vector<double> eta;   // rows: at the current u
  std::vector<RowState> st;  // rows
  std::vector<double> m, l, minv, g, delta, trial, s, t, zw, zd, gm;  // q or q x q
  GroupWork(const Rows& rows);
};

// Fills work.a and work.eta0 for group g.
void group_prepare(const Rows& rows, std::uint64_t g, const double* lambda, const double* beta,
                   GroupWork& work);

// The conditional mode of group g from the start in u (q entries, overwritten), by
// Newton steps on h_g with step halving; the prepared work must be for g. On success
// work.eta and work.st hold the rows at the mode and work.l the Cholesky factor of
// A' W A + I there (Fisher weights). False when no step decreases h_g or the
// iterations run out.
bool group_mode(const Rows& rows, std::uint64_t g, GroupWork& work, double* u);

// The group's Laplace term at its mode (after group_mode): -2 sum kernel + |u|^2 +
// log|L|^2, the constants of loglik left out.
double group_laplace(const Rows& rows, std::uint64_t g, const GroupWork& work, const double* u);

// Adds the gradient of the group's Laplace term over (theta, beta) to grad (n_theta +
// p entries, theta first), at the mode found by group_mode.
void group_gradient(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u,
                    double* grad);

// The group's adaptive-quadrature term (constants left out) at its mode, on the
// product rule of the given one-dimensional nodes and log weights.
double group_agq(const Rows& rows, std::uint64_t g, GroupWork& work, const double* u,
                 const std::vector<double>& nodes, const std::vector<double>& log_weights);

}  // namespace qk::glmm::detail
