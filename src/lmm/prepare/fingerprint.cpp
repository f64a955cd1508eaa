// The checksums and hashes behind the fingerprints of codes, x and z.
#include "lmm/prepare/fingerprint.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qk {

namespace {

// The fingerprints of x and z: over a flat array, the sum mod 2^64 of
// (lo_i + klo_i) (hi_i + khi_i), the 64-bit products of the 32-bit halves of the
// value at position i (a negative zero taken as zero: it gives the same products)
// each offset by the matching half of the key k_i = (i + 1) G, a Weyl sequence (G the
// golden ratio in 64 bits). This is the NH hash of Black, Halevi, Krawczyk, Krovetz
// and Rogaway, "UMAC: Fast and Secure Message Authentication" (CRYPTO 1999), with
// keys drawn from the positions: the keys tie each value to its place, so swapped
// columns or moved rows change the sum, and the products carry every bit of a value
// into many bits of the sum (a negated column changes it, which the plain sum of the
// values' bits would not reliably see). A sum over positions, it comes out the same
// however the positions are split and visited.
// Vector multiplications (four values per AVX2 instruction where the processor has
// it, else two per SSE2 one) keep it to a fraction of a nanosecond a value; integer
// arithmetic gives the same sum on every path.
constexpr std::uint64_t kWeyl = 0x9e3779b97f4a7c15ULL;

#if defined(__SSE2__)
// checksum_range's vector loop over positions i, i + 1, ... with the key of position i
// in lane 0 of k0, in the instruction set whose intrinsics are prefixed P (_mm: SSE2,
// _mm256: AVX2) and whose integer registers are SI (si128, si256), L 64-bit lanes to a
// register, two registers a step. The halves of each term are added as 32-bit lanes and
// P##_mul_epu32 multiplies the low half of each lane by its high half; the terms are
// summed into the lanes of acc0 and acc1.
#define QK_CHECKSUM_LOOP(P, SI, L)                                                                    \
  auto k1 = P##_add_epi64(k0, P##_set1_epi64x(static_cast<long long>((L) * kWeyl)));                \
  const auto step = P##_set1_epi64x(static_cast<long long>(2 * (L) * kWeyl));                       \
  const auto zero = P##_setzero_pd();                                                              \
  auto acc0 = P##_setzero_##SI(), acc1 = P##_setzero_##SI();                                       \
  for (; i + 2 * (L) <= len; i += 2 * (L)) {                                                       \
    const auto t0 = P##_add_epi32(P##_castpd_##SI(P##_add_pd(P##_loadu_pd(v + i), zero)), k0);     \
    const auto t1 = P##_add_epi32(P##_castpd_##SI(P##_add_pd(P##_loadu_pd(v + i + (L)), zero)), k1); \
    acc0 = P##_add_epi64(acc0, P##_mul_epu32(t0, P##_srli_epi64(t0, 32)));                        \
    acc1 = P##_add_epi64(acc1, P##_mul_epu32(t1, P##_srli_epi64(t1, 32)));                        \
    k0 = P##_add_epi64(k0, step);                                                                  \
    k1 = P##_add_epi64(k1, step);                                                                  \
  }
#endif

inline std::uint64_t checksum_term(double v, std::uint64_t key) {
  const std::uint64_t b = std::bit_cast<std::uint64_t>(v + 0.0);
  const std::uint32_t lo = static_cast<std::uint32_t>(b) + static_cast<std::uint32_t>(key);
  const std::uint32_t hi = static_cast<std::uint32_t>(b >> 32) + static_cast<std::uint32_t>(key >> 32);
  return static_cast<std::uint64_t>(lo) * hi;
}

}  // namespace

#if defined(__x86_64__)
namespace {

// The AVX2 form of checksum_range's loop, for processors that have it; returns the
// sum of the first len - len % 8 terms.
[[gnu::target("avx2")]] std::uint64_t checksum_avx2(const double* v, std::uint64_t key, std::uint64_t len) {
  std::uint64_t i = 0;
  __m256i k0 = _mm256_set_epi64x(static_cast<long long>(key + 3 * kWeyl), static_cast<long long>(key + 2 * kWeyl),
                                 static_cast<long long>(key + kWeyl), static_cast<long long>(key));
  QK_CHECKSUM_LOOP(_mm256, si256, 4)
  std::uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(acc0, acc1));
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

bool has_avx2() {
  static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return yes;
}

}  // namespace
#endif

std::uint64_t checksum_range(const double* v, std::uint64_t first, std::uint64_t len) {
  std::uint64_t key = (first + 1) * kWeyl, h = 0, i = 0;
#if defined(__x86_64__)
  if (len >= 8 && has_avx2()) {
    i = len - len % 8;
    h = checksum_avx2(v, key, len);
    key += i * kWeyl;
  }
#endif
#if defined(__SSE2__)
  __m128i k0 = _mm_set_epi64x(static_cast<long long>(key + kWeyl), static_cast<long long>(key));
  QK_CHECKSUM_LOOP(_mm, si128, 2)
  std::uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(acc0, acc1));
  h += lanes[0] + lanes[1];
  key = (first + 1 + i) * kWeyl;
#endif
  for (; i < len; ++i, key += kWeyl) h += checksum_term(v[i], key);
  return h;
}

std::uint64_t codes_fingerprint(const std::int64_t* codes, std::uint64_t n) {
  std::uint64_t h = n;
  for (std::uint64_t r = 0; r < n; ++r) h = fold(h, static_cast<std::uint64_t>(codes[r]));
  return h;
}

std::uint64_t rows_fingerprint(const double* v, std::uint64_t n, std::uint64_t k) {
  return checksum_range(v, 0, n * k);
}

}  // namespace qk
