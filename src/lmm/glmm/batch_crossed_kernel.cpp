// The kernel of the crossed GLMM fit from batches (batch_crossed.hpp): one batch's rows
// added to a pass's sums. Every sum takes its rows in their order, each row's terms
// formed as the in-memory crossed fit forms them (crossed_glmm.cpp's linear_predictor,
// crossed_system.cpp's pwls and refill, crossed_glmm.cpp's gradient), so that a pass
// over the batches gives the in-memory sums to the bit.
#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "lmm/crossed/factor.hpp"
#include "lmm/glmm/batch_crossed.hpp"
#include "lmm/glmm/crossed_detail.hpp"
#include "lmm/glmm/group.hpp"

namespace qk::glmm {

namespace cr = qk::crossed;

CrossedBatchModel make_crossed_batch_model(std::uint64_t p, Family family, const std::vector<std::uint64_t>& m,
                                           const std::vector<std::uint64_t>& q,
                                           const std::vector<std::vector<std::uint64_t>>& blocks) {
  // A constant zero-inflation probability is a family parameter beside beta (see
  // make_batch_model); covariates of it would need their rows in the batches.
  if (family.inflated && family.zi_columns != 1)
    throw std::invalid_argument("a crossed GLMM fit from batches takes no zero-inflation with covariates");
  if (m.size() < 2 || q.size() != m.size() || blocks.size() != m.size())
    throw std::invalid_argument("a crossed GLMM fit from batches needs two or more grouping factors");
  CrossedBatchModel model;
  model.family = family;
  model.p = p;
  model.m = m;
  model.q = q;
  model.blocks = blocks;
  model.theta_offset.push_back(0);
  for (std::size_t j = 0; j < m.size(); ++j) {
    if (m[j] == 0) throw std::invalid_argument("factor " + std::to_string(j) + " has no levels");
    if (auto err = blocks_error(blocks[j], q[j])) throw std::invalid_argument("factor " + std::to_string(j) + ": " + *err);
    model.idx.push_back(theta_index(q[j], blocks[j]));
    model.theta_offset.push_back(model.theta_offset.back() + model.idx.back().size());
    model.column.push_back(model.width);
    model.width += q[j];
  }
  return model;
}

void clear_crossed(const CrossedBatchModel& model, const CrossedPassInput& in, CrossedPassSums& sums) {
  const std::size_t k = model.m.size();
  sums.ll = 0.0;
  sums.step_eta = 0.0;
  sums.observed_ok = sums.laplace_same = true;
  sums.negative = sums.response = false;
  sums.constant = 0.0;
  sums.batches = sums.rows = 0;
  sums.grad.clear();
  sums.count.clear();
  sums.pairs.clear();
  if (in.kind == CrossedPassKind::kCheck) {
    for (std::size_t j = 0; j < k; ++j) sums.count.emplace_back(model.m[j], 0);
    sums.pairs.resize(k * (k - 1) / 2);
  }
  if (in.kind == CrossedPassKind::kGradient)
    sums.grad.assign(model.theta_offset.back() + model.p + n_extra(model.family), 0.0);
  if (in.kind == CrossedPassKind::kAdjointGradient) sums.grad.assign(model.theta_offset.back() + n_extra(model.family), 0.0);
  if (in.kind == CrossedPassKind::kSystem) {
    cr::Products& pr = *sums.products;
    for (auto* v : {&pr.xtx, &pr.xty}) std::fill(v->begin(), v->end(), 0.0);
    for (auto* vs : {&pr.ztz, &pr.ztx, &pr.zty})
      for (auto& v : *vs) std::fill(v.begin(), v.end(), 0.0);
    for (auto& c : pr.cross) std::fill(c.values.begin(), c.values.end(), 0.0);
    pr.yty = 0.0;
    pr.log_weights = 0.0;
  }
}

std::unique_ptr<cr::Design> crossed_pattern(const CrossedBatchModel& model, const CrossedPassSums& check,
                                            bool with_x) {
  const std::size_t k = model.m.size();
  cr::Products pr;
  pr.n = check.rows;
  pr.p = with_x ? model.p : 0;
  pr.weighted = true;
  pr.shift = Shift{};
  pr.shift.x.assign(pr.p, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    pr.m.push_back(model.m[j]);
    pr.q.push_back(model.q[j]);
    pr.ztz.emplace_back(model.m[j] * model.q[j] * model.q[j], 0.0);
    pr.ztx.emplace_back(model.m[j] * model.q[j] * pr.p, 0.0);
    pr.zty.emplace_back(model.m[j] * model.q[j], 0.0);
  }
  for (std::size_t i = 0, pi = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j, ++pi) {
      cr::CrossBlock cb;
      cb.keys.assign(check.pairs[pi].begin(), check.pairs[pi].end());
      std::sort(cb.keys.begin(), cb.keys.end());
      cb.values.assign(cb.keys.size() * model.q[i] * model.q[j], 0.0);
      pr.cross.push_back(std::move(cb));
    }
  pr.xtx.assign(pr.p * pr.p, 0.0);
  pr.xty.assign(pr.p, 0.0);
  auto design = cr::make_design(std::move(pr), model.blocks);
  if (auto* err = std::get_if<std::string>(&design)) throw std::invalid_argument(*err);
  return std::move(std::get<0>(design));
}

namespace {

[[noreturn]] void refuse(std::uint64_t batch, std::uint64_t row, const std::string& what) {
  throw std::invalid_argument("batch " + std::to_string(batch) + ", row " + std::to_string(row) + ": " + what);
}

// e + sum_j z_j' Lambda_j u_j(level) as linear_predictor adds it, factor by factor.
double add_random(const CrossedBatchModel& model, const Batch& b, std::uint64_t r, double e,
                  const std::vector<std::vector<double>>& lambdas, const std::vector<std::vector<double>>& u) {
  for (std::size_t j = 0; j < model.m.size(); ++j) {
    const std::uint64_t q = model.q[j];
    const double* zr = b.z + b.n * model.column[j] + r * q;
    const double* ul = u[j].data() + static_cast<std::uint64_t>(b.codes[j * b.n + r]) * q;
    const double* lam = lambdas[j].data();
    for (std::uint64_t a = 0; a < q; ++a) {
      double s = 0.0;
      for (std::uint64_t c = 0; c <= a; ++c) s = s + lam[a * q + c] * ul[c];
      e = e + zr[a] * s;
    }
  }
  return e;
}

void check_row(const CrossedBatchModel& model, const Batch& b, std::uint64_t r, std::uint64_t bno,
               CrossedPassSums& sums) {
  const std::size_t k = model.m.size();
  const double y = b.y[r], w = b.w[r];
  if (!std::isfinite(w) || w < 0.0) refuse(bno, r, "the weight is not finite and at least 0");
  if (!(w == 0.0 && std::isfinite(y)) && check_response(model.family, y, w) == Support::kOutside)
    refuse(bno, r, "response " + std::to_string(y) + " with weight " + std::to_string(w) +
                       " is outside the support of the " + model.family.def->name + " family");
  if (b.offset && !std::isfinite(b.offset[r])) refuse(bno, r, "the offset is not finite");
  for (std::uint64_t c = 0; c < model.p; ++c)
    if (!std::isfinite(b.x[r * model.p + c])) refuse(bno, r, "x has a value that is not finite");
  for (std::size_t j = 0; j < k; ++j)
    for (std::uint64_t a = 0; a < model.q[j]; ++a)
      if (!std::isfinite(b.z[b.n * model.column[j] + r * model.q[j] + a])) refuse(bno, r, "z has a value that is not finite");
  if (w != 0.0) sums.constant = sums.constant + loglik_constant(model.family, y, w);
  for (std::size_t i = 0, pi = 0; i < k; ++i) {
    const auto li = static_cast<std::uint64_t>(b.codes[i * b.n + r]);
    ++sums.count[i][li];
    for (std::size_t j = i + 1; j < k; ++j, ++pi)
      sums.pairs[pi].insert(li * model.m[j] + static_cast<std::uint64_t>(b.codes[j * b.n + r]));
  }
}

// Adds row r, of weight wt and response resp, to the products (refill's terms).
void add_products(const CrossedBatchModel& model, const Batch& b, std::uint64_t r, double wt, double resp,
                  cr::Products& pr, bool rhs_only, const std::vector<const std::uint32_t*>& place) {
  const std::size_t k = model.m.size(), p = pr.p;
  if (rhs_only) {
    for (std::size_t j = 0; j < k; ++j) {
      const std::uint64_t q = model.q[j], l = static_cast<std::uint64_t>(b.codes[j * b.n + r]);
      const double* zr = b.z + b.n * model.column[j] + r * q;
      double* zty = pr.zty[j].data() + l * q;
      for (std::size_t a = 0; a < q; ++a) zty[a] = zty[a] + (zr[a] * wt) * resp;
    }
    return;
  }
  pr.yty = pr.yty + (resp * wt) * resp;
  pr.log_weights = pr.log_weights + std::log(std::fabs(wt));
  const double* xr = b.x + r * model.p;
  for (std::size_t a = 0; a < p; ++a) {
    const double xa = xr[a] * wt;
    pr.xty[a] = pr.xty[a] + xa * resp;
    for (std::size_t c = 0; c <= a; ++c) pr.xtx[a * p + c] = pr.xtx[a * p + c] + xa * xr[c];  // refill's triangle
  }
  for (std::size_t j = 0; j < k; ++j) {
    const std::uint64_t q = model.q[j], l = static_cast<std::uint64_t>(b.codes[j * b.n + r]);
    const double* zr = b.z + b.n * model.column[j] + r * q;
    double* ztz = pr.ztz[j].data() + l * q * q;
    double* ztx = pr.ztx[j].data() + l * q * p;
    double* zty = pr.zty[j].data() + l * q;
    for (std::size_t a = 0; a < q; ++a) {
      const double za = zr[a] * wt;
      zty[a] = zty[a] + za * resp;
      for (std::size_t c = 0; c < q; ++c) ztz[a * q + c] = ztz[a * q + c] + za * zr[c];
      for (std::size_t c = 0; c < p; ++c) ztx[a * p + c] = ztx[a * p + c] + za * xr[c];
    }
  }
  for (std::size_t i = 0, pi = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j, ++pi) {
      const std::uint64_t qi = model.q[i], qj = model.q[j];
      double* v = pr.cross[pi].values.data() + static_cast<std::uint64_t>(place[pi][r]) * qi * qj;
      const double* zi = b.z + b.n * model.column[i] + r * qi;
      const double* zj = b.z + b.n * model.column[j] + r * qj;
      for (std::size_t a = 0; a < qi; ++a) {
        const double za = zi[a] * wt;
        for (std::size_t c = 0; c < qj; ++c) v[a * qj + c] = v[a * qj + c] + za * zj[c];
      }
    }
}

// x_r'v, summed as the in-memory fit sums it (from 0, column by column).
double x_dot(const double* xr, const double* v, std::uint64_t p) {
  double s = 0.0;
  for (std::uint64_t c = 0; c < p; ++c) s = s + xr[c] * v[c];
  return s;
}

// Row r's terms of theta's gradient entries (crossed_detail::theta_terms's):
// (omega u_l + d1 t_l)[c] z_r[a] for each entry (a, c) of each factor's Lambda.
void add_theta_terms(const CrossedBatchModel& model, const Batch& b, std::uint64_t r, double omega, double d1,
                     const std::vector<std::vector<double>>& u, const std::vector<std::vector<double>>& t, double* g) {
  for (std::size_t j = 0; j < model.m.size(); ++j) {
    const std::uint64_t q = model.q[j], l = static_cast<std::uint64_t>(b.codes[j * b.n + r]);
    const double* zr = b.z + b.n * model.column[j] + r * q;
    const double* ul = u[j].data() + l * q;
    const double* tl = t[j].data() + l * q;
    for (std::size_t e = 0; e < model.idx[j].size(); ++e) {
      const std::uint64_t a = model.idx[j][e].first, c = model.idx[j][e].second;
      double& ge = g[model.theta_offset[j] + e];
      ge = ge + (omega * ul[c] + d1 * tl[c]) * zr[a];
    }
  }
}

// Row r's place among pair pi's keys: the kept one where its key is the row's, else
// found by a search of the row's first level's keys (the whole block without an index).
std::uint32_t place_of_row(const CrossedBatchModel& model, const Batch& b, std::uint64_t r, std::size_t i,
                           std::size_t j, std::size_t pi, const cr::CrossBlock& cb,
                           const std::vector<std::vector<std::uint64_t>>* cross_start, std::uint32_t kept) {
  const std::uint64_t li = static_cast<std::uint64_t>(b.codes[i * b.n + r]);
  const std::uint64_t key = li * model.m[j] + static_cast<std::uint64_t>(b.codes[j * b.n + r]);
  if (kept < cb.keys.size() && cb.keys[kept] == key) return kept;
  auto from = cb.keys.begin(), to = cb.keys.end();
  if (cross_start) {
    const std::vector<std::uint64_t>& start = (*cross_start)[pi];
    to = from + static_cast<std::ptrdiff_t>(start[li + 1]);
    from = from + static_cast<std::ptrdiff_t>(start[li]);
  }
  const auto at = std::lower_bound(from, to, key);
  if (at == to || *at != key) throw std::logic_error("a pair of levels off the pattern of the first pass");
  return static_cast<std::uint32_t>(at - cb.keys.begin());
}

}  // namespace

void add_crossed_batch(const CrossedBatchModel& model, const Batch& b, const CrossedPassInput& in,
                       CrossedPassSums& sums) {
  using detail::RowState;
  const std::size_t k = model.m.size();
  const std::uint64_t p = model.p, bno = sums.batches++;
  sums.rows += b.n;
  for (std::size_t j = 0; j < k; ++j)
    for (std::uint64_t r = 0; r < b.n; ++r)
      if (b.codes[j * b.n + r] < 0 || static_cast<std::uint64_t>(b.codes[j * b.n + r]) >= model.m[j])
        refuse(bno, r, "factor " + std::to_string(j) + "'s code " + std::to_string(b.codes[j * b.n + r]) +
                           " is outside 0.." + std::to_string(model.m[j] - 1));
  if (in.kind == CrossedPassKind::kCheck) {
    for (std::uint64_t r = 0; r < b.n; ++r) check_row(model, b, r, bno, sums);
    return;
  }
  const Family& fam = in.fam;
  const bool general = general_path(fam);
  const bool second = in.kind == CrossedPassKind::kSystem && in.weights == CrossedWeights::kSecond;
  std::vector<double> lev;
  if (second || in.kind == CrossedPassKind::kGradient) {
    // The leverages a_r' M^-1 a_r from the selected inverse, per batch (the batch's
    // codes and columns are the factors' contiguous arrays).
    cr::PredictionRows rows;
    rows.r = b.n;
    rows.x = nullptr;  // the system over u alone, whatever the design
    for (std::size_t j = 0; j < k; ++j) {
      rows.levels.push_back(b.codes + j * b.n);
      rows.z.push_back(b.z + b.n * model.column[j]);
    }
    lev = in.leverage ? cr::leverages(*in.design, *in.factor, rows, *in.leverage)
                      : cr::leverages(*in.design, *in.factor, rows);
  }
  const std::size_t nt = model.theta_offset.back();
  const std::uint64_t ne = n_extra(model.family);
  // A system's rows land on their levels' blocks and pairs in the order of the rows, at
  // random places of arrays far larger than the caches where the levels are many: each
  // row's places among the pairs first (kept from the pass before where they still
  // hold), then the rows' sums, the places of rows a little ahead fetched meanwhile.
  const bool fill = in.kind == CrossedPassKind::kSystem && !in.rhs_only;
  const std::size_t npairs = k * (k - 1) / 2;
  std::vector<const std::uint32_t*> place(npairs, nullptr);
  std::vector<std::vector<std::uint32_t>> own(npairs);
  if (fill) {
    // Places are 32-bit: a block of 2^32 pairs or more (32 GB of values) is searched.
    bool small = true;
    for (const cr::CrossBlock& cb : sums.products->cross) small = small && cb.keys.size() < 0xffffffffu;
    CrossedPlaces* kept = small ? in.places : nullptr;
    if (kept && in.places_writable && kept->at.size() <= bno) kept->at.resize(bno + 1);
    const bool have = kept && kept->at.size() > bno && kept->at[bno].size() == npairs;
    for (std::size_t i = 0, pi = 0; i + 1 < k; ++i)
      for (std::size_t j = i + 1; j < k; ++j, ++pi) {
        const cr::CrossBlock& cb = sums.products->cross[pi];
        const std::vector<std::uint32_t>* before = have && kept->at[bno][pi].size() == b.n ? &kept->at[bno][pi] : nullptr;
        own[pi].resize(b.n);
        for (std::uint64_t r = 0; r < b.n; ++r)
          own[pi][r] = place_of_row(model, b, r, i, j, pi, cb, in.cross_start, before ? (*before)[r] : 0xffffffffu);
        place[pi] = own[pi].data();
      }
    if (kept && in.places_writable) {
      kept->at[bno] = std::move(own);
      for (std::size_t pi = 0; pi < npairs; ++pi) place[pi] = kept->at[bno][pi].data();
    }
  }
  constexpr std::uint64_t kAhead = 8;
  const auto fetch = [&](std::uint64_t r2) {
    if (!fill || r2 >= b.n) return;
    const cr::Products& pr = *sums.products;
    for (std::size_t i = 0, pi = 0; i + 1 < k; ++i) {
      const std::uint64_t li = static_cast<std::uint64_t>(b.codes[i * b.n + r2]);
      __builtin_prefetch(pr.ztz[i].data() + li * model.q[i] * model.q[i], 1);
      __builtin_prefetch(pr.ztx[i].data() + li * model.q[i] * p, 1);
      __builtin_prefetch(pr.zty[i].data() + li * model.q[i], 1);
      for (std::size_t j = i + 1; j < k; ++j, ++pi)
        __builtin_prefetch(pr.cross[pi].values.data() + static_cast<std::uint64_t>(place[pi][r2]) * model.q[i] * model.q[j], 1);
    }
  };
  for (std::uint64_t r = 0; r < b.n; ++r) {
    fetch(r + kAhead);
    const double y = b.y[r], w = b.w[r], off = b.offset ? b.offset[r] : 0.0;
    const double* xr = b.x + r * p;
    const double eta0 = detail::fixed_eta(off, xr, in.beta, p);
    const double eta = add_random(model, b, r, eta0, *in.lambdas, *in.u);
    if (in.kind == CrossedPassKind::kValue || in.kind == CrossedPassKind::kSystem) {
      if (w != 0.0) sums.ll = sums.ll + loglik_smooth(fam, y, linkinv(fam, eta), w);
      if (in.dbeta) {
        double e = 0.0;
        for (std::uint64_t c = 0; c < p; ++c) e = e + xr[c] * in.dbeta[c];
        sums.step_eta = std::max(sums.step_eta, std::fabs(e));
      }
      if (in.kind == CrossedPassKind::kValue && !in.curvature) continue;
      const RowState s = detail::row_state(fam, y, eta, w);
      if (in.kind == CrossedPassKind::kValue) {
        if (w != 0.0 && !(-s.d2 > 0.0)) sums.observed_ok = false;
        continue;
      }
      if (w != 0.0 && !(-s.d2 > 0.0)) sums.observed_ok = false;
      if (w != 0.0 && s.weight != s.scoring) sums.laplace_same = false;
      double wt = 0.0, resp = 0.0;
      switch (in.weights) {
        case CrossedWeights::kScoring:
        case CrossedWeights::kLaplace: {
          const double wv = in.weights == CrossedWeights::kLaplace ? s.weight : s.scoring;
          wt = w == 0.0 ? crossed_detail::kTinyWeight : wv;
          const double step = general ? s.d1 / wv : (y - s.mu) / mu_eta(fam, eta);
          resp = (eta - (in.joint ? off : eta0)) + (w == 0.0 ? 0.0 : step);
          break;
        }
        case CrossedWeights::kPql:
          wt = w == 0.0 ? crossed_detail::kTinyWeight : s.scoring;
          resp = (eta - off) + (w == 0.0 ? 0.0 : (y - s.mu) / mu_eta(fam, eta));
          break;
        case CrossedWeights::kSecond: {
          const double v = s.dweight * lev[r], cw = in.observed ? -s.d2 : s.weight;
          wt = w == 0.0 ? crossed_detail::kTinyWeight : cw;
          resp = w == 0.0 ? 0.0 : v / cw;
          break;
        }
        case CrossedWeights::kCurvature:
        case CrossedWeights::kAdjoint: {
          const double c = in.observed ? -s.d2 : s.scoring;
          wt = w == 0.0 || c == 0.0 ? crossed_detail::kTinyWeight : c;
          const double top = in.weights == CrossedWeights::kCurvature ? s.d1 : -2.0 * x_dot(xr, in.v, p) * s.d2;
          resp = w == 0.0 ? 0.0 : top / wt;
          break;
        }
      }
      if (wt < 0.0) sums.negative = true;
      if (resp != 0.0) sums.response = true;
      add_products(model, b, r, wt, resp, *sums.products, in.rhs_only, place);
      continue;
    }
    const RowState s = detail::row_state(fam, y, eta, w);
    if (in.kind == CrossedPassKind::kAdjointGradient) {
      // crossed_joint_gradient's row sums: psi's family parameters, then theta's
      // entries (theta_terms) with coef = w + D2 a't, w = -2 (x'v) D2.
      const double xv = x_dot(xr, in.v, p), at = add_random(model, b, r, 0.0, *in.lambdas, *in.t);
      double* g = sums.grad.data();
      if (ne > 0 && w != 0.0) {
        const std::array<detail::ExtraDerivs, 2> d = detail::extra_derivs(fam, y, eta, w);
        for (std::uint64_t j = 0; j < ne; ++j) g[nt + j] = g[nt + j] + (-2.0 * xv + at) * d[j].d1;
      }
      const double coef = -2.0 * xv * s.d2 + s.d2 * at;
      add_theta_terms(model, b, r, coef, s.d1, *in.u, *in.t, g);
      continue;
    }
    // kGradient: crossed_gradient's row sums.
    const double v = s.dweight * lev[r];
    const double at = add_random(model, b, r, 0.0, *in.lambdas, *in.t);
    const double omega = (v + s.d2 * at) - 2.0 * s.d1;
    double* g = sums.grad.data();
    for (std::uint64_t c = 0; c < p; ++c) g[nt + c] = g[nt + c] + omega * xr[c];
    if (ne > 0 && w != 0.0) {
      const std::array<detail::ExtraDerivs, 2> d = detail::extra_derivs(fam, y, eta, w);
      for (std::uint64_t j = 0; j < ne; ++j) g[nt + p + j] = g[nt + p + j] + ((-2.0 * d[j].l + lev[r] * d[j].weight) + at * d[j].d1);
    }
    add_theta_terms(model, b, r, omega, s.d1, *in.u_last, *in.t, g);
  }
}

}  // namespace qk::glmm
