// The CrossedCore class: random-effects terms on K >= 1 grouping factors. An instance
// owns one crossed design (products and layout) and holds no Python references; all
// numeric work runs with the interpreter lock released.
#include "binding/crossed.hpp"

#include "binding/crossed_internal.hpp"

#include <cmath>
#include <string>

#include "binding/convert.hpp"
#include "binding/pyutil.hpp"
#include "linalg/dense.hpp"
#include "lmm/crossed/crossed.hpp"

namespace qk::py {

namespace {

namespace cr = qk::crossed;

struct CrossedObject {
  PyObject_HEAD
  cr::Design* design;
};

}  // namespace

cr::Design& crossed_design(PyObject* self) { return *reinterpret_cast<CrossedObject*>(self)->design; }

namespace {

cr::Design& design_of(PyObject* self) { return crossed_design(self); }

}  // namespace

bool parse_factor(PyObject* item, std::size_t k, std::uint64_t n, ArrayView& codes, ArrayView& z,
                  cr::FactorRows& out, std::vector<std::uint64_t>& blocks) {
  const std::string name = "factors[" + std::to_string(k) + "]";
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 4) {
    arg_error(name.c_str(), "expected a tuple (codes, n_levels, z, blocks), got '" + type_name(item) + "'");
    return false;
  }
  const std::string cn = name + ".codes", zn = name + ".z", bn = name + ".blocks", mn = name + ".n_levels";
  if (!borrow_vector(PyTuple_GetItem(item, 0), cn.c_str(), NPY_INT64, codes)) return false;
  PyObject* m_obj = PyTuple_GetItem(item, 1);
  // Any integer (a NumPy integer too), but not a bool.
  Ref index(PyBool_Check(m_obj) ? nullptr : PyNumber_Index(m_obj));
  if (!index) {
    PyErr_Clear();
    arg_error(mn.c_str(), "'" + type_name(m_obj) + "' object cannot be interpreted as an integer");
    return false;
  }
  std::uint64_t m;
  if (!to_u64(index.get(), mn.c_str(), m)) return false;
  if (!borrow_matrix(PyTuple_GetItem(item, 2), zn.c_str(), z)) return false;
  if (!to_u64_vec(PyTuple_GetItem(item, 3), bn.c_str(), blocks)) return false;
  if (m == 0) {
    PyErr_SetString(PyExc_ValueError, (mn + " must be at least 1").c_str());
    return false;
  }
  if (static_cast<std::uint64_t>(codes.rows) != n || static_cast<std::uint64_t>(z.rows) != n) {
    PyErr_SetString(PyExc_ValueError, (name + ": codes and z must have one row per row of y").c_str());
    return false;
  }
  out = {data_of<std::int64_t>(codes), m, data_of<double>(z), static_cast<std::uint64_t>(z.cols)};
  return true;
}

PyObject* crossed_wrap(PyTypeObject* type, std::unique_ptr<cr::Design> design) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<CrossedObject*>(self)->design = design.release();
  return self;
}

bool borrow_rows(PyObject* y_obj, PyObject* x_obj, PyObject* factors, PyObject* weights, BorrowedRows& out) {
  if (!borrow_vector(y_obj, "y", NPY_DOUBLE, out.y) || !borrow_matrix(x_obj, "x", out.x)) return false;
  cr::CrossedRows& rows = out.rows;
  rows.n = static_cast<std::uint64_t>(out.y.rows);
  rows.p = static_cast<std::uint64_t>(out.x.cols);
  rows.y = data_of<double>(out.y);
  rows.x = data_of<double>(out.x);
  if (static_cast<std::uint64_t>(out.x.rows) != rows.n) {
    value_error("y and x must agree on the row count");
    return false;
  }
  if (PyUnicode_Check(factors) || !PySequence_Check(factors)) {
    arg_error("factors", "'" + type_name(factors) + "' object is not a sequence of factor tuples");
    return false;
  }
  const Py_ssize_t k = PySequence_Size(factors);
  if (k < 0) return false;
  if (k == 0) {
    value_error("factors must hold at least one grouping factor");
    return false;
  }
  const auto sk = static_cast<std::size_t>(k);
  out.codes.resize(sk);
  out.zs.resize(sk);
  out.blocks.resize(sk);
  for (std::size_t j = 0; j < sk; ++j) {
    cr::FactorRows f{};
    // Each item is held as long as the record: the views borrow its arrays.
    out.items.emplace_back(PySequence_GetItem(factors, static_cast<Py_ssize_t>(j)));
    if (!out.items.back() ||
        !parse_factor(out.items.back().get(), j, rows.n, out.codes[j], out.zs[j], f, out.blocks[j]))
      return false;
    rows.factors.push_back(f);
  }
  if (weights && weights != Py_None) {
    if (!borrow_vector(weights, "weights", NPY_DOUBLE, out.w)) return false;
    if (static_cast<std::uint64_t>(out.w.rows) != rows.n) {
      value_error("weights must hold one value per row");
      return false;
    }
    rows.w = data_of<double>(out.w);
  }
  return true;
}

namespace {

PyObject* crossed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (PyTuple_Size(args) > 3) {
    PyErr_Format(PyExc_TypeError, "CrossedCore() takes at most 3 positional arguments (%zd given)", PyTuple_Size(args));
    return nullptr;
  }
  if (!parse_tuple_args("CrossedCore", {"y", "x", "factors", "weights"}, 3, args, kwargs, a)) return nullptr;
  BorrowedRows in;
  if (!borrow_rows(a[0], a[1], a[2], a[3], in)) return nullptr;
  cr::CrossedRows& rows = in.rows;
  std::vector<std::vector<std::uint64_t>>& blocks = in.blocks;
  std::variant<std::unique_ptr<cr::Design>, std::string> built;
  if (!without_gil([&] {
        auto pr = cr::products_of(rows);
        if (auto* err = std::get_if<std::string>(&pr)) built = *err;
        else built = cr::make_design(std::get<cr::Products>(std::move(pr)), std::move(blocks));
      }))
    return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) return value_error(*err);
  return crossed_wrap(type, std::move(std::get<0>(built)));
}

int crossed_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int crossed_clear(PyObject*) { return 0; }

void crossed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete reinterpret_cast<CrossedObject*>(self)->design;
  reinterpret_cast<CrossedObject*>(self)->design = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

}  // namespace

bool crossed_theta_ok(PyObject* self, const std::vector<double>& theta) {
  const std::size_t nt = design_of(self).theta_offset.back();
  if (theta.size() != nt) {
    value_error("theta must have " + std::to_string(nt) + " entries, got " + std::to_string(theta.size()));
    return false;
  }
  for (std::size_t i = 0; i < nt; ++i)
    if (!std::isfinite(theta[i])) {
      value_error("theta[" + std::to_string(i) + "] is not finite");
      return false;
    }
  return true;
}

namespace {

bool theta_ok(PyObject* self, const std::vector<double>& theta) { return crossed_theta_ok(self, theta); }

// (theta, reml=True), theta checked for length and finiteness.
bool theta_args(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::vector<double>& theta, bool& reml) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"theta", "reml"}, 1, args, nargs, kwnames, a)) return false;
  reml = true;
  if (!to_vec(a[0], "theta", theta)) return false;
  if (a[1] && !to_bool(a[1], "reml", reml)) return false;
  return theta_ok(self, theta);
}

std::optional<cr::Solution> at_theta(PyObject* self, const std::vector<double>& theta, bool reml, Mode mode,
                                     bool& failed, bool cond_var = true) {
  std::optional<cr::Solution> s;
  failed = !without_gil([&] { s = cr::evaluate(design_of(self), theta, reml, mode, cond_var); });
  return s;
}

PyObject* m_deviance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml, failed;
  if (!theta_args("deviance", self, args, nargs, kwnames, theta, reml)) return nullptr;
  auto s = at_theta(self, theta, reml, kModeDeviance, failed);
  if (failed) return nullptr;
  return PyFloat_FromDouble(s ? s->ev.deviance : INFINITY);
}

PyObject* m_deviance_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml, failed;
  if (!theta_args("deviance_grad", self, args, nargs, kwnames, theta, reml)) return nullptr;
  auto s = at_theta(self, theta, reml, kModeGradient, failed);
  if (failed) return nullptr;
  Ref grad(float_list(s ? s->ev.gradient : std::vector<double>(theta.size(), NAN)));
  if (!grad) return nullptr;
  return Py_BuildValue("(dO)", s ? s->ev.deviance : INFINITY, grad.get());
}

}  // namespace

PyObject* crossed_infeasible() {
  PyErr_SetString(PyExc_RuntimeError, "theta is infeasible: the system is not positive definite or pwrss is not positive");
  return nullptr;
}

namespace {

PyObject* infeasible() { return crossed_infeasible(); }

PyObject* m_criterion_parts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml, failed;
  if (!theta_args("criterion_parts", self, args, nargs, kwnames, theta, reml)) return nullptr;
  auto s = at_theta(self, theta, reml, kModeSolution, failed, false);
  if (failed) return nullptr;
  if (!s) return infeasible();
  const cr::Design& d = design_of(self);
  const Evaluation& ev = s->ev;
  const npy_intp nt = static_cast<npy_intp>(theta.size()), np_ = static_cast<npy_intp>(d.pr.p);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  const bool ok = set_item(o, "deviance", PyFloat_FromDouble(ev.deviance)) &&
                  set_item(o, "logdet", PyFloat_FromDouble(ev.ldl2 + ev.ldrx2 - (d.pr.weighted ? d.pr.log_weights : 0.0))) &&
                  set_item(o, "pwrss", PyFloat_FromDouble(ev.pwrss)) &&
                  set_item(o, "nu", PyFloat_FromDouble(ev.pwrss / ev.sigma2)) &&
                  set_item(o, "grad_logdet", new_array(ev.grad_logdet, {nt})) &&
                  set_item(o, "grad_pwrss", new_array(ev.grad_pwrss, {nt})) &&
                  set_item(o, "beta", new_array(ev.beta, {np_})) &&
                  set_item(o, "fixed_inverse", new_array(ev.fixed_inverse, {np_, np_}));
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* list_of_arrays(const cr::Design& d, const std::vector<std::vector<double>>& v, int dims) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t j = 0; j < v.size(); ++j) {
    const npy_intp m = static_cast<npy_intp>(d.pr.m[j]), q = static_cast<npy_intp>(d.pr.q[j]);
    PyObject* arr = dims == 2 ? new_array(v[j], {m, q}) : dims == 3 ? new_array(v[j], {m, q, q}) : new_array(v[j], {q, q});
    if (!arr) return nullptr;
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j), arr) < 0) return nullptr;
  }
  return list.release();
}

// The dict of a solution at theta: `s` when given (a fit's), else evaluated here.
PyObject* solution_dict(PyObject* self, const std::vector<double>& theta, bool reml, const FitReport* report,
                        bool cond_var, std::optional<cr::Solution>* given = nullptr) {
  std::optional<cr::Solution> here;
  if (!given && !without_gil([&] { here = cr::evaluate(design_of(self), theta, reml, kModeSolution, cond_var); }))
    return nullptr;
  std::optional<cr::Solution>& s = given ? *given : here;
  if (!s) return infeasible();
  const cr::Design& d = design_of(self);
  const Evaluation& ev = s->ev;
  const std::size_t k = d.pr.m.size(), p = d.pr.p;
  std::vector<double> cov_beta(p * p);
  for (std::size_t i = 0; i < p * p; ++i) cov_beta[i] = ev.fixed_inverse[i] * ev.sigma2;
  std::vector<std::vector<double>> cov_re(k), b(k);
  for (std::size_t j = 0; j < k; ++j) {
    const std::uint64_t q = d.pr.q[j];
    const std::vector<double> lam = cr::lambda_of(d, theta, j);
    cov_re[j].assign(q * q, 0.0);
    mat_mul_bt(lam.data(), lam.data(), cov_re[j].data(), q, q, q);
    for (double& v : cov_re[j]) v = v * ev.sigma2;
    b[j].assign(d.pr.m[j] * q, 0.0);
    for (std::uint64_t l = 0; l < d.pr.m[j]; ++l) mat_mul(lam.data(), &s->u[j][l * q], &b[j][l * q], q, q, 1);
  }
  const npy_intp nt = static_cast<npy_intp>(theta.size()), np_ = static_cast<npy_intp>(p);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  bool ok = set_item(o, "theta", new_array(theta, {nt})) && set_item(o, "deviance", PyFloat_FromDouble(ev.deviance)) &&
            set_item(o, "grad", new_array(ev.gradient, {nt})) && set_item(o, "beta", new_array(ev.beta, {np_})) &&
            set_item(o, "cov_beta", new_array(cov_beta, {np_, np_})) &&
            set_item(o, "cov_re", list_of_arrays(d, cov_re, 1)) &&
            set_item(o, "random_effects", list_of_arrays(d, b, 2)) && set_item(o, "u", list_of_arrays(d, s->u, 2)) &&
            set_item(o, "cond_var", cond_var ? list_of_arrays(d, s->cond_var, 3) : Py_NewRef(Py_None)) &&
            set_item(o, "sigma2", PyFloat_FromDouble(ev.sigma2)) &&
            set_item(o, "sigma", PyFloat_FromDouble(std::sqrt(ev.sigma2))) &&
            set_item(o, "pwrss", PyFloat_FromDouble(ev.pwrss)) && set_item(o, "ldl2", PyFloat_FromDouble(ev.ldl2)) &&
            set_item(o, "ldrx2", PyFloat_FromDouble(ev.ldrx2)) && set_item(o, "reml", PyBool_FromLong(reml)) &&
            set_item(o, "n", PyLong_FromUnsignedLongLong(d.pr.n)) && set_item(o, "p", PyLong_FromUnsignedLongLong(p));
  if (ok && report) ok = set_report(o, *report);
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* m_solution(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_args("solution", self, args, nargs, kwnames, theta, reml)) return nullptr;
  return solution_dict(self, theta, reml, nullptr, true);
}

PyObject* m_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fit", {"starts", "reml", "max_iter", "gtol", "ftol", "cond_var", "h0"}, 1, args, nargs, kwnames,
                  a))
    return nullptr;
  std::vector<double> starts;
  bool reml;
  MinimizeOptions options;
  if (!fit_args(a, starts, reml, options)) return nullptr;
  bool cond_var = true;
  if (a[5] && !to_bool(a[5], "cond_var", cond_var)) return nullptr;
  if (a[6] && a[6] != Py_None && !to_vec(a[6], "h0", options.h0)) return nullptr;
  const cr::Design& d = design_of(self);
  const std::size_t nt = d.theta_offset.back();
  if (starts.empty() || starts.size() % nt != 0)
    return value_error("starts must be a non-empty multiple of the theta length");
  if (!options.h0.empty() && options.h0.size() != nt * nt)
    return value_error("h0 must hold n_theta * n_theta values");
  for (std::size_t i = 0; i < starts.size(); ++i)
    if (!std::isfinite(starts[i])) return value_error("starts[" + std::to_string(i) + "] is not finite");
  OptimResult best;
  std::optional<cr::Solution> solution;
  if (!without_gil([&] { best = cr::fit(d, starts, reml, options, &solution, cond_var); })) return nullptr;
  const FitReport report{best.converged, best.iterations, best.fev, best.grad_inf_norm, best.message};
  return solution_dict(self, best.theta, reml, &report, cond_var, &solution);
}

PyObject* m_default_theta(PyObject* self, PyObject*) { return float_list(cr::default_theta(design_of(self))); }
PyObject* m_start_theta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("start_theta", {"reml", "with_model"}, 0, args, nargs, kwnames, a)) return nullptr;
  bool reml = true, with_model = false;
  if (a[0] && !to_bool(a[0], "reml", reml)) return nullptr;
  if (a[1] && !to_bool(a[1], "with_model", with_model)) return nullptr;
  cr::Start start;
  if (!without_gil([&] { start = cr::start_of(design_of(self), reml); })) return nullptr;
  if (!with_model) return float_list(start.theta);
  Ref theta(float_list(start.theta));
  if (!theta) return nullptr;
  Ref model(start.inverse_hessian.empty() ? Py_NewRef(Py_None) : float_list(start.inverse_hessian));
  return model ? PyTuple_Pack(2, theta.get(), model.get()) : nullptr;
}

PyObject* m_lower_bounds(PyObject* self, PyObject*) { return float_list(cr::lower_bounds(design_of(self))); }

PyObject* m_theta_index(PyObject* self, PyObject*) {
  const cr::Design& d = design_of(self);
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (std::size_t j = 0; j < d.tidx.size(); ++j)
    for (auto [r, c] : d.tidx[j]) {
      Ref t(Py_BuildValue("(nKK)", static_cast<Py_ssize_t>(j), static_cast<unsigned long long>(r),
                          static_cast<unsigned long long>(c)));
      if (!t || PyList_Append(list.get(), t.get()) < 0) return nullptr;
    }
  return list.release();
}

PyObject* u64_list(const std::vector<std::uint64_t>& v) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* x = PyLong_FromUnsignedLongLong(v[i]);
    if (!x) return nullptr;
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), x) < 0) return nullptr;
  }
  return list.release();
}

PyObject* g_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(design_of(self).pr.n); }
PyObject* g_p(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(design_of(self).pr.p); }
PyObject* g_n_theta(PyObject* self, void*) { return PyLong_FromSize_t(design_of(self).theta_offset.back()); }
PyObject* g_q(PyObject* self, void*) { return u64_list(design_of(self).pr.q); }
PyObject* g_m(PyObject* self, void*) { return u64_list(design_of(self).pr.m); }
PyObject* g_block_kinds(PyObject* self, void*) {
  const cr::Design& d = design_of(self);
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (std::size_t j = 0; j < d.layout.k; ++j) {
    Ref s(PyUnicode_FromString(j < d.layout.diagonal ? "diagonal" : "dense"));
    if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
  }
  return list.release();
}

PyGetSetDef crossed_getset[] = {
    {"n", QK_ENTRY(g_n), nullptr, "Number of rows.", nullptr},
    {"p", QK_ENTRY(g_p), nullptr, "Number of fixed-effect columns.", nullptr},
    {"n_theta", QK_ENTRY(g_n_theta), nullptr, "Length of theta.", nullptr},
    {"q", QK_ENTRY(g_q), nullptr, "Random-effect columns of each factor.", nullptr},
    {"m", QK_ENTRY(g_m), nullptr, "Levels of each factor.", nullptr},
    {"block_kinds", QK_ENTRY(g_block_kinds), nullptr,
     "How each factor's block of the factor is stored: 'diagonal' (one block per level) or 'dense'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef crossed_methods[] = {
    {"deviance", QK_FASTCALL(m_deviance), METH_FASTCALL | METH_KEYWORDS,
     "deviance($self, theta, reml=True)\n--\n\nProfiled deviance at `theta`; inf for an infeasible `theta`."},
    {"deviance_grad", QK_FASTCALL(m_deviance_grad), METH_FASTCALL | METH_KEYWORDS,
     "deviance_grad($self, theta, reml=True)\n--\n\n"
     "Profiled deviance and its analytic gradient; (inf, [nan, ...]) for an infeasible `theta`."},
    {"criterion_parts", QK_FASTCALL(m_criterion_parts), METH_FASTCALL | METH_KEYWORDS,
     "criterion_parts($self, theta, reml=True)\n--\n\nThe criterion split for inference, as LmmCore.criterion_parts."},
    {"solution", QK_FASTCALL(m_solution), METH_FASTCALL | METH_KEYWORDS,
     "solution($self, theta, reml=True)\n--\n\n"
     "Everything at `theta`: beta, cov_beta, and per factor cov_re, random_effects, u and cond_var."},
    {"prediction_variance", QK_FASTCALL(crossed_prediction_variance), METH_FASTCALL | METH_KEYWORDS,
     "prediction_variance($self, theta, x, levels, z, reml=True)\n--\n\n"
     "||L^-1 v||^2 per new row (times sigma^2, its prediction error's variance), L L' the system at `theta`, v =\n"
     "[Lambda_j'z0_j at each factor's level; x0]. `x` (r, p); per factor `levels` int64 (r,) (-1: new) and `z` (r, q_j)."},
    {"fit", QK_FASTCALL(m_fit), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, starts, reml=True, max_iter=300, gtol=1e-08, ftol=1e-12, cond_var=True, h0=None)\n--\n\n"
     "Minimises the criterion from each start (their flat concatenation); the best solution and the run's report\n"
     "(its cond_var None unless cond_var: solution() gives them at the fitted theta). h0, when given, is the\n"
     "initial inverse Hessian of every run (n_theta x n_theta, flat, row-major), as start_theta(with_model=True)\n"
     "gives it."},
    {"from_products", QK_FASTCALL(crossed_from_products), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_products(products, blocks)\n--\n\n"
     "A core from crossed products (a dict as reduce_crossed_rows returns, or merged ones,\n"
     "levels coded 0..m_j-1 and each cross block's pairs in increasing order of\n"
     "level_i * m_j + level_j) and each factor's terms' sizes `blocks`."},
    {"default_theta", QK_ENTRY(m_default_theta), METH_NOARGS, "default_theta($self, /)\n--\n\nIdentity Lambda."},
    {"start_theta", QK_FASTCALL(m_start_theta), METH_FASTCALL | METH_KEYWORDS,
     "start_theta($self, /, reml=True, with_model=False)\n--\n\nA start for fit(): each factor's theta from the model "
     "with that factor alone\n(its products only), diagonal entries at least 0.1; the identity instead where a factor\n"
     "is nested in another and the criterion is lower there. With with_model, (theta, h0): h0 the\nfactor-by-factor "
     "model of the inverse Hessian at that start for fit(h0=...), or None."},
    {"lower_bounds", QK_ENTRY(m_lower_bounds), METH_NOARGS,
     "lower_bounds($self, /)\n--\n\n0 on diagonal entries of Lambda, -inf elsewhere."},
    {"theta_index", QK_ENTRY(m_theta_index), METH_NOARGS,
     "theta_index($self, /)\n--\n\n(factor, row, column) of Lambda for each entry of theta."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot crossed_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CrossedCore(y, x, factors, *, weights=None)\n--\n\n"
                    "Cross-products of a linear mixed model whose random-effects terms sit on\n"
                    "K >= 1 grouping factors, crossed or nested. `factors` holds one tuple\n"
                    "(codes, n_levels, z, blocks) per factor, most levels first; theta is the\n"
                    "concatenation of each factor's blocks' lower triangles, column by column.")},
    {Py_tp_new, reinterpret_cast<void*>(QK_ENTRY(crossed_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossed_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(crossed_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(crossed_clear)},
    {Py_tp_methods, crossed_methods},
    {Py_tp_getset, crossed_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec crossed_spec = {
    "quorvelkit._quorvelkit.CrossedCore",
    sizeof(CrossedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    crossed_slots,
};

}  // namespace qk::py
