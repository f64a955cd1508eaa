// Residual correlation and variance structures within a subject (Pinheiro & Bates,
// Mixed-Effects Models in S and S-PLUS, Springer 2000, ch. 5): the residuals of one
// subject have covariance sigma^2 R, R = D C D, with C a correlation matrix over the
// subject's rows and D = diag(delta) the standard deviations of the variance functions
// relative to sigma (the product of every function's delta). Residuals of different
// subjects are independent.
//
// The parameters eta are unconstrained reals; each kind maps them to its natural
// parameters (below), so the optimiser searches all of R^n. Where a map leaves a
// correlation matrix that is not positive definite (compound symmetry with a negative
// correlation in a large subject), the Cholesky factor fails and the point is
// infeasible, which the optimiser treats as a step too long.
//
// Every function here works on one subject's rows [begin, begin + n) of the design, in
// the order the design keeps them (by time within a subject); sums run in index order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qk {

enum class Correlation : std::uint8_t {
  kIndependent = 0,   // C = I
  kAR1 = 1,           // rho^|t_a - t_b| over whole-number times; rho = tanh(eta)
  kCAR1 = 2,          // phi^|t_a - t_b| over real times; phi = 1 / (1 + exp(-eta))
  kCompound = 3,      // rho between any two rows; rho = tanh(eta)
  kUnstructured = 4,  // C = L L' over visits 0..T-1, row i of L the unit vector of
                      // (eta_i0, ..., eta_i,i-1, 1): T(T-1)/2 parameters
  kExponential = 5,   // (1 - nugget) exp(-d / range) off the diagonal, d the distance
  kGaussian = 6,      // (1 - nugget) exp(-(d / range)^2); range = exp(eta_0), and with
                      // a nugget, nugget = 1 / (1 + exp(-eta_1))
  kToeplitz = 7,      // r_|i - j| over visits, the autocorrelations of the partial ones
                      // tanh(eta_1), ..., tanh(eta_T-1) (Durbin-Levinson: always positive
                      // definite; Barndorff-Nielsen & Schou 1973, J. Multivar. Anal. 3)
  kAnteDependence = 8,  // prod_{k=i}^{j-1} rho_k over visits i < j, rho_k = tanh(eta_k)
                        // the correlation of visits k and k + 1 (first-order ante-dependence)
};

// The kinds over visits 0 .. n_visits - 1 (a correlation per pair of visits, from T x T).
inline bool by_visit(Correlation c) {
  return c == Correlation::kUnstructured || c == Correlation::kToeplitz || c == Correlation::kAnteDependence;
}

enum class VarianceKind : std::uint8_t {
  kIdent = 0,  // delta = exp(eta_s) in stratum s >= 1; stratum 0 is the reference (delta 1)
  kPower = 1,  // delta = |v|^eta
  kExp = 2,    // delta = exp(eta v)
};

struct VarianceFunction {
  VarianceKind kind = VarianceKind::kIdent;
  std::uint32_t n_strata = 0;  // kIdent: the number of strata (at least 2)
  std::vector<double> values;  // per row: the stratum (kIdent, a whole number) or v
  std::size_t n_params() const { return kind == VarianceKind::kIdent ? n_strata - 1 : 1; }
};

struct ResidualStructure {
  Correlation correlation = Correlation::kIndependent;
  std::uint32_t n_visits = 0;  // kinds by visit: visits are coded 0 .. n_visits - 1
  bool nugget = false;         // spatial kinds
  std::uint32_t dims = 0;      // spatial kinds: coordinates per row
  std::vector<double> times;   // per row: the time (AR1, CAR1) or the visit (kinds by visit)
  std::vector<double> coords;  // per row, `dims` coordinates (spatial kinds)
  std::vector<VarianceFunction> variances;

  std::size_t n_correlation_params() const;
  // The correlation's parameters first, then each variance function's in turn.
  std::size_t n_params() const;
};

// The caller-error message for a structure whose per-row data do not fit n rows (sizes,
// non-finite values, strata out of range, a power of a zero covariate), or "".
std::string structure_error(const ResidualStructure& s, std::uint64_t n);

// The structure at one eta, computed once per evaluation so that the subjects' loops
// read it: every row's standard deviation delta, the powers of rho for whole-number
// lags (AR(1)), the unstructured correlation matrix and its factor's rows.
struct ResidualValues {
  const double* eta = nullptr;  // the structure's parameters (the caller keeps them)
  std::vector<double> sd;       // per row
  std::vector<double> powers;   // AR(1): rho^k for k = 0 .. max lag (empty: use pow)
  std::vector<double> c;        // unstructured: C (T x T)
  std::vector<double> l;        // unstructured: L (T x T), C = L L'
  std::vector<double> norms;    // unstructured: the norms of L's raw rows
  std::vector<double> dr;       // Toeplitz: d r_lag / d eta_p ((T) x (T - 1))
  bool finite = true;           // every value above is finite
};

ResidualValues residual_values(const ResidualStructure& s, const double* eta);

// R (n x n, row-major) of the rows [begin, begin + n). False when a value is not
// finite.
bool residual_matrix(const ResidualStructure& s, const ResidualValues& v, std::uint64_t begin, std::uint64_t n,
                     double* r);

// Adds sum_ab H_ab dR_ab / deta_j to grad[j] for every parameter j, H (n x n,
// symmetric) and R = residual_matrix(...) of the same rows. A correlation by visit's
// part is not added: its weights D H D are added into visits (T x T)
// instead, for visit_gradient once every subject has been seen.
void residual_gradient(const ResidualStructure& s, const ResidualValues& v, std::uint64_t begin, std::uint64_t n,
                       const double* h, const double* r, double* grad, double* visits);

// Adds the correlation's gradient of a kind by visit from the weights accumulated by
// residual_gradient (visits, T x T) to grad[0 .. n_correlation_params).
void visit_gradient(const ResidualStructure& s, const ResidualValues& v, const double* visits, double* grad);

// AR(1) and continuous AR(1) have a bidiagonal whitening (Pinheiro & Bates 2000, sec.
// 5.3: their precision is tridiagonal): with a~_j = a_j / delta_j and rho_j the
// correlation of rows j-1 and j, b_1 = a~_1 and b_j = (a~_j - rho_j a~_{j-1}) / s_j,
// s_j = sqrt(1 - rho_j^2), and log det R = 2 sum log delta_j + 2 sum log s_j. A
// subject then costs O(n k) and no n x n matrix is formed.
inline bool banded(const ResidualStructure& s) {
  return s.correlation == Correlation::kAR1 || s.correlation == Correlation::kCAR1;
}

// B = L^-1 A of the rows [begin, begin + n) (A n x k, row-major, into b) and log det R,
// for a banded structure. False when a value is not finite or a correlation is 1.
bool whiten_banded(const ResidualStructure& s, const ResidualValues& v, std::uint64_t begin, std::uint64_t n,
                   const double* a, std::uint64_t k, double* b, double& logdet);

// Adds to grad the derivative of log det R + <C, B'B> in eta for a banded structure,
// given A, B and G = B C (each n x k): sum_j of the derivative of row j of B dotted
// with 2 G_j, and of the log-determinant's terms.
void banded_gradient(const ResidualStructure& s, const ResidualValues& v, std::uint64_t begin, std::uint64_t n,
                     const double* a, const double* b, const double* g, std::uint64_t k, double* grad);

// The natural parameters at eta, in order: the correlation's (rho; phi; the T(T-1)/2
// correlations of the unstructured C below the diagonal, row by row; range and
// nugget), then each variance function's (delta of strata 1.. for kIdent; the power
// or the exponent).
std::vector<double> natural_parameters(const ResidualStructure& s, const std::vector<double>& eta);

}  // namespace qk
