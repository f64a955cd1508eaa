// The extension module: the LmmCore class over one prepared design, its argument
// checks and the conversion of results into Python objects. All numeric work runs
// with the interpreter lock released; no Python object is touched meanwhile.
#include <Python.h>

#include <numpy/arrayobject.h>

#include <pthread.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "lib/pyutil.hpp"
#include "lmm/data.hpp"
#include "lmm/evaluate.hpp"
#include "lmm/fit.hpp"
#include "lmm/state.hpp"
#include "lmm/theta.hpp"
#include "optim/minimize.hpp"

namespace qk::py {

namespace {

// The package's version: the module's __version__ and the tag of pickled cores.
constexpr const char* kVersion = "0.2.0";

struct CoreObject {
  PyObject_HEAD
  LmmData* data;
};

LmmData& data_of(PyObject* self) { return *reinterpret_cast<CoreObject*>(self)->data; }

// ---- argument conversion ----------------------------------------------------------

// A borrowed, read-only view of one argument array. The caller's reference keeps
// the array alive for the duration of the call.
struct ArrayView {
  PyArrayObject* arr = nullptr;
  npy_intp rows = 0, cols = 1;
};

bool borrow_array(PyObject* obj, const char* name, int ndim, int typenum, ArrayView& out) {
  const char* want = typenum == NPY_DOUBLE ? "float64" : "int64";
  if (!PyArray_Check(obj)) {
    arg_error(name, "expected a numpy.ndarray of dtype " + std::string(want) + ", got '" +
                        type_name(obj) + "'");
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* descr = PyArray_DESCR(arr);
  // The dtype must match exactly, in native byte order: nothing is converted.
  if (PyArray_TYPE(arr) != typenum || !PyArray_ISNOTSWAPPED(arr)) {
    Ref s(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    const char* got = s ? PyUnicode_AsUTF8AndSize(s.get(), nullptr) : nullptr;
    if (!got) PyErr_Clear();
    std::string gs = got ? got : "another dtype";
    if (PyArray_TYPE(arr) == typenum) gs += " (non-native byte order)";
    arg_error(name, "expected an array of dtype " + std::string(want) + ", got " + gs);
    return false;
  }
  if (PyArray_NDIM(arr) != ndim) {
    arg_error(name, "expected a " + std::to_string(ndim) + "-dimensional array, got " +
                        std::to_string(PyArray_NDIM(arr)) + " dimensions");
    return false;
  }
  out.arr = arr;
  out.rows = PyArray_DIMS(arr)[0];
  out.cols = ndim == 2 ? PyArray_DIMS(arr)[1] : 1;
  return true;
}

bool is_aligned(PyArrayObject* a) { return (PyArray_FLAGS(a) & NPY_ARRAY_ALIGNED) != 0; }

// 1-D: contiguous and aligned unless empty.
bool check_vector(const ArrayView& v) {
  if (v.rows == 0) return true;
  if ((PyArray_FLAGS(v.arr) & NPY_ARRAY_C_CONTIGUOUS) && is_aligned(v.arr)) return true;
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
  return false;
}

// 2-D: standard row-major layout unless empty. A misaligned matrix cannot be read
// safely either and gets the same error as a misaligned vector.
bool check_matrix(const ArrayView& v, const char* msg) {
  if (v.rows == 0 || v.cols == 0) return true;
  const npy_intp* st = PyArray_STRIDES(v.arr);
  const npy_intp item = sizeof(double);
  bool ok = (st[1] == item || v.cols == 1) && (st[0] == v.cols * item || v.rows == 1);
  if (!ok) {
    PyErr_SetString(PyExc_ValueError, msg);
    return false;
  }
  if (!is_aligned(v.arr)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  return true;
}

template <class T>
const T* data_ptr(const ArrayView& v) {
  return static_cast<const T*>(PyArray_DATA(v.arr));
}

// Converts and checks (y, x, z, codes) in that order and returns the flat views.
bool rows_from(PyObject* y, PyObject* x, PyObject* z, PyObject* codes, Rows& out) {
  ArrayView vy, vx, vz, vc;
  if (!borrow_array(y, "y", 1, NPY_DOUBLE, vy) || !borrow_array(x, "x", 2, NPY_DOUBLE, vx) ||
      !borrow_array(z, "z", 2, NPY_DOUBLE, vz) || !borrow_array(codes, "codes", 1, NPY_INT64, vc))
    return false;
  if (!check_vector(vy) || !check_vector(vc) || !check_matrix(vx, "X must be C-contiguous") ||
      !check_matrix(vz, "Z must be C-contiguous"))
    return false;
  if (vc.rows != vy.rows || vx.rows != vy.rows || vz.rows != vy.rows) {
    PyErr_SetString(PyExc_ValueError, "y, X, Z and group codes must agree on the row count");
    return false;
  }
  out = Rows{data_ptr<double>(vy), data_ptr<double>(vx), data_ptr<double>(vz),
             data_ptr<std::int64_t>(vc), static_cast<std::uint64_t>(vy.rows),
             static_cast<std::uint64_t>(vx.cols), static_cast<std::uint64_t>(vz.cols)};
  return true;
}

// A sequence of numbers as a vector of doubles; a str is refused.
bool to_vec(PyObject* obj, const char* name, std::vector<double>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    arg_error(name, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
    return false;
  }
  Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) {
    name_pending_error(name);
    return false;
  }
  out.clear();
  out.reserve(static_cast<std::size_t>(len));
  Ref it(PyObject_GetIter(obj));
  if (!it) {
    name_pending_error(name);
    return false;
  }
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    double v = PyFloat_AsDouble(item.get());
    if (v == -1.0 && PyErr_Occurred()) {
      name_pending_error(name);
      return false;
    }
    out.push_back(v);
  }
  if (PyErr_Occurred()) {
    name_pending_error(name);
    return false;
  }
  return true;
}

// A Python bool, or a NumPy boolean scalar.
bool to_bool(PyObject* obj, const char* name, bool& out) {
  bool accepted = PyBool_Check(obj);
  if (!accepted) {
    Ref mod(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
    if (!mod) PyErr_Clear();
    const char* ms = mod && PyUnicode_Check(mod.get()) ? PyUnicode_AsUTF8AndSize(mod.get(), nullptr) : nullptr;
    std::string tn = type_name(obj);
    accepted = ms && std::string(ms) == "numpy" && (tn == "bool_" || tn == "bool");
    if (!accepted) {
      arg_error(name, "'" + tn + "' object cannot be converted to 'PyBool'");
      return false;
    }
  }
  int t = PyObject_IsTrue(obj);
  if (t < 0) {
    name_pending_error(name);
    return false;
  }
  out = t != 0;
  return true;
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
  Ref idx(PyNumber_Index(obj));
  if (!idx) {
    name_pending_error(name);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_OverflowError,
                      ("argument '" + std::string(name) + "': value out of range 0..2**64-1").c_str());
    }
    return false;
  }
  out = v;
  return true;
}

bool to_double(PyObject* obj, const char* name, double& out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    name_pending_error(name);
    return false;
  }
  out = v;
  return true;
}

bool check_theta(const LmmData& d, const std::vector<double>& theta) {
  if (auto err = theta_error(theta, d.q)) {
    PyErr_SetString(PyExc_ValueError, err->c_str());
    return false;
  }
  return true;
}

// theta and reml, the common arguments of the criterion methods.
bool theta_reml_args(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::vector<double>& theta, bool& reml) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"theta", "reml"}, 1, args, nargs, kwnames, a)) return false;
  if (!to_vec(a[0], "theta", theta)) return false;
  reml = true;
  if (a[1] && !to_bool(a[1], "reml", reml)) return false;
  return check_theta(data_of(self), theta);
}

// ---- result conversion ------------------------------------------------------------

PyObject* float_list(const std::vector<double>& v) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (!f) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
  }
  return list.release();
}

PyObject* new_array(const std::vector<double>& v, std::initializer_list<npy_intp> shape) {
  std::vector<npy_intp> dims(shape);
  PyObject* arr = PyArray_SimpleNew(static_cast<int>(dims.size()), dims.data(), NPY_DOUBLE);
  if (!arr) return nullptr;
  if (!v.empty())
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), v.data(), v.size() * sizeof(double));
  return arr;
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref v(value);
  if (!v) return false;
  return PyDict_SetItemString(dict, key, v.get()) == 0;
}

struct FitReport {
  bool converged;
  std::uint64_t iterations, fev;
  double grad_inf_norm;
  std::string message;
};

// Raises RuntimeError for an infeasible theta: "theta is infeasible", with the
// reason when it holds for every theta.
std::nullptr_t infeasible(const LmmData& d) {
  PyErr_SetString(PyExc_RuntimeError,
                  d.exact_fit ? "theta is infeasible: the fixed effects fit the response exactly "
                                "(the residual sum of squares is zero)"
                              : "theta is infeasible");
  return nullptr;
}

// Warns (RuntimeWarning) when the criterion at this solution has lost many digits to
// cancellation. The reduced form subtracts sums of squares of the size of y'y (of the
// shifted response), so pwrss, and with it the criterion nu log(pwrss), carries an
// absolute rounding error of about 8 * 2^-52 * nu * y'y / pwrss (the factor measured
// on large means); above 1e-3 it can change a likelihood-ratio test's verdict.
bool warn_lost_digits(const LmmData& d, const Evaluation& ev) {
  const double nu = ev.pwrss / ev.sigma2;
  const double ratio = d.yty / ev.pwrss;
  const double error = 8.0 * 0x1p-52 * nu * ratio;
  if (!(error > 1e-3)) return true;
  char msg[640];
  const double digits = std::min(16.0, std::log10(8.0 * ratio));
  if (d.shift.active())
    std::snprintf(msg, sizeof msg,
                  "the criterion may have lost about %.0f of its 16 significant digits to cancellation "
                  "(absolute error up to about %.1g): the response's sum of squares about its centre is "
                  "%.1e times the residual sum of squares",
                  digits, error, ratio);
  else
    std::snprintf(msg, sizeof msg,
                  "the criterion may have lost about %.0f of its 16 significant digits to cancellation "
                  "(absolute error up to about %.1g): y's sum of squares is %.1e times the residual sum of "
                  "squares, and X has no constant column, so y and X were used as given; centre them and "
                  "include an intercept column in X to keep the digits",
                  digits, error, ratio);
  return PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1) == 0;
}

// Every derived quantity at theta, as a dict; with the optimiser's report appended
// when given. Raises RuntimeError "theta is infeasible" for an infeasible theta.
PyObject* solution_dict(PyObject* self, const std::vector<double>& theta, bool reml,
                        const FitReport* report) {
  const LmmData& d = data_of(self);
  std::optional<Evaluation> ev;
  if (!without_gil([&] { ev = evaluate(d, theta, reml, kModeSolution); })) return nullptr;
  if (!ev) return infeasible(d);
  if (!warn_lost_digits(d, *ev)) return nullptr;
  const std::size_t p = d.p, q = d.q, m = d.m;
  const std::vector<double> lambda = theta_to_lambda(theta, q);
  std::vector<double> cov_re(q * q), cov_beta(p * p), b;
  for (std::size_t i = 0; i < q; ++i)
    for (std::size_t j = 0; j < q; ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k < q; ++k) s = s + lambda[i * q + k] * lambda[j * q + k];
      cov_re[i * q + j] = s * ev->sigma2;
    }
  for (std::size_t i = 0; i < p * p; ++i) cov_beta[i] = ev->sigma2 * ev->fixed_inverse[i];
  if (!without_gil([&] {
        b.assign(m * q, 0.0);
        for (std::size_t g = 0; g < m; ++g)
          for (std::size_t i = 0; i < q; ++i) {
            double s = 0.0;
            for (std::size_t k = 0; k < q; ++k) s = s + lambda[i * q + k] * ev->u[g * q + k];
            b[g * q + i] = s;
          }
      }))
    return nullptr;
  const npy_intp np_ = static_cast<npy_intp>(p), nq = static_cast<npy_intp>(q),
                 nm = static_cast<npy_intp>(m), nt = static_cast<npy_intp>(theta.size());
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  const double sigma = std::sqrt(ev->sigma2);
  bool ok = set_item(o, "theta", new_array(theta, {nt})) &&
            set_item(o, "deviance", PyFloat_FromDouble(ev->deviance)) &&
            set_item(o, "grad", new_array(ev->gradient, {nt})) &&
            set_item(o, "beta", new_array(ev->beta, {np_})) &&
            set_item(o, "cov_beta", new_array(cov_beta, {np_, np_})) &&
            set_item(o, "cov_re", new_array(cov_re, {nq, nq})) &&
            set_item(o, "random_effects", new_array(b, {nm, nq})) &&
            set_item(o, "u", new_array(ev->u, {nm, nq})) &&
            set_item(o, "sigma2", PyFloat_FromDouble(ev->sigma2)) &&
            set_item(o, "sigma", PyFloat_FromDouble(sigma)) &&
            set_item(o, "pwrss", PyFloat_FromDouble(ev->pwrss)) &&
            set_item(o, "ldl2", PyFloat_FromDouble(ev->ldl2)) &&
            set_item(o, "ldrx2", PyFloat_FromDouble(ev->ldrx2)) &&
            set_item(o, "reml", PyBool_FromLong(reml)) &&
            set_item(o, "n", PyLong_FromUnsignedLongLong(d.n)) &&
            set_item(o, "p", PyLong_FromUnsignedLongLong(d.p)) &&
            set_item(o, "q", PyLong_FromUnsignedLongLong(d.q)) &&
            set_item(o, "m", PyLong_FromUnsignedLongLong(d.m));
  if (ok && report) {
    ok = set_item(o, "converged", PyBool_FromLong(report->converged)) &&
         set_item(o, "iterations", PyLong_FromUnsignedLongLong(report->iterations)) &&
         set_item(o, "fev", PyLong_FromUnsignedLongLong(report->fev)) &&
         set_item(o, "grad_inf_norm", PyFloat_FromDouble(report->grad_inf_norm)) &&
         set_item(o, "message", PyUnicode_FromStringAndSize(report->message.data(),
                                                            static_cast<Py_ssize_t>(report->message.size())));
  }
  if (!ok) return nullptr;
  return dict.release();
}

// ---- the LmmCore type -------------------------------------------------------------

// Wraps a prepared design in a new instance of `type`.
PyObject* wrap(PyTypeObject* type, std::unique_ptr<LmmData> data) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<CoreObject*>(self)->data = data.release();
  return self;
}

// Evaluator names in the quoted, escaped form used in the error message.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (!parse_tuple_args("LmmCore", {"y", "x", "z", "codes", "n_groups", "evaluator"}, 5, args, kwargs, a))
    return nullptr;
  ArrayView vy, vx, vz, vc;
  if (!borrow_array(a[0], "y", 1, NPY_DOUBLE, vy) || !borrow_array(a[1], "x", 2, NPY_DOUBLE, vx) ||
      !borrow_array(a[2], "z", 2, NPY_DOUBLE, vz) || !borrow_array(a[3], "codes", 1, NPY_INT64, vc))
    return nullptr;
  unsigned long long m;
  {
    if (!PyLong_Check(a[4])) return arg_error("n_groups", "'" + type_name(a[4]) + "' object cannot be interpreted as an integer");
    m = PyLong_AsUnsignedLongLong(a[4]);
    if (m == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  }
  Evaluator evaluator = kAuto;
  if (a[5]) {
    if (!PyUnicode_Check(a[5])) return arg_error("evaluator", "'" + type_name(a[5]) + "' object cannot be converted to 'PyString'");
    Py_ssize_t len;
    const char* s = PyUnicode_AsUTF8AndSize(a[5], &len);
    if (!s) return nullptr;
    std::string name(s, static_cast<std::size_t>(len));
    if (name == "auto") evaluator = kAuto;
    else if (name == "blocks") evaluator = kBlocks;
    else if (name == "streaming") evaluator = kStreaming;
    else if (name == "aggregated") evaluator = kAggregated;
    else {
      PyErr_SetString(PyExc_ValueError,
                      ("evaluator must be 'auto', 'blocks', 'aggregated' or 'streaming', got " + quoted(name)).c_str());
      return nullptr;
    }
  }
  Rows rows;
  if (!rows_from(a[0], a[1], a[2], a[3], rows)) return nullptr;
  auto fail = [](const char* msg) -> PyObject* {
    PyErr_SetString(PyExc_ValueError, msg);
    return nullptr;
  };
  if (m == 0) return fail("n_groups must be positive");
  if (rows.p == 0) return fail("X must have at least one column");
  if (rows.q == 0) return fail("Z must have at least one column");
  if (rows.n == 0) return fail("y must not be empty");
  {
    using u128 = unsigned __int128;
    const u128 limit = std::numeric_limits<std::uint64_t>::max();
    const u128 mq = static_cast<u128>(m) * rows.q;
    const std::uint64_t width = std::max(rows.p + 1, rows.q);
    // width is at most 2^63 here, so 2 * width + 2 fits in 128 bits with the product.
    if (mq > limit || mq * (2 * static_cast<u128>(width) + 2) > limit)
      return fail("model dimensions overflow the address space");
  }
  std::variant<std::unique_ptr<LmmData>, std::string> built;
  if (!without_gil([&] { built = from_rows(rows, m, evaluator); })) return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) return fail(err->c_str());
  return wrap(type, std::move(std::get<0>(built)));
}

int core_traverse(PyObject* self, visitproc visit, void* arg) {
  // The instance holds no Python references; a heap type's instances keep their type
  // alive and report it.
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int core_clear(PyObject*) { return 0; }

void core_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete reinterpret_cast<CoreObject*>(self)->data;
  reinterpret_cast<CoreObject*>(self)->data = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// ---- getters ----------------------------------------------------------------------

PyObject* get_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).n); }
PyObject* get_p(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).p); }
PyObject* get_q(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).q); }
PyObject* get_m(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).m); }
PyObject* get_n_theta(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(n_theta_of(data_of(self).q));
}
PyObject* get_evaluator(PyObject* self, void*) {
  switch (data_of(self).kernel()) {
    case kStreaming: return PyUnicode_FromString("streaming");
    case kAggregated: return PyUnicode_FromString("aggregated");
    default: return PyUnicode_FromString("blocks");
  }
}
PyObject* get_n_classes(PyObject* self, void*) {
  const LmmData& d = data_of(self);
  if (!d.classes) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(d.classes->n_classes);
}

PyGetSetDef core_getset[] = {
    {"n", get_n, nullptr, "Number of rows.", nullptr},
    {"p", get_p, nullptr, "Number of fixed-effect columns.", nullptr},
    {"q", get_q, nullptr, "Number of random-effect columns.", nullptr},
    {"m", get_m, nullptr, "Number of groups.", nullptr},
    {"n_theta", get_n_theta, nullptr, "Length of `theta`: q(q+1)/2.", nullptr},
    {"evaluator", get_evaluator, nullptr,
     "The kernel in use: \"blocks\", \"aggregated\" or \"streaming\".", nullptr},
    {"n_classes", get_n_classes, nullptr,
     "Number of distinct Z_i'Z_i classes when the aggregated kernel is used, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods ----------------------------------------------------------------------

PyObject* m_deviance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_reml_args("deviance", self, args, nargs, kwnames, theta, reml)) return nullptr;
  std::optional<Evaluation> ev;
  if (!without_gil([&] { ev = evaluate(data_of(self), theta, reml, kModeDeviance); })) return nullptr;
  return PyFloat_FromDouble(ev ? ev->deviance : std::numeric_limits<double>::infinity());
}

PyObject* m_deviance_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_reml_args("deviance_grad", self, args, nargs, kwnames, theta, reml)) return nullptr;
  std::optional<Evaluation> ev;
  if (!without_gil([&] { ev = evaluate(data_of(self), theta, reml, kModeGradient); })) return nullptr;
  double dev = std::numeric_limits<double>::infinity();
  std::vector<double> grad(theta.size(), std::numeric_limits<double>::quiet_NaN());
  if (ev) {
    dev = ev->deviance;
    grad = ev->gradient;
  }
  Ref g(float_list(grad));
  if (!g) return nullptr;
  return Py_BuildValue("(dO)", dev, g.get());
}

PyObject* m_solution(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_reml_args("solution", self, args, nargs, kwnames, theta, reml)) return nullptr;
  return solution_dict(self, theta, reml, nullptr);
}

PyObject* m_lower_bounds(PyObject* self, PyObject*) { return float_list(lower_bounds(data_of(self).q)); }

PyObject* m_default_theta(PyObject* self, PyObject*) { return float_list(default_theta(data_of(self).q)); }

PyObject* m_theta_index(PyObject* self, PyObject*) {
  const ThetaIndex& idx = data_of(self).theta_index;
  Ref out(PyList_New(static_cast<Py_ssize_t>(idx.size())));
  if (!out) return nullptr;
  for (std::size_t k = 0; k < idx.size(); ++k) {
    PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(idx[k].first),
                                   static_cast<unsigned long long>(idx[k].second));
    if (!pair) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(k), pair);
  }
  return out.release();
}

PyObject* m_with_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("with_response", {"y", "x", "z", "codes"}, 4, args, nargs, kwnames, a)) return nullptr;
  Rows rows;
  if (!rows_from(a[0], a[1], a[2], a[3], rows)) return nullptr;
  std::variant<std::unique_ptr<LmmData>, std::string> built;
  if (!without_gil([&] { built = with_response(data_of(self), rows); })) return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) {
    PyErr_SetString(PyExc_ValueError, err->c_str());
    return nullptr;
  }
  // The new core is always of the base class, whatever the receiver's class: the
  // first type in the receiver's MRO that deallocates with our own slot.
  PyTypeObject* core_type = Py_TYPE(self);
  Ref mro(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__mro__"));
  if (!mro || !PyTuple_Check(mro.get())) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
    auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GetItem(mro.get(), i));
    if (PyType_GetSlot(t, Py_tp_dealloc) == reinterpret_cast<void*>(core_dealloc)) {
      core_type = t;
      break;
    }
  }
  return wrap(core_type, std::move(std::get<0>(built)));
}

PyObject* m_conditional_covariances(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_reml_args("conditional_covariances", self, args, nargs, kwnames, theta, reml)) return nullptr;
  const LmmData& d = data_of(self);
  std::optional<std::vector<double>> cov;
  if (!without_gil([&] { cov = conditional_covariances(d, theta, reml); })) return nullptr;
  if (!cov) return infeasible(d);
  const npy_intp m = static_cast<npy_intp>(d.m), q = static_cast<npy_intp>(d.q);
  return new_array(*cov, {m, q, q});
}

PyObject* m_deviance_hessian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_reml_args("deviance_hessian", self, args, nargs, kwnames, theta, reml)) return nullptr;
  const LmmData& d = data_of(self);
  if (d.q != 1) Py_RETURN_NONE;
  std::optional<ScalarHessian> h;
  if (!without_gil([&] { h = scalar_hessian(d, reml, theta[0]); })) return nullptr;
  return PyFloat_FromDouble(h ? h->second : std::numeric_limits<double>::quiet_NaN());
}

PyObject* m_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fit", {"starts", "reml", "max_iter", "gtol", "ftol"}, 1, args, nargs, kwnames, a))
    return nullptr;
  std::vector<double> starts;
  bool reml = true;
  std::uint64_t max_iter = 300;
  double gtol = 1e-8, ftol = 1e-12;
  if (!to_vec(a[0], "starts", starts)) return nullptr;
  if (a[1] && !to_bool(a[1], "reml", reml)) return nullptr;
  if (a[2] && !to_u64(a[2], "max_iter", max_iter)) return nullptr;
  if (a[3] && !to_double(a[3], "gtol", gtol)) return nullptr;
  if (a[4] && !to_double(a[4], "ftol", ftol)) return nullptr;
  const LmmData& d = data_of(self);
  const std::size_t nt = n_theta_of(d.q);
  const char* multiple = "starts must be a non-empty multiple of the theta length";
  if (starts.empty()) {
    PyErr_SetString(PyExc_ValueError, multiple);
    return nullptr;
  }
  for (std::size_t i = 0; i < starts.size(); ++i)
    if (!std::isfinite(starts[i])) {
      PyErr_SetString(PyExc_ValueError, ("starts[" + std::to_string(i) + "] is not finite").c_str());
      return nullptr;
    }
  if (starts.size() % nt != 0) {
    PyErr_SetString(PyExc_ValueError, multiple);
    return nullptr;
  }
  OptimResult best;
  if (!without_gil([&] { best = fit_theta(d, starts, reml, MinimizeOptions{max_iter, gtol, ftol, {}}); }))
    return nullptr;
  FitReport report{best.converged, best.iterations, best.fev, best.grad_inf_norm, best.message};
  return solution_dict(self, best.theta, reml, &report);
}

// Pickling: the state of the design (products, shift, fingerprints; never the rows)
// tagged with the version, restored by _restore_core into the same class. A
// subclass's instance attributes travel as the usual third element.
PyObject* m_reduce(PyObject* self, PyObject*) {
  std::string state;
  if (!without_gil([&] { state = encode_state(data_of(self), kVersion); })) return nullptr;
  Ref bytes(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
  Ref module(PyImport_ImportModule("quorvelkit._quorvelkit"));
  Ref restore(module ? PyObject_GetAttrString(module.get(), "_restore_core") : nullptr);
  if (!bytes || !restore) return nullptr;
  Ref dict(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  if (dict && PyDict_Check(dict.get()) && PyDict_Size(dict.get()) > 0)
    return Py_BuildValue("(O(OO)O)", restore.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), bytes.get(),
                         dict.get());
  return Py_BuildValue("(O(OO))", restore.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), bytes.get());
}

PyObject* restore_core(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_restore_core() takes a class and a state");
    return nullptr;
  }
  Ref base(PyObject_GetAttrString(module, "LmmCore"));
  if (!base) return nullptr;
  if (!PyType_Check(args[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[0]),
                                                   reinterpret_cast<PyTypeObject*>(base.get()))) {
    PyErr_SetString(PyExc_TypeError, "_restore_core() restores LmmCore instances only");
    return nullptr;
  }
  if (!PyBytes_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "an LmmCore state is bytes");
    return nullptr;
  }
  char* buf;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(args[1], &buf, &len) < 0) return nullptr;
  std::variant<std::unique_ptr<LmmData>, std::string> built;
  if (!without_gil([&] { built = decode_state(std::string_view(buf, static_cast<std::size_t>(len)), kVersion); }))
    return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) {
    PyErr_SetString(PyExc_ValueError, err->c_str());
    return nullptr;
  }
  return wrap(reinterpret_cast<PyTypeObject*>(args[0]), std::move(std::get<0>(built)));
}

#define QK_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef core_methods[] = {
    {"deviance", QK_FASTCALL(m_deviance), METH_FASTCALL | METH_KEYWORDS,
     "deviance($self, theta, reml=True)\n--\n\n"
     "Profiled deviance at `theta`. Returns `inf` for an infeasible `theta`.\n\n"
     "A `theta` of the wrong length is a caller error (ValueError), not an\n"
     "infeasible point."},
    {"deviance_grad", QK_FASTCALL(m_deviance_grad), METH_FASTCALL | METH_KEYWORDS,
     "deviance_grad($self, theta, reml=True)\n--\n\n"
     "Profiled deviance and its analytic gradient at `theta`.\n\n"
     "Returns (inf, [nan, ...]) for an infeasible `theta`."},
    {"solution", QK_FASTCALL(m_solution), METH_FASTCALL | METH_KEYWORDS,
     "solution($self, theta, reml=True)\n--\n\n"
     "Every derived quantity at a given `theta`, without re-optimising."},
    {"lower_bounds", m_lower_bounds, METH_NOARGS,
     "lower_bounds($self)\n--\n\n"
     "Lower bounds on `theta`: diagonal entries >= 0, off-diagonals free."},
    {"theta_index", m_theta_index, METH_NOARGS,
     "theta_index($self)\n--\n\n"
     "The (row, column) of Lambda that each entry of `theta` holds, in order."},
    {"default_theta", m_default_theta, METH_NOARGS,
     "default_theta($self)\n--\n\n"
     "The customary starting value: the identity relative covariance factor."},
    {"with_response", QK_FASTCALL(m_with_response), METH_FASTCALL | METH_KEYWORDS,
     "with_response($self, y, x, z, codes)\n--\n\n"
     "The same design with a new response, reusing every design-only product.\n"
     "`x`, `z` and `codes` must be the arrays this core was built from; others\n"
     "are refused (ValueError) by the fingerprints the core took of them."},
    {"conditional_covariances", QK_FASTCALL(m_conditional_covariances), METH_FASTCALL | METH_KEYWORDS,
     "conditional_covariances($self, theta, reml=True)\n--\n\n"
     "`Var(b_i | y)` for every group at `theta`, shape `(m, q, q)`, on the\n"
     "core's own (possibly rescaled) random-effects coordinates."},
    {"deviance_hessian", QK_FASTCALL(m_deviance_hessian), METH_FASTCALL | METH_KEYWORDS,
     "deviance_hessian($self, theta, reml=True)\n--\n\n"
     "Analytic second derivative of the criterion in `theta`, for `q = 1`.\n"
     "Returns `None` when `q > 1` (no analytic Hessian is implemented there)\n"
     "and `nan` for an infeasible `theta`."},
    {"__reduce__", m_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Pickling support: the prepared products and the fingerprints of the rows, not\n"
     "the rows, tagged with the version; another version refuses to load them."},
    {"fit", QK_FASTCALL(m_fit), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, starts, reml=True, max_iter=300, gtol=1e-8, ftol=1e-12)\n--\n\n"
     "Fit by minimising the profiled criterion over `theta` alone.\n\n"
     "`starts` is a flat concatenation of candidate starting vectors; the best\n"
     "result wins. One start is enough: the search runs without bounds (the\n"
     "criterion is even in the sign of each column of Lambda, whose diagonals are\n"
     "reported non-negative), in the natural units of each column of Z, and checks\n"
     "the curvature where a column sits at zero, so it does not stop at a saddle.\n\n"
     "Stops: \"projected gradient below tolerance\" (largest gradient entry below\n"
     "`gtol`) and \"predicted decrease below tolerance\" (the decrease the\n"
     "quasi-Newton model still expects is below `ftol` times max(|criterion|, 1))\n"
     "report converged=True; \"maximum iterations reached\" (`max_iter` passes),\n"
     "\"line search failed\" and \"initial point infeasible\" report False."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot core_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "LmmCore(y, x, z, codes, n_groups, evaluator='auto')\n--\n\n"
                    "Pre-computed cross-products for one grouping factor.\n\n"
                    "When a column of `x` is constant and non-zero (an intercept), the\n"
                    "cross-products are formed from `y` and the columns of `x` that lie far\n"
                    "from zero less centres (medians of a few rows; `z` is never shifted), so\n"
                    "that large means cost no digits: an exact reparameterisation, with the\n"
                    "intercept and `cov_beta` mapped back. Without such a column the rows are\n"
                    "used as given, and `solution` and `fit` warn (RuntimeWarning) when the\n"
                    "criterion may have lost digits enough to matter.\n\n"
                    "A response the fixed effects fit exactly makes every `theta`\n"
                    "infeasible. `with_response` refuses arrays other than the ones the core\n"
                    "was built from (by fingerprints of `codes`, `x` and `z`). A core pickles\n"
                    "its products and fingerprints, not the rows, tagged with the version.")},
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(core_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(core_clear)},
    {Py_tp_methods, core_methods},
    {Py_tp_getset, core_getset},
    {0, nullptr},
};

PyType_Spec core_spec = {
    "quorvelkit._quorvelkit.LmmCore",
    sizeof(CoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    core_slots,
};

// After a fork the forking thread is the child's only thread, and Python makes it
// the one that runs signal handlers.
void signal_thread_after_fork() { g_signal_thread.store(PyThread_get_thread_ident()); }

int module_exec(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  // The importing thread (usually the one that makes every call) sets up what
  // throwing needs now, while memory is surely available; other threads at their
  // first call.
  prepare_thread_for_exceptions();
  {
    Ref threading(PyImport_ImportModule("threading"));
    Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return -1;
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return -1;
    g_signal_thread.store(id);
    static bool registered = false;
    if (!registered) {
      pthread_atfork(nullptr, nullptr, signal_thread_after_fork);
      registered = true;
    }
  }
  PyObject* type = PyType_FromModuleAndSpec(module, &core_spec, nullptr);
  if (!type) {
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", "LmmCore");
    return -1;
  }
  Ref owned(type);
  if (PyModule_AddObjectRef(module, "LmmCore", type) < 0) return -1;
  if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {"_restore_core", QK_FASTCALL(restore_core), METH_FASTCALL,
     "_restore_core(cls, state)\n--\n\nAn LmmCore of class `cls` from a pickled state."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorvelkit",
    "Linear mixed models with one grouping factor: the compiled core.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qk::py

PyMODINIT_FUNC PyInit__quorvelkit(void) { return PyModuleDef_Init(&qk::py::module_def); }
