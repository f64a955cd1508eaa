// Analytic second derivative of the profiled criterion for a scalar random effect.
//
// With q = 1 write s = theta^2 and, for group i, z_i = Z_i'Z_i (a number), v_i =
// [Z_i'X_i, Z_i'y_i] (p + 1 entries) and x_i = 1 + s z_i. Group i downdates the
// augmented matrix A(s) = [X'X X'y; y'X y'y] by w_i(s) v_i v_i' with w_i = s / x_i, and
// adds log x_i to ldl2. One pass accumulates
//   W0 = sum w_i v_i v_i',   W1 = sum w_i' v_i v_i' = sum v_i v_i' / x_i^2,
//   W2 = sum (-w_i''/2) v_i v_i' = sum z_i v_i v_i' / x_i^3,
//   ldl2 = sum log x_i,  ldl2' = sum z_i / x_i,  ldl2'' = -sum z_i^2 / x_i^2
// (the three sums s1, s2, s3). With e = [-beta, 1] at the profiled beta, P = A_XX^-1 and
// A' = -W1, A'' = 2 W2 (derivatives in s):
//   pwrss'  = e'A'e = -e'W1e                                   (q1; beta is stationary)
//   pwrss'' = e'A''e - 2 r'P r = 2 e'W2e - t,  r = (A'e)_X = -(W1 e)_X, t = 2 r'P r   (q2 - t)
//   (log det A_XX)'  = tr(P A'_XX) = -tr(P W1_XX)                                      (t1)
//   (log det A_XX)'' = tr(P A''_XX) - tr(P A'_XX P A'_XX) = 2 tr(P W2_XX) - tr(B B),
//                      B = -P W1_XX                                                     (t2)
// The criterion is ldl2 + [REML] log det A_XX + nu log pwrss + const, so
//   d'  = ldl2' + [REML] t1 + nu q1 / pwrss,
//   d'' = ldl2'' + [REML] t2 + nu ((q2 - t) / pwrss - (q1 / pwrss)^2),
// and the chain rule from s = theta^2 gives dd/dtheta = 2 theta d' and
// d2d/dtheta2 = 4 theta^2 d'' + 2 d'.
#include <cmath>

#include "linalg/dense.hpp"
#include "lmm/evaluate/evaluate.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

// Sums over a chunk of groups or classes: the downdates of the augmented matrix
// weighted by w(s), dw/ds and -1/2 d2w/ds2, and the log-determinant term with its
// first two derivatives in s.
struct HessianSums {
  std::vector<TwoSum> w0, w1, w2;  // (p+1)^2, upper triangle
  TwoSum s1, s2, s3;
};

// Adds one item (a group, or a class of n groups with summed outer products M).
// `pair(a, b)` yields M[a][b] for b >= a.
template <class PairFn>
void add_item(HessianSums& acc, std::size_t p1, double s, double z, double n, bool skip_zero, PairFn&& pair) {
  const double x = 1.0 + s * z;
  two_sum_add(acc.s1, n * std::log(x));
  const double c0 = s / x;
  const double c1 = 1.0 / (x * x);
  const double c2 = z / (x * (x * x));
  const double weights[3] = {c0, c1, c2};
  std::vector<TwoSum>* targets[3] = {&acc.w0, &acc.w1, &acc.w2};
  for (int pass = 0; pass < 3; ++pass) {
    const double wt = weights[pass];
    if (skip_zero && wt == 0.0) continue;
    TwoSum* t = targets[pass]->data();
    for (std::size_t a = 0; a < p1; ++a)
      for (std::size_t b = a; b < p1; ++b) two_sum_add(t[a * p1 + b], wt * pair(a, b));
  }
  two_sum_add(acc.s2, n * z / x);
  two_sum_add(acc.s3, -n * z * z / (x * x));
}

}  // namespace

std::optional<ScalarHessian> scalar_hessian(const LmmData& data, bool reml, double theta) {
  if (data.q != 1 || data.exact_fit) return std::nullopt;
  const std::size_t p = data.p, p1 = p + 1, blk = p1 * p1;
  const double s = theta * theta;
  const bool by_class = data.kernel() == kAggregated;
  const std::uint64_t items = by_class ? data.classes->n_classes : data.m;
  const ChunkPlan plan = plan_chunks(items, 3 * blk + 8);

  auto accs = map_chunks<HessianSums>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    HessianSums acc;
    acc.w0.assign(blk, TwoSum{});
    acc.w1.assign(blk, TwoSum{});
    acc.w2.assign(blk, TwoSum{});
    std::vector<double> v(p1);
    for (std::uint64_t i = b; i < e; ++i) {
      if (by_class) {
        const Classes& c = *data.classes;
        const double* mm = &c.cross_sums[i * blk];
        add_item(acc, p1, s, c.ztz[i], c.counts[i], true,
                 [&](std::size_t a, std::size_t bb) { return mm[a * p1 + bb]; });
      } else {
        for (std::size_t j = 0; j < p; ++j) v[j] = data.ztx[i * p + j];
        v[p] = data.zty[i];
        add_item(acc, p1, s, data.ztz[i], 1.0, false,
                 [&](std::size_t a, std::size_t bb) { return v[a] * v[bb]; });
      }
    }
    return acc;
  });

  HessianSums tot;
  tot.w0.assign(blk, TwoSum{});
  tot.w1.assign(blk, TwoSum{});
  tot.w2.assign(blk, TwoSum{});
  for (const HessianSums& a : accs) {
    for (std::size_t i = 0; i < blk; ++i) {
      two_sum_merge(tot.w0[i], a.w0[i]);
      two_sum_merge(tot.w1[i], a.w1[i]);
      two_sum_merge(tot.w2[i], a.w2[i]);
    }
    two_sum_merge(tot.s1, a.s1);
    two_sum_merge(tot.s2, a.s2);
    two_sum_merge(tot.s3, a.s3);
  }
  std::vector<double> w0(blk), w1(blk), w2(blk);
  for (std::size_t a = 0; a < p1; ++a)
    for (std::size_t b = a; b < p1; ++b) {
      w0[a * p1 + b] = w0[b * p1 + a] = tot.w0[a * p1 + b].value();
      w1[a * p1 + b] = w1[b * p1 + a] = tot.w1[a * p1 + b].value();
      w2[a * p1 + b] = w2[b * p1 + a] = tot.w2[a * p1 + b].value();
    }
  const double s1 = tot.s1.value(), s2 = tot.s2.value(), s3 = tot.s3.value();
  if (!std::isfinite(s1)) return std::nullopt;

  std::vector<double> axx(p * p), axy(p);
  for (std::size_t a = 0; a < p; ++a) {
    for (std::size_t b = 0; b < p; ++b) axx[a * p + b] = data.xtx[a * p + b] - w0[a * p1 + b];
    axy[a] = data.xty[a] - w0[a * p1 + p];
  }
  const double ayy = data.yty - w0[p * p1 + p];
  auto prof = profile(data, std::move(axx), std::move(axy), reml, ayy, s1);
  if (!prof) return std::nullopt;
  const std::vector<double> pinv = cholesky_inverse(prof->rx.data(), p);

  std::vector<double> e(p1);
  for (std::size_t j = 0; j < p; ++j) e[j] = -prof->beta[j];
  e[p] = 1.0;
  double q1 = 0.0, q2 = 0.0;
  for (std::size_t i = 0; i < p1; ++i)
    for (std::size_t j = 0; j < p1; ++j) {
      q1 = q1 + e[j] * (-w1[i * p1 + j] * e[i]);
      q2 = q2 + e[j] * (2.0 * w2[i * p1 + j] * e[i]);
    }
  std::vector<double> r(p);
  for (std::size_t k = 0; k < p; ++k) {
    double x = 0.0;
    for (std::size_t j = 0; j < p1; ++j) x = x + w1[k * p1 + j] * e[j];
    r[k] = -x;
  }
  double t = 0.0;
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) t = t + r[a] * pinv[a * p + b] * r[b];
  t = 2.0 * t;
  std::vector<double> bm(p * p);
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) {
      double x = 0.0;
      for (std::size_t k = 0; k < p; ++k) x = x + pinv[a * p + k] * w1[k * p1 + b];
      bm[a * p + b] = -x;
    }
  double t1 = 0.0, t2 = 0.0;
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b) {
      t1 = t1 - pinv[a * p + b] * w1[b * p1 + a];
      t2 = t2 + (2.0 * w2[b * p1 + a] * pinv[a * p + b] - bm[a * p + b] * bm[b * p + a]);
    }
  const double rho = reml ? 1.0 : 0.0;
  const double nu = prof->nu, pw = prof->pwrss;
  const double ds = s2 + rho * t1 + nu * q1 / pw;
  const double dss = s3 + rho * t2 + nu * ((q2 - t) / pw - (q1 / pw) * (q1 / pw));
  return ScalarHessian{prof->deviance, 2.0 * theta * ds, (4.0 * (theta * theta)) * dss + (ds + ds)};
}

}  // namespace qk
