// The fit from batches by nAGQ = 0 and by adaptive quadrature against the in-memory
// fit of the same rows (zero-inflated ones too); the passes shared by several points (evaluate_together): each
// point's results the bits of its run alone, the passes those of its longest run, a
// reader's error carried out of the shared passes; the joint PIRLS's halved steps read
// in one pass.

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "lmm/glmm/batch.hpp"
#include "lmm/glmm/batch_board.hpp"
#include "lmm/glmm/batch_driver.hpp"
#include "lmm/glmm/glmm.hpp"
#include "glmm_rows.hpp"

namespace glmm_batch_nagq_test {

namespace gl = qk::glmm;
using GVec = std::vector<double>;

// Rows of m groups in random order: x = (1, N(0,1)), z the first q columns of (1, x1),
// responses drawn from the family (binomial with 1..4 trials).
struct Rows {
  std::uint64_t n = 0, p = 2, q = 1, m = 0;
  GVec y, x, z, w;
  std::vector<std::int64_t> codes;
};

Rows simulate(const gl::Family& fam, std::uint64_t m, std::uint64_t q, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> nd;
  std::uniform_int_distribution<std::uint64_t> trials(1, 4), group(0, m - 1);
  Rows s;
  s.q = q;
  s.m = m;
  GVec b0(m), b1(m);
  for (std::uint64_t g = 0; g < m; ++g) {
    b0[g] = 0.7 * nd(rng);
    b1[g] = 0.3 * nd(rng);
  }
  const std::string name = fam.def->name;
  for (std::uint64_t i = 0; i < 7 * m; ++i) {
    const std::uint64_t g = i < m ? (i * 5) % m : group(rng);
    const double x1 = nd(rng);
    const double mu = gl::linkinv(fam, (name == "binomial" ? -0.3 : 0.5) + 0.4 * x1 + b0[g] + b1[g] * x1);
    const auto [y, w] = qkt::draw_response(fam, mu, rng, trials, 5.0);
    // A zero-inflated family's structural zeros, a fifth of the rows.
    s.y.push_back(fam.inflated && std::uniform_real_distribution<double>()(rng) < 0.2 ? 0.0 : y);
    s.w.push_back(w);
    s.x.insert(s.x.end(), {1.0, x1});
    const double zz[2] = {1.0, x1};
    s.z.insert(s.z.end(), zz, zz + q);
    s.codes.push_back(static_cast<std::int64_t>(g));
    ++s.n;
  }
  return s;
}

using Reader = qkt::RowBatches<Rows>;
using qkt::expect_close;
const auto family = qkt::glmm_family;

struct Case {
  const char* family;
  const char* link;
  std::uint64_t q;
  int nagq;
  std::uint64_t batch;
  double vcov_tol;  // the quadrature's Hessian is by second differences of the criterion
  std::uint64_t m = 30;  // groups; thousands: the kernel cuts them into several chunks
  bool zi = false;       // a constant zero-inflation probability, its logit started at logit(0.2)
};

TEST(GlmmBatchNagq, FitIsTheInMemoryFit) {
  const Case cases[] = {
      {"binomial", "logit", 1, 0, 7, 1e-8},  {"poisson", "log", 1, 0, 13, 1e-8}, {"Gamma", "log", 1, 0, 5, 1e-8},
      {"binomial", "logit", 2, 0, 9, 1e-8},  {"binomial", "logit", 1, 5, 11, 1e-4}, {"poisson", "log", 1, 9, 3, 1e-4},
      {"binomial", "probit", 1, 2, 50, 1e-4}, {"Gamma", "log", 2, 0, 3000, 1e-8, 4201},
      {"binomial", "logit", 2, 0, 5000, 1e-8, 2601},
      {"poisson", "log", 1, 0, 13, 1e-8, 30, true}, {"poisson", "log", 1, 7, 13, 1e-4, 30, true},
      {"poisson", "log", 1, 0, 4000, 1e-8, 3001, true}, {"nbinom2", "log", 2, 0, 40, 1e-8, 31, true},
  };
  for (const Case& c : cases) {
    gl::Family fam = family(c.family, c.link);
    fam.inflated = c.zi;
    fam.observed = fam.observed || c.zi;
    const Rows s = simulate(fam, c.m, c.q, 11 + static_cast<unsigned>(c.nagq + c.batch));
    const std::vector<std::uint64_t> blocks{c.q};
    const gl::Rows rows =
        gl::make_rows({s.n, s.p, s.q, s.m, s.y.data(), s.x.data(), s.z.data(), s.codes.data(), s.w.data(), nullptr},
                      fam, blocks);
    const std::string what = std::string(c.family) + (c.zi ? " zi" : "") + "/" + c.link + " q " +
                             std::to_string(c.q) + " nagq " +
                             std::to_string(c.nagq);
    gl::FitOptions o;
    o.nagq = c.nagq;
    if (c.zi) o.beta = c.family == std::string("nbinom2") ? GVec{0.5, 0.4, 0.0, -1.4} : GVec{0.5, 0.4, -1.4};
    Reader reader(s, c.batch);
    std::uint64_t passes = 0;
    gl::FitResult mem, bat;
    try {
      mem = gl::fit(rows, o);
      bat = gl::fit_batches(reader, gl::make_batch_model(s.m, s.p, s.q, fam, blocks), o, passes);
    } catch (const std::exception& e) {
      ADD_FAILURE() << what << ": " << e.what();
      continue;
    }
    EXPECT_NEAR(bat.m2loglik, mem.m2loglik, 1e-9 * std::fabs(mem.m2loglik)) << what;
    expect_close(bat.theta, mem.theta, 1e-8, what + " theta");
    expect_close(bat.beta, mem.beta, 1e-8, what + " beta");
    expect_close(bat.vcov, mem.vcov, c.vcov_tol, what + " vcov");
    expect_close(bat.u, mem.u, 1e-8, what + " modes");
    EXPECT_EQ(bat.fev, mem.fev) << what;
    EXPECT_EQ(passes, reader.reads) << what;
  }
}

TEST(GlmmBatchNagq, QuadratureTakesOneScalarRandomEffect) {
  const gl::Family fam = family("binomial", "logit");
  const Rows s = simulate(fam, 10, 2, 3);
  Reader reader(s, 10);
  gl::FitOptions o;
  o.nagq = 3;
  std::uint64_t passes = 0;
  EXPECT_THROW(gl::fit_batches(reader, gl::make_batch_model(s.m, s.p, s.q, fam, {2}), o, passes),
               std::invalid_argument);
  EXPECT_EQ(reader.reads, 0u);  // refused before any pass
}

// Points of (theta, beta) around a fit's estimate.
std::vector<GVec> points_near(const gl::FitResult& f) {
  std::vector<GVec> xs;
  for (int k = 0; k < 5; ++k) {
    GVec x = f.theta;
    x.insert(x.end(), f.beta.begin(), f.beta.end());
    x[static_cast<std::size_t>(k) % x.size()] += 0.01 * (k + 1) * (k % 2 ? -1.0 : 1.0);
    xs.push_back(x);
  }
  return xs;
}

TEST(GlmmBatchNagq, SharedPassesGiveEachPointItsOwnBits) {
  struct Shared {
    const char* family;
    const char* link;
    std::uint64_t q;
    int nagq;
  };
  for (const Shared& c : {Shared{"binomial", "logit", 2, 1}, Shared{"poisson", "log", 1, 1},
                          Shared{"binomial", "logit", 1, 4}}) {
    const gl::Family fam = family(c.family, c.link);
    const Rows s = simulate(fam, 25, c.q, 7);
    const gl::BatchModel model = gl::make_batch_model(s.m, s.p, s.q, fam, {c.q});
    Reader reader(s, 17);
    std::uint64_t passes = 0;
    const gl::FitResult fit = gl::fit_batches(reader, model, {}, passes);
    const std::vector<GVec> xs = points_near(fit);
    const std::size_t np = xs[0].size();
    const GVec warm = fit.u;
    // Each point alone, from the same modes.
    GVec alone_f(xs.size());
    std::vector<GVec> alone_g(xs.size(), GVec(np));
    std::uint64_t longest = 0, sum = 0;
    gl::ReaderRunner runs(reader, model);
    gl::detail::Driver first(runs, model);
    first.check();
    for (std::size_t k = 0; k < xs.size(); ++k) {
      gl::detail::Driver d(runs, model);
      d.same_rows_as(first);
      GVec start = warm;
      const GVec lambda = qk::theta_to_lambda(GVec(xs[k].begin(), xs[k].begin() + static_cast<std::ptrdiff_t>(fit.theta.size())),
                                              model.idx, model.q);
      const double* beta = xs[k].data() + fit.theta.size();
      ASSERT_TRUE(c.nagq > 1 ? d.agq_value(lambda, beta, c.nagq, alone_f[k], &start)
                             : d.evaluate(lambda, beta, alone_f[k], alone_g[k].data(), &start));
      longest = std::max(longest, d.passes);
      sum += d.passes;
    }
    for (std::size_t together : {std::size_t{64}, std::size_t{2}}) {
      GVec fs(xs.size()), start = warm;
      std::vector<GVec> gs(xs.size(), GVec(np));
      std::uint64_t shared = 0;
      const std::uint64_t before = reader.reads;
      ASSERT_TRUE(gl::detail::evaluate_together(runs, first, model, c.nagq, xs, start, together, fs,
                                                c.nagq > 1 ? nullptr : &gs, shared));
      EXPECT_EQ(shared, reader.reads - before);
      EXPECT_EQ(fs, alone_f) << c.family << " together " << together;
      if (c.nagq <= 1) {
        EXPECT_EQ(gs, alone_g) << c.family << " together " << together;
      }
      if (together >= xs.size()) {
        EXPECT_EQ(shared, longest) << c.family;  // the longest run's passes
      }
      EXPECT_LT(shared, sum) << c.family;
    }
  }
}

// Points that post passes of their own number: each round makes every live point's
// next post together, in the points' order, for groups of `together` points at a time;
// a round's error, or a point's, reaches the caller once every thread has ended.
TEST(GlmmBatchNagq, BoardMakesTheLivePointsPostsInRounds) {
  using Post = std::pair<std::size_t, std::size_t>;  // (point, its post's number)
  const std::vector<std::size_t> lengths = {3, 1, 4, 2, 5};
  struct Case {
    std::size_t together;
    std::uint64_t rounds;
  };
  for (const Case& c : {Case{64, 5}, Case{2, 3 + 4 + 5}, Case{1, 3 + 1 + 4 + 2 + 5}}) {
    std::vector<std::vector<Post>> log;
    std::vector<std::size_t> done(lengths.size(), 0);
    std::uint64_t rounds = 0;
    gl::detail::run_points<Post>(
        lengths.size(), c.together,
        [&](std::size_t k, gl::detail::Board<Post>& board, std::size_t slot) {
          for (std::size_t i = 0; i < lengths[k]; ++i) board.post(slot, {k, i});
          done[k] = lengths[k];
        },
        [&](const std::vector<Post>& round) { log.push_back(round); }, rounds);
    EXPECT_EQ(rounds, c.rounds) << c.together;
    EXPECT_EQ(log.size(), c.rounds);
    EXPECT_EQ(done, lengths);
    // Within a group, round r holds the post r of each point still posting, in order.
    std::vector<std::size_t> next(lengths.size(), 0);
    for (const std::vector<Post>& round : log) {
      ASSERT_FALSE(round.empty());
      const std::size_t group = round.front().first / c.together;
      for (std::size_t a = 0; a < round.size(); ++a) {
        const auto [k, i] = round[a];
        EXPECT_EQ(k / c.together, group) << "a round of one group only";
        EXPECT_EQ(i, next[k]++) << "each point's posts in order";
        if (a > 0) {
          EXPECT_LT(round[a - 1].first, k);
        }
      }
    }
    EXPECT_EQ(next, lengths) << "every post made once";
  }
  std::uint64_t rounds = 0;
  const auto posts = [](std::size_t k, gl::detail::Board<Post>& board, std::size_t slot) {
    for (std::size_t i = 0; i < 4; ++i) board.post(slot, {k, i});
    if (k == 1) throw std::logic_error("a point's own error");
  };
  EXPECT_THROW(gl::detail::run_points<Post>(
                   3, 64, posts,
                   [&](const std::vector<Post>& round) {
                     if (round.front().second == 2) throw std::runtime_error("the round's");
                   },
                   rounds),
               std::runtime_error);
  EXPECT_EQ(rounds, 2u);
  EXPECT_THROW(gl::detail::run_points<Post>(3, 64, posts, [](const std::vector<Post>&) {}, rounds), std::logic_error);
}

TEST(GlmmBatchNagq, ReadersErrorEndsTheSharedPasses) {
  const gl::Family fam = family("binomial", "logit");
  const Rows s = simulate(fam, 12, 1, 5);
  const gl::BatchModel model = gl::make_batch_model(s.m, s.p, s.q, fam, {1});
  Reader reader(s, 9);
  gl::ReaderRunner runs(reader, model);
  gl::detail::Driver first(runs, model);
  first.check();
  const std::vector<GVec> xs(4, GVec{0.8, -0.2, 0.4});
  for (std::uint64_t fail : {1ull, 3ull}) {
    reader.fail_at = reader.reads + fail;
    GVec fs(xs.size()), warm(s.m, 0.0);
    std::vector<GVec> gs(xs.size(), GVec(3));
    std::uint64_t passes = 0;
    EXPECT_THROW(gl::detail::evaluate_together(runs, first, model, 1, xs, warm, 64, fs, &gs, passes),
                 std::runtime_error);
    EXPECT_EQ(passes, fail - 1);
  }
}

// A kTrials pass sums each group's loglik at every step as a kValue pass at that step's
// beta and u + s du does (the joint PIRLS's halvings read in one pass), to the bit.
TEST(GlmmBatchNagq, TrialStepsInOnePassAreTheValuePasses) {
  for (const char* name : {"binomial", "Gamma"}) {
    const gl::Family fam = family(name, name == std::string("Gamma") ? "log" : "logit");
    const Rows s = simulate(fam, 15, 2, 21);
    const gl::BatchModel model = gl::make_batch_model(s.m, s.p, s.q, fam, {2});
    const std::uint64_t pe = s.p + gl::n_extra(fam), m = s.m, q = s.q;
    const GVec lambda{0.7, 0.0, 0.2, 0.4};
    GVec u(m * q), du(m * q);
    for (std::uint64_t i = 0; i < m * q; ++i) {
      u[i] = 0.1 * std::sin(static_cast<double>(i));
      du[i] = 0.3 * std::cos(static_cast<double>(i));
    }
    const GVec steps{1.0, 0.5, 0.25, 0.125};
    GVec betas;
    for (double st : steps) {
      const GVec b{-0.2 + st * 0.3, 0.4 - st * 0.1, 0.1 + st * 0.05};
      betas.insert(betas.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(pe));
    }
    Reader reader(s, 13);
    gl::PassInput in;
    in.kind = gl::PassKind::kTrials;
    in.lambda = lambda.data();
    in.beta = betas.data();
    in.u = u.data();
    in.du = du.data();
    in.points = betas.data();
    in.steps = steps.data();
    in.nodes = steps.size();
    gl::PassSums trials;
    trials.clear(model, in);
    reader.each([&](const gl::Batch& b) { gl::add_batch(model, b, in, trials); });
    for (std::size_t k = 0; k < steps.size(); ++k) {
      GVec uk(m * q);
      for (std::uint64_t i = 0; i < m * q; ++i) uk[i] = u[i] + steps[k] * du[i];
      gl::PassInput one;
      one.kind = gl::PassKind::kValue;
      one.lambda = lambda.data();
      one.beta = betas.data() + k * pe;
      one.u = uk.data();
      gl::PassSums value;
      value.clear(model, one);
      reader.each([&](const gl::Batch& b) { gl::add_batch(model, b, one, value); });
      for (std::uint64_t g = 0; g < m; ++g)
        EXPECT_EQ(trials.at_nodes[g * steps.size() + k], value.ll[g]) << name << " step " << k << " group " << g;
    }
  }
}

}  // namespace glmm_batch_nagq_test
