#include "lmm/data.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "linalg/dense.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

constexpr std::uint64_t kFingerprintMul = 0x517cc1b727220a95ULL;

inline std::uint64_t fold(std::uint64_t h, std::uint64_t w) {
  return (std::rotl(h, 5) ^ w) * kFingerprintMul;
}

// The fingerprints of x and z: over a flat array, the sum mod 2^64 of
// (lo_i + klo_i) (hi_i + khi_i), the 64-bit products of the 32-bit halves of the
// value at position i (a negative zero taken as zero: it gives the same products)
// each offset by the matching half of the key k_i = (i + 1) G, a Weyl sequence (G the
// golden ratio in 64 bits). This is the NH hash of Black, Halevi, Krawczyk, Krovetz
// and Rogaway, "UMAC: Fast and Secure Message Authentication" (CRYPTO 1999), with
// keys drawn from the positions: the keys tie each value to its place, so swapped
// columns or moved rows change the sum, and the products carry every bit of a value
// into many bits of the sum (a negated column changes it, which the plain sum of the
// values' bits would not reliably see). A sum over positions, it comes out the same
// however the positions are split and visited.
// Vector multiplications (four values per AVX2 instruction where the processor has
// it, else two per SSE2 one) keep it to a fraction of a nanosecond a value; integer
// arithmetic gives the same sum on every path.
constexpr std::uint64_t kWeyl = 0x9e3779b97f4a7c15ULL;

inline std::uint64_t checksum_term(double v, std::uint64_t key) {
  const std::uint64_t b = std::bit_cast<std::uint64_t>(v + 0.0);
  const std::uint32_t lo = static_cast<std::uint32_t>(b) + static_cast<std::uint32_t>(key);
  const std::uint32_t hi = static_cast<std::uint32_t>(b >> 32) + static_cast<std::uint32_t>(key >> 32);
  return static_cast<std::uint64_t>(lo) * hi;
}

}  // namespace

#if defined(__x86_64__)
namespace {

// The AVX2 form of checksum_range's loop, for processors that have it; returns the
// sum of the first len - len % 8 terms.
[[gnu::target("avx2")]] std::uint64_t checksum_avx2(const double* v, std::uint64_t key, std::uint64_t len) {
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  __m256i k0 = _mm256_set_epi64x(static_cast<long long>(key + 3 * kWeyl), static_cast<long long>(key + 2 * kWeyl),
                                 static_cast<long long>(key + kWeyl), static_cast<long long>(key));
  __m256i k1 = _mm256_add_epi64(k0, _mm256_set1_epi64x(static_cast<long long>(4 * kWeyl)));
  const __m256i step = _mm256_set1_epi64x(static_cast<long long>(8 * kWeyl));
  const __m256d zero = _mm256_setzero_pd();
  for (std::uint64_t i = 0; i + 8 <= len; i += 8) {
    const __m256i t0 = _mm256_add_epi32(_mm256_castpd_si256(_mm256_add_pd(_mm256_loadu_pd(v + i), zero)), k0);
    const __m256i t1 = _mm256_add_epi32(_mm256_castpd_si256(_mm256_add_pd(_mm256_loadu_pd(v + i + 4), zero)), k1);
    acc0 = _mm256_add_epi64(acc0, _mm256_mul_epu32(t0, _mm256_srli_epi64(t0, 32)));
    acc1 = _mm256_add_epi64(acc1, _mm256_mul_epu32(t1, _mm256_srli_epi64(t1, 32)));
    k0 = _mm256_add_epi64(k0, step);
    k1 = _mm256_add_epi64(k1, step);
  }
  std::uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(acc0, acc1));
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

bool has_avx2() {
  static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return yes;
}

}  // namespace
#endif

std::uint64_t checksum_range(const double* v, std::uint64_t first, std::uint64_t len) {
  std::uint64_t key = (first + 1) * kWeyl, h = 0, i = 0;
#if defined(__x86_64__)
  if (len >= 8 && has_avx2()) {
    i = len - len % 8;
    h = checksum_avx2(v, key, len);
    key += i * kWeyl;
  }
#endif
#if defined(__SSE2__)
  // The same terms, two 64-bit lanes at a time: the halves are added as 32-bit lanes
  // and _mm_mul_epu32 multiplies the low half of each lane by its high half.
  __m128i acc0 = _mm_setzero_si128(), acc1 = _mm_setzero_si128();
  __m128i k0 = _mm_set_epi64x(static_cast<long long>(key + kWeyl), static_cast<long long>(key));
  __m128i k1 = _mm_add_epi64(k0, _mm_set1_epi64x(static_cast<long long>(2 * kWeyl)));
  const __m128i step = _mm_set1_epi64x(static_cast<long long>(4 * kWeyl));
  const __m128d zero = _mm_setzero_pd();
  for (; i + 4 <= len; i += 4) {
    const __m128i t0 = _mm_add_epi32(_mm_castpd_si128(_mm_add_pd(_mm_loadu_pd(v + i), zero)), k0);
    const __m128i t1 = _mm_add_epi32(_mm_castpd_si128(_mm_add_pd(_mm_loadu_pd(v + i + 2), zero)), k1);
    acc0 = _mm_add_epi64(acc0, _mm_mul_epu32(t0, _mm_srli_epi64(t0, 32)));
    acc1 = _mm_add_epi64(acc1, _mm_mul_epu32(t1, _mm_srli_epi64(t1, 32)));
    k0 = _mm_add_epi64(k0, step);
    k1 = _mm_add_epi64(k1, step);
  }
  std::uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(acc0, acc1));
  h += lanes[0] + lanes[1];
  key = (first + 1 + i) * kWeyl;
#endif
  for (; i < len; ++i, key += kWeyl) h += checksum_term(v[i], key);
  return h;
}

namespace {

// Work per row of the global fixed-effect products.
std::uint64_t fixed_cost(std::uint64_t p) { return p * (p + 1) / 2 + p + 1; }

// Work per row of the per-group products.
std::uint64_t group_cost(std::uint64_t p, std::uint64_t q) { return q + q * p + q * (q + 1) / 2; }

// What one chunk of the fixed pass finds besides the sums: the checksums of x and z
// over its rows, and whether the shift's constant column held its value in each.
struct FixedScan {
  std::uint64_t xsum = 0, zsum = 0;
  bool constant = true;
};

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

// The fixed-effect partial sums of rows [b, e), the check of the constant column, and
// the checksums of x and z over the chunk (while it is in cache).
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

// Rows [begin, end) of group g: the rows themselves (rows sorted by group) or their
// indices in `order`. xs holds p doubles of scratch.
// shift_x is shift.shifts_x(), found once by the caller (runs may be single rows).
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

inline void mirror_upper(double* a, std::uint64_t n) {
  for (std::uint64_t r = 1; r < n; ++r)
    for (std::uint64_t c = 0; c < r; ++c) a[r * n + c] = a[c * n + r];
}

std::string bad_code(std::int64_t code, std::uint64_t m) {
  return "group code " + std::to_string(code) + " out of range 0.." + std::to_string(m);
}

// A NaN or an infinity in y, X or Z (or a value whose square overflows) reaches the
// diagonal of the matching cross-product, so the products tell at O(p + m q) cost
// whether the rows were usable. Such data would otherwise hide behind structural
// zeros (Lambda = 0 skips Z entirely) and yield a fit that looks valid.
std::optional<std::string> nonfinite_error(const LmmData& d) {
  const char* tail = " holds a value that is not finite or whose square overflows";
  if (!std::isfinite(d.yty)) return std::string("y") + tail;
  for (std::uint64_t j = 0; j < d.p; ++j)
    if (!std::isfinite(d.xtx[j * d.p + j])) return "X column " + std::to_string(j) + tail;
  for (std::uint64_t g = 0; g < d.m; ++g)
    for (std::uint64_t a = 0; a < d.q; ++a)
      if (!std::isfinite(d.ztz[(g * d.q + a) * d.q + a]))
        return "Z column " + std::to_string(a) + tail + " (group " + std::to_string(g) + ")";
  return std::nullopt;
}

std::uint64_t class_limit_for_auto(std::uint64_t m, std::uint64_t p, std::uint64_t q) {
  // Per-class cost of the aggregated kernel against per-group cost of the blocks
  // kernel; classes pay off while there are fewer than m * B / D of them. Wrapping
  // arithmetic as for every size here; a divisor that wraps to zero gives no budget.
  std::uint64_t tq = q * (q + 1) / 2;
  std::uint64_t d = 2 * q * ((((p + 1) * (p + 2) / 2 + 2) * q * (tq + 1)) + 4 * q * q) + 16;
  std::uint64_t b = 2 * q * p * p + (tq + 3 * q * q) * (q + p) + 8;
  if (d == 0) return 0;
  return (m * b) / d;
}

// Rows that decide whether a column is constant, and rows whose median is a centre.
constexpr std::uint64_t kConstantRows = 63, kCentreRows = 5;

// Row i of K rows spread evenly from the first to the last of n: every row when there
// are no more than K. The divisor is a constant, so no division is executed.
template <std::uint64_t K>
inline std::uint64_t spread_row(std::uint64_t i, std::uint64_t n) {
  if (n <= K) return i;
  if (n - 1 <= ~std::uint64_t{0} / (K - 1)) return i * (n - 1) / (K - 1);
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(i) * (n - 1) / (K - 1));
}

// The median of v (stride apart) at 5 rows spread over n (fewer when n is smaller;
// the lower one of an even count), or 0.0 when one of them is not finite. Always one
// of the values, so a constant column is centred exactly; a single outlier among the
// five cannot be the centre.
double sampled_median(const double* v, std::uint64_t stride, std::uint64_t n) {
  const std::uint64_t k = std::min(n, kCentreRows);
  double vals[kCentreRows];
  for (std::uint64_t i = 0; i < k; ++i) {
    const double x = v[spread_row<kCentreRows>(i, n) * stride];
    if (!std::isfinite(x)) return 0.0;
    std::uint64_t j = i;
    for (; j > 0 && vals[j - 1] > x; --j) vals[j] = vals[j - 1];
    vals[j] = x;
  }
  return k == 0 ? 0.0 : vals[(k - 1) / 2];
}

}  // namespace

ScratchPool::~ScratchPool() {
  for (auto& slot : slots_) delete slot.load();
}

ScratchPool::Buffer ScratchPool::take(std::size_t len) {
  for (auto& slot : slots_) {
    Buffer buf(slot.exchange(nullptr, std::memory_order_acquire));
    if (!buf) continue;
    if (buf->size() == len) return buf;
    // Not this length: back into its slot unless another buffer took it meanwhile.
    std::vector<double>* expected = nullptr;
    if (slot.compare_exchange_strong(expected, buf.get(), std::memory_order_release)) buf.release();
  }
  return std::make_unique<std::vector<double>>(len, 0.0);
}

void ScratchPool::give_back(Buffer buf) noexcept {
  for (auto& slot : slots_) {
    std::vector<double>* expected = nullptr;
    if (slot.compare_exchange_strong(expected, buf.get(), std::memory_order_release)) {
      buf.release();
      return;
    }
  }
}

std::size_t ScratchPool::size() const {
  std::size_t n = 0;
  for (const auto& slot : slots_) n += slot.load(std::memory_order_relaxed) != nullptr;
  return n;
}

std::uint64_t codes_fingerprint(const std::int64_t* codes, std::uint64_t n) {
  std::uint64_t h = n;
  for (std::uint64_t r = 0; r < n; ++r) h = fold(h, static_cast<std::uint64_t>(codes[r]));
  return h;
}

std::uint64_t rows_fingerprint(const double* v, std::uint64_t n, std::uint64_t k) {
  return checksum_range(v, 0, n * k);
}

Shift choose_shift(const Rows& rows) {
  Shift shift;
  const std::uint64_t n = rows.n, p = rows.p, k = std::min(n, kConstantRows);
  shift.x.assign(p, 0.0);
  // A candidate is constant in the sampled rows; construction checks every row.
  for (std::uint64_t j = 0; j < p && !shift.active() && k > 0; ++j) {
    const double a = rows.x[j];
    bool constant = a != 0.0 && std::isfinite(a);
    for (std::uint64_t i = 1; i < k && constant; ++i) constant = rows.x[spread_row<kConstantRows>(i, n) * p + j] == a;
    if (constant) {
      shift.column = static_cast<std::int64_t>(j);
      shift.value = a;
    }
  }
  if (!shift.active()) return shift;
  // A column is centred when its values lie far from zero for their spread (the
  // centre's distance from zero exceeds the range of the sampled rows): such a
  // column loses digits to cancellation. The others keep them as given and cost no
  // subtraction per row; they lose at most about one digit.
  for (std::uint64_t j = 0; j < p; ++j) {
    if (static_cast<std::int64_t>(j) == shift.column) continue;
    const double c = sampled_median(rows.x + j, p, n);
    double lo = c, hi = c;
    for (std::uint64_t i = 0; i < k; ++i) {
      const double v = rows.x[spread_row<kConstantRows>(i, n) * p + j];
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    if (std::fabs(c) > hi - lo) shift.x[j] = c;
  }
  shift.y = sampled_median(rows.y, 1, n);
  return shift;
}

double response_centre(const Shift& shift, const double* y, std::uint64_t n) {
  return shift.active() ? sampled_median(y, 1, n) : 0.0;
}

bool fits_exactly(const LmmData& d) {
  // The residual sum of squares after least squares on X is y'y less the squared
  // norm of L^-1 X'y (L L' = X'X). On the shifted products its rounding error is a
  // small multiple of 2^-52 y'y, so a remainder below 1e-12 y'y is nothing but
  // rounding: y lies in the column space of X. A singular X'X decides nothing (every
  // theta is then infeasible anyway).
  if (d.yty == 0.0) return true;
  const std::uint64_t p = d.p;
  double small[8 * 8 + 8];
  std::vector<double> large(p <= 8 ? 0 : p * p + p);
  double* a = p <= 8 ? small : large.data();
  double* r = a + p * p;
  std::copy(d.xtx.begin(), d.xtx.end(), a);
  std::copy(d.xty.begin(), d.xty.end(), r);
  if (!cholesky_in_place(a, p)) return false;
  forward_solve(a, p, r, 1);
  double ss = 0.0;
  for (std::uint64_t j = 0; j < p; ++j) ss = ss + r[j] * r[j];
  return d.yty - ss <= 1e-12 * d.yty;
}

std::optional<FixedProducts> fixed_products(const Rows& rows, bool with_xtx, const Shift& shift,
                                            const std::function<void()>& beside) {
  const std::uint64_t p = rows.p;
  struct Partial {
    std::vector<double> xtx, xty;
    double yty = 0.0;
    FixedScan scan;
  };
  ChunkPlan plan = plan_chunks(rows.n, fixed_cost(p));
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
    run_tasks(plan.count + 1, work_is_large(rows.n, fixed_cost(p) + rows.q + 1), [&](std::size_t t) {
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

namespace {

// Everything after the row passes: the nonfinite check, the exact-fit flag, the
// classes and the evaluator.
std::variant<std::unique_ptr<LmmData>, std::string> finish(std::unique_ptr<LmmData> data,
                                                           std::uint8_t evaluator) {
  const std::uint64_t p = data->p, q = data->q, m = data->m;
  for (std::uint64_t g = 0; g < m; ++g) mirror_upper(&data->ztz[g * q * q], q);
  if (auto err = nonfinite_error(*data)) return *err;
  data->exact_fit = fits_exactly(*data);
  check_interrupt();
  switch (evaluator) {
    case kAggregated:
      data->classes = Classes::build(q, p, m, data->ztz, data->ztx, data->zty, kUnlimitedClasses);
      data->evaluator = kAggregated;
      break;
    case kAuto:
      data->classes = Classes::build(q, p, m, data->ztz, data->ztx, data->zty,
                                     class_limit_for_auto(m, p, q));
      data->evaluator = data->classes ? kAggregated : kBlocks;
      break;
    default:
      data->evaluator = evaluator;
  }
  data->theta_index = theta_index(q);
  return data;
}

// The serial path: one pass over the rows, in the row chunks of fixed_products so
// that the global sums come out bit-identical to the parallel path. Returns the
// error text of a bad code, an empty text when the shift's constant column turns out
// not to be constant, or nothing.
std::optional<std::string> serial_pass(const Rows& rows, std::uint64_t m, LmmData& d) {
  const std::uint64_t n = rows.n, p = rows.p, q = rows.q;
  const Shift& shift = d.shift;
  ChunkPlan plan = plan_chunks(n, fixed_cost(p));
  std::vector<double> xtx(p * p), xty(p), xs(p);
  std::uint64_t h = n;
  FixedScan scan;
  const bool shift_x = shift.shifts_x();
  for (std::uint64_t k = 0; k < plan.count; ++k) {
    check_interrupt();
    std::fill(xtx.begin(), xtx.end(), 0.0);
    std::fill(xty.begin(), xty.end(), 0.0);
    double yty = 0.0;
    fixed_chunk(rows, plan.begin(k), plan.end(k), true, shift, xs.data(), xtx.data(), xty.data(), yty, scan);
    if (!scan.constant) return std::string();
    // Runs of consecutive rows of one group are added together. Each code is checked
    // where it is used to index: another thread may change the array meanwhile.
    for (std::uint64_t r = plan.begin(k), e = plan.end(k); r < e;) {
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
      h = fold(h, static_cast<std::uint64_t>(code));
      std::uint64_t run_end = r + 1;
      for (; run_end < e && rows.codes[run_end] == code; ++run_end) h = fold(h, static_cast<std::uint64_t>(code));
      const std::uint64_t g = static_cast<std::uint64_t>(code);
      add_group_run(rows, shift, shift_x, nullptr, r, run_end, &d.ztz[g * q * q], &d.ztx[g * q * p],
                    &d.zty[g * q], xs.data());
      r = run_end;
    }
    for (std::uint64_t i = 0; i < p * p; ++i) d.xtx[i] = d.xtx[i] + xtx[i];
    for (std::uint64_t j = 0; j < p; ++j) d.xty[j] = d.xty[j] + xty[j];
    d.yty = d.yty + yty;
  }
  mirror_upper(d.xtx.data(), p);
  d.codes_fingerprint = h;
  d.x_fingerprint = scan.xsum;
  d.z_fingerprint = scan.zsum;
  return std::nullopt;
}

// Forgets a shift that turned out not to apply: the rows are used as given.
void drop_shift(LmmData& d) {
  d.shift = Shift{};
  d.shift.x.assign(d.p, 0.0);
}

void clear_products(LmmData& d) {
  std::fill(d.ztz.begin(), d.ztz.end(), 0.0);
  std::fill(d.ztx.begin(), d.ztx.end(), 0.0);
  std::fill(d.zty.begin(), d.zty.end(), 0.0);
  std::fill(d.xtx.begin(), d.xtx.end(), 0.0);
  std::fill(d.xty.begin(), d.xty.end(), 0.0);
  d.yty = 0.0;
}

}  // namespace

std::variant<std::unique_ptr<LmmData>, std::string> from_rows(const Rows& rows, std::uint64_t m,
                                                              std::uint8_t evaluator) {
  const std::uint64_t n = rows.n, p = rows.p, q = rows.q;
  auto data = std::make_unique<LmmData>();
  data->n = n;
  data->p = p;
  data->q = q;
  data->m = m;
  data->ztz.assign(m * q * q, 0.0);
  data->ztx.assign(m * q * p, 0.0);
  data->zty.assign(m * q, 0.0);
  data->xtx.assign(p * p, 0.0);
  data->xty.assign(p, 0.0);
  data->shift = choose_shift(rows);

  const std::uint64_t cz = group_cost(p, q), cx = fixed_cost(p);
  const bool serial = !work_is_large(n, cz + cx) || pool_threads() < 2;

  if (serial) {
    auto err = serial_pass(rows, m, *data);
    if (err && err->empty()) {
      // A column constant in the sampled rows but not in all: start again unshifted.
      drop_shift(*data);
      clear_products(*data);
      err = serial_pass(rows, m, *data);
    }
    if (err) return *err;
    return finish(std::move(data), evaluator);
  }

  // Counting sort of the rows by group, then batches of whole groups on the pool,
  // each writing only its own groups' blocks. Rows already sorted by group (the
  // usual layout) need no index vector: group g owns rows offsets[g]..offsets[g+1].
  // The count is a serial loop; the fixed products run on the rest of the pool
  // meanwhile (and are discarded if a code is out of range).
  std::vector<std::uint64_t> offsets(m + 1, 0);
  bool sorted = true;
  std::uint64_t h = n;
  std::optional<std::string> code_error;
  auto count = [&] {
    std::int64_t prev = 0;
    for (std::uint64_t r = 0; r < n; ++r) {
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) {
        code_error = bad_code(code, m);
        return;
      }
      h = fold(h, static_cast<std::uint64_t>(code));
      ++offsets[static_cast<std::uint64_t>(code) + 1];
      sorted = sorted && code >= prev;
      prev = code;
    }
  };
  auto fp = fixed_products(rows, true, data->shift, count);
  if (code_error) return *code_error;
  data->codes_fingerprint = h;
  if (!fp) {
    drop_shift(*data);
    fp = fixed_products(rows, true, data->shift);
  }
  data->x_fingerprint = fp->x_fingerprint;
  data->z_fingerprint = fp->z_fingerprint;
  data->xtx = std::move(fp->xtx);
  data->xty = std::move(fp->xty);
  data->yty = fp->yty;
  for (std::uint64_t g = 0; g < m; ++g) offsets[g + 1] += offsets[g];
  std::vector<std::uint64_t> order;
  if (!sorted) {
    check_interrupt();
    order.resize(n);
    std::vector<std::uint64_t> next(offsets.begin(), offsets.end() - 1);
    for (std::uint64_t r = 0; r < n; ++r) {
      // The codes are read again: another thread may have changed them since they
      // were counted, and a changed code must not write outside its group's slots.
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
      const std::uint64_t g = static_cast<std::uint64_t>(code);
      if (next[g] == offsets[g + 1]) return std::string("the group codes changed while the design was being prepared");
      order[next[g]++] = r;
    }
  }
  const std::uint64_t t = std::max<std::uint64_t>(64, 32768 / std::max<std::uint64_t>(1, cz));
  std::vector<std::uint64_t> batch_start{0};
  for (std::uint64_t s = 0, j = 1; j < m; ++j) {
    if (offsets[j] - offsets[s] >= t) {
      batch_start.push_back(j);
      s = j;
    }
  }
  batch_start.push_back(m);
  LmmData& d = *data;
  const std::uint64_t* idx = sorted ? nullptr : order.data();
  const bool shift_x = d.shift.shifts_x();
  run_tasks(batch_start.size() - 1, true, [&](std::size_t b) {
    std::vector<double> xs(p);
    for (std::uint64_t g = batch_start[b]; g < batch_start[b + 1]; ++g)
      add_group_run(rows, d.shift, shift_x, idx, offsets[g], offsets[g + 1], &d.ztz[g * q * q],
                    &d.ztx[g * q * p], &d.zty[g * q], xs.data());
  });
  return finish(std::move(data), evaluator);
}

std::variant<std::unique_ptr<LmmData>, std::string> with_response(const LmmData& data,
                                                                  const Rows& rows) {
  const std::uint64_t n = data.n, p = data.p, q = data.q, m = data.m;
  if (rows.n != n || rows.p != p || rows.q != q)
    return "the prepared design has " + std::to_string(n) + " rows, " + std::to_string(p) +
           " fixed and " + std::to_string(q) + " random columns; the arrays passed do not match it";
  if (codes_fingerprint(rows.codes, n) != data.codes_fingerprint)
    return std::string("the group codes differ from the ones the design was prepared with");

  auto out = std::make_unique<LmmData>();
  // The design's shift of X, and the new response's own centre.
  out->shift = data.shift;
  out->shift.y = response_centre(data.shift, rows.y, n);
  // Z'y is a serial loop over the rows; the fixed products (and the fingerprints of
  // x and z) run on the rest of the pool meanwhile.
  out->zty.assign(m * q, 0.0);
  std::optional<std::string> code_error;
  auto zty_pass = [&] {
    const double cy = out->shift.y;
    for (std::uint64_t r = 0; r < n; ++r) {
      if (r % 65536 == 0) check_interrupt();
      // Checked where it indexes: a fingerprint collision, or another thread changing
      // the array meanwhile, must not turn into an out-of-range write.
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) {
        code_error = bad_code(code, m);
        return;
      }
      double* zty = &out->zty[static_cast<std::uint64_t>(code) * q];
      const double* zr = rows.z + r * q;
      const double yr = rows.y[r] - cy;
      for (std::uint64_t a = 0; a < q; ++a) zty[a] = zty[a] + yr * zr[a];
    }
  };
  auto fp = fixed_products(rows, false, out->shift, zty_pass);
  if (!fp || fp->x_fingerprint != data.x_fingerprint)
    return std::string("x differs from the array the design was prepared with");
  if (fp->z_fingerprint != data.z_fingerprint)
    return std::string("z differs from the array the design was prepared with");
  if (code_error) return *code_error;
  if (!std::isfinite(fp->yty)) return std::string("y holds a value that is not finite or whose square overflows");
  out->xty = std::move(fp->xty);
  out->yty = fp->yty;
  if (data.classes) {
    const Classes& c = *data.classes;
    std::vector<std::uint64_t> reps;
    reps.reserve(c.n_classes);
    for (std::uint64_t g = 0; g < m && reps.size() < c.n_classes; ++g)
      if (c.assignment[g] == reps.size()) reps.push_back(g);
    out->classes = Classes::with_assignment(q, p, data.ztz, data.ztx, out->zty, c.assignment,
                                            reps, c.n_classes);
  }
  out->xtx = data.xtx;
  out->ztz = data.ztz;
  out->ztx = data.ztx;
  out->theta_index = data.theta_index;
  out->n = n;
  out->p = p;
  out->q = q;
  out->m = m;
  out->codes_fingerprint = data.codes_fingerprint;
  out->x_fingerprint = data.x_fingerprint;
  out->z_fingerprint = data.z_fingerprint;
  out->evaluator = data.evaluator;
  out->exact_fit = fits_exactly(*out);
  return out;
}

}  // namespace qk
