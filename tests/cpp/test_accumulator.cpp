// Products of batches, reduced or accumulated, against the rows' sums; batches given
// as columns; refused batches that leave the accumulator unchanged; products taken
// out of it; the zero pages its records live on.

#include "batches.hpp"
#include "lmm/prepare/accumulator.hpp"
#include "lmm/prepare/columns.hpp"

namespace {

using qkt::Design;
using qkt::Vec;

// Every shape the row passes specialise (q <= 4, p <= 8) and one they do not (p = 9),
// weighted or not, z columns of x (Z'Z read from Z'X) or not: reduced or accumulated in
// batches, rows shuffled or sorted, the blocks are the rows' sums in row order to the
// bit on 1, 2 and 7 threads. A column the shift centres keeps Z'Z; records are lines.
TEST(Accumulator, EveryShapeSumsTheRowsInOrder) {
  std::vector<std::pair<Design, std::vector<std::uint64_t>>> cases;  // the design, z's columns in x
  for (auto [q, p] : {std::pair<std::uint64_t, std::uint64_t>{4, 5}, {4, 8}, {3, 2}, {4, 9}})
    cases.push_back({qkt::make_design({.p = p, .q = q, .m = 400, .min_rows = 0, .max_rows = 60, .seed = 9 + p}), {}});
  Design from_x = qkt::big_design();  // z = (x's column 1, x's intercept): columns out of x's order
  for (std::uint64_t r = 0; r < from_x.n; ++r) std::tie(from_x.z[2 * r], from_x.z[2 * r + 1]) = std::pair(from_x.x[3 * r + 1], 1);
  for (const Design& d : {qkt::big_design(), qkt::with_weights(qkt::big_design(), 8)}) cases.push_back({d, {}});
  for (const Design& d : {from_x, qkt::with_weights(from_x, 3)}) cases.push_back({d, {1, 0}});
  ASSERT_TRUE(qk::work_is_large(from_x.n, 20));
  for (const auto& [d, z_in_x] : cases) {
    SCOPED_TRACE("q = " + std::to_string(d.q) + ", p = " + std::to_string(d.p) + (d.w.empty() ? "" : ", weighted"));
    const Design sorted = qkt::sorted_by_group(d);
    const qk::Shift shift = qk::choose_shift(d.rows());
    ASSERT_EQ(qk::empty_accumulator(d.m, d.p, d.q, shift, false, z_in_x).z_in_x, z_in_x);
    const qk::Products want = qkt::row_sums(d, shift), want_sorted = qkt::row_sums(sorted, shift);
    const std::string out = qkt::same_bits_for_pool_sizes([&] {
      std::vector<std::pair<qk::Products, const qk::Products*>> got{{qkt::reduce(d, shift), &want},
                                                                    {qkt::reduce(sorted, shift), &want_sorted}};
      for (std::uint64_t cuts : {2u, 7u}) {
        qk::Accumulator acc = qk::empty_accumulator(d.m, d.p, d.q, shift, !d.w.empty(), z_in_x);
        for (std::uint64_t k = 0; k < cuts; ++k)
          if (auto err = qk::accumulate_rows(acc, qkt::slice(d, d.n * k / cuts, d.n * (k + 1) / cuts).rows())) return *err;
        got.push_back({qk::accumulated_products(acc), &want});
      }
      std::string report, bits;
      for (const auto& [pr, of] : got) {
        report += qkt::products_differ(pr, *of);
        bits += qkt::block_bits(pr) + qkt::fixed_bits(pr);
      }
      return report + "\n" + bits;
    }, 1000);
    EXPECT_EQ(out.substr(0, out.find('\n')), "");
  }
  qk::Shift none;
  none.x.assign(6, 0.0);
  EXPECT_TRUE(qk::empty_accumulator(from_x.m, 3, 2, qk::choose_shift(from_x.rows()), false, {2, 0}).z_in_x.empty());
  EXPECT_EQ(qk::empty_accumulator(1, 6, 2, none).stride, 24u);  // p = 6, q = 2: two lines rather than three
  EXPECT_EQ(qk::empty_accumulator(1, 6, 2, none, false, {0, 1}).stride, 16u);
}

// A refused batch names its fault and leaves the accumulator unchanged; reduce_rows
// refuses codes and shifts alike. Groups added later leave products that pass.
TEST(Accumulator, RefusedBatchesLeaveItUnchanged) {
  Design d = qkt::make_design({.p = 3, .q = 2, .m = 10, .min_rows = 2, .max_rows = 6, .seed = 3});
  for (std::uint64_t r = 0; r < d.n; ++r) d.z[2 * r + 1] = d.x[3 * r + 1];  // z = x's columns 0 and 1
  const qk::Shift shift = qk::choose_shift(d.rows());
  ASSERT_EQ(shift.column, 0);
  const Design w = qkt::with_weights(d, 4);
  const std::vector<std::tuple<bool, bool, std::function<void(Design&)>, std::string>> cases = {  // weighted, reduced too,
      {false, true, [](Design& b) { b.codes[b.n - 1] = 10; }, "group code 10 out of range 0..10"},  // edit, text
      {false, true, [](Design& b) { b.x[3 * (b.n / 2)] = b.z[2 * (b.n / 2)] = 2.0; }, "column 0 of x (the shift's"},
      {false, false, [&](Design& b) { b.w = w.w; }, "the products are unweighted: a batch cannot bring weights"},
      {true, false, [](Design& b) { b.w.clear(); }, "the products are weighted: every batch needs its weights"},
      {true, false, [](Design& b) { b.w[17] = -1.0; },
       "weights[17] is -1: weights must be finite and positive (the core takes no row of weight zero; lmm leaves "
       "such rows out)"},
      {false, false, [](Design& b) { b.z[2 * 7 + 1] += 1.0; }, "column 1 of z differs from column 1 of x, which"}};
  auto state = [](const qk::Accumulator& acc) {
    const qk::Products pr = qk::accumulated_products(acc);
    return qkt::block_bits(pr) + qkt::fixed_bits(pr) + qkt::Bytes().f64(pr.log_weights).buf;
  };
  for (const auto& [weighted, rows_too, edit, text] : cases) {
    qk::Accumulator acc = qk::empty_accumulator(d.m, d.p, d.q, shift, weighted, {0, 1});
    ASSERT_FALSE(qk::accumulate_rows(acc, qkt::slice(weighted ? w : d, 0, d.n / 2).rows()));
    const std::string before = state(acc);
    Design bad = weighted ? w : d;
    edit(bad);
    EXPECT_EQ(qkt::refusal(qk::accumulate_rows(acc, bad.rows())).rfind(text, 0), 0u) << text;
    EXPECT_EQ(state(acc), before) << text;
    EXPECT_TRUE(!rows_too || qkt::refusal(qk::reduce_rows(bad.rows(), d.m, shift)).rfind(text, 0) == 0) << text;
  }
  qk::Shift narrow = shift;
  narrow.x.pop_back();
  EXPECT_EQ(qkt::refusal(qk::reduce_rows(d.rows(), d.m, narrow)), "the shift has 2 centres of x; x has 3 columns");
  qk::Accumulator acc = qk::empty_accumulator(d.m, d.p, d.q, shift);
  ASSERT_FALSE(qk::accumulate_rows(acc, d.rows()));
  qk::grow_accumulator(acc, d.m + 3);
  const qk::Products grown = qk::accumulated_products(acc);
  EXPECT_TRUE(grown.counts.size() == d.m + 3 && !qk::check_products(grown));
}

// Columns stack into rows: ones where no column is given, rows with a NaN left out
// and counted, the first infinite value reported by place with nothing stacked.
TEST(Accumulator, ColumnsStackIntoRows) {
  const Design d = qkt::big_design();
  const std::uint64_t n = d.n, late = d.n - 2;
  std::vector<Vec> cols(1 + d.p + d.q, Vec(n));  // y, x's columns, z's columns
  for (std::uint64_t r = 0; r < n; ++r) {
    cols[0][r] = d.y[r];
    for (std::uint64_t j = 0; j < d.p + d.q; ++j) cols[1 + j][r] = j < d.p ? d.x[r * d.p + j] : d.z[r * d.q + j - d.p];
  }
  const double nan = qkt::kNaN, inf = qkt::kInf;
  // The column changed, its (row, value) changes, the rows left out or the fault's row.
  const std::tuple<std::size_t, std::vector<std::pair<std::uint64_t, double>>, std::uint64_t, bool> cases[] = {
      {0, {}, 0, false},        {0, {{5, nan}, {n - 1, nan}}, 2, false}, {3, {{7, nan}}, 1, false},
      {5, {{9, nan}, {11, nan}}, 2, false},   {2, {{3000, -inf}, {3001, inf}}, 3000, true},
      {5, {{40, nan}, {41, inf}}, 41, true},  {0, {{late, inf}}, late, true}};
  qk::RowBuffers buf;
  for (const auto& [column, set, row, fault] : cases) {
    SCOPED_TRACE("column " + std::to_string(column) + " row " + std::to_string(row));
    std::vector<Vec> c = cols;
    std::vector<std::size_t> kept;
    for (auto [r, v] : set) c[column][r] = v;
    for (std::uint64_t r = 0; r < n; ++r)
      if (!std::isnan(c[column][r])) kept.push_back(r);
    qk::Columns given{c[0].data(), {nullptr, c[2].data(), c[3].data()}, {c[4].data(), c[5].data()}, d.codes.data(), n};
    auto got = qk::stack_columns(given, buf);
    if (fault) {
      const char part = column == 0 ? 'y' : column <= d.p ? 'x' : 'z';
      const std::uint64_t index = column == 0 ? 0 : column <= d.p ? column - 1 : column - 1 - d.p;
      ASSERT_TRUE(std::holds_alternative<qk::ColumnFault>(got));
      const auto f = std::get<qk::ColumnFault>(got);
      EXPECT_EQ(std::tuple(f.part, f.column, f.row, buf.n), std::tuple(part, index, row, 0ul));
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<std::uint64_t>(got));
    const Design want = qkt::reorder(d, kept);
    EXPECT_TRUE(std::get<std::uint64_t>(got) == row && buf.n == want.n);
    EXPECT_EQ(qkt::bits(Vec(buf.y.begin(), buf.y.begin() + buf.n)), qkt::bits(want.y));
    EXPECT_EQ(qkt::bits(Vec(buf.x.begin(), buf.x.begin() + buf.n * d.p)), qkt::bits(want.x));
    EXPECT_EQ(qkt::bits(Vec(buf.z.begin(), buf.z.begin() + buf.n * d.q)), qkt::bits(want.z));
    EXPECT_TRUE(std::equal(want.codes.begin(), want.codes.end(), buf.codes.begin()));
  }
}

// Products taken out of an accumulator are those accumulated_products copies, to the
// bit, for every order: a permutation of all the groups, of the first groups of one
// grown ahead of need, and an order that is no permutation (copied instead). The
// accumulator holds no group after.
TEST(Accumulator, TakenProductsAreTheAccumulatedOnes) {
  const Design d = qkt::make_design({.p = 3, .q = 2, .m = 3000, .min_rows = 0, .max_rows = 9, .seed = 21});
  std::vector<std::uint64_t> all(d.m);
  std::iota(all.begin(), all.end(), 0);
  std::shuffle(all.begin(), all.end(), std::mt19937_64(5));
  std::vector<std::uint64_t> first(all.size());
  std::iota(first.begin(), first.end(), 0);
  std::reverse(first.begin(), first.end());
  std::vector<std::uint64_t> repeated = {4, 9, 4, 0};
  for (const auto& [order, grown, z_in_x] : {std::tuple(all, d.m, std::vector<std::uint64_t>{}),
                                             std::tuple(first, 3 * d.m + 17, std::vector<std::uint64_t>{}),
                                             std::tuple(all, d.m, std::vector<std::uint64_t>{0, 1}),
                                             std::tuple(repeated, d.m, std::vector<std::uint64_t>{})}) {
    SCOPED_TRACE("groups " + std::to_string(order.size()) + " of " + std::to_string(grown));
    Design b = d;
    if (!z_in_x.empty())
      for (std::uint64_t r = 0; r < b.n; ++r) b.z[2 * r] = b.x[3 * r], b.z[2 * r + 1] = b.x[3 * r + 1];
    qk::Accumulator acc = qk::empty_accumulator(d.m, d.p, d.q, qk::choose_shift(b.rows()), false, z_in_x);
    ASSERT_FALSE(qk::accumulate_rows(acc, b.rows()));
    qk::grow_accumulator(acc, grown);
    const qk::Products want = qk::accumulated_products(acc, &order);
    const qk::Products got = qk::take_products(acc, order);
    EXPECT_EQ(qkt::block_bits(got) + qkt::fixed_bits(got), qkt::block_bits(want) + qkt::fixed_bits(want));
    EXPECT_EQ(got.counts, want.counts);
    EXPECT_EQ(std::tuple(acc.m, acc.records.size()), std::tuple(0ul, 0ul));
  }
}

// Zero pages keep their values when grown (far, and again), read as zeros where never
// written, and read as zeros again where released, whole pages only.
TEST(Accumulator, ZeroPagesGrowAndRelease) {
  qk::ZeroPages pages;
  pages.grow(1000);
  ASSERT_TRUE(pages.data() != nullptr && reinterpret_cast<std::uintptr_t>(pages.data()) % 64 == 0);
  for (std::uint64_t i = 0; i < 1000; ++i) pages.data()[i] = static_cast<double>(i) + 0.5;
  pages.grow(3'000'000);
  pages.grow(10);  // never shrinks
  ASSERT_EQ(pages.size(), 3'000'000u);
  std::uint64_t wrong = 0;
  for (std::uint64_t i = 0; i < pages.size(); ++i) wrong += pages.data()[i] != (i < 1000 ? static_cast<double>(i) + 0.5 : 0.0);
  EXPECT_EQ(wrong, 0u);
  for (std::uint64_t i = 0; i < pages.size(); ++i) pages.data()[i] = 1.0;
  pages.release(100, 600'000);  // the pages wholly inside: from the first boundary after 100
  const std::uint64_t per_page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / sizeof(double);
  const std::uint64_t lo = (100 + per_page - 1) / per_page * per_page, hi = 600'000 / per_page * per_page;
  wrong = 0;
  for (std::uint64_t i = 0; i < pages.size(); ++i) wrong += pages.data()[i] != (i >= lo && i < hi ? 0.0 : 1.0);
  EXPECT_EQ(wrong, 0u);
  qk::ZeroPages moved = std::move(pages);
  EXPECT_TRUE(pages.data() == nullptr && pages.size() == 0 && moved.data()[5] == 1.0);
  moved.clear();
  EXPECT_EQ(moved.size(), 0u);
}

}  // namespace
