// Products of batches: reduce_rows and the accumulator fed batch by batch against the
// rows' sums for every shape the row passes specialise, weighted or not, with Z'Z
// read from Z'X; batches given as columns; refused batches that leave it unchanged.
#include <tuple>

#include "batches.hpp"
#include "lmm/prepare/accumulator.hpp"
#include "lmm/prepare/columns.hpp"

namespace {

using qkt::Design;
using qkt::Vec;

// Blocks of every shape the row passes specialise (q up to 4, p up to 8) and of one
// they do not (p = 9), and of the large design weighted or not, with z a column of x
// (then Z'Z is read from Z'X) or not: the rows' sums in row order, bit for bit, for
// rows shuffled and sorted by group, from reduce_rows and from batches (cut at several
// boundaries) accumulated in order, on 1, 2 and 7 threads.
TEST(Accumulator, EveryShapeSumsTheRowsInOrder) {
  std::vector<std::pair<Design, std::vector<std::uint64_t>>> cases;  // the design, z's columns in x
  for (auto [q, p] : {std::pair<std::uint64_t, std::uint64_t>{4, 5}, {4, 8}, {3, 2}, {4, 9}})
    cases.push_back({qkt::make_design({.p = p, .q = q, .m = 400, .min_rows = 0, .max_rows = 60, .seed = 9 + p}), {}});
  Design from_x = qkt::big_design();  // z = (x's column 1, x's intercept): columns out of x's order
  for (std::uint64_t r = 0; r < from_x.n; ++r) std::tie(from_x.z[2 * r], from_x.z[2 * r + 1]) = std::tuple(from_x.x[3 * r + 1], 1.0);
  for (const Design& d : {qkt::big_design(), qkt::with_weights(qkt::big_design(), 8)}) cases.push_back({d, {}});
  for (const Design& d : {from_x, qkt::with_weights(from_x, 3)}) cases.push_back({d, {1, 0}});
  ASSERT_TRUE(qk::work_is_large(cases.back().first.n, 20));
  for (const auto& [d, z_in_x] : cases) {
    SCOPED_TRACE("q = " + std::to_string(d.q) + ", p = " + std::to_string(d.p) + (d.w.empty() ? "" : ", weighted"));
    const Design sorted = qkt::sorted_by_group(d);
    const qk::Shift shift = qk::choose_shift(d.rows());
    ASSERT_EQ(qk::empty_accumulator(d.m, d.p, d.q, shift, false, z_in_x).z_in_x, z_in_x);
    const qk::Products want = qkt::row_sums(d, shift), want_sorted = qkt::row_sums(sorted, shift);
    const std::string out = qkt::same_bits_for_pool_sizes([&] {
      std::string report, bits;
      for (const auto& [got, of] : {std::pair{qkt::reduce(d, shift), &want}, {qkt::reduce(sorted, shift), &want_sorted}}) {
        report += qkt::products_differ(got, *of);
        bits += qkt::block_bits(got) + qkt::fixed_bits(got);
      }
      for (std::uint64_t cuts : {2u, 7u}) {
        qk::Accumulator acc = qk::empty_accumulator(d.m, d.p, d.q, shift, !d.w.empty(), z_in_x);
        for (std::uint64_t k = 0; k < cuts; ++k)
          if (auto err = qk::accumulate_rows(acc, qkt::slice(d, d.n * k / cuts, d.n * (k + 1) / cuts).rows()))
            return "accumulate: " + *err;
        const qk::Products got = qk::accumulated_products(acc);
        report += qkt::products_differ(got, want);
        bits += qkt::block_bits(got) + qkt::fixed_bits(got);
      }
      return report + "\n" + bits;
    }, 1000);
    EXPECT_EQ(out.substr(0, out.find('\n')), "");
  }
  // A column the shift centres keeps Z'Z; p = 6, q = 2: records of two lines rather than three.
  const qk::Shift shift = qk::choose_shift(from_x.rows());
  EXPECT_TRUE(qk::empty_accumulator(from_x.m, 3, 2, shift, false, {2, 0}).z_in_x.empty());
  qk::Shift none;
  none.x.assign(6, 0.0);
  EXPECT_EQ(qk::empty_accumulator(1, 6, 2, none).stride, 24u);
  EXPECT_EQ(qk::empty_accumulator(1, 6, 2, none, false, {0, 1}).stride, 16u);
}

// A refused batch names its fault and leaves the accumulator unchanged: a code out of
// range, the shift's constant column not constant, weights missing or not expected, a
// weight that is not finite and positive, z not the columns of x it was said to be.
// reduce_rows refuses the same batches, and a shift of another width. Groups added
// later leave products that pass the checks.
TEST(Accumulator, RefusedBatchesLeaveItUnchanged) {
  Design d = qkt::make_design({.p = 3, .q = 2, .m = 10, .min_rows = 2, .max_rows = 6, .seed = 3});
  for (std::uint64_t r = 0; r < d.n; ++r) d.z[2 * r + 1] = d.x[3 * r + 1];  // z = x's columns 0 and 1
  const qk::Shift shift = qk::choose_shift(d.rows());
  ASSERT_EQ(shift.column, 0);
  const Design w = qkt::with_weights(d, 4);
  const std::vector<std::tuple<bool, std::function<void(Design&)>, std::string>> cases = {  // weighted, edit, text
      {false, [](Design& b) { b.codes[b.n - 1] = 10; }, "group code 10 out of range 0..10"},
      {false, [](Design& b) { b.x[3 * (b.n / 2)] = b.z[2 * (b.n / 2)] = 2.0; }, "column 0 of x (the shift's constant column) does not"},
      {false, [&](Design& b) { b.w = w.w; }, "the products are unweighted: a batch cannot bring weights"},
      {true, [](Design& b) { b.w.clear(); }, "the products are weighted: every batch needs its weights"},
      {true, [](Design& b) { b.w[17] = -1.0; }, "weights[17] is -1: weights must be finite and positive"},
      {false, [](Design& b) { b.z[2 * 7 + 1] += 1.0; }, "column 1 of z differs from column 1 of x, which the"}};
  for (const auto& [weighted, edit, text] : cases) {
    qk::Accumulator acc = qk::empty_accumulator(d.m, d.p, d.q, shift, weighted, {0, 1});
    ASSERT_FALSE(qk::accumulate_rows(acc, qkt::slice(weighted ? w : d, 0, d.n / 2).rows()));
    const qk::Products before = qk::accumulated_products(acc);
    Design bad = weighted ? w : d;
    edit(bad);
    EXPECT_EQ(qkt::refusal(qk::accumulate_rows(acc, bad.rows())).rfind(text, 0), 0u) << text;
    const qk::Products after = qk::accumulated_products(acc);
    EXPECT_EQ(qkt::block_bits(after) + qkt::fixed_bits(after) + std::to_string(after.log_weights),
              qkt::block_bits(before) + qkt::fixed_bits(before) + std::to_string(before.log_weights));
  }
  for (const auto& [weighted, edit, text] : {cases[0], cases[1]}) {
    Design bad = d;
    edit(bad);
    EXPECT_EQ(qkt::refusal(qk::reduce_rows(bad.rows(), d.m, shift)).rfind(text, 0), 0u) << text;
  }
  qk::Shift narrow = shift;
  narrow.x.pop_back();
  EXPECT_EQ(qkt::refusal(qk::reduce_rows(d.rows(), d.m, narrow)), "the shift has 2 centres of x; x has 3 columns");
  qk::Accumulator acc = qk::empty_accumulator(d.m, d.p, d.q, shift);
  ASSERT_FALSE(qk::accumulate_rows(acc, d.rows()));
  qk::grow_accumulator(acc, d.m + 3);
  const qk::Products grown = qk::accumulated_products(acc);
  EXPECT_EQ(grown.counts.size(), d.m + 3);
  EXPECT_EQ(qkt::refusal(qk::check_products(grown)), "accepted");
}

// Columns stack into the rows the passes read: a column of ones where none is given,
// rows holding a NaN anywhere left out (and counted), the first infinite value
// reported by place with nothing stacked.
TEST(Accumulator, ColumnsStackIntoRows) {
  const Design d = qkt::big_design();
  std::vector<Vec> xc(d.p, Vec(d.n)), zc(d.q, Vec(d.n));
  for (std::uint64_t r = 0; r < d.n; ++r) {
    ASSERT_EQ(d.x[r * d.p], 1.0);  // x's first column is the intercept, given as None
    for (std::uint64_t j = 0; j < d.p; ++j) xc[j][r] = d.x[r * d.p + j];
    for (std::uint64_t j = 0; j < d.q; ++j) zc[j][r] = d.z[r * d.q + j];
  }
  const double nan = qkt::kNaN, inf = qkt::kInf;
  struct Case {
    char part;
    std::uint64_t column;
    std::vector<std::pair<std::uint64_t, double>> set;  // (row, value)
    std::uint64_t left_out;                              // rows dropped; or the fault's row
    bool fault;
  };
  const Case cases[] = {
      {'y', 0, {}, 0, false},          {'y', 0, {{5, nan}, {d.n - 1, nan}}, 2, false}, {'x', 2, {{7, nan}}, 1, false},
      {'z', 1, {{9, nan}, {11, nan}}, 2, false},           {'x', 1, {{3000, -inf}, {3001, inf}}, 3000, true},
      {'z', 1, {{40, nan}, {41, inf}}, 41, true},          {'y', 0, {{d.n - 2, inf}}, d.n - 2, true}};
  qk::RowBuffers buf;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.part) + std::to_string(c.column) + " row " + std::to_string(c.left_out));
    Vec y = d.y;
    std::vector<Vec> x = xc, z = zc;
    Vec& col = c.part == 'y' ? y : c.part == 'x' ? x[c.column] : z[c.column];
    std::vector<std::size_t> kept;
    for (auto [r, v] : c.set) col[r] = v;
    for (std::uint64_t r = 0; r < d.n; ++r)
      if (!std::isnan(col[r])) kept.push_back(r);
    qk::Columns cols{y.data(), {nullptr}, {}, d.codes.data(), d.n};
    for (std::uint64_t j = 1; j < d.p; ++j) cols.x.push_back(x[j].data());
    for (const Vec& v : z) cols.z.push_back(v.data());
    auto got = qk::stack_columns(cols, buf);
    if (c.fault) {
      ASSERT_TRUE(std::holds_alternative<qk::ColumnFault>(got));
      const auto f = std::get<qk::ColumnFault>(got);
      EXPECT_EQ(std::tuple(f.part, f.column, f.row, buf.n), std::tuple(c.part, c.column, c.left_out, 0ul));
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<std::uint64_t>(got));
    EXPECT_EQ(std::get<std::uint64_t>(got), c.left_out);
    const Design want = qkt::reorder(d, kept);
    ASSERT_EQ(buf.n, want.n);
    EXPECT_EQ(qkt::bits(Vec(buf.y.begin(), buf.y.begin() + buf.n)), qkt::bits(want.y));
    EXPECT_EQ(qkt::bits(Vec(buf.x.begin(), buf.x.begin() + buf.n * d.p)), qkt::bits(want.x));
    EXPECT_EQ(qkt::bits(Vec(buf.z.begin(), buf.z.begin() + buf.n * d.q)), qkt::bits(want.z));
    EXPECT_TRUE(std::equal(want.codes.begin(), want.codes.end(), buf.codes.begin()));
  }
}

}  // namespace
