// What the crossed GLMM's files share (crossed_system.cpp, crossed_glmm.cpp,
// crossed_fit.cpp): the penalised weighted least-squares systems solved by the crossed
// LMM core, and PIRLS on them. Internal to the GLMM core.
#pragma once

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "lmm/crossed/crossed.hpp"
#include "lmm/crossed/factor.hpp"
#include "lmm/glmm/crossed_glmm.hpp"
#include "lmm/glmm/group.hpp"
#include "lmm/glmm/stages.hpp"
#include "pool/pool.hpp"

namespace qk::glmm::crossed_detail {

namespace cr = qk::crossed;

// Rows of no trials carry no information; the weighted products need positive weights.
inline constexpr double kTinyWeight = 1e-300;

// PIRLS's rules, one set for the in-memory rows and the rows read in batches
// (batch_crossed.cpp).
inline constexpr int kMaxIter = 200;
inline constexpr int kMaxHalvings = 60;
inline constexpr double kStepTol = 1e-10;
inline constexpr double kNewtonZone = 1e-4;
// Whole steps in the Newton zone that fail to halve the smallest step seen so far,
// after which the iteration is taken to have converged to rounding. The step of an
// ill-conditioned fixed-effects block (an uncentred covariate beside the intercept,
// such as a year of 95 to 97) has a rounding floor of about eps * cond * |beta|,
// which can sit above kStepTol; Newton's quadratic convergence halves the step at
// every iteration until that floor, so a run of steps that do not is the floor.
inline constexpr int kStalledSteps = 4;
// A stalled run also ends the iteration, at a larger step, when the objective did not
// move over it by more than this relative change: Fisher scoring of a non-canonical
// link whose fitted probabilities sit at the link's clamp (near-separation, weights
// of 1e-15) converges only linearly, its step wandering about 1e-5 while the
// penalised deviance is constant to 1e-12; lme4 stops PIRLS on that deviance's
// relative change (tolPwrss, 1e-7).
inline constexpr double kFlatObjective = 1e-10;

using detail::converged_after;  // (group.hpp)
using detail::kFarStart;        // (group.hpp)

struct Solve {
  std::vector<std::vector<double>> u;  // per factor
  std::vector<double> beta;
  double ldl2 = 0.0;
  std::optional<cr::Solution> solution;
  // With the gradient asked for: the system and its factor, kept for what follows.
  std::unique_ptr<cr::Design> design;
  std::optional<cr::Factor> factor;
};

// Factor j's entries of theta.
std::vector<double> theta_part(const CrossedModel& model, const std::vector<double>& theta, std::size_t j);

// u <- Lambda(to)^-1 Lambda(from) u per level of each factor: the spherical modes at
// theta `from` as those at `to` of the same effects b = Lambda u, which move less than u
// when theta does (a start for PIRLS at `to`). Factor j has m[j] levels and q[j]
// effects, its theta entries idx[j] from theta_offset[j]; a factor whose Lambda at `to`
// is singular keeps its u, and u of the wrong shape is left as it is.
void rescale_modes(const std::vector<std::uint64_t>& m, const std::vector<std::uint64_t>& q,
                   const std::vector<ThetaIndex>& idx, const std::vector<std::size_t>& theta_offset,
                   const std::vector<double>& from, const std::vector<double>& to, std::vector<std::vector<double>>& u);

// The PQL start's theta: the linear model of the working response d holds fitted from
// theta0, its theta scaled by its sigma (the GLMM's units); h0 receives that model's
// inverse Hessian over its theta times sigma^2. Empty where the fit fails.
std::vector<double> pql_theta(const cr::Design& d, const std::vector<double>& theta0, std::vector<double>& h0);

// The modes' results of a crossed fit into res: u, b = Lambda u and the conditional
// variances, factor after factor (factor j of m[j] levels and q[j] effects, Lambda
// lambdas[j]), then vcov_rx, and vcov from it where the Hessian gave none (the fixed
// effects' block of both kept).
void put_modes(const std::vector<std::vector<double>>& lambdas, const std::vector<std::uint64_t>& m,
               const std::vector<std::uint64_t>& q, std::uint64_t p, const CrossedModes& modes, FitResult& res);

// The joint PIRLS's criteria of a crossed fit's two stages (Criteria's joint and
// joint_gradient), for the fit in memory and the fit from batches alike. Every joint
// PIRLS after the first starts from the last one's beta and modes (warm0), the modes
// carried to the new theta with the effects b = Lambda u held, which move less than u
// when theta does; PIRLS converges to the same modes to rounding from either start,
// and the criterion's gradient is exact, so no difference quotient sees the rounding.
// Under nAGQ = 0 the stage asks for the value at its start and at its estimate and for
// the gradient at every point of its run, the estimate mostly its last: every joint
// PIRLS after the first therefore finds the gradient too, kept for a call at the same
// point (theta and the family's parameters) that follows.
class JointCriteria {
 public:
  using ModeSet = std::vector<std::vector<double>>;
  // crossed_joint's and crossed_joint_gradient's contracts, the modes in `warm`.
  using Joint = std::function<bool(const std::vector<double>& theta, const double* beta0, double& value,
                                   double* beta, double* rx_inv, ModeSet& warm)>;
  using JointGradient = std::function<bool(const std::vector<double>& theta, const double* beta0, double& value,
                                           double* beta, double* grad, ModeSet& warm, double* rx_inv)>;
  // Factor j of m[j] levels, q[j] effects and theta entries idx[j] from theta_offset[j];
  // beta of p entries and nd family parameters beside them.
  JointCriteria(std::vector<std::uint64_t> m, std::vector<std::uint64_t> q, std::vector<ThetaIndex> idx,
                std::vector<std::size_t> theta_offset, std::uint64_t p, std::uint64_t nd, Joint joint,
                JointGradient joint_gradient);
  // Sets c.joint and c.joint_gradient, which refer to this object.
  void install(Criteria& c, int nagq);
  ModeSet warm0;  // the last joint PIRLS's modes

 private:
  struct Point {
    std::vector<double> theta, extra, beta, rx, grad;
    double f = NAN;
  };
  bool at(const std::vector<double>& th, const double* b0, double& f, double* b, double* rx, std::vector<double>* g);
  bool kept_at(const std::vector<double>& th, const double* b0) const;
  bool keep(const std::vector<double>& th, const double* b0);
  std::vector<std::uint64_t> m_, q_;
  std::vector<ThetaIndex> idx_;
  std::vector<std::size_t> theta_offset_;
  std::uint64_t p_, nd_;
  Joint joint_;
  JointGradient joint_gradient_;
  std::vector<double> beta_last_, theta_last_;
  std::optional<Point> kept_;
  std::vector<double> failed_;  // the last iterate of a joint PIRLS that failed, for a diagnosis
};

// The family at beta's parameters (at_params); where the zero-inflation has covariates,
// zp receives each row's probability and the family points at it (zp must outlive it).
Family family_at(const CrossedModel& model, const double* beta, std::vector<double>& zp);

// The family at row r: its own zero-inflation probability where the rows have theirs.
inline Family row_family(const Family& f, std::uint64_t r) {
  Family g = f;
  g.zi = f.zi_rows[r];
  return g;
}

// Row r's state at eta: its mean, derivatives and weights under the family (with the
// row's own zero-inflation probability where the rows have theirs).
inline detail::RowState state_at(const CrossedModel& model, const Family& fam, double eta, std::uint64_t r) {
  return fam.zi_rows ? detail::row_state(row_family(fam, r), model.y[r], eta, model.w[r])
                     : detail::row_state(fam, model.y[r], eta, model.w[r]);
}

// A row's state (a link's mean, a log or two) in the chunk plan's units of work: a few
// thousand rows' worth goes to the pool.
inline constexpr std::uint64_t kRowStateCost = 48;

// fn(r) for rows 0..n-1, cut into chunks by the shared plan for per-row work `cost`.
// fn writes row r's outputs only (sums over rows are made after, in row order), so
// the result is the serial loop's to the bit for any number of threads.
template <class Fn>
void each_row(std::uint64_t n, std::uint64_t cost, Fn&& fn) {
  for_chunks(plan_chunks(n, cost), [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t r = b; r < e; ++r) fn(r);
  });
}

// The family's parameters beside beta as entries of the gradient: entry j of n_extra
// takes the row's derivative d[slot(j)] times weight(r, j), the zero-inflation's
// coefficients its logit's derivative times the row's covariate (1 for a constant).
struct ExtraEntries {
  std::uint64_t ne = 0, first_zi = 0, pz = 0;
  const double* zx = nullptr;
  ExtraEntries(const CrossedModel& model, const Family& fam);
  std::uint64_t slot(std::uint64_t j) const { return j < first_zi ? j : first_zi; }
  double weight(std::uint64_t r, std::uint64_t j) const {
    return j < first_zi || !zx ? 1.0 : zx[r * pz + (j - first_zi)];
  }
};

// eta <- eta0 + Z Lambda u (u per factor m_j x q_j, spherical).
void linear_predictor(const CrossedModel& model, const std::vector<std::vector<double>>& lambdas,
                      const std::vector<double>& eta0, const std::vector<std::vector<double>>& u,
                      std::vector<double>& eta);

// The products of the rows with weights wt and response resp (with X when joint) into
// pr, whose pattern is the model's: every sum in row order, so the same bits for any
// number of threads. The sum of log weights (the linear model's criterion's, which no
// PIRLS step reads) only with log_weights, else 0.
void refill(const CrossedModel& model, const std::vector<double>& wt, const std::vector<double>& resp, bool joint,
            cr::Products& pr, bool log_weights);

// The pattern of the systems (unit weights; no centring, so the rows are used as
// given), for u alone or with X.
std::shared_ptr<const cr::Design> pattern_of(const CrossedModel& model, bool joint);

// A copy of a pattern whose products a refill overwrites (weighted, as every system of
// a PIRLS step is).
std::unique_ptr<cr::Design> pattern_copy(const cr::Design& pattern);

// A copy of the model's pattern (for u alone or with X) refilled with weights wt and
// response resp (log_weights as refill's: true for a linear model fitted as such).
std::unique_ptr<cr::Design> system_of(const CrossedModel& model, const std::vector<double>& wt,
                                      const std::vector<double>& resp, bool joint, bool log_weights = true);

// Solves the penalised weighted least-squares system of weights wt and response resp
// (with X when joint) at theta by the crossed LMM core. Unless `gradient`, the
// log-determinant's gradient is not computed (a known zero stands in for it), and the
// system is not kept. With `reuse`, a system it holds (of this kind: u alone or with X)
// is refilled instead of copying the pattern, and the system solved is left there
// unless kept in `out` (the numbers are those of a fresh copy: every product is
// overwritten).
bool solve_system(const CrossedModel& model, const std::vector<double>& theta, const std::vector<double>& wt,
                  const std::vector<double>& resp, bool joint, bool cond_var, bool gradient, Solve& out,
                  std::unique_ptr<cr::Design>* reuse = nullptr);

// The system of one PIRLS step at eta under `fam` (the model's family at the point's
// phi): the scoring weights (Fisher's) and the working response less `base` (eta0 =
// offset + X beta for u alone, the offset when joint); with `laplace`, the weights of
// the Laplace approximation's curvature (the observed information where the family asks
// for it) and Newton's working response, whose solution at the modes is the modes.
bool pwls(const CrossedModel& model, const Family& fam, const std::vector<double>& theta, const std::vector<double>& eta,
          const std::vector<double>& base, bool joint, bool cond_var, Solve& out, bool gradient = false,
          std::unique_ptr<cr::Design>* reuse = nullptr, bool laplace = false);

// PIRLS: the modes at (theta, beta) (joint: beta too, from beta in/out), from the modes
// in u when it holds them (one m_j x q_j vector per factor) and the better of those and
// zero; else from zero. On success u holds the modes, eta the linear predictor there
// and `last` the system there (kept, with its log-determinant's gradient, when
// `gradient`). With `at_mode` the caller vouches that u holds the modes already, to
// PIRLS's own tolerance (a joint PIRLS's at its beta, whose u-equations are these
// modes'): no step is taken, and only the system at them is solved.
bool pirls(const CrossedModel& model, const Family& fam, const std::vector<double>& theta, std::vector<double>& beta,
           bool joint,
           bool cond_var, std::vector<std::vector<double>>& u, std::vector<double>& eta, Solve& last,
           bool gradient = false, bool at_mode = false);

// Lambda_j' s_l per level l of each factor j (s per factor m_j x q_j; lambdas lower,
// q_j x q_j): the right-hand side over u of a system whose Z_j'Wz sums are s, in the
// crossed core's factorisation's arithmetic. The in-memory fit and the fit from batches
// both form it so, from sums taken in row order: the same bits.
std::vector<std::vector<double>> lambda_t_levels(const std::vector<std::vector<double>>& s,
                                                 const std::vector<std::vector<double>>& lambdas,
                                                 const std::vector<std::uint64_t>& q);

// lambda_t_levels of the sums Z_j'W z of weights wt and response resp per row, each
// level's rows in row order as refill sums them: the right-hand side of a solve over u
// of that system.
std::vector<std::vector<double>> z_rhs(const CrossedModel& model, const std::vector<std::vector<double>>& lambdas,
                                       const std::vector<double>& wt, const std::vector<double>& resp);

// The rows at a joint point: the linear predictor and their states there, and the
// joint PIRLS's last system with its factor (the caller gives the system back to the
// model's spares).
struct JointRows {
  std::vector<double> eta;
  std::vector<detail::RowState> st;
  std::unique_ptr<cr::Design> design;
  std::optional<cr::Factor> factor;
};

// nAGQ = 0's point at theta: the joint PIRLS over (u, beta) from beta0 and the modes in
// warm (in and out), then the Laplace criterion at its (beta, u) with, when grad is
// given, its gradient over (theta, beta, the family's parameters) as crossed_evaluate
// gives it. Both from the joint PIRLS's last system, whose factor's Z part is the system
// over u alone at the same weights: no system over u is solved at the modes. beta
// receives the point's beta (the family's parameters copied from beta0's), rx_inv
// (optional, p x p) beta's covariance at fixed theta there, `rows` (optional) the rows'
// linear predictor, with grad their states, and the system.
bool joint_point(const CrossedModel& model, const std::vector<double>& theta, const double* beta0, double* beta,
                 double* rx_inv, double& value, double* grad, std::vector<std::vector<double>>& warm,
                 JointRows* rows = nullptr);

// For each entry (a, b) of each factor's Lambda (theta's layout): sum_r (omega_r u_lb +
// d1_r t_lb) z_ra, l row r's level of the factor: a derivative's terms through deta /
// dtheta and through dA'/dtheta d1 (group_gradient's form), into out (n_theta).
void theta_terms(const CrossedModel& model, const std::vector<double>& omega, const std::vector<detail::RowState>& st,
                 const std::vector<std::vector<double>>& u, const std::vector<std::vector<double>>& t, double* out);

}  // namespace qk::glmm::crossed_detail
