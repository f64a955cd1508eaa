#include "linalg/lapack.hpp"

#include "linalg/blas_call.hpp"
#include "linalg/tiled.hpp"
#include "pool/out_of_memory.hpp"

#include <cblas.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <new>

// The wheel's LAPACK symbols are the reference names with a scipy_ prefix.
extern "C" {
void scipy_dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t);
void scipy_dlauum_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t);
}

namespace qk::lapack {
namespace {

// A slot of OpenBLAS's buffer table: BUFFER_SIZE (32 MiB on x86-64) and a page, with
// room to spare.
constexpr std::size_t kSlotBytes = std::size_t{33} << 20;

std::atomic<unsigned long> g_under_way{0};
std::atomic<unsigned long> g_exits{0};
std::atomic<unsigned long> g_known{0};
std::mutex g_new_slot;
[[gnu::tls_model("initial-exec")]] thread_local int t_depth = 0;

}  // namespace

BlasCall::BlasCall() {
  if (t_depth++ > 0) return;
  exits_ = g_exits.load(std::memory_order_acquire);
  at_once_ = g_under_way.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (at_once_ <= g_known.load(std::memory_order_acquire)) return;
  g_new_slot.lock();
  serialised_ = true;
  if (at_once_ <= g_known.load(std::memory_order_acquire)) return;
  void* probe = mmap(nullptr, kSlotBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (probe == MAP_FAILED) {
    g_new_slot.unlock();
    g_under_way.fetch_sub(1, std::memory_order_acq_rel);
    --t_depth;
    throw OutOfMemory("OpenBLAS needs %zu MiB for a work buffer, more memory than is available",
                      kSlotBytes >> 20);
  }
  munmap(probe, kSlotBytes);
}

BlasCall::~BlasCall() {
  if (--t_depth > 0) return;
  if (serialised_) {
    // No guard ended while this call ran: the at_once_ - 1 others under way at its
    // start were under way throughout, inside OpenBLAS beside it.
    if (g_exits.load(std::memory_order_acquire) == exits_ && at_once_ > g_known.load(std::memory_order_relaxed))
      g_known.store(at_once_, std::memory_order_release);
    g_new_slot.unlock();
  }
  g_exits.fetch_add(1, std::memory_order_acq_rel);
  g_under_way.fetch_sub(1, std::memory_order_acq_rel);
}

unsigned long blas_slots_known() { return g_known.load(); }

namespace {

void one_thread() {
  static std::once_flag once;
  std::call_once(once, [] { scipy_openblas_set_num_threads(1); });
}

int as_int(std::size_t v) { return static_cast<int>(v); }

// Every pivot of a factor positive and finite.
bool pivots_ok(const double* a, std::size_t n, std::size_t ld) {
  for (std::size_t i = 0; i < n; ++i) {
    const double d = a[i * ld + i];
    if (!(d > 0.0) || !std::isfinite(d)) return false;
  }
  return true;
}

}  // namespace

bool cholesky(double* a, std::size_t n, std::size_t ld) {
  if (n == 0) return true;
  one_thread();
  if (n > kTile) {  // the tiles' tasks guard their own calls
    if (!tiled_cholesky(a, n, ld)) return false;
  } else {
    const BlasCall guard;
    int nn = as_int(n), lda = as_int(ld), info = 0;
    scipy_dpotrf_("U", &nn, a, &lda, &info, 1);
    if (info != 0) return false;
  }
  return pivots_ok(a, n, ld);
}

bool cholesky_inverse(double* l, std::size_t n, std::size_t ld, bool mirror) {
  if (n == 0) return true;
  one_thread();
  if (n > kTile) {
    if (!tiled_cholesky_inverse(l, n, ld)) return false;
  } else {
    const BlasCall guard;
    int nn = as_int(n), lda = as_int(ld), info = 0;
    if (!small_triangular_inverse(l, nn, lda)) return false;
    scipy_dlauum_("U", &nn, l, &lda, &info, 1);
    if (info != 0) return false;
  }
  if (!mirror) return true;
  // Mirrored in square blocks, so that the strided side stays in cache.
  constexpr std::size_t kBlock = 64;
  for (std::size_t r0 = 0; r0 < n; r0 += kBlock)
    for (std::size_t c0 = r0; c0 < n; c0 += kBlock)
      for (std::size_t r = r0; r < std::min(n, r0 + kBlock); ++r)
        for (std::size_t c = std::max(c0, r + 1); c < std::min(n, c0 + kBlock); ++c) l[r * ld + c] = l[c * ld + r];
  return true;
}

bool cholesky_inverse_from(const double* l, std::size_t ldl, double* out, std::size_t n, std::size_t ld) {
  if (n == 0) return true;
  one_thread();
  if (n > kTile) return tiled_cholesky_inverse_from(l, ldl, out, n, ld);
  for (std::size_t r = 0; r < n; ++r) std::copy(l + r * ldl, l + r * ldl + r + 1, out + r * ld);
  return cholesky_inverse(out, n, ld, false);
}

bool cholesky_inverse_from(const double* l, std::size_t ldl, double* out, std::size_t n, std::size_t ld,
                           const RowTask& use, const std::function<void()>* side) {
  one_thread();
  if (n > kTile) return tiled_cholesky_inverse_from(l, ldl, out, n, ld, &use, side);
  if (side) (*side)();
  if (n == 0) return true;
  if (!cholesky_inverse_from(l, ldl, out, n, ld)) return false;
  use(0, n);
  return true;
}

bool triangular_inverse(double* l, std::size_t n, std::size_t ld) {
  if (n == 0) return true;
  one_thread();
  if (n > kTile) return tiled_triangular_inverse(l, n, ld);
  const BlasCall guard;
  return small_triangular_inverse(l, as_int(n), as_int(ld));
}

void solve_right_transposed(const double* l, std::size_t n, std::size_t ld, double* b, std::size_t r,
                            std::size_t ldb) {
  if (n == 0 || r == 0) return;
  one_thread();
  const BlasCall guard;
  // Column-major: B' (n x r) <- L^-1 B' = U'^-1 B'.
  scipy_cblas_dtrsm(CblasColMajor, CblasLeft, CblasUpper, CblasTrans, CblasNonUnit, as_int(n), as_int(r), 1.0,
                    l, as_int(ld), b, as_int(ldb));
}

void subtract_gram(const double* b, std::size_t r, std::size_t k, std::size_t ldb, double* c,
                   std::size_t ldc) {
  if (r == 0 || k == 0) return;
  one_thread();
  const BlasCall guard;
  // Column-major: B is B' (k x r), and B B' = (B')' B'.
  scipy_cblas_dsyrk(CblasColMajor, CblasUpper, CblasTrans, as_int(r), as_int(k), -1.0, b, as_int(ldb), 1.0, c,
                    as_int(ldc));
}

void solve_transposed(const double* l, std::size_t n, std::size_t ld, double* x) {
  if (n == 0) return;
  one_thread();
  const BlasCall guard;
  scipy_cblas_dtrsv(CblasColMajor, CblasUpper, CblasNoTrans, CblasNonUnit, as_int(n), l, as_int(ld), x, 1);
}

void solve_lower(const double* l, std::size_t n, std::size_t ld, double* x) {
  if (n == 0) return;
  one_thread();
  const BlasCall guard;
  // Row-major lower L is column-major upper L': L x = b is (L')' x = b.
  scipy_cblas_dtrsv(CblasColMajor, CblasUpper, CblasTrans, CblasNonUnit, as_int(n), l, as_int(ld), x, 1);
}

}  // namespace qk::lapack
