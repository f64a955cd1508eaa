// Preloaded into a test's interpreter (LD_PRELOAD) to exhaust memory on demand: every
// replaceable operator new of the process is defined here, and while armed the k-th
// allocation from then on fails (the throwing forms throw std::bad_alloc, the nothrow
// forms return nullptr), once or, in persistent mode, from then on. The interpreter and
// NumPy allocate with malloc, never with operator new, so while armed around one call of
// the extension the count is that call's own allocations, on any thread.
//
// Every allocation is counted while it lives, armed or not, so that a test can compare
// the number of live blocks before and after a series of failing calls.
//
// Controlled through ctypes: failing_new_arm(k, persistent), failing_new_disarm(),
// failing_new_seen() (allocations counted since arming), failing_new_failed() (how many
// were failed), failing_new_failed_elsewhere() (how many of those on threads other than
// the arming one: the worker pool's) and failing_new_live().
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include <pthread.h>

namespace {

std::atomic<long> g_target{0};  // 0: disarmed
std::atomic<long> g_seen{0};
std::atomic<long> g_failed{0};
std::atomic<long> g_failed_elsewhere{0};  // on threads other than the one that armed
std::atomic<pthread_t> g_arming_thread{};
std::atomic<bool> g_persistent{false};
std::atomic<long> g_live{0};

// Whether this allocation is to fail.
bool should_fail() {
  const long target = g_target.load(std::memory_order_acquire);
  if (target == 0) return false;
  const long seen = g_seen.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (seen == target || (seen > target && g_persistent.load(std::memory_order_relaxed))) {
    g_failed.fetch_add(1, std::memory_order_relaxed);
    if (!pthread_equal(pthread_self(), g_arming_thread.load())) g_failed_elsewhere.fetch_add(1);
    return true;
  }
  return false;
}

void* allocate(std::size_t size, std::size_t align) {
  if (should_fail()) return nullptr;
  if (size == 0) size = 1;
  void* p = nullptr;
  if (align <= alignof(std::max_align_t)) {
    p = std::malloc(size);
  } else if (posix_memalign(&p, align, size) != 0) {
    p = nullptr;
  }
  if (p) g_live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void release(void* p) {
  if (!p) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
  void* p = allocate(size, align);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) void failing_new_arm(long k, int persistent) {
  g_seen.store(0);
  g_failed.store(0);
  g_failed_elsewhere.store(0);
  g_arming_thread.store(pthread_self());
  g_persistent.store(persistent != 0);
  g_target.store(k, std::memory_order_release);
}
__attribute__((visibility("default"))) void failing_new_disarm() { g_target.store(0, std::memory_order_release); }
__attribute__((visibility("default"))) long failing_new_seen() { return g_seen.load(); }
__attribute__((visibility("default"))) long failing_new_failed() { return g_failed.load(); }
__attribute__((visibility("default"))) long failing_new_failed_elsewhere() { return g_failed_elsewhere.load(); }
__attribute__((visibility("default"))) long failing_new_live() { return g_live.load(); }
}

void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
