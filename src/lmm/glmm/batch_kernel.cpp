// The kernel of the GLMM fit from batches (batch.hpp): one batch's rows added to their
// groups' sums, with the in-memory groups' per-row math (group.hpp).
#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "lmm/glmm/batch.hpp"
#include "lmm/glmm/group.hpp"

namespace qk::glmm {

BatchModel make_batch_model(std::uint64_t m, std::uint64_t p, std::uint64_t q, Family family,
                            const std::vector<std::uint64_t>& blocks) {
  if (q == 0) throw std::invalid_argument("z must have at least one column");
  if (m == 0) throw std::invalid_argument("n_groups must be at least 1");
  if (family.inflated)
    throw std::invalid_argument("zero-inflation is not taken by the fit from batches");
  if (auto err = blocks_error(blocks, q)) throw std::invalid_argument(*err);
  BatchModel model;
  model.m = m;
  model.p = p;
  model.q = q;
  model.family = family;
  model.blocks = blocks;
  model.idx = theta_index(q, blocks);
  return model;
}

void PassSums::clear(const BatchModel& model, PassKind kind, std::uint64_t nodes) {
  const std::uint64_t m = model.m, q = model.q, p = model.p, qq = q * q;
  const auto sized = [](std::vector<double>& v, std::uint64_t n) { v.assign(n, 0.0); };
  for (auto* v : {&ll, &d1, &mo, &mf, &ms, &s, &zw, &zd, &gm, &bx, &xsx, &xd1, &gb, &at_nodes}) v->clear();
  count.clear();
  constant = 0.0;
  batches = rows = 0;
  switch (kind) {
    case PassKind::kCheck:
      count.assign(m, 0);
      break;
    case PassKind::kValue:
      sized(ll, m);
      break;
    case PassKind::kModes:
      sized(ll, m);
      sized(d1, m * q);
      sized(mo, m * qq);
      sized(mf, m * qq);
      sized(ms, m * qq);
      break;
    case PassKind::kSpread:
      sized(s, m * q);
      break;
    case PassKind::kGradient:
      sized(zw, m * q);
      sized(zd, m * q);
      sized(gm, m * qq);
      sized(gb, p + n_extra(model.family));
      break;
    case PassKind::kJoint:
      sized(ll, m);
      sized(d1, m * q);
      sized(ms, m * qq);
      sized(bx, m * q * p);
      sized(xsx, p * p);
      sized(xd1, p);
      break;
    case PassKind::kAdjoint:
      sized(s, m * q);
      break;
    case PassKind::kAdjointGradient:
      sized(zw, m * q);
      sized(zd, m * q);
      sized(gb, n_extra(model.family));
      break;
    case PassKind::kNodes:
    case PassKind::kTrials:
      sized(at_nodes, m * nodes);
      break;
  }
}

namespace {

[[noreturn]] void refuse(std::uint64_t batch, std::uint64_t row, const std::string& what) {
  throw std::invalid_argument("batch " + std::to_string(batch) + ", row " + std::to_string(row) + ": " + what);
}

// kCheck: the checks make_rows makes of rows held in memory, and the rows' counts and
// loglik constants.
void check_row(const BatchModel& model, const Batch& b, std::uint64_t i, std::uint64_t no, PassSums& sums) {
  const std::uint64_t p = model.p, q = model.q;
  const double y = b.y[i], w = b.w[i];
  // A row of weight zero (a binomial row of no trials) carries no information.
  if (!(w == 0.0 && std::isfinite(y)) && check_response(model.family, y, w) == Support::kOutside)
    refuse(no, i, "response " + std::to_string(y) + " with weight " + std::to_string(w) +
                      " is outside the support of the " + model.family.def->name + " family");
  if (b.offset && !std::isfinite(b.offset[i])) refuse(no, i, "the offset is not finite");
  for (std::uint64_t j = 0; j < p; ++j)
    if (!std::isfinite(b.x[i * p + j])) refuse(no, i, "x has a value that is not finite");
  for (std::uint64_t j = 0; j < q; ++j)
    if (!std::isfinite(b.z[i * q + j])) refuse(no, i, "z has a value that is not finite");
  ++sums.count[static_cast<std::uint64_t>(b.codes[i])];
  sums.constant = sums.constant + (w == 0.0 ? 0.0 : loglik_constant(model.family, y, w));
}

// a' M^-1 a (M^-1 symmetric, q x q), summed as group_gradient sums it.
double leverage(const double* minv, const double* ar, std::uint64_t q) {
  double c = 0.0;
  for (std::uint64_t i = 0; i < q; ++i) {
    double mi = 0.0;
    for (std::uint64_t j = 0; j < q; ++j) mi = mi + minv[i * q + j] * ar[j];
    c = c + ar[i] * mi;
  }
  return c;
}

}  // namespace

void add_batch(const BatchModel& model, const Batch& b, const PassInput& in, PassSums& sums) {
  const std::uint64_t m = model.m, p = model.p, q = model.q, qq = q * q, no = sums.batches++;
  const PassKind kind = in.kind;
  const Family f = kind == PassKind::kCheck ? model.family : at_params(model.family, in.beta, p);
  std::vector<double> a(q), ut(q);
  double* ar = a.data();
  // kTrials: each step's family (its parameters beside beta are the trial beta's).
  std::vector<Family> fk;
  for (std::uint64_t k = 0; kind == PassKind::kTrials && k < in.nodes; ++k)
    fk.push_back(at_params(model.family, in.points + k * (p + n_extra(model.family)), p));
  for (std::uint64_t i = 0; i < b.n; ++i) {
    const std::int64_t code = b.codes[i];
    if (code < 0 || static_cast<std::uint64_t>(code) >= m)
      refuse(no, i, "group code " + std::to_string(code) + " is outside 0.." + std::to_string(m - 1));
    const auto g = static_cast<std::uint64_t>(code);
    if (in.active && !in.active[g]) continue;
    ++sums.rows;
    if (kind == PassKind::kCheck) {
      check_row(model, b, i, no, sums);
      continue;
    }
    const double y = b.y[i], w = b.w[i];
    const double* xr = b.x + i * p;
    const double* zr = b.z + i * q;
    detail::lambda_t_row(in.lambda, zr, q, ar);
    if (kind == PassKind::kTrials) {
      // The joint PIRLS's pass at each step (joint_pirls forms u + s du so).
      const std::uint64_t pe = p + n_extra(model.family);
      for (std::uint64_t k = 0; k < in.nodes; ++k) {
        for (std::uint64_t c = 0; c < q; ++c) ut[c] = in.u[g * q + c] + in.steps[k] * in.du[g * q + c];
        const double e = detail::plus_random(
            detail::fixed_eta(b.offset ? b.offset[i] : 0.0, xr, in.points + k * pe, p), ar, ut.data(), q);
        const detail::RowState s = detail::row_state(fk[k], y, e, w);
        sums.at_nodes[g * in.nodes + k] = sums.at_nodes[g * in.nodes + k] + loglik_smooth(fk[k], y, s.mu, w);
      }
      continue;
    }
    const double eta0 = detail::fixed_eta(b.offset ? b.offset[i] : 0.0, xr, in.beta, p);
    if (kind == PassKind::kNodes) {
      // group_agq's sums: the row's loglik at each of its group's points of u.
      const double* pts = in.points + g * in.nodes * q;
      double* out = sums.at_nodes.data() + g * in.nodes;
      for (std::uint64_t j = 0; j < in.nodes; ++j)
        out[j] = out[j] + loglik_smooth(f, y, linkinv(f, detail::plus_random(eta0, ar, pts + j * q, q)), w);
      continue;
    }
    const double eta = detail::plus_random(eta0, ar, in.u + g * q, q);
    const detail::RowState st = detail::row_state(f, y, eta, w);
    switch (kind) {
      case PassKind::kCheck:
      case PassKind::kNodes:
      case PassKind::kTrials:
        break;
      case PassKind::kValue:
        sums.ll[g] = sums.ll[g] + loglik_smooth(f, y, st.mu, w);
        break;
      case PassKind::kModes: {
        sums.ll[g] = sums.ll[g] + loglik_smooth(f, y, st.mu, w);
        double* dg = sums.d1.data() + g * q;
        for (std::uint64_t c = 0; c < q; ++c) dg[c] = dg[c] + ar[c] * st.d1;
        detail::add_outer_lower(-st.d2, ar, q, sums.mo.data() + g * qq);
        detail::add_outer_lower(st.weight, ar, q, sums.mf.data() + g * qq);
        detail::add_outer_lower(st.scoring, ar, q, sums.ms.data() + g * qq);
        break;
      }
      case PassKind::kSpread: {
        const double v = st.dweight * leverage(in.minv + g * qq, ar, q);
        double* sg = sums.s.data() + g * q;
        for (std::uint64_t c = 0; c < q; ++c) sg[c] = sg[c] + v * ar[c];
        break;
      }
      case PassKind::kGradient: {
        // group_gradient's row terms (see there): omega_r = W'_r c_r + D2_r a_r' t - 2 d1_r.
        const double v = st.dweight * leverage(in.minv + g * qq, ar, q);
        const double* tg = in.t + g * q;
        double at = 0.0;
        for (std::uint64_t c = 0; c < q; ++c) at = at + ar[c] * tg[c];
        const double omega = (v + st.d2 * at) - 2.0 * st.d1;
        for (std::uint64_t j = 0; j < p; ++j) sums.gb[j] = sums.gb[j] + omega * xr[j];
        if (const std::uint64_t ne = n_extra(f); ne > 0) {
          // The terms of log(phi) and Tweedie's power, the mode moving with them
          // (group_gradient's).
          const std::array<detail::ExtraDerivs, 2> dd = detail::extra_derivs(f, y, eta, w);
          const double lev = leverage(in.minv + g * qq, ar, q);
          for (std::uint64_t j = 0; j < ne; ++j)
            sums.gb[p + j] = sums.gb[p + j] + ((-2.0 * dd[j].l + lev * dd[j].weight) + at * dd[j].d1);
        }
        double* zw = sums.zw.data() + g * q;
        double* zd = sums.zd.data() + g * q;
        double* gm = sums.gm.data() + g * qq;
        for (std::uint64_t c = 0; c < q; ++c) {
          zw[c] = zw[c] + omega * zr[c];
          zd[c] = zd[c] + st.d1 * zr[c];
        }
        for (std::uint64_t r = 0; r < q; ++r) {
          const double wa = st.weight * ar[r];
          for (std::uint64_t c = 0; c < q; ++c) gm[r * q + c] = gm[r * q + c] + wa * zr[c];
        }
        break;
      }
      case PassKind::kJoint: {
        // joint.cpp's pass, its per-group factorisation left to the caller (a group's
        // rows end only with the pass).
        sums.ll[g] = sums.ll[g] + loglik_smooth(f, y, st.mu, w);
        double* dg = sums.d1.data() + g * q;
        double* mg = sums.ms.data() + g * qq;
        double* bg = sums.bx.data() + g * q * p;
        const double wt = in.observed ? -st.d2 : st.scoring;
        for (std::uint64_t r = 0; r < q; ++r) {
          const double wa = wt * ar[r];
          dg[r] = dg[r] + ar[r] * st.d1;
          for (std::uint64_t c = 0; c <= r; ++c) mg[r * q + c] = mg[r * q + c] + wa * ar[c];
          for (std::uint64_t j = 0; j < p; ++j) bg[r * p + j] = bg[r * p + j] + wa * xr[j];
        }
        for (std::uint64_t r = 0; r < p; ++r) {
          const double wx = wt * xr[r];
          sums.xd1[r] = sums.xd1[r] + xr[r] * st.d1;
          for (std::uint64_t c = 0; c <= r; ++c) sums.xsx[r * p + c] = sums.xsx[r * p + c] + wx * xr[c];
        }
        break;
      }
      case PassKind::kAdjoint: {
        // joint_gradient's s: w_r = -2 (x_r'v) D2_r.
        double xv = 0.0;
        for (std::uint64_t j = 0; j < p; ++j) xv = xv + xr[j] * in.v[j];
        const double wr = -2.0 * xv * st.d2;
        double* sg = sums.s.data() + g * q;
        for (std::uint64_t c = 0; c < q; ++c) sg[c] = sg[c] + wr * ar[c];
        break;
      }
      case PassKind::kAdjointGradient: {
        // joint_gradient's row sums (see there), t = M_o^-1 s in in.t.
        double xv = 0.0, at = 0.0;
        for (std::uint64_t j = 0; j < p; ++j) xv = xv + xr[j] * in.v[j];
        const double* tg = in.t + g * q;
        for (std::uint64_t c = 0; c < q; ++c) at = at + ar[c] * tg[c];
        const double coef = -2.0 * xv * st.d2 + st.d2 * at;
        double* zw = sums.zw.data() + g * q;
        double* zd = sums.zd.data() + g * q;
        for (std::uint64_t c = 0; c < q; ++c) {
          zw[c] = zw[c] + coef * zr[c];
          zd[c] = zd[c] + st.d1 * zr[c];
        }
        const std::uint64_t ne = n_extra(f);
        if (ne == 0 || w == 0.0) break;
        const std::array<detail::ExtraDerivs, 2> dd = detail::extra_derivs(f, y, eta, w);
        const double base = -2.0 * xv + at;
        const std::uint64_t nd = f.def->dispersion ? 1 : 0;
        if (nd > 0) sums.gb[0] = sums.gb[0] + base * dd[0].d1;
        if (f.def->power) sums.gb[nd] = sums.gb[nd] + base * dd[nd].d1;
        break;
      }
    }
  }
}

}  // namespace qk::glmm
