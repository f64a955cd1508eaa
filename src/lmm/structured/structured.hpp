// Linear mixed models whose residuals are correlated or of unequal variance within
// subjects (the models of nlme's lme and gls): y = X beta + Z b + e, b ~ N(0, sigma^2
// Lambda Lambda'), e_s ~ N(0, sigma^2 R_s(eta)) for each subject s (residual.hpp).
//
// The criterion is the profiled deviance of Bates et al. (J. Stat. Softw. 67(1), 2015,
// section 3) of the whitened model: with A_s = [Z_s X_s y_s] the subject's rows and
// W_s = A_s' R_s^-1 A_s its whitened products, the products of a random-effects group
// are the sums of its subjects' W_s, and
//   f = ldl2 + log det R + nu (1 + log(2 pi pwrss / nu)) [+ log det S under REML],
// nu = n - p under REML, n under ML; log det R = sum_s log det R_s is the Jacobian of
// the whitening. Each subject lies within one group of the random-effects factor (the
// subject itself or a coarser factor), and every group is a run of whole subjects.
//
// Gradient. With T = diag(Lambda, I_p, 1) and G^_g = T' G_g T the scaled products of a
// group, the criterion is F(G^_1, ...) with Lambda = I, and its derivative in G^_g is
//   C^_g = E_z M_g^-1 E_z' + (nu / pwrss) w_g w_g' [+ P_g S^-1 P_g' under REML],
// M_g = G^_zz + I, w_g = (-u_g, -beta, 1), P_g = (-M_g^-1 G^_zx; I_p; 0): the envelope
// theorem (beta and u are optimal) makes pwrss's derivative the outer product of the
// augmented residual coefficients. Then df/dLambda = 2 sum_g [G_g T C^_g]_zz, and with
// C_g = T C^_g T', the derivative in the structure's parameters is
//   sum_s tr(H_s dR_s / deta),  H_s = R_s^-1 - R_s^-1 A_s C_g A_s' R_s^-1,
// the first term from log det R_s, the second from W_s = A_s' R_s^-1 A_s.
//
// Subjects and groups are cut into chunks by the shared chunk plan; partial sums are
// merged in chunk order, so the bits do not depend on the number of threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lmm/evaluate/evaluate.hpp"
#include "lmm/prepare/theta.hpp"
#include "lmm/structured/residual.hpp"
#include "optim/minimize.hpp"

namespace qk {

struct StructuredData {
  std::uint64_t n = 0, p = 0, q = 0;
  std::vector<double> rows;             // n x (q + p + 1), row-major: z | x | y
  std::vector<std::uint64_t> subjects;  // S + 1 offsets into the rows
  std::vector<std::uint64_t> groups;    // G + 1 offsets into the subjects; {0, S} when q = 0
  ThetaIndex theta_index;               // the free entries of Lambda (empty when q = 0)
  ResidualStructure structure;
  // Without random effects, subjects whose rows have the same times, coordinates and
  // variance covariates share R: each such pattern keeps its first subject and the sum
  // over its subjects of the rows' products by pair of rows, Q[a][b] = sum_s a_sa a_sb'
  // (n_P x n_P blocks of k x k), from which W_P = sum_ab (R^-1)_ab Q[a][b] and the
  // gradient's sum of H_s follow without reading the rows (set_patterns; empty: none).
  std::vector<std::uint64_t> pattern_subject;  // per pattern, its first subject
  std::vector<std::uint64_t> pattern_count;    // per pattern, its number of subjects
  std::vector<std::vector<double>> pattern_products;
  // A design of patterns alone (reduce_patterns, merge_patterns; sufficient statistics
  // of a model without random effects): rows is empty, each subject is one pattern's
  // representative (pattern_subject[i] == i) whose rows hold only the structure's
  // per-row arrays, and n counts the rows the patterns summarise, sum_P count_P n_P.
  bool products_only = false;

  // A structure of its own per group of subjects (a covariance per arm, as mmrm's
  // us(visit | arm / id)): each subject's structure group; the correlation's parameters
  // are repeated per group, the variance functions' shared (a variance per group is
  // one of them). Empty: one structure for every subject.
  std::vector<std::uint32_t> structure_group;
  std::uint32_t n_structure_groups = 1;

  // Random effects on grouping factors that the subjects do not nest in (crossed, as
  // (1 | site) + (1 | rater) beside ar1(visit | patient)): factor f has widths[f]
  // random effects per level, the rows' z columns from sum_{g<f} widths[g] on, and
  // levels[f] levels; row r's level is codes[r * F + f]. Lambda is then Q x Q, Q =
  // sum widths[f] levels[f] (factor f's columns from o_f = sum_{g<f} widths[g]
  // levels[g] on, level by level), block diagonal with factor f's template repeated at
  // every level: theta_index holds the template's entries at the factor's first level.
  // The subjects form one group, and each subject's products are formed on the
  // columns of its own levels and added into the group's (Q + p + 1) square ones.
  // Empty: the random effects of one factor whose groups are runs of whole subjects.
  std::vector<std::uint64_t> factor_widths, factor_levels;
  std::vector<std::uint32_t> factor_codes;

  bool crossed() const { return !factor_widths.empty(); }
  // The order of Lambda: Q with crossed factors, else q.
  std::uint64_t lambda_size() const {
    if (!crossed()) return q;
    std::uint64_t total = 0;
    for (std::size_t f = 0; f < factor_widths.size(); ++f) total += factor_widths[f] * factor_levels[f];
    return total;
  }
  std::uint64_t k() const { return q + p + 1; }
  std::size_t n_theta() const { return theta_index.size(); }
  // The structure's parameters: each group's correlation's, then the variance functions'.
  std::size_t n_eta() const {
    const std::size_t nc = structure.n_correlation_params();
    return nc * n_structure_groups + structure.n_params() - nc;
  }
  // theta's entries, then the structure's eta.
  std::size_t n_params() const { return n_theta() + n_eta(); }
  std::uint32_t group_of(std::uint64_t subject) const {
    return structure_group.empty() ? 0 : structure_group[subject];
  }
  // The parameters of group g's structure (its correlation's, the variance functions'),
  // laid out as residual.hpp's functions take them, from the model's eta.
  std::vector<double> group_eta(const double* eta, std::uint32_t g) const {
    const std::size_t nc = structure.n_correlation_params(), nv = structure.n_params() - nc;
    std::vector<double> out(eta + g * nc, eta + (g + 1) * nc);
    out.insert(out.end(), eta + nc * n_structure_groups, eta + nc * n_structure_groups + nv);
    return out;
  }
};

// The caller-error message for a design whose arrays do not fit together (sizes,
// offsets, non-finite values, a time repeated within a subject), or "". `rows`: the
// n x k rows, read in place of d.rows (then empty) by reduce_patterns.
std::string structured_error(const StructuredData& d, const double* rows = nullptr);

// Groups the subjects of a design without random effects and with a dense structure
// into patterns (see StructuredData) when that leaves fewer pattern rows than half the
// rows; otherwise leaves the design without patterns.
void set_patterns(StructuredData& d);

// The patterns of a design without random effects, as a design of patterns alone
// (products_only), every structure kind: patterns in order of their first subject,
// each one's products summed over its subjects in subject order. `subject_pattern`
// (when given) receives each subject's pattern; `rows` (when given) are the n x k rows,
// read in place of d.rows, which a batch reduced once need not copy.
StructuredData reduce_patterns(const StructuredData& d, std::vector<std::uint64_t>* subject_pattern = nullptr,
                               const double* rows = nullptr);

// The caller-error message for two designs of patterns that cannot be merged (not
// both of patterns alone, other columns, another structure), or "".
std::string patterns_merge_error(const StructuredData& a, const StructuredData& b);

// Merges b's patterns into a's by key (the times, coordinates, variance values and
// structure group of the representative's rows): a pattern a has takes count a + b
// and products a + b, element by element; b's other patterns follow a's in b's order.
// A fixed order of merges thus gives fixed bits. Returns the place in a of each of b's
// patterns.
std::vector<std::uint64_t> merge_patterns(StructuredData& a, const StructuredData& b);

struct StructuredEvaluation {
  double deviance = 0.0;
  double pwrss = 0.0;
  double sigma2 = 0.0;
  double ldl2 = 0.0;
  double ldrx2 = 0.0;  // log det S; counted in the deviance under REML only
  double logdet_r = 0.0;
  std::vector<double> gradient;       // n_params (mode >= 1)
  std::vector<double> beta;           // p
  std::vector<double> u;              // G x q spherical random effects (mode 2)
  std::vector<double> cond_cov;       // G x q x q, Lambda M_g^-1 Lambda' (mode 2): Cov(b_g | y) / sigma^2
  std::vector<double> fixed_inverse;  // p x p, S^-1 (mode 2)
};

// The criterion at params (theta's entries, then eta); nothing when the point is
// infeasible (a factor that fails, a pwrss that is not positive and finite).
std::optional<StructuredEvaluation> evaluate_structured(const StructuredData& d, const std::vector<double>& params,
                                                        bool reml, Mode mode);

// The structure's natural parameters (residual.hpp) at eta: each group's correlation's,
// then the variance functions'.
std::vector<double> structured_natural(const StructuredData& d, const double* eta);

// Minimises the criterion from `start` (theta's entries, then eta), Lambda's columns
// as sign groups.
OptimResult fit_structured(const StructuredData& d, const std::vector<double>& start, bool reml,
                           const MinimizeOptions& options);

}  // namespace qk
