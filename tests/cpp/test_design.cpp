// The prepared design: theta layout, from_rows (both paths), fixed_products, the
// codes fingerprint, with_response, the classes of groups and the "auto"
// resolution, and the scratch pool of the blocks evaluator.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "lmm/data.hpp"
#include "lmm/theta.hpp"
#include "pool/pool.hpp"
#include "support.hpp"

namespace {

using Vec = std::vector<double>;
using qkt::Design;
using qkt::DesignSpec;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

bool same_bits(const Vec& a, const Vec& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (bits(a[i]) != bits(b[i])) return false;
  return true;
}

TEST(ThetaLayout, OrderLambdaBoundsDefault) {
  using Idx = qk::ThetaIndex;
  EXPECT_EQ(qk::theta_index(1), (Idx{{0, 0}}));
  EXPECT_EQ(qk::theta_index(2), (Idx{{0, 0}, {1, 0}, {1, 1}}));
  EXPECT_EQ(qk::theta_index(3), (Idx{{0, 0}, {1, 0}, {2, 0}, {1, 1}, {2, 1}, {2, 2}}));
  EXPECT_EQ(qk::theta_to_lambda({2.0, 3.0, 5.0}, 2), (Vec{2.0, 0.0, 3.0, 5.0}));
  EXPECT_EQ(qk::theta_to_lambda({1, 2, 3, 4, 5, 6}, 3), (Vec{1, 0, 0, 2, 4, 0, 3, 5, 6}));
  EXPECT_EQ(qk::lower_bounds(2), (Vec{0.0, -kInf, 0.0}));
  EXPECT_EQ(qk::default_theta(3), (Vec{1, 0, 0, 1, 0, 1}));
}

TEST(ThetaLayout, ErrorMessages) {
  struct Case {
    Vec theta;
    std::uint64_t q;
    std::optional<std::string> error;
  };
  const Case cases[] = {
      {{1.0, 0.0, 1.0}, 2, std::nullopt},
      {{-1.0, 1e300, 0.0}, 2, std::nullopt},  // finite but infeasible is not an error here
      {{1.0, kNaN, kNaN}, 2, "theta[1] is not finite"},
      {{1.0, 0.0, -kInf}, 2, "theta[2] is not finite"},
      {{1.0, kNaN, 1.0, 1.0}, 2, "theta must have 3 entries for q = 2, got 4"},
      {{}, 1, "theta must have 1 entries for q = 1, got 0"},
  };
  for (const Case& c : cases) EXPECT_EQ(qk::theta_error(c.theta, c.q), c.error);
}

// Empty when the prepared products match sums taken directly from the rows: the
// per-group blocks bit for bit (each group's rows are added in row order), the
// global products to rounding, unused groups all zero, Z'Z exactly symmetric.
std::string check_products(const Design& d, const qk::LmmData& data) {
  const std::uint64_t p = d.p, q = d.q, m = d.m;
  Vec ztz(m * q * q, 0.0), ztx(m * q * p, 0.0), zty(m * q, 0.0), xtx(p * p, 0.0), xty(p, 0.0);
  long double yty = 0.0L;
  std::vector<long double> lxtx(p * p, 0.0L), lxty(p, 0.0L);
  for (std::uint64_t r = 0; r < d.n; ++r) {
    const std::uint64_t g = static_cast<std::uint64_t>(d.codes[r]);
    const double* zr = &d.z[r * q];
    const double* xr = &d.x[r * p];
    for (std::uint64_t a = 0; a < q; ++a) {
      zty[g * q + a] += d.y[r] * zr[a];
      for (std::uint64_t b = a; b < q; ++b) ztz[(g * q + a) * q + b] += zr[a] * zr[b];
      for (std::uint64_t k = 0; k < p; ++k) ztx[(g * q + a) * p + k] += zr[a] * xr[k];
    }
    for (std::uint64_t j = 0; j < p; ++j) {
      lxty[j] += static_cast<long double>(xr[j]) * d.y[r];
      for (std::uint64_t k = 0; k < p; ++k) lxtx[j * p + k] += static_cast<long double>(xr[j]) * xr[k];
    }
    yty += static_cast<long double>(d.y[r]) * d.y[r];
  }
  for (std::uint64_t g = 0; g < m; ++g)
    for (std::uint64_t a = 0; a < q; ++a)
      for (std::uint64_t b = 0; b < a; ++b) ztz[(g * q + a) * q + b] = ztz[(g * q + b) * q + a];
  if (!same_bits(data.ztz, ztz)) return "ztz differs from the row-order sums";
  if (!same_bits(data.ztx, ztx)) return "ztx differs from the row-order sums";
  if (!same_bits(data.zty, zty)) return "zty differs from the row-order sums";
  for (std::uint64_t i = 0; i < p * p; ++i) xtx[i] = static_cast<double>(lxtx[i]);
  for (std::uint64_t j = 0; j < p; ++j) xty[j] = static_cast<double>(lxty[j]);
  if (!qkt::all_near(data.xtx, xtx, 1e-12)) return "xtx differs";
  for (std::uint64_t j = 0; j < p; ++j)
    for (std::uint64_t k = 0; k < j; ++k)
      if (bits(data.xtx[j * p + k]) != bits(data.xtx[k * p + j])) return "xtx not symmetric";
  if (!qkt::all_near(data.xty, xty, 1e-12)) return "xty differs";
  if (!qkt::near_rel(data.yty, static_cast<double>(yty), 1e-12)) return "yty differs";
  if (data.codes_fingerprint != qk::codes_fingerprint(d.codes.data(), d.n)) return "fingerprint";
  if (data.n != d.n || data.p != p || data.q != q || data.m != m) return "dimensions";
  if (data.theta_index != qk::theta_index(q)) return "theta_index";
  return "";
}

TEST(FromRows, ProductsMatchRowSums) {
  const DesignSpec specs[] = {
      {.p = 1, .q = 1, .m = 7, .min_rows = 0, .max_rows = 4, .seed = 1},
      {.p = 3, .q = 2, .m = 30, .min_rows = 0, .max_rows = 6, .seed = 2},
      {.p = 5, .q = 3, .m = 12, .min_rows = 1, .max_rows = 9, .seed = 3},
      {.p = 2, .q = 4, .m = 9, .min_rows = 0, .max_rows = 8, .seed = 4},
      {.p = 2, .q = 2, .m = 6, .max_rows = 5, .balanced = true, .seed = 5},
  };
  for (const DesignSpec& s : specs) {
    SCOPED_TRACE("p=" + std::to_string(s.p) + " q=" + std::to_string(s.q));
    Design d = qkt::make_design(s);
    d.m += 2;  // two groups that no row uses
    for (std::uint8_t ev : {qk::kBlocks, qk::kStreaming}) {
      auto data = qkt::build(d, ev);
      ASSERT_TRUE(data);
      EXPECT_EQ(check_products(d, *data), "");
      EXPECT_EQ(data->evaluator, ev);
      EXPECT_FALSE(data->classes);
      for (std::uint64_t g = s.m; g < d.m; ++g)
        for (std::uint64_t a = 0; a < s.q; ++a) EXPECT_EQ(data->zty[g * s.q + a], 0.0);
    }
  }
}

// The rows in the order given by perm.
Design reorder(const Design& d, const std::vector<std::size_t>& perm) {
  Design out = d;
  for (std::size_t i = 0; i < d.n; ++i) {
    const std::size_t r = perm[i];
    out.codes[i] = d.codes[r];
    out.y[i] = d.y[r];
    std::copy_n(&d.x[r * d.p], d.p, &out.x[i * d.p]);
    std::copy_n(&d.z[r * d.q], d.q, &out.z[i * d.q]);
  }
  return out;
}

// The large designs take the parallel path (batches of whole groups) on a pool of
// two threads and the serial path on one; rows interleaved across groups, sorted
// by group, and sorted but for one row moved to the end must all give the row sums.
TEST(FromRows, ProductsMatchRowSumsOnBothPaths) {
  Design d = qkt::make_design({.p = 3, .q = 2, .m = 9000, .min_rows = 0, .max_rows = 5, .seed = 11});
  d.m += 3;
  ASSERT_TRUE(qk::work_is_large(d.n, 21));
  std::vector<std::size_t> perm(d.n);
  for (std::size_t i = 0; i < d.n; ++i) perm[i] = i;
  std::stable_sort(perm.begin(), perm.end(), [&](std::size_t a, std::size_t b) { return d.codes[a] < d.codes[b]; });
  const Design sorted = reorder(d, perm);
  std::rotate(perm.begin() + 500, perm.begin() + 501, perm.end());  // one row of a low group last
  const Design almost = reorder(d, perm);
  for (const char* threads : {"1", "2"}) {
    std::string out = qkt::in_child(threads, [&] {
      std::string report;
      for (const Design* x : {static_cast<const Design*>(&d), &sorted, &almost}) {
        auto data = qkt::build(*x, qk::kBlocks);
        report += (data ? check_products(*x, *data) : std::string("build failed")) + ";";
      }
      return report;
    });
    EXPECT_EQ(out, ";;;") << threads << " threads";
  }
}

// The first bad code in row order is reported on both paths; rows that are not
// finite (or whose squares overflow) are refused, naming the column.
TEST(FromRows, RejectsBadCodesAndNonFiniteRowsOnBothPaths) {
  const Design small = qkt::make_design({.p = 2, .q = 2, .m = 5, .min_rows = 2, .max_rows = 3, .seed = 21});
  const Design large =
      qkt::make_design({.p = 2, .q = 2, .m = 5, .min_rows = 5000, .max_rows = 6000, .seed = 22});
  ASSERT_TRUE(qk::work_is_large(large.n, 16));
  struct Case {
    const Design* d;
    std::function<void(Design&)> spoil;
    std::string expected;
  };
  auto codes = [](std::vector<std::pair<std::uint64_t, std::int64_t>> bad) {
    return [bad](Design& d) {
      for (auto [row, code] : bad) d.codes[row] = code;
    };
  };
  auto row_of_group = [](const Design& d, std::int64_t g) {
    std::size_t r = 0;
    while (d.codes[r] != g) ++r;
    return r;
  };
  const std::string tail = " holds a value that is not finite or whose square overflows";
  const std::vector<Case> cases = {
      {&small, codes({{3, 5}}), "group code 5 out of range 0..5"},
      {&small, codes({{2, -1}, {5, 9}}), "group code -1 out of range 0..5"},
      {&large, codes({{20000, 5}, {21000, -7}}), "group code 5 out of range 0..5"},
      {&large, codes({{100, -7}, {21000, 5}}), "group code -7 out of range 0..5"},
      {&large, codes({{large.n - 1, 6}}), "group code 6 out of range 0..5"},
      {&large, codes({{20000, std::numeric_limits<std::int64_t>::min()}}),
       "group code -9223372036854775808 out of range 0..5"},
      {&large, codes({{15000, std::int64_t{1} << 40}}), "group code 1099511627776 out of range 0..5"},
      {&small, [](Design& d) { d.y[4] = kNaN; }, "y" + tail},
      {&large, [](Design& d) { d.y[9000] = 1e200; }, "y" + tail},
      {&large, [](Design& d) { d.x[700 * 2 + 1] = -kInf; }, "X column 1" + tail},
      {&small, [&](Design& d) { d.z[row_of_group(d, 3) * 2 + 1] = kNaN; }, "Z column 1" + tail + " (group 3)"},
      {&large, [&](Design& d) { d.z[row_of_group(d, 4) * 2] = kInf; }, "Z column 0" + tail + " (group 4)"},
  };
  auto report = [&] {
    std::string out;
    for (const Case& c : cases) {
      Design d = *c.d;
      c.spoil(d);
      auto r = qk::from_rows(d.rows(), d.m, qk::kAuto);
      out += std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "accepted";
      out += "\n";
    }
    return out;
  };
  std::string expected;
  for (const Case& c : cases) expected += c.expected + "\n";
  for (const char* threads : {"1", "2"}) EXPECT_EQ(qkt::in_child(threads, report), expected) << threads;
}

// Everything construction computes, as bytes.
qkt::Bytes design_bytes(const qk::LmmData& d) {
  qkt::Bytes b;
  b.vec(d.xtx).vec(d.xty).f64(d.yty).vec(d.ztz).vec(d.ztx).vec(d.zty).u64(d.codes_fingerprint);
  b.u64(d.evaluator).u64(d.classes.has_value());
  if (d.classes) {
    b.u64(d.classes->n_classes).vec(d.classes->counts).vec(d.classes->ztz);
    b.vec(d.classes->cross_sums).vec32(d.classes->assignment);
  }
  return b;
}

// Same bits with 1 (serial path, sequential chunks), 2 and 7 threads: the products,
// the fingerprint, the classes (whose sums run on the pool: 1000 classes of p = 3,
// q = 2 stay under the partial-sum cap), with_assignment called directly, and
// with_response.
TEST(FromRows, SameBitsForAnyPoolSize) {
  const Design d = qkt::make_design(
      {.p = 3, .q = 2, .m = 20000, .min_rows = 0, .max_rows = 5, .seed = 31, .templates = 1000});
  ASSERT_TRUE(qk::work_is_large(d.n, 21));  // the parallel path of from_rows
  Design d2 = d;
  std::mt19937_64 rng(32);
  std::normal_distribution<double> nd;
  for (double& v : d2.y) v = nd(rng);
  auto compute = [&] {
    qkt::Bytes b;
    b.u64(qk::pool_threads());
    auto data = qkt::build(d, qk::kAggregated);
    if (!data || !data->classes) return std::string("no classes");
    const qkt::Bytes db = design_bytes(*data);
    b.add(db.buf.data(), db.buf.size());
    const qk::Classes& c = *data->classes;
    std::vector<std::uint64_t> reps;
    for (std::uint64_t g = 0; g < d.m; ++g)
      if (c.assignment[g] == reps.size()) reps.push_back(g);
    qk::Classes again = qk::Classes::with_assignment(d.q, d.p, data->ztz, data->ztx, data->zty,
                                                     c.assignment, reps, c.n_classes);
    b.vec(again.counts).vec(again.cross_sums).vec(again.ztz);
    auto r = qk::with_response(*data, d2.rows());
    if (!std::holds_alternative<std::unique_ptr<qk::LmmData>>(r)) return std::string("with_response");
    const qkt::Bytes wr = design_bytes(*std::get<std::unique_ptr<qk::LmmData>>(r));
    b.add(wr.buf.data(), wr.buf.size());
    return b.buf;
  };
  const std::string one = qkt::in_child("1", compute);
  ASSERT_GT(one.size(), 1000u) << one;
  std::uint64_t threads = 0;
  std::memcpy(&threads, one.data(), 8);
  EXPECT_EQ(threads, 1u);
  for (const char* t : {"2", "7"}) {
    const std::string other = qkt::in_child(t, compute);
    ASSERT_EQ(other.size(), one.size()) << t;
    std::memcpy(&threads, other.data(), 8);
    EXPECT_EQ(threads, std::stoull(t));
    EXPECT_TRUE(other.compare(8, std::string::npos, one, 8, std::string::npos) == 0)
        << "results differ between 1 and " << t << " threads";
  }
}

TEST(CodesFingerprint, SensitiveToOrderLengthAndSign) {
  using V = std::vector<std::int64_t>;
  auto fp = [](const V& c) { return qk::codes_fingerprint(c.data(), c.size()); };
  EXPECT_EQ(fp({}), 0u);
  EXPECT_EQ(fp({0}), 0x517cc1b727220a95ULL << 5);  // (rotl(1, 5) ^ 0) * K
  EXPECT_EQ(fp({0, 1, 2}), fp({0, 1, 2}));
  EXPECT_NE(fp({0, 1, 2}), fp({0, 2, 1}));
  EXPECT_NE(fp({0}), fp({0, 0}));
  EXPECT_NE(fp({1}), fp({-1}));
}

TEST(WithResponse, EqualsBuildingWithTheNewResponse) {
  for (std::uint8_t ev : {qk::kBlocks, qk::kStreaming, qk::kAggregated, qk::kAuto}) {
    SCOPED_TRACE(static_cast<int>(ev));
    const Design d = qkt::make_design(
        {.p = 2, .q = 2, .m = 400, .min_rows = 0, .max_rows = 4, .seed = 51, .templates = 12});
    Design d2 = d;
    std::mt19937_64 rng(52);
    std::normal_distribution<double> nd;
    for (double& v : d2.y) v = nd(rng);
    auto first = qkt::build(d, ev);
    auto direct = qkt::build(d2, ev);
    ASSERT_TRUE(first && direct);
    auto r = qk::with_response(*first, d2.rows());
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(r));
    const qk::LmmData& again = *std::get<std::unique_ptr<qk::LmmData>>(r);
    EXPECT_EQ(design_bytes(again).buf, design_bytes(*direct).buf);
    EXPECT_EQ(again.theta_index, direct->theta_index);
    EXPECT_EQ(again.scratch.size(), 0u);
  }
}

TEST(WithResponse, RejectsOtherDesigns) {
  const Design d = qkt::make_design({.p = 2, .q = 1, .m = 20, .min_rows = 2, .max_rows = 4, .seed = 61});
  auto data = qkt::build(d, qk::kAggregated);
  ASSERT_TRUE(data);
  const std::string shape = "the prepared design has " + std::to_string(d.n) +
                            " rows, 2 fixed and 1 random columns; the arrays passed do not match it";
  qk::Rows fewer = d.rows();
  fewer.n -= 1;
  qk::Rows wider = d.rows();
  wider.q = 2;
  Design swapped = d;
  std::size_t j = 1;
  while (swapped.codes[j] == swapped.codes[0]) ++j;
  std::swap(swapped.codes[0], swapped.codes[j]);
  struct Case {
    qk::Rows rows;
    std::string error;
  };
  Design nan_y = d;
  nan_y.y[3] = kNaN;
  const Case cases[] = {
      {fewer, shape},
      {wider, shape},
      {swapped.rows(), "the group codes differ from the ones the design was prepared with"},
      {nan_y.rows(), "y holds a value that is not finite or whose square overflows"},
  };
  for (const Case& c : cases) {
    auto r = qk::with_response(*data, c.rows);
    ASSERT_TRUE(std::holds_alternative<std::string>(r));
    EXPECT_EQ(std::get<std::string>(r), c.error);
  }
}

// ---- classes ----

struct ClassInput {
  std::uint64_t q, p, m;
  Vec ztz, ztx, zty;
};

// Groups with the given Z'Z blocks and small integer Z'X, Z'y (exact sums).
ClassInput class_input(std::uint64_t q, std::uint64_t p, const std::vector<Vec>& blocks,
                       std::uint64_t seed = 1) {
  ClassInput in{q, p, blocks.size(), {}, {}, {}};
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> small(-4, 4);
  for (const Vec& b : blocks) in.ztz.insert(in.ztz.end(), b.begin(), b.end());
  for (std::uint64_t i = 0; i < in.m * q * p; ++i) in.ztx.push_back(small(rng));
  for (std::uint64_t i = 0; i < in.m * q; ++i) in.zty.push_back(small(rng));
  return in;
}

std::optional<qk::Classes> build(const ClassInput& in, std::uint64_t limit) {
  return qk::Classes::build(in.q, in.p, in.m, in.ztz, in.ztx, in.zty, limit);
}

TEST(Classes, FirstAppearanceOrderAndLimit) {
  const ClassInput in = class_input(1, 2, {{1.0}, {2.0}, {1.0}, {3.0}});
  for (std::uint64_t limit : {std::uint64_t{3}, std::uint64_t{4}, qk::kUnlimitedClasses}) {
    auto c = build(in, limit);
    ASSERT_TRUE(c) << limit;
    EXPECT_EQ(c->n_classes, 3u);
    EXPECT_EQ(c->assignment, (std::vector<std::uint32_t>{0, 1, 0, 2}));
    EXPECT_EQ(c->counts, (Vec{2, 1, 1}));
    EXPECT_EQ(c->ztz, (Vec{1, 2, 3}));
  }
  for (std::uint64_t limit : {0u, 1u, 2u}) EXPECT_FALSE(build(in, limit)) << limit;
}

// Keys are the bit patterns of the lower triangle: signed zeros and NaN payloads
// distinguish, the upper triangle does not; q >= 4 uses the long key form.
TEST(Classes, KeysAreLowerTriangleBits) {
  const double nan2 = std::bit_cast<double>(bits(kNaN) | 1);
  struct Case {
    const char* name;
    std::uint64_t q;
    std::vector<Vec> blocks;
    std::vector<std::uint32_t> assignment;
  };
  const Case cases[] = {
      {"0.0 vs -0.0", 2, {{1, 0.0, 0.0, 2}, {1, -0.0, -0.0, 2}}, {0, 1}},
      {"same NaN", 2, {{1, kNaN, kNaN, 2}, {1, kNaN, kNaN, 2}}, {0, 0}},
      {"NaN payloads", 2, {{1, kNaN, kNaN, 2}, {1, nan2, nan2, 2}}, {0, 1}},
      {"upper triangle ignored", 2, {{1, 5, 7, 2}, {1, 9, 7, 2}, {1, 5, 8, 2}}, {0, 0, 1}},
      {"q = 3 last entry", 3, {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 2},
                               {1, 0, 0, 0, 1, 0, 0, 0, 1}}, {0, 1, 0}},
      {"q = 4", 4, {Vec(16, 1.0), Vec(16, 2.0), Vec(16, 1.0), Vec(16, 3.0)}, {0, 1, 0, 2}},
      {"q = 4 differs in (3,3) only", 4, {Vec(16, 1.0), [] { Vec v(16, 1.0); v[15] = 4; return v; }()},
       {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto cl = build(class_input(c.q, 1, c.blocks), qk::kUnlimitedClasses);
    ASSERT_TRUE(cl);
    EXPECT_EQ(cl->assignment, c.assignment);
  }
}

// One shared Z'Z (or a single group) is one class whatever the limit, 0 included.
TEST(Classes, SharedCrossProductIsOneClassUnderAnyLimit) {
  for (std::uint64_t m : {1u, 2u, 5000u}) {
    const ClassInput in = class_input(2, 1, std::vector<Vec>(m, Vec{2, 1, 1, 3}));
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1}, qk::kUnlimitedClasses}) {
      auto c = build(in, limit);
      ASSERT_TRUE(c) << m << " " << limit;
      EXPECT_EQ(c->n_classes, 1u);
      EXPECT_EQ(c->counts, (Vec{static_cast<double>(m)}));
      EXPECT_EQ(c->assignment, std::vector<std::uint32_t>(m, 0));
    }
  }
}

// From group 4096 on, every 1024 groups, a finite limit gives up when more than a
// quarter of the groups seen so far started a class; the test comes before the
// group is looked at, and the unlimited value never gives up.
TEST(Classes, EarlyAbandonment) {
  struct Case {
    const char* name;
    std::uint64_t m;
    std::function<double(std::uint64_t)> key;
    std::uint64_t limit;
    std::optional<std::uint64_t> n_classes;
  };
  const std::uint64_t big = 1000000;
  auto first = [](std::uint64_t k) { return [k](std::uint64_t g) { return g < k ? double(g) : 0.0; }; };
  const std::vector<Case> cases = {
      {"4096 distinct, no test reached", 4096, [](std::uint64_t g) { return double(g); }, big, 4096},
      {"4097 distinct", 4097, [](std::uint64_t g) { return double(g); }, big, std::nullopt},
      {"4097 distinct, unlimited", 4097, [](std::uint64_t g) { return double(g); },
       qk::kUnlimitedClasses, 4097},
      {"1024 classes at 4096", 5000, first(1024), big, 1024},
      {"1025 classes at 4096", 5000, first(1025), big, std::nullopt},
      {"group 4096 starts class 1025", 4097,
       [](std::uint64_t g) { return g < 1024 ? double(g) : g == 4096 ? 1e9 : 0.0; }, big, 1025},
      {"no test between 4096 and 5120", 4600,
       [](std::uint64_t g) { return g < 1024 || g >= 4096 ? double(g) : 0.0; }, big, 1528},
      {"1280 classes at 5120", 5121,
       [](std::uint64_t g) { return g < 1024 || (g >= 4096 && g < 4352) ? double(g) : 0.0; }, big, 1280},
      {"1281 classes at 5120", 5121,
       [](std::uint64_t g) { return g < 1024 || (g >= 4096 && g < 4353) ? double(g) : 0.0; }, big,
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Vec> blocks;
    for (std::uint64_t g = 0; g < c.m; ++g) blocks.push_back({c.key(g)});
    auto cl = build(class_input(1, 1, blocks), c.limit);
    ASSERT_EQ(cl.has_value(), c.n_classes.has_value());
    if (cl) {
      EXPECT_EQ(cl->n_classes, *c.n_classes);
    }
  }
}

// Sums over the members of each class of w_a[r] w_b[s] for s >= r (w_a = row a of
// [Z'X | Z'y]), in group order; below the diagonal of each block stays zero.
Vec expected_cross_sums(const ClassInput& in, const qk::Classes& c) {
  const std::uint64_t q = in.q, p = in.p, p1 = p + 1, blk = p1 * p1;
  auto w = [&](std::uint64_t g, std::uint64_t row, std::uint64_t r) {
    return r < p ? in.ztx[(g * q + row) * p + r] : in.zty[g * q + row];
  };
  Vec out(c.n_classes * q * q * blk, 0.0);
  for (std::uint64_t g = 0; g < in.m; ++g)
    for (std::uint64_t a = 0; a < q; ++a)
      for (std::uint64_t b = 0; b < q; ++b)
        for (std::uint64_t r = 0; r < p1; ++r)
          for (std::uint64_t s = r; s < p1; ++s)
            out[((c.assignment[g] * q + a) * q + b) * blk + r * p1 + s] += w(g, a, r) * w(g, b, s);
  return out;
}

// Two identical groups give exactly twice the sums of one; designs with few and
// with many (over 4096) classes give the sums over their members.
TEST(Classes, CrossSumsAreUpperTrianglesOfOuterProducts) {
  const Vec a{2, 1, 1, 3}, other{2, 1, 1, 4};
  const ClassInput in = class_input(2, 2, {a, other, a, a}, 9);
  auto c = build(in, qk::kUnlimitedClasses);
  ASSERT_TRUE(c);
  ASSERT_EQ(c->assignment, (std::vector<std::uint32_t>{0, 1, 0, 0}));
  EXPECT_EQ(c->cross_sums, expected_cross_sums(in, *c));  // small integers: exact

  std::vector<Vec> many;
  for (std::uint64_t g = 0; g < 12000; ++g) many.push_back({static_cast<double>(g % 4500)});
  const ClassInput big = class_input(1, 2, many, 11);
  auto cb = build(big, qk::kUnlimitedClasses);
  ASSERT_TRUE(cb);
  EXPECT_EQ(cb->n_classes, 4500u);
  EXPECT_EQ(cb->cross_sums, expected_cross_sums(big, *cb));
  EXPECT_EQ(cb->counts[0], 3.0);
  EXPECT_EQ(cb->counts[4499], 2.0);

  ClassInput one = class_input(2, 2, {a}, 10);
  one.ztx[1] = 0.1;
  one.zty[0] = 1.0 / 3.0;
  ClassInput two = one;
  two.m = 2;
  for (Vec* v : {&two.ztz, &two.ztx, &two.zty}) v->insert(v->end(), v->begin(), v->end());
  auto c1 = build(one, qk::kUnlimitedClasses);
  auto c2 = build(two, qk::kUnlimitedClasses);
  ASSERT_TRUE(c1 && c2);
  ASSERT_EQ(c1->cross_sums.size(), c2->cross_sums.size());
  for (std::size_t i = 0; i < c1->cross_sums.size(); ++i)
    EXPECT_EQ(c2->cross_sums[i], 2.0 * c1->cross_sums[i]) << i;
  EXPECT_EQ(c2->counts, (Vec{2.0}));
}

// Groups without rows share the all-zero key and contribute zero sums.
TEST(Classes, EmptyGroupsShareAZeroClass) {
  Design d = qkt::make_design({.p = 2, .q = 2, .m = 6, .min_rows = 1, .max_rows = 3, .seed = 71});
  d.m += 3;
  auto data = qkt::build(d, qk::kAggregated);
  ASSERT_TRUE(data && data->classes);
  const qk::Classes& c = *data->classes;
  const std::uint32_t id = c.assignment[6];
  EXPECT_EQ(c.assignment[7], id);
  EXPECT_EQ(c.assignment[8], id);
  EXPECT_EQ(c.counts[id], 3.0);
  const std::uint64_t per = 4 * 9;
  for (std::uint64_t i = 0; i < per; ++i) EXPECT_EQ(c.cross_sums[id * per + i], 0.0);
  double total = 0.0;
  for (double n : c.counts) total += n;
  EXPECT_EQ(total, static_cast<double>(d.m));
}

// A design whose group g has Z'Z determined by g mod k: exactly k classes.
Design keyed_design(std::uint64_t q, std::uint64_t p, std::uint64_t m, std::uint64_t k) {
  Design d;
  d.q = q;
  d.p = p;
  d.m = m;
  std::mt19937_64 rng(m * 31 + k);
  std::normal_distribution<double> nd;
  for (std::uint64_t g = 0; g < m; ++g)
    for (int r = 0; r < 2; ++r) {
      d.codes.push_back(static_cast<std::int64_t>(g));
      d.y.push_back(nd(rng));
      for (std::uint64_t j = 0; j < p; ++j) d.x.push_back(j == 0 ? 1.0 : nd(rng));
      const double t = 1.0 + static_cast<double>(g % k);
      d.z.push_back(q == 1 ? t : 1.0);
      if (q == 2) d.z.push_back(r == 0 ? t : 0.5);
    }
  d.n = d.codes.size();
  return d;
}

// "auto" keeps classes while their count stays within floor(m B / D) (B: blocks
// work per group, D: aggregated work per class): 18 for q = p = 1, m = 44, and 25
// for q = 2, p = 3, m = 100.
TEST(AutoEvaluator, ResolvesByClassCount) {
  struct Case {
    std::uint64_t q, p, m, k;
    bool aggregated;
  };
  const Case cases[] = {
      {1, 1, 1, 1, true},    {1, 1, 44, 1, true},    {1, 1, 44, 18, true},
      {1, 1, 44, 19, false}, {2, 3, 100, 25, true},  {2, 3, 100, 26, false},
      {2, 3, 100, 100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("q=" + std::to_string(c.q) + " p=" + std::to_string(c.p) + " m=" +
                 std::to_string(c.m) + " classes=" + std::to_string(c.k));
    auto data = qkt::build(keyed_design(c.q, c.p, c.m, c.k), qk::kAuto);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->evaluator, c.aggregated ? qk::kAggregated : qk::kBlocks);
    EXPECT_EQ(data->classes.has_value(), c.aggregated);
    if (data->classes) {
      EXPECT_EQ(data->classes->n_classes, c.k);
    }
  }
  auto balanced = qkt::build(qkt::make_design({.p = 2, .q = 3, .m = 200, .max_rows = 5, .balanced = true}),
                             qk::kAuto);
  ASSERT_TRUE(balanced);
  EXPECT_EQ(balanced->evaluator, qk::kAggregated);
  EXPECT_EQ(balanced->classes->n_classes, 1u);
  auto scattered = qkt::build(
      qkt::make_design({.p = 2, .q = 2, .m = 300, .min_rows = 2, .max_rows = 6, .seed = 3}), qk::kAuto);
  ASSERT_TRUE(scattered);
  EXPECT_EQ(scattered->evaluator, qk::kBlocks);
  EXPECT_FALSE(scattered->classes);
  // Requested "aggregated" keeps even one class per group.
  auto forced = qkt::build(
      qkt::make_design({.p = 2, .q = 2, .m = 300, .min_rows = 2, .max_rows = 6, .seed = 3}),
      qk::kAggregated);
  ASSERT_TRUE(forced && forced->classes);
  EXPECT_EQ(forced->classes->n_classes, 300u);
}

TEST(ScratchPool, ReusesByLengthAndKeepsAtMostFour) {
  qk::ScratchPool pool;
  Vec a = pool.take(10);
  EXPECT_EQ(a, Vec(10, 0.0));
  a[3] = 7.0;
  pool.give_back(std::move(a));
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.take(11), Vec(11, 0.0));  // no buffer of that length
  EXPECT_EQ(pool.size(), 1u);
  Vec again = pool.take(10);
  EXPECT_EQ(again[3], 7.0);  // the pooled buffer, contents kept
  EXPECT_EQ(pool.size(), 0u);
  for (int i = 0; i < 6; ++i) pool.give_back(Vec(5 + i, 1.0));
  EXPECT_EQ(pool.size(), 4u);
  EXPECT_EQ(pool.take(8), Vec(8, 1.0));  // from the pool, contents kept
  EXPECT_EQ(pool.size(), 3u);
}

}  // namespace
