#include "linalg/big.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qk {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBytes = std::size_t{4} << 20;
}  // namespace

void* big_allocate(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (bytes < kHugeBytes) {
    if (void* p = std::malloc(bytes)) return p;
    throw std::bad_alloc();
  }
  // aligned_alloc wants a multiple of the alignment; free() releases either kind.
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (!p) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(p, rounded, MADV_HUGEPAGE);  // advice only: refused, the pages are ordinary
#endif
  return p;
}

void big_release(void* p) noexcept { std::free(p); }

}  // namespace qk
