// Dense kernels on tiny row-major matrices (q x q per group, q x p, p x p).
//
// Every multiply-and-add is a rounded product followed by a rounded sum (the build
// forbids contraction into fused multiply-adds), a pivot is inverted once and then
// multiplied, and every sum runs in a fixed index order, so the kernels give the
// same bits on every run and every thread.
//
// A Cholesky factor L is stored in a full n x n array: lower triangle with the
// diagonal, strict upper triangle exactly zero, diagonal strictly positive.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace qk {

// Left-looking Cholesky factorisation of the lower triangle of A (n x n). Returns
// false as soon as a pivot is not finite and strictly positive (zero of either sign,
// negative, infinite or NaN); A is then unspecified. On success A holds L with a
// zeroed strict upper triangle.
bool cholesky_in_place(double* a, std::size_t n);

// 2 * sum of log(L[i][i]), summed in index order.
double log_det(const double* l, std::size_t n);

// B (n x k) <- L^-1 B.
void forward_solve(const double* l, std::size_t n, double* b, std::size_t k);

// B (n x k) <- L'^-1 B.
void backward_solve(const double* l, std::size_t n, double* b, std::size_t k);

// (L L')^-1 into out (n x n): the identity forward- then backward-solved. Both
// triangles are computed independently; no symmetrisation.
void cholesky_inverse(const double* l, std::size_t n, double* out);
std::vector<double> cholesky_inverse(const double* l, std::size_t n);

// C (r x c) <- A (r x k) B (k x c). Coefficients of A equal to zero (either sign)
// are skipped, so non-finite entries of B met only by zeros never reach C.
void mat_mul(const double* a, const double* b, double* c, std::size_t r, std::size_t k,
             std::size_t cols);

// C (k x c) <- A' B with A r x k and B r x c, skipping zero coefficients of A. Each
// entry of C is summed over the rows of A in ascending order.
void mat_tmul(const double* a, const double* b, double* c, std::size_t r, std::size_t k,
              std::size_t cols);

// Eigen-decomposition of the symmetric n x n matrix A (row-major; only its lower
// triangle is read) by the cyclic Jacobi method (Golub & Van Loan, Matrix
// Computations, 4th ed., sec. 8.5). `values` receives the n eigenvalues in ascending
// order and `vectors` (n x n, row-major) the matching unit eigenvectors as columns.
// Meant for the tiny blocks of an optimiser's curvature check, not for large n.
void symmetric_eigen(const std::vector<double>& a, std::size_t n, std::vector<double>& values,
                     std::vector<double>& vectors);

// C (r x c) <- A (r x k) B' with B c x k: entry (i, j) is the dot product of row i
// of A and row j of B, summed over k in ascending order from 0.0.
void mat_mul_bt(const double* a, const double* b, double* c, std::size_t r, std::size_t k,
                std::size_t cols);

// The factor of one group's random-effects block: T <- A Lambda and L <- the Cholesky
// factor of Lambda' T + I = Lambda' A Lambda + I (all q x q; A symmetric, Lambda
// lower triangular). False when a pivot fails (L is then unspecified); T is kept
// because the gradients reuse it.
bool factor_lambda_block(const double* a, const double* lambda, std::size_t q, double* t, double* l);

// Copies the strict upper triangle of the n x n matrix A into its lower triangle.
inline void mirror_upper(double* a, std::size_t n) {
  for (std::size_t r = 1; r < n; ++r)
    for (std::size_t c = 0; c < r; ++c) a[r * n + c] = a[c * n + r];
}

// A compensated sum: its value is hi + lo.
struct TwoSum {
  double hi = 0.0;
  double lo = 0.0;
  double value() const { return hi + lo; }
};

// Knuth's TwoSum (TAOCP vol. 2, 4.2.2): the rounding error of hi + x is exact and
// carried in lo.
inline void two_sum_add(TwoSum& acc, double x) {
  double s = acc.hi + x;
  double t = s - acc.hi;
  double e = (x - t) + (acc.hi - (s - t));
  acc.hi = s;
  acc.lo = acc.lo + e;
}

// acc <- acc + other, keeping the error of the leading terms.
inline void two_sum_merge(TwoSum& acc, const TwoSum& other) {
  double s = acc.hi + other.hi;
  double t = s - acc.hi;
  double e = (other.hi - t) + (acc.hi - (s - t));
  acc.hi = s;
  acc.lo = (e + acc.lo) + other.lo;
}

// ---- definitions (inline: the evaluators instantiate them with fixed sizes) ----


inline bool cholesky_in_place(double* a, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    double* rj = a + j * n;
    double d = rj[j];
    for (std::size_t k = 0; k < j; ++k) d = d - rj[k] * rj[k];
    // Also rejects NaN, +inf and -0.0, and keeps a positive subnormal.
    if (!(d > 0.0) || !std::isfinite(d)) return false;
    rj[j] = std::sqrt(d);
    if (j + 1 < n) {
      double inv = 1.0 / rj[j];
      for (std::size_t i = j + 1; i < n; ++i) {
        double* ri = a + i * n;
        double s = ri[j];
        for (std::size_t k = 0; k < j; ++k) s = s - ri[k] * rj[k];
        ri[j] = s * inv;
      }
    }
  }
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = r + 1; c < n; ++c) a[r * n + c] = 0.0;
  return true;
}

inline double log_det(const double* l, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s = s + std::log(l[i * n + i]);
  return s + s;
}

inline void forward_solve(const double* l, std::size_t n, double* b, std::size_t k) {
  for (std::size_t r = 0; r < n; ++r) {
    double inv = 1.0 / l[r * n + r];
    for (std::size_t c = 0; c < k; ++c) {
      double s = b[r * k + c];
      for (std::size_t j = 0; j < r; ++j) s = s - l[r * n + j] * b[j * k + c];
      b[r * k + c] = s * inv;
    }
  }
}

inline void backward_solve(const double* l, std::size_t n, double* b, std::size_t k) {
  for (std::size_t r = n; r-- > 0;) {
    double inv = 1.0 / l[r * n + r];
    for (std::size_t c = 0; c < k; ++c) {
      double s = b[r * k + c];
      for (std::size_t j = r + 1; j < n; ++j) s = s - l[j * n + r] * b[j * k + c];
      b[r * k + c] = s * inv;
    }
  }
}

inline void cholesky_inverse(const double* l, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n * n; ++i) out[i] = 0.0;
  for (std::size_t i = 0; i < n; ++i) out[i * n + i] = 1.0;
  forward_solve(l, n, out, n);
  backward_solve(l, n, out, n);
}


inline void mat_mul(const double* a, const double* b, double* c, std::size_t r, std::size_t k,
             std::size_t cols) {
  for (std::size_t i = 0; i < r * cols; ++i) c[i] = 0.0;
  for (std::size_t i = 0; i < r; ++i) {
    double* ci = c + i * cols;
    for (std::size_t l = 0; l < k; ++l) {
      double av = a[i * k + l];
      if (av == 0.0) continue;
      const double* bl = b + l * cols;
      for (std::size_t j = 0; j < cols; ++j) ci[j] = bl[j] * av + ci[j];
    }
  }
}

inline void mat_mul_bt(const double* a, const double* b, double* c, std::size_t r, std::size_t k,
                       std::size_t cols) {
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < cols; ++j) {
      double x = 0.0;
      for (std::size_t l = 0; l < k; ++l) x = x + a[i * k + l] * b[j * k + l];
      c[i * cols + j] = x;
    }
}

inline bool factor_lambda_block(const double* a, const double* lambda, std::size_t q, double* t, double* l) {
  mat_mul(a, lambda, t, q, q, q);
  mat_tmul(lambda, t, l, q, q, q);
  for (std::size_t j = 0; j < q; ++j) l[j * q + j] = l[j * q + j] + 1.0;
  return cholesky_in_place(l, q);
}

inline void mat_tmul(const double* a, const double* b, double* c, std::size_t r, std::size_t k,
              std::size_t cols) {
  for (std::size_t i = 0; i < k * cols; ++i) c[i] = 0.0;
  for (std::size_t i = 0; i < r; ++i) {
    const double* bi = b + i * cols;
    for (std::size_t l = 0; l < k; ++l) {
      double av = a[i * k + l];
      if (av == 0.0) continue;
      double* cl = c + l * cols;
      for (std::size_t j = 0; j < cols; ++j) cl[j] = cl[j] + av * bi[j];
    }
  }
}

}  // namespace qk
