// The StructuredCore class: a linear mixed model (or a model without random effects)
// whose residuals are correlated or of unequal variance within subjects
// (lmm/structured). An instance owns its rows, sorted by group, subject and time; all
// numeric work runs with the interpreter lock released.
#include "binding/structured.hpp"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "binding/convert.hpp"
#include "binding/pyutil.hpp"
#include "binding/structured_factors.hpp"
#include "binding/structured_patterns.hpp"
#include "lmm/structured/structured.hpp"

namespace qk::py {
namespace {

struct StructuredObject {
  PyObject_HEAD
  qk::StructuredData* data;
  PyObject* args;
  PyObject* subject_patterns;  // a core reduced from rows: each subject's pattern (else None)
  std::array<PyObject**, 2> refs() { return {&args, &subject_patterns}; }
  void free_owned() {
    delete data;
    data = nullptr;
  }
};

const qk::StructuredData& data_of_self(PyObject* self) { return *Instance<StructuredObject>::of(self).data; }

bool correlation_of(PyObject* obj, qk::Correlation& out) {
  static const std::pair<const char*, qk::Correlation> kinds[] = {
      {"none", qk::Correlation::kIndependent}, {"ar1", qk::Correlation::kAR1},
      {"car1", qk::Correlation::kCAR1},        {"cs", qk::Correlation::kCompound},
      {"us", qk::Correlation::kUnstructured},  {"exp", qk::Correlation::kExponential},
      {"gaus", qk::Correlation::kGaussian},     {"toep", qk::Correlation::kToeplitz},
      {"ad", qk::Correlation::kAnteDependence}};
  const char* s = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, nullptr) : nullptr;
  if (s)
    for (const auto& [name, kind] : kinds)
      if (std::strcmp(s, name) == 0) return out = kind, true;
  if (!PyErr_Occurred())
    value_error("correlation must be one of 'none', 'ar1', 'car1', 'cs', 'us', 'exp', 'gaus', 'toep', 'ad'");
  return false;
}

bool doubles_of(PyObject* obj, const char* name, std::vector<double>& out) {
  ArrayView v;
  if (!borrow_vector(obj, name, NPY_DOUBLE, v)) return false;
  out.assign(data_of<double>(v), data_of<double>(v) + v.rows);
  return true;
}

bool offsets_of(PyObject* obj, const char* name, std::vector<std::uint64_t>& out) {
  ArrayView v;
  if (!borrow_vector(obj, name, NPY_INT64, v)) return false;
  const std::int64_t* d = data_of<std::int64_t>(v);
  out.resize(static_cast<std::size_t>(v.rows));
  for (npy_intp i = 0; i < v.rows; ++i) {
    if (d[i] < 0) return value_error(std::string(name) + " holds a negative offset"), false;
    out[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(d[i]);
  }
  return true;
}

// The rows' times and coordinates (each None or absent: none).
bool positions_of(PyObject* times, PyObject* coords, qk::ResidualStructure& st) {
  if (times && times != Py_None && !doubles_of(times, "times", st.times)) return false;
  if (coords && coords != Py_None) {
    ArrayView c;
    if (!borrow_matrix(coords, "coords", c)) return false;
    st.dims = static_cast<std::uint32_t>(c.cols);
    st.coords.assign(data_of<double>(c), data_of<double>(c) + c.rows * c.cols);
  }
  return true;
}

// Each variance function as (kind, n_strata, values).
bool variances_of(PyObject* obj, std::vector<qk::VarianceFunction>& out) {
  return each_item(obj, "variances", [&](PyObject* item) {
    PyObject *kind = nullptr, *strata = nullptr, *values = nullptr;
    if (!PyArg_ParseTuple(item, "OOO", &kind, &strata, &values)) return false;
    qk::VarianceFunction f;
    const char* s = PyUnicode_Check(kind) ? PyUnicode_AsUTF8AndSize(kind, nullptr) : nullptr;
    if (s && std::strcmp(s, "ident") == 0)
      f.kind = qk::VarianceKind::kIdent;
    else if (s && std::strcmp(s, "power") == 0)
      f.kind = qk::VarianceKind::kPower;
    else if (s && std::strcmp(s, "exp") == 0)
      f.kind = qk::VarianceKind::kExp;
    else
      return value_error("a variance function is one of 'ident', 'power', 'exp'"), false;
    std::uint64_t n_strata = 0;
    if (!to_u64(strata, "n_strata", n_strata) || !doubles_of(values, "values", f.values)) return false;
    f.n_strata = static_cast<std::uint32_t>(n_strata);
    out.push_back(std::move(f));
    return true;
  });
}

PyObject* structured_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (!parse_tuple_args("StructuredCore",
                        {"rows", "q", "subjects", "groups", "blocks", "correlation", "times", "coords", "n_visits",
                         "nugget", "variances", "structure_groups", "reduce", "counts", "products", "factors"},
                        6, args, kwargs, a))
    return nullptr;
  auto d = std::make_unique<qk::StructuredData>();
  ArrayView rows;
  std::vector<std::uint64_t> blocks;
  if (!borrow_matrix(a[0], "rows", rows) || !to_u64(a[1], "q", d->q) || !offsets_of(a[2], "subjects", d->subjects) ||
      !offsets_of(a[3], "groups", d->groups) || !to_u64_vec(a[4], "blocks", blocks) ||
      !correlation_of(a[5], d->structure.correlation))
    return nullptr;
  qk::ResidualStructure& st = d->structure;
  if (!positions_of(a[6], a[7], st)) return nullptr;
  std::uint64_t visits = 0;
  bool nugget = false;
  if ((a[8] && !to_u64(a[8], "n_visits", visits)) || (a[9] && !to_bool(a[9], "nugget", nugget))) return nullptr;
  st.n_visits = static_cast<std::uint32_t>(visits);
  st.nugget = nugget;
  if (a[10] && !variances_of(a[10], st.variances)) return nullptr;
  if (a[11] && a[11] != Py_None) {  // each subject's structure group
    std::vector<std::uint64_t> groups;
    if (!offsets_of(a[11], "structure_groups", groups)) return nullptr;
    for (std::uint64_t g : groups) {
      if (g >= (1u << 20)) return value_error("structure_groups holds a group out of range");
      d->structure_group.push_back(static_cast<std::uint32_t>(g));
      d->n_structure_groups = std::max<std::uint32_t>(d->n_structure_groups, static_cast<std::uint32_t>(g) + 1);
    }
  }
  d->n = static_cast<std::uint64_t>(rows.rows);
  if (static_cast<std::uint64_t>(rows.cols) < d->q + 1) return value_error("rows must hold z, x and y");
  d->p = static_cast<std::uint64_t>(rows.cols) - d->q - 1;
  bool reduce = false;
  if (a[12] && !to_bool(a[12], "reduce", reduce)) return nullptr;
  const double* borrowed = reduce && !(a[15] && a[15] != Py_None) ? data_of<double>(rows) : nullptr;
  if (!borrowed) d->rows.assign(data_of<double>(rows), data_of<double>(rows) + rows.rows * rows.cols);
  const bool from_patterns = a[13] && a[13] != Py_None;
  if (from_patterns != (a[14] && a[14] != Py_None)) return value_error("counts and products are given together");
  if (from_patterns && (reduce || rows.rows != 0))
    return value_error("a core from patterns' counts and products has no rows to reduce");
  if (from_patterns && !products_in(a[13], a[14], *d)) return nullptr;
  if (reduce && d->q) return value_error("only a model without random effects is reduced to patterns");
  std::vector<std::vector<std::uint64_t>> factor_blocks, factor_codes;
  if (a[15] && a[15] != Py_None) {  // crossed factors
    if (from_patterns) return value_error("a core from patterns has no random effects");
    if (!factors_of(a[15], *d, factor_blocks, factor_codes) || !set_factors(*d, factor_blocks, factor_codes))
      return nullptr;
  } else if (d->q) {
    if (blocks.empty()) blocks = {d->q};
    if (auto e = qk::blocks_error(blocks, d->q)) return value_error(*e);
    d->theta_index = qk::theta_index(d->q, blocks);
  }
  std::string err;
  std::vector<std::uint64_t> of;
  if (!without_gil([&] {
        err = qk::structured_error(*d, borrowed);
        if (!err.empty() || from_patterns) return;
        if (reduce)
          *d = qk::reduce_patterns(*d, &of, borrowed);
        else
          qk::set_patterns(*d);
      }))
    return nullptr;
  if (!err.empty()) return value_error(err);
  auto* self = Instance<StructuredObject>::alloc(type);
  if (!self) return nullptr;
  self->data = d.release();
  self->subject_patterns = reduce ? array_taking(std::move(of), {static_cast<npy_intp>(of.size())}) : Py_NewRef(Py_None);
  if (!self->subject_patterns) return Py_DECREF(self), nullptr;
  if (self->data->products_only) {  // pickled from its patterns (products_args), not its rows
    self->args = PyTuple_New(0);
    if (!self->args) return Py_DECREF(self), nullptr;
    return reinterpret_cast<PyObject*>(self);
  }
  self->args = PyTuple_GetSlice(args, 0, PyTuple_Size(args));
  if (kwargs && self->args) {  // the keywords given become positional for pickling
    Ref full(PyList_New(0));
    for (std::size_t i = 0; full && i < a.size(); ++i)
      if (PyList_Append(full.get(), a[i] ? a[i] : Py_None) < 0) full = Ref(nullptr);
    PyObject* old = self->args;
    self->args = full ? PyList_AsTuple(full.get()) : nullptr;
    Py_DECREF(old);
  }
  if (!self->args) return Py_DECREF(self), nullptr;
  return reinterpret_cast<PyObject*>(self);
}

// The parameters (theta's entries, then eta) of the call's first argument, checked.
bool params_of(PyObject* self, PyObject* obj, std::vector<double>& out) {
  if (!to_vec(obj, "params", out)) return false;
  const qk::StructuredData& d = data_of_self(self);
  if (out.size() != d.n_params())
    return value_error("params must have " + std::to_string(d.n_params()) + " entries"), false;
  for (double v : out)
    if (!std::isfinite(v)) return value_error("params has a value that is not finite"), false;
  return true;
}

bool params_reml(PyObject* self, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::vector<double>& params, bool& reml) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"params", "reml"}, 1, args, nargs, kwnames, a)) return false;
  reml = true;
  return params_of(self, a[0], params) && !(a[1] && !to_bool(a[1], "reml", reml));
}

std::optional<qk::StructuredEvaluation> evaluated(PyObject* self, const std::vector<double>& params, bool reml,
                                                  qk::Mode mode, bool& ok) {
  std::optional<qk::StructuredEvaluation> ev;
  ok = without_gil([&] { ev = qk::evaluate_structured(data_of_self(self), params, reml, mode); });
  return ev;
}

PyObject* m_deviance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> params;
  bool reml, ok;
  if (!params_reml(self, "deviance", args, nargs, kwnames, params, reml)) return nullptr;
  auto ev = evaluated(self, params, reml, qk::kModeDeviance, ok);
  if (!ok) return nullptr;
  return PyFloat_FromDouble(ev ? ev->deviance : std::numeric_limits<double>::infinity());
}

PyObject* m_deviance_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> params;
  bool reml, ok;
  if (!params_reml(self, "deviance_grad", args, nargs, kwnames, params, reml)) return nullptr;
  auto ev = evaluated(self, params, reml, qk::kModeGradient, ok);
  if (!ok) return nullptr;
  const auto np = static_cast<npy_intp>(params.size());
  if (!ev)
    return Py_BuildValue("(dN)", std::numeric_limits<double>::infinity(),
                         array_taking(std::vector<double>(params.size(), std::nan("")), {np}));
  return Py_BuildValue("(dN)", ev->deviance, array_taking(std::move(ev->gradient), {np}));
}

// The solution at params as a dict; `dict` receives the entries (nullptr: a new one).
PyObject* solution_dict(PyObject* self, const std::vector<double>& params, bool reml, PyObject* into) {
  bool ok;
  auto ev = evaluated(self, params, reml, qk::kModeSolution, ok);
  if (!ok) return nullptr;
  if (!ev) return value_error("the criterion is not finite at these parameters");
  const qk::StructuredData& d = data_of_self(self);
  Ref dict(into ? Py_NewRef(into) : PyDict_New());
  const auto p = static_cast<npy_intp>(d.p), q = static_cast<npy_intp>(d.lambda_size());
  const auto g = static_cast<npy_intp>(d.groups.size() - 1);
  std::vector<double> natural = qk::structured_natural(d, params.data() + d.n_theta());
  if (!dict || !set_item(dict.get(), "params", float_list(params)) ||
      !set_item(dict.get(), "deviance", PyFloat_FromDouble(ev->deviance)) ||
      !set_item(dict.get(), "pwrss", PyFloat_FromDouble(ev->pwrss)) ||
      !set_item(dict.get(), "sigma2", PyFloat_FromDouble(ev->sigma2)) ||
      !set_item(dict.get(), "ldl2", PyFloat_FromDouble(ev->ldl2)) ||
      !set_item(dict.get(), "ldrx2", PyFloat_FromDouble(ev->ldrx2)) ||
      !set_item(dict.get(), "logdet_r", PyFloat_FromDouble(ev->logdet_r)) ||
      !set_item(dict.get(), "beta", array_taking(std::move(ev->beta), {p})) ||
      !set_item(dict.get(), "fixed_inverse", array_taking(std::move(ev->fixed_inverse), {p, p})) ||
      !set_item(dict.get(), "u", array_taking(std::move(ev->u), {g, q})) ||
      !set_item(dict.get(), "cond_cov", array_taking(std::move(ev->cond_cov), {g, q, q})) ||
      !set_item(dict.get(), "natural", float_list(natural)))
    return nullptr;
  return dict.release();
}

PyObject* m_solution(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> params;
  bool reml;
  if (!params_reml(self, "solution", args, nargs, kwnames, params, reml)) return nullptr;
  return solution_dict(self, params, reml, nullptr);
}

PyObject* m_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fit", {"start", "reml", "max_iter", "gtol", "ftol"}, 1, args, nargs, kwnames, a)) return nullptr;
  std::vector<double> start;
  bool reml;
  qk::MinimizeOptions options;
  if (!fit_args(a, start, reml, options) || !params_of(self, a[0], start)) return nullptr;
  qk::OptimResult res;
  if (!without_gil([&] { res = qk::fit_structured(data_of_self(self), start, reml, options); })) return nullptr;
  Ref dict(PyDict_New());
  if (!dict || !set_report(dict.get(), {res.converged, res.iterations, res.fev, res.grad_inf_norm, res.message}))
    return nullptr;
  if (!std::isfinite(res.deviance)) return value_error("the criterion is not finite at the start");
  return solution_dict(self, res.theta, reml, dict.get());
}

PyObject* m_residual_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("residual_matrix", {"params", "subject"}, 2, args, nargs, kwnames, a)) return nullptr;
  std::vector<double> params;
  std::uint64_t s;
  if (!params_of(self, a[0], params) || !to_u64(a[1], "subject", s)) return nullptr;
  const qk::StructuredData& d = data_of_self(self);
  if (s + 1 >= d.subjects.size()) return value_error("subject is out of range");
  const std::uint64_t n = d.subjects[s + 1] - d.subjects[s];
  std::vector<double> r(n * n);
  const std::vector<double> eta = d.group_eta(params.data() + d.n_theta(), d.group_of(s));
  const qk::ResidualValues values = qk::residual_values(d.structure, eta.data());
  if (!qk::residual_matrix(d.structure, values, d.subjects[s], n, r.data()))
    return value_error("the residual covariance is not finite at these parameters");
  return array_taking(std::move(r), {static_cast<npy_intp>(n), static_cast<npy_intp>(n)});
}

// R of rows given here (as one subject), under the core's structure and params: for
// predictions at new times of a subject the fit has seen.
PyObject* m_residual_matrix_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("residual_matrix_of", {"params", "times", "coords", "variances", "group"}, 1, args, nargs, kwnames,
                  a))
    return nullptr;
  std::vector<double> params;
  if (!params_of(self, a[0], params)) return nullptr;
  const qk::StructuredData& d = data_of_self(self);
  qk::ResidualStructure st;
  st.correlation = d.structure.correlation;
  st.n_visits = d.structure.n_visits;
  st.nugget = d.structure.nugget;
  if (!positions_of(a[1], a[2], st)) return nullptr;
  if (a[3] && !variances_of(a[3], st.variances)) return nullptr;
  if (st.variances.size() != d.structure.variances.size())
    return value_error("variances must give each variance function's values");
  for (std::size_t i = 0; i < st.variances.size(); ++i) {
    if (st.variances[i].kind != d.structure.variances[i].kind)
      return value_error("variances must be of the kinds of the core's");
    st.variances[i].n_strata = d.structure.variances[i].n_strata;
  }
  std::uint64_t n = st.times.size();
  if (st.dims) n = st.coords.size() / st.dims;
  if (!st.variances.empty()) n = st.variances.front().values.size();
  std::string err = qk::structure_error(st, n);
  if (!err.empty()) return value_error(err);
  std::vector<double> r(n * n);
  std::uint64_t group = 0;
  if (a[4] && !to_u64(a[4], "group", group)) return nullptr;
  if (group >= d.n_structure_groups) return value_error("group is out of range");
  const std::vector<double> eta = d.group_eta(params.data() + d.n_theta(), static_cast<std::uint32_t>(group));
  const qk::ResidualValues values = qk::residual_values(st, eta.data());
  if (!qk::residual_matrix(st, values, 0, n, r.data()))
    return value_error("the residual covariance is not finite at these parameters");
  return array_taking(std::move(r), {static_cast<npy_intp>(n), static_cast<npy_intp>(n)});
}

PyObject* m_reduce(PyObject* self, PyObject*) {
  const qk::StructuredData& d = data_of_self(self);
  if (!d.products_only)
    return rebuilt_by(reinterpret_cast<PyObject*>(Py_TYPE(self)), Instance<StructuredObject>::of(self).args, nullptr);
  Ref args(products_args(d));
  if (!args) return nullptr;
  return rebuilt_by(reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), nullptr);
}

// A new core of self's patterns and other's merged by key (qk::merge_patterns), with
// the place of each of other's patterns among the merged ones.
PyObject* m_merged(PyObject* self, PyObject* other) {
  if (!PyObject_TypeCheck(other, Py_TYPE(self)))
    return PyErr_SetString(PyExc_TypeError, "merged() takes a StructuredCore"), nullptr;
  const qk::StructuredData &a = data_of_self(self), &b = data_of_self(other);
  std::string err = qk::patterns_merge_error(a, b);
  if (!err.empty()) return value_error(err);
  auto d = std::make_unique<qk::StructuredData>(a);
  std::vector<std::uint64_t> where;
  if (!without_gil([&] { where = qk::merge_patterns(*d, b); })) return nullptr;
  auto* out = Instance<StructuredObject>::alloc(Py_TYPE(self));
  if (!out) return nullptr;
  out->data = d.release();
  out->args = PyTuple_New(0);
  out->subject_patterns = Py_NewRef(Py_None);
  if (!out->args) return Py_DECREF(out), nullptr;
  const auto size = static_cast<npy_intp>(where.size());
  return Py_BuildValue("(NN)", out, array_taking(std::move(where), {size}));
}

struct StructuredSizes {
  static std::uint64_t n(PyObject* self) { return data_of_self(self).n; }
  static std::uint64_t p(PyObject* self) { return data_of_self(self).p; }
  static std::uint64_t q(PyObject* self) { return data_of_self(self).q; }
  static std::uint64_t n_theta(PyObject* self) { return data_of_self(self).n_theta(); }
  static PyObject* m(PyObject* self) { return PyLong_FromUnsignedLongLong(data_of_self(self).groups.size() - 1); }
};

PyObject* g_n_params(PyObject* self, void*) { return PyLong_FromSize_t(data_of_self(self).n_params()); }
PyObject* g_from_patterns(PyObject* self, void*) { return PyBool_FromLong(data_of_self(self).products_only); }
PyObject* g_subject_patterns(PyObject* self, void*) {
  return Py_NewRef(Instance<StructuredObject>::of(self).subject_patterns);
}
PyObject* g_n_subjects(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(data_of_self(self).subjects.size() - 1);
}

PyGetSetDef structured_getset[] = {
    QK_SIZES(StructuredSizes),
    QK_GETTER("n_params", g_n_params, "Length of params: theta's entries, then the structure's."),
    QK_GETTER("n_subjects", g_n_subjects, "Number of subjects (of a core from patterns: of patterns)."),
    QK_GETTER("from_patterns", g_from_patterns, "Whether the core holds its patterns' products alone, no rows."),
    QK_GETTER("subject_patterns", g_subject_patterns,
              "A core reduced from rows: each of their subjects' pattern (int64); else None."),
    QK_END_GETSET,
};

PyMethodDef structured_methods[] = {
    QK_METHOD("deviance", m_deviance, "deviance($self, params, reml=True)\n--\n\n"
              "The profiled REML (or ML) criterion at params (theta's entries, then the\n"
              "structure's); inf where it is infeasible."),
    QK_METHOD("deviance_grad", m_deviance_grad, "deviance_grad($self, params, reml=True)\n--\n\n"
              "The criterion and its exact gradient in params."),
    QK_METHOD("solution", m_solution, "solution($self, params, reml=True)\n--\n\n"
              "beta, S^-1 (fixed_inverse), the spherical modes u, sigma2, the criterion's parts\n"
              "and the structure's natural parameters at params, as a dict."),
    QK_METHOD("fit", m_fit, "fit($self, start, reml=True, max_iter=300, gtol=1e-08, ftol=1e-12)\n--\n\n"
              "Minimises the criterion from start; the solution at the estimate with the\n"
              "optimiser's report."),
    QK_METHOD("residual_matrix", m_residual_matrix, "residual_matrix($self, params, subject)\n--\n\n"
              "R of one subject (its residuals' covariance divided by sigma^2)."),
    QK_METHOD("residual_matrix_of", m_residual_matrix_of,
              "residual_matrix_of($self, params, times=None, coords=None, variances=(), group=0)\n--\n\n"
              "R of rows given by their times, coordinates and variance values, as one subject of\n"
              "the structure group."),
    {"merged", QK_ENTRY(m_merged), METH_O, "merged($self, other, /)\n--\n\n"
                "A core of this core's patterns and other's merged by key (counts and products\n"
                "added, this one's first), and the place of each of other's patterns in it."},
    QK_NOARGS("__reduce__", m_reduce, "__reduce__($self, /)\n--\n\nPickles the arguments the core was built from."),
    QK_END_METHODS,
};

}  // namespace

const TypeDef structured_type = type_def<StructuredObject>(
    "quorvelkit._quorvelkit.StructuredCore",
    "StructuredCore(rows, q, subjects, groups, blocks, correlation, times=None, coords=None,\n"
    "               n_visits=0, nugget=False, variances=(), structure_groups=None, reduce=False,\n"
    "               counts=None, products=None, factors=None)\n--\n\n"
    "A linear model whose residuals are correlated or of unequal variance within\n"
    "subjects, with random effects on a factor whose groups are runs of whole subjects\n"
    "(q = 0: none). rows is n x (q + p + 1), z | x | y, sorted by group, subject and\n"
    "time; subjects and groups are offsets (into the rows, into the subjects).\n"
    "Without random effects, reduce=True keeps only the patterns of the subjects (their\n"
    "structure arrays' representative rows, counts and products: subject_patterns maps\n"
    "the subjects to them); counts and products (with rows of none) build a core from\n"
    "patterns so kept. Such a core has no rows, and pickles its patterns. With factors,\n"
    "each (codes, width, levels, blocks), the random effects are on those factors,\n"
    "crossed or not nested in the subjects (z their columns side by side, the subjects\n"
    "one group).",
    QK_ENTRY(structured_new), structured_methods, structured_getset);

}  // namespace qk::py
