// Dense kernels of OpenBLAS (LAPACK's dpotrf, dtrtri and dlauum, BLAS's dtrsm, dtrmm, dsyrk and dtrsv)
// on row-major lower-triangular storage.
//
// A row-major n x n array read as its lower triangle is, to column-major LAPACK, the
// upper triangle of the transpose: L L' = A in row-major terms is U'U = A with U = L'
// in LAPACK's, so every call below passes 'U' for a lower factor.
//
// Determinism: OpenBLAS runs on one thread of its own (set once, before the first
// call); its blocking then depends only on the sizes, so the same input gives the same
// bits on every run, whatever our pool's size. Parallel callers may call these
// kernels concurrently on disjoint data. Above one tile (tiled.hpp) the factorisation
// and the inverse run tile by tile on our pool, with a tiling fixed by n alone.
#pragma once

#include <cstddef>
#include <functional>

namespace qk::lapack {

// Cholesky factorisation in place of the lower triangle of A (n x n, leading
// dimension ld). False when A is not numerically positive definite or a pivot is not
// finite; A is then unspecified. The strict upper triangle is not touched.
bool cholesky(double* a, std::size_t n, std::size_t ld);


// (L L')^-1 in place of L (n x n, leading dimension ld): the lower triangle of the
// inverse; the strict upper triangle is then filled from it, unless `mirror` is false
// (it is then left as it was).
bool cholesky_inverse(double* l, std::size_t n, std::size_t ld, bool mirror = true);
// The lower triangle of (L L')^-1 into out (leading dimension ld; its strict upper
// triangle untouched) from L read in l (leading dimension ldl), which is left as it
// is: the copy that an in-place inverse would need, made by the tasks that use it.
bool cholesky_inverse_from(const double* l, std::size_t ldl, double* out, std::size_t n, std::size_t ld);

// Work of the caller's on the row-major rows [r0, r1) of a matrix, run by a kernel as
// tasks of their own on the pool, beside its own work. The ranges are the tiles' rows
// (tiled.hpp), fixed by n alone; tasks of different ranges may run at once.
using RowTask = std::function<void(std::size_t r0, std::size_t r1)>;

// cholesky_inverse_from(), then `use` on each range of the output's rows once their
// lower triangle is final (before the call returns, the ranges possibly at once and
// beside the rest of the inverse's work); `use` is not called when the inverse fails.
// With `side`, that work too is run beside the inverse's, exactly once whatever the
// outcome.
bool cholesky_inverse_from(const double* l, std::size_t ldl, double* out, std::size_t n, std::size_t ld,
                           const RowTask& use, const std::function<void()>* side = nullptr);

// L^-1 in place of L (n x n lower, leading dimension ld): lower again, the strict
// upper triangle untouched. False when a diagonal entry is zero.
bool triangular_inverse(double* l, std::size_t n, std::size_t ld);

// B (r x n, leading dimension ldb) <- B L^-T with L n x n lower (leading dimension ld).
void solve_right_transposed(const double* l, std::size_t n, std::size_t ld, double* b, std::size_t r,
                            std::size_t ldb);

// The lower triangle of C (r x r, leading dimension ldc) <- C - B B', B r x k (ldb).
void subtract_gram(const double* b, std::size_t r, std::size_t k, std::size_t ldb, double* c,
                   std::size_t ldc);

// x (n) <- L'^-1 x with L n x n lower (leading dimension ld).
void solve_transposed(const double* l, std::size_t n, std::size_t ld, double* x);

// x (n) <- L^-1 x with L n x n lower (leading dimension ld).
void solve_lower(const double* l, std::size_t n, std::size_t ld, double* x);

}  // namespace qk::lapack
