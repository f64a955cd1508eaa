// Group codes of integer labels read batch after batch: a table indexed by value, so
// that coding a batch is one look-up a row rather than hashing.
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

}  // namespace qk
