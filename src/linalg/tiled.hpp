// Tiled, pool-parallel forms of the Cholesky factorisation and the Cholesky inverse
// (internal to lapack.cpp, which calls them for matrices above one tile; exposed for
// the tests). Same storage and contracts as lapack::cholesky and
// lapack::cholesky_inverse and lapack::triangular_inverse, without the pivot check and the mirroring those add.
#pragma once

#include <cstddef>

#include "linalg/lapack.hpp"

namespace qk::lapack {

// Tile edge. Part of the numerical result (it fixes the order of the sums), so it is
// a constant, never derived from the machine or the number of threads.
inline constexpr std::size_t kTile = 192;

bool tiled_cholesky(double* a, std::size_t n, std::size_t ld);
bool tiled_cholesky_inverse(double* a, std::size_t n, std::size_t ld);
bool tiled_cholesky_inverse_from(const double* l, std::size_t ldl, double* a, std::size_t n, std::size_t ld,
                                 const RowTask* use = nullptr, const std::function<void()>* side = nullptr);
bool tiled_triangular_inverse(double* a, std::size_t n, std::size_t ld);
// U^-1 in place of U, column-major upper (the storage of a tile), for any n; made of
// dtrmm calls where LAPACK's dtrtri would run its unblocked loop.
bool small_triangular_inverse(double* u, int n, int ld);

}  // namespace qk::lapack
