// Dense kernels: pivot rules of the Cholesky factorisation, agreement with
// independent formulas, the zero-skipping products and the compensated sums.
#include "linalg/dense.hpp"
#include "support.hpp"

namespace {

using qkt::kNaN;
using qkt::Vec;

// Every pivot must be finite and strictly positive, also after the updates of the
// earlier columns; a positive subnormal is a valid pivot.
TEST(Cholesky, PivotRules) {
  const std::pair<Vec, bool> cases[] = {
      {{6.25}, true}, {{1e-310}, true}, {{std::numeric_limits<double>::max()}, true}, {{0.0}, false},
      {{-0.0}, false}, {{-1e-310}, false}, {{qkt::kInf}, false}, {{kNaN}, false},
      {{1, 2, 2, 1}, false}, {{1, 1, 1, 1}, false}, {{4, 0, kNaN, 1}, false},  // indefinite, singular, NaN below
      {{1, 0, 1e200, 1}, false},               // an update that overflows
      {{1, 0, 0, 0, 1, 0, 1, 1, 1.5}, false}};  // the third pivot negative only after both updates
  for (const auto& [a, ok] : cases) {
    Vec l = a;
    ASSERT_EQ(qk::cholesky_in_place(l.data(), l.size() == 1 ? 1 : l.size() == 4 ? 2 : 3), ok) << ::testing::PrintToString(a);
    EXPECT_TRUE(!ok || l[0] == std::sqrt(a[0]));
  }
}

// tridiag(-1, 2, -1) (det n + 1) with garbage above the diagonal, ignored and zeroed:
// L L' = A, the log-determinant, solves, inverse and products as by the textbook.
TEST(Cholesky, AgreesWithIndependentFormulas) {
  for (std::size_t n : {1u, 2u, 4u, 7u}) {
    SCOPED_TRACE(n);
    Vec a(n * n, 0.0), b(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
      a[i * n + i] = 2.0;
      if (i + 1 < n) a[i * n + i + 1] = a[(i + 1) * n + i] = -1.0;
    }
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::sin(1.0 + static_cast<double>(i));
    Vec l = a, fw = b, bw = b, c(n * 2), ct(n * 2), inv(n * n, kNaN);  // inv's NaN must not leak in
    for (std::size_t i = 1; i < n; ++i) l[i] = l[i * n - 1] = i % 2 ? kNaN : -qkt::kInf;
    ASSERT_TRUE(qk::cholesky_in_place(l.data(), n));
    const Vec lt = qkt::transposed(l, n);
    EXPECT_TRUE(qkt::all_near(qkt::mat_product(l, lt, n, n, n), a, 1e-14));
    EXPECT_NEAR(qk::log_det(l.data(), n), std::log(n + 1.0), 1e-14);
    qk::forward_solve(l.data(), n, fw.data(), 2);
    qk::backward_solve(l.data(), n, bw.data(), 2);
    EXPECT_TRUE(qkt::all_near(qkt::mat_product(l, fw, n, n, 2), b, 1e-13));
    EXPECT_TRUE(qkt::all_near(qkt::mat_product(lt, bw, n, n, 2), b, 1e-13));
    qk::mat_mul(a.data(), b.data(), c.data(), n, n, 2);
    qk::mat_tmul(l.data(), b.data(), ct.data(), n, n, 2);
    EXPECT_TRUE(qkt::all_near(c, qkt::mat_product(a, b, n, n, 2), 1e-15));
    EXPECT_TRUE(qkt::all_near(ct, qkt::mat_product(lt, b, n, n, 2), 1e-15));
    qk::cholesky_inverse(l.data(), n, inv.data());
    EXPECT_TRUE(qkt::all_near(qkt::mat_product(a, inv, n, n, n), qkt::identity(n), 1e-13));
    EXPECT_EQ(qkt::bits(qk::cholesky_inverse(l.data(), n)), qkt::bits(inv));
  }
}

// A zero coefficient of either sign skips its row of B (infinities stay out of C); a
// NaN coefficient is not a zero.
TEST(Products, ZeroCoefficientsSkipTheirRow) {
  const Vec b{1.0, 3.0, qkt::kInf, kNaN};  // 2 x 2, second row non-finite
  for (double zero : {0.0, -0.0}) {
    const Vec a{2.0, zero};
    Vec c(2), ct(2);
    qk::mat_mul(a.data(), b.data(), c.data(), 1, 2, 2);    // (1 x 2) B
    qk::mat_tmul(a.data(), b.data(), ct.data(), 2, 1, 2);  // (2 x 1)' B
    EXPECT_TRUE(c == (Vec{2.0, 6.0}) && ct == (Vec{2.0, 6.0})) << zero;
  }
  const Vec a{kNaN, 1.0}, finite{0, 0, 1, 1};
  Vec c(2);
  qk::mat_mul(a.data(), finite.data(), c.data(), 1, 2, 2);
  EXPECT_TRUE(std::isnan(c[0]) && std::isnan(c[1]));
}

// 1e16 + 1 rounds to 1e16 (ties to even); the lost units come back in the merge.
TEST(TwoSum, KeepsTermsThatPlainSummationLoses) {
  qk::TwoSum acc, t, u;
  for (double x : {1.0, 1e-16, 1e-16}) qk::two_sum_add(acc, x);
  EXPECT_TRUE(acc.hi == 1.0 && acc.lo == 2e-16);
  for (double x : {1e16, 1.0}) qk::two_sum_add(t, x);
  for (double x : {-1e16, 1.0}) qk::two_sum_add(u, x);
  EXPECT_EQ(t.lo, 1.0);
  qk::two_sum_merge(t, u);
  EXPECT_TRUE(t.hi == 0.0 && t.value() == 2.0);
}

}  // namespace
