#include "lmm/data.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "pool/pool.hpp"

namespace qk {

namespace {

constexpr std::uint64_t kFingerprintMul = 0x517cc1b727220a95ULL;

inline std::uint64_t fold(std::uint64_t h, std::uint64_t w) {
  return (std::rotl(h, 5) ^ w) * kFingerprintMul;
}

// Work per row of the global fixed-effect products.
std::uint64_t fixed_cost(std::uint64_t p) { return p * (p + 1) / 2 + p + 1; }

// Work per row of the per-group products.
std::uint64_t group_cost(std::uint64_t p, std::uint64_t q) { return q + q * p + q * (q + 1) / 2; }

// Adds rows [b, e) to the fixed-effect partial sums of one chunk: X'y, y'y and, when
// with_xtx, the upper triangle of X'X. With P > 0 (p fixed at compile time) the whole
// square is accumulated so that the row update vectorises; every upper-triangle entry
// still receives the same products in the same row order, and the lower triangle is
// overwritten by the mirror afterwards.
template <std::size_t P>
[[gnu::always_inline]] inline void add_fixed_rows(const double* x, const double* y, std::uint64_t b,
                                                  std::uint64_t e, std::uint64_t p_rt, bool with_xtx,
                                                  double* xtx, double* xty, double& yty) {
  if constexpr (P == 0) {
    const std::uint64_t p = p_rt;
    for (std::uint64_t r = b; r < e; ++r) {
      const double* xr = x + r * p;
      const double yr = y[r];
      for (std::uint64_t j = 0; j < p; ++j) xty[j] = xty[j] + yr * xr[j];
      if (with_xtx)
        for (std::uint64_t j = 0; j < p; ++j) {
          const double xj = xr[j];
          double* row = xtx + j * p;
          for (std::uint64_t k = j; k < p; ++k) row[k] = row[k] + xj * xr[k];
        }
      yty = yty + yr * yr;
    }
  } else {
    // Local accumulators: the sums stay in registers instead of being stored and
    // reloaded for every row (the outputs could alias the inputs as far as the
    // compiler knows).
    double axx[P * P], axy[P], ayy = yty;
    for (std::size_t i = 0; i < P * P; ++i) axx[i] = with_xtx ? xtx[i] : 0.0;
    for (std::size_t j = 0; j < P; ++j) axy[j] = xty[j];
    for (std::uint64_t r = b; r < e; ++r) {
      const double* xr = x + r * P;
      const double yr = y[r];
      for (std::size_t j = 0; j < P; ++j) axy[j] = axy[j] + yr * xr[j];
      if (with_xtx)
        for (std::size_t j = 0; j < P; ++j) {
          const double xj = xr[j];
          for (std::size_t k = 0; k < P; ++k) axx[j * P + k] = axx[j * P + k] + xj * xr[k];
        }
      ayy = ayy + yr * yr;
    }
    if (with_xtx)
      for (std::size_t i = 0; i < P * P; ++i) xtx[i] = axx[i];
    for (std::size_t j = 0; j < P; ++j) xty[j] = axy[j];
    yty = ayy;
  }
}

void fixed_chunk(const double* x, const double* y, std::uint64_t b, std::uint64_t e, std::uint64_t p,
                 bool with_xtx, double* xtx, double* xty, double& yty) {
  switch (p) {
    case 1: return add_fixed_rows<1>(x, y, b, e, p, with_xtx, xtx, xty, yty);
    case 2: return add_fixed_rows<2>(x, y, b, e, p, with_xtx, xtx, xty, yty);
    case 3: return add_fixed_rows<3>(x, y, b, e, p, with_xtx, xtx, xty, yty);
    case 4: return add_fixed_rows<4>(x, y, b, e, p, with_xtx, xtx, xty, yty);
    case 5: return add_fixed_rows<5>(x, y, b, e, p, with_xtx, xtx, xty, yty);
    case 6: return add_fixed_rows<6>(x, y, b, e, p, with_xtx, xtx, xty, yty);
    case 7: return add_fixed_rows<7>(x, y, b, e, p, with_xtx, xtx, xty, yty);
    case 8: return add_fixed_rows<8>(x, y, b, e, p, with_xtx, xtx, xty, yty);
    default: return add_fixed_rows<0>(x, y, b, e, p, with_xtx, xtx, xty, yty);
  }
}

// Adds a run of rows of one group to that group's blocks (upper triangle of Z'Z
// only); row i of the run is row_at(i). With q and p fixed at compile time the
// group's sums are held in local accumulators for the whole run; either way every
// entry receives the same products in the same row order.
template <std::size_t Q, std::size_t P, class RowAt>
[[gnu::always_inline]] inline void add_group_rows(const Rows& rows, RowAt row_at, std::uint64_t count,
                                                  double* ztz, double* ztx, double* zty) {
  constexpr bool fixed = Q > 0 && P > 0;
  const std::uint64_t q = fixed ? Q : rows.q, p = fixed ? P : rows.p;
  double lz[fixed ? Q * Q : 1], lx[fixed ? Q * P : 1], ly[fixed ? Q : 1];
  double* tz = fixed ? lz : ztz;
  double* tx = fixed ? lx : ztx;
  double* ty = fixed ? ly : zty;
  if constexpr (fixed) {
    std::copy_n(ztz, Q * Q, lz);
    std::copy_n(ztx, Q * P, lx);
    std::copy_n(zty, Q, ly);
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t r = row_at(i);
    const double* xr = rows.x + r * p;
    const double* zr = rows.z + r * q;
    const double yr = rows.y[r];
    for (std::uint64_t a = 0; a < q; ++a) {
      const double za = zr[a];
      ty[a] = ty[a] + yr * za;
      for (std::uint64_t b = a; b < q; ++b) tz[a * q + b] = tz[a * q + b] + za * zr[b];
      for (std::uint64_t k = 0; k < p; ++k) tx[a * p + k] = tx[a * p + k] + za * xr[k];
    }
  }
  if constexpr (fixed) {
    std::copy_n(lz, Q * Q, ztz);
    std::copy_n(lx, Q * P, ztx);
    std::copy_n(ly, Q, zty);
  }
}

// Rows [begin, end) of group g: the rows themselves (rows sorted by group) or their
// indices in `order`.
void add_group_run(const Rows& rows, const std::uint64_t* order, std::uint64_t begin, std::uint64_t end,
                   double* ztz, double* ztx, double* zty) {
  const std::uint64_t count = end - begin;
  auto dispatch = [&](auto row_at) {
#define QK_GROUP_CASE(QV, PV) \
  if (rows.q == QV && rows.p == PV) return add_group_rows<QV, PV>(rows, row_at, count, ztz, ztx, zty);
#define QK_GROUP_P(QV) \
  QK_GROUP_CASE(QV, 1) QK_GROUP_CASE(QV, 2) QK_GROUP_CASE(QV, 3) QK_GROUP_CASE(QV, 4) \
  QK_GROUP_CASE(QV, 5) QK_GROUP_CASE(QV, 6) QK_GROUP_CASE(QV, 7) QK_GROUP_CASE(QV, 8)
    QK_GROUP_P(1) QK_GROUP_P(2) QK_GROUP_P(3)
#undef QK_GROUP_P
#undef QK_GROUP_CASE
    return add_group_rows<0, 0>(rows, row_at, count, ztz, ztx, zty);
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

}  // namespace

std::vector<double> ScratchPool::take(std::size_t len) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
      if (buffers_[i].size() == len) {
        std::vector<double> out = std::move(buffers_[i]);
        if (i + 1 != buffers_.size()) buffers_[i] = std::move(buffers_.back());
        buffers_.pop_back();
        return out;
      }
    }
  }
  return std::vector<double>(len, 0.0);
}

void ScratchPool::give_back(std::vector<double> buf) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (buffers_.size() < 4) buffers_.push_back(std::move(buf));
}

std::size_t ScratchPool::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffers_.size();
}

std::uint64_t codes_fingerprint(const std::int64_t* codes, std::uint64_t n) {
  std::uint64_t h = n;
  for (std::uint64_t r = 0; r < n; ++r) h = fold(h, static_cast<std::uint64_t>(codes[r]));
  return h;
}

FixedProducts fixed_products(const double* y, const double* x, std::uint64_t n, std::uint64_t p,
                             bool with_xtx) {
  struct Partial {
    std::vector<double> xtx, xty;
    double yty = 0.0;
  };
  ChunkPlan plan = plan_chunks(n, fixed_cost(p));
  auto parts = map_chunks<Partial>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    Partial part;
    part.xtx.assign(with_xtx ? p * p : 0, 0.0);
    part.xty.assign(p, 0.0);
    fixed_chunk(x, y, b, e, p, with_xtx, part.xtx.data(), part.xty.data(), part.yty);
    return part;
  });
  FixedProducts out{std::vector<double>(p * p, 0.0), std::vector<double>(p, 0.0), 0.0};
  for (const Partial& part : parts) {
    for (std::uint64_t i = 0; i < part.xtx.size(); ++i) out.xtx[i] = out.xtx[i] + part.xtx[i];
    for (std::uint64_t j = 0; j < p; ++j) out.xty[j] = out.xty[j] + part.xty[j];
    out.yty = out.yty + part.yty;
  }
  mirror_upper(out.xtx.data(), p);
  return out;
}

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

  const std::uint64_t cz = group_cost(p, q), cx = fixed_cost(p);
  const bool serial = !work_is_large(n, cz + cx) || pool_threads() < 2;
  std::uint64_t h = n;

  if (serial) {
    // One pass over the rows, in the row chunks of fixed_products so that the global
    // sums come out bit-identical to the parallel path.
    ChunkPlan plan = plan_chunks(n, cx);
    data->xtx.assign(p * p, 0.0);
    data->xty.assign(p, 0.0);
    std::vector<double> xtx(p * p), xty(p);
    for (std::uint64_t k = 0; k < plan.count; ++k) {
      std::fill(xtx.begin(), xtx.end(), 0.0);
      std::fill(xty.begin(), xty.end(), 0.0);
      double yty = 0.0;
      fixed_chunk(rows.x, rows.y, plan.begin(k), plan.end(k), p, true, xtx.data(), xty.data(), yty);
      // Runs of consecutive rows of one group are added together.
      for (std::uint64_t r = plan.begin(k), e = plan.end(k); r < e;) {
        const std::int64_t code = rows.codes[r];
        if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
        h = fold(h, static_cast<std::uint64_t>(code));
        std::uint64_t run_end = r + 1;
        for (; run_end < e && rows.codes[run_end] == code; ++run_end)
          h = fold(h, static_cast<std::uint64_t>(code));
        const std::uint64_t g = static_cast<std::uint64_t>(code);
        add_group_run(rows, nullptr, r, run_end, &data->ztz[g * q * q], &data->ztx[g * q * p],
                      &data->zty[g * q]);
        r = run_end;
      }
      for (std::uint64_t i = 0; i < p * p; ++i) data->xtx[i] = data->xtx[i] + xtx[i];
      for (std::uint64_t j = 0; j < p; ++j) data->xty[j] = data->xty[j] + xty[j];
      data->yty = data->yty + yty;
    }
    mirror_upper(data->xtx.data(), p);
  } else {
    // Counting sort of the rows by group, then batches of whole groups on the pool,
    // each writing only its own groups' blocks. Rows already sorted by group (the
    // usual layout) need no index vector: group g owns rows offsets[g]..offsets[g+1].
    std::vector<std::uint64_t> offsets(m + 1, 0);
    bool sorted = true;
    std::int64_t prev = 0;
    for (std::uint64_t r = 0; r < n; ++r) {
      const std::int64_t code = rows.codes[r];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m) return bad_code(code, m);
      h = fold(h, static_cast<std::uint64_t>(code));
      ++offsets[static_cast<std::uint64_t>(code) + 1];
      sorted = sorted && code >= prev;
      prev = code;
    }
    FixedProducts fp = fixed_products(rows.y, rows.x, n, p, true);
    data->xtx = std::move(fp.xtx);
    data->xty = std::move(fp.xty);
    data->yty = fp.yty;
    for (std::uint64_t g = 0; g < m; ++g) offsets[g + 1] += offsets[g];
    std::vector<std::uint64_t> order;
    if (!sorted) {
      order.resize(n);
      std::vector<std::uint64_t> next(offsets.begin(), offsets.end() - 1);
      for (std::uint64_t r = 0; r < n; ++r) order[next[static_cast<std::uint64_t>(rows.codes[r])]++] = r;
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
    run_tasks(batch_start.size() - 1, true, [&](std::size_t b) {
      for (std::uint64_t g = batch_start[b]; g < batch_start[b + 1]; ++g)
        add_group_run(rows, idx, offsets[g], offsets[g + 1], &d.ztz[g * q * q], &d.ztx[g * q * p],
                      &d.zty[g * q]);
    });
  }
  for (std::uint64_t g = 0; g < m; ++g) mirror_upper(&data->ztz[g * q * q], q);
  if (auto err = nonfinite_error(*data)) return *err;
  data->codes_fingerprint = h;

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

std::variant<std::unique_ptr<LmmData>, std::string> with_response(const LmmData& data,
                                                                  const Rows& rows) {
  const std::uint64_t n = data.n, p = data.p, q = data.q, m = data.m;
  if (rows.n != n || rows.p != p || rows.q != q)
    return "the prepared design has " + std::to_string(n) + " rows, " + std::to_string(p) +
           " fixed and " + std::to_string(q) + " random columns; the arrays passed do not match it";
  if (codes_fingerprint(rows.codes, n) != data.codes_fingerprint)
    return std::string("the group codes differ from the ones the design was prepared with");
  // A fingerprint collision must not turn into an out-of-range write.
  for (std::uint64_t r = 0; r < n; ++r)
    if (rows.codes[r] < 0 || static_cast<std::uint64_t>(rows.codes[r]) >= m)
      return bad_code(rows.codes[r], m);

  auto out = std::make_unique<LmmData>();
  FixedProducts fp = fixed_products(rows.y, rows.x, n, p, false);
  if (!std::isfinite(fp.yty)) return std::string("y holds a value that is not finite or whose square overflows");
  out->xty = std::move(fp.xty);
  out->yty = fp.yty;
  out->zty.assign(m * q, 0.0);
  for (std::uint64_t r = 0; r < n; ++r) {
    double* zty = &out->zty[static_cast<std::uint64_t>(rows.codes[r]) * q];
    const double* zr = rows.z + r * q;
    for (std::uint64_t a = 0; a < q; ++a) zty[a] = zty[a] + rows.y[r] * zr[a];
  }
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
  out->evaluator = data.evaluator;
  return out;
}

}  // namespace qk
