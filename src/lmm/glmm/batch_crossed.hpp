// A GLMM whose random-effects terms sit on several grouping factors (crossed or
// nested), fitted from rows read in batches, never held whole, by Laplace's
// approximation exactly as the in-memory crossed fit (crossed_glmm.hpp) fits them.
//
// The in-memory crossed PIRLS solves one sparse penalised weighted least-squares system
// per step over every factor's levels at once; its products (per level Z_j'WZ_j,
// Z_j'WX, Z_j'Wz, per pair of factors the cross blocks Z_i'WZ_j keyed by the pairs of
// levels that occur together, and X'WX, X'Wz) are sums over rows. A pass over the
// batches adds each row's terms to them (crossed_detail's per-row math: row_state,
// the working response, loglik_smooth), in the order of the rows, so the products are
// those the in-memory refill takes, to the bit; the client keeps beta and the modes
// of every level, factors the system by the crossed LMM core and takes PIRLS's step by
// the in-memory rules (crossed_detail.hpp's constants). One pass per PIRLS step: the
// pass that evaluates a trial point's objective also takes the products there, which
// the next step solves when the point is taken. The exact gradient takes two more
// passes (the leverages with the second solve's right-hand side, which the point's own
// factor solves, or its whole system where the observed curvature weighs it; then the
// row sums).
//
// The rows reach the kernel as batch.hpp's Batch with k factors, by factor: codes holds
// k arrays of n codes (factor j's at codes + j n) and z k blocks (factor j's n x q_j,
// row-major, at z + n column_j), so that each factor's codes and columns are the
// contiguous arrays the crossed core's leverages read.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "lmm/crossed/crossed.hpp"
#include "lmm/crossed/factor.hpp"
#include "lmm/glmm/batch.hpp"
#include "lmm/glmm/glmm.hpp"

namespace qk::glmm {

// The model without its rows: its factors in the crossed core's order (most levels
// first), each with its levels, columns and terms.
struct CrossedBatchModel {
  Family family{};
  std::uint64_t p = 0;
  std::vector<std::uint64_t> m, q, column;  // per factor; column: its first column among the Q
  std::vector<std::vector<std::uint64_t>> blocks;
  std::vector<ThetaIndex> idx;
  std::vector<std::size_t> theta_offset;  // per factor, n_theta last
  std::uint64_t width = 0;                // Q
};
CrossedBatchModel make_crossed_batch_model(std::uint64_t p, Family family, const std::vector<std::uint64_t>& m,
                                           const std::vector<std::uint64_t>& q,
                                           const std::vector<std::vector<std::uint64_t>>& blocks);

// How a pass weighs the rows of the system it fills (crossed_detail::pwls's choices).
enum class CrossedWeights : std::uint8_t {
  kScoring,   // Fisher scoring's weights and working response
  kLaplace,   // the Laplace approximation's curvature and Newton's working response
  kPql,       // Fisher's weights and the working response (y - mu) / m1 (the PQL start)
  kSecond,    // the gradient's second solve: curvature cw, response a'M^-1a W' / cw
  // nAGQ = 0's gradient (crossed_joint_gradient): the curvature c = -D2 (Fisher's where
  // `observed` is false), and the response D1 / c (kCurvature: the joint system whose
  // inverse gives beta's covariance) or -2 (x'v) D2 / c (kAdjoint: t's system).
  kCurvature,
  kAdjoint,
};

enum class CrossedPassKind : std::uint8_t {
  kCheck,     // rows checked; each pair of factors' level pairs, levels' row counts
  kValue,     // sum loglik_smooth at the point (and observed_ok, with `curvature`)
  kSystem,    // and the products of the system of `weights`
  kGradient,  // the gradient's row sums, given the leverages' system and t
  kAdjointGradient,  // nAGQ = 0's: theta's and the family parameters' row sums, given v and t
};

// Each row's place among its pairs' keys in the cross blocks (per batch of a pass, in
// the pass's order, and per pair of factors), kept from one pass that fills a system to
// the next: a place is used where the key there is the row's own (so rows that differ
// from the last pass's are looked for again), which saves a search of the block per
// row and lets the rows' places be fetched ahead.
struct CrossedPlaces {
  std::vector<std::vector<std::vector<std::uint32_t>>> at;  // [batch][pair][row]
};

// A pass's inputs. The point: beta (p, then the family's parameters) and u (per factor
// m_j x q_j, spherical) under lambdas (per factor q_j x q_j).
struct CrossedPassInput {
  CrossedPassKind kind = CrossedPassKind::kValue;
  Family fam{};  // at the point's parameters
  const std::vector<std::vector<double>>* lambdas = nullptr;
  const double* beta = nullptr;
  const std::vector<std::vector<double>>* u = nullptr;
  // kSystem.
  CrossedWeights weights = CrossedWeights::kScoring;
  bool joint = false;                   // with X (base: the offset), else u alone (base: offset + X beta)
  // Only the response's sums Z_j'W z (the products' zty, which alone need be sized):
  // the right-hand side of a solve over u by a factor at hand.
  bool rhs_only = false;
  const double* dbeta = nullptr;        // when given: max_r |x_r' dbeta| into step_eta
  bool curvature = false;               // kValue: whether -d2 > 0 in every row too
  // Per pair of factors (i, j), where each level l of factor i has its first key in the
  // pattern's cross block (m_i + 1 entries): a row's pair is looked for among its level's
  // few keys, not the whole block (a search of many cache misses per row, most of a
  // pass where the block has millions of pairs). Null: the whole block.
  const std::vector<std::vector<std::uint64_t>>* cross_start = nullptr;
  // The places kept from earlier passes (null: none), and whether this pass may update
  // them (false for passes that run beside others on the same places).
  CrossedPlaces* places = nullptr;
  bool places_writable = false;
  // kSecond and kGradient: the system at the modes and its factor (the leverages), and
  // whether the curvature is the observed one.
  const crossed::Design* design = nullptr;
  const crossed::Factor* factor = nullptr;
  // Its selected inverse, when the driver made it once for the pass (else each batch
  // makes its own).
  const crossed::LeverageTable* leverage = nullptr;
  bool observed = false;
  // kGradient: the modes' solution u (last.u) and t, per factor (kAdjointGradient: t).
  const std::vector<std::vector<double>>* u_last = nullptr;
  const std::vector<std::vector<double>>* t = nullptr;
  // kAdjoint and kAdjointGradient: v = S^-1 g_beta / 2 (p), beta's direction of the
  // adjoint (see crossed_joint_gradient).
  const double* v = nullptr;
};

struct CrossedPassSums {
  double ll = 0.0;                    // sum loglik_smooth over rows of nonzero weight
  crossed::Products* products = nullptr;  // kSystem: filled (its pattern given)
  double step_eta = 0.0;
  bool observed_ok = true;            // -d2 > 0 in every row of nonzero weight (kSystem; kValue with curvature)
  bool laplace_same = true;           // the Laplace weights are the scoring ones in every row (kSystem)
  bool negative = false;              // a weight below 0 (kSystem)
  bool response = false;              // a nonzero response (kSystem)
  std::vector<double> grad;           // kGradient: n_theta + p + n_extra, less the log-determinant's;
                                      // kAdjointGradient: psi's n_theta + n_extra
  // kCheck.
  double constant = 0.0;              // -2 sum loglik_constant
  std::vector<std::vector<std::uint64_t>> count;            // per factor, per level
  std::vector<std::unordered_set<std::uint64_t>> pairs;     // per pair of factors: level_i * m_j + level_j
  std::uint64_t batches = 0, rows = 0;
};

// Sets the sums to zero for a pass of this kind (the products' values too).
void clear_crossed(const CrossedBatchModel& model, const CrossedPassInput& in, CrossedPassSums& sums);

// Adds one batch's rows. Throws std::invalid_argument naming the batch (0-based in the
// pass) and row for a code outside its factor's levels, a value that is not finite or
// (kCheck) a response outside the family's support.
void add_crossed_batch(const CrossedBatchModel& model, const Batch& batch, const CrossedPassInput& in,
                       CrossedPassSums& sums);

// The system's pattern from a check pass's sums (make_crossed's pattern_of from the
// pairs of levels met): per factor its levels' blocks, per pair of factors its level
// pairs in increasing order of key, with X when with_x; every product zero.
std::unique_ptr<crossed::Design> crossed_pattern(const CrossedBatchModel& model, const CrossedPassSums& check,
                                                 bool with_x);

// The fit over passes (nagq 0 or 1), as crossed_fit in memory: the same start (the joint
// PIRLS, then penalised quasi-likelihood), optimiser and Hessian; no eta or mu. The
// result's u, b and cond_var concatenate the factors'. passes receives the passes made.
FitResult fit_crossed_batches(BatchReader& reader, const CrossedBatchModel& model, const FitOptions& options,
                              std::uint64_t& passes);

// The Laplace criterion of several grouping factors from batches, at one point after
// another (a fit's profiles), as BatchCriterion for one factor: the check pass on the
// first evaluation, each PIRLS from the modes of the one before. theta in the model's
// order of factors.
class CrossedBatchCriterion final : public PointCriterion {
 public:
  CrossedBatchCriterion(BatchReader& reader, const CrossedBatchModel& model);
  ~CrossedBatchCriterion() override;
  CrossedBatchCriterion(const CrossedBatchCriterion&) = delete;
  CrossedBatchCriterion& operator=(const CrossedBatchCriterion&) = delete;
  bool evaluate(const std::vector<double>& theta, const double* beta, double& value, double* grad) override;
  std::uint64_t passes() const override;
  std::size_t n_theta() const override;
  std::size_t n_beta() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qk::glmm
