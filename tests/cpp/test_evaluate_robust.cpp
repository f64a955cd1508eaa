// The evaluators where the arithmetic or the machine is pushed: many chunks on pools
// of any size giving the same bits on every kernel, means far from zero, responses
// the fixed effects fit exactly, and forks while other threads evaluate.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

#include "lmm/evaluate/evaluate.hpp"
#include "lmm/results/random_effects.hpp"
#include "support.hpp"

namespace {

using qkt::Design;
using qkt::kKernels;
using qkt::kNames;
using qkt::Vec;

// The q = 2 design has 20000 groups and enough classes that every kernel, the random
// effects and the conditional covariances run chunks on the pool; the q = 1 design
// puts the blocks kernel (m * 18 >= 262144) and the scalar Hessian there too, also
// with prior weights. Each
// kernel cuts them into many chunks its own way: all must agree, and give the same
// bits for pools of 1, 2 and 7 threads.
TEST(Evaluate, ManyChunksAgreeAcrossKernelsAndPoolSizes) {
  const Design big = qkt::make_design({.p = 3, .q = 2, .m = 20000, .min_rows = 0, .max_rows = 4, .seed = 181, .templates = 2000});
  const Design scalar = qkt::make_design({.p = 1, .q = 1, .m = 14564, .min_rows = 1, .max_rows = 3, .seed = 182});
  const Design weighted = qkt::with_weights(scalar, 183);
  // The aggregated kernel costs 232 per class: 1130 classes reach the threshold.
  ASSERT_GT(qkt::build(big, qk::kAggregated)->classes->n_classes, 1400u);
  const Vec theta{0.8, 0.25, 0.6};
  std::optional<qk::Evaluation> first[3];
  std::optional<qk::ScalarHessian> first_h;
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(kNames[k]);
    auto data = qkt::build(big, kKernels[k]), one = qkt::build(scalar, kKernels[k]),
         heavy = qkt::build(weighted, kKernels[k]);
    const std::optional<qk::Evaluation> ev[3] = {qk::evaluate(*data, theta, true, qk::kModeSolution),
                                                 qk::evaluate(*one, {0.7}, true, qk::kModeSolution),
                                                 qk::evaluate(*heavy, {0.7}, true, qk::kModeSolution)};
    const auto h = qk::scalar_hessian(*one, true, 0.7);
    ASSERT_TRUE(ev[0] && ev[1] && ev[2] && h);
    for (int i = 0; i < 3 && first_h; ++i) {
      EXPECT_TRUE(qkt::near_rel(ev[i]->deviance, first[i]->deviance, 1e-10));
      EXPECT_TRUE(qkt::all_near(ev[i]->gradient, first[i]->gradient, 1e-8));
      EXPECT_TRUE(qkt::all_near(ev[i]->u, first[i]->u, 1e-8));
    }
    if (first_h) {
      EXPECT_TRUE(qkt::near_rel(h->second, first_h->second, 1e-8));
    } else {
      std::tie(first[0], first[1], first[2], first_h) = std::tie(ev[0], ev[1], ev[2], h);
    }
  }

  qkt::same_bits_for_pool_sizes([&] {
    qkt::Bytes b;
    auto put = [&](const std::optional<qk::Evaluation>& ev) {
      b.u64(ev.has_value());
      if (ev) {
        b.f64(ev->deviance).f64(ev->sigma2).f64(ev->pwrss).f64(ev->ldl2).f64(ev->ldrx2);
        b.vec(ev->gradient).vec(ev->beta).vec(ev->u).vec(ev->fixed_inverse);
      }
    };
    for (qk::Evaluator kernel : kKernels) {
      auto data = qkt::build(big, kernel), one = qkt::build(scalar, kernel), heavy = qkt::build(weighted, kernel);
      if (!data || !one || !heavy) return std::string("build failed");
      put(qk::evaluate(*data, theta, true, qk::kModeSolution));
      put(qk::evaluate(*data, theta, false, qk::kModeGradient));
      put(qk::evaluate(*data, theta, true, qk::kModeDeviance));
      auto cov = qk::conditional_covariances(*data, theta, true);
      b.vec(cov ? *cov : Vec{});
      put(qk::evaluate(*one, {0.7}, true, qk::kModeSolution));
      put(qk::evaluate(*heavy, {0.7}, true, qk::kModeSolution));
      for (bool reml : {true, false})
        for (const auto* x : {&one, &heavy}) {
          auto h = qk::scalar_hessian(**x, reml, 0.7);
          b.u64(h.has_value());
          if (h) b.f64(h->deviance).f64(h->first).f64(h->second);
        }
    }
    return b.buf;
  }, 100000);
}

// Adding c to y and d_j to the covariates moves only the intercept when X holds a
// constant column: on every kernel the criterion, its gradient, sigma, the slopes and
// their covariances stay put at every theta, and the intercept and its covariances
// move as the reparameterisation says. c reaches 1e10 and d 1e6 times the data's
// spread (about 1 here), where the products of the raw rows keep no digit of the
// criterion. The unmoved design is the moved one less c and d (exact), so that both
// hold the same rounded values. Without a constant column the rows are used as given.
TEST(Evaluate, LargeMeansMoveOnlyTheIntercept) {
  const Design d = qkt::make_design({.p = 3, .q = 2, .m = 40, .min_rows = 3, .max_rows = 9, .seed = 191});
  const Vec thetas[] = {{0.9, 0.2, 0.5}, {0.0, 0.0, 0.7}, {2.5, -0.4, 0.1}};
  struct Shifted {
    double c, d1, d2;
  };
  for (Shifted sh : {Shifted{1e5, 0.0, 0.0}, Shifted{1e10, 0.0, 0.0}, Shifted{0.0, 1e6, -3e5}, Shifted{-1e8, 1e6, 1e4}}) {
    Design moved = d, back = d;
    for (std::uint64_t r = 0; r < d.n; ++r) {
      moved.y[r] += sh.c;
      moved.x[r * 3 + 1] += sh.d1;
      moved.x[r * 3 + 2] += sh.d2;
      back.y[r] = moved.y[r] - sh.c;
      back.x[r * 3 + 1] = moved.x[r * 3 + 1] - sh.d1;
      back.x[r * 3 + 2] = moved.x[r * 3 + 2] - sh.d2;
    }
    for (int k = 0; k < 3; ++k) {
      SCOPED_TRACE(std::string(kNames[k]) + " c " + std::to_string(sh.c) + " d " + std::to_string(sh.d1));
      auto base = qkt::build(back, kKernels[k]), data = qkt::build(moved, kKernels[k]);
      ASSERT_TRUE(base && data);
      EXPECT_EQ(data->shift.column, 0);
      for (const Vec& theta : thetas)
        for (bool reml : {true, false}) {
          auto e0 = qk::evaluate(*base, theta, reml, qk::kModeSolution);
          auto e1 = qk::evaluate(*data, theta, reml, qk::kModeSolution);
          ASSERT_TRUE(e0 && e1);
          EXPECT_TRUE(qkt::near_rel(e1->deviance, e0->deviance, 1e-11));
          EXPECT_TRUE(qkt::near_rel(e1->sigma2, e0->sigma2, 1e-9));
          EXPECT_TRUE(qkt::all_near(e1->gradient, e0->gradient, 1e-7));
          EXPECT_TRUE(qkt::all_near(e1->u, e0->u, 1e-8));
          const Vec& b0 = e0->beta;
          const Vec& f0 = e0->fixed_inverse;
          EXPECT_TRUE(qkt::all_near({e1->beta[1], e1->beta[2]}, {b0[1], b0[2]}, 1e-8));
          // beta0 moves by c - d'beta; Cov(beta0, .) by -d'Cov(slopes, .).
          EXPECT_TRUE(qkt::near_rel(e1->beta[0], b0[0] + sh.c - (sh.d1 * b0[1] + sh.d2 * b0[2]), 1e-12));
          const Vec f = e1->fixed_inverse;
          auto fd = [&](std::size_t j) { return f0[j * 3 + 0] - (sh.d1 * f0[j * 3 + 1] + sh.d2 * f0[j * 3 + 2]); };
          const double f00 = fd(0) - (sh.d1 * fd(1) + sh.d2 * fd(2));
          EXPECT_TRUE(qkt::all_near({f[4], f[5], f[7], f[8]}, {f0[4], f0[5], f0[7], f0[8]}, 1e-8));
          EXPECT_TRUE(qkt::all_near({f[1], f[3], f[2], f[6]}, {fd(1), fd(1), fd(2), fd(2)}, 1e-8));
          EXPECT_TRUE(qkt::near_rel(f[0], f00, 1e-8));
        }
    }
  }
  // No constant column: nothing is shifted.
  Design raw = d;
  for (std::uint64_t r = 0; r < d.n; ++r) raw.x[r * 3] = 1.0 + 1e-3 * static_cast<double>(r);
  auto data = qkt::build(raw, qk::kBlocks);
  ASSERT_TRUE(data);
  EXPECT_FALSE(data->shift.active());
}

// A response the fixed effects fit exactly (a constant, a line in a covariate, a
// line far from zero, zeros, with or without a constant column in X) makes every
// theta infeasible on every kernel and in every mode, rather than a criterion near
// -infinity that rounding decides. A response that differs from such a line by
// 1e-5 of its spread is still fitted.
TEST(Evaluate, ResponseFittedExactlyIsInfeasibleOnEveryKernel) {
  const Design d = qkt::make_design({.p = 2, .q = 1, .m = 30, .min_rows = 2, .max_rows = 8, .seed = 201});
  auto with_y = [&](auto f, bool intercept = true) {
    Design out = d;
    for (std::uint64_t r = 0; r < d.n; ++r) {
      if (!intercept) out.x[r * 2] = 0.5 + 0.001 * static_cast<double>(r % 7);
      out.y[r] = f(out.x[r * 2], out.x[r * 2 + 1], r);
    }
    return out;
  };
  const Design exact[] = {
      with_y([](double, double, std::uint64_t) { return 3.7; }),
      with_y([](double, double x, std::uint64_t) { return 1.0 + 2.0 * x; }),
      with_y([](double, double x, std::uint64_t) { return 1e6 - 0.3 * x; }),
      with_y([](double, double, std::uint64_t) { return 0.0; }, false),
      with_y([](double a, double x, std::uint64_t) { return 2.5 * a - x; }, false),
  };
  const Design near = with_y([](double, double x, std::uint64_t r) { return 1.0 + 2.0 * x + 1e-5 * ((r * 7919) % 13 - 6.0); });
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(kNames[k]);
    for (const Design& e : exact) {
      auto data = qkt::build(e, kKernels[k]);
      ASSERT_TRUE(data);
      EXPECT_TRUE(data->exact_fit);
      for (double t : {0.0, 0.4, 3.0})
        for (qk::Mode mode : {qk::kModeDeviance, qk::kModeGradient, qk::kModeSolution})
          EXPECT_FALSE(qk::evaluate(*data, {t}, true, mode)) << t;
      EXPECT_FALSE(qk::scalar_hessian(*data, false, 0.4));
      EXPECT_FALSE(qk::conditional_covariances(*data, {0.4}, true));
    }
    auto data = qkt::build(near, kKernels[k]);
    ASSERT_TRUE(data);
    EXPECT_FALSE(data->exact_fit);
    EXPECT_TRUE(qk::evaluate(*data, {0.4}, true, qk::kModeSolution));
  }
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
