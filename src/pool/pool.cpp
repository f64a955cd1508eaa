// The process-wide worker pool, its interrupt checks and the chunk plan.
#include "pool/pool.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <time.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace qk {

namespace {

constexpr std::uint64_t kChunkWork = 32768;
constexpr std::uint64_t kParallelWork = 262144;
constexpr std::uint64_t kMinChunk = 64;

// Address space released to each worker as it starts (see Pool).
constexpr std::size_t kThreadReserve = std::size_t{1} << 20;

// The interrupt check polls at most this often; a call is abandoned within about
// this time plus the length of one task.
constexpr std::int64_t kPollIntervalNs = 100'000'000;

// Initial-exec: these live in the thread's static block, allocated with the thread,
// so reading them costs one load and never allocates.
[[gnu::tls_model("initial-exec")]] thread_local InterruptScope* t_scope = nullptr;
// On a worker: the cancel flag of the job whose tasks it runs (none between jobs), set
// when the submitter's interrupt check fired, so that check_interrupt in a long task
// running on a worker ends it too.
[[gnu::tls_model("initial-exec")]] thread_local const std::atomic<bool>* t_cancel = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local bool t_prepared = false;

// A clock of a few milliseconds' resolution that costs a few nanoseconds to read.
std::int64_t coarse_now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// One submitted parallel step. The submitting thread and the workers claim task
// indices from `next`; the submitter waits until every task has finished (or was
// abandoned) and no worker still holds a reference to the job (it lives on the
// submitter's stack). The job itself is the queue entry: submitting links it into
// the pool's queue and allocates nothing.
struct Job {
  const std::function<void(std::size_t)>* body = nullptr;
  std::size_t n_tasks = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> inflight{0};  // workers that took the job and are in work()
  std::size_t done = 0;                  // tasks finished or abandoned, guarded by mutex
  std::exception_ptr error;              // first failure, guarded by mutex
  std::mutex mutex;
  std::condition_variable changed;
  bool interrupted = false;              // written and read by the submitter only
  std::atomic<bool> cancel{false};       // set by the submitter once interrupted; read by workers' tasks
  // Guarded by the pool's mutex: the next queued job, and how many workers may still
  // take this one from the queue.
  Job* queued_next = nullptr;
  std::size_t wanted = 0;

  // Claims and runs tasks until none is left. The submitter passes its interrupt
  // scope: when the check fires, the tasks nobody has claimed yet are abandoned.
  void work(InterruptScope* scope) {
    std::size_t ran = 0, abandoned = 0;
    std::exception_ptr failure;
    for (;;) {
      if (scope && scope->fired()) {
        abandoned = abandon();
        break;
      }
      std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
      if (k >= n_tasks) break;
      try {
        (*body)(k);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
      ++ran;
    }
    if (ran + abandoned == 0) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (failure && !error) error = failure;
    done += ran + abandoned;
    if (done == n_tasks) changed.notify_all();
  }

  // The submitter's answer to its fired check: the tasks nobody has claimed are
  // abandoned (their count returned, to be added to `done`), and the tasks under way
  // on workers are asked to stop at their next check_interrupt.
  std::size_t abandon() {
    interrupted = true;
    cancel.store(true, std::memory_order_relaxed);
    const std::size_t k = next.exchange(n_tasks);
    return k < n_tasks ? n_tasks - k : 0;
  }
};

// Worker threads wait for jobs on a queue. The pool is never destroyed: worker
// threads may still be blocked on it while the process exits, and tearing it down
// from a static destructor would race with a thread that is still evaluating.
class Pool {
 public:
  // When the system refuses a thread the pool keeps the ones it got: results do not
  // depend on the number of threads. Each worker sets up what throwing needs before
  // the next is started. Under an address-space limit a worker that could not do so
  // would end the process (the runtime aborts when it cannot allocate a thread's
  // exception state), so some address space is reserved before each thread is
  // created and handed to it as it sets up; a reservation that fails starts no more
  // threads.
  explicit Pool(std::size_t threads) : threads_(1) {
    std::unique_lock<std::mutex> lock(mutex_);  // the new worker waits for it before setting up
    for (std::size_t i = 1; i < threads; ++i) {
      void* reserve = mmap(nullptr, kThreadReserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (reserve == MAP_FAILED) break;
      bool started = true;
      try {
        std::thread([this] { loop(); }).detach();
      } catch (...) {
        started = false;
      }
      munmap(reserve, kThreadReserve);
      if (!started) break;
      ++threads_;
      started_.wait(lock, [&] { return ready_ == threads_ - 1; });
    }
  }

  std::size_t threads() const { return threads_; }

  void run(Job& job, InterruptScope* scope) {
    std::size_t helpers = threads_ - 1;
    if (job.n_tasks - 1 < helpers) helpers = job.n_tasks - 1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job.wanted = helpers;
      job.queued_next = nullptr;
      if (tail_) tail_->queued_next = &job; else head_ = &job;
      tail_ = &job;
    }
    if (helpers == 1) wake_.notify_one(); else wake_.notify_all();
    job.work(scope);
    {
      // No task is left to claim: a job still queued is useless to the workers that
      // have not taken it, and must not outlive this call in the queue.
      std::lock_guard<std::mutex> lock(mutex_);
      if (job.wanted > 0) unlink(job);
    }
    std::unique_lock<std::mutex> lock(job.mutex);
    const auto finished = [&] { return job.done == job.n_tasks && job.inflight.load() == 0; };
    // While workers finish their tasks the submitter's interrupt check keeps running
    // (a worker's task may be long: one group's quadrature), so that an interrupt
    // reaches the tasks under way instead of waiting for them.
    while (scope && !job.interrupted && !finished()) {
      if (job.changed.wait_for(lock, std::chrono::milliseconds(20), finished)) break;
      lock.unlock();
      const bool fired = scope->fired();
      lock.lock();
      if (fired) job.done += job.abandon();
    }
    job.changed.wait(lock, finished);
  }

 private:
  // Removes job from the queue; the pool's mutex is held.
  void unlink(Job& job) {
    Job* prev = nullptr;
    for (Job* j = head_; j; prev = j, j = j->queued_next) {
      if (j != &job) continue;
      (prev ? prev->queued_next : head_) = j->queued_next;
      if (tail_ == j) tail_ = prev;
      break;
    }
    job.wanted = 0;
  }

  void loop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);  // the reservation has been released
      prepare_thread_for_exceptions();
      ++ready_;
    }
    started_.notify_all();
    for (;;) {
      Job* job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return head_ != nullptr; });
        job = head_;
        if (--job->wanted == 0) unlink(*job);
        job->inflight.fetch_add(1);
      }
      t_cancel = &job->cancel;
      job->work(nullptr);
      t_cancel = nullptr;
      std::lock_guard<std::mutex> lock(job->mutex);
      job->inflight.fetch_sub(1);
      job->changed.notify_all();
    }
  }

  std::size_t threads_;
  std::size_t ready_ = 0;  // workers that have started, guarded by mutex_
  std::mutex mutex_;
  std::condition_variable wake_, started_;
  Job* head_ = nullptr;  // the queue, guarded by mutex_
  Job* tail_ = nullptr;
};

std::mutex g_start_mutex;
Pool* g_pool = nullptr;

void reset_after_fork() {
  // The child of a fork has only the forking thread: the parent's workers do not
  // exist there. Forget the pool (leaking it: its mutexes may be held by threads
  // that vanished) so that the child's first parallel step starts a fresh one.
  g_pool = nullptr;
  new (&g_start_mutex) std::mutex();
}

std::size_t logical_cpus() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

std::size_t size_from_environment() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    long long v = parse_pool_size(std::getenv(name));
    if (v > 0) return static_cast<std::size_t>(v);
    if (v == 0) break;
  }
  std::size_t n = logical_cpus();
  return n > kMaxPoolThreads ? kMaxPoolThreads : n;
}

Pool& pool() {
  std::lock_guard<std::mutex> lock(g_start_mutex);
  if (g_pool == nullptr) {
    static bool registered = false;
    if (!registered) {
      pthread_atfork(nullptr, nullptr, reset_after_fork);
      registered = true;
    }
    g_pool = new Pool(size_from_environment());
  }
  return *g_pool;
}

}  // namespace

InterruptScope::InterruptScope(Poll poll, void* context)
    : poll_(poll), context_(context), outer_(t_scope), due_ns_(-1) {
  t_scope = this;
}

InterruptScope::~InterruptScope() { t_scope = outer_; }

bool InterruptScope::fired() {
  if (fired_) return true;
  // The second check starts the clock, so that a call that checks once (one small
  // evaluation) reads no clock at all; long work checks early and often.
  if (due_ns_ <= 0) {  // -1: no check yet, 0: one
    if (due_ns_++ < 0) return false;
    due_ns_ = coarse_now_ns() + kPollIntervalNs;
    return false;
  }
  if (coarse_now_ns() < due_ns_) return false;
  fired_ = poll_(context_);
  due_ns_ = coarse_now_ns() + kPollIntervalNs;
  return fired_;
}

void check_interrupt() {
  if (t_scope && t_scope->fired()) throw Interrupted();
  if (t_cancel && t_cancel->load(std::memory_order_relaxed)) throw Interrupted();
}

void prepare_thread_for_exceptions() {
  if (t_prepared) return;
  // Reading the count of uncaught exceptions makes the runtime allocate this thread's
  // exception globals. The read is kept: the function is declared pure, and an unused
  // call would be dropped.
  volatile int uncaught = std::uncaught_exceptions();
  (void)uncaught;
  t_prepared = true;
}

long long parse_pool_size(const char* value) {
  if (value == nullptr || *value == '\0') return -1;
  unsigned long long v = 0;
  for (const char* c = value; *c; ++c) {
    if (*c < '0' || *c > '9') return -1;
    if (v < kMaxPoolThreads) v = v * 10 + static_cast<unsigned>(*c - '0');
  }
  if (v > kMaxPoolThreads) v = kMaxPoolThreads;
  return static_cast<long long>(v);
}

std::size_t pool_threads() { return pool().threads(); }

void run_tasks(std::size_t n_tasks, bool parallel, const std::function<void(std::size_t)>& body) {
  if (n_tasks == 0) return;
  InterruptScope* scope = t_scope;
  if (!parallel || n_tasks == 1 || pool_threads() < 2) {
    // Same contract as the pool: every task runs, then the first failure is rethrown.
    std::exception_ptr failure;
    for (std::size_t k = 0; k < n_tasks; ++k) {
      if (k > 0 && scope && scope->fired()) throw Interrupted();
      try {
        body(k);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
    return;
  }
  Job job;
  job.body = &body;
  job.n_tasks = n_tasks;
  pool().run(job, scope);
  if (job.interrupted) throw Interrupted();
  if (job.error) std::rethrow_exception(job.error);
}

bool work_is_large(std::uint64_t items, std::uint64_t cost) {
  unsigned __int128 w = static_cast<unsigned __int128>(items) * cost;
  return w >= kParallelWork;
}

ChunkPlan plan_chunks(std::uint64_t items, std::uint64_t cost) {
  if (cost == 0) cost = 1;
  ChunkPlan plan;
  plan.items = items;
  plan.len = kChunkWork / cost;
  if (plan.len < kMinChunk) plan.len = kMinChunk;
  plan.count = items / plan.len + (items % plan.len != 0);
  plan.parallel = items > plan.len && work_is_large(items, cost) && pool_threads() >= 2;
  return plan;
}

ChunkPlan plan_aligned_chunks(std::uint64_t items, std::uint64_t cost) {
  static_assert(std::has_single_bit(kChunkWork) && std::has_single_bit(kMinChunk));
  ChunkPlan plan = plan_chunks(items, cost);
  plan.len = std::bit_floor(plan.len);
  plan.count = items / plan.len + (items % plan.len != 0);
  plan.parallel = items > plan.len && work_is_large(items, cost == 0 ? 1 : cost) && pool_threads() >= 2;
  return plan;
}

std::uint64_t aligned_chunk_span() { return kChunkWork; }

}  // namespace qk
