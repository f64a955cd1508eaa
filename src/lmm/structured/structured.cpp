#include "lmm/structured/structured.hpp"
#include "lmm/structured/structured_detail.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/dense.hpp"
#include "pool/pool.hpp"

namespace qk {

using detail::GroupGradients;
using detail::pattern_gradient;
using detail::pattern_products_sum;
using detail::subject_columns;
using detail::whiten;

namespace {

// Work per subject for the chunk plan: the factor and the solves.
std::uint64_t subject_cost(const StructuredData& d) {
  std::uint64_t s = d.subjects.size() - 1, avg = s ? d.n / s + 1 : 1;
  return avg * avg * (avg + d.k()) + avg * d.k() * d.k();
}

// One group's part of the profiled system (scaled by Lambda).
struct GroupPart {
  std::vector<double> g;    // k x k: the sum of its subjects' whitened products
  std::vector<double> lm;   // q x q: the Cholesky factor of M = Lambda' G_zz Lambda + I
  std::vector<double> a;    // q x p: L_M^-1 Lambda' G_zx
  std::vector<double> b;    // q: L_M^-1 Lambda' G_zy
};

struct Sums {
  std::vector<double> s;   // p x p
  std::vector<double> sy;  // p
  double yy = 0.0;
  double ldl2 = 0.0;
  bool ok = true;
};

void add_into(std::vector<double>& to, const std::vector<double>& from) {
  for (std::size_t i = 0; i < to.size(); ++i) to[i] = to[i] + from[i];
}

// The group's part and its contribution to the fixed-effects system; q is Lambda's
// order and k = q + p + 1 the group's products'. With patterns or crossed factors, w
// holds the one group's sum alone (its first subject's place).
bool group_part(const StructuredData& d, std::uint64_t q, std::uint64_t k, const std::vector<double>& lambda,
                const std::vector<double>& w, std::uint64_t g, GroupPart& part, Sums& sums) {
  const std::uint64_t p = d.p;
  const bool single = !d.pattern_subject.empty() || d.crossed();
  const std::uint64_t last = single ? d.groups[g] + 1 : d.groups[g + 1];
  part.g.assign(k * k, 0.0);
  for (std::uint64_t s = d.groups[g]; s < last; ++s)
    for (std::uint64_t i = 0; i < k * k; ++i) part.g[i] = part.g[i] + w[s * k * k + i];
  const double* gm = part.g.data();
  for (std::uint64_t i = 0; i < p; ++i) {
    for (std::uint64_t j = 0; j < p; ++j) sums.s[i * p + j] = sums.s[i * p + j] + gm[(q + i) * k + q + j];
    sums.sy[i] = sums.sy[i] + gm[(q + i) * k + q + p];
  }
  sums.yy = sums.yy + gm[(q + p) * k + q + p];
  if (q == 0) return true;
  std::vector<double> gzz(q * q), t(q * q), gzx(q * p), gzy(q);
  for (std::uint64_t i = 0; i < q; ++i) {
    for (std::uint64_t j = 0; j < q; ++j) gzz[i * q + j] = gm[i * k + j];
    for (std::uint64_t j = 0; j < p; ++j) gzx[i * p + j] = gm[i * k + q + j];
    gzy[i] = gm[i * k + q + p];
  }
  part.lm.resize(q * q);
  if (!factor_lambda_block(gzz.data(), lambda.data(), q, t.data(), part.lm.data())) return false;
  part.a.resize(q * p);
  part.b.resize(q);
  mat_tmul(lambda.data(), gzx.data(), part.a.data(), q, q, p);
  mat_tmul(lambda.data(), gzy.data(), part.b.data(), q, q, 1);
  forward_solve(part.lm.data(), q, part.a.data(), p);
  forward_solve(part.lm.data(), q, part.b.data(), 1);
  for (std::uint64_t i = 0; i < p; ++i) {
    for (std::uint64_t j = 0; j < p; ++j) {
      double x = 0.0;
      for (std::uint64_t r = 0; r < q; ++r) x = x + part.a[r * p + i] * part.a[r * p + j];
      sums.s[i * p + j] = sums.s[i * p + j] - x;
    }
    double x = 0.0;
    for (std::uint64_t r = 0; r < q; ++r) x = x + part.a[r * p + i] * part.b[r];
    sums.sy[i] = sums.sy[i] - x;
  }
  double bb = 0.0;
  for (std::uint64_t r = 0; r < q; ++r) bb = bb + part.b[r] * part.b[r];
  sums.yy = sums.yy - bb;
  sums.ldl2 = sums.ldl2 + log_det(part.lm.data(), q);
  return true;
}

// Multiplies the first q rows of C (k x k) by Lambda (columns: the first q columns by
// Lambda'), through tmp.
void scale_z(const std::vector<double>& lambda, std::uint64_t q, std::uint64_t k, std::vector<double>& c,
             std::vector<double>& tmp, bool columns) {
  for (std::uint64_t i = 0; i < (columns ? k : q); ++i)
    for (std::uint64_t j = 0; j < (columns ? q : k); ++j) {
      double x = 0.0;
      for (std::uint64_t m = 0; m < q; ++m)
        x = x + (columns ? c[i * k + m] * lambda[j * q + m] : lambda[i * q + m] * c[m * k + j]);
      tmp[i * k + j] = x;
    }
  for (std::uint64_t i = 0; i < (columns ? k : q); ++i)
    for (std::uint64_t j = 0; j < (columns ? q : k); ++j) c[i * k + j] = tmp[i * k + j];
}

// The partial gradient of one chunk of groups: in Lambda (q x q), in eta, and the
// unstructured correlation's visit weights.
struct GradientPart {
  std::vector<double> dlambda;
  GroupGradients structure;
};

}  // namespace

namespace detail {

// A subject's rows A (n x k: its rows of the design, or with crossed factors its rows
// on its own columns) whitened: B = L^-1 A and log det R_s, with L the Cholesky factor
// of R_s (n x n, kept in l) or, for a banded structure, its bidiagonal inverse applied
// row by row (l unused). False when R_s is not finite or not positive definite.
bool whiten(const StructuredData& d, const ResidualValues& v, std::uint64_t s, const double* a, std::uint64_t k,
            std::vector<double>& l, std::vector<double>& b, double& logdet) {
  const std::uint64_t begin = d.subjects[s], n = d.subjects[s + 1] - begin;
  if (banded(d.structure)) {
    b.resize(n * k);
    return whiten_banded(d.structure, v, begin, n, a, k, b.data(), logdet);
  }
  l.resize(n * n);
  if (!residual_matrix(d.structure, v, begin, n, l.data()) || !cholesky_in_place(l.data(), n)) return false;
  b.assign(a, a + n * k);
  forward_solve(l.data(), n, b.data(), k);
  logdet = log_det(l.data(), n);
  return true;
}

void dense_structure_gradient(const StructuredData& d, const ResidualValues& v, std::uint64_t s,
                              const std::vector<double>& l, const std::vector<double>& b, const std::vector<double>& bc,
                              std::uint64_t k, std::vector<double>& h, std::vector<double>& r, double* grad,
                              double* visits) {
  const std::uint64_t n = d.subjects[s + 1] - d.subjects[s];
  h.resize(n * n);
  mat_mul_bt(bc.data(), b.data(), h.data(), n, k, n);
  for (std::uint64_t i = 0; i < n * n; ++i) h[i] = -h[i];
  for (std::uint64_t i = 0; i < n; ++i) h[i * n + i] = h[i * n + i] + 1.0;
  backward_solve(l.data(), n, h.data(), n);
  for (std::uint64_t i = 0; i < n; ++i)
    for (std::uint64_t j = 0; j < i; ++j) std::swap(h[i * n + j], h[j * n + i]);
  backward_solve(l.data(), n, h.data(), n);
  r.resize(n * n);
  residual_matrix(d.structure, v, d.subjects[s], n, r.data());
  residual_gradient(d.structure, v, d.subjects[s], n, h.data(), r.data(), grad, visits);
}

}  // namespace detail

std::string structured_error(const StructuredData& d, const double* rows) {
  const std::uint64_t k = d.k(), size = rows ? d.n * k : d.rows.size();
  const double* r = rows ? rows : d.rows.data();
  if (!rows && !d.products_only && d.rows.size() != d.n * k) return "the rows do not hold n x (q + p + 1) values";
  if (!std::all_of(r, r + size, [](double v) { return std::isfinite(v); })) return "a value of the rows is not finite";
  // The structure's per-row arrays cover the rows, or the patterns' representatives'.
  const std::uint64_t m = d.products_only && !d.subjects.empty() ? d.subjects.back() : d.n;
  if (d.subjects.size() < 2 || d.subjects.front() != 0 || d.subjects.back() != m)
    return "the subjects' offsets do not cover the rows";
  for (std::size_t s = 0; s + 1 < d.subjects.size(); ++s)
    if (d.subjects[s + 1] <= d.subjects[s]) return "a subject has no rows";
  if (d.products_only) {
    std::string e = detail::products_error(d);
    if (!e.empty()) return e;
  }
  const std::uint64_t n_subj = d.subjects.size() - 1;
  if (d.groups.size() < 2 || d.groups.front() != 0 || d.groups.back() != n_subj)
    return "the groups' offsets do not cover the subjects";
  for (std::size_t g = 0; g + 1 < d.groups.size(); ++g)
    if (d.groups[g + 1] <= d.groups[g]) return "a group has no subjects";
  if (d.q == 0 && d.groups.size() != 2) return "without random effects the subjects form one group";
  if ((d.q == 0) != d.theta_index.empty()) return "the layout of Lambda does not fit q";
  if (d.crossed()) {
    std::string e = detail::crossed_error(d);
    if (!e.empty()) return e;
  }
  for (const auto& [r, c] : d.theta_index)
    if (!d.crossed() && (r >= d.q || c > r)) return "the layout of Lambda does not fit q";
  std::string e = structure_error(d.structure, m);
  if (!e.empty()) return e;
  if (d.n_structure_groups < 1 || (!d.structure_group.empty() && d.structure_group.size() != n_subj))
    return "the structure groups do not give one group per subject";
  for (std::uint32_t g : d.structure_group)
    if (g >= d.n_structure_groups) return "a structure group is out of range";
  const ResidualStructure& st = d.structure;
  const bool ordered = st.correlation == Correlation::kAR1 || st.correlation == Correlation::kCAR1 || by_visit(st.correlation);
  for (std::uint64_t s = 0; ordered && s < n_subj; ++s)
    for (std::uint64_t r = d.subjects[s] + 1; r < d.subjects[s + 1]; ++r)
      if (!(st.times[r] > st.times[r - 1])) return "the times of a subject are not increasing";
  return "";
}

std::optional<StructuredEvaluation> evaluate_structured(const StructuredData& d, const std::vector<double>& params,
                                                        bool reml, Mode mode) {
  // q: Lambda's order; k: the rows' width; kg = q + p + 1: the group's products' order
  // (k itself but with crossed factors, whose group spans every level).
  const std::uint64_t p = d.p, q = d.lambda_size(), k = d.k(), kg = q + p + 1;
  const bool crossed = d.crossed();
  const std::size_t nt = d.n_theta(), ne = d.n_eta(), single_params = d.structure.n_params();
  const std::size_t nc = d.structure.n_correlation_params();
  const std::uint32_t n_sg = d.n_structure_groups;
  const std::vector<double> theta(params.begin(), params.begin() + static_cast<std::ptrdiff_t>(nt));
  const double* eta = params.data() + nt;
  const std::vector<double> lambda = crossed ? detail::crossed_lambda(d, theta)
                                     : q        ? theta_to_lambda(theta, d.theta_index, q)
                                                : std::vector<double>{};
  const std::uint64_t n_subj = d.subjects.size() - 1, n_groups = d.groups.size() - 1;
  std::vector<std::vector<double>> etas(n_sg);
  std::vector<ResidualValues> values(n_sg);
  for (std::uint32_t g = 0; g < n_sg; ++g) {
    etas[g] = d.group_eta(eta, g);
    values[g] = residual_values(d.structure, etas[g].data());
    if (!values[g].finite) return std::nullopt;
  }

  // Whitened products and log det R_s of every subject (of every pattern, where the
  // subjects form patterns, or of all subjects on their own columns, with crossed
  // factors: then one group holds them all, as w[0]).
  const bool patterns = !d.pattern_subject.empty(), single = patterns || crossed;
  std::vector<double> w((single ? 1 : n_subj) * kg * kg), logdet(single ? 1 : n_subj);
  if (patterns && !pattern_products_sum(d, values, w.data(), logdet[0])) return std::nullopt;
  if (crossed && !detail::crossed_products_sum(d, values, kg, w.data(), logdet[0])) return std::nullopt;
  ChunkPlan subjects = plan_chunks(single ? 0 : n_subj, subject_cost(d));
  std::vector<char> feasible = map_chunks<char>(subjects, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    std::vector<double> l, bm;
    for (std::uint64_t s = b; s < e; ++s) {
      if (!whiten(d, values[d.group_of(s)], s, d.rows.data() + d.subjects[s] * k, k, l, bm, logdet[s]))
        return char{0};
      const std::uint64_t n = d.subjects[s + 1] - d.subjects[s];
      mat_tmul(bm.data(), bm.data(), &w[s * k * k], n, k, k);
    }
    return char{1};
  });
  for (char f : feasible)
    if (!f) return std::nullopt;
  StructuredEvaluation ev;
  for (double x : logdet) ev.logdet_r = ev.logdet_r + x;

  // The groups' parts and the fixed-effects system.
  std::vector<GroupPart> parts(n_groups);
  ChunkPlan groups = plan_chunks(n_groups, kg * kg * (q + 1) + q * q * q);
  std::vector<Sums> chunk_sums = map_chunks<Sums>(groups, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    Sums s{std::vector<double>(p * p, 0.0), std::vector<double>(p, 0.0)};
    for (std::uint64_t g = b; g < e && s.ok; ++g) s.ok = group_part(d, q, kg, lambda, w, g, parts[g], s);
    return s;
  });
  Sums total{std::vector<double>(p * p, 0.0), std::vector<double>(p, 0.0)};
  for (const Sums& s : chunk_sums) {
    if (!s.ok) return std::nullopt;
    add_into(total.s, s.s);
    add_into(total.sy, s.sy);
    total.yy = total.yy + s.yy;
    total.ldl2 = total.ldl2 + s.ldl2;
  }
  std::vector<double> ls = total.s;
  if (p > 0 && !cholesky_in_place(ls.data(), p)) return std::nullopt;
  ev.beta = total.sy;
  forward_solve(ls.data(), p, ev.beta.data(), 1);
  double fitted = 0.0;  // Sy' S^-1 Sy
  for (std::uint64_t i = 0; i < p; ++i) fitted = fitted + ev.beta[i] * ev.beta[i];
  backward_solve(ls.data(), p, ev.beta.data(), 1);
  ev.pwrss = total.yy - fitted;
  const double nu = static_cast<double>(reml ? d.n - p : d.n);
  if (!(ev.pwrss > 0.0) || !std::isfinite(ev.pwrss)) return std::nullopt;
  ev.ldl2 = total.ldl2;
  ev.ldrx2 = p ? log_det(ls.data(), p) : 0.0;
  ev.sigma2 = ev.pwrss / nu;
  ev.deviance = ev.ldl2 + ev.logdet_r + nu * (kLog2PiPlus1 + std::log(ev.pwrss / nu)) + (reml ? ev.ldrx2 : 0.0);
  if (!std::isfinite(ev.deviance)) return std::nullopt;
  if (mode == kModeDeviance) return ev;

  // Spherical modes u_g = L_M^-T (b - a beta).
  ev.u.assign(n_groups * q, 0.0);
  for (std::uint64_t g = 0; g < n_groups && q; ++g) {
    double* u = &ev.u[g * q];
    for (std::uint64_t r = 0; r < q; ++r) {
      double x = parts[g].b[r];
      for (std::uint64_t j = 0; j < p; ++j) x = x - parts[g].a[r * p + j] * ev.beta[j];
      u[r] = x;
    }
    backward_solve(parts[g].lm.data(), q, u, 1);
  }
  ev.fixed_inverse = p ? cholesky_inverse(ls.data(), p) : std::vector<double>{};
  if (mode == kModeSolution) {
    // Cov(b_g | y) / sigma^2 = Lambda M_g^-1 Lambda' (M_g = L_M L_M').
    ev.cond_cov.assign(n_groups * q * q, 0.0);
    std::vector<double> lt(q * q);
    for (std::uint64_t g = 0; g < n_groups && q; ++g) {
      // L_M^-1 Lambda' (q x q), then its cross-product.
      for (std::uint64_t i = 0; i < q; ++i)
        for (std::uint64_t j = 0; j < q; ++j) lt[i * q + j] = lambda[j * q + i];
      forward_solve(parts[g].lm.data(), q, lt.data(), q);
      mat_tmul(lt.data(), lt.data(), &ev.cond_cov[g * q * q], q, q, q);
    }
  }
  const std::vector<double>& s_inv = ev.fixed_inverse;
  const double scale = nu / ev.pwrss;
  const std::uint32_t visits = by_visit(d.structure.correlation) ? d.structure.n_visits : 0;

  std::vector<double> crossed_c;  // C of the one group, with crossed factors
  std::vector<GradientPart> grads = map_chunks<GradientPart>(groups, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    GradientPart out{std::vector<double>(q * q, 0.0), GroupGradients(n_sg, single_params, visits)};
    std::vector<double> ch(kg * kg), c(kg * kg), mi, pm(kg * p), tmp(kg * kg), l, bm, bc, h, r;
    for (std::uint64_t g = b; g < e; ++g) {
      const GroupPart& part = parts[g];
      // C^_g in the scaled coordinates.
      std::fill(ch.begin(), ch.end(), 0.0);
      std::vector<double> wv(kg);
      for (std::uint64_t r = 0; r < q; ++r) wv[r] = -ev.u[g * q + r];
      for (std::uint64_t j = 0; j < p; ++j) wv[q + j] = -ev.beta[j];
      wv[q + p] = 1.0;
      for (std::uint64_t i = 0; i < kg; ++i)
        for (std::uint64_t j = 0; j < kg; ++j) ch[i * kg + j] = scale * wv[i] * wv[j];
      if (q) {
        mi = cholesky_inverse(part.lm.data(), q);
        for (std::uint64_t i = 0; i < q; ++i)
          for (std::uint64_t j = 0; j < q; ++j) ch[i * kg + j] = ch[i * kg + j] + mi[i * q + j];
      }
      if (reml && p) {
        // P = (-M^-1 G^_zx; I_p; 0) = (-L_M^-T a; I_p; 0); C^ += P S^-1 P'.
        std::fill(pm.begin(), pm.end(), 0.0);
        if (q) {
          std::vector<double> ma = part.a;
          backward_solve(part.lm.data(), q, ma.data(), p);
          for (std::uint64_t r = 0; r < q; ++r)
            for (std::uint64_t j = 0; j < p; ++j) pm[r * p + j] = -ma[r * p + j];
        }
        for (std::uint64_t j = 0; j < p; ++j) pm[(q + j) * p + j] = 1.0;
        std::vector<double> ps(kg * p);
        mat_mul(pm.data(), s_inv.data(), ps.data(), kg, p, p);
        mat_mul_bt(ps.data(), pm.data(), tmp.data(), kg, p, kg);
        for (std::uint64_t i = 0; i < kg * kg; ++i) ch[i] = ch[i] + tmp[i];
      }
      // df/dLambda += 2 [G T C^]_zz, (G T)_z. = [G_zz Lambda | G_zx | G_zy].
      c = ch;
      if (q) {
        std::vector<double> gt(q * kg, 0.0);
        for (std::uint64_t i = 0; i < q; ++i) {
          for (std::uint64_t j = 0; j < q; ++j) {
            double x = 0.0;
            for (std::uint64_t m = 0; m < q; ++m) x = x + part.g[i * kg + m] * lambda[m * q + j];
            gt[i * kg + j] = x;
          }
          for (std::uint64_t j = q; j < kg; ++j) gt[i * kg + j] = part.g[i * kg + j];
        }
        for (std::uint64_t i = 0; i < q; ++i)
          for (std::uint64_t j = 0; j < q; ++j) {
            double x = 0.0;
            for (std::uint64_t m = 0; m < kg; ++m) x = x + gt[i * kg + m] * ch[m * kg + j];
            out.dlambda[i * q + j] = out.dlambda[i * q + j] + 2.0 * x;
          }
        // C = T C^ T': the rows of z, then its columns, multiplied by Lambda.
        scale_z(lambda, q, kg, c, tmp, false);
        scale_z(lambda, q, kg, c, tmp, true);
      }
      // H_s = L^-T (I - B C B') L^-1 for each subject of the group (with crossed
      // factors, below, chunked by subject: the one group holds them all).
      if (ne == 0) continue;
      if (crossed) {
        crossed_c = c;
        continue;
      }
      if (patterns) {
        pattern_gradient(d, values, c, out.structure);
        continue;
      }
      for (std::uint64_t s = d.groups[g]; s < d.groups[g + 1]; ++s) {
        const std::uint64_t n = d.subjects[s + 1] - d.subjects[s];
        const std::uint32_t sg = d.group_of(s);
        const ResidualValues& vs = values[sg];
        double unused;
        whiten(d, vs, s, d.rows.data() + d.subjects[s] * k, k, l, bm, unused);
        bc.resize(n * k);
        mat_mul(bm.data(), c.data(), bc.data(), n, k, k);
        if (banded(d.structure)) {
          banded_gradient(d.structure, vs, d.subjects[s], n, d.rows.data() + d.subjects[s] * k, bm.data(),
                          bc.data(), k, out.structure.eta(sg));
          continue;
        }
        detail::dense_structure_gradient(d, vs, s, l, bm, bc, k, h, r, out.structure.eta(sg),
                                         out.structure.visits(sg));
      }
    }
    return out;
  });
  std::vector<double> dlambda(q * q, 0.0);
  GroupGradients summed(n_sg, single_params, visits);
  for (const GradientPart& gp : grads) {
    add_into(dlambda, gp.dlambda);
    add_into(summed.deta, gp.structure.deta);
    add_into(summed.vis, gp.structure.vis);
  }
  if (crossed && ne > 0) {
    for (const GroupGradients& gg : detail::crossed_structure_gradient(d, values, crossed_c, kg)) {
      add_into(summed.deta, gg.deta);
      add_into(summed.vis, gg.vis);
    }
  }
  // Each group's correlation parameters are its own; the variance functions' are
  // shared, their gradient summed over the groups in order.
  std::vector<double> deta(ne, 0.0);
  for (std::uint32_t g = 0; g < n_sg; ++g) {
    if (visits) visit_gradient(d.structure, values[g], summed.visits(g), summed.eta(g));
    for (std::size_t j = 0; j < nc; ++j) deta[g * nc + j] = summed.eta(g)[j];
    for (std::size_t j = nc; j < single_params; ++j)
      deta[n_sg * nc + j - nc] = deta[n_sg * nc + j - nc] + summed.eta(g)[j];
  }
  ev.gradient.resize(nt + ne);
  if (crossed) detail::crossed_theta_gradient(d, dlambda, ev.gradient.data());
  for (std::size_t i = 0; i < nt && !crossed; ++i) {
    auto [r, cidx] = d.theta_index[i];
    ev.gradient[i] = dlambda[r * q + cidx];
  }
  for (std::size_t j = 0; j < ne; ++j) ev.gradient[nt + j] = deta[j];
  if (mode != kModeSolution) {
    ev.u.clear();
    ev.fixed_inverse.clear();
  }
  return ev;
}

std::vector<double> structured_natural(const StructuredData& d, const double* eta) {
  const std::size_t nc = d.structure.n_correlation_params();
  std::vector<double> out;
  std::vector<double> last;
  for (std::uint32_t g = 0; g < d.n_structure_groups; ++g) {
    last = natural_parameters(d.structure, d.group_eta(eta, g));
    out.insert(out.end(), last.begin(), last.begin() + static_cast<std::ptrdiff_t>(nc));
  }
  out.insert(out.end(), last.begin() + static_cast<std::ptrdiff_t>(nc), last.end());
  return out;
}

OptimResult fit_structured(const StructuredData& d, const std::vector<double>& start, bool reml,
                           const MinimizeOptions& options) {
  Objective objective = [&](const std::vector<double>& x, double& f, std::vector<double>& g) {
    std::optional<StructuredEvaluation> ev = evaluate_structured(d, x, reml, kModeGradient);
    if (!ev) return false;
    f = ev->deviance;
    g = ev->gradient;
    return true;
  };
  std::vector<SignGroup> groups = d.q ? sign_groups(d.theta_index) : std::vector<SignGroup>{};
  return minimize_symmetric(objective, start, groups, options);
}

}  // namespace qk
