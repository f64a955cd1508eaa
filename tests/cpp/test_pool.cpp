// The worker pool and the chunk plan: sizing from the environment, the cut of a
// loop into chunks, the parallel threshold, and run_tasks' guarantees (every task
// once, failures surfaced only after all tasks ran). Anything that depends on the
// pool size runs in a forked child with that size.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pool/pool.hpp"
#include "support.hpp"

namespace {

using qk::plan_chunks;

TEST(PoolSize, ParseEnvironmentValue) {
  struct Case {
    const char* value;
    long long expected;
  };
  const Case cases[] = {
      {nullptr, -1}, {"", -1},   {"abc", -1},  {"-3", -1},  {"+4", -1},   {" 4", -1},
      {"4x", -1},    {"0", 0},   {"4", 4},     {"0004", 4}, {"256", 256}, {"257", 256},
      {"2560", 256}, {"99999999999999999999999999", static_cast<long long>(qk::kMaxPoolThreads)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    EXPECT_EQ(qk::parse_pool_size(c.value), c.expected);
  }
}

// The size is read once, at the pool's first use, from RAYON_NUM_THREADS and then
// RAYON_RS_NUM_CPUS; 0 and "no decision" differ (0 stops the search).
TEST(PoolSize, ReadFromEnvironmentAtStart) {
  const std::uint64_t cpus = std::max(1u, std::thread::hardware_concurrency());
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;  // nullptr: unset
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"1", nullptr, 1},   {"2", nullptr, 2}, {"7", nullptr, 7},  {"300", nullptr, 256},
      {"0", "3", cpus},    {"abc", "3", 3},   {"", "5", 5},       {"-2", "0", cpus},
      {"x", "y", cpus},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.num_threads) + " / " + (c.rs_num_cpus ? c.rs_num_cpus : "unset"));
    std::string out = qkt::in_child(c.num_threads, [&] {
      if (c.rs_num_cpus) setenv("RAYON_RS_NUM_CPUS", c.rs_num_cpus, 1);
      std::size_t first = qk::pool_threads();
      setenv("RAYON_NUM_THREADS", "3", 1);  // too late: the pool has started
      return std::to_string(first) + " " + std::to_string(qk::pool_threads());
    });
    EXPECT_EQ(out, std::to_string(c.expected) + " " + std::to_string(c.expected));
  }
}

TEST(ChunkPlan, LengthFromCost) {
  struct Case {
    std::uint64_t cost, len;
  };
  const Case cases[] = {
      {0, 32768},  {1, 32768}, {2, 16384}, {18, 1820}, {146, 224}, {213, 153},
      {300, 109},  {511, 64},  {512, 64},  {513, 64},  {5212, 64}, {~std::uint64_t{0}, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cost);
    EXPECT_EQ(plan_chunks(100000, c.cost).len, c.len);
  }
}

TEST(ChunkPlan, ChunksCoverEveryItemOnce) {
  for (std::uint64_t cost : {0u, 213u, 5212u}) {
    for (std::uint64_t items : {0u, 1u, 63u, 64u, 65u, 152u, 153u, 154u, 1071u, 1072u, 100000u}) {
      SCOPED_TRACE(std::to_string(items) + " items, cost " + std::to_string(cost));
      const qk::ChunkPlan plan = plan_chunks(items, cost);
      EXPECT_EQ(plan.items, items);
      EXPECT_EQ(plan.count, (items + plan.len - 1) / plan.len);
      std::uint64_t next = 0;
      for (std::uint64_t k = 0; k < plan.count; ++k) {
        EXPECT_EQ(plan.begin(k), next);
        EXPECT_GT(plan.end(k), plan.begin(k));
        if (k + 1 < plan.count) {
          EXPECT_EQ(plan.end(k) - plan.begin(k), plan.len);
        }
        next = plan.end(k);
      }
      EXPECT_EQ(next, items);
    }
  }
}

TEST(ChunkPlan, LargeWorkIncludingOverflow) {
  struct Case {
    std::uint64_t items, cost;
    bool large;
  };
  const std::uint64_t big = std::uint64_t{1} << 32;
  const Case cases[] = {
      {1, 262143, false},         {1, 262144, true},          {262144, 1, true},
      {14563, 18, false},         {14564, 18, true},          {big, big, true},  // 2^64 wraps to 0
      {big + 1, big - 1, true},   {~std::uint64_t{0}, 2, true}, {0, ~std::uint64_t{0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.items) + " x " + std::to_string(c.cost));
    EXPECT_EQ(qk::work_is_large(c.items, c.cost), c.large);
  }
}

// The plan runs on the pool only with more than one chunk, large enough work and at
// least two threads; nothing else about it changes with the pool size.
TEST(ChunkPlan, ParallelDecisionOnBothSidesOfTheThreshold) {
  struct Case {
    std::uint64_t items, cost;
    bool parallel;  // on a pool of two or more threads
  };
  const std::uint64_t big = std::uint64_t{1} << 40;
  const Case cases[] = {
      {14564, 18, true},   // p = q = 1 blocks: smallest m with m * 18 >= 262144
      {14563, 18, false},
      {65, 1u << 20, true},
      {64, 1u << 20, false},
      {big, big, true},    // items * cost overflows: counts as large
      {4096, 64, true},    // len 512, 8 chunks, exactly 262144
      {4095, 64, false},
  };
  for (const char* threads : {"1", "2", "7"}) {
    std::string out = qkt::in_child(threads, [&] {
      qkt::Bytes b;
      b.u64(qk::pool_threads());
      for (const Case& c : cases) {
        const qk::ChunkPlan plan = plan_chunks(c.items, c.cost);
        b.u64(plan.parallel).u64(plan.len).u64(plan.count);
      }
      return b.buf;
    });
    qkt::Bytes expected;
    const bool pooled = std::string(threads) != "1";
    expected.u64(std::stoull(threads));
    for (const Case& c : cases) {
      const qk::ChunkPlan serial = plan_chunks(c.items, c.cost);
      expected.u64(pooled && c.parallel).u64(serial.len).u64(serial.count);
    }
    EXPECT_EQ(out, expected.buf) << threads << " threads";
  }
}

// One line per (parallel flag): whether every task ran exactly once without and
// with failing tasks, which exception surfaced, and map_chunks' result order.
std::string run_tasks_report() {
  std::string out;
  for (bool parallel : {false, true}) {
    const std::size_t n = 400;
    std::vector<std::atomic<int>> hits(n);
    qk::run_tasks(n, parallel, [&](std::size_t k) { hits[k].fetch_add(1); });
    bool once = true;
    for (auto& h : hits) once = once && h.load() == 1;

    std::vector<std::atomic<int>> hits2(n);
    std::string caught = "none";
    try {
      qk::run_tasks(n, parallel, [&](std::size_t k) {
        hits2[k].fetch_add(1);
        if (k == 5 || k == 300) throw std::runtime_error("task " + std::to_string(k));
      });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    bool all_ran = true;
    for (auto& h : hits2) all_ran = all_ran && h.load() == 1;

    bool none = true;
    qk::run_tasks(0, parallel, [&](std::size_t) { none = false; });

    const qk::ChunkPlan plan = plan_chunks(100000, 64);  // 196 chunks of 512
    auto parts = qk::map_chunks<std::vector<std::uint64_t>>(
        plan, [](std::uint64_t k, std::uint64_t b, std::uint64_t e) {
          return std::vector<std::uint64_t>{k, b, e};
        });
    bool ordered = parts.size() == plan.count;
    for (std::uint64_t k = 0; ordered && k < plan.count; ++k)
      ordered = parts[k] == std::vector<std::uint64_t>{k, plan.begin(k), plan.end(k)};

    out += "parallel=" + std::to_string(parallel) + " once=" + std::to_string(once) +
           " all_ran_despite_failures=" + std::to_string(all_ran) + " caught=" + caught +
           " empty_ok=" + std::to_string(none) + " chunk_order=" + std::to_string(ordered) + "\n";
  }
  return out;
}

// The first failure is rethrown only after every task has run. Tasks that run one
// after another on the calling thread meet task 5 first; on a pool either failing
// task may be the first.
TEST(RunTasks, EveryTaskOnceAndFailuresAfterAll) {
  for (const char* threads : {"1", "2", "7"}) {
    SCOPED_TRACE(std::string(threads) + " threads");
    const std::string report = qkt::in_child(threads, run_tasks_report);
    const std::string serial =
        "parallel=0 once=1 all_ran_despite_failures=1 caught=task 5 empty_ok=1 chunk_order=1\n";
    if (std::string(threads) == "1") {
      EXPECT_EQ(report, serial + "parallel=1" + serial.substr(10));
    } else {
      const std::string pooled_a =
          "parallel=1 once=1 all_ran_despite_failures=1 caught=task 5 empty_ok=1 chunk_order=1\n";
      const std::string pooled_b =
          "parallel=1 once=1 all_ran_despite_failures=1 caught=task 300 empty_ok=1 chunk_order=1\n";
      EXPECT_TRUE(report == serial + pooled_a || report == serial + pooled_b) << report;
    }
  }
}

// Several threads submitting parallel steps to the same pool at once.
TEST(RunTasks, ConcurrentSubmitters) {
  std::string out = qkt::in_child("3", [] {
    std::vector<std::atomic<int>> hits(4 * 1000);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
      ts.emplace_back([&, t] {
        for (int rep = 0; rep < 20; ++rep)
          qk::run_tasks(50, true, [&](std::size_t k) {
            for (int i = 0; i < 20; ++i) hits[t * 1000 + k * 20 + i].fetch_add(1);
          });
      });
    for (auto& th : ts) th.join();
    for (auto& h : hits)
      if (h.load() != 20) return std::string("miscount");
    return std::string("ok");
  });
  EXPECT_EQ(out, "ok");
}

}  // namespace
