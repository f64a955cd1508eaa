#include "binding/structured_patterns.hpp"

#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "binding/pyutil.hpp"

namespace qk::py {

bool products_in(PyObject* counts, PyObject* products, qk::StructuredData& d) {
  ArrayView c, v;
  if (!borrow_vector(counts, "counts", NPY_INT64, c) || !borrow_vector(products, "products", NPY_DOUBLE, v))
    return false;
  if (d.q != 0) return value_error("a core from patterns has no random effects"), false;
  if (d.subjects.size() < 2 || static_cast<std::uint64_t>(c.rows) != d.subjects.size() - 1)
    return value_error("counts must give one count per pattern (per subject of the core)"), false;
  const std::uint64_t k = d.k();
  const std::int64_t* cd = data_of<std::int64_t>(c);
  const double* pd = data_of<double>(v);
  std::uint64_t at = 0, n = 0;
  d.pattern_products.resize(static_cast<std::size_t>(c.rows));
  for (std::uint64_t p = 0; p < static_cast<std::uint64_t>(c.rows); ++p) {
    if (cd[p] <= 0) return value_error("counts must be positive"), false;
    if (d.subjects[p + 1] < d.subjects[p]) return value_error("the subjects' offsets decrease"), false;
    const std::uint64_t rows = d.subjects[p + 1] - d.subjects[p], size = rows * rows * k * k;
    if (at + size > static_cast<std::uint64_t>(v.rows))
      return value_error("products is shorter than the patterns' blocks"), false;
    d.pattern_products[p].assign(pd + at, pd + at + size);
    at += size;
    d.pattern_count.push_back(static_cast<std::uint64_t>(cd[p]));
    d.pattern_subject.push_back(p);
    n += static_cast<std::uint64_t>(cd[p]) * rows;
  }
  if (at != static_cast<std::uint64_t>(v.rows)) return value_error("products is longer than the patterns' blocks"), false;
  d.n = n;
  d.products_only = true;
  return true;
}

namespace {

const char* correlation_name(qk::Correlation c) {
  static const char* names[] = {"none", "ar1", "car1", "cs", "us", "exp", "gaus", "toep", "ad"};
  return names[static_cast<int>(c)];
}

const char* variance_name(qk::VarianceKind k) {
  return k == qk::VarianceKind::kIdent ? "ident" : k == qk::VarianceKind::kPower ? "power" : "exp";
}

}  // namespace

PyObject* products_args(const qk::StructuredData& d) {
  const qk::ResidualStructure& st = d.structure;
  const auto m = static_cast<npy_intp>(d.subjects.back());
  Ref variances(PyList_New(0));
  for (std::size_t f = 0; variances && f < st.variances.size(); ++f) {
    std::vector<double> values = st.variances[f].values;
    Ref item(Py_BuildValue("(sKN)", variance_name(st.variances[f].kind),
                           static_cast<unsigned long long>(st.variances[f].n_strata),
                           array_taking(std::move(values), {m})));
    if (!item || PyList_Append(variances.get(), item.get()) < 0) variances = Ref(nullptr);
  }
  if (!variances) return nullptr;
  std::vector<double> products;
  for (const std::vector<double>& q : d.pattern_products) products.insert(products.end(), q.begin(), q.end());
  std::vector<std::uint64_t> groups;
  for (std::uint32_t g : d.structure_group) groups.push_back(g);
  const auto n_pat = static_cast<npy_intp>(d.pattern_count.size());
  const auto size = static_cast<npy_intp>(products.size());
  PyObject* times = Py_None;
  Ref owned_times, owned_coords, owned_groups;
  if (!st.times.empty()) {
    owned_times = Ref(array_taking(std::vector<double>(st.times), {m}));
    times = owned_times.get();
  }
  PyObject* coords = Py_None;
  if (st.dims) {
    owned_coords = Ref(array_taking(std::vector<double>(st.coords), {m, static_cast<npy_intp>(st.dims)}));
    coords = owned_coords.get();
  }
  PyObject* structure_groups = Py_None;
  if (!groups.empty()) {
    owned_groups = Ref(array_taking(std::move(groups), {n_pat}));
    structure_groups = owned_groups.get();
  }
  if (!times || !coords || !structure_groups) return nullptr;
  return Py_BuildValue("(NKNNNsOOKOOOONN)", array_taking(std::vector<double>{}, {0, static_cast<npy_intp>(d.k())}),
                       0ULL, array_taking(std::vector<std::uint64_t>(d.subjects), {n_pat + 1}),
                       array_taking(std::vector<std::uint64_t>{0, static_cast<std::uint64_t>(n_pat)}, {2}),
                       PyList_New(0), correlation_name(st.correlation), times, coords,
                       static_cast<unsigned long long>(st.n_visits), st.nugget ? Py_True : Py_False,
                       variances.get(), structure_groups, Py_False,
                       array_taking(std::vector<std::uint64_t>(d.pattern_count), {n_pat}),
                       array_taking(std::move(products), {size}));
}

}  // namespace qk::py
