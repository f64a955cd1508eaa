// Group codes of integer labels: the hash table against codes in order of first
// appearance, through tables that fill up, grow and are handed over full.

#include "lmm/prepare/labels.hpp"
#include "support.hpp"

namespace {

using I64 = std::vector<std::int64_t>;

struct Table {
  I64 key, code;
  qk::LabelHash view(std::uint64_t m) { return {key.data(), code.data(), key.size(), m}; }
  explicit Table(std::uint64_t slots) : key(slots, 0), code(slots, -1) {}
};

// Codes labels through tables from `slots` on, grown (twice as large) whenever
// hash_labels stops, as a caller does.
I64 hashed(const I64& labels, std::uint64_t slots, std::uint64_t* grown) {
  Table t(slots);
  qk::LabelHash h = t.view(0);
  I64 codes(labels.size(), -7);
  for (std::uint64_t row = 0;;) {
    row = qk::hash_labels(h, labels.data(), row, labels.size(), codes.data());
    if (row == labels.size()) return codes;
    Table bigger(2 * t.key.size());
    qk::LabelHash to = bigger.view(0);
    EXPECT_TRUE(qk::rehash_labels(h, to));
    t = std::move(bigger);
    h = t.view(to.m);
    ++*grown;
  }
}

// Labels from a small set (many repeats, colliding slots), from all of int64 (its
// ends among them), and all equal: codes 0, 1, ... in order of first appearance.
TEST(Labels, HashedCodesAreTheOrderOfFirstAppearance) {
  std::mt19937_64 rng(17);
  I64 few(20'000), wide(20'000), same(500, INT64_MIN);
  for (auto& v : few) v = static_cast<std::int64_t>(rng() % 3000) * 1'000'003 - 7;
  for (auto& v : wide) v = static_cast<std::int64_t>(rng() % 9000 == 0 ? INT64_MAX : rng());
  wide[3] = INT64_MIN;
  wide[4] = -1;
  wide[5] = 0;
  for (const I64* labels : {&few, &wide, &same}) {
    std::map<std::int64_t, std::int64_t> first;
    I64 want;
    for (std::int64_t v : *labels) want.push_back(first.emplace(v, static_cast<std::int64_t>(first.size())).first->second);
    std::uint64_t grown = 0;
    EXPECT_EQ(hashed(*labels, 2, &grown), want);
    EXPECT_GE(grown, first.size() > 1 ? 1u : 0u);
    EXPECT_EQ(hashed(*labels, 1 << 16, &grown), want);
  }
}

// A table handed over full (no empty slot, however it came to be) stops rather than
// probing forever, and a rehash into a table without room says so.
TEST(Labels, FullTablesStop) {
  Table t(4);
  for (std::int64_t s = 0; s < 4; ++s) t.key[s] = 100 + s, t.code[s] = s;
  qk::LabelHash h = t.view(3);
  const I64 labels = {5, 6};
  I64 codes(2, -7);
  EXPECT_EQ(qk::hash_labels(h, labels.data(), 0, 2, codes.data()), 0u);
  Table small(2);
  qk::LabelHash to = small.view(0);
  EXPECT_FALSE(qk::rehash_labels(h, to));
}

}  // namespace
