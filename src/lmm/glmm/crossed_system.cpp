// The crossed GLMM's systems: the model's rows and patterns, their products refilled
// per PIRLS step, and the penalised weighted least-squares solves by the crossed LMM
// core.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "lmm/glmm/crossed_detail.hpp"
#include "lmm/glmm/group.hpp"
#include "pool/pool.hpp"

namespace qk::glmm {
namespace crossed_detail {

namespace {

// Rows grouped by key (keys below `groups`), each group in row order: a stable
// counting sort. ptr gets groups + 1 entries.
void group_rows(const std::vector<std::uint64_t>& key, std::uint64_t groups, std::vector<std::uint64_t>& rows,
                std::vector<std::uint64_t>& ptr) {
  ptr.assign(groups + 1, 0);
  for (std::uint64_t g : key) ++ptr[g + 1];
  for (std::uint64_t g = 0; g < groups; ++g) ptr[g + 1] += ptr[g];
  rows.resize(key.size());
  std::vector<std::uint64_t> next(ptr.begin(), ptr.end() - 1);
  for (std::uint64_t r = 0; r < key.size(); ++r) rows[next[key[r]]++] = r;
}

}  // namespace

}  // namespace crossed_detail

std::unique_ptr<crossed::Design> SystemSpares::take(bool joint) {
  const std::lock_guard<std::mutex> hold(lock_);
  auto& list = joint ? joint_ : plain_;
  if (list.empty()) return nullptr;
  std::unique_ptr<crossed::Design> d = std::move(list.back());
  list.pop_back();
  return d;
}

void SystemSpares::give(std::unique_ptr<crossed::Design> d, bool joint) {
  if (!d) return;
  const std::lock_guard<std::mutex> hold(lock_);
  (joint ? joint_ : plain_).push_back(std::move(d));
}

void SystemSpares::clear() {
  const std::lock_guard<std::mutex> hold(lock_);
  plain_.clear();
  joint_.clear();
}

SparesScope::~SparesScope() { model.spares->clear(); }

namespace crossed_detail {

void refill(const CrossedModel& model, const std::vector<double>& wt, const std::vector<double>& resp, bool joint,
            cr::Products& pr, bool log_weights) {
  const std::size_t k = model.factors.size(), p = joint ? model.p : 0;
  std::fill(pr.xtx.begin(), pr.xtx.end(), 0.0);
  std::fill(pr.xty.begin(), pr.xty.end(), 0.0);
  pr.yty = 0.0;
  pr.log_weights = 0.0;
  for (std::uint64_t r = 0; r < model.n; ++r) {
    if (r % 65536 == 65535) check_interrupt();
    const double w = wt[r], yr = resp[r];
    pr.yty = pr.yty + (yr * w) * yr;
    // |w|: a Newton weight may be negative (see LmmData::free_scale); the sum of log
    // weights enters only the linear model's criterion, which no PIRLS step reads (a
    // log per row, a tenth of a step's row pass).
    if (log_weights) pr.log_weights = pr.log_weights + std::log(std::fabs(w));
    const double* xr = model.x.data() + r * model.p;
    // X'WX's lower triangle only: the crossed core's factor reads no other (the upper
    // stays zero), and a row's p^2 products are most of a joint system's refill.
    for (std::size_t a = 0; a < p; ++a) {
      const double xa = xr[a] * w;
      pr.xty[a] = pr.xty[a] + xa * yr;
      for (std::size_t c = 0; c <= a; ++c) pr.xtx[a * p + c] = pr.xtx[a * p + c] + xa * xr[c];
    }
  }
  // Each level's and each pair's sums take their rows in row order: the bits of one
  // pass over the rows, for any number of threads.
  for (std::size_t j = 0; j < k; ++j) {
    check_interrupt();
    const CrossedFactor& f = model.factors[j];
    const std::uint64_t q = f.q;
    const std::vector<std::uint64_t>& rows = model.level_rows[j];
    const std::vector<std::uint64_t>& ptr = model.level_ptr[j];
    const ChunkPlan plan = plan_chunks(f.m, (model.n / f.m + 1) * (q * q + q * p + q));
    for_chunks(plan, [&](std::uint64_t, std::uint64_t lb, std::uint64_t le) {
      for (std::uint64_t l = lb; l < le; ++l) {
        double* ztz = pr.ztz[j].data() + l * q * q;
        double* ztx = pr.ztx[j].data() + l * q * p;
        double* zty = pr.zty[j].data() + l * q;
        std::fill(ztz, ztz + q * q, 0.0);
        std::fill(ztx, ztx + q * p, 0.0);
        std::fill(zty, zty + q, 0.0);
        for (std::uint64_t t = ptr[l]; t < ptr[l + 1]; ++t) {
          const std::uint64_t r = rows[t];
          const double w = wt[r], yr = resp[r];
          const double* xr = model.x.data() + r * model.p;
          const double* zr = f.z.data() + r * q;
          for (std::size_t a = 0; a < q; ++a) {
            const double za = zr[a] * w;
            zty[a] = zty[a] + za * yr;
            for (std::size_t c = 0; c < q; ++c) ztz[a * q + c] = ztz[a * q + c] + za * zr[c];
            for (std::size_t c = 0; c < p; ++c) ztx[a * p + c] = ztx[a * p + c] + za * xr[c];
          }
        }
      }
    });
  }
  for (std::size_t i = 0, pi = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j, ++pi) {
      check_interrupt();
      const CrossedFactor& fi = model.factors[i];
      const CrossedFactor& fj = model.factors[j];
      const std::size_t qq = fi.q * fj.q;
      const std::vector<std::uint64_t>& rows = model.pair_rows[pi];
      const std::vector<std::uint64_t>& ptr = model.pair_ptr[pi];
      const std::uint64_t pairs = ptr.size() - 1;
      const ChunkPlan plan = plan_chunks(pairs, (model.n / (pairs ? pairs : 1) + 1) * qq);
      for_chunks(plan, [&](std::uint64_t, std::uint64_t eb, std::uint64_t ee) {
        for (std::uint64_t e = eb; e < ee; ++e) {
          double* v = pr.cross[pi].values.data() + e * qq;
          std::fill(v, v + qq, 0.0);
          for (std::uint64_t t = ptr[e]; t < ptr[e + 1]; ++t) {
            const std::uint64_t r = rows[t];
            const double w = wt[r];
            for (std::size_t a = 0; a < fi.q; ++a) {
              const double za = fi.z[r * fi.q + a] * w;
              for (std::size_t c = 0; c < fj.q; ++c) v[a * fj.q + c] = v[a * fj.q + c] + za * fj.z[r * fj.q + c];
            }
          }
        }
      });
    }
}


std::shared_ptr<const cr::Design> pattern_of(const CrossedModel& model, bool joint) {
  const std::vector<double> ones(model.n, 1.0), zeros(model.n, 0.0);
  cr::CrossedRows rows;
  rows.n = model.n;
  rows.p = joint ? model.p : 0;
  rows.y = zeros.data();
  rows.x = joint ? model.x.data() : nullptr;
  rows.w = ones.data();
  std::vector<std::vector<std::uint64_t>> blocks;
  for (const CrossedFactor& f : model.factors) {
    rows.factors.push_back({f.codes.data(), f.m, f.z.data(), f.q});
    blocks.push_back(f.blocks);
  }
  auto pr = cr::products_of(rows);
  if (auto* err = std::get_if<std::string>(&pr)) throw std::invalid_argument(*err);
  cr::Products products = std::get<cr::Products>(std::move(pr));
  products.shift = Shift{};
  products.shift.x.assign(rows.p, 0.0);
  auto design = cr::make_design(std::move(products), std::move(blocks));
  if (auto* err = std::get_if<std::string>(&design)) throw std::invalid_argument(*err);
  return std::shared_ptr<const cr::Design>(std::move(std::get<0>(design)));
}


std::unique_ptr<cr::Design> pattern_copy(const cr::Design& pattern) {
  auto d = std::make_unique<cr::Design>();
  d->pr = pattern.pr;
  d->layout = pattern.layout;
  d->blocks = pattern.blocks;
  d->tidx = pattern.tidx;
  d->theta_offset = pattern.theta_offset;
  d->shell.n = pattern.shell.n;
  d->shell.p = pattern.shell.p;
  d->shell.weighted = true;
  return d;
}

std::unique_ptr<cr::Design> system_of(const CrossedModel& model, const std::vector<double>& wt,
                                      const std::vector<double>& resp, bool joint, bool log_weights) {
  std::unique_ptr<cr::Design> d = pattern_copy(joint ? *model.joint : *model.plain);
  refill(model, wt, resp, joint, d->pr, log_weights);
  d->shell.log_weights = d->pr.log_weights;
  d->shell.free_scale = std::any_of(wt.begin(), wt.end(), [](double w) { return w < 0.0; });
  return d;
}

bool solve_system(const CrossedModel& model, const std::vector<double>& theta, const std::vector<double>& wt,
                  const std::vector<double>& resp, bool joint, bool cond_var, bool gradient, Solve& out,
                  std::unique_ptr<cr::Design>* reuse) {
  // A copy of the pattern (its products, layout and the layout's row lists) costs more
  // than refilling its products: a held system of the same kind is refilled in place.
  std::unique_ptr<cr::Design> d;
  if (reuse && *reuse && (*reuse)->pr.p == (joint ? model.p : 0)) d = std::move(*reuse);
  if (!d) d = model.spares->take(joint);
  if (d) {
    refill(model, wt, resp, joint, d->pr, false);
    d->shell.log_weights = d->pr.log_weights;
    d->shell.free_scale = std::any_of(wt.begin(), wt.end(), [](double w) { return w < 0.0; });
  } else {
    d = system_of(model, wt, resp, joint, false);
  }
  // The system goes back to the caller's `reuse`, else to the model's spares.
  const auto keep = [&]() {
    if (reuse)
      *reuse = std::move(d);
    else
      model.spares->give(std::move(d), joint);
  };
  std::optional<cr::Factor> f = cr::factorize(*d, theta, false);
  if (!f) {
    keep();
    return false;
  }
  const std::vector<double> skip(theta.size(), 0.0);
  out.solution = cr::solution_of(*d, *f, false, kModeSolution, cond_var, gradient ? nullptr : &skip);
  out.u = out.solution->u;
  out.beta = out.solution->ev.beta;
  out.ldl2 = out.solution->ev.ldl2;
  if (gradient) {
    out.design = std::move(d);
    out.factor = std::move(f);
  } else {
    keep();
  }
  return true;
}

bool pwls(const CrossedModel& model, const Family& fam, const std::vector<double>& theta, const std::vector<double>& eta,
          const std::vector<double>& base, bool joint, bool cond_var, Solve& out, bool gradient,
          std::unique_ptr<cr::Design>* reuse, bool laplace) {
  const std::uint64_t n = model.n;
  const bool general = general_path(fam);
  std::vector<double> wt(n), zr(n);
  each_row(n, kRowStateCost, [&](std::uint64_t r) {
    const detail::RowState s = state_at(model, fam, eta[r], r);
    const double w = laplace ? s.weight : s.scoring;
    wt[r] = model.w[r] == 0.0 ? kTinyWeight : w;
    // Fisher scoring's (y - mu) / m1 is d1 / W at the Fisher weight W, kept in that form
    // for binomial and Poisson.
    const double step = general ? s.d1 / w : (model.y[r] - s.mu) / mu_eta(fam, eta[r]);
    zr[r] = (eta[r] - base[r]) + (model.w[r] == 0.0 ? 0.0 : step);
  });
  return solve_system(model, theta, wt, zr, joint, cond_var, gradient, out, reuse);
}

}  // namespace crossed_detail

using namespace crossed_detail;

CrossedModel make_crossed(std::uint64_t n, std::uint64_t p, const double* y, const double* x, const double* w,
                          const double* offset, Family family, std::vector<CrossedFactor> factors, const double* zx,
                          std::uint64_t zi_columns) {
  CrossedModel model;
  if (zx && !family.inflated) throw std::invalid_argument("zero-inflation covariates need a zero-inflated family");
  if (zx && zi_columns == 0) throw std::invalid_argument("the zero-inflation's design has no columns");
  if (zx) {
    family.zi_columns = static_cast<std::uint32_t>(zi_columns);
    model.zx.assign(zx, zx + n * zi_columns);
    for (double v : model.zx)
      if (!std::isfinite(v)) throw std::invalid_argument("the zero-inflation's design has a value that is not finite");
  }
  model.family = family;
  model.n = n;
  model.p = p;
  model.y.assign(y, y + n);
  model.w.assign(w, w + n);
  model.x.assign(x, x + n * p);
  model.offset.assign(n, 0.0);
  if (offset) model.offset.assign(offset, offset + n);
  double constant = 0.0;
  for (std::uint64_t r = 0; r < n; ++r) {
    if (!(model.w[r] == 0.0 && std::isfinite(model.y[r])) &&
        check_response(family, model.y[r], model.w[r]) == Support::kOutside)
      throw std::invalid_argument("row " + std::to_string(r) + ": response " + std::to_string(model.y[r]) +
                                  " with weight " + std::to_string(model.w[r]) + " is outside the support of the " +
                                  family.def->name + " family");
    if (!std::isfinite(model.offset[r])) throw std::invalid_argument("offset[" + std::to_string(r) + "] is not finite");
    if (model.w[r] != 0.0) constant = constant + loglik_constant(family, model.y[r], model.w[r]);
  }
  for (double v : model.x)
    if (!std::isfinite(v)) throw std::invalid_argument("x has a value that is not finite");
  model.theta_offset.push_back(0);
  for (std::size_t j = 0; j < factors.size(); ++j) {
    CrossedFactor& f = factors[j];
    if (auto err = blocks_error(f.blocks, f.q)) throw std::invalid_argument("factor " + std::to_string(j) + ": " + *err);
    f.idx = theta_index(f.q, f.blocks);
    for (std::uint64_t r = 0; r < n; ++r)
      if (f.codes[r] < 0 || static_cast<std::uint64_t>(f.codes[r]) >= f.m)
        throw std::invalid_argument("factor " + std::to_string(j) + ": codes[" + std::to_string(r) +
                                    "] is outside 0.." + std::to_string(f.m - 1));
    model.theta_offset.push_back(model.theta_offset.back() + f.idx.size());
  }
  model.factors = std::move(factors);
  model.constant = -2.0 * constant;
  model.plain = pattern_of(model, false);
  model.joint = pattern_of(model, true);
  const std::size_t k = model.factors.size();
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const cr::CrossBlock& cb = model.plain->pr.cross[cr::pair_index(i, j, k)];
      std::vector<std::uint64_t> pos(n);
      for (std::uint64_t r = 0; r < n; ++r) {
        const std::uint64_t key = static_cast<std::uint64_t>(model.factors[i].codes[r]) * model.factors[j].m +
                                  static_cast<std::uint64_t>(model.factors[j].codes[r]);
        pos[r] = static_cast<std::uint64_t>(std::lower_bound(cb.keys.begin(), cb.keys.end(), key) - cb.keys.begin());
      }
      model.pair_rows.emplace_back();
      model.pair_ptr.emplace_back();
      group_rows(pos, cb.keys.size(), model.pair_rows.back(), model.pair_ptr.back());
      model.cross_pos.push_back(std::move(pos));
    }
  for (const CrossedFactor& f : model.factors) {
    std::vector<std::uint64_t> level(n);
    for (std::uint64_t r = 0; r < n; ++r) level[r] = static_cast<std::uint64_t>(f.codes[r]);
    model.level_rows.emplace_back();
    model.level_ptr.emplace_back();
    group_rows(level, f.m, model.level_rows.back(), model.level_ptr.back());
  }
  return model;
}


}  // namespace qk::glmm
