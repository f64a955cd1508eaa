// The row passes: fixed-effect sums of a chunk of rows and a group's run of rows
// added to its blocks, with fixed-size instances for small p and q.
#include "lmm/rows.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include "linalg/dense.hpp"
#include "lmm/cost.hpp"
#include "lmm/fingerprint.hpp"
#include "lmm/shift.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

// Adds rows [b, e) to the fixed-effect partial sums of one chunk: X'y, y'y and, when
// with_xtx, the upper triangle of X'X, of the rows shifted by the shift's centres
// (X's columns only when ShiftX: most columns need no centre), checking its constant
// column as it goes. With P > 0 (p fixed at compile time) the whole square is
// accumulated so that the row update vectorises; every upper-triangle entry still
// receives the same products in the same row order, and the lower triangle is
// overwritten by the mirror afterwards. Subtracting a zero centre changes no value, so
// unshifted rows give the products of the rows as given. With weights (W) the left
// factor of each product is multiplied by the row's weight: (w x_j) x_k, (w y) x_j,
// (w y) y; a weight of 1.0 changes no value.
template <std::size_t P, bool ShiftX, bool W>
[[gnu::always_inline]] inline void add_fixed_rows(const Rows& rows, std::uint64_t b, std::uint64_t e,
                                                  bool with_xtx, const Shift& shift, double* xs, double* xtx,
                                                  double* xty, double& yty, bool& constant_column) {
  const std::uint64_t p = P ? P : rows.p;
  const double* x = rows.x;
  const double* y = rows.y;
  const double* w = rows.w;
  const double cy = shift.y;
  // The check compares bit patterns (the value is finite and non-zero, so equal bits
  // are equal values); without a constant column its outcome is not used.
  const std::uint64_t kcol = shift.active() ? static_cast<std::uint64_t>(shift.column) : 0;
  const std::uint64_t kbits = std::bit_cast<std::uint64_t>(shift.value);
  std::uint64_t differ = 0;
  if constexpr (P == 0) {
    const double* cx = shift.x.data();
    for (std::uint64_t r = b; r < e; ++r) {
      const double* xr = x + r * p;
      differ |= std::bit_cast<std::uint64_t>(xr[kcol]) ^ kbits;
      const double yr = y[r] - cy;
      const double wr = W ? w[r] : 1.0;
      const double wyr = W ? wr * yr : yr;
      for (std::uint64_t j = 0; j < p; ++j) xs[j] = ShiftX ? xr[j] - cx[j] : xr[j];
      for (std::uint64_t j = 0; j < p; ++j) xty[j] = xty[j] + wyr * xs[j];
      if (with_xtx)
        for (std::uint64_t j = 0; j < p; ++j) {
          const double xj = W ? wr * xs[j] : xs[j];
          double* row = xtx + j * p;
          for (std::uint64_t k = j; k < p; ++k) row[k] = row[k] + xj * xs[k];
        }
      yty = yty + wyr * yr;
    }
  } else {
    // Local accumulators: the sums stay in registers instead of being stored and
    // reloaded for every row (the outputs could alias the inputs as far as the
    // compiler knows).
    double axx[P * P], axy[P], ayy = yty, c[P], xl[P];
    for (std::size_t i = 0; i < P * P; ++i) axx[i] = with_xtx ? xtx[i] : 0.0;
    for (std::size_t j = 0; j < P; ++j) axy[j] = xty[j];
    for (std::size_t j = 0; j < P; ++j) c[j] = shift.x[j];
    for (std::uint64_t r = b; r < e; ++r) {
      const double* xr = x + r * P;
      differ |= std::bit_cast<std::uint64_t>(xr[kcol]) ^ kbits;
      const double yr = y[r] - cy;
      const double wr = W ? w[r] : 1.0;
      const double wyr = W ? wr * yr : yr;
      for (std::size_t j = 0; j < P; ++j) xl[j] = ShiftX ? xr[j] - c[j] : xr[j];
      for (std::size_t j = 0; j < P; ++j) axy[j] = axy[j] + wyr * xl[j];
      if (with_xtx)
        for (std::size_t j = 0; j < P; ++j) {
          const double xj = W ? wr * xl[j] : xl[j];
          for (std::size_t k = 0; k < P; ++k) axx[j * P + k] = axx[j * P + k] + xj * xl[k];
        }
      ayy = ayy + wyr * yr;
    }
    if (with_xtx)
      for (std::size_t i = 0; i < P * P; ++i) xtx[i] = axx[i];
    for (std::size_t j = 0; j < P; ++j) xty[j] = axy[j];
    yty = ayy;
  }
  constant_column = constant_column && (differ == 0 || !shift.active());
  (void)xs;
}

// Multiplies the weights of rows [b, e) one at a time into mant * 2^ex: the path for
// blocks that hold a subnormal weight or one that is not finite and positive (the
// first such row is kept in bad).
void scan_weights_slowly(const double* w, std::uint64_t b, std::uint64_t e, double& mant, std::int64_t& ex,
                         std::uint64_t& bad) {
  for (std::uint64_t r = b; r < e; ++r) {
    const double v = w[r];
    if (!(v > 0.0 && v <= std::numeric_limits<double>::max())) {
      bad = std::min(bad, r);
      continue;
    }
    int e2;
    mant = mant * std::frexp(v, &e2);
    ex += e2;
    mant = std::frexp(mant, &e2);
    ex += e2;
  }
}

// The weights of rows [b, e): their checksum, the first that is not finite and
// positive, and the product of the others (see WeightScan). The mantissa of each
// weight is read from its bits and multiplied into one of four running products
// (rows in turn), whose exponents are taken out every 256 rows, before they can
// underflow; a block of 256 rows holding a subnormal or invalid weight takes the
// slow path. Which product a row joins depends only on its place in [b, e), and the
// chunks of rows are fixed by the plan, so the result does not depend on the pool.
WeightScan scan_weights(const double* w, std::uint64_t b, std::uint64_t e) {
  constexpr std::uint64_t kBlock = 256, kMantissa = 0x000FFFFFFFFFFFFFULL, kHalf = std::uint64_t{1022} << 52;
  WeightScan s;
  double lane[4] = {1.0, 1.0, 1.0, 1.0};
  std::int64_t ex = 0;
  std::uint64_t bad = s.first_bad;
  for (std::uint64_t s0 = b; s0 < e; s0 += kBlock) {
    const std::uint64_t s1 = std::min(e, s0 + kBlock);
    // The biased exponent less one is below 2046 for positive normal numbers only
    // (a set sign bit, a zero or subnormal, an infinity or a NaN fall outside).
    std::uint64_t odd = 0, biased_sum = 0;
    double part[4] = {lane[0], lane[1], lane[2], lane[3]};
    std::uint64_t r = s0;
    for (; r + 4 <= s1; r += 4)
      for (int k = 0; k < 4; ++k) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(w[r + k]);
        odd |= static_cast<std::uint64_t>((bits >> 52) - 1 >= 2046);
        biased_sum += bits >> 52;
        part[k] = part[k] * std::bit_cast<double>((bits & kMantissa) | kHalf);
      }
    for (int k = 0; r < s1; ++r, ++k) {
      const std::uint64_t bits = std::bit_cast<std::uint64_t>(w[r]);
      odd |= static_cast<std::uint64_t>((bits >> 52) - 1 >= 2046);
      biased_sum += bits >> 52;
      part[k] = part[k] * std::bit_cast<double>((bits & kMantissa) | kHalf);
    }
    if (odd) {
      scan_weights_slowly(w, s0, s1, lane[0], ex, bad);
    } else {
      for (int k = 0; k < 4; ++k) lane[k] = part[k];
      ex += static_cast<std::int64_t>(biased_sum) - 1022 * static_cast<std::int64_t>(s1 - s0);
    }
    for (double& v : lane) {
      int e2;
      v = std::frexp(v, &e2);
      ex += e2;
    }
  }
  double mant = 1.0;
  for (double v : lane) {
    int e2;
    mant = std::frexp(mant * v, &e2);
    ex += e2;
  }
  s.mantissa = mant;
  s.exponent = ex;
  s.first_bad = bad;
  s.checksum = checksum_range(w + b, b, e - b);
  return s;
}

// Adds row r to one group's blocks: y (w z_a), (w z_a) z_b for b >= a (the upper
// triangle) and (w z_a) x_k, with y less cy and, when ShiftX, x less the centres c
// (xv: p doubles of scratch); w the row's weight when W. The one expression of every
// block entry, so that the passes that add rows give the same bits.
template <bool ShiftX, bool W>
[[gnu::always_inline]] inline void add_row(const Rows& rows, std::uint64_t r, std::uint64_t q, std::uint64_t p,
                                           const double* c, double cy, double* xv, double* tz, double* tx,
                                           double* ty) {
    const double* xr = rows.x + r * p;
    const double* zr = rows.z + r * q;
    const double yr = rows.y[r] - cy;
    const double wr = W ? rows.w[r] : 1.0;
    const double* xk = xr;
    if constexpr (ShiftX) {
      for (std::uint64_t k = 0; k < p; ++k) xv[k] = xr[k] - c[k];
      xk = xv;
    }
    for (std::uint64_t a = 0; a < q; ++a) {
      const double za = W ? zr[a] * wr : zr[a];
      ty[a] = ty[a] + yr * za;
      if (tz)
        for (std::uint64_t b = a; b < q; ++b) tz[a * q + b] = tz[a * q + b] + za * zr[b];
      for (std::uint64_t k = 0; k < p; ++k) tx[a * p + k] = tx[a * p + k] + za * xk[k];
    }
}

// Adds a run of rows of one group to that group's blocks (upper triangle of Z'Z
// only), with y and (when ShiftX) X shifted by the centres (Z never is); row i of the
// run is row_at(i). With q and p fixed at compile time the group's sums are held in
// local accumulators for the whole run; either way every entry receives the same
// products in the same row order. With weights (W) the z factor is multiplied by the
// row's weight: (w z_a) z_b, (w z_a) x_k, y (w z_a).
template <std::size_t Q, std::size_t P, bool ShiftX, bool W, class RowAt>
[[gnu::always_inline]] inline void add_group_rows(const Rows& rows, const Shift& shift, RowAt row_at,
                                                  std::uint64_t count, double* ztz, double* ztx, double* zty,
                                                  double* xs) {
  constexpr bool fixed = Q > 0 && P > 0;
  const std::uint64_t q = fixed ? Q : rows.q, p = fixed ? P : rows.p;
  double lz[fixed ? Q * Q : 1], lx[fixed ? Q * P : 1], ly[fixed ? Q : 1], lc[fixed ? P : 1], lxs[fixed ? P : 1];
  double* tz = fixed ? lz : ztz;
  double* tx = fixed ? lx : ztx;
  double* ty = fixed ? ly : zty;
  const double* c = fixed ? lc : shift.x.data();
  double* xv = fixed ? lxs : xs;
  if constexpr (fixed) {
    std::copy_n(ztz, Q * Q, lz);
    std::copy_n(ztx, Q * P, lx);
    std::copy_n(zty, Q, ly);
    std::copy_n(shift.x.data(), P, lc);
  }
  const double cy = shift.y;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t r = row_at(i);
    add_row<ShiftX, W>(rows, r, q, p, c, cy, xv, tz, tx, ty);
  }
  if constexpr (fixed) {
    std::copy_n(lz, Q * Q, ztz);
    std::copy_n(lx, Q * P, ztx);
    std::copy_n(ly, Q, zty);
  }
}

// add_rows_by_code with q and p fixed at compile time (0: read from rows). The block
// entries are updated in place, row by row, with the expressions of add_group_rows
// (with weights (W), the z factor times the row's weight, as there).
template <std::size_t Q, std::size_t P, bool ShiftX, bool W>
std::uint64_t add_rows_by_code_impl(const Rows& rows, const Shift& shift, std::uint64_t b, std::uint64_t e,
                                    std::uint64_t lo, std::uint64_t hi, const BlockStore& store,
                                    std::uint64_t* counts) {
  const std::uint64_t q = Q ? Q : rows.q, p = P ? P : rows.p;
  const std::uint64_t sz = store.stride_z, sx = store.stride_x, sy = store.stride_y, width = hi - lo;
  double* const ztz = store.ztz;
  double* const ztx = store.ztx;
  double* const zty = store.zty;
  const std::int64_t* codes = rows.codes;
  const double cy = shift.y;
  double lc[P ? P : 1], lxs[P ? P : 1];
  std::vector<double> heap(P ? 0 : 2 * p);
  const double* c = shift.x.data();
  double* xv = P ? lxs : heap.data();
  if constexpr (P > 0) {
    std::copy_n(shift.x.data(), P, lc);
    c = lc;
  } else {
    std::copy_n(shift.x.data(), p, heap.data() + p);
    c = heap.data() + p;
  }
  // Far enough ahead for a miss to resolve while the rows in between are added.
  constexpr std::uint64_t kAhead = 24;
  std::uint64_t added = 0;
  for (std::uint64_t r = b; r < e; ++r) {
    if (r + kAhead < e) {
      const std::uint64_t ga = static_cast<std::uint64_t>(codes[r + kAhead]) - lo;
      if (ga < width) {
        const std::uint64_t g = lo + ga;
        if (ztz) __builtin_prefetch(ztz + g * sz, 1);
        __builtin_prefetch(ztx + g * sx, 1);
        if (q * p * sizeof(double) > 64) __builtin_prefetch(ztx + g * sx + 64 / sizeof(double), 1);
        __builtin_prefetch(zty + g * sy, 1);
      }
    }
    const std::uint64_t gr = static_cast<std::uint64_t>(codes[r]) - lo;
    if (gr >= width) continue;
    const std::uint64_t g = lo + gr;
    ++added;
    if (counts) ++counts[g];
    if (store.count) store.count[g * sz] += 1.0;
    double* tz = ztz ? ztz + g * sz : nullptr;
    double* tx = ztx + g * sx;
    double* ty = zty + g * sy;
    add_row<ShiftX, W>(rows, r, q, p, c, cy, xv, tz, tx, ty);
  }
  return added;
}

std::uint64_t add_rows_to_store(const Rows& rows, const Shift& shift, bool shift_x, std::uint64_t b, std::uint64_t e,
                                std::uint64_t lo, std::uint64_t hi, const BlockStore& store, std::uint64_t* counts) {
  auto dispatch = [&](auto sx, auto weighted) -> std::uint64_t {
    constexpr bool S = decltype(sx)::value, W = decltype(weighted)::value;
#define QK_CODE_CASE(QV, PV) \
  if (rows.q == QV && rows.p == PV) \
    return add_rows_by_code_impl<QV, PV, S, W>(rows, shift, b, e, lo, hi, store, counts);
#define QK_CODE_P(QV) \
  QK_CODE_CASE(QV, 1) QK_CODE_CASE(QV, 2) QK_CODE_CASE(QV, 3) QK_CODE_CASE(QV, 4) \
  QK_CODE_CASE(QV, 5) QK_CODE_CASE(QV, 6) QK_CODE_CASE(QV, 7) QK_CODE_CASE(QV, 8)
    QK_CODE_P(1) QK_CODE_P(2) QK_CODE_P(3) QK_CODE_P(4)
#undef QK_CODE_P
#undef QK_CODE_CASE
    return add_rows_by_code_impl<0, 0, S, W>(rows, shift, b, e, lo, hi, store, counts);
  };
  auto with_shift = [&](auto weighted) {
    return shift_x ? dispatch(std::true_type{}, weighted) : dispatch(std::false_type{}, weighted);
  };
  return rows.w ? with_shift(std::true_type{}) : with_shift(std::false_type{});
}

}  // namespace

std::uint64_t add_rows_by_code(const Rows& rows, const Shift& shift, bool shift_x, std::uint64_t b, std::uint64_t e,
                               std::uint64_t lo, std::uint64_t hi, double* ztz, double* ztx, double* zty,
                               std::uint64_t* counts) {
  const std::uint64_t q = rows.q;
  return add_rows_to_store(rows, shift, shift_x, b, e, lo, hi, BlockStore{ztz, ztx, zty, q * q, q * rows.p, q},
                           counts);
}

std::uint64_t add_rows_by_code(const Rows& rows, const Shift& shift, bool shift_x, std::uint64_t b, std::uint64_t e,
                               std::uint64_t lo, std::uint64_t hi, const BlockStore& store) {
  return add_rows_to_store(rows, shift, shift_x, b, e, lo, hi, store, nullptr);
}

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

void WeightScan::merge(const WeightScan& other) {
  int e;
  mantissa = std::frexp(mantissa * other.mantissa, &e);
  exponent += other.exponent + e;
  first_bad = std::min(first_bad, other.first_bad);
  checksum += other.checksum;
}

// log(2 mantissa) lies in [0, log 2): a product that is a power of two, weights all
// 1.0 for one, gives exactly (exponent - 1) log 2, and 0.0 for weights all 1.0.
double WeightScan::log_sum() const {
  return std::log(mantissa + mantissa) + static_cast<double>(exponent - 1) * 0.69314718055994530942;
}

// The checksums are taken while the chunk is in cache.
void fixed_chunk(const Rows& rows, std::uint64_t b, std::uint64_t e, bool with_xtx, const Shift& shift,
                 double* xs, double* xtx, double* xty, double& yty, FixedScan& scan, bool fingerprints) {
  const std::uint64_t p = rows.p, q = rows.q;
  auto run = [&](auto shift_x, auto weighted) {
    constexpr bool S = decltype(shift_x)::value, W = decltype(weighted)::value;
    switch (p) {
#define QK_FIXED_CASE(PV) \
  case PV: return add_fixed_rows<PV, S, W>(rows, b, e, with_xtx, shift, xs, xtx, xty, yty, scan.constant);
      QK_FIXED_CASE(1) QK_FIXED_CASE(2) QK_FIXED_CASE(3) QK_FIXED_CASE(4)
      QK_FIXED_CASE(5) QK_FIXED_CASE(6) QK_FIXED_CASE(7) QK_FIXED_CASE(8)
#undef QK_FIXED_CASE
      default: return add_fixed_rows<0, S, W>(rows, b, e, with_xtx, shift, xs, xtx, xty, yty, scan.constant);
    }
  };
  auto with_shift = [&](auto weighted) {
    if (shift.shifts_x()) run(std::true_type{}, weighted); else run(std::false_type{}, weighted);
  };
  if (rows.w) {
    with_shift(std::true_type{});
    scan.weights.merge(scan_weights(rows.w, b, e));
  } else {
    with_shift(std::false_type{});
  }
  if (!fingerprints) return;
  scan.xsum += checksum_range(rows.x + b * p, b * p, (e - b) * p);
  scan.zsum += checksum_range(rows.z + b * q, b * q, (e - b) * q);
}

void add_group_run(const Rows& rows, const Shift& shift, bool shift_x, const std::uint64_t* order,
                   std::uint64_t begin, std::uint64_t end, double* ztz, double* ztx, double* zty, double* xs) {
  const std::uint64_t count = end - begin;
  auto dispatch = [&](auto row_at, auto shift_x, auto weighted) {
    constexpr bool S = decltype(shift_x)::value, W = decltype(weighted)::value;
#define QK_GROUP_CASE(QV, PV) \
  if (rows.q == QV && rows.p == PV) \
    return add_group_rows<QV, PV, S, W>(rows, shift, row_at, count, ztz, ztx, zty, xs);
#define QK_GROUP_P(QV) \
  QK_GROUP_CASE(QV, 1) QK_GROUP_CASE(QV, 2) QK_GROUP_CASE(QV, 3) QK_GROUP_CASE(QV, 4) \
  QK_GROUP_CASE(QV, 5) QK_GROUP_CASE(QV, 6) QK_GROUP_CASE(QV, 7) QK_GROUP_CASE(QV, 8)
    QK_GROUP_P(1) QK_GROUP_P(2) QK_GROUP_P(3) QK_GROUP_P(4)
#undef QK_GROUP_P
#undef QK_GROUP_CASE
    return add_group_rows<0, 0, S, W>(rows, shift, row_at, count, ztz, ztx, zty, xs);
  };
  auto with_shift = [&](auto row_at, auto weighted) {
    if (shift_x) dispatch(row_at, std::true_type{}, weighted);
    else dispatch(row_at, std::false_type{}, weighted);
  };
  auto with_rows = [&](auto row_at) {
    if (rows.w) with_shift(row_at, std::true_type{});
    else with_shift(row_at, std::false_type{});
  };
  if (order) with_rows([=](std::uint64_t i) { return order[begin + i]; });
  else with_rows([=](std::uint64_t i) { return begin + i; });
}

std::optional<FixedProducts> fixed_products(const Rows& rows, bool with_xtx, const Shift& shift,
                                            const std::function<void()>& beside, bool fingerprints) {
  const std::uint64_t p = rows.p;
  struct Partial {
    std::vector<double> xtx, xty;
    double yty = 0.0;
    FixedScan scan;
  };
  ChunkPlan plan = plan_chunks(rows.n, fixed_row_cost(p));
  std::vector<Partial> parts(plan.count);
  auto chunk = [&](std::uint64_t k) {
    Partial& part = parts[k];
    part.xtx.assign(with_xtx ? p * p : 0, 0.0);
    part.xty.assign(p, 0.0);
    std::vector<double> xs(p);
    fixed_chunk(rows, plan.begin(k), plan.end(k), with_xtx, shift, xs.data(), part.xtx.data(), part.xty.data(),
                part.yty, part.scan, fingerprints);
  };
  if (beside) {
    // Task 0 is the caller's serial work, the others the chunks: whichever thread
    // takes it, the rest of the pool works through the chunks meanwhile. Without a
    // pool they run in order; the results are the same.
    run_tasks(plan.count + 1, work_is_large(rows.n, fixed_row_cost(p) + rows.q + 1), [&](std::size_t t) {
      if (t == 0) beside(); else chunk(t - 1);
    });
  } else {
    for_chunks(plan, [&](std::uint64_t k, std::uint64_t, std::uint64_t) { chunk(k); });
  }
  FixedProducts out{std::vector<double>(p * p, 0.0), std::vector<double>(p, 0.0), 0.0, 0, 0, {}};
  for (const Partial& part : parts) {
    if (!part.scan.constant) return std::nullopt;
    for (std::uint64_t i = 0; i < part.xtx.size(); ++i) out.xtx[i] = out.xtx[i] + part.xtx[i];
    for (std::uint64_t j = 0; j < p; ++j) out.xty[j] = out.xty[j] + part.xty[j];
    out.yty = out.yty + part.yty;
    out.x_fingerprint += part.scan.xsum;
    out.z_fingerprint += part.scan.zsum;
    out.weights.merge(part.scan.weights);
  }
  mirror_upper(out.xtx.data(), p);
  return out;
}

}  // namespace qk
