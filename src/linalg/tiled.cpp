// Tiled Cholesky factorisation and Cholesky inverse on the worker pool.
//
// The matrix is cut into square tiles of a fixed size (kTile; the last row and column
// of tiles hold the rest), and each step computes every tile of one row or column of
// tiles with single-threaded OpenBLAS calls, the tiles spread over the pool (tile
// algorithms after Buttari, Langou, Kurzak & Dongarra, "A class of parallel tiled
// linear algebra algorithms for multicore architectures", Parallel Computing 35, 2009;
// here each tile's update is one product over all the tiles it depends on, which
// keeps OpenBLAS's kernels at full length). A tile's result comes from the same calls
// on the same operands whatever thread runs it, and the tiling depends on n alone, so
// the bits are the same for any number of threads.
//
// Storage: row-major lower triangle = column-major upper triangle. The code below
// speaks column-major throughout: A = U'U with U upper, tile (I, J) at a + I b + J b ld.
#include <cblas.h>

#include <vector>

#include "linalg/lapack.hpp"
#include "linalg/tiled.hpp"
#include "pool/pool.hpp"

extern "C" {
void scipy_dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t);
void scipy_dtrtri_(const char* uplo, const char* diag, const int* n, double* a, const int* lda, int* info,
                   std::size_t, std::size_t);
void scipy_dlauum_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t);
}

namespace qk::lapack {
namespace {

int as_int(std::size_t v) { return static_cast<int>(v); }

struct Tiles {
  double* a;
  std::size_t n, ld, count;
  double* at(std::size_t i, std::size_t j) const { return a + i * kTile + j * kTile * ld; }
  int size(std::size_t i) const { return as_int(i + 1 < count ? kTile : n - i * kTile); }
};

Tiles tiles_of(double* a, std::size_t n, std::size_t ld) { return {a, n, ld, (n + kTile - 1) / kTile}; }

}  // namespace

bool tiled_cholesky(double* a, std::size_t n, std::size_t ld) {
  const Tiles t = tiles_of(a, n, ld);
  const int lda = as_int(ld);
  // Row of tiles by row (left-looking): A_kj -= U_{<k,k}' U_{<k,j}, one product over all
  // the rows above per tile, then U_kk = chol(A_kk) and U_kj = U_kk^-T A_kj.
  for (std::size_t k = 0; k < t.count; ++k) {
    const int nk = t.size(k), above = as_int(k * kTile);
    if (k > 0)
      run_tasks(t.count - k, true, [&](std::size_t s) {
        const std::size_t j = k + s;
        if (j == k)
          scipy_cblas_dsyrk(CblasColMajor, CblasUpper, CblasTrans, nk, above, -1.0, t.at(0, k), lda, 1.0,
                            t.at(k, k), lda);
        else
          scipy_cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, nk, t.size(j), above, -1.0, t.at(0, k), lda,
                            t.at(0, j), lda, 1.0, t.at(k, j), lda);
      });
    int info = 0;
    scipy_dpotrf_("U", &nk, t.at(k, k), &lda, &info, 1);
    if (info != 0) return false;
    run_tasks(t.count - k - 1, true, [&](std::size_t s) {
      const std::size_t j = k + 1 + s;
      scipy_cblas_dtrsm(CblasColMajor, CblasLeft, CblasUpper, CblasTrans, CblasNonUnit, nk, t.size(j), 1.0,
                        t.at(k, k), lda, t.at(k, j), lda);
    });
  }
  return true;
}

bool tiled_cholesky_inverse(double* a, std::size_t n, std::size_t ld) {
  const Tiles t = tiles_of(a, n, ld);
  const int lda = as_int(ld);
  // W = U^-1 column of tiles by column: from W U = I, W_ij = -(sum_{l=i}^{j-1} W_il U_lj) U_jj^-1
  // for i < j, which reads W in earlier columns and U in this one (kept in a copy, as
  // the tiles of the column are overwritten by different tasks).
  std::vector<double> copy;
  for (std::size_t j = 0; j < t.count; ++j) {
    const int nj = t.size(j);
    const std::size_t rows = j * kTile;
    copy.resize(rows * static_cast<std::size_t>(nj));
    for (int c = 0; c < nj; ++c)
      for (std::size_t r = 0; r < rows; ++r) copy[r + c * rows] = t.at(0, j)[r + c * ld];
    run_tasks(j, true, [&](std::size_t i) {
      double* out = t.at(i, j);  // holds U_ij
      scipy_cblas_dtrmm(CblasColMajor, CblasLeft, CblasUpper, CblasNoTrans, CblasNonUnit, t.size(i), nj, 1.0,
                        t.at(i, i), lda, out, lda);
      if (i + 1 < j)
        scipy_cblas_dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, t.size(i), nj, as_int((j - i - 1) * kTile), 1.0,
                          t.at(i, i + 1), lda, copy.data() + (i + 1) * kTile, as_int(rows), 1.0, out, lda);
      scipy_cblas_dtrsm(CblasColMajor, CblasRight, CblasUpper, CblasNoTrans, CblasNonUnit, t.size(i), nj, -1.0,
                        t.at(j, j), lda, out, lda);
    });
    int info = 0;
    scipy_dtrtri_("U", "N", &nj, t.at(j, j), &lda, &info, 1, 1);
    if (info != 0) return false;
  }
  // (U'U)^-1 = W W' row of tiles by row: R_ij = sum_{l >= j} W_il W_jl' for i <= j reads
  // row i of W (kept in a copy) and the rows below it, which this pass has not reached.
  for (std::size_t i = 0; i < t.count; ++i) {
    const int ni = t.size(i);
    const std::size_t cols = n - i * kTile;
    copy.resize(static_cast<std::size_t>(ni) * cols);
    for (std::size_t c = 0; c < cols; ++c)
      for (int r = 0; r < ni; ++r) copy[static_cast<std::size_t>(r) + c * ni] = t.at(i, i)[r + c * ld];
    const auto row = [&](std::size_t l) { return copy.data() + (l - i) * kTile * static_cast<std::size_t>(ni); };
    int failed = 0;
    run_tasks(t.count - i, true, [&](std::size_t s) {
      const std::size_t j = i + s;
      double* out = t.at(i, j);  // holds W_ij
      if (j == i) {
        int info = 0;
        scipy_dlauum_("U", &ni, out, &lda, &info, 1);
        if (info != 0) failed = 1;  // only this task writes it
        if (i + 1 < t.count)
          scipy_cblas_dsyrk(CblasColMajor, CblasUpper, CblasNoTrans, ni, as_int(n - (i + 1) * kTile), 1.0, row(i + 1),
                            ni, 1.0, out, lda);
        return;
      }
      scipy_cblas_dtrmm(CblasColMajor, CblasRight, CblasUpper, CblasTrans, CblasNonUnit, ni, t.size(j), 1.0,
                        t.at(j, j), lda, out, lda);
      if (j + 1 < t.count)
        scipy_cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, ni, t.size(j), as_int(n - (j + 1) * kTile), 1.0,
                          row(j + 1), ni, t.at(j, j + 1), lda, 1.0, out, lda);
    });
    if (failed) return false;
  }
  return true;
}

}  // namespace qk::lapack
