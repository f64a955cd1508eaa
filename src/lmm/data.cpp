#include "lmm/data.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "linalg/dense.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

constexpr std::uint64_t kFingerprintMul = 0x517cc1b727220a95ULL;

inline std::uint64_t fold(std::uint64_t h, std::uint64_t w) {
  return (std::rotl(h, 5) ^ w) * kFingerprintMul;
}

// A hash of row r's k values: their bits chained through multiplications (so the
// order of the columns matters), mixed with the row index, then finished with
// Stafford's 64-bit mixer. Negative zeros count as zeros: they give the same
// products.
template <std::size_t K>
[[gnu::always_inline]] inline std::uint64_t row_hash(std::uint64_t r, const double* v, std::uint64_t k_rt) {
  const std::uint64_t k = K ? K : k_rt;
  std::uint64_t h = (r + 1) * 0x9e3779b97f4a7c15ULL;
  for (std::uint64_t j = 0; j < k; ++j) h = (h ^ std::bit_cast<std::uint64_t>(v[j] + 0.0)) * 0xff51afd7ed558ccdULL;
  h ^= h >> 31;
  h *= 0xbf58476d1ce4e5b9ULL;
  return h ^ (h >> 29);
}

// Work per row of the global fixed-effect products.
std::uint64_t fixed_cost(std::uint64_t p) { return p * (p + 1) / 2 + p + 1; }

// Work per row of the per-group products.
std::uint64_t group_cost(std::uint64_t p, std::uint64_t q) { return q + q * p + q * (q + 1) / 2; }

// Adds rows [b, e) to the fixed-effect partial sums of one chunk: X'y, y'y and, when
// with_xtx, the upper triangle of X'X, of the rows shifted by (cx, cy). With P > 0 (p
// fixed at compile time) the whole square is accumulated so that the row update
// vectorises; every upper-triangle entry still receives the same products in the
// same row order, and the lower triangle is overwritten by the mirror afterwards.
// Subtracting a zero centre changes no value, so unshifted rows give the products of
// the rows as given.
template <std::size_t P>
[[gnu::always_inline]] inline void add_fixed_rows(const double* x, const double* y, std::uint64_t b,
                                                  std::uint64_t e, std::uint64_t p_rt, bool with_xtx,
                                                  const double* cx, double cy, double* xs, double* xtx,
                                                  double* xty, double& yty) {
  if constexpr (P == 0) {
    const std::uint64_t p = p_rt;
    for (std::uint64_t r = b; r < e; ++r) {
      const double* xr = x + r * p;
      const double yr = y[r] - cy;
      for (std::uint64_t j = 0; j < p; ++j) xs[j] = xr[j] - cx[j];
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
    for (std::size_t j = 0; j < P; ++j) c[j] = cx[j];
    for (std::uint64_t r = b; r < e; ++r) {
      const double* xr = x + r * P;
      const double yr = y[r] - cy;
      for (std::size_t j = 0; j < P; ++j) xl[j] = xr[j] - c[j];
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
  (void)xs;
}

// Whether the shift's constant column holds its value in rows [b, e) (true without
// one).
bool column_is_constant(const double* x, std::uint64_t b, std::uint64_t e, std::uint64_t p, const Shift& shift) {
  if (!shift.active()) return true;
  const double* col = x + shift.column;
  bool same = true;
  for (std::uint64_t r = b; r < e; ++r) same = same & (col[r * p] == shift.value);
  return same;
}

void fixed_chunk(const double* x, const double* y, std::uint64_t b, std::uint64_t e, std::uint64_t p,
                 bool with_xtx, const Shift& shift, double* xs, double* xtx, double* xty, double& yty) {
  const double* cx = shift.x.data();
  const double cy = shift.y;
  switch (p) {
    case 1: return add_fixed_rows<1>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
    case 2: return add_fixed_rows<2>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
    case 3: return add_fixed_rows<3>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
    case 4: return add_fixed_rows<4>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
    case 5: return add_fixed_rows<5>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
    case 6: return add_fixed_rows<6>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
    case 7: return add_fixed_rows<7>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
    case 8: return add_fixed_rows<8>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
    default: return add_fixed_rows<0>(x, y, b, e, p, with_xtx, cx, cy, xs, xtx, xty, yty);
  }
}

// Sums of the row hashes of x and z over the rows a group pass visits.
struct RowHashes {
  std::uint64_t x = 0, z = 0;
};

// Adds a run of rows of one group to that group's blocks (upper triangle of Z'Z
// only), with X and y shifted by the centres (Z never is), and the rows' hashes to
// `hashes`; row i of the run is row_at(i). With q and p fixed at compile time the
// group's sums are held in local accumulators for the whole run; either way every
// entry receives the same products in the same row order.
template <std::size_t Q, std::size_t P, class RowAt>
[[gnu::always_inline]] inline void add_group_rows(const Rows& rows, const Shift& shift, RowAt row_at,
                                                  std::uint64_t count, double* ztz, double* ztx, double* zty,
                                                  double* xs, RowHashes& hashes) {
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
  std::uint64_t hx = hashes.x, hz = hashes.z;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t r = row_at(i);
    const double* xr = rows.x + r * p;
    const double* zr = rows.z + r * q;
    const double yr = rows.y[r] - cy;
    hx += row_hash<P>(r, xr, p);
    hz += row_hash<Q>(r, zr, q);
    for (std::uint64_t k = 0; k < p; ++k) xv[k] = xr[k] - c[k];
    for (std::uint64_t a = 0; a < q; ++a) {
      const double za = zr[a];
      ty[a] = ty[a] + yr * za;
      for (std::uint64_t b = a; b < q; ++b) tz[a * q + b] = tz[a * q + b] + za * zr[b];
      for (std::uint64_t k = 0; k < p; ++k) tx[a * p + k] = tx[a * p + k] + za * xv[k];
    }
  }
  hashes.x = hx;
  hashes.z = hz;
  if constexpr (fixed) {
    std::copy_n(lz, Q * Q, ztz);
    std::copy_n(lx, Q * P, ztx);
    std::copy_n(ly, Q, zty);
  }
}

// Rows [begin, end) of group g: the rows themselves (rows sorted by group) or their
// indices in `order`. xs holds p doubles of scratch.
void add_group_run(const Rows& rows, const Shift& shift, const std::uint64_t* order, std::uint64_t begin,
                   std::uint64_t end, double* ztz, double* ztx, double* zty, double* xs, RowHashes& hashes) {
  const std::uint64_t count = end - begin;
  auto dispatch = [&](auto row_at) {
#define QK_GROUP_CASE(QV, PV) \
  if (rows.q == QV && rows.p == PV) \
    return add_group_rows<QV, PV>(rows, shift, row_at, count, ztz, ztx, zty, xs, hashes);
#define QK_GROUP_P(QV) \
  QK_GROUP_CASE(QV, 1) QK_GROUP_CASE(QV, 2) QK_GROUP_CASE(QV, 3) QK_GROUP_CASE(QV, 4) \
  QK_GROUP_CASE(QV, 5) QK_GROUP_CASE(QV, 6) QK_GROUP_CASE(QV, 7) QK_GROUP_CASE(QV, 8)
    QK_GROUP_P(1) QK_GROUP_P(2) QK_GROUP_P(3)
#undef QK_GROUP_P
#undef QK_GROUP_CASE
    return add_group_rows<0, 0>(rows, shift, row_at, count, ztz, ztx, zty, xs, hashes);
  };
  if (order) dispatch([=](std::uint64_t i) { return order[begin + i]; });
  else dispatch([=](std::uint64_t i) { return begin + i; });
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

// Up to 63 rows spread evenly from the first to the last.
constexpr std::uint64_t kSampleRows = 63;

std::vector<std::uint64_t> sample_rows(std::uint64_t n) {
  const std::uint64_t k = std::min(n, kSampleRows);
  std::vector<std::uint64_t> out(k);
  for (std::uint64_t i = 0; i < k; ++i)
    out[i] = k == 1 ? 0
                    : static_cast<std::uint64_t>(static_cast<unsigned __int128>(i) * (n - 1) / (k - 1));
  return out;
}

// The median of v at the sampled rows (the lower one of an even count: always one of
// the values), or 0.0 when one of them is not finite.
double sampled_median(const double* v, std::uint64_t stride, const std::vector<std::uint64_t>& at) {
  std::vector<double> vals;
  vals.reserve(at.size());
  for (std::uint64_t r : at) {
    const double x = v[r * stride];
    if (!std::isfinite(x)) return 0.0;
    vals.push_back(x);
  }
  if (vals.empty()) return 0.0;
  auto mid = vals.begin() + static_cast<std::ptrdiff_t>((vals.size() - 1) / 2);
  std::nth_element(vals.begin(), mid, vals.end());
  return *mid;
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
  std::uint64_t h = 0;
  for (std::uint64_t r = 0; r < n; ++r) h += row_hash<0>(r, v + r * k, k);
  return h;
}

Shift choose_shift(const Rows& rows) {
  Shift shift;
  shift.x.assign(rows.p, 0.0);
  const std::vector<std::uint64_t> at = sample_rows(rows.n);
  if (at.empty()) return shift;
  for (std::uint64_t j = 0; j < rows.p && !shift.active(); ++j) {
    const double a = rows.x[at[0] * rows.p + j];
    bool constant = a != 0.0 && std::isfinite(a);
    for (std::uint64_t r : at) constant = constant && rows.x[r * rows.p + j] == a;
    if (constant) {
      shift.column = static_cast<std::int64_t>(j);
      shift.value = a;
    }
  }
  if (!shift.active()) return shift;
  for (std::uint64_t j = 0; j < rows.p; ++j)
    if (static_cast<std::int64_t>(j) != shift.column) shift.x[j] = sampled_median(rows.x + j, rows.p, at);
  shift.y = sampled_median(rows.y, 1, at);
  return shift;
}

double response_centre(const Shift& shift, const double* y, std::uint64_t n) {
  return shift.active() ? sampled_median(y, 1, sample_rows(n)) : 0.0;
}

bool fits_exactly(const LmmData& d) {
  // The residual sum of squares after least squares on X is y'y less the squared
  // norm of L^-1 X'y (L L' = X'X). On the shifted products its rounding error is a
  // small multiple of 2^-52 y'y, so a remainder below 1e-12 y'y is nothing but
  // rounding: y lies in the column space of X. A singular X'X decides nothing (every
  // theta is then infeasible anyway).
  if (d.yty == 0.0) return true;
  const std::uint64_t p = d.p;
  std::vector<double> a = d.xtx, r = d.xty;
  if (!cholesky_in_place(a.data(), p)) return false;
  forward_solve(a.data(), p, r.data(), 1);
  double ss = 0.0;
  for (std::uint64_t j = 0; j < p; ++j) ss = ss + r[j] * r[j];
  return d.yty - ss <= 1e-12 * d.yty;
}

std::optional<FixedProducts> fixed_products(const double* y, const double* x, std::uint64_t n,
                                            std::uint64_t p, bool with_xtx, const Shift& shift,
                                            bool with_fingerprint) {
  struct Partial {
    std::vector<double> xtx, xty;
    double yty = 0.0;
    std::uint64_t hash = 0;
    bool constant = true;
  };
  ChunkPlan plan = plan_chunks(n, fixed_cost(p));
  auto parts = map_chunks<Partial>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    Partial part;
    part.constant = column_is_constant(x, b, e, p, shift);
    if (!part.constant) return part;
    part.xtx.assign(with_xtx ? p * p : 0, 0.0);
    part.xty.assign(p, 0.0);
    std::vector<double> xs(p);
    fixed_chunk(x, y, b, e, p, with_xtx, shift, xs.data(), part.xtx.data(), part.xty.data(), part.yty);
    if (with_fingerprint)
      for (std::uint64_t r = b; r < e; ++r) part.hash += row_hash<0>(r, x + r * p, p);
    return part;
  });
  FixedProducts out{std::vector<double>(p * p, 0.0), std::vector<double>(p, 0.0), 0.0, 0};
  for (const Partial& part : parts) {
    if (!part.constant) return std::nullopt;
    for (std::uint64_t i = 0; i < part.xtx.size(); ++i) out.xtx[i] = out.xtx[i] + part.xtx[i];
    for (std::uint64_t j = 0; j < p; ++j) out.xty[j] = out.xty[j] + part.xty[j];
    out.yty = out.yty + part.yty;
    out.x_fingerprint += part.hash;
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
  RowHashes hashes;
  for (std::uint64_t k = 0; k < plan.count; ++k) {
    check_interrupt();
    if (!column_is_constant(rows.x, plan.begin(k), plan.end(k), p, shift)) return std::string();
    std::fill(xtx.begin(), xtx.end(), 0.0);
    std::fill(xty.begin(), xty.end(), 0.0);
    double yty = 0.0;
    fixed_chunk(rows.x, rows.y, plan.begin(k), plan.end(k), p, true, shift, xs.data(), xtx.data(), xty.data(), yty);
    // Runs of consecutive rows of one group are added together. Each code is checked
    // where it is used to index: another thread may change the array meanwhile.
    for (std::uint64_t r = plan.begin(k), e = plan.end(k); r < e;) {
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
      h = fold(h, static_cast<std::uint64_t>(code));
      std::uint64_t run_end = r + 1;
      for (; run_end < e && rows.codes[run_end] == code; ++run_end) h = fold(h, static_cast<std::uint64_t>(code));
      const std::uint64_t g = static_cast<std::uint64_t>(code);
      add_group_run(rows, shift, nullptr, r, run_end, &d.ztz[g * q * q], &d.ztx[g * q * p], &d.zty[g * q],
                    xs.data(), hashes);
      r = run_end;
    }
    for (std::uint64_t i = 0; i < p * p; ++i) d.xtx[i] = d.xtx[i] + xtx[i];
    for (std::uint64_t j = 0; j < p; ++j) d.xty[j] = d.xty[j] + xty[j];
    d.yty = d.yty + yty;
  }
  mirror_upper(d.xtx.data(), p);
  d.codes_fingerprint = h;
  d.x_fingerprint = hashes.x;
  d.z_fingerprint = hashes.z;
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
  std::vector<std::uint64_t> offsets(m + 1, 0);
  bool sorted = true;
  std::int64_t prev = 0;
  std::uint64_t h = n;
  for (std::uint64_t r = 0; r < n; ++r) {
    const std::int64_t code = rows.codes[r];
    if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
    h = fold(h, static_cast<std::uint64_t>(code));
    ++offsets[static_cast<std::uint64_t>(code) + 1];
    sorted = sorted && code >= prev;
    prev = code;
  }
  data->codes_fingerprint = h;
  auto fp = fixed_products(rows.y, rows.x, n, p, true, data->shift);
  if (!fp) {
    drop_shift(*data);
    fp = fixed_products(rows.y, rows.x, n, p, true, data->shift);
  }
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
  std::vector<RowHashes> hashes(batch_start.size() - 1);
  run_tasks(batch_start.size() - 1, true, [&](std::size_t b) {
    std::vector<double> xs(p);
    for (std::uint64_t g = batch_start[b]; g < batch_start[b + 1]; ++g)
      add_group_run(rows, d.shift, idx, offsets[g], offsets[g + 1], &d.ztz[g * q * q], &d.ztx[g * q * p],
                    &d.zty[g * q], xs.data(), hashes[b]);
  });
  for (const RowHashes& hb : hashes) {
    d.x_fingerprint += hb.x;
    d.z_fingerprint += hb.z;
  }
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
  auto fp = fixed_products(rows.y, rows.x, n, p, false, out->shift, true);
  if (!fp || fp->x_fingerprint != data.x_fingerprint)
    return std::string("x differs from the array the design was prepared with");
  check_interrupt();
  out->zty.assign(m * q, 0.0);
  std::uint64_t hz = 0;
  const double cy = out->shift.y;
  for (std::uint64_t r = 0; r < n; ++r) {
    // Checked where it indexes: a fingerprint collision, or another thread changing
    // the array meanwhile, must not turn into an out-of-range write.
    const std::int64_t code = rows.codes[r];
    if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
    double* zty = &out->zty[static_cast<std::uint64_t>(code) * q];
    const double* zr = rows.z + r * q;
    const double yr = rows.y[r] - cy;
    for (std::uint64_t a = 0; a < q; ++a) zty[a] = zty[a] + yr * zr[a];
    hz += row_hash<0>(r, zr, q);
  }
  if (hz != data.z_fingerprint) return std::string("z differs from the array the design was prepared with");
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
