// Tiled Cholesky factorisation and Cholesky inverse on the worker pool.
//
// The matrix is cut into square tiles of an edge fixed by n alone (tile_count; the
// last row and column of tiles hold the rest), and each tile is computed by a task of a graph (pool/graph)
// with single-threaded OpenBLAS calls, as soon as the tiles it reads are final (tile
// algorithms after Buttari, Langou, Kurzak & Dongarra, "A class of parallel tiled
// linear algebra algorithms for multicore architectures", Parallel Computing 35, 2009;
// here a tile's update is one product over all the tiles it depends on but the last,
// then one over the last, which keeps OpenBLAS's kernels long and the path from one
// tile to the next short). Solves with a diagonal tile are products with its inverse
// (dtrmm runs at twice dtrsm's speed on a tile). A tile's result comes from the same
// calls on the same operands whatever thread runs it, and the tiling depends on n
// alone, so the bits are the same for any number of threads.
//
// Storage: row-major lower triangle = column-major upper triangle. The code below
// speaks column-major throughout: A = U'U with U upper, tile (I, J) at a + I b + J b ld.
#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

#include "linalg/blas_call.hpp"
#include "linalg/lapack.hpp"
#include "linalg/tiled.hpp"
#include "pool/graph.hpp"

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
  std::size_t b;  // the tiles' edge (the last row and column of tiles hold the rest)
  double* at(std::size_t i, std::size_t j) const { return a + i * b + j * b * ld; }
  int size(std::size_t i) const { return as_int(i + 1 < count ? b : n - i * b); }
};

Tiles tiles_of(double* a, std::size_t n, std::size_t ld) {
  const std::size_t count = tile_count(n);
  return {a, n, ld, count, (n + count - 1) / count};
}

// Below this edge a triangle is inverted by LAPACK's dtrtri directly.
constexpr int kInverseLeaf = 32;

}  // namespace

// U^-1 in place of U (column-major upper, n x n, leading dimension ld) by halves:
// [A B; 0 C]^-1 = [A^-1, -A^-1 B C^-1; 0, C^-1], so that nearly all the work is in
// dtrmm. LAPACK's dtrtri runs its unblocked loop on a tile (about 10 GFLOP/s on one
// core of the reference machine for 192 x 192, against 28 for this).
bool small_triangular_inverse(double* u, int n, int ld) {
  if (n <= kInverseLeaf) {
    int info = 0;
    scipy_dtrtri_("U", "N", &n, u, &ld, &info, 1, 1);
    return info == 0;
  }
  const int h = n / 2;
  double* a = u;
  double* b = u + static_cast<std::size_t>(h) * static_cast<std::size_t>(ld);
  double* c = b + h;
  if (!small_triangular_inverse(a, h, ld) || !small_triangular_inverse(c, n - h, ld)) return false;
  scipy_cblas_dtrmm(CblasColMajor, CblasLeft, CblasUpper, CblasNoTrans, CblasNonUnit, h, n - h, -1.0, a, ld, b, ld);
  scipy_cblas_dtrmm(CblasColMajor, CblasRight, CblasUpper, CblasNoTrans, CblasNonUnit, h, n - h, 1.0, c, ld, b, ld);
  return true;
}

namespace {

// One task of a graph over tiles: tile (i, j) in the second or the first of two
// kinds of step.
struct TileTask {
  bool second;
  std::size_t i, j;
  bool rows = false;           // the caller's task on row-major rows of tile j instead
  std::size_t lo = 0, hi = 0;  // a Cholesky update's rows of tiles, [lo, hi)
  int part = 0;                // a tile of W made in two tasks: 1 the first, 2 the second
  bool side = false;           // the caller's side work instead
};

// Row-major rows [r0, r1) of tile `tile`.
void call_rows(const RowTask& task, const Tiles& t, std::size_t tile) {
  task(tile * t.b, std::min(t.n, (tile + 1) * t.b));
}

}  // namespace

bool tiled_cholesky(double* a, std::size_t n, std::size_t ld) {
  const Tiles t = tiles_of(a, n, ld);
  const int lda = as_int(ld);
  const std::size_t count = t.count;
  // Tile (k, j), k <= j, left-looking: A_kj -= U_{<k,k}' U_{<k,j} over the rows of
  // tiles above, and finish(k, j) is U_kk = chol(A_kk) or U_kj = U_kk^-T A_kj. The
  // update is two products: one over the rows of tiles 0 .. k - 2, which waits for
  // finish(k - 2, k) and finish(k - 2, j) (after all the finishes above them), and one
  // over row k - 1, which waits for finish(k - 1, k) and finish(k - 1, j) and for the
  // first. The path from one diagonal tile to the next is then one tile's product
  // long, not k tiles'. Tasks are numbered by column, then row, so the next diagonal
  // tile goes ahead of the rest of the current row (lookahead).
  TaskGraph g;
  std::vector<TileTask> steps;  // second: finish(k, j), else update(k, j) of rows [lo, hi)
  const std::size_t b = t.b;
  std::vector<double> inverse(count * b * b);  // U_kk^-1 of each diagonal tile
  std::vector<std::uint32_t> fin(count * count);
  for (std::size_t j = 0; j < count; ++j)
    for (std::size_t k = 0; k <= j; ++k) {
      std::vector<std::uint32_t> after;
      if (k > 0) {
        std::vector<std::uint32_t> last{fin[(k - 1) * count + k]};
        if (j != k) last.push_back(fin[(k - 1) * count + j]);
        if (k > 1) {
          std::vector<std::uint32_t> up{fin[(k - 2) * count + k]};
          if (j != k) up.push_back(fin[(k - 2) * count + j]);
          last.push_back(g.add(std::move(up)));
          steps.push_back({false, k, j, false, 0, k - 1});
        }
        after.push_back(g.add(std::move(last)));
        steps.push_back({false, k, j, false, k - 1, k});
      }
      if (j != k) after.push_back(fin[k * count + k]);
      fin[k * count + j] = g.add(std::move(after));
      steps.push_back({true, k, j});
    }
  return run_graph(g, [&](std::size_t task) {
    const TileTask& step = steps[task];
    const BlasCall guard;
    const bool finish = step.second;
    const std::size_t k = step.i, j = step.j;  // (k, j) in the comments' names
    const int nk = t.size(k);
    if (!finish) {
      const int rows = as_int((step.hi - step.lo) * b);
      if (j == k)
        scipy_cblas_dsyrk(CblasColMajor, CblasUpper, CblasTrans, nk, rows, -1.0, t.at(step.lo, k), lda, 1.0,
                          t.at(k, k), lda);
      else
        scipy_cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, nk, t.size(j), rows, -1.0, t.at(step.lo, k), lda,
                          t.at(step.lo, j), lda, 1.0, t.at(k, j), lda);
      return true;
    }
    double* wk = &inverse[k * b * b];
    const int ldw = as_int(b);
    if (j == k) {
      int info = 0;
      scipy_dpotrf_("U", &nk, t.at(k, k), &lda, &info, 1);
      if (info != 0) return false;
      for (int c = 0; c < nk; ++c) std::copy(t.at(k, k) + c * ld, t.at(k, k) + c * ld + c + 1, wk + c * b);
      return small_triangular_inverse(wk, nk, ldw);
    }
    // U_kj = U_kk^-T A_kj as a product with the inverse: dtrmm runs at twice dtrsm's
    // speed on a tile, and the inverse costs a third of one such product.
    scipy_cblas_dtrmm(CblasColMajor, CblasLeft, CblasUpper, CblasTrans, CblasNonUnit, nk, t.size(j), 1.0, wk, ldw,
                      t.at(k, j), lda);
    return true;
  });
}

namespace {

// U^-1 into a (with_product false), or then (U'U)^-1 in place of U^-1; U is read from
// src (leading dimension lds), which is a itself or an array that no task writes.
bool tiled_inverse(const double* src, std::size_t lds, double* a, std::size_t n, std::size_t ld, bool with_product,
                   const RowTask* use = nullptr, const std::function<void()>* side = nullptr) {
  const Tiles t = tiles_of(a, n, ld);
  const int lda = as_int(ld), ldu = as_int(lds);
  const bool in_place = src == a;
  const std::size_t b = t.b;
  const auto u_at = [&](std::size_t i, std::size_t j) { return src + i * b + j * b * lds; };
  const std::size_t count = t.count;
  TaskGraph g;
  std::vector<TileTask> steps;  // second: the tile of W W', else of W = U^-1
  // W = U^-1 in place, first W_jj = U_jj^-1 on each diagonal tile (U_jj is read by
  // nothing else), then tile (i, j) for i < j from W U = I:
  //   W_ij = -(W_ii U_ij + sum_{l=i+1}^{j-1} W_il U_lj) W_jj,
  // which reads W in row i left of j (finished by the tasks (i, l < j)), U_lj below
  // row i in column j, and W_ii and W_jj. In place, the tasks of a column run top down,
  // each after the one above it, so a tile's U is read before its own task replaces
  // it; from a separate source, the columns' tiles are independent but for row i's W.
  // Every product is a dtrmm or a dgemm (no dtrsm, half their speed on a tile). Tiles
  // two or more right of the diagonal are made in two tasks, the terms up to l = j - 2
  // first, then the term l = j - 1 and the product with W_jj, so that one tile of a row
  // follows the one left of it by a tile's product, not by j - i of them (w[] names a
  // tile's last task).
  std::vector<std::uint32_t> w(count * count);
  for (std::size_t j = 0; j < count; ++j) {
    w[j * count + j] = g.add();
    steps.push_back({false, j, j});
    for (std::size_t i = 0; i < j; ++i) {
      std::vector<std::uint32_t> first{w[i * count + i]};
      if (i > 0 && in_place) first.push_back(w[(i - 1) * count + j]);  // the tile above: its U is read first
      if (i + 1 == j) {
        first.push_back(w[j * count + j]);
        w[i * count + j] = g.add(std::move(first));
        steps.push_back({false, i, j});
        continue;
      }
      if (i + 2 < j) first.push_back(w[i * count + j - 2]);
      std::vector<std::uint32_t> second{g.add(std::move(first)), w[i * count + j - 1], w[j * count + j]};
      steps.push_back({false, i, j, false, 0, 0, 1});
      w[i * count + j] = g.add(std::move(second));
      steps.push_back({false, i, j, false, 0, 0, 2});
    }
  }
  // (U'U)^-1 = W W' in place, tile (i, j) for i <= j: R_ij = sum_{l >= j} W_il W_jl',
  // reading row i of W from column j on and row j from its diagonal on. Within a row
  // the tasks run left to right, each after the one left of it (which reads this
  // tile's W); row j's first task waits for every task (i < j, j), the readers of row
  // j; each waits for W's row i and row j to be finished.
  std::vector<std::uint32_t> r(count * count);
  for (std::size_t i = 0; i < count && with_product; ++i)
    for (std::size_t j = i; j < count; ++j) {
      std::vector<std::uint32_t> after{w[i * count + count - 1], w[j * count + count - 1]};
      if (j > i) after.push_back(r[i * count + j - 1]);
      else
        for (std::size_t h = 0; h < i; ++h) after.push_back(r[h * count + i]);
      r[i * count + j] = g.add(std::move(after));
      steps.push_back({true, i, j});
    }
  // The caller's use of row-major rows of tile j, once they are final (R_jj, which
  // comes after the column's other tiles), numbered last: it takes the threads the
  // inverse's own tasks leave idle.
  for (std::size_t j = 0; j < count && use && with_product; ++j) {
    g.add({r[j * count + j]});
    steps.push_back({true, 0, j, true});
  }
  // The caller's side work: free from the start, last in priority.
  std::atomic<bool> side_done{false};
  if (side) {
    g.add();
    steps.push_back({false, 0, 0, false, 0, 0, 0, true});
  }
  const bool ok = run_graph(g, [&](std::size_t task) {
    const TileTask& step = steps[task];
    const bool product = step.second, rows = step.rows;
    const std::size_t i = step.i, j = step.j;
    if (step.side) {
      (*side)();
      side_done = true;
      return true;
    }
    if (rows) {
      call_rows(*use, t, j);
      return true;
    }
    const BlasCall guard;
    const int ni = t.size(i), nj = t.size(j);
    double* out = t.at(i, j);
    if (!product) {
      const int part = step.part;  // 0 whole, 1 first, 2 second
      if (part != 2) {
        if (!in_place) {
          const double* from = u_at(i, j);
          for (int c = 0; c < nj; ++c) std::copy(from + c * lds, from + c * lds + (i == j ? c + 1 : ni), out + c * ld);
        }
        if (i == j) return small_triangular_inverse(out, nj, lda);
        scipy_cblas_dtrmm(CblasColMajor, CblasLeft, CblasUpper, CblasNoTrans, CblasNonUnit, ni, nj, 1.0, t.at(i, i),
                          lda, out, lda);
      }
      if (part == 1 && i + 2 < j)
        scipy_cblas_dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, ni, nj, as_int((j - i - 2) * b), 1.0,
                          t.at(i, i + 1), lda, u_at(i + 1, j), ldu, 1.0, out, lda);
      if (part == 1) return true;
      if (part == 2)
        scipy_cblas_dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, ni, nj, t.size(j - 1), 1.0, t.at(i, j - 1), lda,
                          u_at(j - 1, j), ldu, 1.0, out, lda);
      scipy_cblas_dtrmm(CblasColMajor, CblasRight, CblasUpper, CblasNoTrans, CblasNonUnit, ni, nj, -1.0, t.at(j, j),
                        lda, out, lda);
      return true;
    }
    if (j == i) {
      int info = 0;
      scipy_dlauum_("U", &ni, out, &lda, &info, 1);
      if (info != 0) return false;
      if (i + 1 < count)
        scipy_cblas_dsyrk(CblasColMajor, CblasUpper, CblasNoTrans, ni, as_int(n - (i + 1) * b), 1.0,
                          t.at(i, i + 1), lda, 1.0, out, lda);
      return true;
    }
    scipy_cblas_dtrmm(CblasColMajor, CblasRight, CblasUpper, CblasTrans, CblasNonUnit, ni, nj, 1.0, t.at(j, j), lda,
                      out, lda);
    if (j + 1 < count)
      scipy_cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, ni, nj, as_int(n - (j + 1) * b), 1.0,
                        t.at(i, j + 1), lda, t.at(j, j + 1), lda, 1.0, out, lda);
    return true;
  });
  if (side && !side_done) (*side)();  // the graph stopped before reaching it
  return ok;
}

}  // namespace

bool tiled_triangular_inverse(double* a, std::size_t n, std::size_t ld) {
  return tiled_inverse(a, ld, a, n, ld, false);
}

bool tiled_cholesky_inverse(double* a, std::size_t n, std::size_t ld) { return tiled_inverse(a, ld, a, n, ld, true); }

bool tiled_cholesky_inverse_from(const double* l, std::size_t ldl, double* a, std::size_t n, std::size_t ld,
                                 const RowTask* use, const std::function<void()>* side) {
  return tiled_inverse(l, ldl, a, n, ld, true, use, side);
}

}  // namespace qk::lapack
