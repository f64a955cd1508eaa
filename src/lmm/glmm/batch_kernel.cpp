// The kernel of the GLMM fit from batches (batch.hpp): one batch's rows added to their
// groups' sums, with the in-memory groups' per-row math (group.hpp).
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "lmm/glmm/batch.hpp"
#include "lmm/glmm/group.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {

BatchModel make_batch_model(std::uint64_t m, std::uint64_t p, std::uint64_t q, Family family,
                            const std::vector<std::uint64_t>& blocks) {
  if (q == 0) throw std::invalid_argument("z must have at least one column");
  if (m == 0) throw std::invalid_argument("n_groups must be at least 1");
  // A constant zero-inflation probability is a parameter of the family beside beta,
  // as log(phi) is; one with covariates would need the batches' rows of its design.
  if (family.inflated && family.zi_columns != 1)
    throw std::invalid_argument("zero-inflation with covariates is not taken by the fit from batches");
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

GradientMoments::GradientMoments(const BatchModel& model) : q(model.q), p(model.p), ne(n_extra(model.family)) {}

void PassSums::clear(const BatchModel& model, const PassInput& in) {
  const std::uint64_t m = model.m, q = model.q, p = model.p, qq = q * q, nodes = in.nodes;
  const PassKind kind = in.kind;
  const auto sized = [](std::vector<double>& v, std::uint64_t n) { v.assign(n, 0.0); };
  for (auto* v : {&ll, &d1, &mo, &mf, &ms, &tm, &gmom, &s, &zw, &zd, &bx, &xsx, &xd1, &gb, &at_nodes, &parts})
    v->clear();
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
      // The moments at a group's mode (some ten doubles a group and more), only in a
      // pass that has such a group: the others neither hold nor send them.
      if (in.active && std::find(in.active, in.active + m, std::uint8_t{2}) != in.active + m) {
        sized(tm, m * qq * q);
        sized(gmom, m * GradientMoments(model).size());
      }
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

// Where a row's additions to the pass's global sums go: the sums themselves, or its
// chunk's partial sums (PassSums::parts, laid out as gb, xsx, xd1).
struct Globals {
  double* gb;
  double* xsx;
  double* xd1;
};

// The doubles of a group's inputs and sums that a row of the kind reads or adds to:
// the cost by which groups are cut into chunks whose working set stays in cache.
std::uint64_t group_doubles(const BatchModel& model, const PassInput& in, const PassSums& sums) {
  const std::uint64_t q = model.q, qq = q * q, p = model.p;
  switch (in.kind) {
    case PassKind::kCheck:
    case PassKind::kValue:
      return q + 1;
    case PassKind::kModes:
      // The moments at the modes only in a pass that holds them (PassSums::clear).
      return 2 * q + 1 + 3 * qq + (sums.gmom.empty() ? 0 : qq * q + GradientMoments(model).size());
    case PassKind::kJoint:
      return 2 * q + 1 + qq + q * p;
    case PassKind::kAdjoint:
      return 2 * q;
    case PassKind::kAdjointGradient:
      return 4 * q;
    case PassKind::kNodes:
      return in.nodes * (q + 1);
    case PassKind::kTrials:
      return 2 * q + in.nodes;
  }
  return q + 1;
}

// One batch's rows of the pass's kind (kCheck aside): the per-row math, added to the
// row's group and to the globals it is given.
class RowKernel {
 public:
  RowKernel(const BatchModel& model, const Batch& b, const PassInput& in)
      : model_(model), b_(b), in_(in), f_(at_params(model.family, in.beta, model.p)), gmo_(model) {
    // kTrials: each step's family (its parameters beside beta are the trial beta's).
    for (std::uint64_t k = 0; in.kind == PassKind::kTrials && k < in.nodes; ++k)
      fk_.push_back(at_params(model.family, in.points + k * (model.p + n_extra(model.family)), model.p));
  }

  // Adds rows[0..count) (row numbers of the batch, increasing) to the sums. a and ut
  // are q doubles of scratch.
  template <class Rows>
  void add(const Rows& rows, std::uint64_t count, PassSums& sums, const Globals& gl, double* ar, double* ut) const;

 private:
  const BatchModel& model_;
  const Batch& b_;
  // A row's terms of its group's gradient moments (GradientMoments' layout), at its mode.
  void add_gradient_moments(const Family& f, double y, double eta, double w, const detail::RowState& st,
                            const double* ar, const double* zr, const double* xr, double* mg) const;

  const PassInput& in_;
  Family f_;
  std::vector<Family> fk_;
  GradientMoments gmo_;
};

void RowKernel::add_gradient_moments(const Family& f, double y, double eta, double w, const detail::RowState& st,
                                     const double* ar, const double* zr, const double* xr, double* mg) const {
  const std::uint64_t q = gmo_.q, p = gmo_.p, qq = q * q;
  double* zd = mg + gmo_.zd();
  double* gm = mg + gmo_.gm();
  double* wz = mg + gmo_.wz();
  double* dz = mg + gmo_.dz();
  double* d1x = mg + gmo_.d1x();
  double* wx = mg + gmo_.wx();
  double* dx = mg + gmo_.dx();
  for (std::uint64_t c = 0; c < q; ++c) zd[c] = zd[c] + st.d1 * zr[c];
  for (std::uint64_t j = 0; j < q; ++j) {
    const double wa = st.weight * ar[j], da = st.d2 * ar[j], wpa = st.dweight * ar[j];
    for (std::uint64_t c = 0; c < q; ++c) {
      gm[j * q + c] = gm[j * q + c] + wa * zr[c];
      dz[j * q + c] = dz[j * q + c] + da * zr[c];
    }
    for (std::uint64_t c = 0; c < p; ++c) dx[j * p + c] = dx[j * p + c] + da * xr[c];
    for (std::uint64_t k = 0; k < q; ++k) {
      const double wjk = wpa * ar[k];
      double* wzjk = wz + (j * q + k) * q;
      double* wxjk = wx + (j * q + k) * p;
      for (std::uint64_t c = 0; c < q; ++c) wzjk[c] = wzjk[c] + wjk * zr[c];
      for (std::uint64_t c = 0; c < p; ++c) wxjk[c] = wxjk[c] + wjk * xr[c];
    }
  }
  for (std::uint64_t c = 0; c < p; ++c) d1x[c] = d1x[c] + st.d1 * xr[c];
  if (gmo_.ne == 0) return;
  // log(phi), Tweedie's power and a constant zero-inflation's logit, the mode moving
  // with them (group_gradient's terms): each its own entry of extra_derivs.
  const std::array<detail::ExtraDerivs, 2> dd = detail::extra_derivs(f, y, eta, w);
  for (std::uint64_t e = 0; e < gmo_.ne; ++e) {
    double* me = mg + gmo_.extra(e);
    me[0] = me[0] + -2.0 * dd[e].l;
    for (std::uint64_t j = 0; j < q; ++j) {
      const double wa = dd[e].weight * ar[j];
      for (std::uint64_t k = 0; k < q; ++k) me[1 + j * q + k] = me[1 + j * q + k] + wa * ar[k];
      me[1 + qq + j] = me[1 + qq + j] + dd[e].d1 * ar[j];
    }
  }
}

template <class Rows>
void RowKernel::add(const Rows& rows, std::uint64_t count, PassSums& sums, const Globals& gl, double* ar,
                    double* ut) const {
  const BatchModel& model = model_;
  const Batch& b = b_;
  const PassInput& in = in_;
  const Family& f = f_;
  const std::uint64_t p = model.p, q = model.q, qq = q * q;
  const PassKind kind = in.kind;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t i = rows(k);
    const auto g = static_cast<std::uint64_t>(b.codes[i]);
    const double y = b.y[i], w = b.w[i];
    const double* xr = b.x + i * p;
    const double* zr = b.z + i * q;
    detail::lambda_t_row(in.lambda, zr, q, ar);
    if (kind == PassKind::kTrials) {
      // The joint PIRLS's pass at each step (joint_pirls forms u + s du so).
      const std::uint64_t pe = p + n_extra(model.family);
      for (std::uint64_t s = 0; s < in.nodes; ++s) {
        for (std::uint64_t c = 0; c < q; ++c) ut[c] = in.u[g * q + c] + in.steps[s] * in.du[g * q + c];
        const double e =
            detail::plus_random(detail::fixed_eta(b.offset ? b.offset[i] : 0.0, xr, in.points + s * pe, p), ar, ut, q);
        // The mean as row_state finds it (the same bits as a kValue pass's), without
        // the derivatives a trial does not need.
        double mu, m1;
        fk_[s].link->mean(e, mu, m1);
        sums.at_nodes[g * in.nodes + s] = sums.at_nodes[g * in.nodes + s] + loglik_smooth(fk_[s], y, mu, w);
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
        if (in.active && in.active[g] == 2) {
          double* tg = sums.tm.data() + g * qq * q;
          for (std::uint64_t i = 0; i < q; ++i) {
            const double wi = st.dweight * ar[i];
            for (std::uint64_t j = 0; j < q; ++j) {
              const double wij = wi * ar[j];
              for (std::uint64_t k = 0; k < q; ++k) tg[(i * q + j) * q + k] = tg[(i * q + j) * q + k] + wij * ar[k];
            }
          }
          add_gradient_moments(f, y, eta, w, st, ar, zr, xr, sums.gmom.data() + g * gmo_.size());
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
          gl.xd1[r] = gl.xd1[r] + xr[r] * st.d1;
          for (std::uint64_t c = 0; c <= r; ++c) gl.xsx[r * p + c] = gl.xsx[r * p + c] + wx * xr[c];
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
        // log(phi), then Tweedie's power or the constant zero-inflation's logit: each
        // its own entry of extra_derivs, in n_extra's order.
        const double base = -2.0 * xv + at;
        for (std::uint64_t j = 0; j < ne; ++j) gl.gb[j] = gl.gb[j] + base * dd[j].d1;
        break;
      }
    }
  }
}

}  // namespace

void PassSums::settle() {
  if (parts.empty()) return;
  const std::uint64_t width = gb.size() + xsx.size() + xd1.size(), chunks = parts.size() / width;
  for (std::uint64_t c = 0; c < chunks; ++c) {
    const double* part = parts.data() + c * width;
    for (auto* v : {&gb, &xsx, &xd1})
      for (double& e : *v) e = e + *part++;
  }
  parts.clear();
}

void add_batch(const BatchModel& model, const Batch& b, const PassInput& in, PassSums& sums) {
  const std::uint64_t m = model.m, q = model.q, no = sums.batches++;
  if (in.kind == PassKind::kCheck) {
    for (std::uint64_t i = 0; i < b.n; ++i) {
      const std::int64_t code = b.codes[i];
      if (code < 0 || static_cast<std::uint64_t>(code) >= m)
        refuse(no, i, "group code " + std::to_string(code) + " is outside 0.." + std::to_string(m - 1));
      if (in.active && !in.active[code]) continue;
      ++sums.rows;
      check_row(model, b, i, no, sums);
    }
    return;
  }
  for (std::uint64_t i = 0; i < b.n; ++i)
    if (b.codes[i] < 0 || static_cast<std::uint64_t>(b.codes[i]) >= m)
      refuse(no, i, "group code " + std::to_string(b.codes[i]) + " is outside 0.." + std::to_string(m - 1));
  const auto skipped = [&](std::uint64_t i) { return in.active && !in.active[b.codes[i]]; };
  // The groups are cut into chunks whose inputs and sums fit in cache; each chunk adds
  // its groups' rows in row order, so a group's sums are the same bits however the
  // rows are cut. A chunk's additions to the global sums go to partial sums of its
  // own, kept across the pass's batches and added in chunk order by settle(): the
  // globals too are the same bits for any cut of the rows into batches, and for any
  // number of threads (the plan depends on the model and the kind only).
  // Aligned chunks: a source may replay its rows in spans of aligned_chunk_span() groups
  // (a spill ordered by group), and each chunk still sees its rows in row order.
  const ChunkPlan plan = plan_aligned_chunks(m, group_doubles(model, in, sums));
  if (plan.count <= 1) {
    std::vector<double> scratch(2 * q);
    const Globals direct{sums.gb.data(), sums.xsx.data(), sums.xd1.data()};
    const RowKernel kernel(model, b, in);
    if (!in.active) {  // every row, in place
      sums.rows += b.n;
      kernel.add([](std::uint64_t k) { return k; }, b.n, sums, direct, scratch.data(), scratch.data() + q);
      return;
    }
    std::vector<std::uint64_t> rows;
    rows.reserve(b.n);
    for (std::uint64_t i = 0; i < b.n; ++i)
      if (!skipped(i)) rows.push_back(i);
    sums.rows += rows.size();
    kernel.add([&](std::uint64_t k) { return rows[k]; }, rows.size(), sums, direct, scratch.data(), scratch.data() + q);
    return;
  }
  // The batch's rows gathered by chunk (a counting sort, row order kept within each
  // chunk): each chunk then reads its rows in sequence while its groups' sums sit in
  // cache. Counting and placing run over blocks of rows (the shared plan again), each
  // block's rows of a chunk placed after those of the blocks before it.
  const std::uint64_t p = model.p, nc = plan.count;
  const ChunkPlan blocks = plan_chunks(b.n, 1);
  std::vector<std::uint64_t> at(blocks.count * nc, 0);  // block-major: block k's count, then its place, per chunk
  for_chunks(blocks, [&](std::uint64_t k, std::uint64_t begin, std::uint64_t end) {
    std::uint64_t* mine = at.data() + k * nc;
    for (std::uint64_t i = begin; i < end; ++i)
      if (!skipped(i)) ++mine[static_cast<std::uint64_t>(b.codes[i]) / plan.len];
  });
  std::vector<std::uint64_t> first(nc + 1, 0);
  std::uint64_t n = 0;
  for (std::uint64_t c = 0; c < nc; ++c) {
    first[c] = n;
    for (std::uint64_t k = 0; k < blocks.count; ++k) {
      const std::uint64_t count = at[k * nc + c];
      at[k * nc + c] = n;
      n += count;
    }
  }
  first[nc] = n;
  // The gathered rows, in storage kept across the pass's batches (fresh pages for each
  // batch cost as much as the gathering); filled below before they are read.
  std::vector<double>& store = sums.gathered.values;
  std::vector<std::int64_t>& store_codes = sums.gathered.codes;
  const std::uint64_t n_off = b.offset ? n : 0;
  if (store.size() < n * (2 + p + q) + n_off) store.resize(n * (2 + p + q) + n_off);
  if (store_codes.size() < n) store_codes.resize(n);
  double* const y = store.data();
  double* const w = y + n;
  double* const x = w + n;
  double* const z = x + n * p;
  double* const off = z + n * q;
  std::int64_t* const codes = store_codes.data();
  for_chunks(blocks, [&](std::uint64_t k, std::uint64_t begin, std::uint64_t end) {
    std::uint64_t* place = at.data() + k * nc;
    for (std::uint64_t i = begin; i < end; ++i) {
      if (skipped(i)) continue;
      const std::uint64_t r = place[static_cast<std::uint64_t>(b.codes[i]) / plan.len]++;
      codes[r] = b.codes[i];
      y[r] = b.y[i];
      w[r] = b.w[i];
      if (b.offset) off[r] = b.offset[i];
      for (std::uint64_t j = 0; j < p; ++j) x[r * p + j] = b.x[i * p + j];
      for (std::uint64_t j = 0; j < q; ++j) z[r * q + j] = b.z[i * q + j];
    }
  });
  const Batch gathered{n, y, x, z, codes, w, b.offset ? off : nullptr};
  const RowKernel by_chunk(model, gathered, in);
  sums.rows += n;
  const std::uint64_t width = sums.gb.size() + sums.xsx.size() + sums.xd1.size();
  if (sums.parts.empty()) sums.parts.assign(plan.count * width, 0.0);
  const std::uint64_t row_cost = 16 * (q + 1) * (p + q + 1);
  run_tasks(plan.count, plan.parallel && work_is_large(n, row_cost), [&](std::size_t c) {
    std::vector<double> scratch(2 * q);
    double* part = sums.parts.data() + c * width;
    const Globals own{part, part + sums.gb.size(), part + sums.gb.size() + sums.xsx.size()};
    const std::uint64_t from = first[c];
    by_chunk.add([&](std::uint64_t k) { return from + k; }, first[c + 1] - from, sums, own, scratch.data(),
                  scratch.data() + q);
  });
}

}  // namespace qk::glmm
