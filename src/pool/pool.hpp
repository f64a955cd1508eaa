// Process-wide worker pool and the chunk plan shared by every parallel loop.
//
// Reproducibility contract: the way a loop is cut into chunks depends only on the
// number of items and the per-item work estimate, never on the number of threads,
// and callers merge chunk results in chunk order. Whether the chunks ran on the
// pool or one after another on the calling thread therefore never changes a result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

namespace qk {

// Number of threads the pool runs chunks on (counting the submitting thread).
// Reading it starts the pool. The size is read once from the environment:
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (a positive integer sets the size,
// 0 means one per logical CPU, anything else falls through), else the number of
// logical CPUs. Values above kMaxPoolThreads are capped.
std::size_t pool_threads();

inline constexpr std::size_t kMaxPoolThreads = 256;

// Parses one environment value as the pool does: nullopt-like -1 when it does not
// decide the size (unset, empty or not a non-negative integer), 0 for "one per
// logical CPU", else the requested count (capped at kMaxPoolThreads).
long long parse_pool_size(const char* value);

// Runs body(0) .. body(n_tasks - 1). With parallel true and a pool of at least two
// threads the tasks are spread over the workers and the calling thread, which takes
// part and returns when all have finished; otherwise they run in order on the
// calling thread. Tasks must write disjoint data. The first exception thrown by a
// task is rethrown on the calling thread after every task has finished.
//
// Submitting allocates nothing, so it cannot fail half-way. When the calling thread
// has an InterruptScope whose check fires, the tasks not yet begun are abandoned and,
// once the ones under way have finished, Interrupted is thrown instead.
void run_tasks(std::size_t n_tasks, bool parallel, const std::function<void(std::size_t)>& body);

// Thrown on the calling thread when its interrupt check asked to abandon the work.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

// Makes `poll(context)` the interrupt check of the constructing thread for the
// scope's lifetime (scopes nest; the innermost is in force). The check runs only on
// that thread, between tasks of run_tasks and in check_interrupt, once about every
// 100 ms counted from the scope's first such point, so long calls can be abandoned
// within a fraction of a second at no cost to short ones (a call whose steps are
// single tasks never checks). Once it has returned true, every later check in the
// scope throws Interrupted without calling it again. The check must not throw.
class InterruptScope {
 public:
  using Poll = bool (*)(void* context);
  InterruptScope(Poll poll, void* context);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // Whether the check is due and fired (polls when due); true again once fired.
  bool fired();

 private:
  Poll poll_;
  void* context_;
  InterruptScope* outer_;
  std::int64_t due_ns_;
  bool fired_ = false;
};

// For long loops, of the calling thread or inside a task: throws Interrupted when the
// thread's interrupt check (if any) fires or, on a worker, when the submitter of the
// task's step was interrupted (the submitter keeps checking while it waits for its
// workers, so a long task on a worker ends too). Cheap enough to call every few
// thousand rows.
void check_interrupt();

// Sets up, on the calling thread, the thread-local state of the C++ runtime that
// throwing an exception needs (it is otherwise allocated on first use, which aborts
// the process when memory is exhausted). Pool workers do it when they start; the
// interpreter binding does it at the start of every call.
void prepare_thread_for_exceptions();

// The chunk plan. Each parallel loop states a per-item work estimate `cost` (0
// counts as 1); a chunk holds max(64, floor(32768 / cost)) items, and the chunks
// run on the pool only when there is more than one chunk, items * cost reaches
// 262144 (or overflows 64 bits), and the pool has at least two threads.
struct ChunkPlan {
  std::uint64_t items = 0;
  std::uint64_t len = 64;      // items per chunk (the last chunk holds the rest)
  std::uint64_t count = 0;     // number of chunks
  bool parallel = false;       // run on the pool

  std::uint64_t begin(std::uint64_t chunk) const { return chunk * len; }
  std::uint64_t end(std::uint64_t chunk) const {
    std::uint64_t e = (chunk + 1) * len;
    return e < items ? e : items;
  }
};

ChunkPlan plan_chunks(std::uint64_t items, std::uint64_t cost);

// plan_chunks with each chunk's length rounded down to a power of two, so that the
// chunks of any two such plans over the same items nest: every aligned chunk of a
// costlier plan lies inside one of a cheaper plan's, and every run of
// aligned_chunk_span() items starting at a multiple of it is a union of whole chunks
// of every aligned plan. A loop whose sums are kept per chunk can then take its items'
// work in any order of such spans and add the same values in the same order.
ChunkPlan plan_aligned_chunks(std::uint64_t items, std::uint64_t cost);

// The longest chunk of an aligned plan (that of cost 1), a power of two.
std::uint64_t aligned_chunk_span();

// Whether `items * cost` is large enough to be worth the pool (>= 262144, or the
// product overflows 64 bits).
bool work_is_large(std::uint64_t items, std::uint64_t cost);

// Runs fn(chunk, begin, end) for every chunk of the plan and returns the results in
// chunk order, ready to be merged sequentially by the caller.
template <class Acc, class Fn>
std::vector<Acc> map_chunks(const ChunkPlan& plan, Fn&& fn) {
  std::vector<Acc> out(plan.count);
  run_tasks(plan.count, plan.parallel, [&](std::size_t k) {
    out[k] = fn(static_cast<std::uint64_t>(k), plan.begin(k), plan.end(k));
  });
  return out;
}

// Like map_chunks for loops that write disjoint slices and reduce nothing.
template <class Fn>
void for_chunks(const ChunkPlan& plan, Fn&& fn) {
  run_tasks(plan.count, plan.parallel, [&](std::size_t k) {
    fn(static_cast<std::uint64_t>(k), plan.begin(k), plan.end(k));
  });
}

}  // namespace qk
