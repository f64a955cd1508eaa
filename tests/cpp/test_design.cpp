// The prepared design: the products of from_rows on both paths and for any pool size,
// weight and group-code errors, the weights' constant, the shift, the fingerprints of
// x and z, and the design's state.
#include "batches.hpp"
#include "lmm/prepare/fingerprint.hpp"
#include "lmm/prepare/state.hpp"

namespace {

using qkt::Design;
using qkt::Vec;

// Empty when data holds the products of d's rows shifted by a reparameterising shift
// (its column constant at its non-zero value, not centred itself) or none, and the
// fingerprints of d's arrays.
std::string design_error(const Design& d, const qk::LmmData& data) {
  const qk::Shift& sh = data.shift;
  std::string err = sh.x.size() == d.p && (sh.active() || (sh.y == 0.0 && !sh.shifts_x())) ? "" : "shift;";
  for (std::uint64_t r = 0; sh.active() && r < d.n; ++r)
    if (sh.value == 0.0 || sh.x[sh.column] != 0.0 || d.x[r * d.p + sh.column] != sh.value) return "shift column";
  const qk::Products want = qkt::row_sums(d, sh);
  err += qkt::products_differ({data.n, data.p, data.q, data.m, data.xtx, data.xty, data.yty, data.ztz, data.ztx,
                               data.zty, want.counts, sh, data.weighted, data.log_weights}, want);
  if (data.codes_fingerprint != qk::codes_fingerprint(d.codes.data(), d.n) ||
      data.x_fingerprint != qk::rows_fingerprint(d.x.data(), d.n, d.p) ||
      data.z_fingerprint != qk::rows_fingerprint(d.z.data(), d.n, d.q) ||
      data.w_fingerprint != (d.w.empty() ? 0 : qk::rows_fingerprint(d.w.data(), d.n, 1)))
    err += "fingerprints;";
  return err;
}

// Everything construction computes, as bytes (with `weights` false, but the weights').
std::string design_bytes(const qk::LmmData& d, bool weights = true) {
  qkt::Bytes b;
  b.vec(d.xtx).vec(d.xty).f64(d.yty).vec(d.ztz).vec(d.ztx).vec(d.zty).u64(d.codes_fingerprint);
  b.u64(d.x_fingerprint).u64(d.z_fingerprint).vec(d.shift.x).f64(d.shift.y).u64(d.shift.column).f64(d.shift.value);
  b.u64(d.evaluator).u64(d.classes.has_value()).u64(d.exact_fit);
  if (const auto& c = d.classes) b.u64(c->n_classes).vec(c->counts).vec(c->ztz).vec(c->cross_sums).vec(c->assignment);
  if (weights) b.u64(d.weighted).f64(d.log_weights).u64(d.w_fingerprint);
  return b.buf;
}

// Small designs take the serial path (q, p unrolled up to 3, 8, and generic). On the
// large one pools of 2 and 7 threads take the parallel path, which must give the row
// sums and the serial bits for rows interleaved, sorted by group, and sorted but for
// two rows swapped across groups; so must the classes and with_response (building
// anew). Weights all 1.0 give the products of no weights to the bit.
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
  const Design d = designs.back(), sorted = qkt::sorted_by_group(d);
  ASSERT_TRUE(qk::work_is_large(d.n, 21));  // 11 per-group and 10 fixed products per row
  // Class sums run on the pool only below 65536 entries: 1024 classes of 64.
  ASSERT_LE(qkt::build(d, qk::kAggregated)->classes->n_classes, 1024u);
  std::vector<std::size_t> perm(d.n);
  std::iota(perm.begin(), perm.end(), std::size_t{0});
  std::size_t i = 500;  // swap the rows at a boundary between consecutive groups
  while (sorted.codes[i] + 1 != sorted.codes[i + 1]) ++i;
  std::swap(perm[i], perm[i + 1]);
  designs.insert(designs.end(), {sorted, qkt::reorder(sorted, perm)});
  Design d2 = d;  // another response
  for (std::size_t r = 0; r < d.n; ++r) d2.y[r] = std::sin(static_cast<double>(r));
  const std::string out = qkt::same_bits_for_pool_sizes([&] {
    std::string report, bytes, plain;
    for (const Design& x : designs) {
      Design ones = x;
      ones.w.assign(x.n, 1.0);
      const Design variants[] = {x, qkt::with_weights(x, 7), ones};
      for (int k = 0; k < 3; ++k) {
        auto data = qkt::build(variants[k], qk::kAggregated);
        if (!data || !data->classes) return std::string("build failed\n");
        report += design_error(variants[k], *data) + ";";
        bytes += design_bytes(*data);
        if (k == 0) plain = design_bytes(*data, false);
        if (k == 2 && (plain != design_bytes(*data, false) || data->log_weights != 0.0)) report += "ones";
      }
    }
    for (const Design& base : {d, qkt::with_weights(d, 8)}) {
      Design other = d2;
      other.w = base.w;
      auto again = qk::with_response(*qkt::build(base, qk::kAggregated), other.rows());
      if (!std::holds_alternative<std::unique_ptr<qk::LmmData>>(again)) return std::string("with_response failed\n");
      bytes += design_bytes(*std::get<std::unique_ptr<qk::LmmData>>(again));
      report += bytes.ends_with(design_bytes(*qkt::build(other, qk::kAggregated))) ? "" : "with_response differs";
    }
    return report + "\n" + bytes;
  }, 1000000);
  EXPECT_EQ(out.substr(0, out.find('\n')), std::string(21, ';'));
}

// The first weight that is not finite and positive, or the first group code out of
// range, in row order is the one reported, on the serial and the parallel path.
TEST(FromRows, FirstBadWeightOrCodeInRowOrder) {
  const Design d = qkt::with_weights(qkt::make_design({.p = 2, .q = 2, .m = 5, .min_rows = 5000, .max_rows = 6000}), 3);
  ASSERT_TRUE(qk::work_is_large(d.n, 15));  // 9 per-group and 6 fixed products per row
  const std::pair<char, std::vector<std::pair<std::uint64_t, double>>> cases[] = {  // weights or codes: (row, value)
      {'w', {{20000, -1.0}, {21000, 0.0}}}, {'w', {{100, qkt::kNaN}, {21000, -2.0}}}, {'w', {{d.n - 1, qkt::kInf}}},
      {'w', {{15000, -0.0}}}, {'w', {{7, 1e-320}, {8, 1e300}}}, {'c', {{20000, 5}, {21000, -7}}},
      {'c', {{100, -7}, {21000, 5}}}, {'c', {{d.n - 1, 6}}}, {'c', {{15000, -0x1p63}}}};
  auto report = [&] {
    std::string out;
    for (const auto& [what, edits] : cases) {
      Design x = d;
      for (auto [row, v] : edits) {
        if (what == 'w') x.w[row] = v;
        else x.codes[row] = static_cast<std::int64_t>(v);
      }
      out += qkt::refusal(qk::from_rows(x.rows(), x.m, qk::kAuto)) + "\n";
    }
    return out;
  };
  const std::string tail =
      ": weights must be finite and positive (the core takes no row of weight zero; lmm leaves such rows out)\n";
  const std::string range = " out of range 0..5\ngroup code ";
  const std::string expected = "weights[20000] is -1" + tail + "weights[100] is nan" + tail + "weights[" +
                               std::to_string(d.n - 1) + "] is inf" + tail + "weights[15000] is -0" + tail +
                               "accepted\ngroup code 5" + range + "-7" + range + "6" + range + "-9223372036854775808" +
                               " out of range 0..5\n";
  for (const char* threads : {"1", "2"}) EXPECT_EQ(qkt::in_child(threads, report), expected) << threads;
}

// sum log w from the scan's mantissas and exponents: to rounding for weights over the
// whole range of doubles (products would overflow many times over), however the rows
// are cut; exactly 0 for weights all 1.0 and a multiple of log 2 for powers of two.
TEST(FromRows, LogOfTheWeightsOverTheRangeOfDoubles) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> expo(-1000.0, 1000.0);
  Vec w(50000);
  for (double& v : w) v = std::pow(2.0, expo(rng)) * 1.37;
  std::tie(w[10], w[11], w[12]) = std::tuple(4.9e-324, 1e-310, std::numeric_limits<double>::max());
  auto scan = [](const Vec& w, std::uint64_t cut) {  // chunks of `cut` rows merged
    const std::size_t n = w.size();
    const Design one{n, 1, 1, 1, Vec(n, 0.0), Vec(n, 1.0), Vec(n, 1.0), std::vector<std::int64_t>(n, 0), w};
    qk::WeightScan total;
    for (std::uint64_t b = 0; b < n; b += cut) {
      qk::FixedScan s;
      double xs[1], xtx[1] = {0.0}, xty[1] = {0.0}, yty = 0.0;
      qk::fixed_chunk(one.rows(), b, std::min<std::uint64_t>(b + cut, n), true, qk::Shift{{0.0}}, xs, xtx, xty, yty, s);
      total.merge(s.weights);
    }
    return total;
  };
  long double exact = 0.0L;
  for (double v : w) exact += std::log(static_cast<long double>(v));
  for (std::uint64_t cut : {1, 7, 4096, 50000}) {
    const qk::WeightScan total = scan(w, cut);
    EXPECT_EQ(total.first_bad, ~std::uint64_t{0});
    EXPECT_TRUE(qkt::near_rel(total.log_sum(), static_cast<double>(exact), 1e-13)) << cut;
  }
  EXPECT_EQ(scan(Vec(4, 1.0), 4).log_sum(), 0.0);
  EXPECT_EQ(scan({0.25, 8.0, 1024.0, 0.5}, 4).log_sum(), 10.0 * 0.69314718055994530942);
}

// The constant column is found wherever it is; one constant only in the sampled rows
// leaves the rows unshifted, on the serial path (a restart) and the parallel one.
TEST(FromRows, ShiftOnlyForAColumnConstantInEveryRow) {
  const Design small = qkt::make_design({.p = 3, .q = 2, .m = 50, .min_rows = 2, .max_rows = 6, .seed = 41});
  const Design large = qkt::make_design({.p = 3, .q = 2, .m = 20000, .min_rows = 0, .max_rows = 5, .seed = 42});
  ASSERT_TRUE(qk::work_is_large(large.n, 21));
  const std::string out = qkt::same_bits_for_pool_sizes([&] {
    std::string report;
    for (const Design* base : {&small, &large})
      for (auto [constant, spoil] : {std::pair{2, false}, {1, true}, {-1, false}}) {
        Design d = *base;
        for (std::uint64_t r = 0; r < d.n; ++r) {
          d.x[r * 3] = 1.0 + d.x[r * 3 + 1];  // column 0 varies
          if (constant >= 0) d.x[r * 3 + constant] = -2.5;
        }
        if (spoil) d.x[(d.n - 2) * 3 + constant] = 7.0;  // between sampled rows
        auto data = qkt::build(d, qk::kBlocks);
        report += data ? std::to_string(data->shift.column) + " " + design_error(d, *data) + ";" : "build failed";
      }
    return report;
  }, 10);
  EXPECT_EQ(out.substr(0, out.find('@')), "2 ;-1 ;-1 ;2 ;-1 ;-1 ;");
}

// The checksum of an array is the sum of its parts' however it is cut (vector loops,
// tails and single values agree at every offset), takes -0.0 for 0.0, and changes when
// a value moves, changes sign or its last bit, or two 0/1 columns are swapped.
TEST(Checksum, PartsAddUpAndChangesShow) {
  std::mt19937_64 rng(61);
  std::normal_distribution<double> nd;
  Vec v(301), d(2 * 64), swapped(2 * 64);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = i % 7 ? nd(rng) : std::round(nd(rng));  // zeros among them
  auto sum = [](const Vec& w) { return qk::checksum_range(w.data(), 0, w.size()); };
  for (std::size_t piece = 1; piece <= 17; ++piece) {
    std::uint64_t parts = 0;
    for (std::size_t i = 0; i < v.size(); i += piece) parts += qk::checksum_range(v.data() + i, i, std::min(piece, v.size() - i));
    EXPECT_EQ(parts, sum(v)) << piece;
  }
  const std::function<void(Vec&)> edits[] = {
      [](Vec& w) { for (double& x : w) x = x == 0.0 ? -0.0 : x; },  // the same checksum
      [](Vec& w) { std::swap(w[10], w[11]); },
      [](Vec& w) { std::rotate(w.begin(), w.begin() + 3, w.end()); },
      [](Vec& w) { w[200] = std::nextafter(w[200], 10.0); },
      [](Vec& w) { for (std::size_t i = 1; i < w.size(); i += 3) w[i] = -w[i]; },
      [](Vec& w) { for (std::size_t i = 0; i + 1 < w.size(); i += 3) std::swap(w[i], w[i + 1]); }};
  for (std::size_t k = 0; k < std::size(edits); ++k) {
    Vec w = v;
    edits[k](w);
    EXPECT_EQ(sum(w) != sum(v), k > 0) << k;
  }
  for (std::size_t r = 0; r < 64; ++r) std::tie(d[2 * r], d[2 * r + 1]) = std::pair(r % 2, (r / 2) % 2);
  for (std::size_t r = 0; r < 64; ++r) std::tie(swapped[2 * r], swapped[2 * r + 1]) = std::pair(d[2 * r + 1], d[2 * r]);
  EXPECT_NE(sum(d), sum(swapped));
}

// A state decodes to the design bit for bit (classes formed again, weights, Lambda's
// blocks) on every evaluator; another format, every truncation and a corrupted size
// are refused with a text, never read.
TEST(State, RoundTripAndRefusals) {
  const Design d = qkt::make_design({.p = 3, .q = 2, .m = 60, .min_rows = 0, .max_rows = 6, .seed = 51, .templates = 5});
  for (qk::Evaluator ev : {qk::kBlocks, qk::kStreaming, qk::kAggregated, qk::kAuto}) {
    auto data = qkt::build(ev == qk::kAuto ? qkt::with_weights(d, 52) : d, ev);
    if (ev == qk::kStreaming) qk::set_blocks(*data, {1, 1});
    auto back = qk::decode_state(qk::encode_state(*data, "9.9.9"), "9.9.9");
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(back)) << std::get<std::string>(back);
    const auto& restored = *std::get<std::unique_ptr<qk::LmmData>>(back);
    EXPECT_EQ(design_bytes(restored), design_bytes(*data));
    EXPECT_TRUE(restored.kernel() == data->kernel() && restored.theta_index == data->theta_index);
  }
  const std::string state = qk::encode_state(*qkt::build(d, qk::kAggregated), "9.9.9");
  auto refused = [](const std::string& bytes) { return qkt::refusal(qk::decode_state(bytes, "9.9.9")); };
  std::string other_format = state, huge_m = state;
  other_format[26] = static_cast<char>(qk::kStateFormat + 1);  // after the 8-byte length and the 18-byte magic
  EXPECT_NE(refused(other_format).find("(state format " + std::to_string(qk::kStateFormat + 1) + ")"), std::string::npos);
  const std::string corrupt = "the LmmCore state is not a whole state written by quorvelkit";
  for (std::size_t len = 0; len < state.size(); ++len) ASSERT_EQ(refused(state.substr(0, len)), corrupt) << len;
  EXPECT_EQ(refused(state + "x"), corrupt);
  huge_m[8 + 18 + 4 + 8 + 5 + 3 * 8 + 7] = 0x10;  // magic, format, version, then n, p, q, m
  EXPECT_EQ(refused(huge_m), corrupt);
}

}  // namespace
