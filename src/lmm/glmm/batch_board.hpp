// Passes shared by several points of a fit from batches: each point's driver runs on a
// thread of its own, as it would run alone, but instead of making a pass it posts it
// on a Board and waits. The calling thread (the only one that reads or calls a cluster:
// a Python reader or runner needs the interpreter's lock, which the caller holds)
// waits until every live point has posted or finished, then makes the round's posts
// together (one read of the batches, one job of a cluster) and lets the points go on.
// A point's sums are the same bits as alone, whatever the threads' timing: each post
// is made as the point alone would make it, into its own sums. Internal to the GLMM
// core (batch_shared.cpp, batch_crossed.cpp).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qk::glmm::detail {

// How many points may share passes at once: as many as keep their state (per_point
// bytes each, beside the rows) within 1 GiB, and at most 64.
inline std::size_t points_at_once(std::size_t per_point) {
  return std::clamp<std::size_t>((std::size_t{1} << 30) / std::max<std::size_t>(per_point, 1), 1, 64);
}

// Thrown to a point waiting on a board whose round failed: the point stops, and the
// round's error reaches the caller instead.
struct BoardAborted {};

template <class Post>
class Board {
 public:
  explicit Board(std::size_t points) : posted_(points), held_(points, 0) {}

  // Point k's pass: returns once a round has made it.
  void post(std::size_t k, Post p) {
    std::unique_lock<std::mutex> lock(mu_);
    if (aborted_) throw BoardAborted{};
    posted_[k] = std::move(p);
    held_[k] = 1;
    ++waiting_;
    const std::uint64_t round = round_;
    main_.notify_one();
    points_.wait(lock, [&] { return aborted_ || round_ != round; });
    if (aborted_) throw BoardAborted{};
  }

  // Point k will post no more.
  void finished() {
    std::lock_guard<std::mutex> lock(mu_);
    ++finished_;
    main_.notify_one();
  }

  // The calling thread's loop: each round's posts (in the points' order) made by
  // `make`, until every point is done; passes counts the rounds. An exception of
  // `make` stops the points and is rethrown once they have been told.
  void serve(const std::function<void(const std::vector<Post>&)>& make, std::uint64_t& passes) {
    std::vector<Post> round;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mu_);
        main_.wait(lock, [&] { return waiting_ + finished_ == posted_.size(); });
        if (waiting_ == 0) return;
        round.clear();
        for (std::size_t k = 0; k < posted_.size(); ++k)
          if (held_[k]) round.push_back(posted_[k]);
      }
      try {
        make(round);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mu_);
        aborted_ = true;
        points_.notify_all();
        throw;
      }
      ++passes;
      std::lock_guard<std::mutex> lock(mu_);
      std::fill(held_.begin(), held_.end(), 0);
      waiting_ = 0;
      ++round_;
      points_.notify_all();
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable main_, points_;
  std::vector<Post> posted_;
  std::vector<std::uint8_t> held_;
  std::size_t waiting_ = 0, finished_ = 0;
  std::uint64_t round_ = 0;
  bool aborted_ = false;
};

// point(k, board, slot) for k in 0..count-1, at most `together` at once, each on a
// thread of its own posting on `board` as `slot`, while the calling thread serves their
// rounds with `make` (passes: the rounds made). The first error (of a round, else of a
// point) is rethrown once the group's threads have ended.
template <class Post>
void run_points(std::size_t count, std::size_t together,
                const std::function<void(std::size_t k, Board<Post>& board, std::size_t slot)>& point,
                const std::function<void(const std::vector<Post>&)>& make, std::uint64_t& passes) {
  const std::size_t group = std::max<std::size_t>(together, 1);
  for (std::size_t first = 0; first < count; first += group) {
    const std::size_t last = std::min(count, first + group);
    Board<Post> board(last - first);
    std::vector<std::exception_ptr> failed(last - first);
    std::vector<std::thread> threads;
    for (std::size_t k = first; k < last; ++k)
      threads.emplace_back([&, k] {
        try {
          point(k, board, k - first);
        } catch (const BoardAborted&) {
        } catch (...) {
          failed[k - first] = std::current_exception();
        }
        board.finished();
      });
    std::exception_ptr round_failed;
    try {
      board.serve(make, passes);
    } catch (...) {
      round_failed = std::current_exception();
    }
    for (std::thread& t : threads) t.join();
    if (round_failed) std::rethrow_exception(round_failed);
    for (const std::exception_ptr& e : failed)
      if (e) std::rethrow_exception(e);
  }
}

}  // namespace qk::glmm::detail
