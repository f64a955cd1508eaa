// The evaluators against the dense solution of the penalised least squares problem,
// each other and finite differences; the q = 1 Hessian, infeasible points, work buffers,
// many chunks on pools of any size, and forks while other threads evaluate.

#include "lmm/evaluate/evaluate.hpp"
#include "lmm/results/random_effects.hpp"
#include "dense_reference.hpp"

namespace {

using qkt::Design;
using qkt::kKernels;
using qkt::Vec;

// The dense solution of d's model at theta.
std::optional<qkt::DenseSolution> reference(const Design& d, const Vec& theta, bool reml) {
  const qkt::DenseFactor f{d.codes.data(), d.m, d.q, d.z.data(), qk::theta_to_lambda(theta, d.q)};
  return qkt::dense_solution(d.n, d.p, d.y, d.x, d.w, {f}, reml);
}

// Entries of Lambda at random: diagonals in [0.3, 1.5), the others in [-0.5, 0.5).
Vec random_theta(std::uint64_t q, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> diag(0.3, 1.5), off(-0.5, 0.5);
  Vec t;
  for (auto [r, c] : qk::theta_index(q)) t.push_back(r == c ? diag(rng) : off(rng));
  return t;
}

struct Models { Design d; std::unique_ptr<qk::LmmData> data[3]; };  // data in the order of kKernels

// The design of s, weighted or not, built for every kernel; templates give the
// aggregated kernel few classes (unless weights make every Z_i'W_iZ_i its own).
Models models(const qkt::DesignShape& s, std::uint64_t extra_empty = 0, bool weighted = false) {
  Models out{qkt::make_design(s), {}};
  if (weighted) out.d = qkt::with_weights(std::move(out.d), s.seed + 7);
  out.d.m += extra_empty;
  for (int k = 0; k < 3; ++k) out.data[k] = qkt::build(out.d, kKernels[k]);
  EXPECT_TRUE(!s.templates || weighted || out.data[2]->classes->n_classes <= s.templates + (extra_empty > 0));
  return out;
}

// q = 1..4; groups without rows or sharing Z'Z; the last two far from zero in y and x,
// whose shift the evaluators undo (only the intercept and its covariances move).
const qkt::DesignShape kDesigns[] = {
    {.p = 1, .q = 1, .m = 25, .min_rows = 0, .max_rows = 6, .seed = 101},
    {.p = 3, .q = 1, .m = 20, .min_rows = 4, .max_rows = 4, .seed = 102, .templates = 1},
    {.p = 2, .q = 2, .m = 30, .min_rows = 0, .max_rows = 6, .seed = 103},
    {.p = 5, .q = 2, .m = 40, .min_rows = 1, .max_rows = 7, .seed = 104, .templates = 4},
    {.p = 2, .q = 3, .m = 25, .min_rows = 1, .max_rows = 8, .seed = 105},
    {.p = 4, .q = 3, .m = 30, .min_rows = 2, .max_rows = 6, .seed = 106, .templates = 3},
    {.p = 3, .q = 4, .m = 18, .min_rows = 0, .max_rows = 9, .seed = 107},
    {.p = 1, .q = 4, .m = 10, .min_rows = 7, .max_rows = 7, .seed = 108, .templates = 1},
    {.p = 3, .q = 2, .m = 30, .min_rows = 1, .max_rows = 7, .seed = 109, .mean = 100.0},
    {.p = 2, .q = 1, .m = 20, .min_rows = 2, .max_rows = 5, .seed = 110, .templates = 2, .mean = -300.0},
};

// At an interior point, a zero diagonal and theta = 0 (ldl2, u and the gradient exactly
// zero), REML and ML, weighted or not, every kernel gives the dense solution; its
// gradient and the gradient's parts match central differences, and the lower modes
// give the same numbers, leaving out what they do not need.
TEST(Evaluate, KernelsMatchDenseSolutionAndFiniteDifferences) {
  for (const qkt::DesignShape& s : kDesigns)
    for (bool weighted : {false, true}) {
      Models mod = models(s, 2, weighted);
      Vec zero_diag = random_theta(s.q, s.seed + 1);
      zero_diag[0] = 0.0;
      for (const Vec& theta : {random_theta(s.q, s.seed), zero_diag, Vec(zero_diag.size(), 0.0)}) {
        const bool at_zero = theta == Vec(theta.size(), 0.0);
        for (bool reml : {true, false}) {
          SCOPED_TRACE("p=" + std::to_string(s.p) + " q=" + std::to_string(s.q) + " theta[0]=" +
                       std::to_string(theta[0]) + (reml ? " REML" : " ML") + (weighted ? " weighted" : ""));
          const auto ref = reference(mod.d, theta, reml).value();
          const auto part = [&](double (*of)(const qk::Evaluation&)) {
            return qkt::differences([&](const Vec& t) { return of(qk::evaluate(*mod.data[0], t, reml, qk::kModeDeviance).value()); },
                                    theta, 2e-5);
          };
          const Vec fd = part([](const qk::Evaluation& e) { return e.deviance; }),
                    fd_logdet = part([](const qk::Evaluation& e) { return e.ldl2 + e.ldrx2; }),
                    fd_pwrss = part([](const qk::Evaluation& e) { return e.pwrss; });
          const auto blocks = qk::evaluate(*mod.data[0], theta, reml, qk::kModeGradient).value();
          for (int k = 0; k < 3; ++k) {
            SCOPED_TRACE(qkt::kNames[k]);
            auto ev = qk::evaluate(*mod.data[k], theta, reml, qk::kModeSolution);
            auto cov = qk::conditional_covariances(*mod.data[k], theta, reml);
            ASSERT_TRUE(ev && cov);
            EXPECT_TRUE(qkt::all_near({ev->deviance, ev->ldl2, ev->ldrx2}, {ref.deviance, ref.ldl2, ref.ldrx2}, 1e-10));
            EXPECT_TRUE(qkt::all_near({ev->pwrss, ev->sigma2}, {ref.pwrss, ref.sigma2}, 1e-9));
            EXPECT_TRUE(qkt::all_near(ev->beta, ref.beta, 1e-8) && qkt::all_near(ev->u, ref.u, 1e-8));
            EXPECT_TRUE(qkt::all_near(ev->fixed_inverse, ref.fixed_inverse, 1e-8));
            EXPECT_TRUE(qkt::all_near(*cov, ref.cond_cov, 1e-10));
            EXPECT_TRUE(qkt::all_near(ev->gradient, fd, 1e-6));
            EXPECT_TRUE(qkt::all_near(ev->grad_logdet, fd_logdet, 1e-6));
            EXPECT_TRUE(qkt::all_near(ev->grad_pwrss, fd_pwrss, 1e-6 * std::max(1.0, ev->pwrss)));
            for (std::size_t i = 0; i < theta.size(); ++i)  // the profiled gradient from its parts
              EXPECT_TRUE(qkt::near_rel(ev->grad_logdet[i] + ev->pwrss / ev->sigma2 / ev->pwrss * ev->grad_pwrss[i],
                                        ev->gradient[i], 1e-12));
            EXPECT_TRUE(qkt::all_near(ev->gradient, blocks.gradient, 1e-8));
            EXPECT_TRUE(!at_zero || (ev->ldl2 == 0.0 && ev->gradient == Vec(theta.size()) && ev->u == Vec(ev->u.size())));
            const qk::Evaluation m0 = qk::evaluate(*mod.data[k], theta, reml, qk::kModeDeviance).value(),
                                 m1 = qk::evaluate(*mod.data[k], theta, reml, qk::kModeGradient).value();
            EXPECT_TRUE(m0.gradient.empty() && m0.u.empty() && m1.u.empty() && m1.fixed_inverse.empty());
            EXPECT_TRUE(m0.deviance == ev->deviance && m0.beta == ev->beta && m1.gradient == ev->gradient);
          }
        }
      }
    }
}

// Pivots that overflow, also of a single group in a middle chunk, are infeasible in
// every mode; the blocks kernel's work buffer goes back to the pool and is reused.
TEST(Evaluate, InfeasibleThetaAndScratchReuse) {
  Models mod = models({.p = 2, .q = 2, .m = 1000, .min_rows = 1, .max_rows = 4, .seed = 131});
  const Vec good{0.8, 0.1, 0.6}, huge{1e200, 0.0, 1.0}, big{1e5, 0.0, 1.0};
  Design poisoned = mod.d;  // group 500 gets Z'Z near 1e300: at lambda = 1e5 only its pivot overflows
  poisoned.z[2 * (std::find(poisoned.codes.begin(), poisoned.codes.end(), 500) - poisoned.codes.begin())] = 1e150;
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(qkt::kNames[k]);
    const qk::LmmData& data = *mod.data[k];
    const std::size_t pooled = kKernels[k] == qk::kBlocks ? 1 : 0;
    auto first = qk::evaluate(data, good, true, qk::kModeGradient);
    for (qk::Mode mode : {qk::kModeDeviance, qk::kModeGradient, qk::kModeSolution})
      EXPECT_FALSE(qk::evaluate(data, huge, true, mode));
    EXPECT_TRUE(!qk::conditional_covariances(data, huge, true) && data.scratch.size() == pooled);
    auto again = qk::evaluate(data, good, true, qk::kModeGradient);
    EXPECT_TRUE(first && again && again->deviance == first->deviance && again->gradient == first->gradient);
    EXPECT_TRUE(data.scratch.size() == pooled && qk::evaluate(data, big, false, qk::kModeGradient));
    auto bad = qkt::build(poisoned, kKernels[k]);
    EXPECT_FALSE(qk::evaluate(*bad, big, false, qk::kModeDeviance) || qk::evaluate(*bad, big, false, qk::kModeGradient));
  }
}

// q = 1, weighted or not (z = 1: classes are row counts): the deviance and slope are
// evaluate's, the curvature the gradient's central difference, the criterion even in
// theta. A response the fixed effects fit exactly has no Hessian.
TEST(ScalarHessian, MatchesDerivativesOfTheCriterion) {
  for (bool weighted : {false, true}) {
    Models mod = models({.p = 3, .q = 1, .m = 60, .min_rows = 0, .max_rows = 7, .seed = 151}, 0, weighted);
    for (int k = 0; k < 3; ++k)
      for (bool reml : {true, false})
        for (double theta : {0.0, 0.35, 1.3}) {
          SCOPED_TRACE(std::string(qkt::kNames[k]) + (reml ? " REML" : " ML") + " theta " + std::to_string(theta) +
                       (weighted ? " weighted" : ""));
          const qk::LmmData& data = *mod.data[k];
          auto h = qk::scalar_hessian(data, reml, theta), mirror = qk::scalar_hessian(data, reml, -theta);
          auto ev = qk::evaluate(data, {theta}, reml, qk::kModeGradient);
          auto up = qk::evaluate(data, {theta + 1e-5}, reml, qk::kModeGradient);
          auto down = qk::evaluate(data, {theta - 1e-5}, reml, qk::kModeGradient);
          ASSERT_TRUE(h && mirror && ev && up && down);
          EXPECT_TRUE(qkt::near_rel(h->deviance, ev->deviance, 1e-11) && qkt::near_rel(h->first, ev->gradient[0], 1e-8));
          EXPECT_TRUE(qkt::near_rel(h->second, (up->gradient[0] - down->gradient[0]) / 2e-5, 1e-6));
          EXPECT_TRUE(mirror->deviance == h->deviance && mirror->first == -h->first && mirror->second == h->second);
        }
    Design exact = mod.d;
    for (std::uint64_t r = 0; r < exact.n; ++r) exact.y[r] = 2.0 - exact.x[r * 3 + 1];
    for (qk::Evaluator kernel : kKernels) EXPECT_FALSE(qk::scalar_hessian(*qkt::build(exact, kernel), false, 0.4));
  }
}

// Lambda's blocks are positive sizes summing to q.
TEST(Theta, BlockLayoutsAreChecked) {
  for (const std::vector<std::uint64_t>& bad : {std::vector<std::uint64_t>{}, {2, 2}, {0, 3}, {1, 1}})
    EXPECT_EQ(qkt::refusal(qk::blocks_error(bad, 3)).rfind("blocks must be positive sizes summing to q = 3", 0), 0u);
  EXPECT_FALSE(qk::blocks_error({1, 2}, 3));
}

// At most four buffers are kept; take reuses one of the right length as it is.
TEST(ScratchPool, ReusesByLengthAndKeepsAtMostFour) {
  qk::ScratchPool pool;
  auto a = pool.take(10);
  EXPECT_EQ(*a, Vec(10, 0.0));
  (*a)[3] = 7.0;
  pool.give_back(std::move(a));
  EXPECT_TRUE(*pool.take(11) == Vec(11, 0.0) && pool.size() == 1);
  EXPECT_TRUE((*pool.take(10))[3] == 7.0 && pool.size() == 0);
  for (int i = 0; i < 6; ++i) pool.give_back(std::make_unique<Vec>(5 + i, 1.0));
  EXPECT_EQ(pool.size(), 4u);
  EXPECT_TRUE(*pool.take(8) == Vec(8, 1.0) && pool.size() == 3);
}

// Designs large enough that every kernel, the conditional covariances and the q = 1
// Hessian (m * 18 >= 262144) run many chunks on the pool, each kernel cutting its own
// way: they agree, and give the same bits for pools of 1, 2 and 7 threads.
TEST(Evaluate, ManyChunksAgreeAcrossKernelsAndPoolSizes) {
  const Design big = qkt::make_design({.p = 3, .q = 2, .m = 20000, .min_rows = 0, .max_rows = 4, .seed = 181,
                                       .templates = 2000});
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
      auto data = qkt::build(big, kKernels[k]), one = qkt::build(scalar, kKernels[k]), heavy = qkt::build(weighted, kKernels[k]);
      const std::optional<qk::Evaluation> evs[] = {
          qk::evaluate(*data, theta, true, qk::kModeSolution), qk::evaluate(*data, theta, false, qk::kModeGradient),
          qk::evaluate(*data, theta, true, qk::kModeDeviance), qk::evaluate(*one, {0.7}, true, qk::kModeSolution),
          qk::evaluate(*heavy, {0.7}, true, qk::kModeSolution)};
      std::vector<Vec> got;
      for (const auto& ev : evs) {
        if (!ev) return std::string("infeasible\n");
        b.f64(ev->deviance).f64(ev->sigma2).f64(ev->pwrss).f64(ev->ldl2).f64(ev->ldrx2);
        b.vec(ev->gradient).vec(ev->beta).vec(ev->u).vec(ev->fixed_inverse);
        got.insert(got.end(), {ev->gradient, ev->u, {ev->deviance}});
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

// Forks while three threads borrow the blocks kernel's work buffers: no child may find
// the pool locked by a thread that does not exist in it. The child's alarm ends a hang;
// it is generous because a deadlock never ends, while a busy machine (ctest runs tests
// side by side) can hold a healthy child back for seconds.
//
// Not under AddressSanitizer: the runtime of GCC 12 takes no lock around fork, so a
// child that allocates hangs on an allocator lock some thread of the parent held at
// that moment (seen: the child waiting in SizeClassAllocator64::GetFromAllocator),
// a fault of the runtime, not of the code under test; glibc's malloc, which the plain
// build runs this test with, is made safe across fork by its own handlers.
TEST(Evaluate, ForkWhileOtherThreadsEvaluate) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator is not safe across fork in a threaded process";
#endif
  auto data = qkt::build(qkt::make_design({.p = 2, .q = 2, .m = 12, .min_rows = 1, .max_rows = 4, .seed = 211}), qk::kBlocks);
  const Vec theta{0.8, 0.1, 0.6};
  const auto ref = qk::evaluate(*data, theta, true, qk::kModeGradient).value();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] { while (!stop.load()) qk::evaluate(*data, theta, true, qk::kModeGradient); });
  int hung = 0, wrong = 0, signal = 0;
  for (int i = 0; i < 500 && hung == 0; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(60);
      const auto ev = qk::evaluate(*data, theta, true, qk::kModeGradient);
      _exit(ev && ev->deviance == ref.deviance && ev->gradient == ref.gradient ? 0 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++hung, signal = WTERMSIG(status);
    wrong += WIFEXITED(status) && WEXITSTATUS(status) != 0;
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_TRUE(hung == 0 && wrong == 0) << hung << " ended by signal " << signal << " (" << strsignal(signal) << "), "
                                       << wrong << " wrong";
}

}  // namespace
