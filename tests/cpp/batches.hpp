// Helpers of the tests of products of batches: slices of a design, its products
// reduced with a shift, byte records of the blocks and of the fixed products, and a
// design for the parallel passes.
#pragma once

#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "lmm/evaluate/evaluate.hpp"
#include "lmm/prepare/products.hpp"
#include "support.hpp"

namespace qkt {

// Rows [b, e) of d as a design of their own (same groups).
inline Design slice(const Design& d, std::uint64_t b, std::uint64_t e) {
  std::vector<std::size_t> perm;
  for (std::uint64_t r = b; r < e; ++r) perm.push_back(r);
  return reorder(d, perm);
}

inline qk::Products reduce(const Design& d, const qk::Shift& shift) {
  auto r = qk::reduce_rows(d.rows(), d.m, shift);
  if (auto* err = std::get_if<std::string>(&r)) {
    ADD_FAILURE() << "reduce_rows failed: " << *err;
    return {};
  }
  return std::move(std::get<qk::Reduced>(r).products);
}

inline std::string block_bits(const qk::Products& pr) {
  Bytes b;
  b.vec(pr.ztz).vec(pr.ztx).vec(pr.zty).vec(pr.counts).u64(pr.n).u64(pr.m);
  return b.buf;
}

inline std::string fixed_bits(const qk::Products& pr) { return Bytes().vec(pr.xtx).vec(pr.xty).f64(pr.yty).buf; }

// A design large enough for the parallel path, with y and a column of x far from
// zero so that both are centred, rows in random group order.
inline Design big_design() {
  Design d = make_design({.p = 3, .q = 2, .m = 3000, .min_rows = 0, .max_rows = 40, .seed = 77});
  for (double& v : d.y) v = 1e6 + v;
  for (std::uint64_t r = 0; r < d.n; ++r) d.x[r * d.p + 2] += 1e4;
  return d;
}

// The blocks of d's rows shifted by `shift`, each group's rows added in row order with
// the expressions of the row passes: what the products must hold bit for bit.
inline std::string naive_blocks(const Design& d, const qk::Shift& shift) {
  const std::uint64_t p = d.p, q = d.q;
  qk::Products pr;
  pr.ztz.assign(d.m * q * q, 0.0);
  pr.ztx.assign(d.m * q * p, 0.0);
  pr.zty.assign(d.m * q, 0.0);
  pr.counts.assign(d.m, 0);
  pr.n = d.n;
  pr.m = d.m;
  for (std::uint64_t r = 0; r < d.n; ++r) {
    const std::uint64_t g = static_cast<std::uint64_t>(d.codes[r]);
    const double yr = d.y[r] - shift.y;
    ++pr.counts[g];
    for (std::uint64_t a = 0; a < q; ++a) {
      const double za = d.z[r * q + a];
      pr.zty[g * q + a] = pr.zty[g * q + a] + yr * za;
      for (std::uint64_t b = a; b < q; ++b) pr.ztz[(g * q + a) * q + b] = pr.ztz[(g * q + a) * q + b] + za * d.z[r * q + b];
      for (std::uint64_t k = 0; k < p; ++k)
        pr.ztx[(g * q + a) * p + k] = pr.ztx[(g * q + a) * p + k] + za * (d.x[r * p + k] - shift.x[k]);
    }
  }
  for (std::uint64_t g = 0; g < d.m; ++g)
    for (std::uint64_t a = 0; a < q; ++a)
      for (std::uint64_t b = 0; b < a; ++b) pr.ztz[(g * q + a) * q + b] = pr.ztz[(g * q + b) * q + a];
  return block_bits(pr);
}

// The criterion at theta, NaN where it is infeasible.
inline double deviance_of(const qk::LmmData& d, const Vec& theta, bool reml) {
  auto ev = qk::evaluate(d, theta, reml, qk::kModeDeviance);
  return ev ? ev->deviance : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace qkt
