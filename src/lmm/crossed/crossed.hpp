// Linear mixed models whose random-effects terms sit on K >= 1 grouping factors,
// crossed, nested or partially crossed.
//
// The criterion is the profiled deviance of Bates, Maechler, Bolker and Walker,
// "Fitting Linear Mixed-Effects Models Using lme4", J. Stat. Softw. 67(1), 2015,
// section 3, evaluated by a blocked Cholesky factorisation of the augmented system
//   [Lambda'Z'WZ Lambda + I, Lambda'Z'WX, Lambda'Z'Wy; ., X'WX, X'Wy; ., ., y'Wy]
// as in Bates et al., "Blocked Cholesky factorization for mixed models" (the method of
// MixedModels.jl). Factors come in lme4's order (most levels first). The leading
// factors that gain no fill stay block diagonal with one q_j x q_j block per level:
// the first always, and a later one when every earlier factor is nested in it (each
// of their levels meets one level of it) and is itself block diagonal. The remaining
// factors, X and y form one dense trailing block factored with LAPACK. No matrix over
// the first factor's levels is ever dense and nothing is n x n.
//
// The gradient of the log-determinants is a trace against the inverse of the system on
// the pattern of its factor, from Takahashi's selected inversion (Takahashi, Fagan &
// Chen 1973; Erisman & Tinney 1975); the gradient of the penalised residual sum of
// squares follows from the envelope theorem, at fixed conditional modes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "lmm/evaluate/evaluate.hpp"
#include "lmm/prepare/data.hpp"
#include "lmm/prepare/theta.hpp"
#include "optim/minimize.hpp"

namespace qk::crossed {

// The rows of a model (borrowed, row-major).
struct FactorRows {
  const std::int64_t* codes;
  std::uint64_t m;       // levels
  const double* z;       // n x q
  std::uint64_t q;
};

struct CrossedRows {
  std::uint64_t n = 0, p = 0;
  const double* y = nullptr;
  const double* x = nullptr;  // n x p
  const double* w = nullptr;  // prior weights or null
  std::vector<FactorRows> factors;
};

// The cross-products of two factors i < j: for each pair of levels that occur together,
// in increasing order of key = level_i * m_j + level_j, the block Z_i'W Z_j (q_i x q_j).
struct CrossBlock {
  std::vector<std::uint64_t> keys;
  std::vector<double> values;
};

// Sums over rows: a record that merges by addition (merge()).
struct Products {
  std::uint64_t n = 0, p = 0;
  std::vector<std::uint64_t> m, q;
  std::vector<std::vector<double>> ztz;  // per factor: m_j blocks q_j x q_j
  std::vector<std::vector<double>> ztx;  // per factor: m_j blocks q_j x p
  std::vector<std::vector<double>> zty;  // per factor: m_j blocks q_j
  std::vector<CrossBlock> cross;         // pairs (i, j), i < j, in order (0,1), (0,2), ..., (1,2), ...
  std::vector<double> xtx, xty;          // p x p, p
  double yty = 0.0;
  double log_weights = 0.0;              // sum of log w
  bool weighted = false;
  // The centres X and y were reduced with (Z is never shifted): an exact
  // reparameterisation that keeps large means from costing digits (see Shift).
  // Criterion, theta, slopes and modes are those of the rows as given; beta and
  // Cov(beta) are mapped back when a solution is reported.
  Shift shift;
};

std::size_t pair_index(std::size_t i, std::size_t j, std::size_t k);

// Products of the rows, reduced over the pool's chunk plan: the same bits for any
// number of threads. Returns the error text for a code out of range or a weight that is
// not finite and positive.
std::variant<Products, std::string> products_of(const CrossedRows& rows);
// The same with a given shift (every batch of one model shares its shift, so that their
// products add): also refused when the shift is not p wide or its constant column does
// not hold its value in every row.
std::variant<Products, std::string> products_of(const CrossedRows& rows, const Shift& shift);

// Why products cannot be those of any rows, or nothing: sizes that disagree with n, p,
// m and q; cross keys out of range or not strictly increasing; values that are not
// finite; a shift that is not p wide or names no column; a weights' constant that is
// not finite, or not zero without weights. A level without rows is allowed here (its
// blocks are zero); the caller removes such levels.
std::optional<std::string> check_products(const Products& pr);

// a <- a + b (b's layout must be a's).
void merge(Products& a, const Products& b);

// The storage chosen for the factorisation, from the products' pattern alone.
struct Layout {
  std::size_t k = 0;                     // factors
  std::size_t diagonal = 0;              // leading factors stored block diagonal
  std::vector<std::uint64_t> offset;     // of each factor's rows in Z; offset[k] = Q
  // Rows (global indices in [Z X y]) of the off-diagonal part of each block-diagonal
  // column (factor i, level l): col_ptr[i][l] .. col_ptr[i][l + 1] in rows[i].
  std::vector<std::vector<std::uint64_t>> col_ptr;
  std::vector<std::vector<std::uint64_t>> rows;
  std::uint64_t dense_z = 0;             // rows of the dense factors
  // Where each cross pair (i, j) with i block diagonal sits in rows[i] (its first row).
  std::vector<std::vector<std::uint64_t>> cross_pos;
  // The block-diagonal columns' entries in the dense block, by dense row (the dense
  // factors' rows, then X and y): for row a, the entries tr_ptr[a] .. tr_ptr[a + 1],
  // in the order of the columns, each its factor, its position in rows[factor] and the
  // position of its column's first dense row.
  std::vector<std::uint64_t> tr_ptr, tr_pos, tr_first;
  std::vector<std::uint32_t> tr_factor;
  // rows[i][s] - offset[diagonal] for the rows of the dense block (its rows are far
  // fewer than 2^32, being held as a square), 0 for the others: the dense updates'
  // indices at half the width.
  std::vector<std::vector<std::uint32_t>> dense_at;
};

Layout layout_of(const Products& pr);

struct Design {
  Products pr;
  Layout layout;
  std::vector<std::vector<std::uint64_t>> blocks;  // per factor: its terms' sizes
  std::vector<ThetaIndex> tidx;                     // per factor
  std::vector<std::size_t> theta_offset;            // per factor, and n_theta last
  LmmData shell;                                    // n, p and weights, for profile()
};

// The design from its products and each factor's terms (checked: positive, summing to
// q_j); the error text otherwise.
std::variant<std::unique_ptr<Design>, std::string> make_design(Products pr,
                                                               std::vector<std::vector<std::uint64_t>> blocks);

struct Solution {
  Evaluation ev;                       // deviance, parts, gradient (mode >= 1), beta
  std::vector<std::vector<double>> u;  // per factor m_j x q_j (mode 2)
  std::vector<std::vector<double>> cond_var;  // per factor m_j x q_j x q_j, Lambda (A_ZZ)^-1 Lambda' (mode 2)
};

// The criterion at theta (mode 0), with its gradient (1), or with the solution (2),
// whose conditional variances (a selected inversion of their own) only with cond_var,
// and whose gradient is taken from known_gradient when that is given (the optimiser's
// at its optimum). Absent for an infeasible theta.
std::optional<Solution> evaluate(const Design& d, const std::vector<double>& theta, bool reml, Mode mode,
                                 bool cond_var = true, const std::vector<double>* known_gradient = nullptr);

std::vector<double> default_theta(const Design& d);
// A start for the joint fit: each factor's optimum in the model with that factor alone
// (diagonal entries at least 0.1), or the identity where its criterion is lower.
std::vector<double> start_theta(const Design& d, bool reml);
// The same start with a model of the criterion's inverse Hessian there, for the
// minimiser's h0 (nθ x nθ, row-major, block diagonal by factor; empty where a
// factor's run gave none, or where the identity start was taken).
struct Start {
  std::vector<double> theta, inverse_hessian;
};
Start start_of(const Design& d, bool reml);
std::vector<double> lower_bounds(const Design& d);
std::vector<SignGroup> sign_groups(const Design& d);
// Lambda_j (q_j x q_j, row-major) from theta.
std::vector<double> lambda_of(const Design& d, const std::vector<double>& theta, std::size_t j);

// The minimiser's run. With `solution`, also the solution at the returned theta (its
// conditional variances only with cond_var; absent if that theta is infeasible), from
// the run's gradient there and, when the run's last factor is of that theta, from it.
OptimResult fit(const Design& d, const std::vector<double>& starts, bool reml, const MinimizeOptions& opt,
                std::optional<Solution>* solution = nullptr, bool cond_var = true);

// New rows for a prediction (borrowed, row-major): x0 (r x p) and, per factor, the
// row's level (-1 for a level the model has not seen) and z0 (r x q_j).
struct PredictionRows {
  std::uint64_t r = 0;
  const double* x = nullptr;
  std::vector<const std::int64_t*> levels;
  std::vector<const double*> z;
};

// ||L^-1 v||^2 for each row, L L' = A the system [Lambda'Z'WZ Lambda + I, Lambda'Z'WX;
// X'WZ Lambda, X'WX] at theta and v = [Lambda_j'z0_j at the row's level of each factor
// j (nothing for a new level); x0]. Since sigma^2 A^-1 is the covariance of the
// prediction errors of (u, beta) (Henderson's mixed-model equations), sigma^2 times
// this is Var(x0'(beta^ - beta) + sum_j z0_j'(b^_j - b_j)). Levels must lie in
// [-1, m_j). Absent for an infeasible theta.
std::optional<std::vector<double>> prediction_variance(const Design& d, const std::vector<double>& theta, bool reml,
                                                       const PredictionRows& rows);

}  // namespace qk::crossed
