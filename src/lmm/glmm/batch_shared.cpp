// Passes shared by several points of the fit from batches (evaluate_together in
// batch_driver.hpp). Each point's driver runs on a thread of its own, as it would run
// alone; its runner, instead of making its pass, posts the pass's input and sums and
// waits. The calling thread (the only one that reads or calls a cluster: a Python
// reader or runner needs the interpreter's lock, which the caller holds) waits until
// every live point has posted or finished, then makes the posted passes together (one
// read of the batches, one job of a cluster: PassRunner::run_together) and lets the
// points go on. A point's sums are the same bits as alone, whatever the threads'
// timing.
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "lmm/glmm/batch_driver.hpp"
#include "lmm/glmm/stages.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {

void ReaderRunner::run_together(const std::vector<const PassInput*>& ins, const std::vector<PassSums*>& sums) {
  // The points' kernels of a batch on the pool: each adds to its own sums only.
  reader_.each([&](const Batch& b) {
    run_tasks(ins.size(), ins.size() > 1 && b.n >= 4096, [&](std::size_t k) { add_batch(model_, b, *ins[k], *sums[k]); });
  });
  for (PassSums* s : sums) s->settle();
}

namespace detail {
namespace {

struct Aborted {};

class Shared {
 public:
  explicit Shared(std::size_t points) : posted_(points) {}

  // A point's runner: posts its pass and waits until the pass is made.
  class Runner final : public PassRunner {
   public:
    Runner(Shared& s, std::size_t k) : s_(s), k_(k) {}
    void run(const PassInput& in, PassSums& sums) override { s_.post(k_, in, sums); }

   private:
    Shared& s_;
    std::size_t k_;
  };

  void finished() {
    std::lock_guard<std::mutex> lock(mu_);
    ++finished_;
    main_.notify_one();
  }

  // The calling thread's loop: the posted passes made together, one round after
  // another, until every point is done. An exception of the passes (the source's, a
  // batch the kernel refuses, a cluster's) stops the points and is rethrown once they
  // have ended.
  void serve(PassRunner& runner, std::uint64_t& passes) {
    std::vector<const PassInput*> ins;
    std::vector<PassSums*> sums;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mu_);
        main_.wait(lock, [&] { return waiting_ + finished_ == posted_.size(); });
        if (waiting_ == 0) return;
        ins.clear();
        sums.clear();
        for (const Post& p : posted_)
          if (p.in) {
            ins.push_back(p.in);
            sums.push_back(p.sums);
          }
      }
      try {
        runner.run_together(ins, sums);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mu_);
        aborted_ = true;
        points_.notify_all();
        throw;
      }
      ++passes;
      std::lock_guard<std::mutex> lock(mu_);
      std::fill(posted_.begin(), posted_.end(), Post{});
      waiting_ = 0;
      ++round_;
      points_.notify_all();
    }
  }

 private:
  struct Post {
    const PassInput* in = nullptr;
    PassSums* sums = nullptr;
  };

  void post(std::size_t k, const PassInput& in, PassSums& sums) {
    std::unique_lock<std::mutex> lock(mu_);
    if (aborted_) throw Aborted{};
    posted_[k] = Post{&in, &sums};
    ++waiting_;
    const std::uint64_t round = round_;
    main_.notify_one();
    points_.wait(lock, [&] { return aborted_ || round_ != round; });
    if (aborted_) throw Aborted{};
  }

  std::mutex mu_;
  std::condition_variable main_, points_;
  std::vector<Post> posted_;
  std::size_t waiting_ = 0, finished_ = 0;
  std::uint64_t round_ = 0;
  bool aborted_ = false;
};

}  // namespace

bool evaluate_together(PassRunner& runner, const Driver& like, const BatchModel& model, int nagq,
                       const std::vector<std::vector<double>>& xs, std::vector<double>& warm, std::size_t together,
                       std::vector<double>& fs, std::vector<std::vector<double>>* gs, std::uint64_t& passes) {
  const std::size_t nt = model.idx.size(), count = xs.size(), group = std::max<std::size_t>(together, 1);
  std::vector<std::uint8_t> ok(count, 0);
  const std::vector<double> from = warm;
  for (std::size_t first = 0; first < count; first += group) {
    const std::size_t last = std::min(count, first + group);
    Shared shared(last - first);
    std::vector<std::exception_ptr> failed(last - first);
    std::vector<std::thread> threads;
    for (std::size_t k = first; k < last; ++k)
      threads.emplace_back([&, k] {
        try {
          Shared::Runner runs(shared, k - first);
          Driver d(runs, model);
          d.same_rows_as(like);
          std::vector<double> start = from;
          const std::vector<double> lambda = theta_to_lambda(
              std::vector<double>(xs[k].begin(), xs[k].begin() + static_cast<std::ptrdiff_t>(nt)), model.idx, model.q);
          const double* beta = xs[k].data() + nt;
          const bool done = gs ? d.evaluate(lambda, beta, fs[k], (*gs)[k].data(), &start)
                               : nagq > 1 ? d.agq_value(lambda, beta, nagq, fs[k], &start)
                                          : d.evaluate(lambda, beta, fs[k], nullptr, &start);
          ok[k] = done ? 1 : 0;
          if (k == 0 && done) warm = start;
        } catch (const Aborted&) {
        } catch (...) {
          failed[k - first] = std::current_exception();
        }
        shared.finished();
      });
    std::exception_ptr read_failed;
    try {
      shared.serve(runner, passes);
    } catch (...) {
      read_failed = std::current_exception();
    }
    for (std::thread& t : threads) t.join();
    if (read_failed) std::rethrow_exception(read_failed);
    for (const std::exception_ptr& e : failed)
      if (e) std::rethrow_exception(e);
  }
  for (std::uint8_t o : ok)
    if (!o) return false;
  return true;
}

}  // namespace detail
}  // namespace qk::glmm
