// Fingerprints of the arrays a design was built from: the group codes, and x and z,
// so that a call handing in other arrays (with_response) is refused instead of
// silently mixing two designs.
#pragma once

#include <bit>
#include <cstdint>

namespace qk {

// One step of the running hash of a sequence of words (codes, class keys): rotate,
// xor, multiply by an odd constant, so every bit of a word reaches the high bits.
inline std::uint64_t fold(std::uint64_t h, std::uint64_t w) {
  return (std::rotl(h, 5) ^ w) * 0x517cc1b727220a95ULL;
}

// The fingerprint of a sequence of group codes: its length, then every code, folded.
std::uint64_t codes_fingerprint(const std::int64_t* codes, std::uint64_t n);

// The checksum behind the fingerprints of x and z over the len values v[0..len) at
// flat positions first.. of an array: a sum of one term per position, so the sums of
// the parts of a split array add up to that of the whole (see fingerprint.cpp).
std::uint64_t checksum_range(const double* v, std::uint64_t first, std::uint64_t len);

// The fingerprint of a row-major n x k array of values as given: a checksum of the
// values' bits keyed by their positions.
std::uint64_t rows_fingerprint(const double* v, std::uint64_t n, std::uint64_t k);

}  // namespace qk
