// Group codes of integer labels read batch after batch: a table indexed by value, so
// that coding a batch is one look-up a row, and for labels too spread out for one, a
// hash table of 16 bytes a slot (a Python dict of ints takes about 100 bytes a label).
#pragma once

#include <cstdint>
#include <vector>

namespace qk {

// Codes of the labels lo .. lo + size - 1 (-1 for a label not met yet); labels are
// coded 0, 1, 2, ... in order of first appearance.
struct LabelTable {
  std::int64_t lo = 0;
  std::int64_t* code = nullptr;  // size entries, the caller's
  std::uint64_t size = 0;
  std::uint64_t m = 0;           // labels coded so far
};

// The smallest and largest of n labels (n > 0).
struct LabelRange {
  std::int64_t lo, hi;
};
LabelRange label_range(const std::int64_t* labels, std::uint64_t n);

// Codes labels[0..n) into codes[0..n), giving each label not met before the next code
// in row order. Every label must lie in the table's range (label_range first).
void code_labels(LabelTable& table, const std::int64_t* labels, std::uint64_t n, std::int64_t* codes);

// Codes of integer labels by open addressing with linear probing (Knuth, TAOCP vol. 3,
// 6.4, algorithm L), slots a power of two, at most three quarters of them full (about
// 2.5 probes a look-up of a label met); keys hashed by
// SplitMix64's finaliser (Steele, Lea and Flood, OOPSLA 2014). Labels are coded 0, 1,
// 2, ... in order of first appearance, as by LabelTable.
struct LabelHash {
  std::int64_t* key = nullptr;   // slots entries, the caller's
  std::int64_t* code = nullptr;  // slots entries, the caller's; -1: an empty slot
  std::uint64_t slots = 0;       // a power of two
  std::uint64_t m = 0;           // labels coded so far
};

// Codes labels[from..n) into codes[from..n) as code_labels does, until a new label
// would fill more than three quarters of the slots (or finds the table full): returns the row it
// stopped at (n when done), from which the caller goes on with a table twice as large
// (rehash_labels).
std::uint64_t hash_labels(LabelHash& table, const std::int64_t* labels, std::uint64_t from, std::uint64_t n,
                          std::int64_t* codes);

// Enters every label of `from` with its code into `to` (empty, with room for them:
// at most three quarters full after), and sets to.m = from.m; false when `to` fills up.
bool rehash_labels(const LabelHash& from, LabelHash& to);

}  // namespace qk
