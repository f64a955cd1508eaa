// The evaluators where the machine is pushed: many chunks on pools of any size giving
// the same bits on every kernel, and forks while other threads evaluate.
#include <signal.h>

#include <atomic>
#include <thread>

#include "lmm/evaluate/evaluate.hpp"
#include "lmm/results/random_effects.hpp"
#include "support.hpp"

namespace {

using qkt::Design;
using qkt::Vec;

// The q = 2 design has 20000 groups and enough classes that every kernel, the random
// effects and the conditional covariances run chunks on the pool; the q = 1 design
// puts the blocks kernel (m * 18 >= 262144) and the scalar Hessian there too, also
// with prior weights. Each kernel cuts them into many chunks its own way: all must
// agree, and give the same bits for pools of 1, 2 and 7 threads.
TEST(Evaluate, ManyChunksAgreeAcrossKernelsAndPoolSizes) {
  const Design big = qkt::make_design({.p = 3, .q = 2, .m = 20000, .min_rows = 0, .max_rows = 4, .seed = 181, .templates = 2000});
  const Design scalar = qkt::make_design({.p = 1, .q = 1, .m = 14564, .min_rows = 1, .max_rows = 3, .seed = 182});
  const Design weighted = qkt::with_weights(scalar, 183);
  // The aggregated kernel costs 232 per class: 1130 classes reach the threshold.
  ASSERT_GT(qkt::build(big, qk::kAggregated)->classes->n_classes, 1400u);
  const Vec theta{0.8, 0.25, 0.6};
  const std::string out = qkt::same_bits_for_pool_sizes([&] {
    std::string report;
    qkt::Bytes b;
    std::vector<Vec> blocks;  // the blocks kernel's numbers, which the others must agree with
    for (int k = 0; k < 3; ++k) {
      auto data = qkt::build(big, qkt::kKernels[k]), one = qkt::build(scalar, qkt::kKernels[k]);
      auto heavy = qkt::build(weighted, qkt::kKernels[k]);
      const std::optional<qk::Evaluation> evs[] = {
          qk::evaluate(*data, theta, true, qk::kModeSolution), qk::evaluate(*data, theta, false, qk::kModeGradient),
          qk::evaluate(*data, theta, true, qk::kModeDeviance), qk::evaluate(*one, {0.7}, true, qk::kModeSolution),
          qk::evaluate(*heavy, {0.7}, true, qk::kModeSolution)};
      std::vector<Vec> got;
      for (const auto& ev : evs) {
        if (!ev) return std::string("infeasible\n");
        b.f64(ev->deviance).f64(ev->sigma2).f64(ev->pwrss).f64(ev->ldl2).f64(ev->ldrx2);
        b.vec(ev->gradient).vec(ev->beta).vec(ev->u).vec(ev->fixed_inverse);
        got.push_back(ev->gradient);
        got.back().insert(got.back().end(), ev->u.begin(), ev->u.end());
        got.back().push_back(ev->deviance);
      }
      auto cov = qk::conditional_covariances(*data, theta, true);
      b.vec(cov ? *cov : Vec{});
      for (bool reml : {true, false})
        for (const auto* x : {&one, &heavy}) {
          auto h = qk::scalar_hessian(**x, reml, 0.7);
          if (!h) return std::string("no Hessian\n");
          b.f64(h->deviance).f64(h->first).f64(h->second);
          got.push_back({h->deviance, h->first, h->second});
        }
      if (k == 0) blocks = got;
      for (std::size_t i = 0; i < got.size(); ++i)
        if (!qkt::all_near(got[i], blocks[i], 1e-8)) report += std::string(qkt::kNames[k]) + " differs;";
    }
    return report + "\n" + b.buf;
  }, 100000);
  EXPECT_EQ(out.substr(0, out.find('\n')), "");
}

// Forks while three threads evaluate the blocks kernel, which borrows work buffers
// from the design's scratch pool: no child may find the pool locked by a thread that
// does not exist in it. Each child evaluates on the same design (with the same bits)
// and exits; a child that hangs is ended by its alarm, which fails the test.
TEST(Evaluate, ForkWhileOtherThreadsEvaluate) {
  const Design d = qkt::make_design({.p = 2, .q = 2, .m = 12, .min_rows = 1, .max_rows = 4, .seed = 211});
  auto data = qkt::build(d, qk::kBlocks);
  ASSERT_TRUE(data);
  const Vec theta{0.8, 0.1, 0.6};
  const auto ref = qk::evaluate(*data, theta, true, qk::kModeGradient);
  ASSERT_TRUE(ref);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      while (!stop.load()) qk::evaluate(*data, theta, true, qk::kModeGradient);
    });
  int hung = 0, wrong = 0;
  for (int i = 0; i < 500 && hung == 0; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(3);
      const auto ev = qk::evaluate(*data, theta, true, qk::kModeGradient);
      _exit(ev && ev->deviance == ref->deviance && ev->gradient == ref->gradient ? 0 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    hung += WIFSIGNALED(status);
    wrong += WIFEXITED(status) && WEXITSTATUS(status) != 0;
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(hung, 0);
  EXPECT_EQ(wrong, 0);
}

}  // namespace
