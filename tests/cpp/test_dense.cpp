// Dense kernels: pivot rules of the Cholesky factorisation, agreement of the
// factor, solves and inverse with independent formulas, the zero-skipping products
// and the compensated sums.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "linalg/dense.hpp"

namespace {

using Vec = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The n x n second-difference matrix tridiag(-1, 2, -1): SPD with det = n + 1.
Vec second_difference(std::size_t n) {
  Vec a(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    a[i * n + i] = 2.0;
    if (i + 1 < n) a[i * n + i + 1] = a[(i + 1) * n + i] = -1.0;
  }
  return a;
}

Vec naive_mul(const Vec& a, const Vec& b, std::size_t r, std::size_t k, std::size_t c) {
  Vec out(r * c, 0.0);
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < c; ++j)
      for (std::size_t l = 0; l < k; ++l) out[i * c + j] += a[i * k + l] * b[l * c + j];
  return out;
}

Vec transpose(const Vec& a, std::size_t r, std::size_t c) {
  Vec t(r * c);
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < c; ++j) t[j * r + i] = a[i * c + j];
  return t;
}

struct PivotCase {
  const char* name;
  double a;
  bool ok;
};

TEST(Cholesky, OneByOnePivots) {
  const PivotCase cases[] = {
      {"positive", 6.25, true},
      {"positive subnormal", 1e-310, true},
      {"smallest subnormal", std::numeric_limits<double>::denorm_min(), true},
      {"largest finite", std::numeric_limits<double>::max(), true},
      {"+0.0", 0.0, false},
      {"-0.0", -0.0, false},
      {"negative subnormal", -1e-310, false},
      {"negative", -1.0, false},
      {"+inf", kInf, false},
      {"-inf", -kInf, false},
      {"NaN", kNaN, false},
  };
  for (const PivotCase& c : cases) {
    SCOPED_TRACE(c.name);
    double a = c.a;
    ASSERT_EQ(qk::cholesky_in_place(&a, 1), c.ok);
    if (c.ok) {
      EXPECT_EQ(a, std::sqrt(c.a));
      EXPECT_GT(a, 0.0);
    }
  }
}

// A pivot that turns bad only after the updates of earlier columns.
TEST(Cholesky, LaterPivotFailures) {
  struct Case {
    const char* name;
    Vec a;
  };
  const Case cases[] = {
      {"indefinite [[1,2],[2,1]] (d = -3)", {1, 2, 2, 1}},
      {"singular [[1,1],[1,1]] (d = 0)", {1, 1, 1, 1}},
      {"NaN below the diagonal", {4, 0, kNaN, 1}},
      {"overflowing update", {1, 0, 1e200, 1}},
      {"third pivot negative", {1, 0, 0, 0, 1, 0, 1, 1, 1.5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Vec a = c.a;
    std::size_t n = c.a.size() == 4 ? 2 : 3;
    EXPECT_FALSE(qk::cholesky_in_place(a.data(), n));
  }
}

// Only the lower triangle is read; whatever sits above it is replaced by zeros.
TEST(Cholesky, UpperTriangleIsIgnoredAndZeroed) {
  const Vec clean{4, 0, 0, 2, 5, 0, -2, 1, 6};
  Vec garbage = clean;
  garbage[1] = kNaN;
  garbage[2] = kInf;
  garbage[5] = -1e300;
  Vec l = clean;
  ASSERT_TRUE(qk::cholesky_in_place(l.data(), 3));
  ASSERT_TRUE(qk::cholesky_in_place(garbage.data(), 3));
  for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(std::bit_cast<std::uint64_t>(garbage[i]),
                                                std::bit_cast<std::uint64_t>(l[i])) << i;
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t c = r + 1; c < 3; ++c) EXPECT_EQ(l[r * 3 + c], 0.0);
  // Hand factor of [[4,2,-2],[2,5,1],[-2,1,6]]: rows [2], [1, 2], [-1, 1, 2].
  const Vec expected{2, 0, 0, 1, 2, 0, -1, 1, 2};
  for (std::size_t i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(l[i], expected[i]) << i;
}

// L L' reproduces A, log_det matches det = n + 1, the solves invert L, L' and A.
TEST(Cholesky, FactorSolvesAndInverseAgreeWithA) {
  for (std::size_t n : {1u, 2u, 4u, 7u}) {
    SCOPED_TRACE(n);
    const Vec a = second_difference(n);
    Vec l = a;
    ASSERT_TRUE(qk::cholesky_in_place(l.data(), n));
    const Vec lt = transpose(l, n, n);
    const Vec llt = naive_mul(l, lt, n, n, n);
    for (std::size_t i = 0; i < n * n; ++i) EXPECT_NEAR(llt[i], a[i], 1e-14) << i;
    EXPECT_NEAR(qk::log_det(l.data(), n), std::log(static_cast<double>(n + 1)), 1e-14);

    const std::size_t k = 2;
    Vec b(n * k);
    for (std::size_t i = 0; i < n * k; ++i) b[i] = std::sin(1.0 + static_cast<double>(i));
    Vec fw = b, bw = b, x = b;
    qk::forward_solve(l.data(), n, fw.data(), k);
    qk::backward_solve(l.data(), n, bw.data(), k);
    qk::forward_solve(l.data(), n, x.data(), k);
    qk::backward_solve(l.data(), n, x.data(), k);
    const Vec lfw = naive_mul(l, fw, n, n, k), ltbw = naive_mul(lt, bw, n, n, k), ax = naive_mul(a, x, n, n, k);
    for (std::size_t i = 0; i < n * k; ++i) {
      EXPECT_NEAR(lfw[i], b[i], 1e-13) << "L x = b at " << i;
      EXPECT_NEAR(ltbw[i], b[i], 1e-13) << "L' x = b at " << i;
      EXPECT_NEAR(ax[i], b[i], 1e-13) << "A x = b at " << i;
    }
    const Vec ai = naive_mul(a, qk::cholesky_inverse(l.data(), n), n, n, n);
    for (std::size_t r = 0; r < n; ++r)
      for (std::size_t c = 0; c < n; ++c) EXPECT_NEAR(ai[r * n + c], r == c ? 1.0 : 0.0, 1e-13);
  }
  Vec eye{1, 0, 0, 0, 1, 0, 0, 0, 1};
  ASSERT_TRUE(qk::cholesky_in_place(eye.data(), 3));
  EXPECT_EQ(qk::log_det(eye.data(), 3), 0.0);
}

TEST(Cholesky, InverseOfTwoByTwo) {
  Vec l{4, 2, 2, 3};
  ASSERT_TRUE(qk::cholesky_in_place(l.data(), 2));
  const Vec inv = qk::cholesky_inverse(l.data(), 2);
  const Vec expected{0.375, -0.25, -0.25, 0.5};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(inv[i], expected[i], 1e-15) << i;
  Vec out(4, kNaN);  // the out-parameter form overwrites whatever the output held
  qk::cholesky_inverse(l.data(), 2, out.data());
  EXPECT_EQ(out, inv);
}

// A zero coefficient (of either sign) never multiplies the matching row of B, so
// an infinity or NaN there stays out of C; a NaN coefficient is not skipped.
TEST(Products, ZeroCoefficientsSkipNonFiniteRows) {
  for (double zero : {0.0, -0.0}) {
    SCOPED_TRACE(std::signbit(zero) ? "-0.0" : "+0.0");
    const Vec a{2.0, zero};          // 1 x 2
    const Vec b{1.0, 3.0, kInf, kNaN};  // 2 x 2: second row non-finite
    Vec c(2);
    qk::mat_mul(a.data(), b.data(), c.data(), 1, 2, 2);
    EXPECT_EQ(c, (Vec{2.0, 6.0}));
    // A' B with A 2 x 1 = [2, zero]', B 2 x 2.
    Vec ct(2);
    qk::mat_tmul(a.data(), b.data(), ct.data(), 2, 1, 2);
    EXPECT_EQ(ct, (Vec{2.0, 6.0}));
  }
  const Vec a{kNaN, 1.0};
  const Vec b{0.0, 0.0, 1.0, 1.0};
  Vec c(2);
  qk::mat_mul(a.data(), b.data(), c.data(), 1, 2, 2);
  EXPECT_TRUE(std::isnan(c[0]) && std::isnan(c[1]));
}

TEST(TwoSum, KeepsTermsThatPlainSummationLoses) {
  qk::TwoSum acc;
  for (double x : {1.0, 1e-16, 1e-16}) qk::two_sum_add(acc, x);
  EXPECT_EQ(acc.hi, 1.0);
  EXPECT_EQ(acc.lo, 2e-16);
  EXPECT_EQ(acc.value(), 1.0 + 2e-16);
  EXPECT_EQ((1.0 + 1e-16) + 1e-16, 1.0);

  // 1e16 + 1 rounds to 1e16 (ties to even); the lost units come back in the merge.
  qk::TwoSum t, u;
  qk::two_sum_add(t, 1e16);
  qk::two_sum_add(t, 1.0);
  qk::two_sum_add(u, -1e16);
  qk::two_sum_add(u, 1.0);
  EXPECT_EQ(t.hi, 1e16);
  EXPECT_EQ(t.lo, 1.0);
  qk::two_sum_merge(t, u);
  EXPECT_EQ(t.hi, 0.0);
  EXPECT_EQ(t.value(), 2.0);
}

}  // namespace
