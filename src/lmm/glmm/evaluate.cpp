// The rows of a GLMM, its criteria summed over groups on the pool, and the
// Gauss-Hermite rule.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

#include "linalg/dense.hpp"
#include "lmm/glmm/glmm.hpp"
#include "lmm/glmm/group.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {

using detail::GroupWork;

Rows make_rows(const RowInput& in, Family family, const std::vector<std::uint64_t>& blocks) {
  Rows rows;
  rows.n = in.n;
  rows.p = in.p;
  rows.q = in.q;
  rows.m = in.m;
  rows.family = family;
  rows.family.zi_columns = static_cast<std::uint32_t>(in.zi_columns);
  if (in.q == 0) throw std::invalid_argument("z must have at least one column");
  if (family.inflated && in.zi_columns == 0)
    throw std::invalid_argument("the zero-inflation's design needs at least one column");
  if (auto err = blocks_error(blocks, in.q)) throw std::invalid_argument(*err);
  rows.blocks = blocks;
  rows.idx = theta_index(in.q, blocks);
  std::vector<std::uint64_t> count(in.m + 1, 0);
  for (std::uint64_t i = 0; i < in.n; ++i) {
    const std::int64_t c = in.codes[i];
    if (c < 0 || static_cast<std::uint64_t>(c) >= in.m)
      throw std::invalid_argument("codes[" + std::to_string(i) + "] = " + std::to_string(c) +
                                  " is outside 0.." + std::to_string(in.m - 1));
    ++count[static_cast<std::uint64_t>(c) + 1];
  }
  for (std::uint64_t g = 0; g < in.m; ++g) {
    if (count[g + 1] == 0) throw std::invalid_argument("group " + std::to_string(g) + " has no rows");
    rows.max_rows = std::max(rows.max_rows, count[g + 1]);
    count[g + 1] += count[g];
  }
  rows.start = count;
  rows.order.assign(in.n, 0);
  std::vector<std::uint64_t> next(count.begin(), count.end() - 1);
  for (std::uint64_t i = 0; i < in.n; ++i) rows.order[next[static_cast<std::uint64_t>(in.codes[i])]++] = i;
  rows.y.resize(in.n);
  rows.w.resize(in.n);
  rows.offset.resize(in.n);
  rows.x.resize(in.n * in.p);
  rows.z.resize(in.n * in.q);
  const std::uint64_t pz = family.inflated ? in.zi_columns : 0;
  rows.zx.assign(in.n * pz, 1.0);
  double constant = 0.0;
  for (std::uint64_t k = 0; k < in.n; ++k) {
    const std::uint64_t i = rows.order[k];
    const double y = in.y[i], w = in.w[i];
    // A row of weight zero (a binomial row of no trials) carries no information.
    if (!(w == 0.0 && std::isfinite(y)) && check_response(family, y, w) == Support::kOutside)
      throw std::invalid_argument("row " + std::to_string(i) + ": response " + std::to_string(y) +
                                  " with weight " + std::to_string(w) + " is outside the support of the " +
                                  family.def->name + " family");
    rows.y[k] = y;
    rows.w[k] = w;
    rows.offset[k] = in.offset ? in.offset[i] : 0.0;
    if (!std::isfinite(rows.offset[k])) throw std::invalid_argument("offset[" + std::to_string(i) + "] is not finite");
    std::copy(in.x + i * in.p, in.x + (i + 1) * in.p, rows.x.begin() + static_cast<std::ptrdiff_t>(k * in.p));
    std::copy(in.z + i * in.q, in.z + (i + 1) * in.q, rows.z.begin() + static_cast<std::ptrdiff_t>(k * in.q));
    if (in.zx && pz > 0)
      std::copy(in.zx + i * pz, in.zx + (i + 1) * pz, rows.zx.begin() + static_cast<std::ptrdiff_t>(k * pz));
    constant = constant + (w == 0.0 ? 0.0 : loglik_constant(family, y, w));
  }
  for (double v : rows.x)
    if (!std::isfinite(v)) throw std::invalid_argument("x has a value that is not finite");
  for (double v : rows.z)
    if (!std::isfinite(v)) throw std::invalid_argument("z has a value that is not finite");
  for (double v : rows.zx)
    if (!std::isfinite(v)) throw std::invalid_argument("the zero-inflation's design has a value that is not finite");
  rows.constant = -2.0 * constant;
  return rows;
}

std::vector<double> lambda_of(const Rows& rows, const std::vector<double>& theta) {
  return theta_to_lambda(theta, rows.idx, rows.q);
}

namespace {

// Work per group, for the chunk plan: its rows times the q x q updates.
std::uint64_t group_cost(const Rows& rows) {
  const std::uint64_t per = rows.n / std::max<std::uint64_t>(rows.m, 1) + 1;
  return per * (rows.q * rows.q + rows.p + 8) * 8;
}

struct Part {
  double value = 0.0;
  std::vector<double> grad;
  bool ok = true;
};

}  // namespace

bool evaluate(const Rows& rows, const std::vector<double>& lambda, const double* beta, int nagq,
              double& value, double* grad, Modes* modes, std::vector<double>* warm) {
  const std::uint64_t q = rows.q, nt = rows.idx.size(), np = nt + rows.p + n_extra(rows);
  std::vector<double> nodes, logw;
  if (nagq > 1) {
    gauss_hermite(nagq, nodes, logw);
    for (double& w : logw) w = std::log(w);
  }
  if (modes) {
    modes->u.assign(rows.m * q, 0.0);
    modes->l.assign(rows.m * q * q, 0.0);
    modes->eta.assign(rows.n, 0.0);
  }
  const bool want_grad = grad != nullptr && nagq <= 1;
  const ChunkPlan plan = plan_chunks(rows.m, group_cost(rows));
  const std::vector<Part> parts = map_chunks<Part>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    Part part;
    if (want_grad) part.grad.assign(np, 0.0);
    GroupWork work(rows);
    std::vector<double> u(q);
    const bool from_warm = warm && warm->size() == rows.m * q;
    for (std::uint64_t g = b; g < e; ++g) {
      // A group's Laplace step or quadrature runs over all its rows: seconds for q = 4.
      check_interrupt();
      if (from_warm)
        std::copy(warm->begin() + static_cast<std::ptrdiff_t>(g * q), warm->begin() + static_cast<std::ptrdiff_t>((g + 1) * q),
                  u.begin());
      else
        std::fill(u.begin(), u.end(), 0.0);
      detail::group_prepare(rows, g, lambda.data(), beta, work);
      if (!detail::group_mode(rows, g, work, u.data(), from_warm)) {
        part.ok = false;
        return part;
      }
      if (from_warm) std::copy(u.begin(), u.end(), warm->begin() + static_cast<std::ptrdiff_t>(g * q));
      if (modes) {
        std::copy(u.begin(), u.end(), modes->u.begin() + static_cast<std::ptrdiff_t>(g * q));
        std::copy(work.l.begin(), work.l.end(), modes->l.begin() + static_cast<std::ptrdiff_t>(g * q * q));
        const std::uint64_t r0 = rows.start[g], nr = rows.start[g + 1] - r0;
        std::copy(work.eta.begin(), work.eta.begin() + static_cast<std::ptrdiff_t>(nr),
                  modes->eta.begin() + static_cast<std::ptrdiff_t>(r0));
      }
      part.value = part.value + (nagq > 1 ? detail::group_agq(rows, g, work, u.data(), nodes, logw)
                                           : detail::group_laplace(rows, g, work, u.data()));
      if (want_grad) detail::group_gradient(rows, g, work, u.data(), part.grad.data());
    }
    return part;
  });
  double total = rows.constant;
  if (want_grad) std::fill(grad, grad + np, 0.0);
  for (const Part& part : parts) {
    if (!part.ok) return false;
    total = total + part.value;
    if (want_grad)
      for (std::uint64_t j = 0; j < np; ++j) grad[j] = grad[j] + part.grad[j];
  }
  value = total;
  return std::isfinite(total);
}

void gauss_hermite(int k, std::vector<double>& nodes, std::vector<double>& weights) {
  // Golub & Welsch (Math. Comp. 23, 1969): the nodes are the eigenvalues of the Jacobi
  // matrix of the orthonormal probabilists' Hermite polynomials p_j (off-diagonal
  // sqrt(j)). The eigenvalues are then polished by Newton's method on p_k (p_k' =
  // sqrt(k) p_(k-1)), and the weights taken as Christoffel numbers 1 / sum_j<k p_j(x)^2,
  // which keeps the smallest weights accurate to rounding (the eigenvectors' first
  // components would not).
  const std::size_t n = static_cast<std::size_t>(std::max(k, 1));
  std::vector<double> jac(n * n, 0.0), vectors;
  for (std::size_t i = 1; i < n; ++i) jac[i * n + (i - 1)] = jac[(i - 1) * n + i] = std::sqrt(static_cast<double>(i));
  symmetric_eigen(jac, n, nodes, vectors);
  // p_0 .. p_n at x by the three-term recurrence; returns p_n, p_(n-1) and the sum of
  // p_j^2 over j < n.
  auto polys = [n](double x, double& pn, double& pn1, double& sq) {
    double prev = 0.0, cur = 1.0;
    sq = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      sq = sq + cur * cur;
      const double next = (x * cur - std::sqrt(static_cast<double>(j)) * prev) / std::sqrt(static_cast<double>(j + 1));
      prev = cur;
      cur = next;
    }
    pn = cur;
    pn1 = prev;
  };
  weights.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double x = nodes[i], pn, pn1, sq;
    for (int it = 0; it < 3; ++it) {
      polys(x, pn, pn1, sq);
      const double d = pn1 * std::sqrt(static_cast<double>(n));
      if (d == 0.0) break;
      x = x - pn / d;
    }
    polys(x, pn, pn1, sq);
    nodes[i] = x;
    weights[i] = 1.0 / sq;
  }
  // The rule is symmetric: mirror it, so the middle node is exactly zero for odd k.
  for (std::size_t j = 0; j < n / 2; ++j) {
    const double x = 0.5 * (nodes[n - 1 - j] - nodes[j]);
    const double w = 0.5 * (weights[j] + weights[n - 1 - j]);
    nodes[j] = -x;
    nodes[n - 1 - j] = x;
    weights[j] = weights[n - 1 - j] = w;
  }
  if (n % 2 == 1) nodes[n / 2] = 0.0;
}

}  // namespace qk::glmm
