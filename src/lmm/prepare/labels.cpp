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

namespace {

std::uint64_t mix(std::int64_t label) {
  std::uint64_t z = static_cast<std::uint64_t>(label);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// The slot holding label, or the empty slot where it belongs; t.slots when there is
// neither (a table handed over full).
std::uint64_t slot_of(const LabelHash& t, std::int64_t label) {
  const std::uint64_t mask = t.slots - 1;
  std::uint64_t s = mix(label) & mask;
  for (std::uint64_t probes = 0; t.code[s] >= 0 && t.key[s] != label; s = (s + 1) & mask)
    if (++probes == t.slots) return t.slots;
  return s;
}

}  // namespace

std::uint64_t hash_labels(LabelHash& table, const std::int64_t* labels, std::uint64_t from, std::uint64_t n,
                          std::int64_t* codes) {
  for (std::uint64_t r = from; r < n; ++r) {
    const std::uint64_t s = slot_of(table, labels[r]);
    if (s == table.slots) return r;
    if (table.code[s] < 0) {
      if (4 * (table.m + 1) > 3 * table.slots) return r;
      table.key[s] = labels[r];
      table.code[s] = static_cast<std::int64_t>(table.m++);
    }
    codes[r] = table.code[s];
  }
  return n;
}

bool rehash_labels(const LabelHash& from, LabelHash& to) {
  for (std::uint64_t s = 0; s < from.slots; ++s)
    if (from.code[s] >= 0) {
      const std::uint64_t t = slot_of(to, from.key[s]);
      if (t == to.slots) return false;
      to.key[t] = from.key[s];
      to.code[t] = from.code[s];
    }
  to.m = from.m;
  return true;
}

}  // namespace qk
