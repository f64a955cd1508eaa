// The group pass over rows: a group's run of rows added to its blocks, and rows in
// any group order added to the blocks of the groups they name, with fixed-size
// instances for small p and q.
#include "lmm/prepare/rows.hpp"

#include <algorithm>
#include <type_traits>
#include <vector>

#include "lmm/prepare/shift.hpp"

namespace qk {

namespace {

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

// fn.template operator()<Q, P, S, W>() for the instance that fits the rows: Q = q and
// P = p where q <= 4 and p <= 8 (0 and 0 otherwise, sizes read at run time), S for a
// shift of x's columns, W for weighted rows. The instances are resolved at compile
// time, so each is a direct call that the kernel can be inlined into.
template <std::size_t Q, std::size_t P, bool S, bool W, class Fn>
[[gnu::always_inline]] inline decltype(auto) at_sizes(const Rows& rows, Fn& fn) {
  if constexpr (Q > 4) {
    return fn.template operator()<0, 0, S, W>();
  } else if constexpr (P > 8) {
    return at_sizes<Q + 1, 1, S, W>(rows, fn);
  } else {
    if (rows.q == Q && rows.p == P) return fn.template operator()<Q, P, S, W>();
    return at_sizes<Q, P + 1, S, W>(rows, fn);
  }
}

template <class Fn>
[[gnu::always_inline]] inline decltype(auto) at_instance(const Rows& rows, bool shift_x, Fn&& fn) {
  if (rows.w) {
    if (shift_x) return at_sizes<1, 1, true, true>(rows, fn);
    return at_sizes<1, 1, false, true>(rows, fn);
  }
  if (shift_x) return at_sizes<1, 1, true, false>(rows, fn);
  return at_sizes<1, 1, false, false>(rows, fn);
}

std::uint64_t add_rows_to_store(const Rows& rows, const Shift& shift, bool shift_x, std::uint64_t b, std::uint64_t e,
                                std::uint64_t lo, std::uint64_t hi, const BlockStore& store, std::uint64_t* counts) {
  return at_instance(rows, shift_x, [&]<std::size_t QV, std::size_t PV, bool S, bool W>() {
    return add_rows_by_code_impl<QV, PV, S, W>(rows, shift, b, e, lo, hi, store, counts);
  });
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

void add_group_run(const Rows& rows, const Shift& shift, bool shift_x, const std::uint64_t* order,
                   std::uint64_t begin, std::uint64_t end, double* ztz, double* ztx, double* zty, double* xs) {
  const std::uint64_t count = end - begin;
  auto with_rows = [&](auto row_at) {
    at_instance(rows, shift_x, [&]<std::size_t QV, std::size_t PV, bool S, bool W>() {
      add_group_rows<QV, PV, S, W>(rows, shift, row_at, count, ztz, ztx, zty, xs);
    });
  };
  if (order) with_rows([=](std::uint64_t i) { return order[begin + i]; });
  else with_rows([=](std::uint64_t i) { return begin + i; });
}

}  // namespace qk
