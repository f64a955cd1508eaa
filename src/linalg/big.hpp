// Storage for the large dense blocks of the crossed core: a std::vector allocator
// that asks the kernel for transparent huge pages.
//
// A fit's dense block and the copy of its factor run to many megabytes. Each is
// touched first by the fit's first evaluation, and with 4 KiB
// pages that is one page fault for every 4 KiB, a cost a virtual machine makes large.
// Arrays of at least kHugeBytes are aligned to 2 MiB and marked for huge pages
// (madvise MADV_HUGEPAGE, Linux; a no-op where the kernel does not offer them): one
// fault per 2 MiB instead of one per 4 KiB. Placement never changes a result.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include "pool/out_of_memory.hpp"

namespace qk {

void* big_allocate(std::size_t bytes);
void big_release(void* p) noexcept;

template <class T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() = default;
  template <class U>
  BigAllocator(const BigAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(big_allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { big_release(p); }
  template <class U>
  bool operator==(const BigAllocator<U>&) const noexcept {
    return true;
  }
};

using BigVector = std::vector<double, BigAllocator<double>>;

}  // namespace qk

namespace qk {

// Exhausted memory naming the array that could not be had and its size ("the crossed
// design's dense block needs 3.0 GiB (20,000 × 20,000 doubles)").
class NeedMemory : public OutOfMemory {
 public:
  NeedMemory(const char* what_for, std::size_t rows, std::size_t cols) noexcept;
};

// v.resize(rows * cols), or NeedMemory naming `what_for` when the memory cannot be had
// (the product overflowing counts as that). v is unchanged on failure.
void resize_block(BigVector& v, std::size_t rows, std::size_t cols, const char* what_for);

}  // namespace qk
