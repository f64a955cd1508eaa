// The augmented formulation behind the "streaming" and "aggregated" evaluators.
//
// With W_i = [Z_i'X_i | Z_i'y_i] and K = Lambda V^-1 Lambda', V = Lambda' A Lambda + I,
// A = Z_i'Z_i, the whole contribution of group i to the fixed-effects system and the
// residual sum of squares is W_i' K W_i, so the augmented matrix
// [X'X X'y; y'X y'y] - sum_i W_i' K_i W_i holds the reduced system, its right-hand
// side and the response term at once. K depends on the group only through A: a class
// of groups with bitwise identical A needs one factorisation, and its sum of
// W_i' K W_i is sum_ab K[a][b] (sum_i w_ia w_ib'), precomputed per class.
#include <cmath>

#include "linalg/dense.hpp"
#include "lmm/evaluate/evaluate.hpp"
#include "lmm/evaluate/fixed_q.hpp"
#include "lmm/prepare/cost.hpp"
#include "lmm/results/random_effects.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

// Adds the upper triangle of sum over the unit's groups of W' K W into target.
struct ClassSource {
  const LmmData& d;
  const Classes& c;
  std::uint64_t units() const { return c.n_classes; }
  const double* ztz(std::uint64_t u) const { return &c.ztz[u * d.q * d.q]; }
  double count(std::uint64_t u) const { return c.counts[u]; }
  void prepare(std::uint64_t, double*) const {}
  template <std::size_t Q>
  void add_quadratic(std::uint64_t u, const double* k, const double*, double*, TwoSum* target) const {
    const std::size_t q = Q ? Q : d.q, p1 = d.p + 1, blk = p1 * p1;
    const double* sums = &c.cross_sums[u * q * q * blk];
    for (std::size_t a = 0; a < q; ++a)
      for (std::size_t b = 0; b < q; ++b) {
        const double kab = k[a * q + b];
        if (kab == 0.0) continue;
        const double* block = sums + (a * q + b) * blk;
        for (std::size_t r = 0; r < p1; ++r)
          for (std::size_t s = r; s < p1; ++s) two_sum_add(target[r * p1 + s], block[r * p1 + s] * kab);
      }
  }
};

struct GroupSource {
  const LmmData& d;
  std::uint64_t units() const { return d.m; }
  const double* ztz(std::uint64_t u) const { return &d.ztz[u * d.q * d.q]; }
  double count(std::uint64_t) const { return 1.0; }
  // W_u, built once per unit into w (q x (p+1)).
  void prepare(std::uint64_t u, double* w) const {
    const std::size_t q = d.q, p = d.p, p1 = p + 1;
    for (std::size_t a = 0; a < q; ++a) {
      for (std::size_t j = 0; j < p; ++j) w[a * p1 + j] = d.ztx[(u * q + a) * p + j];
      w[a * p1 + p] = d.zty[u * q + a];
    }
  }
  template <std::size_t Q>
  void add_quadratic(std::uint64_t, const double* k, const double* w, double* y, TwoSum* target) const {
    const std::size_t q = Q ? Q : d.q, p1 = d.p + 1;
    mat_mul(k, w, y, q, q, p1);
    for (std::size_t r = 0; r < p1; ++r)
      for (std::size_t s = r; s < p1; ++s) {
        double acc = 0.0;
        for (std::size_t a = 0; a < q; ++a) acc = acc + w[a * p1 + r] * y[a * p1 + s];
        two_sum_add(target[r * p1 + s], acc);
      }
  }
};

// Sums over a chunk of groups or classes: the upper triangle of the downdate of the
// augmented matrix, its theta-derivatives, and the log-determinant with its
// derivatives.
struct AugmentedSums {
  std::vector<TwoSum> aug;    // (p+1)^2, upper triangle
  std::vector<double> dldl2;  // n_theta
  std::vector<TwoSum> daug;   // n_theta blocks of (p+1)^2
  TwoSum ldl2;
  bool ok = true;
};

template <std::size_t Q, class Source>
AugmentedSums augmented_chunk(const Source& src, std::uint64_t first, std::uint64_t end, const double* lambda,
                     const ThetaIndex& idx, bool with_gradient) {
  const LmmData& d = src.d;
  const std::size_t q = Q ? Q : d.q, qq = q * q, p1 = d.p + 1, blk = p1 * p1, nt = idx.size();
  AugmentedSums acc;
  acc.aug.assign(blk, TwoSum{});
  if (with_gradient) {
    acc.dldl2.assign(nt, 0.0);
    acc.daug.assign(nt * blk, TwoSum{});
  }
  // Eight q x q matrices and two q x (p+1) matrices, reused for every unit.
  std::vector<double> work(8 * qq + 2 * q * p1, 0.0);
  double* t = work.data();
  double* l = t + qq;
  double* vinv = l + qq;
  double* b = vinv + qq;
  double* k = b + qq;
  double* g = k + qq;
  double* h = g + qq;
  double* dm = h + qq;
  double* w = dm + qq;
  double* y = w + q * p1;
  for (std::uint64_t u = first; u < end; ++u) {
    const double* a = src.ztz(u);
    const double n = src.count(u);
    if (!factor_lambda_block(a, lambda, q, t, l)) {
      acc.ok = false;
      return acc;
    }
    double s = 0.0;
    for (std::size_t j = 0; j < q; ++j) s = s + std::log(l[j * q + j]);
    two_sum_add(acc.ldl2, s * (n + n));
    cholesky_inverse(l, q, vinv);
    mat_mul(lambda, vinv, b, q, q, q);
    mat_mul_bt(b, lambda, k, q, q, q);
    src.prepare(u, w);
    src.template add_quadratic<Q>(u, k, w, y, acc.aug.data());
    if (!with_gradient) continue;
    mat_mul(a, b, g, q, q, q);
    mat_mul_bt(g, lambda, h, q, q, q);
    for (std::size_t kk = 0; kk < nt; ++kk) {
      const std::size_t r = idx[kk].first, c = idx[kk].second;
      acc.dldl2[kk] = acc.dldl2[kk] + g[r * q + c] * (n + n);
      // dK/dLambda_rc = E B' + B E' - B E' H - H' E B' (E the unit matrix at (r, c)).
      for (std::size_t i = 0; i < q; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
          const double t1 = j == r ? b[i * q + c] : 0.0;
          const double t2 = i == r ? b[j * q + c] : 0.0;
          const double v = (t1 - b[j * q + c] * h[r * q + i]) + (t2 - b[i * q + c] * h[r * q + j]);
          dm[i * q + j] = v;
          dm[j * q + i] = v;
        }
      src.template add_quadratic<Q>(u, dm, w, y, &acc.daug[kk * blk]);
    }
  }
  return acc;
}

template <class Source>
std::vector<AugmentedSums> run_augmented(const Source& src, std::uint64_t cost, const double* lambda,
                                bool with_gradient) {
  const LmmData& d = src.d;
  ChunkPlan plan = plan_chunks(src.units(), cost);
  return by_q(d.q, [&](auto qc) {
    constexpr std::size_t Q = decltype(qc)::value;
    return map_chunks<AugmentedSums>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
      return augmented_chunk<Q>(src, b, e, lambda, d.theta_index, with_gradient);
    });
  });
}

}  // namespace

std::optional<Evaluation> evaluate_augmented(const LmmData& data, const std::vector<double>& theta,
                                             bool reml, Mode mode, bool classes) {
  const std::uint64_t p = data.p, q = data.q, p1 = p + 1, blk = p1 * p1;
  const std::uint64_t nt = data.theta_index.size();
  const std::vector<double> lambda = theta_to_lambda(theta, data.theta_index, q);
  const bool with_gradient = mode != kModeDeviance;
  std::vector<AugmentedSums> accs;
  if (classes)
    accs = run_augmented(ClassSource{data, *data.classes}, class_cost(p, q), lambda.data(), with_gradient);
  else
    accs = run_augmented(GroupSource{data}, streaming_group_cost(p, q), lambda.data(), with_gradient);

  bool ok = true;
  std::vector<TwoSum> aug(blk), daug(with_gradient ? nt * blk : 0);
  std::vector<double> dldl2(with_gradient ? nt : 0, 0.0);
  TwoSum ldl2s;
  for (const AugmentedSums& a : accs) {
    ok = ok && a.ok;
    for (std::size_t i = 0; i < blk; ++i) two_sum_merge(aug[i], a.aug[i]);
    for (std::size_t i = 0; i < daug.size(); ++i) two_sum_merge(daug[i], a.daug[i]);
    two_sum_merge(ldl2s, a.ldl2);
    for (std::size_t i = 0; i < dldl2.size(); ++i) dldl2[i] = dldl2[i] + a.dldl2[i];
  }
  if (!ok) return std::nullopt;
  const double ldl2 = ldl2s.hi + ldl2s.lo;

  std::vector<double> mm(p * p), rhs(p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = i; j < p; ++j) {
      const TwoSum& s = aug[i * p1 + j];
      mm[i * p + j] = mm[j * p + i] = (data.xtx[i * p + j] - s.hi) - s.lo;
    }
  for (std::size_t i = 0; i < p; ++i) rhs[i] = (data.xty[i] - aug[i * p1 + p].hi) - aug[i * p1 + p].lo;
  const double s = (data.yty - aug[p * p1 + p].hi) - aug[p * p1 + p].lo;

  auto prof = profile(data, std::move(mm), std::move(rhs), reml, s, ldl2);
  if (!prof) return std::nullopt;

  Evaluation ev = evaluation_from(*prof, ldl2, reml);
  if (with_gradient) {
    std::vector<double> f;
    if (mode == kModeSolution || reml) f = cholesky_inverse(prof->rx.data(), p);
    std::vector<double> w(p1);
    for (std::size_t i = 0; i < p; ++i) w[i] = -prof->beta[i];
    w[p] = 1.0;
    const double scale = prof->nu / prof->pwrss;
    ev.gradient.resize(nt);
    ev.grad_logdet.resize(nt);
    ev.grad_pwrss.resize(nt);
    std::vector<double> gt(blk);
    for (std::size_t t = 0; t < nt; ++t) {
      for (std::size_t i = 0; i < blk; ++i) gt[i] = daug[t * blk + i].hi + daug[t * blk + i].lo;
      // -d pwrss / d theta_t = w' G_t w over the upper triangle.
      double quad = 0.0;
      for (std::size_t i = 0; i < p1; ++i) {
        quad = quad + w[i] * w[i] * gt[i * p1 + i];
        for (std::size_t j = i + 1; j < p1; ++j) quad = quad + (w[j] * (w[i] + w[i])) * gt[i * p1 + j];
      }
      double g = dldl2[t] - quad * scale;
      ev.grad_logdet[t] = dldl2[t];
      ev.grad_pwrss[t] = -quad;
      if (reml) {
        // d log det(RX'RX) / d theta_t = -tr(F G_t) over the leading p x p block.
        double tr = 0.0;
        for (std::size_t i = 0; i < p; ++i) {
          tr = tr + f[i * p + i] * gt[i * p1 + i];
          for (std::size_t j = i + 1; j < p; ++j) tr = tr + (f[i * p + j] + f[i * p + j]) * gt[i * p1 + j];
        }
        g = g - tr;
        ev.grad_logdet[t] = dldl2[t] - tr;
      }
      ev.gradient[t] = g;
    }
    if (mode == kModeSolution) {
      ev.u = random_effects(data, lambda, prof->beta);
      ev.fixed_inverse = std::move(f);
    }
  }
  ev.beta = std::move(prof->beta);
  return ev;
}

}  // namespace qk
