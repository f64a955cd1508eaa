// The crossed GLMM fit from batches (lmm/glmm/batch_crossed.hpp): its kernel's sums
// against sums taken directly over the rows (the level pairs and counts of the check
// pass, the log-likelihood, the products of every kind of system against the in-memory
// crossed fit's refill of the same weights and responses), and the fit against the
// in-memory crossed fit of the same rows, to the bit, for any split into batches (a
// zero-inflated one's too, by Laplace and nAGQ 0).

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

#include "lmm/glmm/batch_crossed.hpp"
#include "lmm/glmm/crossed_detail.hpp"
#include "lmm/glmm/crossed_glmm.hpp"
#include "lmm/glmm/group.hpp"
#include "glmm_rows.hpp"

namespace glmm_batches_crossed_test {

namespace gl = qk::glmm;
namespace cd = qk::glmm::crossed_detail;
using GVec = std::vector<double>;

const auto family = qkt::glmm_family;

// Rows of two factors (m0 and m1 levels, crossed, or the first nested in the second:
// level l of factor 0 within level l / 4 of factor 1), x = (1, N(0,1)), an offset, z
// = 1 per factor; binomial with 0..4 trials (rows of no trials included) or counts.
struct Sim {
  std::uint64_t n = 0, p = 2;
  std::vector<std::uint64_t> m;
  GVec y, x, w, offset;
  std::vector<std::vector<std::int64_t>> codes;  // per factor
};

Sim simulate(const gl::Family& fam, std::uint64_t m0, std::uint64_t m1, bool nested, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> nd;
  std::uniform_int_distribution<std::uint64_t> trials(0, 4), l0(0, m0 - 1), l1(0, m1 - 1);
  Sim s;
  s.m = {m0, nested ? (m0 + 3) / 4 : m1};
  s.codes.resize(2);
  GVec b0(m0), b1(s.m[1]);
  for (double& b : b0) b = 0.7 * nd(rng);
  for (double& b : b1) b = 0.5 * nd(rng);
  const bool counts = fam.def->name != std::string("binomial");
  for (std::uint64_t i = 0; i < 8 * m0; ++i) {
    // Every level of both factors has a row, then at random.
    const std::uint64_t a = i < m0 ? i : l0(rng);
    const std::uint64_t c = nested ? a / 4 : (i < s.m[1] ? i : l1(rng));
    const double x1 = nd(rng), off = 0.1 * nd(rng);
    const double mu = gl::linkinv(fam, off + (counts ? 0.5 : -0.3) + 0.4 * x1 + b0[a] + b1[c]);
    double y, w = 1.0;
    if (counts) {
      y = static_cast<double>(std::poisson_distribution<int>(mu)(rng));
      // A zero-inflated family's structural zeros, a fifth of the rows.
      if (fam.inflated && std::uniform_real_distribution<double>()(rng) < 0.2) y = 0.0;
    } else {
      w = static_cast<double>(trials(rng));
      y = w == 0.0 ? 0.0 : static_cast<double>(std::binomial_distribution<int>(static_cast<int>(w), mu)(rng)) / w;
    }
    s.y.push_back(y);
    s.w.push_back(w);
    s.offset.push_back(off);
    s.x.insert(s.x.end(), {1.0, x1});
    s.codes[0].push_back(static_cast<std::int64_t>(a));
    s.codes[1].push_back(static_cast<std::int64_t>(c));
    ++s.n;
  }
  return s;
}

// The rows in batches of the given sizes (the last repeated), each batch's codes and
// z one factor after another.
class SplitBatches final : public gl::BatchReader {
 public:
  // With `rotate`, each pass cuts the rows anew (the sizes turned by one): batches of a
  // pass differ from the last pass's, as a reader's may.
  SplitBatches(const Sim& s, std::vector<std::uint64_t> sizes, bool rotate = false)
      : s_(s), sizes_(std::move(sizes)), rotate_(rotate) {}
  std::uint64_t calls = 0;
  void each(const std::function<void(const gl::Batch&)>& visit) override {
    if (rotate_ && calls > 0) std::rotate(sizes_.begin(), sizes_.begin() + 1, sizes_.end());
    ++calls;
    std::uint64_t at = 0;
    for (std::size_t k = 0; at < s_.n; ++k) {
      const std::uint64_t len = std::min(sizes_[std::min(k, sizes_.size() - 1)], s_.n - at);
      std::vector<std::int64_t> codes;
      for (const auto& c : s_.codes) codes.insert(codes.end(), c.begin() + static_cast<std::ptrdiff_t>(at),
                                                  c.begin() + static_cast<std::ptrdiff_t>(at + len));
      const GVec z(2 * len, 1.0);
      gl::Batch b;
      b.n = len;
      b.y = s_.y.data() + at;
      b.x = s_.x.data() + at * s_.p;
      b.z = z.data();
      b.codes = codes.data();
      b.w = s_.w.data() + at;
      b.offset = s_.offset.data() + at;
      visit(b);
      at += len;
    }
  }

 private:
  const Sim& s_;
  std::vector<std::uint64_t> sizes_;
  bool rotate_;
};

gl::CrossedModel in_memory(const Sim& s, const gl::Family& fam) {
  std::vector<gl::CrossedFactor> factors(2);
  for (std::size_t j = 0; j < 2; ++j) {
    factors[j].codes = s.codes[j];
    factors[j].m = s.m[j];
    factors[j].q = 1;
    factors[j].z.assign(s.n, 1.0);
    factors[j].blocks = {1};
  }
  return gl::make_crossed(s.n, s.p, s.y.data(), s.x.data(), s.w.data(), s.offset.data(), fam, std::move(factors));
}

gl::CrossedBatchModel batch_model(const Sim& s, const gl::Family& fam) {
  return gl::make_crossed_batch_model(s.p, fam, s.m, {1, 1}, {{1}, {1}});
}

// The kernel's sums at one point: the check pass's pairs of levels and counts, the
// log-likelihood and, per kind of system, its products against the in-memory refill
// of the weights and responses taken here row by row (pwls's and pql_start's rules).
struct KernelCase {
  const char* family;
  const char* link;
  bool nested;
  std::vector<std::uint64_t> sizes;
};

class CrossedBatchKernel : public ::testing::TestWithParam<KernelCase> {};

TEST_P(CrossedBatchKernel, SumsAreThoseOfTheRows) {
  const KernelCase& c = GetParam();
  const gl::Family fam = family(c.family, c.link);
  const Sim s = simulate(fam, 30, 9, c.nested, 11);
  const gl::CrossedModel mem = in_memory(s, fam);
  const gl::CrossedBatchModel model = batch_model(s, fam);
  SplitBatches reader(s, c.sizes);

  gl::CrossedPassInput in;
  in.kind = gl::CrossedPassKind::kCheck;
  gl::CrossedPassSums check;
  gl::clear_crossed(model, in, check);
  reader.each([&](const gl::Batch& b) { gl::add_crossed_batch(model, b, in, check); });
  std::set<std::uint64_t> pairs;
  std::vector<std::vector<std::uint64_t>> count{std::vector<std::uint64_t>(s.m[0]), std::vector<std::uint64_t>(s.m[1])};
  double constant = 0.0;
  for (std::uint64_t r = 0; r < s.n; ++r) {
    pairs.insert(static_cast<std::uint64_t>(s.codes[0][r]) * s.m[1] + static_cast<std::uint64_t>(s.codes[1][r]));
    ++count[0][static_cast<std::uint64_t>(s.codes[0][r])];
    ++count[1][static_cast<std::uint64_t>(s.codes[1][r])];
    if (s.w[r] != 0.0) constant = constant + gl::loglik_constant(fam, s.y[r], s.w[r]);
  }
  EXPECT_EQ(std::set<std::uint64_t>(check.pairs[0].begin(), check.pairs[0].end()), pairs);
  EXPECT_EQ(check.count, count);
  EXPECT_EQ(-2.0 * check.constant, mem.constant);
  EXPECT_EQ(check.rows, s.n);

  // A point: beta, u per level, lambdas.
  const GVec beta{0.2, -0.3};
  std::vector<GVec> u{GVec(s.m[0]), GVec(s.m[1])}, lam{{0.8}, {0.5}};
  for (std::uint64_t l = 0; l < s.m[0]; ++l) u[0][l] = 0.1 * static_cast<double>(l % 7) - 0.3;
  for (std::uint64_t l = 0; l < s.m[1]; ++l) u[1][l] = 0.2 - 0.05 * static_cast<double>(l % 5);
  GVec eta(s.n), eta0(s.n);
  double ll = 0.0;
  for (std::uint64_t r = 0; r < s.n; ++r) {
    eta0[r] = (s.offset[r] + s.x[2 * r] * beta[0]) + s.x[2 * r + 1] * beta[1];
    eta[r] = (eta0[r] + 0.8 * u[0][static_cast<std::uint64_t>(s.codes[0][r])]) +
             0.5 * u[1][static_cast<std::uint64_t>(s.codes[1][r])];
    if (s.w[r] != 0.0) ll = ll + gl::loglik_smooth(fam, s.y[r], gl::linkinv(fam, eta[r]), s.w[r]);
  }
  for (const gl::CrossedWeights kind : {gl::CrossedWeights::kScoring, gl::CrossedWeights::kLaplace,
                                        gl::CrossedWeights::kPql}) {
    for (const bool joint : {false, true}) {
      if (kind == gl::CrossedWeights::kPql && !joint) continue;
      GVec wt(s.n), resp(s.n);
      for (std::uint64_t r = 0; r < s.n; ++r) {
        const qk::glmm::detail::RowState st = qk::glmm::detail::row_state(fam, s.y[r], eta[r], s.w[r]);
        const double wv = kind == gl::CrossedWeights::kLaplace ? st.weight : st.scoring;
        const double base = joint ? s.offset[r] : eta0[r];
        wt[r] = s.w[r] == 0.0 ? cd::kTinyWeight : wv;
        const double step = kind != gl::CrossedWeights::kPql && gl::general_path(fam)
                                ? st.d1 / wv
                                : (s.y[r] - st.mu) / gl::mu_eta(fam, eta[r]);
        resp[r] = (eta[r] - base) + (s.w[r] == 0.0 ? 0.0 : step);
      }
      const std::unique_ptr<qk::crossed::Design> direct = cd::system_of(mem, wt, resp, joint);
      qk::crossed::Products pr = (joint ? mem.joint : mem.plain)->pr;
      gl::CrossedPassInput sys;
      sys.kind = gl::CrossedPassKind::kSystem;
      sys.fam = fam;
      sys.lambdas = &lam;
      sys.beta = beta.data();
      sys.u = &u;
      sys.weights = kind;
      sys.joint = joint;
      gl::CrossedPassSums sums;
      sums.products = &pr;
      gl::clear_crossed(model, sys, sums);
      reader.each([&](const gl::Batch& b) { gl::add_crossed_batch(model, b, sys, sums); });
      const qk::crossed::Products& want = direct->pr;
      EXPECT_EQ(sums.ll, ll);
      EXPECT_EQ(pr.ztz, want.ztz);
      EXPECT_EQ(pr.ztx, want.ztx);
      EXPECT_EQ(pr.zty, want.zty);
      EXPECT_EQ(pr.xtx, want.xtx);
      EXPECT_EQ(pr.xty, want.xty);
      EXPECT_EQ(pr.yty, want.yty);
      EXPECT_EQ(pr.log_weights, want.log_weights);
      ASSERT_EQ(pr.cross.size(), 1u);
      EXPECT_EQ(pr.cross[0].keys, want.cross[0].keys);
      EXPECT_EQ(pr.cross[0].values, want.cross[0].values);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CrossedBatchKernel,
    ::testing::Values(KernelCase{"binomial", "logit", false, {10000}}, KernelCase{"binomial", "probit", false, {7, 50}},
                      KernelCase{"poisson", "log", true, {1, 13}}, KernelCase{"binomial", "cloglog", true, {64}}));

// The fit from batches is the in-memory crossed fit's, bit for bit, whatever the split.
struct FitCase {
  const char* family;
  const char* link;
  bool nested;
  bool observed;  // the Laplace approximation's curvature observed (not Fisher's)
  bool zi = false;  // a constant zero-inflation probability (its curvature observed)
  int nagq = 1;
};

class CrossedBatchFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(CrossedBatchFit, IsTheInMemoryFit) {
  const FitCase& c = GetParam();
  gl::Family fam = family(c.family, c.link);
  fam.observed = c.observed;
  fam.inflated = c.zi;
  const Sim s = simulate(fam, 40, 12, c.nested, 5);
  gl::FitOptions options;
  options.nagq = c.nagq;
  // A zero-inflated fit starts from the counts' coefficients and logit(0.2), as the
  // Python layer's do.
  if (c.zi) options.beta = std::string(c.family) == "nbinom2" ? GVec{0.5, 0.4, 0.0, -1.4} : GVec{0.5, 0.4, -1.4};
  const gl::FitResult want = gl::crossed_fit(in_memory(s, fam), options);
  // The last cut changes from pass to pass: the rows' places in the cross blocks kept
  // from one pass are then wrong for many rows of the next, which must find their own.
  for (const auto& [sizes, rotate] : {std::pair{std::vector<std::uint64_t>{100000}, false},
                                      std::pair{std::vector<std::uint64_t>{3, 97, 41}, false},
                                      std::pair{std::vector<std::uint64_t>{41, 3, 97, 41, 64}, true}}) {
    SplitBatches reader(s, sizes, rotate);
    std::uint64_t passes = 0;
    const gl::FitResult got = gl::fit_crossed_batches(reader, batch_model(s, fam), options, passes);
    EXPECT_EQ(got.m2loglik, want.m2loglik);
    EXPECT_EQ(got.theta, want.theta);
    EXPECT_EQ(got.beta, want.beta);
    EXPECT_EQ(got.vcov, want.vcov);
    EXPECT_EQ(got.u, want.u);
    EXPECT_EQ(got.cond_var, want.cond_var);
    EXPECT_EQ(passes, reader.calls);
    EXPECT_GT(passes, 10u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CrossedBatchFit,
                         ::testing::Values(FitCase{"binomial", "logit", false, false},
                                           FitCase{"poisson", "log", false, false}, FitCase{"poisson", "log", true, false},
                                           FitCase{"binomial", "cloglog", false, false},
                                           FitCase{"binomial", "probit", false, true},
                                           FitCase{"poisson", "log", false, true, true},
                                           FitCase{"poisson", "log", false, true, true, 0},
                                           FitCase{"nbinom2", "log", true, true, true}));

// The message of the std::invalid_argument f throws (empty when it throws none).
template <class F>
std::string refusal(F f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(CrossedBatches, RefusesBadRows) {
  const gl::Family fam = family("poisson", "log");
  Sim s = simulate(fam, 20, 6, false, 3);
  s.codes[1][25] = 6;  // outside factor 1's 6 levels
  SplitBatches reader(s, {20});
  std::uint64_t passes = 0;
  const auto fit = [&] { gl::fit_crossed_batches(reader, batch_model(s, fam), gl::FitOptions{}, passes); };
  EXPECT_EQ(refusal(fit), "batch 1, row 5: factor 1's code 6 is outside 0..5");
  s.codes[1][25] = 0;
  s.y[30] = -1.0;
  EXPECT_EQ(refusal(fit).rfind("batch 1, row 10: response -1", 0), 0u) << refusal(fit);
  s.y[30] = 1.0;
  const auto unmet = [&] {
    gl::fit_crossed_batches(reader, gl::make_crossed_batch_model(s.p, fam, {20, 7}, {1, 1}, {{1}, {1}}),
                            gl::FitOptions{}, passes);
  };
  EXPECT_EQ(refusal(unmet), "level 6 of factor 1 has no rows");
  EXPECT_THROW(gl::make_crossed_batch_model(2, fam, {5}, {1}, {{1}}), std::invalid_argument);
  gl::FitOptions agq;
  agq.nagq = 3;
  EXPECT_THROW(gl::fit_crossed_batches(reader, batch_model(s, fam), agq, passes), std::invalid_argument);
}

}  // namespace glmm_batches_crossed_test
