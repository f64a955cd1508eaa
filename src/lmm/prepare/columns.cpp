// A batch's columns stacked into rows, rows with a missing value left out.
#include "lmm/prepare/columns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pool/pool.hpp"

namespace qk {

namespace {

// Whether every value of rows [b, e) of the columns is finite (the test vectorises:
// no early exit).
bool all_finite(const std::vector<const double*>& cols, std::uint64_t b, std::uint64_t e) {
  bool bad = false;
  for (const double* c : cols) {
    if (!c) continue;
    for (std::uint64_t r = b; r < e; ++r) bad |= !(std::fabs(c[r]) <= std::numeric_limits<double>::max());
  }
  return !bad;
}

void scatter_column(const double* src, double* dst, std::uint64_t stride, std::uint64_t b, std::uint64_t e) {
  if (src)
    for (std::uint64_t r = b; r < e; ++r) dst[r * stride] = src[r];
  else
    for (std::uint64_t r = b; r < e; ++r) dst[r * stride] = 1.0;
}

}  // namespace

// Chunks of rows are checked and copied on the pool, each to its own place; a batch
// with any value that is not finite is stacked again, row by row, on the calling
// thread, which drops NaN rows and finds the first infinite value.
std::variant<std::uint64_t, ColumnFault> stack_columns(const Columns& cols, RowBuffers& out) {
  const std::uint64_t n = cols.n, p = cols.x.size(), q = cols.z.size();
  if (out.y.size() < n) out.y.resize(n);
  if (out.x.size() < n * p) out.x.resize(n * p);
  if (out.z.size() < n * q) out.z.resize(n * q);
  if (out.codes.size() < n) out.codes.resize(n);
  out.p = p;
  out.q = q;
  out.n = 0;
  double* y = out.y.data();
  double* x = out.x.data();
  double* z = out.z.data();
  std::int64_t* codes = out.codes.data();
  const std::vector<const double*> ys{cols.y};
  const ChunkPlan plan = plan_chunks(n, p + q + 2);
  std::vector<char> finite(plan.count, 0);
  for_chunks(plan, [&](std::uint64_t k, std::uint64_t b, std::uint64_t e) {
    if (!all_finite(ys, b, e) || !all_finite(cols.x, b, e) || !all_finite(cols.z, b, e)) return;
    std::copy(cols.y + b, cols.y + e, y + b);
    std::copy(cols.codes + b, cols.codes + e, codes + b);
    for (std::uint64_t j = 0; j < p; ++j) scatter_column(cols.x[j], x + j, p, b, e);
    for (std::uint64_t j = 0; j < q; ++j) scatter_column(cols.z[j], z + j, q, b, e);
    finite[k] = 1;
  });
  if (std::all_of(finite.begin(), finite.end(), [](char f) { return f != 0; })) {
    out.n = n;
    return std::uint64_t{0};
  }
  auto value = [](const double* c, std::uint64_t r) { return c ? c[r] : 1.0; };
  std::uint64_t k = 0;
  for (std::uint64_t r = 0; r < n; ++r) {
    bool nan = std::isnan(cols.y[r]);
    for (const double* c : cols.x) nan = nan || std::isnan(value(c, r));
    for (const double* c : cols.z) nan = nan || std::isnan(value(c, r));
    if (nan) continue;
    if (!std::isfinite(cols.y[r])) return ColumnFault{'y', 0, r};
    for (std::uint64_t j = 0; j < p; ++j)
      if (!std::isfinite(value(cols.x[j], r))) return ColumnFault{'x', j, r};
    for (std::uint64_t j = 0; j < q; ++j)
      if (!std::isfinite(value(cols.z[j], r))) return ColumnFault{'z', j, r};
    y[k] = cols.y[r];
    for (std::uint64_t j = 0; j < p; ++j) x[k * p + j] = value(cols.x[j], r);
    for (std::uint64_t j = 0; j < q; ++j) z[k * q + j] = value(cols.z[j], r);
    codes[k] = cols.codes[r];
    ++k;
  }
  out.n = k;
  return n - k;
}

}  // namespace qk
