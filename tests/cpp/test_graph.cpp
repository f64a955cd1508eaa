// Task graphs on the pool: every task once and only after its predecessors, priority
// order on one thread, a task that stops the graph, and exceptions, each pool size in
// a forked child.

#include "pool/graph.hpp"
#include "support.hpp"

namespace {

// A seeded random DAG: each task waits for up to four earlier ones.
qk::TaskGraph random_graph(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  qk::TaskGraph g;
  for (std::size_t t = 0; t < n; ++t) {
    std::vector<std::uint32_t> after;
    for (int k = 0; t > 0 && k < 4; ++k)
      if (rng() % 3 == 0) after.push_back(static_cast<std::uint32_t>(rng() % t));
    g.add(std::move(after));
  }
  return g;
}

// Every task runs once, begins after each predecessor has ended, and (on pools of two
// or more) tasks do overlap; with one thread the order is the tasks' numbering.
TEST(TaskGraph, EachTaskOnceAfterItsPredecessors) {
  const auto report = [] {
    const qk::TaskGraph g = random_graph(300, 7);
    std::vector<std::atomic<int>> runs(300);
    std::vector<long> began(300, -1), ended(300, -1);
    std::atomic<long> clock{0};
    std::atomic<int> running{0}, most{0};
    std::mutex mu;
    const bool ok = qk::run_graph(g, [&](std::size_t t) {
      const long b = clock.fetch_add(1);
      const int now = running.fetch_add(1) + 1;
      for (int m = most.load(); now > m && !most.compare_exchange_weak(m, now);) {
      }
      runs[t].fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(t % 7 == 0 ? 200 : 20));
      running.fetch_sub(1);
      const long e = clock.fetch_add(1);
      std::lock_guard<std::mutex> lock(mu);
      began[t] = b;
      ended[t] = e;
      return true;
    });
    bool once = true, ordered = true, numbered = true;
    for (std::size_t t = 0; t < 300; ++t) {
      once = once && runs[t].load() == 1;
      for (std::uint32_t p : g.preds[t]) ordered = ordered && ended[p] < began[t];
      if (t > 0) numbered = numbered && began[t - 1] < began[t];
    }
    return std::to_string(ok) + std::to_string(once) + std::to_string(ordered) + " numbered " +
           std::to_string(numbered) + " overlap " + std::to_string(most.load() > 1);
  };
  EXPECT_EQ(qkt::in_child("1", report), "111 numbered 1 overlap 0");
  for (const char* threads : {"2", "7"}) EXPECT_EQ(qkt::in_child(threads, report).substr(0, 3), "111") << threads;
  EXPECT_NE(qkt::in_child("7", report).find("overlap 1"), std::string::npos);
}

// A task returning false stops the graph: run_graph returns false and no task that
// waits for it, directly or not, begins; an exception does the same and is rethrown.
TEST(TaskGraph, AFailingTaskStopsItsSuccessors) {
  const auto report = [] {
    std::string out;
    for (bool throws : {false, true}) {
      qk::TaskGraph g;
      const std::uint32_t a = g.add();
      const std::uint32_t bad = g.add({a});
      const std::uint32_t after = g.add({bad});
      g.add({after});
      g.add();  // independent: may or may not run
      std::vector<std::atomic<int>> runs(5);
      bool ok = true;
      const std::string caught = qkt::thrown<std::runtime_error>([&] {
        ok = qk::run_graph(g, [&](std::size_t t) {
          runs[t].fetch_add(1);
          if (t == bad && throws) throw std::runtime_error("task 1");
          return t != bad;
        });
      });
      out += std::to_string(ok) + " " + caught + " " + std::to_string(runs[a].load()) +
             std::to_string(runs[bad].load()) + std::to_string(runs[after].load()) + std::to_string(runs[3].load()) +
             "; ";
    }
    return out;
  };
  for (const char* threads : {"1", "2", "7"})
    EXPECT_EQ(qkt::in_child(threads, report), "0 none 1100; 1 task 1 1100; ") << threads;
}

TEST(TaskGraph, AnEmptyGraphSucceeds) { EXPECT_TRUE(qk::run_graph(qk::TaskGraph{}, [](std::size_t) { return false; })); }

}  // namespace
