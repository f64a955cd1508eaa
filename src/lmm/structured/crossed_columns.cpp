// Crossed grouping factors beside a residual structure (structured.hpp): Lambda's
// template repeated at every level of its factor, and each subject's rows gathered on
// the columns of its own levels, so that no subject's products span all Q columns.
#include <algorithm>
#include <string>
#include <vector>

#include "linalg/dense.hpp"
#include "lmm/structured/structured.hpp"
#include "lmm/structured/structured_detail.hpp"
#include "pool/pool.hpp"

namespace qk::detail {

namespace {

// Factor f's first column among Lambda's (o_f) and among the rows' z (zoff_f).
std::vector<std::uint64_t> offsets(const std::vector<std::uint64_t>& widths, const std::vector<std::uint64_t>* levels) {
  std::vector<std::uint64_t> out(widths.size() + 1, 0);
  for (std::size_t f = 0; f < widths.size(); ++f) out[f + 1] = out[f] + widths[f] * (levels ? (*levels)[f] : 1);
  return out;
}

// The factor whose first level holds Lambda's row r.
std::size_t factor_of(const StructuredData& d, const std::vector<std::uint64_t>& o, std::uint64_t r) {
  std::size_t f = 0;
  while (f + 1 < d.factor_widths.size() && r >= o[f + 1]) ++f;
  return f;
}

// Work per subject for the chunk plan: the factor, the solves and the products on a
// subject's own columns (about its rows' count of levels plus p + 1).
std::uint64_t subject_work(const StructuredData& d) {
  const std::uint64_t s = d.subjects.size() - 1, avg = s ? d.n / s + 1 : 1;
  const std::uint64_t kc = avg * d.factor_widths.size() + d.p + 1;
  return avg * avg * (avg + kc) + avg * kc * kc;
}

// Subjects reduced at once: their products wait in memory to be added in order.
constexpr std::uint64_t kSubjectsAtOnce = 16384;

// One chunk's subjects on their own columns: each one's columns, products and
// log det R_s, in order.
struct ChunkProducts {
  std::vector<std::uint64_t> cols, col_offsets{0};
  std::vector<double> w;
  std::vector<double> logdet;
  bool ok = true;
};

}  // namespace

bool crossed_products_sum(const StructuredData& d, const std::vector<ResidualValues>& values, std::uint64_t kg,
                          double* w, double& logdet) {
  std::fill(w, w + kg * kg, 0.0);
  logdet = 0.0;
  const std::uint64_t n_subj = d.subjects.size() - 1;
  for (std::uint64_t s0 = 0; s0 < n_subj; s0 += kSubjectsAtOnce) {
    const std::uint64_t s1 = std::min(n_subj, s0 + kSubjectsAtOnce);
    ChunkPlan plan = plan_chunks(s1 - s0, subject_work(d));
    std::vector<ChunkProducts> chunks =
        map_chunks<ChunkProducts>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
          ChunkProducts out;
          std::vector<std::uint64_t> cols;
          std::vector<double> a, l, bm;
          for (std::uint64_t s = s0 + b; s < s0 + e && out.ok; ++s) {
            subject_columns(d, s, cols, a);
            const std::uint64_t kc = cols.size(), n = d.subjects[s + 1] - d.subjects[s];
            double ld = 0.0;
            out.ok = whiten(d, values[d.group_of(s)], s, a.data(), kc, l, bm, ld);
            const std::size_t at = out.w.size();
            out.w.resize(at + kc * kc);
            mat_tmul(bm.data(), bm.data(), out.w.data() + at, n, kc, kc);
            out.cols.insert(out.cols.end(), cols.begin(), cols.end());
            out.col_offsets.push_back(out.cols.size());
            out.logdet.push_back(ld);
          }
          return out;
        });
    for (const ChunkProducts& c : chunks) {
      if (!c.ok) return false;
      std::size_t at = 0;
      for (std::size_t j = 0; j + 1 < c.col_offsets.size(); ++j) {
        const std::uint64_t* cols = c.cols.data() + c.col_offsets[j];
        const std::uint64_t kc = c.col_offsets[j + 1] - c.col_offsets[j];
        for (std::uint64_t r = 0; r < kc; ++r)
          for (std::uint64_t q = 0; q < kc; ++q) w[cols[r] * kg + cols[q]] = w[cols[r] * kg + cols[q]] + c.w[at + r * kc + q];
        at += kc * kc;
        logdet = logdet + c.logdet[j];
      }
    }
  }
  return true;
}

std::vector<GroupGradients> crossed_structure_gradient(const StructuredData& d,
                                                       const std::vector<ResidualValues>& values,
                                                       const std::vector<double>& c, std::uint64_t kg) {
  const std::size_t single = d.structure.n_params();
  const std::uint32_t visits = by_visit(d.structure.correlation) ? d.structure.n_visits : 0;
  ChunkPlan plan = plan_chunks(d.subjects.size() - 1, subject_work(d));
  return map_chunks<GroupGradients>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    GroupGradients out(d.n_structure_groups, single, visits);
    std::vector<std::uint64_t> cols;
    std::vector<double> a, l, bm, cc, bc, h, r;
    for (std::uint64_t s = b; s < e; ++s) {
      subject_columns(d, s, cols, a);
      const std::uint64_t kc = cols.size(), n = d.subjects[s + 1] - d.subjects[s];
      const std::uint32_t sg = d.group_of(s);
      double unused;
      whiten(d, values[sg], s, a.data(), kc, l, bm, unused);
      cc.resize(kc * kc);
      for (std::uint64_t i = 0; i < kc; ++i)
        for (std::uint64_t j = 0; j < kc; ++j) cc[i * kc + j] = c[cols[i] * kg + cols[j]];
      bc.resize(n * kc);
      mat_mul(bm.data(), cc.data(), bc.data(), n, kc, kc);
      if (banded(d.structure))
        banded_gradient(d.structure, values[sg], d.subjects[s], n, a.data(), bm.data(), bc.data(), kc, out.eta(sg));
      else
        dense_structure_gradient(d, values[sg], s, l, bm, bc, kc, h, r, out.eta(sg), out.visits(sg));
    }
    return out;
  });
}

std::string crossed_error(const StructuredData& d) {
  const std::size_t nf = d.factor_widths.size();
  if (d.factor_levels.size() != nf) return "each crossed factor needs its width and its number of levels";
  std::uint64_t zw = 0;
  for (std::size_t f = 0; f < nf; ++f) {
    if (d.factor_widths[f] == 0 || d.factor_levels[f] == 0) return "a crossed factor has no columns or no levels";
    zw += d.factor_widths[f];
  }
  if (zw != d.q) return "the crossed factors' widths do not add up to q";
  if (d.factor_codes.size() != d.n * nf) return "the crossed factors' codes are not n x factors";
  for (std::uint64_t r = 0; r < d.n; ++r)
    for (std::size_t f = 0; f < nf; ++f)
      if (d.factor_codes[r * nf + f] >= d.factor_levels[f]) return "a crossed factor's code is out of range";
  if (d.groups.size() != 2) return "with crossed factors the subjects form one group";
  if (!d.pattern_subject.empty()) return "crossed factors take no patterns";
  const std::vector<std::uint64_t> o = offsets(d.factor_widths, &d.factor_levels);
  for (const auto& [r, c] : d.theta_index) {
    const std::size_t f = factor_of(d, o, r);
    if (r >= o[f] + d.factor_widths[f] || c < o[f] || c > r) return "the layout of Lambda does not fit the factors";
  }
  return "";
}

void subject_columns(const StructuredData& d, std::uint64_t s, std::vector<std::uint64_t>& cols,
                     std::vector<double>& a) {
  const std::size_t nf = d.factor_widths.size();
  const std::uint64_t begin = d.subjects[s], n = d.subjects[s + 1] - begin, k = d.k(), p = d.p;
  const std::vector<std::uint64_t> o = offsets(d.factor_widths, &d.factor_levels);
  const std::vector<std::uint64_t> zo = offsets(d.factor_widths, nullptr);
  cols.clear();
  for (std::uint64_t r = begin; r < begin + n; ++r)
    for (std::size_t f = 0; f < nf; ++f) {
      const std::uint64_t base = o[f] + d.factor_codes[r * nf + f] * d.factor_widths[f];
      for (std::uint64_t c = 0; c < d.factor_widths[f]; ++c) cols.push_back(base + c);
    }
  std::sort(cols.begin(), cols.end());
  cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
  const std::uint64_t nz = cols.size(), q = o[nf], kc = nz + p + 1;
  for (std::uint64_t j = 0; j <= p; ++j) cols.push_back(q + j);
  a.assign(n * kc, 0.0);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t r = begin + i;
    for (std::size_t f = 0; f < nf; ++f) {
      const std::uint64_t base = o[f] + d.factor_codes[r * nf + f] * d.factor_widths[f];
      const std::uint64_t at = static_cast<std::uint64_t>(
          std::lower_bound(cols.begin(), cols.begin() + static_cast<std::ptrdiff_t>(nz), base) - cols.begin());
      for (std::uint64_t c = 0; c < d.factor_widths[f]; ++c) a[i * kc + at + c] = d.rows[r * k + zo[f] + c];
    }
    for (std::uint64_t j = 0; j <= p; ++j) a[i * kc + nz + j] = d.rows[r * k + d.q + j];
  }
}

std::vector<double> crossed_lambda(const StructuredData& d, const std::vector<double>& theta) {
  const std::vector<std::uint64_t> o = offsets(d.factor_widths, &d.factor_levels);
  const std::uint64_t q = o.back();
  std::vector<double> lambda(q * q, 0.0);
  for (std::size_t i = 0; i < d.theta_index.size(); ++i) {
    const auto [r, c] = d.theta_index[i];
    const std::size_t f = factor_of(d, o, r);
    for (std::uint64_t l = 0; l < d.factor_levels[f]; ++l) {
      const std::uint64_t shift = l * d.factor_widths[f];
      lambda[(r + shift) * q + c + shift] = theta[i];
    }
  }
  return lambda;
}

void crossed_theta_gradient(const StructuredData& d, const std::vector<double>& dlambda, double* out) {
  const std::vector<std::uint64_t> o = offsets(d.factor_widths, &d.factor_levels);
  const std::uint64_t q = o.back();
  for (std::size_t i = 0; i < d.theta_index.size(); ++i) {
    const auto [r, c] = d.theta_index[i];
    const std::size_t f = factor_of(d, o, r);
    double x = 0.0;
    for (std::uint64_t l = 0; l < d.factor_levels[f]; ++l) {
      const std::uint64_t shift = l * d.factor_widths[f];
      x = x + dlambda[(r + shift) * q + c + shift];
    }
    out[i] = x;
  }
}

}  // namespace qk::detail
