// The Tweedie family: its log density against mgcv's ldTweedie (the table written by
// tests/data/glmm/make_tweedie_reference.R), and its derivatives in mu, log(phi) and the
// power's s (p = 1 + plogis(s)) against differences of the log-likelihood.

#include "lmm/glmm/family.hpp"
#include "support.hpp"

namespace {

namespace tw = qk::glmm;

tw::Family tweedie(double phi, double p) {
  tw::Family f = std::get<tw::Family>(tw::parse_family("tweedie", ""));
  f.phi = phi;
  f.power = p;
  return f;
}

double loglik(const tw::Family& f, double y, double mu, double w = 1.0) {
  return tw::loglik_constant(f, y, w) + tw::loglik_smooth(f, y, mu, w);
}

// Every cell of the grid: y from 0 to 100 (the series' peak from its first term to its
// hundredth), p from 1.05 (near Poisson) to 1.95 (near gamma).
TEST(Tweedie, LogDensityIsMgcvs) {
  for (const qkt::FamRef& r : qkt::fam_table("tweedie_observations.csv")) {
    const double y = r.v.at(0), mu = r.v.at(1), phi = r.v.at(2), p = r.v.at(3), want = r.v.at(4);
    const double got = loglik(tweedie(phi, p), y, mu);
    EXPECT_NEAR(got, want, 1e-12 * (1.0 + std::fabs(want))) << "y " << y << " mu " << mu << " phi " << phi << " p " << p;
  }
}

// l1, l2, l3 and info's slope in mu; l, l1, l2 and info in t = log(phi) and in s,
// each against central differences, and info as E[-l2] (l2 is linear in y, whose mean
// is mu).
TEST(Tweedie, DerivativesAreTheLogLikelihoods) {
  std::size_t checked = 0;
  for (double p : {1.1, 1.5, 1.9})
    for (double phi : {0.5, 2.0})
      for (double mu : {0.3, 4.0})
        for (double y : {0.0, 0.7, 5.0}) {
          const double w = 1.5, s = std::log((p - 1.0) / (2.0 - p)), t = std::log(phi);
          const auto at = [&](double m, double tt, double ss) {
            const tw::Family f = tweedie(std::exp(tt), 1.0 + 1.0 / (1.0 + std::exp(-ss)));
            return std::make_pair(tw::mu_derivs_of(f, y, m, w, true), loglik(f, y, m, w));
          };
          const double h = 1e-5 * mu, e = 1e-5;
          const auto [d, l] = at(mu, t, s);
          const auto [mp, lmp] = at(mu + h, t, s);
          const auto [mm, lmm] = at(mu - h, t, s);
          const auto [tp, ltp] = at(mu, t + e, s);
          const auto [tm, ltm] = at(mu, t - e, s);
          const auto [sp, lsp] = at(mu, t, s + e);
          const auto [sm, lsm] = at(mu, t, s - e);
          const std::string what = "p " + std::to_string(p) + " phi " + std::to_string(phi) + " mu " +
                                   std::to_string(mu) + " y " + std::to_string(y);
          const auto near = [&](double got, double want, const char* name) {
            EXPECT_LE(std::fabs(got - want), 1e-6 * (1.0 + std::fabs(want))) << what << " " << name << ": " << got
                                                                              << " vs " << want;
          };
          near(d.l1, (lmp - lmm) / (2 * h), "l1");
          near(d.l2, (mp.l1 - mm.l1) / (2 * h), "l2");
          near(d.l3, (mp.l2 - mm.l2) / (2 * h), "l3");
          near(d.dinfo, (mp.info - mm.info) / (2 * h), "dinfo");
          near(d.lt, (ltp - ltm) / (2 * e), "lt");
          near(d.l1t, (tp.l1 - tm.l1) / (2 * e), "l1t");
          near(d.l2t, (tp.l2 - tm.l2) / (2 * e), "l2t");
          near(d.infot, (tp.info - tm.info) / (2 * e), "infot");
          near(d.lz, (lsp - lsm) / (2 * e), "lz");
          near(d.l1z, (sp.l1 - sm.l1) / (2 * e), "l1z");
          near(d.l2z, (sp.l2 - sm.l2) / (2 * e), "l2z");
          near(d.infoz, (sp.info - sm.info) / (2 * e), "infoz");
          // E[-l2] at y = mu.
          const tw::Family f = tweedie(phi, p);
          near(d.info, -tw::mu_derivs_of(f, mu, mu, w, false).l2, "info");
          ++checked;
        }
  EXPECT_EQ(checked, 36u);
}

}  // namespace
