// Helpers of the tests of products: slices, reductions, byte records, the products
// summed row by row, and a design for the parallel passes.
#pragma once

#include <string>
#include <vector>

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
  if (auto* err = std::get_if<std::string>(&r)) ADD_FAILURE() << "reduce_rows failed: " << *err;
  return r.index() == 0 ? std::move(std::get<0>(r).products) : qk::Products{};
}

inline std::string block_bits(const qk::Products& pr) {
  return Bytes().vec(pr.ztz).vec(pr.ztx).vec(pr.zty).vec(pr.counts).u64(pr.n).u64(pr.m).buf;
}

inline std::string fixed_bits(const qk::Products& pr) { return Bytes().vec(pr.xtx).vec(pr.xty).f64(pr.yty).buf; }

// Large enough for the parallel passes, y and x's last column far from zero.
inline Design big_design() {
  return make_design({.p = 3, .q = 2, .m = 3000, .min_rows = 0, .max_rows = 40, .seed = 77, .mean = 1e4});
}

// The products of d's rows, shifted and weighted: each group's blocks in row order with
// the row passes' expressions (to hold bit for bit), the fixed products and sum log w
// in long double (to hold to rounding).
inline qk::Products row_sums(const Design& d, const qk::Shift& shift) {
  const std::uint64_t p = d.p, q = d.q;
  qk::Products pr{d.n, p, q, d.m, Vec(p * p), Vec(p), 0.0, Vec(d.m * q * q), Vec(d.m * q * p), Vec(d.m * q),
                  std::vector<std::uint64_t>(d.m), shift, !d.w.empty(), 0.0};
  std::vector<long double> xtx(p * p), xty(p);
  long double yty = 0.0L, logw = 0.0L;
  Vec xs(p);
  for (std::uint64_t r = 0; r < d.n; ++r) {
    const std::uint64_t g = static_cast<std::uint64_t>(d.codes[r]);
    const double yr = d.y[r] - shift.y, wr = d.w.empty() ? 1.0 : d.w[r];
    ++pr.counts[g];
    for (std::uint64_t j = 0; j < p; ++j) xs[j] = d.x[r * p + j] - shift.x[j];
    for (std::uint64_t a = 0; a < q; ++a) {
      const double za = d.z[r * q + a] * wr;
      pr.zty[g * q + a] += yr * za;
      for (std::uint64_t b = a; b < q; ++b) pr.ztz[(g * q + a) * q + b] += za * d.z[r * q + b];
      for (std::uint64_t k = 0; k < p; ++k) pr.ztx[(g * q + a) * p + k] += za * xs[k];
    }
    for (std::uint64_t j = 0; j < p; ++j) {
      xty[j] += static_cast<long double>(xs[j]) * yr * wr;
      for (std::uint64_t k = 0; k < p; ++k) xtx[j * p + k] += static_cast<long double>(xs[j]) * xs[k] * wr;
    }
    yty += static_cast<long double>(yr) * yr * wr;
    logw += std::log(static_cast<long double>(wr));
  }
  for (std::uint64_t g = 0; g < d.m; ++g)
    for (std::uint64_t a = 0; a < q; ++a)
      for (std::uint64_t b = 0; b < a; ++b) pr.ztz[(g * q + a) * q + b] = pr.ztz[(g * q + b) * q + a];
  std::copy(xtx.begin(), xtx.end(), pr.xtx.begin());
  std::copy(xty.begin(), xty.end(), pr.xty.begin());
  pr.yty = static_cast<double>(yty);
  pr.log_weights = static_cast<double>(logw);
  return pr;
}

// Empty when got holds want's blocks to the bit, the rest to rounding.
inline std::string products_differ(const qk::Products& got, const qk::Products& want) {
  std::string err = block_bits(got) == block_bits(want) ? "" : "blocks differ;";
  if (!all_near(got.xtx, want.xtx, 1e-12) || !all_near(got.xty, want.xty, 1e-12) || !near_rel(got.yty, want.yty, 1e-12))
    err += "fixed products differ;";
  if (got.weighted != want.weighted || !near_rel(got.log_weights, want.log_weights, 1e-12)) err += "weights differ;";
  return err;
}

}  // namespace qkt
