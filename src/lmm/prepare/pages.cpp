// Zero pages from anonymous private mappings: fresh ones read as zeros and take
// memory only once written; mremap moves a grown run's pages without copying them.
#include "lmm/prepare/pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <utility>

#include "lmm/prepare/data.hpp"

namespace qk {

namespace {

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

ZeroPages::ZeroPages(ZeroPages&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), bytes_(std::exchange(o.bytes_, 0)) {}

ZeroPages& ZeroPages::operator=(ZeroPages&& o) noexcept {
  if (this != &o) {
    clear();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    bytes_ = std::exchange(o.bytes_, 0);
  }
  return *this;
}

ZeroPages::~ZeroPages() { clear(); }

void ZeroPages::grow(std::uint64_t n) {
  if (n <= size_) return;
  const std::size_t page = page_size();
  const std::uint64_t want = size_mul(n, sizeof(double));
  if (want > SIZE_MAX - page) throw std::bad_alloc();
  const std::size_t bytes = (static_cast<std::size_t>(want) + page - 1) / page * page;
  if (bytes > bytes_) {
    void* p;
    if (!data_) {
      p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    } else {
#ifdef MREMAP_MAYMOVE
      p = mremap(data_, bytes_, bytes, MREMAP_MAYMOVE);
#else
      p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED) {
        std::memcpy(p, data_, bytes_);
        munmap(data_, bytes_);
      }
#endif
    }
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<double*>(p);
    bytes_ = bytes;
  }
  size_ = n;
}

void ZeroPages::release(std::uint64_t from, std::uint64_t to) {
  if (to > size_) to = size_;
  if (from >= to) return;
  const std::size_t page = page_size();
  const std::size_t lo = (static_cast<std::size_t>(from) * sizeof(double) + page - 1) / page * page;
  // To the end: the tail of the last page, never handed out, goes too.
  const std::size_t hi = to == size_ ? bytes_ : static_cast<std::size_t>(to) * sizeof(double) / page * page;
  // MADV_DONTNEED on a private anonymous mapping: the pages read as zeros from now on.
  if (lo < hi) madvise(reinterpret_cast<char*>(data_) + lo, hi - lo, MADV_DONTNEED);
}

void ZeroPages::clear() {
  if (data_) munmap(data_, bytes_);
  data_ = nullptr;
  size_ = 0;
  bytes_ = 0;
}

}  // namespace qk
