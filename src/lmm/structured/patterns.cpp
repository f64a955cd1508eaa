// Subjects of the same pattern (a design without random effects whose subjects share
// their times, coordinates and strata) evaluated once per pattern (structured.hpp's
// set_patterns).
#include <algorithm>
#include <cmath>
#include <string>
#include <map>
#include <vector>

#include "linalg/dense.hpp"
#include "lmm/structured/structured.hpp"
#include "lmm/structured/structured_detail.hpp"

namespace qk {

namespace {

// The key of a subject's rows: everything residual_matrix reads of them (into key,
// whose storage is reused from call to call).
void pattern_key(const StructuredData& d, std::uint64_t s, std::vector<double>& key) {
  const ResidualStructure& st = d.structure;
  key.clear();
  for (std::uint64_t r = d.subjects[s]; r < d.subjects[s + 1]; ++r) {
    if (!st.times.empty()) key.push_back(st.times[r]);
    for (std::uint32_t c = 0; c < st.dims; ++c) key.push_back(st.coords[r * st.dims + c]);
    for (const VarianceFunction& f : st.variances) key.push_back(f.values[r]);
  }
  key.push_back(static_cast<double>(d.subjects[s + 1] - d.subjects[s]));
  key.push_back(static_cast<double>(d.group_of(s)));
}

std::vector<double> pattern_key(const StructuredData& d, std::uint64_t s) {
  std::vector<double> key;
  pattern_key(d, s, key);
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

namespace {

// Each subject's pattern, patterns numbered in order of their first subject (into
// first) with their numbers of subjects (into count). Keys compare by value (-0 and 0
// are one time), the map's order; a subject of its predecessor's key, the common case
// of data sorted by subject, is matched without a look-up.
std::vector<std::uint64_t> pattern_of(const StructuredData& d, std::vector<std::uint64_t>& first,
                                      std::vector<std::uint64_t>& count) {
  const std::uint64_t n_subj = d.subjects.size() - 1;
  std::map<std::vector<double>, std::uint64_t> index;
  std::vector<std::uint64_t> of(n_subj);
  std::vector<double> key, last;
  for (std::uint64_t s = 0; s < n_subj; ++s) {
    pattern_key(d, s, key);
    if (s > 0 && key == last) {
      of[s] = of[s - 1];
    } else {
      auto it = index.find(key);
      if (it == index.end()) {
        it = index.emplace(key, first.size()).first;
        first.push_back(s);
        count.push_back(0);
      }
      of[s] = it->second;
      std::swap(key, last);
    }
    count[of[s]] += 1;
  }
  return of;
}

// Each pattern's Q[a][b] = sum_s a_sa a_sb', its subjects' added in subject order (a
// fixed sum). Only the blocks a <= b are summed; Q[b][a] = Q[a][b]' holds the same
// products of the same numbers in the same order, so its copy has the same bits.
// The sums run in the order [a][i][b][j], where for given a and i the terms
// a_sa[i] a_sb[j] (b >= a) are one stretch of rows: one axpy per (a, i), each entry
// still the sum of its own products in subject order. A term of a_sa[i] = 0 adds +-0,
// which leaves every sum as it is (a sum that starts at +0 is never -0), unless a row
// holds an infinity or NaN; with finite rows such terms are skipped.
std::vector<std::vector<double>> pattern_sums(const StructuredData& d, const double* rows,
                                              const std::vector<std::uint64_t>& of,
                                              const std::vector<std::uint64_t>& first) {
  const std::uint64_t k = d.k();
  const bool finite = std::all_of(rows, rows + d.n * k, [](double v) { return std::isfinite(v); });
  std::vector<std::vector<double>> products(first.size());
  for (std::size_t p = 0; p < first.size(); ++p) {
    const std::uint64_t n = d.subjects[first[p] + 1] - d.subjects[first[p]];
    products[p].assign(n * n * k * k, 0.0);
  }
  for (std::uint64_t s = 0; s + 1 < d.subjects.size(); ++s) {
    const std::uint64_t begin = d.subjects[s], n = d.subjects[s + 1] - begin;
    double* q = products[of[s]].data();
    for (std::uint64_t a = 0; a < n; ++a) {
      const double* ra = rows + (begin + a) * k;  // rows a..n-1 of the subject, contiguous
      const std::uint64_t len = (n - a) * k;
      for (std::uint64_t i = 0; i < k; ++i) {
        const double x = ra[i];
        if (x == 0.0 && finite) continue;
        double* dst = q + ((a * k + i) * n + a) * k;
        for (std::uint64_t t = 0; t < len; ++t) dst[t] = dst[t] + x * ra[t];
      }
    }
  }
  std::vector<double> sums;
  for (std::size_t p = 0; p < first.size(); ++p) {
    const std::uint64_t n = d.subjects[first[p] + 1] - d.subjects[first[p]];
    std::vector<double>& q = products[p];
    sums.swap(q);
    q.assign(n * n * k * k, 0.0);
    for (std::uint64_t a = 0; a < n; ++a)
      for (std::uint64_t b = a; b < n; ++b)
        for (std::uint64_t i = 0; i < k; ++i)
          for (std::uint64_t j = 0; j < k; ++j) q[((a * n + b) * k + i) * k + j] = sums[((a * k + i) * n + b) * k + j];
    for (std::uint64_t a = 0; a < n; ++a)
      for (std::uint64_t b = 0; b < a; ++b)
        for (std::uint64_t i = 0; i < k; ++i)
          for (std::uint64_t j = 0; j < k; ++j) q[((a * n + b) * k + i) * k + j] = q[((b * n + a) * k + j) * k + i];
  }
  return products;
}

// Appends subject s of `from` (its structure arrays and group) to the subjects of `to`.
void append_subject(StructuredData& to, const StructuredData& from, std::uint64_t s) {
  const std::uint64_t begin = from.subjects[s], end = from.subjects[s + 1];
  const ResidualStructure& a = from.structure;
  ResidualStructure& b = to.structure;
  if (!a.times.empty()) b.times.insert(b.times.end(), a.times.begin() + begin, a.times.begin() + end);
  b.coords.insert(b.coords.end(), a.coords.begin() + begin * a.dims, a.coords.begin() + end * a.dims);
  for (std::size_t f = 0; f < a.variances.size(); ++f)
    b.variances[f].values.insert(b.variances[f].values.end(), a.variances[f].values.begin() + begin,
                                 a.variances[f].values.begin() + end);
  if (!from.structure_group.empty()) to.structure_group.push_back(from.structure_group[s]);
  to.subjects.push_back(to.subjects.back() + end - begin);
  to.pattern_subject.push_back(to.pattern_subject.size());
  to.groups = {0, to.subjects.size() - 1};
}

}  // namespace

namespace detail {

std::string products_error(const StructuredData& d) {
  const std::uint64_t n_pat = d.subjects.size() - 1, k = d.k();
  if (!d.rows.empty() || d.q != 0) return "a design of patterns has no rows and no random effects";
  if (d.pattern_subject.size() != n_pat || d.pattern_count.size() != n_pat || d.pattern_products.size() != n_pat)
    return "a design of patterns needs one count and one block of products per pattern";
  std::uint64_t n = 0;
  for (std::uint64_t p = 0; p < n_pat; ++p) {
    const std::uint64_t rows = d.subjects[p + 1] - d.subjects[p];
    if (d.pattern_subject[p] != p || d.pattern_count[p] == 0) return "a pattern has no subjects";
    if (d.pattern_products[p].size() != rows * rows * k * k)
      return "a pattern's products do not hold n_P x n_P blocks of k x k values";
    for (double v : d.pattern_products[p])
      if (!std::isfinite(v)) return "a value of the patterns' products is not finite";
    n += d.pattern_count[p] * rows;
  }
  if (n != d.n) return "n is not the number of rows the patterns summarise";
  return "";
}

}  // namespace detail

void set_patterns(StructuredData& d) {
  d.pattern_subject.clear();
  d.pattern_count.clear();
  d.pattern_products.clear();
  if (d.q != 0 || banded(d.structure)) return;
  std::vector<std::uint64_t> first, count;
  const std::vector<std::uint64_t> of = pattern_of(d, first, count);
  std::uint64_t pattern_rows = 0;
  for (std::uint64_t s : first) pattern_rows += (d.subjects[s + 1] - d.subjects[s]) * (d.subjects[s + 1] - d.subjects[s]);
  if (2 * pattern_rows > d.n) return;
  d.pattern_products = pattern_sums(d, d.rows.data(), of, first);
  d.pattern_subject = std::move(first);
  d.pattern_count = std::move(count);
}

StructuredData reduce_patterns(const StructuredData& d, std::vector<std::uint64_t>* subject_pattern,
                               const double* rows) {
  StructuredData out;
  out.p = d.p;
  out.n = d.n;
  out.products_only = true;
  out.n_structure_groups = d.n_structure_groups;
  const ResidualStructure& st = d.structure;
  out.structure.correlation = st.correlation;
  out.structure.n_visits = st.n_visits;
  out.structure.nugget = st.nugget;
  out.structure.dims = st.dims;
  for (const VarianceFunction& f : st.variances) out.structure.variances.push_back({f.kind, f.n_strata, {}});
  out.subjects = {0};
  std::vector<std::uint64_t> first;
  std::vector<std::uint64_t> of = pattern_of(d, first, out.pattern_count);
  for (std::uint64_t s : first) append_subject(out, d, s);
  out.pattern_products = pattern_sums(d, rows ? rows : d.rows.data(), of, first);
  if (subject_pattern) *subject_pattern = std::move(of);
  return out;
}

std::string patterns_merge_error(const StructuredData& a, const StructuredData& b) {
  if (!a.products_only || !b.products_only) return "only designs of patterns are merged";
  const ResidualStructure &x = a.structure, &y = b.structure;
  // Visits count only for the kinds by visit (the others number a subject's rows).
  bool same = a.p == b.p && x.correlation == y.correlation && (!by_visit(x.correlation) || x.n_visits == y.n_visits) &&
              x.nugget == y.nugget &&
              x.dims == y.dims && x.times.empty() == y.times.empty() && x.variances.size() == y.variances.size() &&
              a.structure_group.empty() == b.structure_group.empty();
  for (std::size_t f = 0; same && f < x.variances.size(); ++f)
    same = x.variances[f].kind == y.variances[f].kind && x.variances[f].n_strata == y.variances[f].n_strata;
  return same ? "" : "the patterns are of different models (columns, structure or variance functions)";
}

std::vector<std::uint64_t> merge_patterns(StructuredData& a, const StructuredData& b) {
  std::map<std::vector<double>, std::uint64_t> index;
  for (std::uint64_t p = 0; p + 1 < a.subjects.size(); ++p) index.emplace(pattern_key(a, p), p);
  std::vector<std::uint64_t> where(b.subjects.size() - 1);
  std::vector<double> key;
  for (std::uint64_t p = 0; p < where.size(); ++p) {
    pattern_key(b, p, key);
    auto it = index.find(key);
    if (it == index.end()) {
      where[p] = a.subjects.size() - 1;
      append_subject(a, b, p);
      a.pattern_count.push_back(b.pattern_count[p]);
      a.pattern_products.push_back(b.pattern_products[p]);
      continue;
    }
    where[p] = it->second;
    a.pattern_count[it->second] += b.pattern_count[p];
    std::vector<double>& q = a.pattern_products[it->second];
    const std::vector<double>& r = b.pattern_products[p];
    for (std::size_t i = 0; i < q.size(); ++i) q[i] = q[i] + r[i];
  }
  a.n += b.n;
  a.n_structure_groups = std::max(a.n_structure_groups, b.n_structure_groups);
  a.structure.n_visits = std::max(a.structure.n_visits, b.structure.n_visits);
  return where;
}

}  // namespace qk
