#include "linalg/big.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>

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

namespace {

// n with thousands separated by commas, into out (at least 32 bytes).
void with_commas(std::size_t n, char* out) {
  char digits[32];
  const int len = std::snprintf(digits, sizeof digits, "%zu", n);
  int o = 0;
  for (int i = 0; i < len; ++i) {
    if (i > 0 && (len - i) % 3 == 0) out[o++] = ',';
    out[o++] = digits[i];
  }
  out[o] = '\0';
}

}  // namespace

NeedMemory::NeedMemory(const char* what_for, std::size_t rows, std::size_t cols) noexcept {
  char r[32], c[32];
  with_commas(rows, r);
  with_commas(cols, c);
  const double bytes = static_cast<double>(rows) * static_cast<double>(cols) * sizeof(double);
  const double gib = bytes / static_cast<double>(std::size_t{1} << 30);
  if (gib >= 0.1)
    std::snprintf(text_, sizeof text_, "%s needs %.1f GiB (%s \u00d7 %s doubles), more memory than is available",
                  what_for, gib, r, c);
  else
    std::snprintf(text_, sizeof text_, "%s needs %.1f MiB (%s \u00d7 %s doubles), more memory than is available",
                  what_for, bytes / static_cast<double>(std::size_t{1} << 20), r, c);
}

void resize_block(BigVector& v, std::size_t rows, std::size_t cols, const char* what_for) {
  if (cols != 0 && rows > v.max_size() / cols) throw NeedMemory(what_for, rows, cols);
  try {
    v.resize(rows * cols);
  } catch (const std::bad_alloc&) {
    throw NeedMemory(what_for, rows, cols);
  } catch (const std::length_error&) {
    throw NeedMemory(what_for, rows, cols);
  }
}

}  // namespace qk
