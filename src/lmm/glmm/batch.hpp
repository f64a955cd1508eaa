// A GLMM with one grouping factor fitted from rows read in batches, never held whole,
// exactly as the in-memory fit (glmm.hpp) fits them.
//
// With one factor each group's conditional mode depends only on (theta, beta) and that
// group's rows, wherever they lie among the batches. The client keeps one mode vector
// per group; a pass over the batches adds each row's pieces (row_state, loglik_smooth:
// the in-memory groups' own per-row math) to its group's sums, and the client takes
// each group's PIRLS step from its sums exactly as group_mode takes it from the
// group's rows: Newton steps on h_g with step halving, whole steps in the Newton zone,
// the same stopping rule. Every group advances on every pass, so an evaluation costs as
// many passes as its slowest group's PIRLS iterations (plus its trial steps); the exact
// gradient needs none of its own: the pass at a group's mode adds the moments that M^-1
// and t = M_o^-1 s, known only after it, are contracted with (GradientMoments), and a
// gradient asked at the point whose value was just found starts from its modes.
//
// Determinism: the kernel adds rows to their group's sums in batch order and, within a
// batch, in row order; global sums likewise within each chunk of groups, the chunks'
// sums added in chunk order at the pass's end. The result is the same bits for any
// split of the same rows into batches in the same order, and for any number of threads
// (a group's sums are those of its rows in the in-memory fit's order, so its modes are
// the in-memory fit's to rounding of the global sums only).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "lmm/glmm/glmm.hpp"

namespace qk::glmm {

// One batch of rows: codes[i] in 0..m-1 is row i's group; offset may be null.
struct Batch {
  std::uint64_t n = 0;
  const double* y = nullptr;
  const double* x = nullptr;  // n x p row-major
  const double* z = nullptr;  // n x q row-major
  const std::int64_t* codes = nullptr;
  const double* w = nullptr;  // prior weights (binomial: trials)
  const double* offset = nullptr;
};

// The model's rows, read batch by batch, in the same order on every call of each.
class BatchReader {
 public:
  virtual ~BatchReader() = default;
  virtual void each(const std::function<void(const Batch&)>& visit) = 0;
};

// The model without its rows. make_batch_model checks the family (a dispersion
// parameter and a constant zero-inflation probability are taken, log(phi) and the
// probability's logit after beta's p entries as in memory; a zero-inflation with
// covariates is not) and the blocks.
struct BatchModel {
  std::uint64_t m = 0, p = 0, q = 0;
  Family family{};
  ThetaIndex idx;
  std::vector<std::uint64_t> blocks;
};
BatchModel make_batch_model(std::uint64_t m, std::uint64_t p, std::uint64_t q, Family family,
                            const std::vector<std::uint64_t>& blocks);

// What a pass computes.
enum class PassKind : std::uint8_t {
  kCheck,     // rows checked; per group its row count, and the loglik constant
  kValue,     // per group: sum loglik_smooth
  kModes,     // and A'd1, the observed, Fisher and scoring curvatures (lower q x q);
              // for a group marked at its mode, the spread's and the gradient's moments
  kJoint,     // per group the scoring curvature, B = A'SX and A'd1; X'SX and X'd1
  kAdjoint,   // nAGQ = 0's gradient: per group s = sum_r -2 (x_r'v) D2_r a_r, given v
  kAdjointGradient,  // and its row sums given v and t = M_o^-1 s: Z'(w + D2 a't), Z'd1
  kNodes,     // per group sum loglik_smooth at each of its quadrature points
  kTrials,    // per group sum loglik_smooth at each of the joint PIRLS's halved steps
};

// A pass's inputs: the point, each group's u (m x q) and, per kind, t (m x q). Groups
// whose active entry is 0 are skipped (empty: all active); 2 marks a group whose u is
// its mode (kModes adds its spread's and its gradient's moments).
struct PassInput {
  PassKind kind = PassKind::kValue;
  const double* lambda = nullptr;
  const double* beta = nullptr;
  const double* u = nullptr;
  const double* t = nullptr;
  const std::uint8_t* active = nullptr;
  // kJoint: the observed curvature -D2 in place of the scoring weights (the exact
  // Hessian of h over (u, beta)).
  bool observed = false;
  const double* v = nullptr;       // p: kAdjoint, kAdjointGradient
  const double* points = nullptr;  // m x nodes x q: kNodes's values of u; kTrials's betas
  std::uint64_t nodes = 0;         // and their number
  const double* du = nullptr;      // m x q, kTrials: the points u + steps[k] du
  const double* steps = nullptr;   // nodes
};

// The exact gradient's moments of a group at its mode, laid out in a block of size()
// doubles per group. The gradient's row weight omega_r = W'_r c_r + D2_r a_r't - 2 d1_r,
// with the leverage c_r = a_r' M^-1 a_r, is linear in M^-1 and t, both known only once
// the pass at the mode has been made: its sums against z_r and x_r, and the family
// parameters' terms, are these moments contracted with them (group_gradient's formula).
struct GradientMoments {
  std::uint64_t q = 0, p = 0, ne = 0;
  explicit GradientMoments(const BatchModel& model);
  std::uint64_t zd() const { return 0; }                    // q: sum d1 z
  std::uint64_t gm() const { return q; }                    // q x q: sum W a z'
  std::uint64_t wz() const { return q + q * q; }            // q x q x q: sum W' a_j a_k z
  std::uint64_t dz() const { return wz() + q * q * q; }     // q x q: sum D2 a_j z
  std::uint64_t d1x() const { return dz() + q * q; }        // p: sum d1 x
  std::uint64_t wx() const { return d1x() + p; }            // q x q x p: sum W' a_j a_k x
  std::uint64_t dx() const { return wx() + q * q * p; }     // q x p: sum D2 a_j x
  // Per family parameter e: sum -2 l_e, then q x q sum W_e a_j a_k, then q sum d1_e a_j.
  std::uint64_t extra(std::uint64_t e) const { return dx() + q * p + e * (1 + q * q + q); }
  std::uint64_t size() const { return extra(ne); }
};

// A pass's sums (sized by clear for the pass).
struct PassSums {
  std::vector<double> ll;           // m
  std::vector<double> d1;           // m x q: A' d1
  std::vector<double> mo, mf, ms;   // m x q x q: observed, Fisher, scoring curvatures
  // m x q x q x q, kModes at a group's mode: T_ijk = sum_r W'_r a_ri a_rj a_rk, whence
  // the gradient's s_i = sum_jk (M^-1)_jk T_ijk
  std::vector<double> tm;
  // m x GradientMoments::size(), kModes at a group's mode
  std::vector<double> gmom;
  std::vector<double> s, zw, zd;    // m x q
  std::vector<double> bx;           // m x q x p: A' S X
  std::vector<double> xsx, xd1;     // p x p (lower), p
  std::vector<std::uint64_t> count; // m: rows
  std::vector<double> gb;           // kAdjointGradient: the gradient's n_extra entries
  std::vector<double> at_nodes;     // m x nodes: kNodes's and kTrials's sums
  double constant = 0.0;            // -2 sum of loglik_constant
  std::uint64_t batches = 0, rows = 0;
  // The chunks' partial global sums (gb, xsx, xd1) of the batches added so far, where
  // add_batch cuts the groups into several chunks.
  std::vector<double> parts;
  // add_batch's copy of a batch's rows gathered by chunk, kept for the next batch's:
  // storage, not sums (never cleared, and a copy of the sums starts without it).
  struct Gathered {
    std::vector<double> values;
    std::vector<std::int64_t> codes;
    Gathered() = default;
    Gathered(const Gathered&) {}
    Gathered& operator=(const Gathered&) { return *this; }
    Gathered(Gathered&&) noexcept = default;
    Gathered& operator=(Gathered&&) noexcept = default;
  } gathered;
  // Sized for in's kind (and nodes); tm and gmom only where in marks a group at its mode.
  void clear(const BatchModel& model, const PassInput& in);
  // Adds the partial global sums into gb, xsx and xd1, in chunk order, and empties
  // them: called once the pass's last batch is added (before its sums are read or
  // merged with others'); a no-op when there are none.
  void settle();
};

// Adds one batch's rows to the sums; the pass's global sums are complete only after
// settle(). Throws std::invalid_argument naming the batch (its 0-based number in the
// pass) and row for a code outside 0..m-1, a value that is not finite, or (kCheck) a
// response outside the family's support. The groups are cut into chunks by the shared
// chunk plan (their inputs and sums in cache) that run on the pool.
void add_batch(const BatchModel& model, const Batch& batch, const PassInput& in, PassSums& sums);

// How a pass's rows reach its sums. run adds the pass's sums over every row of the
// model into sums, which the driver has cleared for in.kind (d1 holding -u for kModes
// and kJoint), settled (PassSums::settle) when it returns; for a given source it must
// add the same values in the same order at every call of a kind, or the fit is not
// reproducible. Where the rows are elsewhere (the workers of a cluster), a runner adds
// the merge of their sums.
class PassRunner {
 public:
  virtual ~PassRunner() = default;
  virtual void run(const PassInput& in, PassSums& sums) = 0;
  // The passes of several points at once, as one pass over the rows (one read of the
  // batches here, one job of a cluster): sums[k] receives what run(*ins[k], *sums[k])
  // would, to the bit, with run's contract. By default one run after another.
  virtual void run_together(const std::vector<const PassInput*>& ins, const std::vector<PassSums*>& sums) {
    for (std::size_t k = 0; k < ins.size(); ++k) run(*ins[k], *sums[k]);
  }
};

// The runner of rows read here: every batch of the reader through add_batch; passes
// run together read the batches once, each batch's kernels of the points on the pool.
class ReaderRunner final : public PassRunner {
 public:
  ReaderRunner(BatchReader& reader, const BatchModel& model) : reader_(reader), model_(model) {}
  void run(const PassInput& in, PassSums& sums) override {
    reader_.each([&](const Batch& b) { add_batch(model_, b, in, sums); });
    sums.settle();
  }
  void run_together(const std::vector<const PassInput*>& ins, const std::vector<PassSums*>& sums) override;

 private:
  BatchReader& reader_;
  const BatchModel& model_;
};

// The fit over passes, as fit() in memory: the same two stages, start, optimiser and
// Hessian; no eta or mu (the rows are not kept). passes receives the passes made.
FitResult fit_batches(PassRunner& runner, const BatchModel& model, const FitOptions& options,
                      std::uint64_t& passes);
// The fit of the reader's rows (through a ReaderRunner).
FitResult fit_batches(BatchReader& reader, const BatchModel& model, const FitOptions& options,
                      std::uint64_t& passes);

// The Laplace criterion from batches at one point after another, for a fit's profiles:
// the rows are checked on the first evaluation, and each evaluation's PIRLS starts from
// the modes of the one before, as the fit's do. evaluate returns the criterion (-2 log
// likelihood) and, when grad is not null, its exact gradient over (theta, beta)
// (n_theta + n_beta entries: beta holds p fixed effects and n_extra family
// parameters); false where PIRLS fails. The reader must outlive it.
class PointCriterion {
 public:
  virtual ~PointCriterion() = default;
  virtual bool evaluate(const std::vector<double>& theta, const double* beta, double& value, double* grad) = 0;
  virtual std::uint64_t passes() const = 0;
  virtual std::size_t n_theta() const = 0;
  virtual std::size_t n_beta() const = 0;
};

// One grouping factor's: its passes read the reader's rows here, or are the runner's
// (which must run them for this model, and outlive it).
class BatchCriterion final : public PointCriterion {
 public:
  BatchCriterion(BatchReader& reader, const BatchModel& model);
  BatchCriterion(PassRunner& runner, const BatchModel& model);
  ~BatchCriterion() override;
  BatchCriterion(const BatchCriterion&) = delete;
  BatchCriterion& operator=(const BatchCriterion&) = delete;
  bool evaluate(const std::vector<double>& theta, const double* beta, double& value, double* grad) override;
  std::uint64_t passes() const override;
  std::size_t n_theta() const override;
  std::size_t n_beta() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qk::glmm
