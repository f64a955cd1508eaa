// Sums over rows for K grouping factors: per factor the block-diagonal Z_j'WZ_j,
// Z_j'WX and Z_j'Wy, between factors the blocks Z_i'WZ_j of the pairs of levels that
// occur together, and X'WX, X'Wy, y'Wy.
#include <algorithm>
#include <cmath>

#include "lmm/crossed/crossed.hpp"
#include "pool/pool.hpp"

namespace qk::crossed {

std::size_t pair_index(std::size_t i, std::size_t j, std::size_t k) {
  // Pairs (0,1) .. (0,k-1), (1,2) .. : those before row i, then j's place in row i.
  return i * k - i * (i + 1) / 2 + (j - i - 1);
}

namespace {

Products empty_like(const CrossedRows& rows, const Shift& shift) {
  Products pr;
  pr.shift = shift;
  const std::size_t k = rows.factors.size();
  pr.p = rows.p;
  pr.weighted = rows.w != nullptr;
  for (const FactorRows& f : rows.factors) {
    pr.m.push_back(f.m);
    pr.q.push_back(f.q);
    pr.ztz.emplace_back(size_mul(f.m, f.q * f.q), 0.0);
    pr.ztx.emplace_back(size_mul(f.m, f.q * rows.p), 0.0);
    pr.zty.emplace_back(size_mul(f.m, f.q), 0.0);
  }
  pr.cross.resize(k * (k - 1) / 2);
  pr.xtx.assign(rows.p * rows.p, 0.0);
  pr.xty.assign(rows.p, 0.0);
  return pr;
}

// The rows' order by (level i, level j), ties in row order: two stable counting
// passes, the second level first (a least-significant-digit radix sort), in O(rows +
// levels) where a comparison sort of the pair keys costs rows log rows. `scratch` is
// as long as `order`.
void stable_order(const std::int64_t* ci, std::uint64_t mi, const std::int64_t* cj, std::uint64_t mj,
                  std::vector<std::uint64_t>& order, std::vector<std::uint64_t>& scratch) {
  const std::size_t n = order.size();
  const auto pass = [n](const std::int64_t* codes, std::uint64_t m, const std::uint64_t* in, std::uint64_t* out) {
    std::vector<std::uint64_t> start(m + 1, 0);
    for (std::size_t r = 0; r < n; ++r) ++start[static_cast<std::uint64_t>(codes[r]) + 1];
    for (std::uint64_t l = 0; l < m; ++l) start[l + 1] += start[l];
    for (std::size_t t = 0; t < n; ++t) {
      const std::uint64_t r = in ? in[t] : t;
      out[start[static_cast<std::uint64_t>(codes[r])]++] = r;
    }
  };
  pass(cj, mj, nullptr, scratch.data());
  pass(ci, mi, scratch.data(), order.data());
}

// Rows [b, e) of the shifted X and y, summed in row order.
Products chunk_products(const CrossedRows& rows, const Shift& shift, std::uint64_t b, std::uint64_t e) {
  Products pr = empty_like(rows, shift);
  const std::size_t k = rows.factors.size(), p = rows.p;
  const bool shifted = shift.active();
  std::vector<double> xs(p);
  pr.n = e - b;
  for (std::uint64_t r = b; r < e; ++r) {
    const double w = rows.w ? rows.w[r] : 1.0;
    const double* xr = rows.x + r * p;
    if (shifted) {
      for (std::size_t a = 0; a < p; ++a) xs[a] = xr[a] - shift.x[a];
      xr = xs.data();
    }
    const double yr = shifted ? rows.y[r] - shift.y : rows.y[r];
    const double yw = yr * w;
    pr.yty = pr.yty + yw * yr;
    if (rows.w) pr.log_weights = pr.log_weights + std::log(w);
    for (std::size_t a = 0; a < p; ++a) {
      const double xa = xr[a] * w;
      pr.xty[a] = pr.xty[a] + xa * yr;
      for (std::size_t c = 0; c < p; ++c) pr.xtx[a * p + c] = pr.xtx[a * p + c] + xa * xr[c];
    }
    for (std::size_t j = 0; j < k; ++j) {
      const FactorRows& f = rows.factors[j];
      const std::uint64_t l = static_cast<std::uint64_t>(f.codes[r]), q = f.q;
      const double* zr = f.z + r * q;
      double* ztz = &pr.ztz[j][l * q * q];
      double* ztx = pr.ztx[j].data() + l * q * p;  // empty when p = 0 (a fixed effect held)
      for (std::size_t a = 0; a < q; ++a) {
        const double za = zr[a] * w;
        pr.zty[j][l * q + a] = pr.zty[j][l * q + a] + za * yr;
        for (std::size_t c = 0; c < q; ++c) ztz[a * q + c] = ztz[a * q + c] + za * zr[c];
        for (std::size_t c = 0; c < p; ++c) ztx[a * p + c] = ztx[a * p + c] + za * xr[c];
      }
    }
  }
  // Cross blocks: the chunk's rows sorted stably by their pair of levels, then summed
  // in row order within each pair.
  std::vector<std::uint64_t> key(e - b), order(e - b), by(e - b);
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const FactorRows& fi = rows.factors[i];
      const FactorRows& fj = rows.factors[j];
      for (std::uint64_t r = b; r < e; ++r)
        key[r - b] = static_cast<std::uint64_t>(fi.codes[r]) * fj.m + static_cast<std::uint64_t>(fj.codes[r]);
      stable_order(fi.codes + b, fi.m, fj.codes + b, fj.m, order, by);
      CrossBlock& cb = pr.cross[pair_index(i, j, k)];
      const std::size_t qq = fi.q * fj.q;
      std::size_t distinct = 0;
      for (std::size_t t = 0; t < order.size(); ++t) distinct += t == 0 || key[order[t]] != key[order[t - 1]];
      cb.keys.reserve(distinct);
      cb.values.assign(distinct * qq, 0.0);
      double* v = cb.values.data();
      for (std::uint64_t o : order) {
        if (!cb.keys.empty() && cb.keys.back() != key[o]) v += qq;
        if (cb.keys.empty() || cb.keys.back() != key[o]) cb.keys.push_back(key[o]);
        const std::uint64_t r = b + o;
        const double w = rows.w ? rows.w[r] : 1.0;
        for (std::size_t a = 0; a < fi.q; ++a) {
          const double za = fi.z[r * fi.q + a] * w;
          for (std::size_t c = 0; c < fj.q; ++c) v[a * fj.q + c] = v[a * fj.q + c] + za * fj.z[r * fj.q + c];
        }
      }
    }
  return pr;
}

void add_to(std::vector<double>& a, const std::vector<double>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = a[i] + b[i];
}

void merge_cross(CrossBlock& a, const CrossBlock& b, std::size_t qq) {
  CrossBlock out;
  const std::size_t most = a.keys.size() + b.keys.size();
  out.keys.resize(most);
  out.values.resize(most * qq);
  std::size_t s = 0, t = 0, at = 0;
  while (s < a.keys.size() || t < b.keys.size()) {
    const bool take_a = t == b.keys.size() || (s < a.keys.size() && a.keys[s] <= b.keys[t]);
    const bool take_b = s == a.keys.size() || (t < b.keys.size() && b.keys[t] <= a.keys[s]);
    out.keys[at] = take_a ? a.keys[s] : b.keys[t];
    for (std::size_t v = 0; v < qq; ++v) {
      double x = take_a ? a.values[s * qq + v] : 0.0;
      if (take_b) x = take_a ? x + b.values[t * qq + v] : b.values[t * qq + v];
      out.values[at * qq + v] = x;
    }
    s += take_a;
    t += take_b;
    ++at;
  }
  out.keys.resize(at);
  out.values.resize(at * qq);
  a = std::move(out);
}

std::optional<std::string> row_error(const CrossedRows& rows) {
  for (std::size_t j = 0; j < rows.factors.size(); ++j) {
    const FactorRows& f = rows.factors[j];
    for (std::uint64_t r = 0; r < rows.n; ++r)
      if (f.codes[r] < 0 || static_cast<std::uint64_t>(f.codes[r]) >= f.m)
        return "factor " + std::to_string(j) + ": group code " + std::to_string(f.codes[r]) + " out of range 0.." +
               std::to_string(f.m);
  }
  if (rows.w)
    for (std::uint64_t r = 0; r < rows.n; ++r)
      if (!(rows.w[r] > 0.0) || !std::isfinite(rows.w[r]))
        return "weights[" + std::to_string(r) + "] is not finite and positive: weights must be finite and positive";
  return std::nullopt;
}

std::optional<std::string> shift_error(const CrossedRows& rows, const Shift& shift) {
  if (shift.x.size() != rows.p)
    return "the shift has " + std::to_string(shift.x.size()) + " columns, X has " + std::to_string(rows.p);
  if (shift.column < -1 || shift.column >= static_cast<std::int64_t>(rows.p))
    return "the shift's column " + std::to_string(shift.column) + " is not a column of X";
  if (!shift.active()) return std::nullopt;
  const auto k = static_cast<std::uint64_t>(shift.column);
  for (std::uint64_t r = 0; r < rows.n; ++r)
    if (rows.x[r * rows.p + k] != shift.value)
      return "X column " + std::to_string(k) + " does not hold the shift's constant in row " + std::to_string(r) +
             ": every batch of a model must share its constant column";
  return std::nullopt;
}

// A value that is not finite (or whose square overflows) reaches a diagonal product.
std::optional<std::string> nonfinite_error(const Products& pr) {
  const char* tail = " holds a value that is not finite or whose square overflows";
  if (!std::isfinite(pr.yty)) return std::string("y") + tail;
  for (std::uint64_t a = 0; a < pr.p; ++a)
    if (!std::isfinite(pr.xtx[a * pr.p + a])) return "X column " + std::to_string(a) + tail;
  for (std::size_t j = 0; j < pr.m.size(); ++j)
    for (std::uint64_t l = 0; l < pr.m[j]; ++l)
      for (std::uint64_t a = 0; a < pr.q[j]; ++a)
        if (!std::isfinite(pr.ztz[j][(l * pr.q[j] + a) * pr.q[j] + a]))
          return "factor " + std::to_string(j) + "'s Z column " + std::to_string(a) + tail;
  return std::nullopt;
}

}  // namespace

void merge(Products& a, const Products& b) {
  a.n += b.n;
  for (std::size_t j = 0; j < a.m.size(); ++j) {
    add_to(a.ztz[j], b.ztz[j]);
    add_to(a.ztx[j], b.ztx[j]);
    add_to(a.zty[j], b.zty[j]);
  }
  const std::size_t k = a.m.size();
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j)
      merge_cross(a.cross[pair_index(i, j, k)], b.cross[pair_index(i, j, k)], a.q[i] * a.q[j]);
  add_to(a.xtx, b.xtx);
  add_to(a.xty, b.xty);
  a.yty = a.yty + b.yty;
  a.log_weights = a.log_weights + b.log_weights;
}

std::variant<Products, std::string> products_of(const CrossedRows& rows) {
  if (auto err = row_error(rows)) return *err;
  return products_of(rows, choose_shift(Rows{rows.y, rows.x, nullptr, nullptr, rows.n, rows.p, 0, rows.w}));
}

std::variant<Products, std::string> products_of(const CrossedRows& rows, const Shift& shift) {
  if (auto err = row_error(rows)) return *err;
  if (auto err = shift_error(rows, shift)) return *err;
  // Long chunks: each holds its own per-level sums, so fewer chunks cost less memory.
  const ChunkPlan plan = plan_chunks(rows.n, 1);
  std::vector<Products> parts = map_chunks<Products>(
      plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) { return chunk_products(rows, shift, b, e); });
  Products out = empty_like(rows, shift);
  for (const Products& part : parts) merge(out, part);
  if (auto err = nonfinite_error(out)) return *err;
  return out;
}

std::optional<std::string> check_products(const Products& pr) {
  const std::size_t k = pr.m.size(), p = pr.p;
  if (k == 0 || pr.q.size() != k) return std::string("the products need m and q for at least one factor");
  if (pr.ztz.size() != k || pr.ztx.size() != k || pr.zty.size() != k || pr.cross.size() != k * (k - 1) / 2)
    return std::string("the products hold blocks for another number of factors than m says");
  if (pr.xtx.size() != p * p || pr.xty.size() != p) return std::string("X'X or X'y disagrees with p");
  auto finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  if (!finite(pr.xtx) || !finite(pr.xty) || !std::isfinite(pr.yty)) return std::string("X'X, X'y or y'y is not finite");
  for (std::size_t j = 0; j < k; ++j) {
    const std::string f = "factor " + std::to_string(j);
    if (pr.m[j] == 0 || pr.q[j] == 0) return f + ": m and q must be at least 1";
    if (pr.ztz[j].size() != size_mul(pr.m[j], pr.q[j] * pr.q[j]) || pr.ztx[j].size() != size_mul(pr.m[j], pr.q[j] * p) ||
        pr.zty[j].size() != size_mul(pr.m[j], pr.q[j]))
      return f + ": blocks disagree with m and q";
    if (!finite(pr.ztz[j]) || !finite(pr.ztx[j]) || !finite(pr.zty[j])) return f + ": a block is not finite";
  }
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const CrossBlock& cb = pr.cross[pair_index(i, j, k)];
      const std::string f = "cross block (" + std::to_string(i) + ", " + std::to_string(j) + ")";
      if (cb.values.size() != size_mul(cb.keys.size(), pr.q[i] * pr.q[j])) return f + ": values disagree with keys";
      if (!finite(cb.values)) return f + ": a value is not finite";
      const std::uint64_t limit = pr.m[i] * pr.m[j];
      for (std::size_t t = 0; t < cb.keys.size(); ++t) {
        if (cb.keys[t] >= limit) return f + ": a pair of levels is out of range";
        if (t && cb.keys[t] <= cb.keys[t - 1]) return f + ": pairs are not strictly increasing";
      }
    }
  if (pr.shift.x.size() != p || pr.shift.column < -1 || pr.shift.column >= static_cast<std::int64_t>(p))
    return std::string("the shift disagrees with p");
  if (!std::isfinite(pr.shift.value) || !std::isfinite(pr.shift.y) || !finite(pr.shift.x))
    return std::string("the shift is not finite");
  if (!std::isfinite(pr.log_weights) || (!pr.weighted && pr.log_weights != 0.0))
    return std::string("log_weights must be finite, and 0 without weights");
  return std::nullopt;
}

}  // namespace qk::crossed
