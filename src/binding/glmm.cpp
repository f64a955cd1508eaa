// The GlmmCore class: a binomial or Poisson mixed model with one grouping factor. An
// instance owns its rows sorted by group and holds no Python references; all numeric
// work runs with the interpreter lock released.
#include "binding/glmm.hpp"

#include "binding/glmm_internal.hpp"

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>

#include "binding/convert.hpp"
#include "binding/pyutil.hpp"
#include "lmm/glmm/glmm.hpp"

namespace qk::py {
namespace {

namespace gl = qk::glmm;

struct GlmmObject {
  PyObject_HEAD
  gl::Rows* rows;
};

gl::Rows& rows_of(PyObject* self) { return *reinterpret_cast<GlmmObject*>(self)->rows; }

}  // namespace

bool text_of(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    arg_error(name, "expected a str, got '" + type_name(obj) + "'");
    return false;
  }
  Py_ssize_t len;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) return false;
  out.assign(s, static_cast<std::size_t>(len));
  return true;
}

std::variant<qk::glmm::Family, std::string> family_of(PyObject* family, PyObject* link) {
  std::string f, l;
  if (!text_of(family, "family", f)) return std::string();
  if (link && link != Py_None && !text_of(link, "link", l)) return std::string();
  return qk::glmm::parse_family(f, l);
}

bool fit_options_of(const std::vector<PyObject*>& a, qk::glmm::FitOptions& o) {
  std::uint64_t k = 1;
  if (a[0] && !to_u64(a[0], "nagq", k)) return false;
  if (k > 25) return value_error("nagq must be at most 25"), false;
  o.nagq = static_cast<int>(k);
  if (a[1] && a[1] != Py_None && !to_vec(a[1], "theta", o.theta)) return false;
  if (a[2] && a[2] != Py_None && !to_vec(a[2], "beta", o.beta)) return false;
  if (a[3] && !to_u64(a[3], "max_iter", o.max_iter)) return false;
  for (double v : o.theta)
    if (!std::isfinite(v)) return value_error("theta has a value that is not finite"), false;
  for (double v : o.beta)
    if (!std::isfinite(v)) return value_error("beta has a value that is not finite"), false;
  return true;
}

PyObject* fit_dict(qk::glmm::FitResult& res, int nagq, std::uint64_t n, std::uint64_t p, const qk::ThetaMap& map) {
  if (!map.is_identity()) {
    res.theta = map.params(res.theta);
    if (res.grad.size() >= map.n_entries()) map.pull_back(res.theta, res.grad);
    if (!res.hessian.empty()) res.hessian = map.square_to_params(res.hessian);
  }
  const auto nt = static_cast<npy_intp>(res.theta.size()), pp = static_cast<npy_intp>(p),
             nn = static_cast<npy_intp>(n);
  const npy_intp ng = static_cast<npy_intp>(res.grad.size()), nh = nt + pp;
  Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok = set_item(d.get(), "theta", array_taking(std::move(res.theta), {nt})) &&
                  set_item(d.get(), "beta", array_taking(std::move(res.beta), {pp})) &&
                  set_item(d.get(), "m2loglik", PyFloat_FromDouble(res.m2loglik)) &&
                  set_item(d.get(), "nagq", PyLong_FromLong(nagq)) &&
                  set_item(d.get(), "fev_stage1", PyLong_FromUnsignedLongLong(res.fev_stage1)) &&
                  set_item(d.get(), "grad", array_taking(std::move(res.grad), {ng})) &&
                  set_item(d.get(), "eta", array_taking(std::move(res.eta), {nn})) &&
                  set_item(d.get(), "mu", array_taking(std::move(res.mu), {nn})) &&
                  set_item(d.get(), "vcov", array_taking(std::move(res.vcov), {pp, pp})) &&
                  set_item(d.get(), "vcov_rx", array_taking(std::move(res.vcov_rx), {pp, pp})) &&
                  set_item(d.get(), "vcov_source", PyUnicode_FromString(res.vcov_from_hessian ? "hessian" : "rx")) &&
                  set_item(d.get(), "hessian",
                           res.hessian.empty() ? Py_NewRef(Py_None) : array_taking(std::move(res.hessian), {nh, nh})) &&
                  set_report(d.get(), {res.converged, res.iterations, res.fev, res.grad_inf_norm, res.message});
  if (!ok) return nullptr;
  return d.release();
}

namespace {

PyObject* glmm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (!parse_tuple_args("GlmmCore",
                        {"y", "x", "z", "codes", "n_groups", "blocks", "weights", "offset", "family", "link"}, 9, args,
                        kwargs, a))
    return nullptr;
  ArrayView y, x, z, codes, w, off;
  if (!borrow_vector(a[0], "y", NPY_DOUBLE, y) || !borrow_matrix(a[1], "x", x) || !borrow_matrix(a[2], "z", z) ||
      !borrow_vector(a[3], "codes", NPY_INT64, codes))
    return nullptr;
  std::uint64_t m;
  std::vector<std::uint64_t> blocks;
  if (!to_u64(a[4], "n_groups", m) || !to_u64_vec(a[5], "blocks", blocks)) return nullptr;
  if (!borrow_vector(a[6], "weights", NPY_DOUBLE, w)) return nullptr;
  const bool has_offset = a[7] != Py_None;
  if (has_offset && !borrow_vector(a[7], "offset", NPY_DOUBLE, off)) return nullptr;
  auto parsed = family_of(a[8], a[9]);
  if (auto* err = std::get_if<std::string>(&parsed)) return err->empty() ? nullptr : value_error(*err);
  const npy_intp n = y.rows;
  if (x.rows != n || z.rows != n || codes.rows != n || w.rows != n || (has_offset && off.rows != n))
    return value_error("y, x, z, codes, weights and offset must have one row per observation");
  if (m == 0) return value_error("n_groups must be at least 1");
  gl::RowInput in{static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(x.cols), static_cast<std::uint64_t>(z.cols),
                  m, data_of<double>(y), data_of<double>(x), data_of<double>(z), data_of<std::int64_t>(codes),
                  data_of<double>(w), has_offset ? data_of<double>(off) : nullptr};
  std::unique_ptr<gl::Rows> rows;
  std::string refused;
  if (!without_gil([&] {
        try {
          rows = std::make_unique<gl::Rows>(gl::make_rows(in, std::get<gl::Family>(parsed), blocks));
        } catch (const std::invalid_argument& e) {
          refused = e.what();
        }
      }))
    return nullptr;
  if (!rows) return value_error(refused);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<GlmmObject*>(self)->rows = rows.release();
  return self;
}

int glmm_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int glmm_clear(PyObject*) { return 0; }

void glmm_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete reinterpret_cast<GlmmObject*>(self)->rows;
  reinterpret_cast<GlmmObject*>(self)->rows = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// One factor's theta is its Lambda's entries: the identity map (a structured
// covariance of the factor would build its map here).
qk::ThetaMap map_of(PyObject* self) { return qk::ThetaMap::identity(rows_of(self).idx.size()); }

// theta and beta of the model's lengths, finite.
bool point_ok(PyObject* self, const std::vector<double>& theta, const std::vector<double>& beta) {
  const gl::Rows& r = rows_of(self);
  if (theta.size() != r.idx.size())
    return value_error("theta must have " + std::to_string(r.idx.size()) + " entries, got " +
                       std::to_string(theta.size())),
           false;
  if (beta.size() != r.p)
    return value_error("beta must have " + std::to_string(r.p) + " entries, got " + std::to_string(beta.size())),
           false;
  for (double v : theta)
    if (!std::isfinite(v)) return value_error("theta has a value that is not finite"), false;
  for (double v : beta)
    if (!std::isfinite(v)) return value_error("beta has a value that is not finite"), false;
  return true;
}

bool nagq_of(PyObject* obj, int& nagq) {
  std::uint64_t k = 1;
  if (obj && !to_u64(obj, "nagq", k)) return false;
  if (k > 25) return value_error("nagq must be at most 25"), false;
  nagq = static_cast<int>(k);
  return true;
}

// (theta, beta, nagq=1) -> (value, grad or None); the value is inf where the modes
// cannot be found.
PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname,
                      bool with_grad) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"theta", "beta", "nagq"}, 2, args, nargs, kwnames, a)) return nullptr;
  std::vector<double> theta, beta;
  int nagq;
  if (!to_vec(a[0], "theta", theta) || !to_vec(a[1], "beta", beta) || !nagq_of(a[2], nagq)) return nullptr;
  if (!point_ok(self, theta, beta)) return nullptr;
  if (nagq == 0) return value_error("nagq = 0 is a function of theta alone: use criterion0");
  const gl::Rows& r = rows_of(self);
  const qk::ThetaMap map = map_of(self);
  std::vector<double> scratch;
  const std::vector<double>& entries = map.entries(theta, scratch);
  double value = INFINITY;
  std::vector<double> grad(theta.size() + beta.size(), NAN);
  bool ok = false;
  if (!without_gil([&] {
        ok = gl::evaluate(r, gl::lambda_of(r, entries), beta.data(), nagq, value, with_grad ? grad.data() : nullptr,
                          nullptr);
      }))
    return nullptr;
  if (!ok) value = INFINITY;
  if (!with_grad) return PyFloat_FromDouble(value);
  if (nagq > 1) return value_error("the exact gradient is for nagq = 1 (Laplace)");
  map.pull_back(theta, grad);
  Ref g(new_array(grad, {static_cast<npy_intp>(grad.size())}));
  if (!g) return nullptr;
  return Py_BuildValue("(dO)", value, g.get());
}

PyObject* m_criterion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return evaluate_at(self, args, nargs, kwnames, "criterion", false);
}

PyObject* m_gradient(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return evaluate_at(self, args, nargs, kwnames, "gradient", true);
}

PyObject* m_criterion0(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("criterion0", {"theta", "beta0"}, 1, args, nargs, kwnames, a)) return nullptr;
  const gl::Rows& r = rows_of(self);
  std::vector<double> theta, beta0(r.p, 0.0);
  if (!to_vec(a[0], "theta", theta) || (a[1] && !to_vec(a[1], "beta0", beta0))) return nullptr;
  if (!point_ok(self, theta, beta0)) return nullptr;
  std::vector<double> scratch;
  const std::vector<double>& entries = map_of(self).entries(theta, scratch);
  double value = INFINITY;
  std::vector<double> beta(r.p, NAN);
  bool ok = false;
  if (!without_gil([&] { ok = gl::evaluate_joint(r, gl::lambda_of(r, entries), beta0.data(), value, beta.data(), nullptr); }))
    return nullptr;
  Ref b(new_array(beta, {static_cast<npy_intp>(beta.size())}));
  if (!b) return nullptr;
  return Py_BuildValue("(dO)", ok ? value : INFINITY, b.get());
}

PyObject* m_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fit", {"nagq", "theta", "beta", "max_iter"}, 0, args, nargs, kwnames, a)) return nullptr;
  const gl::Rows& r = rows_of(self);
  gl::FitOptions o;
  if (!fit_options_of(a, o)) return nullptr;
  if (!o.theta.empty() && o.theta.size() != r.idx.size()) return value_error("theta has the wrong length");
  if (!o.beta.empty() && o.beta.size() != r.p) return value_error("beta has the wrong length");
  const qk::ThetaMap map = map_of(self);
  if (!o.theta.empty() && !map.is_identity()) o.theta = map.entries(o.theta);
  gl::FitResult res;
  if (!without_gil([&] { res = gl::fit(r, o); })) return nullptr;
  const auto q = static_cast<npy_intp>(r.q), m = static_cast<npy_intp>(r.m);
  std::vector<double> u = std::move(res.u), b = std::move(res.b), cv = std::move(res.cond_var);
  Ref d(fit_dict(res, o.nagq, r.n, r.p, map));
  if (!d || !set_item(d.get(), "u", array_taking(std::move(u), {m, q})) ||
      !set_item(d.get(), "b", array_taking(std::move(b), {m, q})) ||
      !set_item(d.get(), "cond_var", array_taking(std::move(cv), {m, q, q})))
    return nullptr;
  return d.release();
}

PyObject* g_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(rows_of(self).n); }
PyObject* g_p(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(rows_of(self).p); }
PyObject* g_q(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(rows_of(self).q); }
PyObject* g_m(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(rows_of(self).m); }
PyObject* g_n_theta(PyObject* self, void*) { return PyLong_FromSize_t(rows_of(self).idx.size()); }
PyObject* g_family(PyObject* self, void*) { return PyUnicode_FromString(rows_of(self).family.def->name); }
PyObject* g_link(PyObject* self, void*) { return PyUnicode_FromString(rows_of(self).family.link->name); }

PyGetSetDef glmm_getset[] = {
    {"n", QK_ENTRY(g_n), nullptr, "Number of rows.", nullptr},
    {"p", QK_ENTRY(g_p), nullptr, "Number of fixed-effect columns.", nullptr},
    {"q", QK_ENTRY(g_q), nullptr, "Random-effect columns per group.", nullptr},
    {"m", QK_ENTRY(g_m), nullptr, "Number of groups.", nullptr},
    {"n_theta", QK_ENTRY(g_n_theta), nullptr, "Length of theta.", nullptr},
    {"family", QK_ENTRY(g_family), nullptr, "The family's name.", nullptr},
    {"link", QK_ENTRY(g_link), nullptr, "The link's name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef glmm_methods[] = {
    {"criterion", QK_FASTCALL(m_criterion), METH_FASTCALL | METH_KEYWORDS,
     "criterion($self, theta, beta, nagq=1)\n--\n\n"
     "-2 log-likelihood (all constants included) by Laplace's approximation (nagq=1) or\n"
     "adaptive Gauss-Hermite quadrature with nagq**q nodes per group; inf where the\n"
     "conditional modes cannot be found."},
    {"gradient", QK_FASTCALL(m_gradient), METH_FASTCALL | METH_KEYWORDS,
     "gradient($self, theta, beta, nagq=1)\n--\n\n"
     "The Laplace criterion and its exact gradient over (theta, beta), theta first."},
    {"criterion0", QK_FASTCALL(m_criterion0), METH_FASTCALL | METH_KEYWORDS,
     "criterion0($self, theta, beta0=None)\n--\n\n"
     "nAGQ = 0: (criterion, beta) with beta from PIRLS over (u, beta) jointly, started at beta0."},
    {"fit", QK_FASTCALL(m_fit), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, nagq=1, theta=None, beta=None, max_iter=300)\n--\n\n"
     "The maximum-likelihood fit: nAGQ = 0 over theta, then (nagq >= 1) the criterion over\n"
     "(theta, beta); the estimates, modes, covariances and the optimiser's report as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot glmm_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "GlmmCore(y, x, z, codes, n_groups, blocks, weights, offset, family, link=None)\n--\n\n"
                    "A generalized linear mixed model (binomial or Poisson) with random-effects\n"
                    "terms on one grouping factor. y is the proportion of successes (binomial)\n"
                    "or the count; weights the prior weights (binomial: the trials); offset None\n"
                    "or one value per row; link None for the family's canonical link.")},
    {Py_tp_new, reinterpret_cast<void*>(QK_ENTRY(glmm_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(glmm_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(glmm_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(glmm_clear)},
    {Py_tp_methods, glmm_methods},
    {Py_tp_getset, glmm_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec glmm_spec = {
    "quorvelkit._quorvelkit.GlmmCore",
    sizeof(GlmmObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    glmm_slots,
};

}  // namespace qk::py
