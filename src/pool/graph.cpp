// The task-graph scheduler: every worker loops taking the ready task of least number
// from a shared heap; finishing a task releases its successors.
#include "pool/graph.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

#include "pool/pool.hpp"

namespace qk {

bool run_graph(const TaskGraph& graph, const std::function<bool(std::size_t)>& body) {
  const std::size_t n = graph.preds.size();
  if (n == 0) return true;
  std::vector<std::vector<std::uint32_t>> succ(n);
  std::vector<std::uint32_t> waiting(n, 0);
  for (std::size_t t = 0; t < n; ++t)
    for (std::uint32_t p : graph.preds[t]) {
      succ[p].push_back(static_cast<std::uint32_t>(t));
      ++waiting[t];
    }
  // Min-heap of ready tasks (std::greater: the least number on top).
  std::vector<std::uint32_t> ready;
  for (std::size_t t = 0; t < n; ++t)
    if (waiting[t] == 0) ready.push_back(static_cast<std::uint32_t>(t));
  std::make_heap(ready.begin(), ready.end(), std::greater<>());
  std::mutex mu;
  std::condition_variable cv;
  std::size_t finished = 0, running = 0;
  bool stop = false;
  std::exception_ptr error;
  const auto worker = [&](std::size_t) {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      // Nothing ready while tasks run elsewhere: one of them releases the next.
      cv.wait(lock, [&] { return stop || finished == n || !ready.empty() || running == 0; });
      if (stop || finished == n || ready.empty()) return;
      std::pop_heap(ready.begin(), ready.end(), std::greater<>());
      const std::uint32_t t = ready.back();
      ready.pop_back();
      ++running;
      lock.unlock();
      bool ok = false;
      try {
        ok = body(t);
      } catch (...) {
        lock.lock();
        if (!error) error = std::current_exception();
        lock.unlock();
      }
      lock.lock();
      --running;
      if (!ok) {
        stop = true;
      } else {
        ++finished;
        for (std::uint32_t s : succ[t])
          if (--waiting[s] == 0) {
            ready.push_back(s);
            std::push_heap(ready.begin(), ready.end(), std::greater<>());
          }
      }
      cv.notify_all();
    }
  };
  run_tasks(std::min(pool_threads(), n), true, worker);
  if (error) std::rethrow_exception(error);
  return !stop && finished == n;
}

}  // namespace qk
