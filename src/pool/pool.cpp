#include "pool/pool.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace qk {

namespace {

constexpr std::uint64_t kChunkWork = 32768;
constexpr std::uint64_t kParallelWork = 262144;
constexpr std::uint64_t kMinChunk = 64;

// One submitted parallel step. The submitting thread and the workers claim task
// indices from `next`; the submitter waits until every task has finished and no
// worker still holds a reference to the job (it lives on the submitter's stack).
struct Job {
  const std::function<void(std::size_t)>* body = nullptr;
  std::size_t n_tasks = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> inflight{0};  // workers that popped the job and are in work()
  std::size_t done = 0;                  // guarded by mutex
  std::exception_ptr error;              // first failure, guarded by mutex
  std::mutex mutex;
  std::condition_variable changed;

  void work() {
    std::size_t ran = 0;
    std::exception_ptr failure;
    for (;;) {
      std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
      if (k >= n_tasks) break;
      try {
        (*body)(k);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
      ++ran;
    }
    if (ran == 0) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (failure && !error) error = failure;
    done += ran;
    if (done == n_tasks) changed.notify_all();
  }
};

// Worker threads wait for jobs on a queue. The pool is never destroyed: worker
// threads may still be blocked on it while the process exits, and tearing it down
// from a static destructor would race with a thread that is still evaluating.
class Pool {
 public:
  // When the system refuses a thread the pool keeps the ones it got: results do not
  // depend on the number of threads.
  explicit Pool(std::size_t threads) : threads_(1) {
    for (std::size_t i = 1; i < threads; ++i) {
      try {
        std::thread([this] { loop(); }).detach();
      } catch (const std::system_error&) {
        break;
      }
      ++threads_;
    }
  }

  std::size_t threads() const { return threads_; }

  void run(Job& job) {
    std::size_t helpers = threads_ - 1;
    if (job.n_tasks - 1 < helpers) helpers = job.n_tasks - 1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t i = 0; i < helpers; ++i) queue_.push_back(&job);
    }
    if (helpers == 1) wake_.notify_one(); else wake_.notify_all();
    job.work();
    {
      // No task is left to claim: entries nobody popped yet are useless, and must
      // not outlive the job.
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = queue_.begin(); it != queue_.end();) {
        if (*it == &job) it = queue_.erase(it); else ++it;
      }
    }
    std::unique_lock<std::mutex> lock(job.mutex);
    job.changed.wait(lock, [&] {
      return job.done == job.n_tasks && job.inflight.load() == 0;
    });
  }

 private:
  void loop() {
    for (;;) {
      Job* job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return !queue_.empty(); });
        job = queue_.front();
        queue_.pop_front();
        job->inflight.fetch_add(1);
      }
      job->work();
      std::lock_guard<std::mutex> lock(job->mutex);
      job->inflight.fetch_sub(1);
      job->changed.notify_all();
    }
  }

  std::size_t threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job*> queue_;
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
  if (!parallel || n_tasks == 1 || pool_threads() < 2) {
    // Same contract as the pool: every task runs, then the first failure is rethrown.
    std::exception_ptr failure;
    for (std::size_t k = 0; k < n_tasks; ++k) {
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
  pool().run(job);
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

}  // namespace qk
