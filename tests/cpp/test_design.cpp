// The prepared design: theta layout, the products of from_rows on both paths and
// for any pool size, weights and group-code errors, the shift, the fingerprints of x
// and z, and the design's state.
#include <numeric>
#include <optional>

#include "lmm/prepare/fingerprint.hpp"
#include "lmm/prepare/state.hpp"
#include "lmm/prepare/theta.hpp"
#include "support.hpp"

namespace {

using qkt::Design;
using qkt::kNaN;
using qkt::Vec;

// Empty when data holds the products of d's rows shifted by data.shift and weighted
// by d.w: the per-group blocks bit for bit (each group's rows added in row order, the
// weight multiplying z), the global products (both triangles) to rounding. A shift
// must be a reparameterisation: its column constant at its (non-zero) value and not
// shifted itself. The weights' constant is sum log w (to rounding) and their
// fingerprint their checksum.
std::string check_products(const Design& d, const qk::LmmData& data) {
  const std::uint64_t p = d.p, q = d.q;
  const qk::Shift& sh = data.shift;
  std::string err;
  if (sh.x.size() != p) return "shift size ";
  if (sh.active()) {
    const std::size_t k = static_cast<std::size_t>(sh.column);
    if (sh.value == 0.0 || sh.x[k] != 0.0) err += "shift column ";
    for (std::uint64_t r = 0; r < d.n; ++r)
      if (d.x[r * p + k] != sh.value) err += "shift column not constant ";
  } else if (sh.y != 0.0 || std::any_of(sh.x.begin(), sh.x.end(), [](double c) { return c != 0.0; })) {
    err += "inactive shift ";
  }
  const bool weighted = !d.w.empty();
  Vec ztz(d.m * q * q, 0.0), ztx(d.m * q * p, 0.0), zty(d.m * q, 0.0), xtx(p * p), xty(p);
  std::vector<long double> lxtx(p * p, 0.0L), lxty(p, 0.0L);
  long double yty = 0.0L, logw = 0.0L;
  Vec xs(p);
  for (std::uint64_t r = 0; r < d.n; ++r) {
    const std::uint64_t g = static_cast<std::uint64_t>(d.codes[r]);
    const double *zr = &d.z[r * q], yr = d.y[r] - sh.y, wr = weighted ? d.w[r] : 1.0;
    for (std::uint64_t j = 0; j < p; ++j) xs[j] = d.x[r * p + j] - sh.x[j];
    for (std::uint64_t a = 0; a < q; ++a) {
      const double za = zr[a] * wr;
      zty[g * q + a] += yr * za;
      for (std::uint64_t b = a; b < q; ++b) ztz[(g * q + a) * q + b] += za * zr[b];
      for (std::uint64_t k = 0; k < p; ++k) ztx[(g * q + a) * p + k] += za * xs[k];
    }
    for (std::uint64_t j = 0; j < p; ++j) {
      lxty[j] += static_cast<long double>(xs[j]) * yr * wr;
      for (std::uint64_t k = 0; k < p; ++k) lxtx[j * p + k] += static_cast<long double>(xs[j]) * xs[k] * wr;
    }
    yty += static_cast<long double>(yr) * yr * wr;
    logw += std::log(static_cast<long double>(wr));
  }
  for (std::uint64_t g = 0; g < d.m; ++g)
    for (std::uint64_t a = 0; a < q; ++a)
      for (std::uint64_t b = 0; b < a; ++b) ztz[(g * q + a) * q + b] = ztz[(g * q + b) * q + a];
  std::copy(lxtx.begin(), lxtx.end(), xtx.begin());
  std::copy(lxty.begin(), lxty.end(), xty.begin());
  if (qkt::bits(data.ztz) != qkt::bits(ztz)) err += "ztz ";
  if (qkt::bits(data.ztx) != qkt::bits(ztx)) err += "ztx ";
  if (qkt::bits(data.zty) != qkt::bits(zty)) err += "zty ";
  if (!qkt::all_near(data.xtx, xtx, 1e-12) || !qkt::all_near(data.xty, xty, 1e-12) ||
      !qkt::near_rel(data.yty, static_cast<double>(yty), 1e-12))
    err += "fixed products ";
  if (data.codes_fingerprint != qk::codes_fingerprint(d.codes.data(), d.n)) err += "fingerprint ";
  if (data.x_fingerprint != qk::rows_fingerprint(d.x.data(), d.n, p) ||
      data.z_fingerprint != qk::rows_fingerprint(d.z.data(), d.n, q))
    err += "x or z fingerprint ";
  if (data.weighted != weighted || !qkt::near_rel(data.log_weights, static_cast<double>(logw), 1e-13) ||
      data.w_fingerprint != (weighted ? qk::rows_fingerprint(d.w.data(), d.n, 1) : 0))
    err += "weights ";
  if (data.n != d.n || data.m != d.m || data.p != p || data.q != q || data.theta_index != qk::theta_index(q))
    err += "dimensions ";
  return err;
}

// Everything construction computes from the rows but the weights' own fields, as bytes.
std::string product_bytes(const qk::LmmData& d) {
  qkt::Bytes b;
  b.vec(d.xtx).vec(d.xty).f64(d.yty).vec(d.ztz).vec(d.ztx).vec(d.zty).u64(d.codes_fingerprint);
  b.u64(d.x_fingerprint).u64(d.z_fingerprint).vec(d.shift.x).f64(d.shift.y).u64(d.shift.column).f64(d.shift.value);
  b.u64(d.evaluator).u64(d.classes.has_value()).u64(d.exact_fit);
  if (d.classes) b.u64(d.classes->n_classes).vec(d.classes->counts).vec(d.classes->ztz).vec(d.classes->cross_sums).vec(d.classes->assignment);
  return b.buf;
}

// Everything construction computes, as bytes.
std::string design_bytes(const qk::LmmData& d) {
  return product_bytes(d) + qkt::Bytes().u64(d.weighted).f64(d.log_weights).u64(d.w_fingerprint).buf;
}

// Small designs take the serial path (q = 1..3 unrolled and q = 4 generic, p = 1..8
// unrolled and p = 9 generic). On the large one, pools of 2 and 7 threads take the
// parallel path (counting sort, then batches of whole groups), which must match the
// row sums and the serial path's bits for rows interleaved across groups, sorted by
// group, and sorted but for two rows swapped across a group boundary. So must the
// classes, whose sums run on the pool, and with_response, which must equal building
// anew. Each design is also built with prior weights, and with weights all 1.0,
// which must give the products of no weights to the bit.
TEST(FromRows, ProductsMatchRowSumsOnBothPathsAndAnyPoolSize) {
  std::vector<Design> designs;
  for (const qkt::DesignShape& s : {qkt::DesignShape{.p = 1, .q = 1, .m = 7, .min_rows = 0, .max_rows = 4, .seed = 1},
                                   {.p = 3, .q = 2, .m = 30, .min_rows = 0, .max_rows = 6, .seed = 2},
                                   {.p = 5, .q = 3, .m = 12, .min_rows = 1, .max_rows = 9, .seed = 3},
                                   {.p = 9, .q = 4, .m = 9, .min_rows = 0, .max_rows = 8, .seed = 4},
                                   {.p = 3, .q = 2, .m = 20000, .min_rows = 0, .max_rows = 5, .seed = 31, .templates = 1000}}) {
    designs.push_back(qkt::make_design(s));
    designs.back().m += 2;  // groups without rows
  }
  const Design d = designs.back();
  ASSERT_TRUE(qk::work_is_large(d.n, 21));  // 11 per-group and 10 fixed products per row
  std::vector<std::size_t> perm(d.n);
  std::iota(perm.begin(), perm.end(), 0);
  std::stable_sort(perm.begin(), perm.end(), [&](std::size_t a, std::size_t b) { return d.codes[a] < d.codes[b]; });
  designs.push_back(qkt::reorder(d, perm));
  std::size_t i = 500;  // swap the rows at a boundary between consecutive groups
  while (d.codes[perm[i]] + 1 != d.codes[perm[i + 1]]) ++i;
  std::swap(perm[i], perm[i + 1]);
  designs.push_back(qkt::reorder(d, perm));
  Design d2 = d;
  std::mt19937_64 rng(32);
  std::normal_distribution<double> nd;
  for (double& v : d2.y) v = nd(rng);
  // Class sums run on the pool only below 65536 entries: 1024 classes of 64.
  ASSERT_LE(qkt::build(d, qk::kAggregated)->classes->n_classes, 1024u);

  const std::string out = qkt::same_bits_for_pool_sizes([&] {
    std::string report, bytes;
    for (const Design& x : designs) {
      for (const Design& xw : {x, qkt::with_weights(x, 7)}) {
        auto data = qkt::build(xw, qk::kAggregated);
        if (!data || !data->classes) return std::string("build failed\n");
        report += check_products(xw, *data) + ";";
        bytes += design_bytes(*data);
      }
      Design ones = x;
      ones.w.assign(x.n, 1.0);
      auto plain = qkt::build(x, qk::kAggregated), unit = qkt::build(ones, qk::kAggregated);
      report += product_bytes(*plain) == product_bytes(*unit) && unit->weighted && unit->log_weights == 0.0 ? "" : "ones";
    }
    for (const Design& base : {d, qkt::with_weights(d, 8)}) {
      Design other = d2;
      other.w = base.w;
      auto first = qkt::build(base, qk::kAggregated), direct = qkt::build(other, qk::kAggregated);
      auto again = qk::with_response(*first, other.rows());
      if (!std::holds_alternative<std::unique_ptr<qk::LmmData>>(again)) return std::string("with_response failed\n");
      const std::string wr = design_bytes(*std::get<std::unique_ptr<qk::LmmData>>(again));
      report += wr == design_bytes(*direct) ? "" : "with_response differs";
      bytes += wr;
    }
    return report + "\n" + bytes;
  }, 1000000);
  EXPECT_EQ(out.substr(0, out.find('\n')), std::string(14, ';'));
}

// A weight that is not finite and positive (negative, zero, a negative zero, NaN, an
// infinity) is refused with the first such row in row order, on the serial and the
// parallel path. with_response refuses weights other than the design's (changed by
// one bit, or absent) and weights for a design built without them.
TEST(FromRows, WeightsAreCheckedInRowOrder) {
  const Design d = qkt::with_weights(qkt::make_design({.p = 2, .q = 2, .m = 5, .min_rows = 5000, .max_rows = 6000}), 3);
  ASSERT_TRUE(qk::work_is_large(d.n, 15));
  const std::vector<std::vector<std::pair<std::uint64_t, double>>> cases = {
      {{20000, -1.0}, {21000, 0.0}}, {{100, kNaN}, {21000, -2.0}}, {{d.n - 1, qkt::kInf}}, {{15000, -0.0}},
      {{7, 1e-320}, {8, 1e300}}};
  auto report = [&] {
    std::string out;
    for (const auto& bad : cases) {
      Design x = d;
      for (auto [row, w] : bad) x.w[row] = w;
      auto r = qk::from_rows(x.rows(), x.m, qk::kAuto);
      out += (std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "accepted") + "\n";
    }
    auto data = qkt::build(d, qk::kBlocks);
    Design changed = d, unweighted = d;
    changed.w[d.n / 2] = std::nextafter(changed.w[d.n / 2], 3.0);
    unweighted.w.clear();
    auto plain = qkt::build(unweighted, qk::kBlocks);
    for (auto [design, rows] : {std::pair{data.get(), changed.rows()}, {data.get(), unweighted.rows()},
                                {plain.get(), d.rows()}}) {
      auto r = qk::with_response(*design, rows);
      out += (std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "accepted") + "\n";
    }
    return out;
  };
  const std::string expected =
      "weights[20000] is -1: weights must be finite and positive\n"
      "weights[100] is nan: weights must be finite and positive\n"
      "weights[" + std::to_string(d.n - 1) + "] is inf: weights must be finite and positive\n"
      "weights[15000] is -0: weights must be finite and positive\n"
      "accepted\n"
      "weights differ from the array the design was prepared with\n"
      "the design was prepared with weights: pass the same weights with the new response\n"
      "the design was prepared without weights: a new response cannot bring weights\n";
  for (const char* threads : {"1", "2"}) EXPECT_EQ(qkt::in_child(threads, report), expected) << threads;
}

// The weights' constant, sum log w, from the scan's mantissas and exponents: to
// rounding for weights spread over the whole range of doubles (subnormals, the
// largest, products that would overflow or underflow many times over), and however
// the rows are cut into chunks; exactly 0.0 for weights all 1.0 and an exact multiple
// of log 2 for powers of two.
TEST(FromRows, LogOfTheWeightsOverTheRangeOfDoubles) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> expo(-1000.0, 1000.0);
  Vec w(50000);
  for (double& v : w) v = std::pow(2.0, expo(rng)) * 1.37;
  w[10] = 4.9e-324;
  w[11] = 1e-310;
  w[12] = std::numeric_limits<double>::max();
  long double exact = 0.0L;
  for (double v : w) exact += std::log(static_cast<long double>(v));
  const Design one{w.size(), 1, 1, 1, Vec(w.size(), 0.0), Vec(w.size(), 1.0), Vec(w.size(), 1.0),
                   std::vector<std::int64_t>(w.size(), 0), w};
  for (std::uint64_t cut : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{4096}, std::uint64_t{50000}}) {
    qk::WeightScan total;
    for (std::uint64_t b = 0; b < w.size(); b += cut) {
      qk::FixedScan scan;
      double xs[1], xtx[1] = {0.0}, xty[1] = {0.0}, yty = 0.0;
      qk::fixed_chunk(one.rows(), b, std::min<std::uint64_t>(b + cut, w.size()), true, qk::Shift{{0.0}}, xs, xtx, xty,
                      yty, scan);
      total.merge(scan.weights);
    }
    EXPECT_EQ(total.first_bad, ~std::uint64_t{0});
    EXPECT_TRUE(qkt::near_rel(total.log_sum(), static_cast<double>(exact), 1e-13)) << cut;
  }
  const Design ones = {4, 1, 1, 1, Vec(4, 0.0), Vec(4, 1.0), Vec(4, 1.0), std::vector<std::int64_t>(4, 0), Vec(4, 1.0)};
  Design powers = ones;
  powers.w = {0.25, 8.0, 1024.0, 0.5};
  for (auto [design, expected] : {std::pair{&ones, 0.0}, {&powers, 10.0 * 0.69314718055994530942}}) {
    qk::FixedScan scan;
    double xs[1], xtx[1] = {0.0}, xty[1] = {0.0}, yty = 0.0;
    qk::fixed_chunk(design->rows(), 0, 4, true, qk::Shift{{0.0}}, xs, xtx, xty, yty, scan);
    EXPECT_EQ(scan.weights.log_sum(), expected);
  }
}

// The first bad code in row order is reported, on the serial and the parallel path.
TEST(FromRows, FirstBadCodeInRowOrder) {
  const Design d = qkt::make_design({.p = 2, .q = 2, .m = 5, .min_rows = 5000, .max_rows = 6000});
  ASSERT_TRUE(qk::work_is_large(d.n, 15));  // 9 per-group and 6 fixed products per row
  const std::vector<std::vector<std::pair<std::uint64_t, std::int64_t>>> cases = {
      {{20000, 5}, {21000, -7}}, {{100, -7}, {21000, 5}}, {{d.n - 1, 6}}, {{15000, INT64_MIN}}};
  auto report = [&] {
    std::string out;
    for (const auto& bad : cases) {
      Design x = d;
      for (auto [row, code] : bad) x.codes[row] = code;
      auto r = qk::from_rows(x.rows(), x.m, qk::kAuto);
      out += (std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "accepted") + "\n";
    }
    return out;
  };
  const std::string expected =
      "group code 5 out of range 0..5\ngroup code -7 out of range 0..5\ngroup code 6 out of range 0..5\n"
      "group code -9223372036854775808 out of range 0..5\n";
  for (const char* threads : {"1", "2"}) EXPECT_EQ(qkt::in_child(threads, report), expected) << threads;
}

// ---- the shift of the rows ----

// The constant column is found wherever it is, and a column that is constant only in
// the sampled rows (one late row differs) leaves the rows unshifted, on the serial
// path (a restart) and on the parallel one (the fixed products again); either way
// the products are those of check_products.
TEST(FromRows, ShiftOnlyForAColumnConstantInEveryRow) {
  Design small = qkt::make_design({.p = 3, .q = 2, .m = 50, .min_rows = 2, .max_rows = 6, .seed = 41});
  Design large = qkt::make_design({.p = 3, .q = 2, .m = 20000, .min_rows = 0, .max_rows = 5, .seed = 42});
  ASSERT_TRUE(qk::work_is_large(large.n, 21));
  auto variant = [](Design d, std::int64_t constant, bool spoil) {
    for (std::uint64_t r = 0; r < d.n; ++r) {
      d.x[r * 3] = 1.0 + d.x[r * 3 + 1];  // column 0 varies
      if (constant >= 0) d.x[r * 3 + static_cast<std::uint64_t>(constant)] = -2.5;
    }
    if (spoil) d.x[(d.n - 2) * 3 + static_cast<std::uint64_t>(constant)] = 7.0;  // between sampled rows
    return d;
  };
  const std::string out = qkt::same_bits_for_pool_sizes([&] {
    std::string report;
    for (const Design* base : {&small, &large})
      for (auto [constant, spoil] : {std::pair{2, false}, {1, true}, {-1, false}}) {
        const Design d = variant(*base, constant, spoil);
        auto data = qkt::build(d, qk::kBlocks);
        if (!data) return std::string("build failed");
        report += std::to_string(data->shift.column) + " " + check_products(d, *data) + ";";
      }
    return report;
  }, 10);
  EXPECT_EQ(out.substr(0, out.find('@')), "2 ;-1 ;-1 ;2 ;-1 ;-1 ;");
}

// ---- the fingerprints of x and z ----

// The checksum of an array is the sum of its parts' checksums however it is cut (the
// vector loops, their tails and single values agree, at every offset), treats a
// negative zero as a zero, and changes when a value moves, changes sign or changes
// in its last bit, or when two columns are swapped.
TEST(Checksum, PartsAddUpAndChangesShow) {
  std::mt19937_64 rng(61);
  std::normal_distribution<double> nd;
  Vec v(301);
  for (double& x : v) x = nd(rng);
  for (std::size_t i = 0; i < v.size(); i += 7) v[i] = std::round(v[i]);  // integers, zeros among them
  const std::uint64_t whole = qk::checksum_range(v.data(), 0, v.size());
  std::size_t cuts_agreeing = 0, cuts = 0;
  for (std::size_t piece = 1; piece <= 17; ++piece, ++cuts) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < v.size(); i += piece)
      sum += qk::checksum_range(v.data() + i, i, std::min(piece, v.size() - i));
    cuts_agreeing += sum == whole;
  }
  EXPECT_EQ(cuts_agreeing, cuts);
  auto changed = [&](auto edit) {
    Vec w = v;
    edit(w);
    return qk::checksum_range(w.data(), 0, w.size()) != whole;
  };
  EXPECT_FALSE(changed([](Vec& w) { for (double& x : w) if (x == 0.0) x = -0.0; }));
  EXPECT_TRUE(changed([](Vec& w) { std::swap(w[10], w[11]); }));
  EXPECT_TRUE(changed([](Vec& w) { std::rotate(w.begin(), w.begin() + 3, w.end()); }));
  EXPECT_TRUE(changed([](Vec& w) { w[200] = std::nextafter(w[200], 10.0); }));
  EXPECT_TRUE(changed([](Vec& w) { for (std::size_t i = 1; i < w.size(); i += 3) w[i] = -w[i]; }));
  EXPECT_TRUE(changed([](Vec& w) { for (std::size_t i = 0; i + 1 < w.size(); i += 3) std::swap(w[i], w[i + 1]); }));
  // Two columns of 0/1 with the same counts, swapped.
  Vec d(2 * 64);
  for (std::size_t r = 0; r < 64; ++r) {
    d[2 * r] = r % 2;
    d[2 * r + 1] = (r / 2) % 2;
  }
  Vec swapped = d;
  for (std::size_t r = 0; r < 64; ++r) std::swap(swapped[2 * r], swapped[2 * r + 1]);
  EXPECT_NE(qk::checksum_range(d.data(), 0, d.size()), qk::checksum_range(swapped.data(), 0, swapped.size()));
}

// ---- the state of a design ----

// Encoding and decoding gives the design back bit for bit (the classes formed again
// as construction formed them, the weights' constant and fingerprint kept), on every
// evaluator. Another version or format, every
// truncation and a corrupted size are refused with a text, never read.
TEST(State, RoundTripAndRefusals) {
  const Design d = qkt::make_design({.p = 3, .q = 2, .m = 60, .min_rows = 0, .max_rows = 6, .seed = 51, .templates = 5});
  for (qk::Evaluator ev : {qk::kBlocks, qk::kStreaming, qk::kAggregated, qk::kAuto}) {
    auto data = qkt::build(ev == qk::kAuto ? qkt::with_weights(d, 52) : d, ev);
    ASSERT_TRUE(data);
    if (ev == qk::kStreaming) qk::set_blocks(*data, {1, 1});
    const std::string state = qk::encode_state(*data, "9.9.9");
    auto back = qk::decode_state(state, "9.9.9");
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(back)) << std::get<std::string>(back);
    const auto& restored = *std::get<std::unique_ptr<qk::LmmData>>(back);
    EXPECT_EQ(design_bytes(restored), design_bytes(*data));
    EXPECT_EQ(restored.kernel(), data->kernel());
    EXPECT_EQ(restored.theta_index, data->theta_index);
  }
  auto data = qkt::build(d, qk::kAggregated);
  const std::string state = qk::encode_state(*data, "9.9.9");
  auto refused = [](const std::string& bytes, const char* version) {
    auto r = qk::decode_state(bytes, version);
    return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : std::string("accepted");
  };
  EXPECT_EQ(refused(state, "9.9.10"),
            "this LmmCore was pickled by quorvelkit 9.9.9 (state format " + std::to_string(qk::kStateFormat) +
                "); quorvelkit 9.9.10 (state format " + std::to_string(qk::kStateFormat) +
                ") cannot read it: build the core (or fit the model) again from the data");
  std::string other_format = state;
  other_format[26] = static_cast<char>(qk::kStateFormat + 1);  // after the 8-byte length and the 18-byte magic
  EXPECT_NE(refused(other_format, "9.9.9").find("(state format " + std::to_string(qk::kStateFormat + 1) + ")"),
            std::string::npos);
  const std::string corrupt = "the LmmCore state is not a whole state written by quorvelkit";
  std::size_t truncations_refused = 0;
  for (std::size_t len = 0; len < state.size(); ++len) truncations_refused += refused(state.substr(0, len), "9.9.9") == corrupt;
  EXPECT_EQ(truncations_refused, state.size());
  EXPECT_EQ(refused(state + "x", "9.9.9"), corrupt);
  std::string huge_m = state;
  const std::size_t m_at = 8 + 18 + 4 + 8 + 5 + 3 * 8;  // magic, format, version, then n, p, q, m
  huge_m[m_at + 7] = 0x10;
  EXPECT_EQ(refused(huge_m, "9.9.9"), corrupt);
}

}  // namespace
