// The fixed pass over rows: the fixed-effect sums of a chunk of rows, with
// fixed-size instances for small p, the scan of its weights and the checksums of x
// and z, and the chunks reduced in order.
#include "lmm/prepare/rows.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include "linalg/dense.hpp"
#include "lmm/prepare/cost.hpp"
#include "lmm/prepare/fingerprint.hpp"
#include "lmm/prepare/shift.hpp"
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
  // The row loop of both instances, over the centres c, the shifted row xl and the
  // sums axy, axx (row stride p; upper triangle only unless P > 0) and ayy.
  const auto add_rows = [&](const double* c, double* xl, double* axy, double* axx, double& ayy) {
    for (std::uint64_t r = b; r < e; ++r) {
      const double* xr = x + r * p;
      differ |= std::bit_cast<std::uint64_t>(xr[kcol]) ^ kbits;
      const double yr = y[r] - cy;
      const double wr = W ? w[r] : 1.0;
      const double wyr = W ? wr * yr : yr;
      for (std::uint64_t j = 0; j < p; ++j) xl[j] = ShiftX ? xr[j] - c[j] : xr[j];
      for (std::uint64_t j = 0; j < p; ++j) axy[j] = axy[j] + wyr * xl[j];
      if (with_xtx)
        for (std::uint64_t j = 0; j < p; ++j) {
          const double xj = W ? wr * xl[j] : xl[j];
          double* row = axx + j * p;
          for (std::uint64_t k = P ? 0 : j; k < p; ++k) row[k] = row[k] + xj * xl[k];
        }
      ayy = ayy + wyr * yr;
    }
  };
  if constexpr (P == 0) {
    add_rows(shift.x.data(), xs, xty, xtx, yty);
  } else {
    // Local accumulators: the sums stay in registers instead of being stored and
    // reloaded for every row (the outputs could alias the inputs as far as the
    // compiler knows).
    double axx[P * P], axy[P], ayy = yty, c[P], xl[P];
    for (std::size_t i = 0; i < P * P; ++i) axx[i] = with_xtx ? xtx[i] : 0.0;
    for (std::size_t j = 0; j < P; ++j) axy[j] = xty[j];
    for (std::size_t j = 0; j < P; ++j) c[j] = shift.x[j];
    add_rows(c, xl, axy, axx, ayy);
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

}  // namespace

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
