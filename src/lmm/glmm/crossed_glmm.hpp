// Generalized linear mixed models whose random-effects terms sit on several grouping
// factors, crossed or nested: Laplace's approximation only (a quadrature over the
// product of crossed factors' effects has no per-group structure).
//
// Each PIRLS step is a penalised weighted least-squares problem of the linear mixed
// model's form, with the Fisher weights W and the working response
//   z_r = eta_r - offset_r - [x_r' beta] + (y_r - mu_r) / m1_r
// (Bates et al., J. Stat. Softw. 67(1), 2015, sec. 5): the crossed LMM core solves it by
// its blocked Cholesky factorisation, for u alone at fixed beta (no fixed-effects
// columns) or for (u, beta) jointly (nAGQ = 0). At the mode its log-determinant is
// log|Lambda'Z'WZ Lambda + I|, so the Laplace criterion is
//   -2 sum loglik(mu) + |u|^2 + log|L|^2
// with every constant of loglik, as for one grouping factor.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "lmm/crossed/crossed.hpp"
#include "lmm/glmm/glmm.hpp"
#include "lmm/prepare/theta.hpp"

namespace qk::glmm {

struct CrossedFactor {
  std::vector<std::int64_t> codes;  // per row, 0..m-1
  std::uint64_t m = 0, q = 0;
  std::vector<double> z;            // n x q
  std::vector<std::uint64_t> blocks;
  ThetaIndex idx;
};

// Copies of a model's system patterns that no solve holds at present, for the next to
// take instead of copying the pattern again (a copy of a pattern's products, layout and
// row lists costs more than refilling them, which overwrites every product: a spare
// refilled holds the numbers a fresh copy would). Solves on the pool's threads share
// it, under its lock; the fit empties it when it ends, so no spare outlives a fit.
class SystemSpares {
 public:
  std::unique_ptr<crossed::Design> take(bool joint);  // null when there is none
  void give(std::unique_ptr<crossed::Design> d, bool joint);
  void clear();

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<crossed::Design>> plain_, joint_;
};

struct CrossedModel;

// Empties the model's spares when it goes out of scope: a call of the core (a fit, or
// one evaluation from the binding) holds the systems its solves pass on for its own
// length only.
struct SparesScope {
  const CrossedModel& model;
  ~SparesScope();
};

struct CrossedModel {
  Family family{};
  std::uint64_t n = 0, p = 0;
  std::vector<double> y, w, offset, x;  // x: n x p
  std::vector<CrossedFactor> factors;    // most levels first
  std::vector<std::size_t> theta_offset;  // per factor, n_theta last
  double constant = 0.0;                  // -2 sum of loglik_constant
  std::vector<double> zx;                 // an inflation's covariates: n x family.zi_columns
  // The systems' patterns, set once: a PIRLS step refills their products with its
  // weights and working response (for u alone, and with X for the joint steps), and
  // each row's place among its cross blocks' pairs of levels (per pair of factors).
  std::shared_ptr<const crossed::Design> plain, joint;
  std::shared_ptr<SystemSpares> spares = std::make_shared<SystemSpares>();
  std::vector<std::vector<std::uint64_t>> cross_pos;
  // The rows grouped by what they are summed into, each group in row order: per factor
  // by level (level l's rows are level_rows[j][level_ptr[j][l] .. level_ptr[j][l + 1]]),
  // and per pair of factors by cross position (pair_rows, pair_ptr likewise). A refill
  // sums each level's and each pair's rows in the order of the rows, as one pass over
  // the rows would, on the pool.
  std::vector<std::vector<std::uint64_t>> level_rows, level_ptr, pair_rows, pair_ptr;
};

// Checks as make_rows does (a std::invalid_argument naming the row or factor). zx (n x
// zi_columns, or null): the covariates of an inflated family's zero-inflation, whose
// logit is linear in them row by row (glmmTMB's ziformula).
CrossedModel make_crossed(std::uint64_t n, std::uint64_t p, const double* y, const double* x, const double* w,
                          const double* offset, Family family, std::vector<CrossedFactor> factors,
                          const double* zx = nullptr, std::uint64_t zi_columns = 1);

// What the criterion leaves at the modes.
struct CrossedModes {
  std::vector<std::vector<double>> u;         // per factor m_j x q_j
  std::vector<std::vector<double>> cond_var;  // per factor m_j x q_j x q_j, of b
  std::vector<double> eta;                    // per row, with the offset
  std::vector<double> rx_inv;                 // p x p: beta's covariance at fixed theta
  bool with_rx = true;                        // in: whether rx_inv is wanted (a solve)
};

// The Laplace criterion at (theta, beta); false where PIRLS fails or the value is not
// finite. `modes` (optional) receives the modes, conditional variances and rx_inv;
// `grad` (optional, n_theta + p) the exact gradient. `warm` (optional, in and out):
// PIRLS starts from these modes (one m_j x q_j vector per factor; zeros when it does not
// hold them) and they are replaced by the modes found; with `at_mode` they are the
// modes already (see pirls).
bool crossed_evaluate(const CrossedModel& model, const std::vector<double>& theta, const double* beta, double& value,
                      CrossedModes* modes, double* grad, std::vector<std::vector<double>>* warm = nullptr,
                      bool at_mode = false);

// nAGQ = 0: PIRLS over (u, beta) jointly from beta0, then the Laplace value there.
// `warm` (optional, in and out) as for crossed_evaluate: the joint PIRLS starts from
// these modes, and they are replaced by the modes found.
bool crossed_joint(const CrossedModel& model, const std::vector<double>& theta, const double* beta0, double& value,
                   double* beta, double* rx_inv, std::vector<std::vector<double>>* warm = nullptr);

// crossed_joint with the exact gradient of its criterion over theta and the family's
// parameters beside beta (grad: n_theta + n_extra entries), as joint_gradient for one
// factor. The joint PIRLS starts from beta0 and the modes in warm (in and out, as for
// crossed_evaluate); rx_inv (optional) receives crossed_joint's.
bool crossed_joint_gradient(const CrossedModel& model, const std::vector<double>& theta, const double* beta0,
                            double& value, double* beta, double* grad, std::vector<std::vector<double>>& warm,
                            double* rx_inv = nullptr);

// The fit, in the two stages of the one-factor fit (nagq 0 or 1). The result's u, b
// and cond_var concatenate the factors' (each m_j x q_j, in the model's factor order).
FitResult crossed_fit(const CrossedModel& model, const FitOptions& options);

}  // namespace qk::glmm
