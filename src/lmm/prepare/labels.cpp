#include "lmm/prepare/labels.hpp"

#include <algorithm>

namespace qk {

LabelRange label_range(const std::int64_t* labels, std::uint64_t n) {
  std::int64_t lo = labels[0], hi = labels[0];
  for (std::uint64_t r = 1; r < n; ++r) {
    lo = std::min(lo, labels[r]);
    hi = std::max(hi, labels[r]);
  }
  return {lo, hi};
}

void code_labels(LabelTable& table, const std::int64_t* labels, std::uint64_t n, std::int64_t* codes) {
  // Offsets as unsigned: the range was checked, so lo <= label and the difference
  // fits even where label - lo would overflow a signed 64-bit value.
  const std::uint64_t lo = static_cast<std::uint64_t>(table.lo);
  for (std::uint64_t r = 0; r < n; ++r) {
    std::int64_t& c = table.code[static_cast<std::uint64_t>(labels[r]) - lo];
    if (c < 0) c = static_cast<std::int64_t>(table.m++);
    codes[r] = c;
  }
}

}  // namespace qk
