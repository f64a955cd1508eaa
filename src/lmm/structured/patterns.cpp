// Subjects of the same pattern (a design without random effects whose subjects share
// their times, coordinates and strata) evaluated once per pattern (structured.hpp's
// set_patterns).
#include <algorithm>
#include <map>
#include <vector>

#include "linalg/dense.hpp"
#include "lmm/structured/structured.hpp"
#include "lmm/structured/structured_detail.hpp"

namespace qk {

namespace {

// The key of a subject's rows: everything residual_matrix reads of them.
std::vector<double> pattern_key(const StructuredData& d, std::uint64_t s) {
  const ResidualStructure& st = d.structure;
  std::vector<double> key;
  for (std::uint64_t r = d.subjects[s]; r < d.subjects[s + 1]; ++r) {
    if (!st.times.empty()) key.push_back(st.times[r]);
    for (std::uint32_t c = 0; c < st.dims; ++c) key.push_back(st.coords[r * st.dims + c]);
    for (const VarianceFunction& f : st.variances) key.push_back(f.values[r]);
  }
  key.push_back(static_cast<double>(d.subjects[s + 1] - d.subjects[s]));
  key.push_back(static_cast<double>(d.group_of(s)));
  return key;
}

}  // namespace

namespace detail {

bool pattern_products_sum(const StructuredData& d, const std::vector<ResidualValues>& values, double* w,
                          double& logdet) {
  const std::uint64_t k = d.k();
  std::fill(w, w + k * k, 0.0);
  logdet = 0.0;
  std::vector<double> l, ri;
  for (std::size_t p = 0; p < d.pattern_subject.size(); ++p) {
    const std::uint64_t s = d.pattern_subject[p], begin = d.subjects[s], n = d.subjects[s + 1] - begin;
    const ResidualValues& v = values[d.group_of(s)];
    l.resize(n * n);
    if (!residual_matrix(d.structure, v, begin, n, l.data()) || !cholesky_in_place(l.data(), n)) return false;
    logdet = logdet + static_cast<double>(d.pattern_count[p]) * log_det(l.data(), n);
    ri = cholesky_inverse(l.data(), n);
    const std::vector<double>& q = d.pattern_products[p];
    for (std::uint64_t a = 0; a < n; ++a)
      for (std::uint64_t b = 0; b < n; ++b) {
        const double x = ri[a * n + b];
        const double* qab = &q[(a * n + b) * k * k];
        for (std::uint64_t i = 0; i < k * k; ++i) w[i] = w[i] + x * qab[i];
      }
  }
  return true;
}

void pattern_gradient(const StructuredData& d, const std::vector<ResidualValues>& values, const std::vector<double>& c,
                      GroupGradients& out) {
  const std::uint64_t k = d.k();
  std::vector<double> l, h, r, e;
  for (std::size_t p = 0; p < d.pattern_subject.size(); ++p) {
    const std::uint64_t s = d.pattern_subject[p], begin = d.subjects[s], n = d.subjects[s + 1] - begin;
    const std::uint32_t g = d.group_of(s);
    const ResidualValues& v = values[g];
    r.resize(n * n);
    residual_matrix(d.structure, v, begin, n, r.data());
    l = r;
    cholesky_in_place(l.data(), n);
    const std::vector<double>& q = d.pattern_products[p];
    e.assign(n * n, 0.0);
    for (std::uint64_t a = 0; a < n; ++a)
      for (std::uint64_t b = 0; b < n; ++b) {
        const double* qba = &q[(b * n + a) * k * k];
        double x = 0.0;
        for (std::uint64_t i = 0; i < k * k; ++i) x = x + c[i] * qba[i];
        e[a * n + b] = x;
      }
    // H = L^-T (N I - L^-1 E L^-T) L^-1.
    forward_solve(l.data(), n, e.data(), n);
    for (std::uint64_t i = 0; i < n; ++i)
      for (std::uint64_t j = 0; j < i; ++j) std::swap(e[i * n + j], e[j * n + i]);
    forward_solve(l.data(), n, e.data(), n);
    h.resize(n * n);
    const auto count = static_cast<double>(d.pattern_count[p]);
    for (std::uint64_t i = 0; i < n * n; ++i) h[i] = -e[i];
    for (std::uint64_t i = 0; i < n; ++i) h[i * n + i] = h[i * n + i] + count;
    backward_solve(l.data(), n, h.data(), n);
    for (std::uint64_t i = 0; i < n; ++i)
      for (std::uint64_t j = 0; j < i; ++j) std::swap(h[i * n + j], h[j * n + i]);
    backward_solve(l.data(), n, h.data(), n);
    residual_gradient(d.structure, v, begin, n, h.data(), r.data(), out.eta(g), out.visits(g));
  }
}

}  // namespace detail

void set_patterns(StructuredData& d) {
  d.pattern_subject.clear();
  d.pattern_count.clear();
  d.pattern_products.clear();
  if (d.q != 0 || banded(d.structure)) return;
  const std::uint64_t n_subj = d.subjects.size() - 1, k = d.k();
  std::map<std::vector<double>, std::size_t> index;
  std::vector<std::size_t> of(n_subj);
  std::uint64_t pattern_rows = 0;
  for (std::uint64_t s = 0; s < n_subj; ++s) {
    auto [it, fresh] = index.emplace(pattern_key(d, s), d.pattern_subject.size());
    if (fresh) {
      d.pattern_subject.push_back(s);
      d.pattern_count.push_back(0);
      const std::uint64_t n = d.subjects[s + 1] - d.subjects[s];
      pattern_rows += n * n;
    }
    of[s] = it->second;
    d.pattern_count[it->second] += 1;
  }
  if (2 * pattern_rows > d.n) {
    d.pattern_subject.clear();
    d.pattern_count.clear();
    return;
  }
  d.pattern_products.resize(d.pattern_subject.size());
  for (std::size_t p = 0; p < d.pattern_subject.size(); ++p) {
    const std::uint64_t s = d.pattern_subject[p], n = d.subjects[s + 1] - d.subjects[s];
    d.pattern_products[p].assign(n * n * k * k, 0.0);
  }
  for (std::uint64_t s = 0; s < n_subj; ++s) {  // in subject order: fixed sums
    const std::uint64_t begin = d.subjects[s], n = d.subjects[s + 1] - begin;
    std::vector<double>& q = d.pattern_products[of[s]];
    for (std::uint64_t a = 0; a < n; ++a)
      for (std::uint64_t b = 0; b < n; ++b) {
        const double* ra = &d.rows[(begin + a) * k];
        const double* rb = &d.rows[(begin + b) * k];
        double* qab = &q[(a * n + b) * k * k];
        for (std::uint64_t i = 0; i < k; ++i)
          for (std::uint64_t j = 0; j < k; ++j) qab[i * k + j] = qab[i * k + j] + ra[i] * rb[j];
      }
  }
}

}  // namespace qk
