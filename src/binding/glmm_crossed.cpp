// The CrossedGlmmCore class: a binomial or Poisson mixed model whose random-effects
// terms sit on several grouping factors (Laplace's approximation). An instance owns
// its rows and the layout of its theta (lme4's, as CrossedCore's: term_order), and
// holds no Python references; numeric work runs without the interpreter lock.
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "binding/convert.hpp"
#include "binding/glmm.hpp"
#include "binding/crossed_internal.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/pyutil.hpp"
#include "lmm/glmm/crossed_glmm.hpp"

namespace qk::py {
namespace {

namespace gl = qk::glmm;

struct CrossedGlmmObject {
  PyObject_HEAD
  gl::CrossedModel* model;
  qk::TermLayout* layout;  // theta's layout: the core's entries from it through layout->map
};

gl::CrossedModel& model_of(PyObject* self) { return *reinterpret_cast<CrossedGlmmObject*>(self)->model; }
const qk::ThetaMap& map_of(PyObject* self) { return reinterpret_cast<CrossedGlmmObject*>(self)->layout->map; }

// theta's layout from term_order as CrossedCore takes it; an empty text when a Python
// error is set.
std::variant<qk::TermLayout, std::string> layout_of(PyObject* obj, const gl::CrossedModel& m) {
  std::vector<std::vector<std::uint64_t>> blocks;
  for (const gl::CrossedFactor& f : m.factors) blocks.push_back(f.blocks);
  std::vector<std::pair<std::size_t, std::size_t>> order;
  if (!term_order_of(obj, blocks, order)) return std::string();
  return qk::term_layout(blocks, order);
}

// One factor's tuple (codes, n_levels, z, blocks), copied.
bool factor_of(PyObject* item, std::size_t k, npy_intp n, gl::CrossedFactor& out) {
  const std::string name = "factors[" + std::to_string(k) + "]";
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 4)
    return arg_error(name.c_str(), "expected a tuple (codes, n_levels, z, blocks), got '" + type_name(item) + "'"),
           false;
  ArrayView codes, z;
  const std::string cn = name + ".codes", zn = name + ".z";
  if (!borrow_vector(PyTuple_GetItem(item, 0), cn.c_str(), NPY_INT64, codes) ||
      !borrow_matrix(PyTuple_GetItem(item, 2), zn.c_str(), z))
    return false;
  if (!to_u64(PyTuple_GetItem(item, 1), (name + ".n_levels").c_str(), out.m) ||
      !to_u64_vec(PyTuple_GetItem(item, 3), (name + ".blocks").c_str(), out.blocks))
    return false;
  if (codes.rows != n || z.rows != n) return value_error(name + ": codes and z must have one row per row of y"), false;
  if (out.m == 0) return value_error(name + ".n_levels must be at least 1"), false;
  out.q = static_cast<std::uint64_t>(z.cols);
  const auto* c = data_of<std::int64_t>(codes);
  const auto* zz = data_of<double>(z);
  out.codes.assign(c, c + n);
  out.z.assign(zz, zz + n * z.cols);
  return true;
}

PyObject* cg_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (!parse_tuple_args("CrossedGlmmCore", {"y", "x", "factors", "weights", "offset", "family", "link", "term_order"}, 6, args,
                        kwargs, a))
    return nullptr;
  ArrayView y, x, w, off;
  if (!borrow_vector(a[0], "y", NPY_DOUBLE, y) || !borrow_matrix(a[1], "x", x) ||
      !borrow_vector(a[3], "weights", NPY_DOUBLE, w))
    return nullptr;
  const bool has_offset = a[4] != Py_None;
  if (has_offset && !borrow_vector(a[4], "offset", NPY_DOUBLE, off)) return nullptr;
  auto parsed = family_of(a[5], a[6]);
  if (auto* err = std::get_if<std::string>(&parsed)) return err->empty() ? nullptr : value_error(*err);
  const npy_intp n = y.rows;
  if (x.rows != n || w.rows != n || (has_offset && off.rows != n))
    return value_error("y, x, weights and offset must have one row per observation");
  if (PyUnicode_Check(a[2]) || !PySequence_Check(a[2]))
    return arg_error("factors", "'" + type_name(a[2]) + "' object is not a sequence of factor tuples");
  const Py_ssize_t k = PySequence_Size(a[2]);
  if (k < 0) return nullptr;
  if (k == 0) return value_error("factors must hold at least one grouping factor");
  std::vector<gl::CrossedFactor> factors(static_cast<std::size_t>(k));
  for (Py_ssize_t j = 0; j < k; ++j) {
    Ref item(PySequence_GetItem(a[2], j));
    if (!item || !factor_of(item.get(), static_cast<std::size_t>(j), n, factors[static_cast<std::size_t>(j)]))
      return nullptr;
  }
  std::unique_ptr<gl::CrossedModel> model;
  std::string refused;
  if (!without_gil([&] {
        try {
          model = std::make_unique<gl::CrossedModel>(gl::make_crossed(
              static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(x.cols), data_of<double>(y), data_of<double>(x),
              data_of<double>(w), has_offset ? data_of<double>(off) : nullptr, std::get<gl::Family>(parsed),
              std::move(factors)));
        } catch (const std::invalid_argument& e) {
          refused = e.what();
        }
      }))
    return nullptr;
  if (!model) return value_error(refused);
  auto layout = layout_of(a[7], *model);
  if (auto* err = std::get_if<std::string>(&layout)) return err->empty() ? nullptr : value_error(*err);
  // The layout is made before the instance exists, so that its failure leaves nothing.
  auto owned = std::make_unique<qk::TermLayout>(std::get<qk::TermLayout>(std::move(layout)));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<CrossedGlmmObject*>(self)->model = model.release();
  reinterpret_cast<CrossedGlmmObject*>(self)->layout = owned.release();
  return self;
}

int cg_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int cg_clear(PyObject*) { return 0; }

void cg_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete reinterpret_cast<CrossedGlmmObject*>(self)->model;
  delete reinterpret_cast<CrossedGlmmObject*>(self)->layout;
  reinterpret_cast<CrossedGlmmObject*>(self)->model = nullptr;
  reinterpret_cast<CrossedGlmmObject*>(self)->layout = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

bool lengths_ok(const gl::CrossedModel& m, const std::vector<double>& theta, const std::vector<double>& beta) {
  if (theta.size() != m.theta_offset.back())
    return value_error("theta must have " + std::to_string(m.theta_offset.back()) + " entries"), false;
  if (beta.size() != m.p) return value_error("beta must have " + std::to_string(m.p) + " entries"), false;
  for (double v : theta)
    if (!std::isfinite(v)) return value_error("theta has a value that is not finite"), false;
  for (double v : beta)
    if (!std::isfinite(v)) return value_error("beta has a value that is not finite"), false;
  return true;
}

// (theta, beta, nagq=1) -> value, or (value, gradient) with_grad.
PyObject* at_point(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname,
                   bool with_grad) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"theta", "beta", "nagq"}, 2, args, nargs, kwnames, a)) return nullptr;
  std::vector<double> theta, beta;
  std::uint64_t nagq = 1;
  if (!to_vec(a[0], "theta", theta) || !to_vec(a[1], "beta", beta) || (a[2] && !to_u64(a[2], "nagq", nagq)))
    return nullptr;
  if (nagq != 1) return value_error("models with several grouping factors take nagq = 1 (Laplace) only");
  const gl::CrossedModel& m = model_of(self);
  if (!lengths_ok(m, theta, beta)) return nullptr;
  std::vector<double> scratch;
  const std::vector<double>& entries = map_of(self).entries(theta, scratch);
  double value = INFINITY;
  std::vector<double> grad(theta.size() + beta.size(), NAN);
  bool ok = false;
  if (!without_gil([&] {
        ok = gl::crossed_evaluate(m, entries, beta.data(), value, nullptr, with_grad ? grad.data() : nullptr);
      }))
    return nullptr;
  if (!ok) value = INFINITY;
  if (!with_grad) return PyFloat_FromDouble(value);
  map_of(self).pull_back(theta, grad);
  Ref g(new_array(grad, {static_cast<npy_intp>(grad.size())}));
  if (!g) return nullptr;
  return Py_BuildValue("(dO)", value, g.get());
}

PyObject* m_criterion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_point(self, args, nargs, kwnames, "criterion", false);
}

PyObject* m_gradient(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_point(self, args, nargs, kwnames, "gradient", true);
}

PyObject* m_criterion0(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("criterion0", {"theta", "beta0"}, 1, args, nargs, kwnames, a)) return nullptr;
  const gl::CrossedModel& m = model_of(self);
  std::vector<double> theta, beta0(m.p, 0.0);
  if (!to_vec(a[0], "theta", theta) || (a[1] && !to_vec(a[1], "beta0", beta0))) return nullptr;
  if (!lengths_ok(m, theta, beta0)) return nullptr;
  std::vector<double> scratch;
  const std::vector<double>& entries = map_of(self).entries(theta, scratch);
  double value = INFINITY;
  std::vector<double> beta(m.p, NAN);
  bool ok = false;
  if (!without_gil([&] { ok = gl::crossed_joint(m, entries, beta0.data(), value, beta.data(), nullptr); }))
    return nullptr;
  Ref b(new_array(beta, {static_cast<npy_intp>(beta.size())}));
  if (!b) return nullptr;
  return Py_BuildValue("(dO)", ok ? value : INFINITY, b.get());
}

PyObject* m_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fit", {"nagq", "theta", "beta", "max_iter"}, 0, args, nargs, kwnames, a)) return nullptr;
  const gl::CrossedModel& m = model_of(self);
  gl::FitOptions o;
  if (!fit_options_of(a, o)) return nullptr;
  if (o.nagq > 1) return value_error("models with several grouping factors take nagq = 0 or 1 (Laplace) only");
  if (!o.theta.empty() && o.theta.size() != m.theta_offset.back()) return value_error("theta has the wrong length");
  if (!o.beta.empty() && o.beta.size() != m.p) return value_error("beta has the wrong length");
  const qk::ThetaMap& map = map_of(self);
  if (!o.theta.empty() && !map.is_identity()) o.theta = map.entries(o.theta);
  gl::FitResult res;
  if (!without_gil([&] { res = gl::crossed_fit(m, o); })) return nullptr;
  std::vector<double> u = std::move(res.u), b = std::move(res.b), cv = std::move(res.cond_var);
  Ref d(fit_dict(res, o.nagq, m.n, m.p, map));
  Ref ul(PyList_New(0)), bl(PyList_New(0)), cl(PyList_New(0));
  if (!d || !ul || !bl || !cl) return nullptr;
  std::size_t at = 0, atc = 0;
  for (const gl::CrossedFactor& f : m.factors) {
    const auto mq = static_cast<npy_intp>(f.m), q = static_cast<npy_intp>(f.q);
    const std::size_t len = f.m * f.q, lenc = f.m * f.q * f.q;
    Ref uj(new_array(std::vector<double>(u.begin() + static_cast<std::ptrdiff_t>(at),
                                         u.begin() + static_cast<std::ptrdiff_t>(at + len)),
                     {mq, q}));
    Ref bj(new_array(std::vector<double>(b.begin() + static_cast<std::ptrdiff_t>(at),
                                         b.begin() + static_cast<std::ptrdiff_t>(at + len)),
                     {mq, q}));
    Ref cj(new_array(std::vector<double>(cv.begin() + static_cast<std::ptrdiff_t>(atc),
                                         cv.begin() + static_cast<std::ptrdiff_t>(atc + lenc)),
                     {mq, q, q}));
    if (!uj || !bj || !cj || PyList_Append(ul.get(), uj.get()) < 0 || PyList_Append(bl.get(), bj.get()) < 0 ||
        PyList_Append(cl.get(), cj.get()) < 0)
      return nullptr;
    at += len;
    atc += lenc;
  }
  if (!set_item(d.get(), "u", ul.release()) || !set_item(d.get(), "b", bl.release()) ||
      !set_item(d.get(), "cond_var", cl.release()))
    return nullptr;
  return d.release();
}

PyObject* g_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(model_of(self).n); }
PyObject* g_p(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(model_of(self).p); }
PyObject* g_n_theta(PyObject* self, void*) { return PyLong_FromSize_t(model_of(self).theta_offset.back()); }
PyObject* g_family(PyObject* self, void*) { return PyUnicode_FromString(model_of(self).family.def->name); }
PyObject* g_link(PyObject* self, void*) { return PyUnicode_FromString(model_of(self).family.link->name); }

PyGetSetDef cg_getset[] = {
    {"n", QK_ENTRY(g_n), nullptr, "Number of rows.", nullptr},
    {"p", QK_ENTRY(g_p), nullptr, "Number of fixed-effect columns.", nullptr},
    {"n_theta", QK_ENTRY(g_n_theta), nullptr, "Length of theta.", nullptr},
    {"family", QK_ENTRY(g_family), nullptr, "The family's name.", nullptr},
    {"link", QK_ENTRY(g_link), nullptr, "The link's name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef cg_methods[] = {
    {"criterion", QK_FASTCALL(m_criterion), METH_FASTCALL | METH_KEYWORDS,
     "criterion($self, theta, beta, nagq=1)\n--\n\n"
     "-2 log-likelihood by Laplace's approximation (all constants included); inf where the\n"
     "conditional modes cannot be found."},
    {"gradient", QK_FASTCALL(m_gradient), METH_FASTCALL | METH_KEYWORDS,
     "gradient($self, theta, beta, nagq=1)\n--\n\nThe Laplace criterion and its exact gradient over (theta, beta), theta first."},
    {"criterion0", QK_FASTCALL(m_criterion0), METH_FASTCALL | METH_KEYWORDS,
     "criterion0($self, theta, beta0=None)\n--\n\n"
     "nAGQ = 0: (criterion, beta) with beta from PIRLS over (u, beta) jointly, started at beta0."},
    {"fit", QK_FASTCALL(m_fit), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, nagq=1, theta=None, beta=None, max_iter=300)\n--\n\n"
     "The maximum-likelihood fit, as GlmmCore.fit; u, b and cond_var are lists with one\n"
     "array per factor."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot cg_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CrossedGlmmCore(y, x, factors, weights, offset, family, link=None, term_order=None)\n--\n\n"
                    "A binomial or Poisson mixed model whose random-effects terms sit on several\n"
                    "grouping factors, crossed or nested; `factors` as CrossedCore takes them\n"
                    "(codes, n_levels, z, blocks), most levels first, and theta laid out as\n"
                    "CrossedCore's `term_order` says.")},
    {Py_tp_new, reinterpret_cast<void*>(QK_ENTRY(cg_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(cg_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(cg_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cg_clear)},
    {Py_tp_methods, cg_methods},
    {Py_tp_getset, cg_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec crossed_glmm_spec = {
    "quorvelkit._quorvelkit.CrossedGlmmCore",
    sizeof(CrossedGlmmObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    cg_slots,
};

}  // namespace qk::py
