// Products as a value: batches reduced to the rows' sums bit for bit for every shape
// the row passes specialise, weighted or not, the design built from products, the
// checks that refuse inconsistent products, and group labels coded by value.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "batches.hpp"
#include "lmm/prepare/labels.hpp"
#include "lmm/prepare/state.hpp"

namespace {

using qkt::big_design;
using qkt::block_bits;
using qkt::Design;
using qkt::deviance_of;
using qkt::naive_blocks;
using qkt::reduce;
using qkt::slice;
using qkt::Vec;

// Blocks of every shape the row passes specialise (q up to 4, p up to 8) and of one
// they do not (p = 9) are the rows' sums in row order, bit for bit, rows shuffled and
// sorted by group, on 1, 2 and 7 threads.
TEST(BatchProducts, EveryShapeSumsTheRowsInOrder) {
  for (auto [q, p] : {std::pair<std::uint64_t, std::uint64_t>{4, 5}, {4, 8}, {3, 2}, {4, 9}}) {
    SCOPED_TRACE("q = " + std::to_string(q) + ", p = " + std::to_string(p));
    const Design d = qkt::make_design({.p = p, .q = q, .m = 400, .min_rows = 0, .max_rows = 60, .seed = 9 + p});
    std::vector<std::size_t> by_group(d.n);
    std::iota(by_group.begin(), by_group.end(), std::size_t{0});
    std::stable_sort(by_group.begin(), by_group.end(), [&](std::size_t a, std::size_t b) { return d.codes[a] < d.codes[b]; });
    const Design sorted = qkt::reorder(d, by_group);
    const qk::Shift shift = qk::choose_shift(d.rows());
    const std::string want = naive_blocks(d, shift), want_sorted = naive_blocks(sorted, shift);
    const std::string out = qkt::same_bits_for_pool_sizes([&] {
      const std::string a = block_bits(reduce(d, shift)), b = block_bits(reduce(sorted, shift));
      return std::string(a == want ? "" : "shuffled rows' blocks differ;") +
             (b == want_sorted ? "" : "sorted rows' blocks differ;") + "\n" + a + b;
    }, 1000);
    EXPECT_EQ(out.substr(0, out.find('\n')), "");
  }
}

// A design built from the products of all rows (with the shift from_rows chooses)
// evaluates bit for bit as the design built from the rows, every evaluator.
TEST(BatchProducts, DesignFromProductsEvaluatesAsTheRows) {
  const Design d = big_design();
  const qk::Shift shift = qk::choose_shift(d.rows());
  const Vec theta{0.7, -0.2, 0.4};
  for (qk::Evaluator ev : {qk::kBlocks, qk::kStreaming, qk::kAggregated}) {
    auto rows = qkt::build(d, ev);
    auto built = qk::from_products(reduce(d, shift), ev);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(built)) << std::get<std::string>(built);
    const qk::LmmData& fp = *std::get<std::unique_ptr<qk::LmmData>>(built);
    EXPECT_FALSE(fp.rows_known);
    EXPECT_EQ(fp.kernel(), rows->kernel());
    for (bool reml : {true, false}) {
      auto a = qk::evaluate(*rows, theta, reml, qk::kModeGradient), b = qk::evaluate(fp, theta, reml, qk::kModeGradient);
      ASSERT_TRUE(a && b);
      EXPECT_EQ(qkt::bits(Vec{a->deviance}) + qkt::bits(a->gradient), qkt::bits(Vec{b->deviance}) + qkt::bits(b->gradient));
    }
  }
}

// Products that cannot be those of any rows are refused, each with its reason.
TEST(BatchProducts, InconsistentProductsAreRefused) {
  const Design d = qkt::make_design({.p = 2, .q = 2, .m = 6, .min_rows = 0, .max_rows = 5, .seed = 5});
  const qk::Products good = reduce(d, qk::choose_shift(d.rows()));
  ASSERT_FALSE(qk::check_products(good)) << *qk::check_products(good);
  std::uint64_t empty = 0;
  while (empty < d.m && good.counts[empty] != 0) ++empty;
  ASSERT_LT(empty, d.m) << "the design needs a group without rows";
  const std::uint64_t full = empty == 0 ? 1 : 0;
  using Edit = std::function<void(qk::Products&)>;
  const std::vector<std::pair<Edit, std::string>> cases = {
      {[](qk::Products& p) { p.ztx.pop_back(); }, "products: ztx holds 23 values, 24 expected"},
      {[](qk::Products& p) { p.counts.resize(5); }, "products: counts holds 5 values, 6 expected"},
      {[](qk::Products& p) { p.n += 1; }, "products: the group row counts add up to"},
      {[&](qk::Products& p) { p.zty[empty * 2] = 1.0; }, "products: a group without rows has non-zero blocks"},
      {[&](qk::Products& p) { p.ztz[full * 4 + 1] += 1.0; }, "products: the ztz block is not symmetric"},
      {[](qk::Products& p) { p.xtx[1] += 1.0; }, "products: xtx is not symmetric"},
      {[&](qk::Products& p) { p.ztx[full * 4] = qkt::kNaN; }, "products: ztx holds a value that is not finite"},
      {[](qk::Products& p) { p.yty = qkt::kInf; }, "products: yty holds a value that is not finite"},
      {[&](qk::Products& p) { p.ztz[full * 4 + 3] = -1.0; }, "products: ztz has a negative diagonal"},
      {[](qk::Products& p) { p.xtx[3] = -2.0; }, "products: xtx has a negative diagonal (column 1)"},
      {[](qk::Products& p) { p.shift.column = 2; }, "products: the shift's constant column 2 is not a column of x"},
      {[](qk::Products& p) { p.shift.x[0] = 3.0; }, "products: the shift centres its own constant column"},
      {[](qk::Products& p) { p.shift.column = -1; }, "products: a shift without a constant column centres values"},
      {[](qk::Products& p) { p.m = 0; }, "products have no group"},
  };
  for (const auto& [edit, want] : cases) {
    qk::Products bad = good;
    edit(bad);
    auto err = qk::check_products(bad);
    ASSERT_TRUE(err) << "accepted, expected: " << want;
    EXPECT_NE(err->find(want), std::string::npos) << *err;
    auto built = qk::from_products(bad, qk::kAuto);
    EXPECT_TRUE(std::holds_alternative<std::string>(built)) << want;
  }
  // The group without rows whose Z'Z diagonal was set is refused for its blocks.
  qk::Products lone = good;
  lone.ztz[empty * 4] = 1.0;
  EXPECT_EQ(*qk::check_products(lone), "products: a group without rows has non-zero blocks (group " +
                                           std::to_string(empty) + ")");
}

// A design from products cannot check arrays: with_response refuses it, also after
// a pickle round trip, which keeps that it holds no fingerprints.
TEST(BatchProducts, DesignFromProductsRefusesWithResponse) {
  const Design d = qkt::make_design({.p = 2, .q = 2, .m = 12, .min_rows = 2, .max_rows = 6, .seed = 4});
  auto built = qk::from_products(reduce(d, qk::choose_shift(d.rows())), qk::kAuto);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(built));
  const qk::LmmData& data = *std::get<std::unique_ptr<qk::LmmData>>(built);
  auto again = qk::decode_state(qk::encode_state(data, "1"), "1");
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(again));
  for (const qk::LmmData* x : {&data, static_cast<const qk::LmmData*>(std::get<std::unique_ptr<qk::LmmData>>(again).get())}) {
    EXPECT_FALSE(x->rows_known);
    auto r = qk::with_response(*x, d.rows());
    ASSERT_TRUE(std::holds_alternative<std::string>(r));
    EXPECT_NE(std::get<std::string>(r).find("built from products"), std::string::npos);
  }
  EXPECT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(qk::with_response(*qkt::build(d, qk::kAuto), d.rows())));
}

// Weighted rows reduce to the weighted products: one batch gives a design that
// evaluates bit for bit as the weighted rows (rows in random group order and sorted,
// so both group passes weight their products); a bad weight is refused by row, and
// unweighted products cannot claim a weights' constant.
TEST(BatchProducts, WeightedRowsReduceToTheWeightedProducts) {
  const Design d = qkt::with_weights(big_design(), 8);
  std::vector<std::size_t> by_group(d.n);
  std::iota(by_group.begin(), by_group.end(), std::size_t{0});
  std::stable_sort(by_group.begin(), by_group.end(), [&](std::size_t a, std::size_t b) { return d.codes[a] < d.codes[b]; });
  const Vec theta{0.7, -0.2, 0.4};
  for (const Design& rows_of : {d, qkt::reorder(d, by_group)}) {
    const qk::Shift shift = qk::choose_shift(rows_of.rows());
    auto rows = qkt::build(rows_of, qk::kBlocks);
    auto built = qk::from_products(reduce(rows_of, shift), qk::kBlocks);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(built)) << std::get<std::string>(built);
    const qk::LmmData& fp = *std::get<std::unique_ptr<qk::LmmData>>(built);
    EXPECT_TRUE(fp.weighted && rows->weighted);
    EXPECT_EQ(qkt::bits(Vec{fp.log_weights}), qkt::bits(Vec{rows->log_weights}));
    for (bool reml : {true, false})
      EXPECT_EQ(qkt::bits(Vec{deviance_of(fp, theta, reml)}), qkt::bits(Vec{deviance_of(*rows, theta, reml)}));
  }
  const qk::Shift shift = qk::choose_shift(d.rows());
  Design plain = slice(d, 0, 100), bad = slice(d, 0, 100);
  plain.w.clear();
  bad.w[17] = -1.0;
  auto refused = qk::reduce_rows(bad.rows(), d.m, shift);
  ASSERT_TRUE(std::holds_alternative<std::string>(refused));
  EXPECT_EQ(std::get<std::string>(refused).rfind("weights[17] is -1", 0), 0u);
  qk::Products claimed = reduce(plain, shift);
  claimed.log_weights = 1.5;  // a constant without weights
  EXPECT_NE(qk::check_products(claimed).value_or(""), "");
}

// Integer labels coded through a table by value: codes in order of first appearance,
// carried across batches; offsets from lo taken without overflow at the ends of the
// int64 range.
TEST(BatchProducts, IntegerLabelsAreCodedInOrderOfAppearance) {
  constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
  struct Case {
    std::int64_t lo;
    std::vector<std::vector<std::int64_t>> batches;  // labels, as offsets from lo
    std::vector<std::vector<std::int64_t>> codes;
  };
  const std::vector<Case> cases = {
      {-3, {{5, 1, 5, 0}, {1, 7, 0, 7}}, {{0, 1, 0, 2}, {1, 3, 2, 3}}},
      {lo, {{0, 9, 9}, {4, 0}}, {{0, 1, 1}, {2, 0}}},
  };
  for (const Case& c : cases) {
    std::vector<std::int64_t> entries(10, -1);
    qk::LabelTable table{c.lo, entries.data(), entries.size(), 0};
    for (std::size_t b = 0; b < c.batches.size(); ++b) {
      std::vector<std::int64_t> labels, codes(c.batches[b].size());
      for (std::int64_t off : c.batches[b])
        labels.push_back(static_cast<std::int64_t>(static_cast<std::uint64_t>(c.lo) + static_cast<std::uint64_t>(off)));
      const qk::LabelRange range = qk::label_range(labels.data(), labels.size());
      EXPECT_EQ(range.lo, *std::min_element(labels.begin(), labels.end()));
      EXPECT_EQ(range.hi, *std::max_element(labels.begin(), labels.end()));
      qk::code_labels(table, labels.data(), labels.size(), codes.data());
      EXPECT_EQ(codes, c.codes[b]) << "batch " << b;
    }
  }
}

}  // namespace
