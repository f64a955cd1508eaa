// Zero-filled memory of doubles taken from the system in whole pages, for the
// records of an accumulator: grown without copying and without making resident what
// was never written, and handed back range by range as a reader finishes with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk {

// A run of doubles that are zero until written, on whole pages (so 64-byte aligned).
// Growing keeps the values and adds zeros: on Linux the pages move rather than being
// copied, and a page of zeros costs no memory until it is written, so growing far
// ahead of need (doubling) costs address space only. Move-only.
class ZeroPages {
 public:
  ZeroPages() = default;
  ZeroPages(const ZeroPages&) = delete;
  ZeroPages& operator=(const ZeroPages&) = delete;
  ZeroPages(ZeroPages&& o) noexcept;
  ZeroPages& operator=(ZeroPages&& o) noexcept;
  ~ZeroPages();

  double* data() const { return data_; }
  std::uint64_t size() const { return size_; }
  // At least n doubles (never fewer than now); throws std::bad_alloc when the system
  // refuses, leaving the values as they were.
  void grow(std::uint64_t n);
  // The doubles [from, to) are done with: the whole pages among them go back to the
  // system and read as zeros again (the others keep their values).
  void release(std::uint64_t from, std::uint64_t to);
  // Every page back to the system; size() is 0.
  void clear();

 private:
  double* data_ = nullptr;
  std::uint64_t size_ = 0;
  std::size_t bytes_ = 0;  // mapped, whole pages
};

}  // namespace qk
