// The pool-parallel tiled Cholesky factorisation, triangular inverse and Cholesky
// inverse (in place and from a separate factor, with the caller's row tasks and side
// work): agreement with LAPACK's single calls across tile boundaries, failure on a
// matrix that stops being positive definite only in a later tile, and the same bits
// for pools of 1, 2 and 7 threads; and the allocator of the large dense blocks.
#include "linalg/big.hpp"
#include "linalg/lapack.hpp"
#include "linalg/tiled.hpp"
#include "support.hpp"

namespace {

using qk::lapack::kTile;
using qkt::Vec;

// A well-conditioned SPD matrix, n x n row-major: G G' / k + n I with G from sines.
Vec spd(std::size_t n) {
  const std::size_t k = 40;
  Vec g(n * k), a(n * n);
  for (std::size_t i = 0; i < g.size(); ++i) g[i] = std::sin(0.7 * static_cast<double>(i) + 0.3);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      double s = 0.0;
      for (std::size_t l = 0; l < k; ++l) s += g[i * k + l] * g[j * k + l];
      a[i * n + j] = s / k + (i == j ? 1.0 : 0.0);
    }
  return a;
}

TEST(Tiled, FactorAndInverseAcrossTileBoundaries) {
  for (std::size_t n : {kTile - 1, kTile, kTile + 1, 2 * kTile + 37, 3 * kTile + 11}) {
    SCOPED_TRACE(n);
    const Vec a = spd(n);
    Vec l = a;
    ASSERT_TRUE(qk::lapack::cholesky(l.data(), n, n));
    const Vec lf = qkt::lower_of(l, n, n), eye = qkt::identity(n);
    EXPECT_TRUE(qkt::all_near(qkt::mat_product(lf, qkt::transposed(lf, n), n, n, n), a, 1e-13));
    // L^-1 (lower; the strict upper triangle untouched) times L
    Vec li = l;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j) li[i * n + j] = 7.0;
    ASSERT_TRUE(qk::lapack::triangular_inverse(li.data(), n, n));
    EXPECT_TRUE(qkt::upper_is(li, n, 7.0));
    EXPECT_TRUE(qkt::all_near(qkt::mat_product(qkt::lower_of(li, n, n), lf, n, n, n), eye, 1e-12));
    ASSERT_TRUE(qk::lapack::cholesky_inverse(l.data(), n, n));
    EXPECT_TRUE(qkt::all_near(qkt::mat_product(a, l, n, n, n), eye, 1e-12));
  }
}

// The inverse read from a separate factor: the in-place inverse's bits (every tile
// comes from the same calls on the same operands), the factor left as it was and the
// output's strict upper triangle untouched, below one tile and across several, from a
// factor whose rows are longer than the output's.
TEST(Tiled, InverseFromASeparateFactor) {
  for (std::size_t n : {kTile - 3, kTile + 1, 3 * kTile + 11}) {
    SCOPED_TRACE(n);
    const std::size_t ld = n + 5;
    const Vec a = spd(n);
    Vec wide(n * ld, -3.0);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) wide[i * ld + j] = a[i * n + j];
    ASSERT_TRUE(qk::lapack::cholesky(wide.data(), n, ld));
    Vec in_place = qkt::lower_of(wide, n, ld);
    ASSERT_TRUE(qk::lapack::cholesky_inverse(in_place.data(), n, n, false));
    const Vec factor = wide;
    Vec out(n * n, 9.0);
    ASSERT_TRUE(qk::lapack::cholesky_inverse_from(wide.data(), ld, out.data(), n, n));
    EXPECT_EQ(qkt::bits(wide), qkt::bits(factor));
    const std::string inverse = qkt::bits(qkt::lower_of(in_place, n, n));
    EXPECT_EQ(qkt::bits(qkt::lower_of(out, n, n)), inverse);
    EXPECT_TRUE(qkt::upper_is(out, n, 9.0));
    // The caller's row tasks: every row once, each seeing its final lower triangle.
    Vec seen(n * n, 0.0), again(n * n, 9.0);
    std::vector<int> calls(n, 0);
    std::mutex m;
    const qk::lapack::RowTask use = [&](std::size_t r0, std::size_t r1) {
      std::lock_guard<std::mutex> lock(m);
      for (std::size_t r = r0; r < r1; ++r) {
        ++calls[r];
        std::copy(again.begin() + static_cast<std::ptrdiff_t>(r * n),
                  again.begin() + static_cast<std::ptrdiff_t>(r * n + r + 1),
                  seen.begin() + static_cast<std::ptrdiff_t>(r * n));
      }
    };
    int sides = 0;
    const std::function<void()> side = [&] { ++sides; };
    ASSERT_TRUE(qk::lapack::cholesky_inverse_from(wide.data(), ld, again.data(), n, n, use, &side));
    EXPECT_EQ(calls, std::vector<int>(n, 1));
    EXPECT_EQ(sides, 1);
    EXPECT_EQ(qkt::bits(qkt::lower_of(seen, n, n)), inverse);
  }
}

// Failures in a later tile: a matrix positive definite in its leading tiles whose last
// pivot is negative is refused; from a factor with a zero pivot the inverse fails, the
// caller's row tasks never run and its side work runs once all the same.
TEST(Tiled, FailuresInALaterTile) {
  const std::size_t n = 2 * kTile + 5;
  Vec a = spd(n), l = a;
  a[(n - 1) * n + (n - 1)] = -1.0;
  Vec b = a;
  EXPECT_FALSE(qk::lapack::cholesky(a.data(), n, n));
  EXPECT_FALSE(qk::lapack::tiled_cholesky(b.data(), n, n));
  ASSERT_TRUE(qk::lapack::cholesky(l.data(), n, n));
  l[(n - 1) * n + (n - 1)] = 0.0;
  Vec out(n * n, 0.0);
  std::atomic<int> calls{0}, sides{0};
  const qk::lapack::RowTask use = [&](std::size_t, std::size_t) { ++calls; };
  const std::function<void()> side = [&] { ++sides; };
  EXPECT_FALSE(qk::lapack::cholesky_inverse_from(l.data(), n, out.data(), n, n, use, &side));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(sides, 1);
}

// The tiling: edges near kTile and a last tile nearly as wide as the others (no
// sliver), whatever n.
TEST(Tiled, TilesOfNearlyEqualEdges) {
  for (std::size_t n : {kTile + 1, kTile + kTile / 2, 2 * kTile + 4, 6 * kTile + 4, 6 * kTile + 6, 19 * kTile + 54}) {
    SCOPED_TRACE(n);
    const std::size_t count = qk::lapack::tile_count(n), edge = (n + count - 1) / count;
    EXPECT_GE(n - (count - 1) * edge + count, edge);
    EXPECT_LE(2 * edge, 3 * kTile);
    EXPECT_GE(3 * edge, 2 * kTile);
  }
}

// Pools of 1, 2 and 7 threads: each tile gets its updates in one order whatever runs it.
TEST(Tiled, SameBitsForAnyPoolSize) {
  const std::size_t n = 4 * kTile + 3;
  EXPECT_NE(qkt::same_bits_for_pool_sizes([&] {
    Vec a = spd(n);
    const bool ok = qk::lapack::cholesky(a.data(), n, n);
    Vec both = a, tri = a;
    const bool inv = ok && qk::lapack::cholesky_inverse(a.data(), n, n) &&
                     qk::lapack::triangular_inverse(tri.data(), n, n);
    Vec from(n * n, 0.0);
    const bool inv_from = ok && qk::lapack::cholesky_inverse_from(both.data(), n, from.data(), n, n);
    both.insert(both.end(), a.begin(), a.end());
    both.insert(both.end(), tri.begin(), tri.end());
    both.insert(both.end(), from.begin(), from.end());
    return (ok && inv && inv_from ? "" : "failed") + qkt::bits(both);
  }, n * n * 16).substr(0, 6), "failed");
}

// Large arrays come 2 MiB aligned (whole huge pages), small ones as malloc gives them,
// and both keep their contents as a vector grows through the threshold.
TEST(BigAllocator, LargeArraysOnHugePageBoundaries) {
  qk::BigVector v(1000, 1.5);
  for (std::size_t n : {std::size_t{600000}, std::size_t{3000000}}) {
    v.resize(n, 2.5);
    EXPECT_EQ(v[999], 1.5);
    EXPECT_EQ(v[n - 1], 2.5);
  }
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % (std::uintptr_t{2} << 20), 0u);
}

}  // namespace
