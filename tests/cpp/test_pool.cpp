// The worker pool and the chunk plan: sizing, chunks, the parallel threshold, and
// run_tasks under failing tasks, failing allocations and interrupts, each pool size
// in a forked child.

#include "support.hpp"

// The test program's allocator: t_fail_in counts down the calling thread's allocations
// left before one throws (negative: never).
namespace {
thread_local long t_fail_in = -1;
}

// Every form but the aligned ones is replaced, so that allocation and release pair up
// (also under a sanitizer); the compiler cannot see that these use malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (t_fail_in >= 0 && t_fail_in-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return t_fail_in >= 0 && t_fail_in-- == 0 ? nullptr : std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS: a plain decimal count, at most 256; 0
// means one thread per logical CPU. Read once, at the pool's first use.
TEST(PoolSize, ReadFromEnvironmentOnce) {
  const std::pair<const char*, long long> values[] = {
      {nullptr, -1}, {"", -1}, {"abc", -1}, {"-3", -1}, {"+4", -1}, {" 4", -1}, {"4x", -1}, {"0", 0}, {"4", 4},
      {"0004", 4}, {"256", 256}, {"257", 256}, {"99999999999999999999999999", 256},
      {"18446744073709551617", 256}};  // 2^64 + 1 must not wrap to 1
  for (auto [value, expected] : values) EXPECT_EQ(qk::parse_pool_size(value), expected) << (value ? value : "unset");
  const std::string cpus = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"7", nullptr, "7"}, {"300", nullptr, "256"}, {"0", "3", cpus}, {"abc", "3", "3"}, {"x", "y", cpus}};
  for (const auto& [threads, rs_num_cpus, expected] : cases) {
    const std::string out = qkt::in_child(threads, [&] {
      if (rs_num_cpus) setenv("RAYON_RS_NUM_CPUS", rs_num_cpus, 1);
      const std::size_t first = qk::pool_threads();
      setenv("RAYON_NUM_THREADS", "3", 1);  // too late: the pool has started
      return std::to_string(first) + " " + std::to_string(qk::pool_threads());
    });
    EXPECT_EQ(out, expected + " " + expected) << threads;
  }
}

// A chunk holds max(64, 32768 / cost) items, the chunks covering every item once; they
// run on the pool only with two or more threads, more than one chunk and items * cost
// >= 262144 (overflow counts as large). map_chunks puts chunk k's result in slot k on
// any pool, the order callers merge in.
TEST(ChunkPlan, AlignedLengthsArePowersOfTwoThatDivideTheSpan) {
  // The aligned plan's length is the plan's rounded down to a power of two, so every
  // aligned chunk lies inside one span of aligned_chunk_span() items; the chunks still
  // cover the items in order.
  const std::uint64_t span = qk::aligned_chunk_span();
  EXPECT_EQ(span, qk::plan_chunks(1u << 20, 1).len);
  for (auto [cost, len] : {std::pair<std::uint64_t, std::uint64_t>{0, 32768}, {1, 32768}, {2, 16384}, {3, 8192},
                           {18, 1024}, {213, 128}, {511, 64}, {~0ull, 64}}) {
    const std::uint64_t items = 3 * span + 17;
    const qk::ChunkPlan plan = qk::plan_aligned_chunks(items, cost);
    EXPECT_EQ(plan.len, len) << cost;
    EXPECT_EQ(span % plan.len, 0u) << cost;
    EXPECT_EQ(plan.count, (items + len - 1) / len) << cost;
    EXPECT_EQ(plan.end(plan.count - 1), items) << cost;
    EXPECT_EQ(plan.parallel, qk::plan_chunks(items, cost).parallel) << cost;
  }
}

TEST(ChunkPlan, LengthCoverAndParallelThreshold) {
  for (auto [cost, len] : {std::pair<std::uint64_t, std::uint64_t>{0, 32768}, {1, 32768}, {2, 16384}, {18, 1820},
                           {213, 153}, {511, 64}, {512, 64}, {~0ull, 64}})
    for (std::uint64_t items : {0ul, 1ul, len - 1, len, len + 1, 7 * len + 3, 100000ul}) {
      const qk::ChunkPlan plan = qk::plan_chunks(items, cost);
      std::uint64_t next = 0;
      bool contiguous = plan.len == len && plan.items == items;
      for (std::uint64_t k = 0; k < plan.count; next = plan.end(k++))
        contiguous = contiguous && plan.begin(k) == next && plan.end(k) > next;
      EXPECT_TRUE(contiguous && next == items) << items << " items of cost " << cost;
    }
  const std::array<std::uint64_t, 4> cases[] = {  // items, cost, large, parallel
      {14563, 18, 0, 0},   {14564, 18, 1, 1},  // p = q = 1 blocks: m * 18
      {4095, 64, 0, 0},    {4096, 64, 1, 1},          {1, 262144, 1, 0},
      {64, 1u << 20, 1, 0}, {65, 1u << 20, 1, 1},      // a single chunk, then two
      {1ull << 32, 1ull << 32, 1, 1},    {0, ~0ull, 0, 0}};         // 2^64 wraps to 0
  for (const char* threads : {"1", "2", "7"}) {
    auto record = [&](bool from_table) {
      qkt::Bytes b;
      for (const auto& [items, cost, large, parallel] : cases) {
        const qk::ChunkPlan plan = qk::plan_chunks(items, cost);
        if (from_table) b.u64(large).u64(parallel && *threads != '1');
        else b.u64(qk::work_is_large(items, cost)).u64(plan.parallel);
        b.u64(plan.len).u64(plan.count);
      }
      const qk::ChunkPlan plan = qk::plan_chunks(100000, 64);
      const auto got = qk::map_chunks<std::uint64_t>(plan, [](auto k, auto b, auto) { return k * 64 + b; });
      for (std::uint64_t k = 0; k < plan.count; ++k) b.u64(from_table ? k * 64 + plan.begin(k) : got[k]);
      return b.buf;
    };
    EXPECT_EQ(qkt::in_child(threads, [&] { return record(false); }), record(true)) << threads;
  }
}

// Every task runs once, also when some fail; the first failure is rethrown after all
// have run (on a pool either may be first).
TEST(RunTasks, EveryTaskOnceAndFailuresAfterAll) {
  const auto report = [] {
    std::string out;
    for (bool parallel : {false, true}) {
      std::vector<std::atomic<int>> hits(400);
      const std::string caught = qkt::thrown<std::runtime_error>([&] {
        qk::run_tasks(hits.size(), parallel, [&](std::size_t k) {
          hits[k].fetch_add(1);
          if (k == 5 || k == 300) throw std::runtime_error(std::to_string(k));
        });
      });
      bool once = std::all_of(hits.begin(), hits.end(), [](auto& h) { return h.load() == 1; });
      qk::run_tasks(0, parallel, [&](std::size_t) { once = false; });
      out += std::to_string(once) + " caught " + caught + "; ";
    }
    return out;
  };
  EXPECT_EQ(qkt::in_child("1", report), "1 caught 5; 1 caught 5; ");
  for (const char* threads : {"2", "7"}) {
    const std::string out = qkt::in_child(threads, report);
    EXPECT_TRUE(out == "1 caught 5; 1 caught 5; " || out == "1 caught 5; 1 caught 300; ") << out;
  }
}

// Submitting a parallel step allocates nothing: with the calling thread's allocations
// failing, every step still runs every task once and the pool serves later steps.
TEST(RunTasks, FailingAllocationsOnTheCallingThreadLeaveThePoolSound) {
  const std::string out = qkt::in_child("4", [] {
    alarm(60);           // a hang ends the child, which fails the test
    qk::pool_threads();  // starting the pool allocates
    std::vector<std::atomic<int>> hits(64);
    const std::function<void(std::size_t)> body = [&](std::size_t k) { hits[k].fetch_add(1); };
    std::size_t steps = 0, failed = 0;
    for (int round = 0; round < 400; ++round) {
      for (auto& h : hits) h.store(0);
      t_fail_in = 0;
      try {
        qk::run_tasks(hits.size(), true, body);
      } catch (const std::bad_alloc&) {
        ++failed;
      }
      t_fail_in = -1;
      steps += std::all_of(hits.begin(), hits.end(), [](auto& h) { return h.load() == 1; });
    }
    return std::to_string(qk::pool_threads()) + " threads, " + std::to_string(steps) + " complete steps, " +
           std::to_string(failed) + " failed";
  });
  EXPECT_EQ(out, "4 threads, 400 complete steps, 0 failed");
}

// A check that fires after `after` polls, counting them.
struct Countdown {
  int after;
  std::atomic<int> polls{0};
  static bool poll(void* self) {
    auto* c = static_cast<Countdown*>(self);
    return c->polls.fetch_add(1) + 1 >= c->after;
  }
};

// Tasks of 20 ms: an interrupt abandons the step at the second poll (100 ms apart, the
// first 100 ms after the first task: at least 200 ms), none running once run_tasks has
// thrown; later checks throw without polling; later steps run in full; the innermost
// of nested scopes is in force.
TEST(RunTasks, InterruptAbandonsTheRestOfAStep) {
  const auto report = [] {
    std::string out;
    for (bool parallel : {false, true}) {
      std::vector<std::atomic<int>> hits(200);
      std::atomic<bool> returned{false};
      std::atomic<int> late{0};
      Countdown check{2}, never{1 << 30};
      std::string caught;
      const auto t0 = std::chrono::steady_clock::now();
      {
        qk::InterruptScope scope(&Countdown::poll, &check);
        caught = qkt::thrown<qk::Interrupted>([&] {
          qk::run_tasks(hits.size(), parallel, [&](std::size_t k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            hits[k].fetch_add(1);
            if (returned.load()) late.fetch_add(1);
          });
        });
        returned = true;
        if (qkt::thrown<qk::Interrupted>(qk::check_interrupt) != "none") caught += ", then thrown again";
      }
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      int ran = 0;
      for (auto& h : hits) ran += h.exchange(0);
      out += caught + "; polls " + std::to_string(check.polls) + (ran > 0 && ran < 60 ? "; some" : "; " + std::to_string(ran)) +
             " ran" + (ms >= 200 && ms < 800 ? "" : "; after " + std::to_string(ms) + " ms") + "; late " + std::to_string(late) + "\n";
      qk::InterruptScope outer(&Countdown::poll, &check);  // fired already, but not innermost
      {
        qk::InterruptScope inner(&Countdown::poll, &never);
        qk::run_tasks(hits.size() / 10, parallel, [&](std::size_t k) { hits[k].fetch_add(1); });
      }
      ran = 0;
      for (auto& h : hits) ran += h.load();
      out += "after: " + std::to_string(ran) + "\n";
    }
    return out;
  };
  const std::string expected = "interrupted, then thrown again; polls 2; some ran; late 0\nafter: 20\n";
  for (const char* threads : {"1", "3"}) EXPECT_EQ(qkt::in_child(threads, report), expected + expected) << threads;
}

// A step whose one long task runs on a worker while the submitter waits: the
// submitter's check keeps running while it waits, and the worker's task, polling
// check_interrupt, ends at the next of its checks once the step is interrupted (else
// it would run 100,000 checks of 1 ms).
TEST(RunTasks, InterruptReachesALongTaskOnAWorker) {
  const auto report = [] {
    Countdown check{3};
    std::atomic<int> checks{0};
    std::atomic<bool> ended_by_interrupt{false}, worker_started{false};
    const std::thread::id submitter = std::this_thread::get_id();
    std::string caught;
    {
      qk::InterruptScope scope(&Countdown::poll, &check);
      caught = qkt::thrown<qk::Interrupted>([&] {
        qk::run_tasks(2, true, [&](std::size_t) {
          if (std::this_thread::get_id() == submitter) {
            // Short, but held until a worker has claimed the other task, so that the
            // long one runs on the worker.
            while (!worker_started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return;
          }
          worker_started = true;
          try {
            for (int i = 0; i < 100000; ++i) {
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
              checks.fetch_add(1);
              qk::check_interrupt();
            }
          } catch (const qk::Interrupted&) {
            ended_by_interrupt = true;
            throw;
          }
        });
      });
    }
    return caught + (ended_by_interrupt ? ", the worker's task ended by it" : ", the worker's task ran on") +
           (checks < 100000 ? "" : " to its end");
  };
  EXPECT_EQ(qkt::in_child("2", report), "interrupted, the worker's task ended by it");
}

}  // namespace
