// The accumulator of products fed batch by batch: the blocks of one pass over all rows
// bit for bit, weighted batches, batches given as columns, Z'Z read from Z'X, and
// refused batches that leave it unchanged.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <tuple>

#include "batches.hpp"
#include "lmm/prepare/accumulator.hpp"
#include "lmm/prepare/columns.hpp"

namespace {

using qkt::big_design;
using qkt::block_bits;
using qkt::Design;
using qkt::deviance_of;
using qkt::fixed_bits;
using qkt::naive_blocks;
using qkt::reduce;
using qkt::slice;
using qkt::Vec;

// The blocks of all rows are the rows' sums in row order, bit for bit; batches (cut
// at several boundaries) accumulated in order leave every block bit-identical to them,
// on 1, 2 and 7 threads, and their fixed products agree to rounding.
TEST(Accumulator, BatchesAccumulateToTheWhole) {
  const Design d = big_design();
  ASSERT_TRUE(qk::work_is_large(d.n, 20));
  const qk::Shift shift = qk::choose_shift(d.rows());
  ASSERT_TRUE(shift.active());
  ASSERT_TRUE(shift.shifts_x());
  std::vector<std::size_t> by_group(d.n);
  std::iota(by_group.begin(), by_group.end(), std::size_t{0});
  std::stable_sort(by_group.begin(), by_group.end(), [&](std::size_t a, std::size_t b) { return d.codes[a] < d.codes[b]; });
  const Design sorted = qkt::reorder(d, by_group);
  const std::string naive = naive_blocks(d, shift), naive_sorted = naive_blocks(sorted, shift);
  const std::string out = qkt::same_bits_for_pool_sizes([&] {
    const qk::Products whole = reduce(d, shift);
    std::string report = block_bits(whole) == naive ? "" : "blocks differ from the rows' sums;", bits;
    // Rows sorted by group take the path of whole groups' runs.
    report += block_bits(reduce(sorted, shift)) == naive_sorted ? "" : "sorted rows' blocks differ;";
    for (std::uint64_t cuts : {2u, 3u, 7u}) {
      qk::Accumulator accumulator = qk::empty_accumulator(d.m, d.p, d.q, shift);
      for (std::uint64_t k = 0; k < cuts; ++k) {
        const Design part = slice(d, d.n * k / cuts, d.n * (k + 1) / cuts);
        if (auto err = qk::accumulate_rows(accumulator, part.rows())) return "accumulate: " + *err;
      }
      const qk::Products acc = qk::accumulated_products(accumulator);
      report += block_bits(acc) == block_bits(whole) ? "" : "accumulated blocks differ;";
      if (!qkt::all_near(acc.xtx, whole.xtx, 1e-12) || !qkt::all_near(acc.xty, whole.xty, 1e-12) ||
          !qkt::near_rel(acc.yty, whole.yty, 1e-12))
        report += "fixed products not within rounding;";
      bits += block_bits(acc) + fixed_bits(acc);
    }
    return report + "\n" + bits;
  }, 1000);
  EXPECT_EQ(out.substr(0, out.find('\n')), "");
}

// Weighted batches accumulated carry the weights' constant and agree with the
// weighted rows to rounding; weights never mix with unweighted rows, and a bad weight
// in a batch is refused by row, leaving the accumulator unchanged.
TEST(Accumulator, WeightedBatchesAreTheWeightedRows) {
  const Design d = qkt::with_weights(big_design(), 8);
  const Vec theta{0.7, -0.2, 0.4};
  const qk::Shift shift = qk::choose_shift(d.rows());
  auto rows = qkt::build(d, qk::kBlocks);
  qk::Accumulator accumulator = qk::empty_accumulator(d.m, d.p, d.q, shift, true);
  for (std::uint64_t k = 0; k < 3; ++k) {
    const Design part = slice(d, d.n * k / 3, d.n * (k + 1) / 3);
    ASSERT_FALSE(qk::accumulate_rows(accumulator, part.rows()));
  }
  const qk::Products acc = qk::accumulated_products(accumulator);
  EXPECT_TRUE(acc.weighted);
  EXPECT_TRUE(qkt::near_rel(acc.log_weights, rows->log_weights, 1e-12));
  auto fp = qk::from_products(acc, qk::kBlocks);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<qk::LmmData>>(fp));
  EXPECT_TRUE(qkt::near_rel(deviance_of(*std::get<0>(fp), theta, true), deviance_of(*rows, theta, true), 1e-12));
  // Never mixed with unweighted rows or products; a bad weight names its row.
  Design plain = slice(d, 0, 100), bad = slice(d, 0, 100);
  plain.w.clear();
  bad.w[17] = -1.0;
  EXPECT_NE(qk::accumulate_rows(accumulator, plain.rows()).value_or(""), "");
  EXPECT_EQ(qk::accumulate_rows(accumulator, bad.rows()).value_or("").rfind("weights[17] is -1", 0), 0u);
  const qk::Products after = qk::accumulated_products(accumulator);
  EXPECT_EQ(block_bits(after) + fixed_bits(after), block_bits(acc) + fixed_bits(acc));
}

// Columns stack into the rows the passes read: a column of ones where none is given,
// rows holding a NaN anywhere left out (and counted), the first infinite value
// reported by place with nothing stacked; an accumulator fed the stacked columns holds
// the bits of one fed the rows.
TEST(Accumulator, ColumnsStackIntoRows) {
  const Design d = big_design();
  // x's first column is the intercept, given as None.
  for (std::uint64_t r = 0; r < d.n; ++r) ASSERT_EQ(d.x[r * d.p], 1.0);
  std::vector<Vec> xc(d.p, Vec(d.n)), zc(d.q, Vec(d.n));
  for (std::uint64_t r = 0; r < d.n; ++r) {
    for (std::uint64_t j = 0; j < d.p; ++j) xc[j][r] = d.x[r * d.p + j];
    for (std::uint64_t j = 0; j < d.q; ++j) zc[j][r] = d.z[r * d.q + j];
  }
  auto columns = [&](const Vec& y, const std::vector<Vec>& x, const std::vector<Vec>& z) {
    qk::Columns c{y.data(), {}, {}, d.codes.data(), d.n};
    for (const Vec& v : x) c.x.push_back(v.data());
    for (const Vec& v : z) c.z.push_back(v.data());
    c.x[0] = nullptr;
    return c;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    char part;
    std::uint64_t column;
    std::vector<std::pair<std::uint64_t, double>> set;  // (row, value)
    std::uint64_t left_out;                              // rows dropped; fault when part != 0
    std::optional<qk::ColumnFault> fault;
  };
  const std::vector<Case> cases = {
      {"all finite", 'y', 0, {}, 0, std::nullopt},
      {"NaN in y", 'y', 0, {{5, nan}, {d.n - 1, nan}}, 2, std::nullopt},
      {"NaN in x and z", 'x', 2, {{7, nan}}, 1, std::nullopt},
      {"NaN in z", 'z', 1, {{9, nan}, {11, nan}}, 2, std::nullopt},
      {"infinite in x", 'x', 1, {{3000, -inf}, {3001, inf}}, 0, qk::ColumnFault{'x', 1, 3000}},
      {"NaN before infinite in z", 'z', 1, {{40, nan}, {41, inf}}, 0, qk::ColumnFault{'z', 1, 41}},
      {"infinite in y", 'y', 0, {{d.n - 2, inf}}, 0, qk::ColumnFault{'y', 0, d.n - 2}},
  };
  qk::RowBuffers buf;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Vec y = d.y;
    std::vector<Vec> x = xc, z = zc;
    Vec& col = c.part == 'y' ? y : c.part == 'x' ? x[c.column] : z[c.column];
    std::vector<char> dropped(d.n, 0);
    for (auto [r, v] : c.set) {
      col[r] = v;
      dropped[r] = std::isnan(v);
    }
    auto got = qk::stack_columns(columns(y, x, z), buf);
    if (c.fault) {
      ASSERT_TRUE(std::holds_alternative<qk::ColumnFault>(got));
      const auto f = std::get<qk::ColumnFault>(got);
      EXPECT_EQ(std::tuple(f.part, f.column, f.row), std::tuple(c.fault->part, c.fault->column, c.fault->row));
      EXPECT_EQ(buf.n, 0u);
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<std::uint64_t>(got));
    EXPECT_EQ(std::get<std::uint64_t>(got), c.left_out);
    // The kept rows of d, in order.
    std::vector<std::size_t> kept;
    for (std::uint64_t r = 0; r < d.n; ++r)
      if (!dropped[r]) kept.push_back(r);
    const Design want = qkt::reorder(d, kept);
    ASSERT_EQ(buf.n, want.n);
    EXPECT_EQ(qkt::bits(Vec(buf.y.begin(), buf.y.begin() + buf.n)), qkt::bits(want.y));
    EXPECT_EQ(qkt::bits(Vec(buf.x.begin(), buf.x.begin() + buf.n * d.p)), qkt::bits(want.x));
    EXPECT_EQ(qkt::bits(Vec(buf.z.begin(), buf.z.begin() + buf.n * d.q)), qkt::bits(want.z));
    EXPECT_TRUE(std::equal(want.codes.begin(), want.codes.end(), buf.codes.begin()));
  }
  // Fed through the buffers, batch by batch, the accumulator holds the rows' bits.
  const qk::Shift shift = qk::choose_shift(d.rows());
  qk::Accumulator from_columns = qk::empty_accumulator(d.m, d.p, d.q, shift), from_rows = from_columns;
  for (std::uint64_t k = 0; k < 3; ++k) {
    const Design part = slice(d, d.n * k / 3, d.n * (k + 1) / 3);
    std::vector<Vec> x(d.p, Vec(part.n)), z(d.q, Vec(part.n));
    for (std::uint64_t r = 0; r < part.n; ++r) {
      for (std::uint64_t j = 0; j < d.p; ++j) x[j][r] = part.x[r * d.p + j];
      for (std::uint64_t j = 0; j < d.q; ++j) z[j][r] = part.z[r * d.q + j];
    }
    qk::Columns c{part.y.data(), {nullptr}, {}, part.codes.data(), part.n};
    for (std::uint64_t j = 1; j < d.p; ++j) c.x.push_back(x[j].data());
    for (const Vec& v : z) c.z.push_back(v.data());
    ASSERT_TRUE(std::holds_alternative<std::uint64_t>(qk::stack_columns(c, buf)));
    ASSERT_FALSE(qk::accumulate_rows(from_columns, buf.rows()));
    ASSERT_FALSE(qk::accumulate_rows(from_rows, part.rows()));
  }
  const qk::Products a = qk::accumulated_products(from_columns), b = qk::accumulated_products(from_rows);
  EXPECT_EQ(block_bits(a) + fixed_bits(a), block_bits(b) + fixed_bits(b));
}

// Batch errors: a code out of range, a shift of another width, a shift whose
// constant column is not constant in the batch; the accumulator keeps nothing of a
// refused batch.
TEST(Accumulator, BatchErrorsLeaveTheAccumulatorUnchanged) {
  const Design d = qkt::make_design({.p = 3, .q = 1, .m = 10, .min_rows = 2, .max_rows = 6, .seed = 3});
  const qk::Shift shift = qk::choose_shift(d.rows());
  ASSERT_EQ(shift.column, 0);
  Design bad_code = d, not_constant = d;
  bad_code.codes[d.n - 1] = 10;
  not_constant.x[d.p * (d.n / 2)] = 2.0;
  qk::Shift narrow = shift;
  narrow.x.pop_back();
  auto text = [](const std::variant<qk::Reduced, std::string>& r) {
    return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : std::string("accepted");
  };
  EXPECT_EQ(text(qk::reduce_rows(bad_code.rows(), d.m, shift)), "group code 10 out of range 0..10");
  EXPECT_EQ(text(qk::reduce_rows(d.rows(), d.m, narrow)), "the shift has 2 centres of x; x has 3 columns");
  EXPECT_NE(text(qk::reduce_rows(not_constant.rows(), d.m, shift)).find("column 0 of x (the shift's constant column)"),
            std::string::npos);
  qk::Accumulator acc = qk::empty_accumulator(d.m, d.p, d.q, shift);
  ASSERT_FALSE(qk::accumulate_rows(acc, slice(d, 0, d.n / 2).rows()));
  auto state = [&] {
    const qk::Products pr = qk::accumulated_products(acc);
    return block_bits(pr) + fixed_bits(pr);
  };
  const std::string before = state();
  EXPECT_TRUE(qk::accumulate_rows(acc, bad_code.rows()));
  EXPECT_TRUE(qk::accumulate_rows(acc, not_constant.rows()));
  EXPECT_EQ(state(), before);
  qk::grow_accumulator(acc, d.m + 3);
  const qk::Products grown = qk::accumulated_products(acc);
  EXPECT_EQ(grown.m, d.m + 3);
  EXPECT_EQ(grown.counts.size(), d.m + 3);
  EXPECT_FALSE(qk::check_products(grown)) << *qk::check_products(grown);
}

// Z'Z read from Z'X where z's columns are x's: the same bits as Z'Z kept, weighted or
// not, in less memory; a batch whose z is not those columns is refused and adds
// nothing; a column the shift centres keeps Z'Z.
TEST(Accumulator, ZtZReadFromZtXWhereZIsColumnsOfX) {
  for (bool weighted : {false, true}) {
    SCOPED_TRACE(weighted ? "weighted" : "unweighted");
    Design d = big_design();
    if (weighted) d = qkt::with_weights(d, 3);
    // z = (x's column 2, x's intercept): columns out of x's order.
    for (std::uint64_t r = 0; r < d.n; ++r) {
      d.z[r * d.q] = d.x[r * d.p + 1];
      d.z[r * d.q + 1] = d.x[r * d.p];
    }
    qk::Shift shift = qk::choose_shift(d.rows());
    ASSERT_EQ(shift.x[1], 0.0);  // column 2 of big_design is the one centred
    qk::Accumulator kept = qk::empty_accumulator(d.m, d.p, d.q, shift, weighted);
    qk::Accumulator read = qk::empty_accumulator(d.m, d.p, d.q, shift, weighted, {1, 0});
    ASSERT_EQ(read.z_in_x.size(), 2u);
    for (std::uint64_t k = 0; k < 3; ++k) {
      const Design part = slice(d, d.n * k / 3, d.n * (k + 1) / 3);
      ASSERT_FALSE(qk::accumulate_rows(kept, part.rows()));
      ASSERT_FALSE(qk::accumulate_rows(read, part.rows()));
    }
    const qk::Products a = qk::accumulated_products(kept), b = qk::accumulated_products(read);
    EXPECT_EQ(block_bits(a) + fixed_bits(a), block_bits(b) + fixed_bits(b));
    Design other = slice(d, 0, 200);
    other.z[77 * d.q] += 1.0;
    EXPECT_EQ(qk::accumulate_rows(read, other.rows()).value_or(""),
              "column 0 of z differs from column 1 of x, which the products were told it is");
    const qk::Products after = qk::accumulated_products(read);
    EXPECT_EQ(block_bits(after) + fixed_bits(after), block_bits(b) + fixed_bits(b));
    EXPECT_TRUE(qk::empty_accumulator(d.m, d.p, d.q, shift, weighted, {2, 0}).z_in_x.empty());
  }
  // p = 6, q = 2: records of two lines rather than three.
  qk::Shift none;
  none.x.assign(6, 0.0);
  EXPECT_EQ(qk::empty_accumulator(1, 6, 2, none).stride, 24u);
  EXPECT_EQ(qk::empty_accumulator(1, 6, 2, none, false, {0, 1}).stride, 16u);
}

}  // namespace
