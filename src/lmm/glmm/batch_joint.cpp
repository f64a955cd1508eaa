// The joint PIRLS of nAGQ = 0 in the fit from batches (batch_driver.hpp): its passes,
// beta's covariance at fixed theta, and nAGQ = 0's criterion with its exact gradient,
// from passes whose row sums are those joint.cpp takes of the rows in memory (in the
// same order within each group).
#include <algorithm>
#include <cmath>

#include "linalg/dense.hpp"
#include "lmm/glmm/batch_driver.hpp"

namespace qk::glmm::detail {

JointSums Driver::joint_pass(const std::vector<double>& lambda, const double* beta, const std::vector<double>& u,
                             JointStore* store, bool observed) {
  const std::uint64_t m = model_.m, q = model_.q, p = model_.p, qq = q * q, pe = p + n_extra(model_.family);
  // A value alone (a trial step of the joint PIRLS, a start compared) takes the step's
  // sums too: where the step is taken the next iteration asks for them at that point.
  const bool kept = store && !observed && joint_kept_ && lambda == jl_ && std::equal(beta, beta + pe, jb_.begin()) &&
                    u == ju_;
  if (!kept) {
    PassInput in;
    in.kind = PassKind::kJoint;
    in.observed = observed;
    in.lambda = lambda.data();
    in.beta = beta;
    in.u = u.data();
    pass(in);
    if (!store && !observed) {
      joint_kept_ = true;
      jl_ = lambda;
      jb_.assign(beta, beta + pe);
      ju_ = u;
    }
  }
  joint_kept_ = joint_kept_ && !store;
  JointSums out;
  for (std::uint64_t g = 0; g < m; ++g) {
    double uu = 0.0;
    for (std::uint64_t j = 0; j < q; ++j) uu = uu + u[g * q + j] * u[g * q + j];
    out.h = out.h + (-2.0 * sums_.ll[g] + uu);
  }
  out.ok = std::isfinite(out.h);
  if (!store) return out;
  out.s = sums_.xsx;
  out.rb = sums_.xd1;
  for (std::uint64_t g = 0; g < m && out.ok; ++g) {
    double* lg = sums_.ms.data() + g * qq;
    double* bg = sums_.bx.data() + g * q * p;
    double* rg = sums_.d1.data() + g * q;
    for (std::uint64_t j = 0; j < q; ++j) lg[j * q + j] = lg[j * q + j] + 1.0;
    if (!detail::schur_share(lg, q, p, bg, rg, out.s.data(), out.rb.data())) {
      out.ok = false;
      break;
    }
    std::copy(lg, lg + qq, store->l.begin() + static_cast<std::ptrdiff_t>(g * qq));
    std::copy(bg, bg + q * p, store->c.begin() + static_cast<std::ptrdiff_t>(g * q * p));
    std::copy(rg, rg + q, store->r.begin() + static_cast<std::ptrdiff_t>(g * q));
  }
  return out;
}

bool Driver::rx_inverse(const std::vector<double>& lambda, const double* beta, const std::vector<double>& u,
                        double* out) {
  const std::uint64_t m = model_.m, q = model_.q, p = model_.p;
  JointStore store{std::vector<double>(m * q * q), std::vector<double>(m * q * p), std::vector<double>(m * q)};
  JointSums sums = joint_pass(lambda, beta, u, &store);
  if (!sums.ok || !cholesky_in_place(sums.s.data(), p)) return false;
  cholesky_inverse(sums.s.data(), p, out);
  return true;
}

bool Driver::joint_modes(const std::vector<double>& lambda, const double* beta0, double* beta,
                         const std::vector<double>* warm, std::vector<double>& u) {
  const std::uint64_t mq = model_.m * model_.q;
  // A start from other modes is kept where it is no worse than zero (warm may be u).
  // Zero's value first: where the start is kept, the joint PIRLS's first step is at the
  // start, whose sums the second pass keeps.
  bool keep = false;
  if (warm && warm->size() == mq) {
    const double at_zero = joint_pass(lambda, beta0, std::vector<double>(mq, 0.0), nullptr).h;
    keep = joint_pass(lambda, beta0, *warm, nullptr).h <= at_zero;
  }
  if (!keep) u.clear();
  else if (warm != &u) u = *warm;
  const JointPass at = [&](const double* b, const std::vector<double>& uv, JointStore* store, bool observed) {
    return joint_pass(lambda, b, uv, store, observed);
  };
  // The halved steps after a whole step that fails, all in one pass.
  const JointTrials trials = [&](const std::vector<double>& bts, const std::vector<double>& uv,
                                 const std::vector<double>& du, const std::vector<double>& steps) {
    const std::uint64_t m = model_.m, q = model_.q, k = steps.size();
    PassInput in;
    in.kind = PassKind::kTrials;
    in.lambda = lambda.data();
    in.beta = bts.data();
    in.u = uv.data();
    in.du = du.data();
    in.points = bts.data();
    in.steps = steps.data();
    in.nodes = k;
    pass(in);
    std::vector<JointSums> out(k);
    for (std::uint64_t j = 0; j < k; ++j) {
      for (std::uint64_t g = 0; g < m; ++g) {
        double uu = 0.0;  // joint_pass's sum at u + s du
        for (std::uint64_t c = 0; c < q; ++c) {
          const double v = uv[g * q + c] + steps[j] * du[g * q + c];
          uu = uu + v * v;
        }
        out[j].h = out[j].h + (-2.0 * sums_.at_nodes[g * k + j] + uu);
      }
      out[j].ok = std::isfinite(out[j].h);
    }
    return out;
  };
  return joint_pirls(model_.m, model_.q, model_.p, model_.p + n_extra(model_.family), beta0, at, beta, u,
                     model_.family.inflated, &trials);
}

bool Driver::joint(const std::vector<double>& lambda, const double* beta0, double& value, double* beta,
                   double* rx_inv, std::vector<double>* warm) {
  std::vector<double> u;
  if (!joint_modes(lambda, beta0, beta, warm, u)) return false;
  if (rx_inv && !rx_inverse(lambda, beta, u, rx_inv)) return false;
  // The Laplace value at beta: its PIRLS starts from the joint PIRLS's modes there (the
  // very modes where the link is canonical, a pass or two from them where it is not),
  // not from zero, whose PIRLS takes some eight passes.
  if (!warm) warm = &u;
  else *warm = u;
  return evaluate(lambda, beta, value, nullptr, warm);
}

bool Driver::joint_gradient(const std::vector<double>& lambda, const double* beta0, double& value, double* beta,
                            double* grad, std::vector<double>& warm) {
  const std::uint64_t p = model_.p, q = model_.q, m = model_.m, qq = q * q, nt = model_.idx.size();
  const std::uint64_t ne = n_extra(model_.family);
  if (!joint_modes(lambda, beta0, beta, &warm, warm)) return false;
  std::vector<double> full(nt + p + ne, 0.0);
  if (!evaluate(lambda, beta, value, full.data(), &warm)) return false;
  const std::vector<double> u = u_;
  // H = 2 S_o, S_o the Schur complement of the exact Hessian of h over (u, beta);
  // Fisher's where the observed curvature is not positive definite in a group.
  JointStore store{std::vector<double>(m * qq), std::vector<double>(m * q * p), std::vector<double>(m * q)};
  JointSums sums = joint_pass(lambda, beta, u, &store, true);
  if (!sums.ok) sums = joint_pass(lambda, beta, u, &store, false);
  if (!sums.ok) return false;
  for (std::uint64_t i = 0; i < p; ++i)
    for (std::uint64_t j = i + 1; j < p; ++j) sums.s[i * p + j] = 0.0;
  if (!cholesky_in_place(sums.s.data(), p)) return false;
  std::vector<double> v(full.begin() + static_cast<std::ptrdiff_t>(nt), full.begin() + static_cast<std::ptrdiff_t>(nt + p));
  forward_solve(sums.s.data(), p, v.data(), 1);
  backward_solve(sums.s.data(), p, v.data(), 1);
  for (double& x : v) x = 0.5 * x;
  // The adjoint term psi (joint_gradient's): t = M_o^-1 s per group from one pass, its
  // row sums from a second.
  PassInput in;
  in.kind = PassKind::kAdjoint;
  in.lambda = lambda.data();
  in.beta = beta;
  in.u = u.data();
  in.v = v.data();
  pass(in);
  std::vector<double> t = sums_.s;
  for (std::uint64_t g = 0; g < m; ++g) {
    forward_solve(store.l.data() + g * qq, q, t.data() + g * q, 1);
    backward_solve(store.l.data() + g * qq, q, t.data() + g * q, 1);
  }
  in.kind = PassKind::kAdjointGradient;
  in.t = t.data();
  pass(in);
  std::vector<double> psi(nt + ne, 0.0);
  for (std::uint64_t g = 0; g < m; ++g)
    for (std::size_t i = 0; i < nt; ++i) {
      const std::uint64_t ra = model_.idx[i].first, cb = model_.idx[i].second;
      psi[i] = psi[i] + (u[g * q + cb] * sums_.zw[g * q + ra] + t[g * q + cb] * sums_.zd[g * q + ra]);
    }
  for (std::uint64_t j = 0; j < ne; ++j) psi[nt + j] = sums_.gb[j];
  return joint_difference(full, psi, nt, p, ne, grad);
}

}  // namespace qk::glmm::detail
