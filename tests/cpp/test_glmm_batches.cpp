// The GLMM fit from batches (lmm/glmm/batch.hpp) against the in-memory fit of the same
// rows: every family path (canonical links, a non-canonical one whose observed and
// Fisher curvatures differ, families with a dispersion parameter, a constant
// zero-inflation), scalar, vector-valued and uncorrelated terms, rows of the groups
// interleaved across batches; the same bits for any split; the refusals.

#include <algorithm>
#include <random>
#include <stdexcept>

#include "lmm/glmm/batch.hpp"
#include "lmm/glmm/glmm.hpp"
#include "glmm_rows.hpp"
#include "pool/pool.hpp"
#include "support.hpp"

namespace glmm_batches_test {

namespace gl = qk::glmm;
using GVec = std::vector<double>;

const auto family = qkt::glmm_family;

// Rows of m groups in random order (a group's rows scattered over the batches), x =
// (1, N(0,1)), z the first q columns of (1, x1, N(0,1)), an offset, responses drawn
// from the family (binomial with 1..5 trials).
struct Sim {
  std::uint64_t n = 0, p = 2, q = 1, m = 0;
  GVec y, x, z, w, offset;
  std::vector<std::int64_t> codes;
};

Sim simulate(const gl::Family& fam, std::uint64_t m, std::uint64_t q, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> nd;
  std::uniform_int_distribution<std::uint64_t> trials(1, 5), group(0, m - 1);
  Sim s;
  s.q = q;
  s.m = m;
  GVec bg(m), sg(m);
  for (std::uint64_t g = 0; g < m; ++g) {
    bg[g] = 0.8 * nd(rng);
    sg[g] = 0.4 * nd(rng);
  }
  const bool counts = fam.def->name != std::string("binomial");
  for (std::uint64_t i = 0; i < 6 * m; ++i) {
    // Every group has a row (the first m rows visit them in turn), then at random.
    const std::uint64_t g = i < m ? (i * 7) % m : group(rng);
    const double x1 = nd(rng), x2 = nd(rng), off = 0.1 * nd(rng);
    const double eta = off + (counts ? 0.6 : -0.4) + 0.5 * x1 + bg[g] + sg[g] * x1;
    const double mu = gl::linkinv(fam, eta);
    const auto [y, w] = qkt::draw_response(fam, mu, rng, trials, 4.0);
    // A zero-inflated family's structural zeros, a fifth of the rows.
    s.y.push_back(fam.inflated && std::uniform_real_distribution<double>()(rng) < 0.2 ? 0.0 : y);
    s.w.push_back(w);
    s.offset.push_back(off);
    s.x.insert(s.x.end(), {1.0, x1});
    const double zz[3] = {1.0, x1, x2};
    s.z.insert(s.z.end(), zz, zz + q);
    s.codes.push_back(static_cast<std::int64_t>(g));
    ++s.n;
  }
  return s;
}

using VectorBatches = qkt::RowBatches<Sim>;
using qkt::expect_close;

struct Case {
  const char* family;
  const char* link;
  std::uint64_t q;
  std::vector<std::uint64_t> blocks;
  std::uint64_t batch;
  std::uint64_t m = 25;  // groups; thousands: the kernel cuts them into several chunks
  bool zi = false;       // a constant zero-inflation probability
};

// The family by name, zero-inflated (a constant probability, whose curvature is the
// observed one) where asked.
gl::Family case_family(const Case& c) {
  gl::Family fam = family(c.family, c.link);
  if (c.zi) {
    fam.inflated = true;
    fam.zi_columns = 1;
    fam.observed = true;
  }
  return fam;
}

TEST(GlmmBatches, FitIsTheInMemoryFit) {
  const Case cases[] = {
      {"binomial", "logit", 1, {1}, 7},     {"poisson", "log", 1, {1}, 1},     {"binomial", "probit", 1, {1}, 50},
      {"binomial", "logit", 2, {2}, 13},    {"poisson", "log", 2, {1, 1}, 64}, {"binomial", "cloglog", 2, {2}, 1000},
      {"nbinom2", "log", 1, {1}, 11},       {"nbinom1", "log", 1, {1}, 29},       {"Gamma", "log", 2, {1, 1}, 3},
      {"binomial", "logit", 2, {2}, 1500, 2600}, {"Gamma", "log", 1, {1}, 7000, 6000},
      {"poisson", "log", 1, {1}, 9, 40, true},   {"nbinom2", "log", 2, {1, 1}, 33, 30, true},
      {"nbinom2", "log", 1, {1}, 6, 25, true},
      {"poisson", "log", 1, {1}, 4000, 5000, true},
  };
  for (const Case& c : cases) {
    const gl::Family fam = case_family(c);
    const Sim s = simulate(fam, c.m, c.q, 5 + static_cast<unsigned>(c.q) + static_cast<unsigned>(c.batch));
    const gl::Rows rows = gl::make_rows(
        {s.n, s.p, s.q, s.m, s.y.data(), s.x.data(), s.z.data(), s.codes.data(), s.w.data(), s.offset.data()}, fam,
        c.blocks);
    const std::string what = std::string(c.family) + (c.zi ? " zi" : "") + "/" + c.link + " q " +
                             std::to_string(c.q) + " batch " +
                             std::to_string(c.batch) + " groups " + std::to_string(c.m);
    gl::FitResult mem, bat;
    VectorBatches reader(s, c.batch);
    std::uint64_t passes = 0;
    // A zero-inflated fit starts from the counts' coefficients, as the Python layer's do.
    gl::FitOptions start;
    if (c.zi) start.beta = c.family == std::string("nbinom2") ? GVec{0.6, 0.5, 0.0, -1.4} : GVec{0.6, 0.5, -1.4};
    try {
      mem = gl::fit(rows, start);
    } catch (const std::exception& e) {
      ADD_FAILURE() << what << " in memory: " << e.what();
      continue;
    }
    try {
      bat = gl::fit_batches(reader, gl::make_batch_model(s.m, s.p, s.q, fam, c.blocks), start, passes);
    } catch (const std::exception& e) {
      ADD_FAILURE() << what << " from batches: " << e.what();
      continue;
    }
    EXPECT_NEAR(bat.m2loglik, mem.m2loglik, 1e-9 * std::fabs(mem.m2loglik)) << what;
    expect_close(bat.theta, mem.theta, 1e-8, what + " theta");
    expect_close(bat.beta, mem.beta, 1e-8, what + " beta");
    expect_close(bat.vcov, mem.vcov, 1e-8, what + " vcov");
    expect_close(bat.vcov_rx, mem.vcov_rx, 1e-8, what + " vcov_rx");
    expect_close(bat.u, mem.u, 1e-8, what + " modes");
    expect_close(bat.cond_var, mem.cond_var, 1e-8, what + " cond_var");
    EXPECT_EQ(bat.fev, mem.fev) << what;
    EXPECT_EQ(bat.vcov_from_hessian, mem.vcov_from_hessian) << what;
    EXPECT_GT(passes, bat.fev) << what;
  }
}

TEST(GlmmBatches, SameBitsForAnySplitOfTheRows) {
  // 20 groups: one chunk; 6,000 of a Gamma model: several, whose partial global sums
  // (beta's and log(phi)'s gradient) are kept across the batches.
  const struct {
    const char* family;
    const char* link;
    std::uint64_t m, q;
    std::vector<std::uint64_t> sizes;
  } cases[] = {{"binomial", "logit", 20, 2, {1, 9, 40, 100000}}, {"Gamma", "log", 6000, 1, {997, 1000000}}};
  for (const auto& c : cases) {
    const gl::Family fam = family(c.family, c.link);
    const Sim s = simulate(fam, c.m, c.q, 3);
    const gl::BatchModel model = gl::make_batch_model(s.m, s.p, s.q, fam, {c.q});
    std::vector<gl::FitResult> fits;
    for (std::uint64_t size : c.sizes) {
      VectorBatches reader(s, size);
      std::uint64_t passes = 0;
      fits.push_back(gl::fit_batches(reader, model, {}, passes));
    }
    for (std::size_t k = 1; k < fits.size(); ++k) {
      EXPECT_EQ(fits[k].m2loglik, fits[0].m2loglik) << c.family;
      EXPECT_EQ(fits[k].theta, fits[0].theta) << c.family;
      EXPECT_EQ(fits[k].beta, fits[0].beta) << c.family;
      EXPECT_EQ(fits[k].vcov, fits[0].vcov) << c.family;
      EXPECT_EQ(fits[k].u, fits[0].u) << c.family;
    }
  }
}

// The rows of s as a spill ordered by span of groups replays them: stably sorted by
// code / span.
Sim by_span(const Sim& s, std::uint64_t span) {
  std::vector<std::uint64_t> at(s.n);
  for (std::uint64_t i = 0; i < s.n; ++i) at[i] = i;
  std::stable_sort(at.begin(), at.end(), [&](std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>(s.codes[a]) / span < static_cast<std::uint64_t>(s.codes[b]) / span;
  });
  Sim o = s;
  for (std::uint64_t k = 0; k < s.n; ++k) {
    const std::uint64_t i = at[k];
    o.y[k] = s.y[i];
    o.w[k] = s.w[i];
    o.offset[k] = s.offset[i];
    o.codes[k] = s.codes[i];
    std::copy_n(s.x.begin() + static_cast<std::ptrdiff_t>(i * s.p), s.p, o.x.begin() + static_cast<std::ptrdiff_t>(k * s.p));
    std::copy_n(s.z.begin() + static_cast<std::ptrdiff_t>(i * s.q), s.q, o.z.begin() + static_cast<std::ptrdiff_t>(k * s.q));
  }
  return o;
}

// The source's rows at the first pass (the checks and the loglik's constant), then
// (as from a spill written by that pass) another order of them.
class ThenReordered final : public gl::BatchReader {
 public:
  ThenReordered(const Sim& first, const Sim& later, std::uint64_t size) : first_(first, size), later_(later, size) {}
  void each(const std::function<void(const gl::Batch&)>& visit) override {
    (reads_++ == 0 ? first_ : later_).each(visit);
  }

 private:
  VectorBatches first_, later_;
  std::uint64_t reads_ = 0;
};

TEST(GlmmBatches, SameBitsWhenTheRowsComeSpanBySpan) {
  // More groups than a span, so that every pass kind cuts them into several chunks:
  // rows replayed span by span of aligned_chunk_span() groups (a spill ordered by
  // group) give the fit of the source's order, bit for bit; any other span need not
  // (the chunks' partial sums then take their rows in another order).
  const std::uint64_t span = qk::aligned_chunk_span();
  const gl::Family fam = family("binomial", "logit");
  const Sim s = simulate(fam, span + span / 4, 1, 23);
  const gl::BatchModel model = gl::make_batch_model(s.m, s.p, s.q, fam, {1});
  const auto fit = [&](const Sim& later) {
    ThenReordered reader(s, later, 50000);
    std::uint64_t passes = 0;
    return gl::fit_batches(reader, model, {}, passes);
  };
  const gl::FitResult want = fit(s), got = fit(by_span(s, span));
  EXPECT_EQ(got.m2loglik, want.m2loglik);
  EXPECT_EQ(got.theta, want.theta);
  EXPECT_EQ(got.beta, want.beta);
  EXPECT_EQ(got.vcov, want.vcov);
  EXPECT_EQ(got.u, want.u);
}

TEST(GlmmBatches, SameBitsForAnyPoolSize) {
  // 45,000 groups in a batch of 270,000 rows: the rows gathered by blocks and the
  // chunks of groups both on the pool.
  qkt::same_bits_for_pool_sizes(
      [] {
        const gl::Family fam = family("nbinom2", "log");
        const Sim s = simulate(fam, 45000, 1, 17);
        const gl::BatchModel model = gl::make_batch_model(s.m, s.p, s.q, fam, {1});
        VectorBatches reader(s, 270000);
        gl::BatchCriterion at(reader, model);
        qkt::Bytes out;
        for (const double th : {0.7, 1.3}) {
          const GVec beta{0.5, 0.4, 0.2};
          GVec grad(4);
          double value = 0.0;
          if (!at.evaluate({th}, beta.data(), value, grad.data())) return std::string("failed");
          out.f64(value).vec(grad);
        }
        return out.buf;
      },
      16);
}

TEST(GlmmBatches, RefusesBadRowsNamingTheBatch) {
  const gl::Family fam = family("poisson", "log");
  Sim s = simulate(fam, 6, 1, 9);
  std::uint64_t passes = 0;
  const auto fails_with = [&](const Sim& bad, std::uint64_t m, const std::string& text) {
    VectorBatches reader(bad, 10);
    try {
      gl::fit_batches(reader, gl::make_batch_model(m, bad.p, bad.q, fam, {1}), {}, passes);
      ADD_FAILURE() << "no error; expected " << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  };
  Sim code = s;
  code.codes[13] = 6;
  fails_with(code, 6, "batch 1, row 3: group code 6 is outside 0..5");
  Sim negative = s;
  negative.y[25] = -1.0;
  fails_with(negative, 6, "batch 2, row 5: response");
  Sim infinite = s;
  infinite.x[2 * 31 + 1] = INFINITY;
  fails_with(infinite, 6, "batch 3, row 1: x has a value that is not finite");
  fails_with(s, 7, "group 6 has no rows");
  gl::Family inflated = family("poisson", "log");
  inflated.inflated = true;
  inflated.zi_columns = 2;  // covariates of the zero-inflation, which batches do not carry
  EXPECT_THROW(gl::make_batch_model(6, 2, 1, inflated, {1}), std::invalid_argument);
}

// Each pass as a cluster makes it: every partition (`parts` consecutive batches)
// reduced into sums of its own from zero, the partitions' sums merged pairwise in a
// fixed tree, the root added into the driver's.
class TreeRunner final : public gl::PassRunner {
 public:
  TreeRunner(const Sim& s, const gl::BatchModel& model, std::uint64_t size, std::uint64_t parts)
      : reader_(s, size), model_(model), parts_(parts) {}
  void run(const gl::PassInput& in, gl::PassSums& sums) override {
    std::vector<gl::PassSums> level;
    std::uint64_t k = 0;
    reader_.each([&](const gl::Batch& b) {
      if (k++ % parts_ == 0) {
        level.emplace_back();
        level.back().clear(model_, in);
      }
      gl::add_batch(model_, b, in, level.back());
    });
    for (gl::PassSums& part : level) part.settle();
    while (level.size() > 1) {
      std::vector<gl::PassSums> up;
      for (std::size_t i = 0; i < level.size(); i += 2) {
        up.push_back(level[i]);
        if (i + 1 < level.size()) add_into(up.back(), level[i + 1]);
      }
      level.swap(up);
    }
    add_into(sums, level.at(0));
  }

 private:
  static void add_into(gl::PassSums& to, const gl::PassSums& from) {
    for (auto m : {&gl::PassSums::ll, &gl::PassSums::d1, &gl::PassSums::mo, &gl::PassSums::mf, &gl::PassSums::ms,
                   &gl::PassSums::tm, &gl::PassSums::s, &gl::PassSums::zw, &gl::PassSums::zd, &gl::PassSums::gmom, &gl::PassSums::bx,
                   &gl::PassSums::xsx, &gl::PassSums::xd1, &gl::PassSums::gb, &gl::PassSums::at_nodes})
      for (std::size_t i = 0; i < (to.*m).size(); ++i) (to.*m)[i] = (to.*m)[i] + (from.*m)[i];
    for (std::size_t i = 0; i < to.count.size(); ++i) to.count[i] += from.count[i];
    to.constant = to.constant + from.constant;
    to.rows += from.rows;
    to.batches += from.batches;
  }
  VectorBatches reader_;
  const gl::BatchModel& model_;
  std::uint64_t parts_;
};

TEST(GlmmBatches, PassesMergedInATreeGiveTheInMemoryFit) {
  const Case cases[] = {{"binomial", "logit", 2, {2}, 9},
                        {"nbinom2", "log", 1, {1}, 7},
                        {"nbinom2", "log", 1, {1}, 5000, 6000},
                        {"nbinom2", "log", 1, {1}, 17, 25, true}};
  for (const Case& c : cases) {
    const gl::Family fam = case_family(c);
    const Sim s = simulate(fam, c.m, c.q, 11);
    const gl::Rows rows = gl::make_rows(
        {s.n, s.p, s.q, s.m, s.y.data(), s.x.data(), s.z.data(), s.codes.data(), s.w.data(), s.offset.data()}, fam,
        c.blocks);
    const gl::BatchModel model = gl::make_batch_model(s.m, s.p, s.q, fam, c.blocks);
    const gl::FitResult mem = gl::fit(rows, {});
    std::uint64_t passes = 0;
    TreeRunner runner(s, model, c.batch, 3), again(s, model, c.batch, 3);
    const gl::FitResult tree = gl::fit_batches(runner, model, {}, passes), same = gl::fit_batches(again, model, {}, passes);
    const std::string what = c.family;
    EXPECT_NEAR(tree.m2loglik, mem.m2loglik, 1e-9 * std::fabs(mem.m2loglik)) << what;
    expect_close(tree.theta, mem.theta, 1e-8, what + " theta");
    expect_close(tree.beta, mem.beta, 1e-8, what + " beta");
    expect_close(tree.vcov, mem.vcov, 1e-8, what + " vcov");
    expect_close(tree.u, mem.u, 1e-8, what + " modes");
    // The same partitions and tree: the same bits.
    EXPECT_EQ(same.m2loglik, tree.m2loglik) << what;
    EXPECT_EQ(same.beta, tree.beta) << what;
    EXPECT_EQ(same.vcov, tree.vcov) << what;
  }
}

TEST(GlmmBatches, FitMakesFewPasses) {
  // The passes of a whole fit, bounded by one more than it makes today. Each of these
  // costs some 2 to 15 passes more when undone: the Laplace value at the joint PIRLS's
  // estimate from its modes, Laplace's first PIRLS from them, the modes at the
  // estimate from the last point's, the joint PIRLS that tries no halvings in the
  // Newton zone, the gradient from the moments of the pass at the modes (no pass of
  // its own), and a group's PIRLS that ends where its next step is predicted below
  // the tolerance. A pass over rows beyond memory is the fit's unit of cost.
  const struct {
    const char* family;
    const char* link;
    std::uint64_t m, most;
  } cases[] = {{"binomial", "logit", 3000, 60},
               {"poisson", "log", 3000, 70},
               {"binomial", "probit", 2000, 69}};
  for (const auto& c : cases) {
    const gl::Family fam = family(c.family, c.link);
    const Sim s = simulate(fam, c.m, 1, 11);
    VectorBatches reader(s, 5000);
    std::uint64_t passes = 0;
    const gl::FitResult r = gl::fit_batches(reader, gl::make_batch_model(s.m, s.p, s.q, fam, {1}), {}, passes);
    EXPECT_TRUE(r.converged) << c.family << "/" << c.link;
    EXPECT_LE(passes, c.most) << c.family << "/" << c.link << " m " << c.m;
    EXPECT_EQ(passes, reader.reads) << c.family;
  }
}

}  // namespace glmm_batches_test
