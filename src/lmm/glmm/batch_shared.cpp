// Passes shared by several points of the fit from batches (evaluate_together in
// batch_driver.hpp), by the board of batch_board.hpp: a point's runner posts its pass's
// input and sums, and each round's passes are made together by the fit's runner
// (PassRunner::run_together: one read of the batches here, one job of a cluster).
#include "lmm/glmm/batch_board.hpp"
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

struct Post {
  const PassInput* in = nullptr;
  PassSums* sums = nullptr;
};

// A point's runner: posts its pass on the board and waits until a round has made it.
class Posting final : public PassRunner {
 public:
  Posting(Board<Post>& board, std::size_t slot) : board_(board), slot_(slot) {}
  void run(const PassInput& in, PassSums& sums) override { board_.post(slot_, Post{&in, &sums}); }

 private:
  Board<Post>& board_;
  std::size_t slot_;
};

}  // namespace

bool evaluate_together(PassRunner& runner, const Driver& like, const BatchModel& model, int nagq,
                       const std::vector<std::vector<double>>& xs, std::vector<double>& warm, std::size_t together,
                       std::vector<double>& fs, std::vector<std::vector<double>>* gs, std::uint64_t& passes) {
  const std::size_t nt = model.idx.size(), count = xs.size();
  std::vector<std::uint8_t> ok(count, 0);
  const std::vector<double> from = warm;
  const auto point = [&](std::size_t k, Board<Post>& board, std::size_t slot) {
    Posting runs(board, slot);
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
  };
  std::vector<const PassInput*> ins;
  std::vector<PassSums*> sums;
  const auto make = [&](const std::vector<Post>& round) {
    ins.clear();
    sums.clear();
    for (const Post& p : round) {
      ins.push_back(p.in);
      sums.push_back(p.sums);
    }
    runner.run_together(ins, sums);
  };
  run_points<Post>(count, together, point, make, passes);
  for (std::uint8_t o : ok)
    if (!o) return false;
  return true;
}

}  // namespace detail
}  // namespace qk::glmm
