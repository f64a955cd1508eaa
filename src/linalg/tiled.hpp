// Tiled, pool-parallel forms of the Cholesky factorisation and the Cholesky inverse
// (internal to lapack.cpp, which calls them for matrices above one tile; exposed for
// the tests). Same storage and contracts as lapack::cholesky and
// lapack::cholesky_inverse and lapack::triangular_inverse, without the pivot check and the mirroring those add.
#pragma once

#include <cstddef>

#include "linalg/lapack.hpp"

namespace qk::lapack {

// The tiles' target edge. The tiling is part of the numerical result (it fixes the
// order of the sums), so it is a function of n alone, never of the machine or the
// number of threads: tile_count(n) tiles of edge ceil(n / tile_count(n)), the count
// that brings the edge nearest kTile, so that no last sliver of a few columns costs a
// column of calls that each pack whole panels.
inline constexpr std::size_t kTile = 192;
inline std::size_t tile_count(std::size_t n) {
  const std::size_t c = (n + kTile / 2) / kTile;
  return c > 0 ? c : 1;
}

bool tiled_cholesky(double* a, std::size_t n, std::size_t ld);
bool tiled_cholesky_inverse(double* a, std::size_t n, std::size_t ld);
bool tiled_cholesky_inverse_from(const double* l, std::size_t ldl, double* a, std::size_t n, std::size_t ld,
                                 const RowTask* use = nullptr, const std::function<void()>* side = nullptr);
bool tiled_triangular_inverse(double* a, std::size_t n, std::size_t ld);
// U^-1 in place of U, column-major upper (the storage of a tile), for any n; made of
// dtrmm calls where LAPACK's dtrtri would run its unblocked loop.
bool small_triangular_inverse(double* u, int n, int ld);

}  // namespace qk::lapack
