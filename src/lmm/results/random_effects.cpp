// Per-group conditional quantities at a given theta: the conditional modes of the
// spherical random effects, u_i = (Lambda'Z_i'Z_i Lambda + I)^-1 Lambda'(Z_i'y_i -
// Z_i'X_i beta), and the conditional covariances Var(b_i | y) =
// sigma^2 Lambda (Lambda'Z_i'Z_i Lambda + I)^-1 Lambda' (Bates et al. 2015, section 3).
#include "lmm/results/random_effects.hpp"

#include <atomic>

#include "linalg/dense.hpp"
#include "lmm/evaluate/evaluate.hpp"
#include "lmm/evaluate/fixed_q.hpp"
#include "pool/pool.hpp"

namespace qk {

std::vector<double> random_effects(const LmmData& data, const std::vector<double>& lambda,
                                   const std::vector<double>& beta) {
  const std::uint64_t p = data.p, q = data.q, m = data.m;
  std::vector<double> u(m * q, 0.0);
  const ChunkPlan plan = plan_chunks(m, (p + 2 * q * q) * q + 4);
  by_q(q, [&](auto qc) {
    constexpr std::size_t Q = decltype(qc)::value;
    for_chunks(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
      const std::size_t qn = Q ? Q : q;
      std::vector<double> work(2 * qn * qn + qn, 0.0);
      double* tmp = work.data();
      double* s = tmp + qn * qn;
      double* r = s + qn * qn;
      for (std::uint64_t g = b; g < e; ++g) {
        // Only called after the same factorisations succeeded in the evaluation.
        factor_lambda_block(&data.ztz[g * qn * qn], lambda.data(), qn, tmp, s);
        const double* ztx = data.ztx.data() + g * qn * p;
        for (std::size_t c = 0; c < qn; ++c) {
          double rc = data.zty[g * qn + c];
          for (std::size_t j = 0; j < p; ++j) rc = rc - ztx[c * p + j] * beta[j];
          r[c] = rc;
        }
        double* ug = &u[g * qn];
        mat_tmul(lambda.data(), r, ug, qn, qn, 1);
        forward_solve(s, qn, ug, 1);
        backward_solve(s, qn, ug, 1);
      }
    });
    return 0;
  });
  return u;
}

std::optional<std::vector<double>> conditional_covariances(const LmmData& data,
                                                           const std::vector<double>& theta,
                                                           bool reml) {
  auto ev = evaluate(data, theta, reml, kModeDeviance);
  if (!ev) return std::nullopt;
  const std::uint64_t q = data.q, m = data.m;
  const std::vector<double> lambda = theta_to_lambda(theta, data.theta_index, q);
  const double sigma2 = ev->sigma2;
  std::vector<double> out(m * q * q, 0.0);
  std::atomic<bool> ok{true};
  const ChunkPlan plan = plan_chunks(m, 4 * q * q * q + 4);
  by_q(q, [&](auto qc) {
    constexpr std::size_t Q = decltype(qc)::value;
    for_chunks(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
      const std::size_t qn = Q ? Q : q, qq = qn * qn;
      std::vector<double> work(4 * qq, 0.0);
      double* tmp = work.data();
      double* s = tmp + qq;
      double* sinv = s + qq;
      double* t = sinv + qq;
      for (std::uint64_t g = b; g < e; ++g) {
        if (!factor_lambda_block(&data.ztz[g * qq], lambda.data(), qn, tmp, s)) {
          ok = false;
          return;
        }
        cholesky_inverse(s, qn, sinv);
        mat_mul(lambda.data(), sinv, t, qn, qn, qn);
        double* v = &out[g * qq];
        mat_mul_bt(t, lambda.data(), v, qn, qn, qn);
        for (std::size_t i = 0; i < qq; ++i) v[i] = sigma2 * v[i];
      }
    });
    return 0;
  });
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace qk
