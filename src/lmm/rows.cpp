// The row passes: fixed-effect sums of a chunk of rows and a group's run of rows
// added to its blocks, with fixed-size instances for small p and q.
#include "lmm/rows.hpp"

#include <algorithm>
#include <bit>
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
// unshifted rows give the products of the rows as given.
template <std::size_t P, bool ShiftX>
[[gnu::always_inline]] inline void add_fixed_rows(const Rows& rows, std::uint64_t b, std::uint64_t e,
                                                  bool with_xtx, const Shift& shift, double* xs, double* xtx,
                                                  double* xty, double& yty, bool& constant_column) {
  const std::uint64_t p = P ? P : rows.p;
  const double* x = rows.x;
  const double* y = rows.y;
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
      for (std::uint64_t j = 0; j < p; ++j) xs[j] = ShiftX ? xr[j] - cx[j] : xr[j];
      for (std::uint64_t j = 0; j < p; ++j) xty[j] = xty[j] + yr * xs[j];
      if (with_xtx)
        for (std::uint64_t j = 0; j < p; ++j) {
          const double xj = xs[j];
          double* row = xtx + j * p;
          for (std::uint64_t k = j; k < p; ++k) row[k] = row[k] + xj * xs[k];
        }
      yty = yty + yr * yr;
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
      for (std::size_t j = 0; j < P; ++j) xl[j] = ShiftX ? xr[j] - c[j] : xr[j];
      for (std::size_t j = 0; j < P; ++j) axy[j] = axy[j] + yr * xl[j];
      if (with_xtx)
        for (std::size_t j = 0; j < P; ++j) {
          const double xj = xl[j];
          for (std::size_t k = 0; k < P; ++k) axx[j * P + k] = axx[j * P + k] + xj * xl[k];
        }
      ayy = ayy + yr * yr;
    }
    if (with_xtx)
      for (std::size_t i = 0; i < P * P; ++i) xtx[i] = axx[i];
    for (std::size_t j = 0; j < P; ++j) xty[j] = axy[j];
    yty = ayy;
  }
  constant_column = constant_column && (differ == 0 || !shift.active());
  (void)xs;
}

// Adds a run of rows of one group to that group's blocks (upper triangle of Z'Z
// only), with y and (when ShiftX) X shifted by the centres (Z never is); row i of the
// run is row_at(i). With q and p fixed at compile time the group's sums are held in
// local accumulators for the whole run; either way every entry receives the same
// products in the same row order.
template <std::size_t Q, std::size_t P, bool ShiftX, class RowAt>
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
    const double* xr = rows.x + r * p;
    const double* zr = rows.z + r * q;
    const double yr = rows.y[r] - cy;
    const double* xk = xr;
    if constexpr (ShiftX) {
      for (std::uint64_t k = 0; k < p; ++k) xv[k] = xr[k] - c[k];
      xk = xv;
    }
    for (std::uint64_t a = 0; a < q; ++a) {
      const double za = zr[a];
      ty[a] = ty[a] + yr * za;
      for (std::uint64_t b = a; b < q; ++b) tz[a * q + b] = tz[a * q + b] + za * zr[b];
      for (std::uint64_t k = 0; k < p; ++k) tx[a * p + k] = tx[a * p + k] + za * xk[k];
    }
  }
  if constexpr (fixed) {
    std::copy_n(lz, Q * Q, ztz);
    std::copy_n(lx, Q * P, ztx);
    std::copy_n(ly, Q, zty);
  }
}

// add_rows_by_code with q and p fixed at compile time (0: read from rows). The block
// entries are updated in place, row by row, with the expressions of add_group_rows.
template <std::size_t Q, std::size_t P, bool ShiftX>
std::uint64_t add_rows_by_code_impl(const Rows& rows, const Shift& shift, std::uint64_t b, std::uint64_t e,
                                    std::uint64_t lo, std::uint64_t hi, double* ztz, double* ztx, double* zty,
                                    std::uint64_t* counts) {
  const std::uint64_t q = Q ? Q : rows.q, p = P ? P : rows.p;
  const std::uint64_t qq = q * q, qp = q * p, width = hi - lo;
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
        __builtin_prefetch(ztz + g * qq, 1);
        __builtin_prefetch(ztx + g * qp, 1);
        if (qp * sizeof(double) > 64) __builtin_prefetch(ztx + g * qp + 64 / sizeof(double), 1);
        __builtin_prefetch(zty + g * q, 1);
      }
    }
    const std::uint64_t gr = static_cast<std::uint64_t>(codes[r]) - lo;
    if (gr >= width) continue;
    const std::uint64_t g = lo + gr;
    ++added;
    if (counts) ++counts[g];
    double* tz = ztz + g * qq;
    double* tx = ztx + g * qp;
    double* ty = zty + g * q;
    const double* xr = rows.x + r * p;
    const double* zr = rows.z + r * q;
    const double yr = rows.y[r] - cy;
    const double* xk = xr;
    if constexpr (ShiftX) {
      for (std::uint64_t k = 0; k < p; ++k) xv[k] = xr[k] - c[k];
      xk = xv;
    }
    for (std::uint64_t a = 0; a < q; ++a) {
      const double za = zr[a];
      ty[a] = ty[a] + yr * za;
      for (std::uint64_t bb = a; bb < q; ++bb) tz[a * q + bb] = tz[a * q + bb] + za * zr[bb];
      for (std::uint64_t k = 0; k < p; ++k) tx[a * p + k] = tx[a * p + k] + za * xk[k];
    }
  }
  return added;
}

}  // namespace

std::uint64_t add_rows_by_code(const Rows& rows, const Shift& shift, bool shift_x, std::uint64_t b, std::uint64_t e,
                               std::uint64_t lo, std::uint64_t hi, double* ztz, double* ztx, double* zty,
                               std::uint64_t* counts) {
  auto dispatch = [&](auto sx) -> std::uint64_t {
    constexpr bool S = decltype(sx)::value;
#define QK_CODE_CASE(QV, PV) \
  if (rows.q == QV && rows.p == PV) return add_rows_by_code_impl<QV, PV, S>(rows, shift, b, e, lo, hi, ztz, ztx, zty, counts);
#define QK_CODE_P(QV) \
  QK_CODE_CASE(QV, 1) QK_CODE_CASE(QV, 2) QK_CODE_CASE(QV, 3) QK_CODE_CASE(QV, 4) \
  QK_CODE_CASE(QV, 5) QK_CODE_CASE(QV, 6) QK_CODE_CASE(QV, 7) QK_CODE_CASE(QV, 8)
    QK_CODE_P(1) QK_CODE_P(2) QK_CODE_P(3)
#undef QK_CODE_P
#undef QK_CODE_CASE
    return add_rows_by_code_impl<0, 0, S>(rows, shift, b, e, lo, hi, ztz, ztx, zty, counts);
  };
  return shift_x ? dispatch(std::true_type{}) : dispatch(std::false_type{});
}

// The checksums are taken while the chunk is in cache.
void fixed_chunk(const Rows& rows, std::uint64_t b, std::uint64_t e, bool with_xtx, const Shift& shift,
                 double* xs, double* xtx, double* xty, double& yty, FixedScan& scan) {
  const std::uint64_t p = rows.p, q = rows.q;
  auto run = [&](auto shift_x) {
    constexpr bool S = decltype(shift_x)::value;
    switch (p) {
#define QK_FIXED_CASE(PV) \
  case PV: return add_fixed_rows<PV, S>(rows, b, e, with_xtx, shift, xs, xtx, xty, yty, scan.constant);
      QK_FIXED_CASE(1) QK_FIXED_CASE(2) QK_FIXED_CASE(3) QK_FIXED_CASE(4)
      QK_FIXED_CASE(5) QK_FIXED_CASE(6) QK_FIXED_CASE(7) QK_FIXED_CASE(8)
#undef QK_FIXED_CASE
      default: return add_fixed_rows<0, S>(rows, b, e, with_xtx, shift, xs, xtx, xty, yty, scan.constant);
    }
  };
  if (shift.shifts_x()) run(std::true_type{}); else run(std::false_type{});
  scan.xsum += checksum_range(rows.x + b * p, b * p, (e - b) * p);
  scan.zsum += checksum_range(rows.z + b * q, b * q, (e - b) * q);
}

void add_group_run(const Rows& rows, const Shift& shift, bool shift_x, const std::uint64_t* order,
                   std::uint64_t begin, std::uint64_t end, double* ztz, double* ztx, double* zty, double* xs) {
  const std::uint64_t count = end - begin;
  auto dispatch = [&](auto row_at, auto shift_x) {
    constexpr bool S = decltype(shift_x)::value;
#define QK_GROUP_CASE(QV, PV) \
  if (rows.q == QV && rows.p == PV) \
    return add_group_rows<QV, PV, S>(rows, shift, row_at, count, ztz, ztx, zty, xs);
#define QK_GROUP_P(QV) \
  QK_GROUP_CASE(QV, 1) QK_GROUP_CASE(QV, 2) QK_GROUP_CASE(QV, 3) QK_GROUP_CASE(QV, 4) \
  QK_GROUP_CASE(QV, 5) QK_GROUP_CASE(QV, 6) QK_GROUP_CASE(QV, 7) QK_GROUP_CASE(QV, 8)
    QK_GROUP_P(1) QK_GROUP_P(2) QK_GROUP_P(3)
#undef QK_GROUP_P
#undef QK_GROUP_CASE
    return add_group_rows<0, 0, S>(rows, shift, row_at, count, ztz, ztx, zty, xs);
  };
  auto with_rows = [&](auto row_at) {
    if (shift_x) dispatch(row_at, std::true_type{});
    else dispatch(row_at, std::false_type{});
  };
  if (order) with_rows([=](std::uint64_t i) { return order[begin + i]; });
  else with_rows([=](std::uint64_t i) { return begin + i; });
}

std::optional<FixedProducts> fixed_products(const Rows& rows, bool with_xtx, const Shift& shift,
                                            const std::function<void()>& beside) {
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
                part.yty, part.scan);
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
  FixedProducts out{std::vector<double>(p * p, 0.0), std::vector<double>(p, 0.0), 0.0, 0, 0};
  for (const Partial& part : parts) {
    if (!part.scan.constant) return std::nullopt;
    for (std::uint64_t i = 0; i < part.xtx.size(); ++i) out.xtx[i] = out.xtx[i] + part.xtx[i];
    for (std::uint64_t j = 0; j < p; ++j) out.xty[j] = out.xty[j] + part.xty[j];
    out.yty = out.yty + part.yty;
    out.x_fingerprint += part.scan.xsum;
    out.z_fingerprint += part.scan.zsum;
  }
  mirror_upper(out.xtx.data(), p);
  return out;
}

}  // namespace qk
