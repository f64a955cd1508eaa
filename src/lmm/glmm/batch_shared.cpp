// Passes shared by several points of the fit from batches (evaluate_together in
// batch_driver.hpp). Each point's driver runs on a thread of its own, as it would run
// alone; its reader, instead of reading, posts the visit of its pass and waits. The
// calling thread (the only one that reads: a Python reader needs the interpreter's
// lock, which the caller holds) waits until every live point has posted or finished,
// then reads the batches once, handing each batch to the posted visits in the points'
// order, and lets them go on. A point's sums are the same bits as alone, whatever the
// threads' timing; the points' kernels of a batch run as tasks of the pool.
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "lmm/glmm/batch_driver.hpp"
#include "lmm/glmm/stages.hpp"
#include "pool/pool.hpp"

namespace qk::glmm::detail {
namespace {

struct Aborted {};

class Shared {
 public:
  explicit Shared(std::size_t points) : posted_(points, nullptr) {}

  // A point's reader: posts its visit and waits until the pass is made.
  class Reader final : public BatchReader {
   public:
    Reader(Shared& s, std::size_t k) : s_(s), k_(k) {}
    void each(const std::function<void(const Batch&)>& visit) override { s_.post(k_, visit); }

   private:
    Shared& s_;
    std::size_t k_;
  };

  void finished() {
    std::lock_guard<std::mutex> lock(mu_);
    ++finished_;
    main_.notify_one();
  }

  // The calling thread's loop: one read per round of posts, until every point is done.
  // An exception of the read (the source's, or a batch the kernel refuses) stops the
  // points and is rethrown once they have ended.
  void serve(BatchReader& source, std::uint64_t& passes) {
    std::vector<const std::function<void(const Batch&)>*> visits;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mu_);
        main_.wait(lock, [&] { return waiting_ + finished_ == posted_.size(); });
        if (waiting_ == 0) return;
        visits.clear();
        for (const auto* v : posted_)
          if (v) visits.push_back(v);
      }
      try {
        // The points' kernels on the pool: each adds to its own sums only.
        source.each([&](const Batch& b) {
          run_tasks(visits.size(), visits.size() > 1 && b.n >= 4096, [&](std::size_t k) { (*visits[k])(b); });
        });
      } catch (...) {
        std::lock_guard<std::mutex> lock(mu_);
        aborted_ = true;
        points_.notify_all();
        throw;
      }
      ++passes;
      std::lock_guard<std::mutex> lock(mu_);
      std::fill(posted_.begin(), posted_.end(), nullptr);
      waiting_ = 0;
      ++round_;
      points_.notify_all();
    }
  }

 private:
  void post(std::size_t k, const std::function<void(const Batch&)>& visit) {
    std::unique_lock<std::mutex> lock(mu_);
    if (aborted_) throw Aborted{};
    posted_[k] = &visit;
    ++waiting_;
    const std::uint64_t round = round_;
    main_.notify_one();
    points_.wait(lock, [&] { return aborted_ || round_ != round; });
    if (aborted_) throw Aborted{};
  }

  std::mutex mu_;
  std::condition_variable main_, points_;
  std::vector<const std::function<void(const Batch&)>*> posted_;
  std::size_t waiting_ = 0, finished_ = 0;
  std::uint64_t round_ = 0;
  bool aborted_ = false;
};

}  // namespace

bool evaluate_together(BatchReader& reader, const Driver& like, const BatchModel& model, int nagq,
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
          Shared::Reader own(shared, k - first);
          ReaderRunner runs(own, model);
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
      shared.serve(reader, passes);
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

}  // namespace qk::glmm::detail
