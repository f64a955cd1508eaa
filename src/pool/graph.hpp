// Task graphs on the worker pool: tasks that start as soon as the tasks they depend on
// have finished, instead of in rounds separated by barriers.
//
// Reproducibility contract: a graph fixes which task computes what and which tasks
// each one waits for; only the order in which independent tasks run, and the thread
// that runs them, vary. A task that reads only data its predecessors finished and
// writes data no unfinished task reads gives the same bits however it is scheduled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace qk {

// A graph under construction: tasks numbered from 0 in the order they are added, which
// is also their priority (a free thread takes the ready task of least number).
struct TaskGraph {
  std::vector<std::vector<std::uint32_t>> preds;  // per task, the tasks it waits for

  // Adds a task waiting for `after` (tasks already added) and returns its number.
  std::uint32_t add(std::vector<std::uint32_t> after = {}) {
    preds.push_back(std::move(after));
    return static_cast<std::uint32_t>(preds.size() - 1);
  }
};

// Runs body(t) for every task of the graph on the pool's threads and the calling
// thread, each task once and after all of its predecessors. body returns false to
// stop: tasks not yet begun are then skipped, the ones under way finish, and
// run_graph returns false. The first exception thrown by a task stops the graph the
// same way and is rethrown on the calling thread. On a pool of one thread, or when the
// pool runs the workers one after another, the tasks run in priority order on one
// thread, which never waits.
bool run_graph(const TaskGraph& graph, const std::function<bool(std::size_t)>& body);

}  // namespace qk
