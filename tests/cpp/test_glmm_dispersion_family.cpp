// The families with a dispersion parameter against R's densities (the table written by
// tests/data/glmm/make_dispersion_reference.R from dnbinom, dgamma, dnorm, dbeta and
// glmmTMB's truncated densities), and their derivatives in mu and log(phi) against
// differences of the log-likelihood.

#include "lmm/glmm/family.hpp"
#include "support.hpp"

namespace {

namespace dfam = qk::glmm;

// A row of the table: family, then y, mu, phi, w and R's log density.
struct DispRow {
  std::string family;
  double y, mu, phi, w, logdens;
};

std::vector<DispRow> disp_rows() {
  std::vector<DispRow> rows;
  for (const qkt::FamRef& r : qkt::fam_table("family_dispersion_observations.csv"))
    rows.push_back({r.name, r.v.at(0), r.v.at(1), r.v.at(2), r.v.at(3), r.v.at(4)});
  return rows;
}

// The row's family at its phi, and its response on the family's scale (a betabinomial
// count as the proportion of its trials); false for a family the table does not hold.
bool disp_family(const DispRow& r, dfam::Family& f, double& y) {
  const auto parsed = dfam::parse_family(r.family, "");
  if (!std::holds_alternative<dfam::Family>(parsed)) return false;
  f = std::get<dfam::Family>(parsed);
  f.phi = std::isnan(r.phi) ? 1.0 : r.phi;
  y = r.family == "betabinomial" ? r.y / r.w : r.y;
  return true;
}

double disp_loglik(const dfam::Family& f, double y, double mu, double w) {
  return dfam::loglik_constant(f, y, w) + dfam::loglik_smooth(f, y, mu, w);
}

// Every row of every family in the table whose family is fitted: the log density to
// 2e-13 of its terms' size (lgamma of large counts and sizes included).
TEST(GlmmDispersionFamily, LogDensitiesAreRs) {
  std::size_t checked = 0;
  for (const DispRow& r : disp_rows()) {
    dfam::Family f;
    double y;
    if (!disp_family(r, f, y)) continue;
    const double scale = 1.0 + std::fabs(r.logdens) + std::fabs(std::lgamma(r.y + 1.0)) +
                         std::fabs(std::lgamma(f.phi + r.y)) + std::fabs(r.y * std::log(r.mu));
    const double got = disp_loglik(f, y, r.mu, r.w);
    EXPECT_LE(std::fabs(got - r.logdens), 2e-13 * scale)
        << r.family << " y=" << r.y << " mu=" << r.mu << " phi=" << r.phi << ": got " << got << " want " << r.logdens;
    ++checked;
  }
  EXPECT_GE(checked, 250u);
}

// l1, l2, l3 against central differences in mu of the log-likelihood (and of l1, l2),
// lt, l1t, l2t in t = log(phi), at the table's interior points (where differences of
// step 1e-5 relative are accurate to 1e-6).
TEST(GlmmDispersionFamily, DerivativesAreTheLogLikelihoods) {
  std::size_t checked = 0;
  for (const DispRow& r : disp_rows()) {
    dfam::Family f;
    double y;
    if (!disp_family(r, f, y) || !f.def->mu_derivs) continue;
    const bool inside = r.mu > 1e-2 && r.mu < 1e3 && f.phi > 1e-2 && f.phi < 1e4 && std::fabs(r.y) < 1e6 &&
                        (f.def->mean_upper > 1.0 || (r.mu > 0.02 && r.mu < 0.98));
    if (!inside) continue;
    const double h = 1e-5 * r.mu, t = std::log(f.phi), ht = 1e-5;
    const auto at = [&](double mu, double tt) {
      dfam::Family g = f;
      g.phi = std::exp(tt);
      return std::make_pair(g.def->mu_derivs(y, mu, r.w, g.phi, true), disp_loglik(g, y, mu, r.w));
    };
    const auto [d, l] = at(r.mu, t);
    const auto [dp, lp] = at(r.mu + h, t);
    const auto [dm, lm] = at(r.mu - h, t);
    const auto [tp, ltp] = at(r.mu, t + ht);
    const auto [tm, ltm] = at(r.mu, t - ht);
    const std::string what = r.family + " y=" + std::to_string(r.y) + " mu=" + std::to_string(r.mu) +
                             " phi=" + std::to_string(f.phi);
    const auto near = [&](double got, double want, const char* name) {
      EXPECT_LE(std::fabs(got - want), 1e-5 * (1.0 + std::fabs(want))) << what << " " << name << ": " << got
                                                                        << " vs " << want;
    };
    near(d.l1, (lp - lm) / (2 * h), "l1");
    near(d.l2, (dp.l1 - dm.l1) / (2 * h), "l2");
    near(d.l3, (dp.l2 - dm.l2) / (2 * h), "l3");
    near(d.dinfo, (dp.info - dm.info) / (2 * h), "dinfo");
    if (f.def->dispersion) {
      near(d.lt, (ltp - ltm) / (2 * ht), "lt");
      near(d.l1t, (tp.l1 - tm.l1) / (2 * ht), "l1t");
      near(d.l2t, (tp.l2 - tm.l2) / (2 * ht), "l2t");
      near(d.infot, (tp.info - tm.info) / (2 * ht), "infot");
    }
    ++checked;
  }
  EXPECT_GE(checked, 40u);
}

// Where the expected information has a closed form it is E[-l2]: summed over the
// support of a count family (nbinom2) or checked by its definition -l2 for beta, whose
// l2 is free of y.
TEST(GlmmDispersionFamily, FisherInformationIsTheExpectedCurvature) {
  const dfam::Family nb = std::get<dfam::Family>(dfam::parse_family("nbinom2", ""));
  for (const double mu : {0.3, 4.0, 40.0})
    for (const double phi : {0.5, 3.0, 200.0}) {
      const double p = phi / (phi + mu);
      double expected = 0.0, prob = std::pow(p, phi);  // P(y = 0)
      for (int y = 0; y < 20000 && (y < mu || prob > 1e-300); ++y) {
        expected += prob * -nb.def->mu_derivs(y, mu, 1.0, phi, false).l2;
        prob *= (y + phi) / (y + 1.0) * (1.0 - p);
      }
      const double info = nb.def->mu_derivs(0.0, mu, 1.0, phi, false).info;
      EXPECT_NEAR(expected, info, 1e-10 * info) << "mu " << mu << " phi " << phi;
    }
}

}  // namespace
