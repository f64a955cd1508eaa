// The textbook solution of a linear mixed model of one or several grouping factors,
// for the evaluators to be checked against: the penalised least squares problem of
// Bates, Maechler, Bolker and Walker (2015, J. Stat. Softw. 67(1), section 3) formed
// from the rows as one dense system and solved in long double.
#pragma once

#include <optional>

#include "support.hpp"

namespace qkt {

using LVec = std::vector<long double>;

// In-place Cholesky of a dense n x n matrix in long double; false if not SPD.
inline bool lchol(LVec& a, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j)
    for (std::size_t i = j; i < n; ++i) {
      long double s = a[i * n + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      if (i == j && !(s > 0)) return false;
      a[i * n + j] = i == j ? std::sqrt(s) : s / a[j * n + j];
    }
  return true;
}

// Solves L L' x = b over the rows [lo, hi) of the factor.
inline void lsolve(const LVec& l, std::size_t n, std::size_t lo, std::size_t hi, LVec& b) {
  for (std::size_t i = lo; i < hi; ++i) {
    for (std::size_t k = lo; k < i; ++k) b[i] -= l[i * n + k] * b[k];
    b[i] /= l[i * n + i];
  }
  for (std::size_t i = hi; i-- > lo;) {
    for (std::size_t k = i + 1; k < hi; ++k) b[i] -= l[k * n + i] * b[k];
    b[i] /= l[i * n + i];
  }
}

// A grouping factor: each row's level in 0..m-1, its q values of z, and Lambda's
// lower-triangular q x q block for the factor (row-major).
struct DenseFactor {
  const std::int64_t* codes;
  std::uint64_t m, q;
  const double* z;
  Vec lambda;
};

// u and cond_cov (each level's q x q block of Var(b | y)) factor after factor, levels
// in order.
struct DenseSolution {
  double deviance, ldl2, ldrx2, pwrss, sigma2;
  Vec beta, u, fixed_inverse, cond_cov;
};

// The joint system [Lambda'Z'WZ Lambda + I, Lambda'Z'WX; X'WZ Lambda, X'WX] [u; beta] =
// [Lambda'Z'Wy; X'Wy] (W the prior weights; w empty for none): its factor's leading
// block gives ldl2 and the conditional covariances, its trailing block RX; with weights
// the deviance is lme4's less sum log w. Nothing where the system is not SPD.
inline std::optional<DenseSolution> dense_solution(std::uint64_t rows, std::uint64_t p, const Vec& y, const Vec& x,
                                                   const Vec& w, const std::vector<DenseFactor>& factors, bool reml) {
  std::vector<std::size_t> off{0};
  for (const DenseFactor& f : factors) off.push_back(off.back() + f.m * f.q);
  const std::size_t mq = off.back(), n = mq + p;
  LVec c(n * n, 0.0L), sol(n, 0.0L);
  long double logw = 0.0L, ldl2 = 0, ldrx2 = 0, pwrss = 0;
  // Row r's entries of [Z Lambda, X] and their columns.
  std::vector<std::pair<std::size_t, long double>> row;
  const auto row_of = [&](std::size_t r) {
    row.clear();
    for (std::size_t j = 0; j < factors.size(); ++j) {
      const DenseFactor& f = factors[j];
      for (std::size_t a = 0; a < f.q; ++a) {
        long double v = 0.0L;
        for (std::size_t k = 0; k < f.q; ++k) v += static_cast<long double>(f.z[r * f.q + k]) * f.lambda[k * f.q + a];
        row.emplace_back(off[j] + static_cast<std::size_t>(f.codes[r]) * f.q + a, v);
      }
    }
    for (std::size_t i = 0; i < p; ++i) row.emplace_back(mq + i, x[r * p + i]);
  };
  for (std::size_t r = 0; r < rows; ++r) {
    row_of(r);
    const long double wr = w.empty() ? 1.0L : w[r];
    logw += std::log(wr);
    for (auto [i, vi] : row) {
      sol[i] += wr * vi * y[r];
      for (auto [j, vj] : row) c[i * n + j] += wr * vi * vj;
    }
  }
  for (std::size_t i = 0; i < mq; ++i) c[i * n + i] += 1.0L;
  if (!lchol(c, n)) return std::nullopt;
  for (std::size_t i = 0; i < n; ++i) (i < mq ? ldl2 : ldrx2) += 2 * std::log(c[i * n + i]);
  lsolve(c, n, 0, n, sol);
  for (std::size_t r = 0; r < rows; ++r) {
    row_of(r);
    long double e = y[r];
    for (auto [i, v] : row) e -= v * sol[i];
    pwrss += (w.empty() ? 1.0L : w[r]) * e * e;
  }
  for (std::size_t i = 0; i < mq; ++i) pwrss += sol[i] * sol[i];
  const long double nu = static_cast<long double>(reml ? rows - p : rows), two_pi = 6.283185307179586476925286766559L;
  DenseSolution ref{static_cast<double>(ldl2 + (reml ? ldrx2 : 0) + nu * (1 + std::log(two_pi * pwrss / nu)) - logw),
                    static_cast<double>(ldl2), reml ? static_cast<double>(ldrx2) : 0.0,
                    static_cast<double>(pwrss), static_cast<double>(pwrss / nu), {}, {}, Vec(p * p), {}};
  for (std::size_t i = 0; i < n; ++i) (i < mq ? ref.u : ref.beta).push_back(static_cast<double>(sol[i]));
  for (std::size_t j = 0; j < p; ++j) {
    LVec e(n, 0.0L);
    e[mq + j] = 1.0L;
    lsolve(c, n, mq, n, e);
    for (std::size_t i = 0; i < p; ++i) ref.fixed_inverse[i * p + j] = static_cast<double>(e[mq + i]);
  }
  for (std::size_t f = 0; f < factors.size(); ++f) {
    const std::size_t q = factors[f].q;
    const Vec& lambda = factors[f].lambda;
    for (std::size_t g = 0; g < factors[f].m; ++g) {
      Vec block(q * q);
      const std::size_t at = off[f] + g * q;
      for (std::size_t k = 0; k < q; ++k) {
        LVec e(n, 0.0L);  // column k of Lambda' in the level's rows
        for (std::size_t i = 0; i < q; ++i) e[at + i] = lambda[k * q + i];
        lsolve(c, n, 0, mq, e);
        for (std::size_t r = 0; r < q; ++r) {
          long double v = 0.0L;
          for (std::size_t i = 0; i < q; ++i) v += lambda[r * q + i] * e[at + i];
          block[r * q + k] = static_cast<double>(v * pwrss / nu);
        }
      }
      ref.cond_cov.insert(ref.cond_cov.end(), block.begin(), block.end());
    }
  }
  return ref;
}

}  // namespace qkt
