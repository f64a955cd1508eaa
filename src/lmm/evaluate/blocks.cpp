// The "blocks" evaluator: every group is its own q x q block.
//
// First pass, per group i: L_i = chol(Lambda' Z_i'Z_i Lambda + I), W_i = L_i^-1
// Lambda' Z_i'X_i, c_i = L_i^-1 Lambda' Z_i'y_i; the sums of W_i'W_i, W_i'c_i, c_i'c_i
// and log det reduce the model to a p x p fixed-effects system (the Schur complement
// of the random-effects block; Bates et al. 2015, section 3.4). The second pass turns
// the same per-group quantities into the analytic gradient.
#include <cmath>

#include "linalg/dense.hpp"
#include "lmm/evaluate/evaluate.hpp"
#include "lmm/evaluate/fixed_q.hpp"
#include "lmm/prepare/cost.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

// Sums of the first pass over a chunk of groups: the reduction of the model to the
// fixed-effects system (Schur complement) and the log-determinant.
struct FirstPassSums {
  std::vector<double> xtx;  // upper triangle: sum of W_i'W_i
  std::vector<TwoSum> xty;  // sum of W_i'c_i
  TwoSum ldl2;
  TwoSum yty;               // sum of c_i'c_i
  bool ok = true;
};

// Sums of the gradient pass: the theta-derivatives of the log-determinant terms and of
// the penalised residual sum of squares.
struct GradientSums {
  std::vector<double> ldgrad;
  std::vector<double> pwgrad;
};

// Q == 0: dimension known only at run time; Q = 1, 2, 3: the same steps with the
// dimension fixed at compile time, so the small loops unroll.
template <std::size_t Q, std::size_t P>
FirstPassSums factor_chunk(const LmmData& d, const double* lambda, std::uint64_t first, std::uint64_t count,
                  double* slots, std::size_t slot_stride) {
  const std::size_t q = Q ? Q : d.q, p = P ? P : d.p, qq = q * q;
  FirstPassSums acc;
  acc.xtx.assign(p * p, 0.0);
  acc.xty.assign(p, TwoSum{});
  for (std::uint64_t gi = 0; gi < count; ++gi) {
    const std::uint64_t g = first + gi;
    double* slot = slots + gi * slot_stride;
    double* t = slot;
    double* l = t + qq;
    double* w = l + qq;
    double* c = w + q * p;
    if (!factor_lambda_block(&d.ztz[g * qq], lambda, q, t, l)) {
      acc.ok = false;
      return acc;
    }
    two_sum_add(acc.ldl2, log_det(l, q));
    mat_tmul(lambda, d.ztx.data() + g * q * p, w, q, q, p);
    forward_solve(l, q, w, p);
    mat_tmul(lambda, &d.zty[g * q], c, q, q, 1);
    forward_solve(l, q, c, 1);
    for (std::size_t k = 0; k < q; ++k) two_sum_add(acc.yty, c[k] * c[k]);
    for (std::size_t a = 0; a < p; ++a) {
      double s = 0.0;
      for (std::size_t k = 0; k < q; ++k) s = s + w[k * p + a] * c[k];
      two_sum_add(acc.xty[a], s);
      double* row = acc.xtx.data() + a * p;
      for (std::size_t b = a; b < p; ++b) {
        double tt = 0.0;
        for (std::size_t k = 0; k < q; ++k) tt = tt + w[k * p + a] * w[k * p + b];
        row[b] = tt + row[b];
      }
    }
  }
  return acc;
}

template <std::size_t Q, std::size_t P>
GradientSums gradient_chunk(const LmmData& d, std::uint64_t first, std::uint64_t count,
                            const double* slots, std::size_t slot_stride,
                    const std::vector<double>& beta, const std::vector<double>& ainv, bool reml,
                    double* u_out) {
  const std::size_t q = Q ? Q : d.q, p = P ? P : d.p, qq = q * q, nt = d.theta_index.size();
  GradientSums acc;
  acc.ldgrad.assign(nt, 0.0);
  acc.pwgrad.assign(nt, 0.0);
  // Work area, allocated once per chunk: S, Q, H (q x q), V, G (q x p), r, u (q).
  std::vector<double> work(3 * qq + 2 * q * p + 2 * q, 0.0);
  double* s = work.data();
  double* qm = s + qq;
  double* h = qm + qq;
  double* v = h + qq;
  double* gm = v + q * p;
  double* r = gm + q * p;
  double* u_work = r + q;
  for (std::uint64_t gi = 0; gi < count; ++gi) {
    const std::uint64_t g = first + gi;
    const double* slot = slots + gi * slot_stride;
    const double* t = slot;
    const double* l = t + qq;
    const double* w = l + qq;
    const double* c = w + q * p;
    const double* ztx = d.ztx.data() + g * q * p;
    const double* zty = &d.zty[g * q];
    double* u = u_out ? u_out + gi * q : u_work;
    for (std::size_t k = 0; k < q; ++k) {
      double e = c[k];
      for (std::size_t j = 0; j < p; ++j) e = e - w[k * p + j] * beta[j];
      u[k] = e;
    }
    backward_solve(l, q, u, 1);
    cholesky_inverse(l, q, s);
    mat_mul(t, s, qm, q, q, q);
    for (std::size_t k = 0; k < q; ++k) {
      double rk = zty[k];
      for (std::size_t j = 0; j < p; ++j) rk = rk - ztx[k * p + j] * beta[j];
      for (std::size_t j = 0; j < q; ++j) rk = rk - t[k * q + j] * u[j];
      r[k] = rk;
    }
    if (reml) {
      for (std::size_t i = 0; i < q * p; ++i) v[i] = w[i];
      backward_solve(l, q, v, p);
      mat_mul(v, ainv.data(), gm, q, p, p);
      mat_mul_bt(gm, v, h, q, p, q);
    }
    for (std::size_t k = 0; k < nt; ++k) {
      const std::size_t a = d.theta_index[k].first, b = d.theta_index[k].second;
      double dv = qm[a * q + b] + qm[a * q + b];
      if (reml) {
        double x = 0.0;
        for (std::size_t j = 0; j < p; ++j) x = x + ztx[a * p + j] * gm[b * p + j];
        double y = 0.0;
        for (std::size_t l2 = 0; l2 < q; ++l2) y = y + t[a * q + l2] * h[l2 * q + b];
        double z = x - y;
        dv = dv - (z + z);
      }
      acc.ldgrad[k] = dv + acc.ldgrad[k];
      acc.pwgrad[k] = acc.pwgrad[k] - (u[b] + u[b]) * r[a];
    }
  }
  return acc;
}

// Returns a borrowed work buffer to the pool on every exit path.
struct ScratchLease {
  const LmmData& data;
  ScratchPool::Buffer buf;
  ScratchLease(const LmmData& d, std::size_t len) : data(d), buf(d.scratch.take(len)) {}
  ~ScratchLease() { data.scratch.give_back(std::move(buf)); }
  double* at(std::size_t i) { return buf->data() + i; }
};

}  // namespace

std::optional<Evaluation> evaluate_blocks(const LmmData& data, const std::vector<double>& theta,
                                          bool reml, Mode mode) {
  const std::uint64_t p = data.p, q = data.q, m = data.m, nt = data.theta_index.size();
  const std::vector<double> lambda = theta_to_lambda(theta, data.theta_index, q);
  const std::size_t slot_len = (p + 2 * q + 1) * q;
  const ChunkPlan plan = plan_chunks(m, blocks_group_cost(p, q));

  std::optional<ScratchLease> lease;
  if (mode != kModeDeviance) lease.emplace(data, size_mul(slot_len, m));

  auto accs = by_qp(q, p, [&](auto qc, auto pc) {
    constexpr std::size_t Q = decltype(qc)::value, P = decltype(pc)::value;
    return map_chunks<FirstPassSums>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
      if (lease) return factor_chunk<Q, P>(data, lambda.data(), b, e - b, lease->at(b * slot_len), slot_len);
      std::vector<double> slot(slot_len, 0.0);
      return factor_chunk<Q, P>(data, lambda.data(), b, e - b, slot.data(), 0);
    });
  });

  bool ok = true;
  std::vector<double> sxtx(p * p, 0.0);
  std::vector<TwoSum> sxty(p);
  TwoSum sldl2, syty;
  for (const FirstPassSums& a : accs) {
    ok = ok && a.ok;
    for (std::size_t i = 0; i < p * p; ++i) sxtx[i] = sxtx[i] + a.xtx[i];
    for (std::size_t j = 0; j < p; ++j) two_sum_merge(sxty[j], a.xty[j]);
    two_sum_merge(sldl2, a.ldl2);
    two_sum_merge(syty, a.yty);
  }
  if (!ok) return std::nullopt;

  std::vector<double> a(p * p), rhs(p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = i; j < p; ++j) a[i * p + j] = a[j * p + i] = data.xtx[i * p + j] - sxtx[i * p + j];
  for (std::size_t j = 0; j < p; ++j) rhs[j] = (data.xty[j] - sxty[j].hi) - sxty[j].lo;
  const double r2 = (data.yty - syty.hi) - syty.lo;
  const double ldl2 = sldl2.hi + sldl2.lo;

  auto prof = profile(data, std::move(a), std::move(rhs), reml, r2, ldl2);
  if (!prof) return std::nullopt;

  Evaluation ev = evaluation_from(*prof, ldl2, reml);
  if (mode != kModeDeviance) {
    std::vector<double> ainv;
    if (reml || mode == kModeSolution) ainv = cholesky_inverse(prof->rx.data(), p);
    if (mode == kModeSolution) ev.u.assign(m * q, 0.0);
    auto grads = by_qp(q, p, [&](auto qc, auto pc) {
      constexpr std::size_t Q = decltype(qc)::value, P = decltype(pc)::value;
      return map_chunks<GradientSums>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
        return gradient_chunk<Q, P>(data, b, e - b, lease->at(b * slot_len), slot_len, prof->beta, ainv,
                                    reml, ev.u.empty() ? nullptr : &ev.u[b * q]);
      });
    });
    std::vector<double> ldgrad(nt, 0.0), pwgrad(nt, 0.0);
    for (const GradientSums& g : grads)
      for (std::size_t k = 0; k < nt; ++k) {
        ldgrad[k] = ldgrad[k] + g.ldgrad[k];
        pwgrad[k] = pwgrad[k] + g.pwgrad[k];
      }
    const double f = prof->nu / prof->pwrss;
    ev.gradient.resize(nt);
    for (std::size_t k = 0; k < nt; ++k) ev.gradient[k] = pwgrad[k] * f + ldgrad[k];
    ev.grad_logdet = std::move(ldgrad);
    ev.grad_pwrss = std::move(pwgrad);
    if (mode == kModeSolution) ev.fixed_inverse = std::move(ainv);
  }
  ev.beta = std::move(prof->beta);
  return ev;
}

}  // namespace qk
