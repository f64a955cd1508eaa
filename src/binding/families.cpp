// Module functions over the GLMM family table: families() lists it, and the
// family_* functions apply one entry's function to float64 vectors, so the Python
// package computes means, variances and deviances with the core's own arithmetic.
#include "binding/families.hpp"

#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "binding/convert.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/pyutil.hpp"
#include "lmm/glmm/family.hpp"
#include "lmm/glmm/group.hpp"

namespace qk::py {
namespace {

namespace gl = qk::glmm;

PyObject* f_families(PyObject*, PyObject*) {
  Ref out(PyDict_New());
  if (!out) return nullptr;
  for (const gl::FamilyDef& f : gl::families()) {
    Ref names(PyTuple_New(static_cast<Py_ssize_t>(f.links.size())));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < f.links.size(); ++i) {
      PyObject* name = PyUnicode_FromString(f.links[i]->name);
      if (!name) return nullptr;
      PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    Ref entry(PyDict_New());
    if (!entry || !set_item(entry.get(), "links", names.release()) ||
        !set_item(entry.get(), "dispersion", PyBool_FromLong(f.dispersion)) ||
        PyDict_SetItemString(out.get(), f.name, entry.get()) < 0)
      return nullptr;
  }
  return out.release();
}

// The vectors named in `names` after the first argument (a family's or link's name):
// equal lengths, float64, C-contiguous.
bool vectors_of(const char* fname, const std::vector<const char*>& names, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::string& key, std::vector<const double*>& data, npy_intp& n) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, names, names.size(), args, nargs, kwnames, a) || !text_of(a[0], names[0], key)) return false;
  for (std::size_t i = 1; i < names.size(); ++i) {
    ArrayView v;
    if (!borrow_vector(a[i], names[i], NPY_DOUBLE, v)) return false;
    if (i > 1 && v.rows != n) return value_error(std::string(fname) + ": the vectors must have one length"), false;
    n = v.rows;
    data.push_back(data_of<double>(v));
  }
  return true;
}

gl::Family family_named(const std::string& name, bool& ok) {
  auto parsed = gl::parse_family(name, "");
  ok = std::holds_alternative<gl::Family>(parsed);
  if (!ok) return value_error(std::get<std::string>(parsed)), gl::Family{};
  return std::get<gl::Family>(parsed);
}

// out[i] = fn(i) for i < n, with the interpreter lock released.
template <class Fn>
PyObject* rows_array(npy_intp n, Fn fn) {
  std::vector<double> out(static_cast<std::size_t>(n));
  if (!without_gil([&] {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = fn(i);
      }))
    return nullptr;
  return array_taking(std::move(out), {n});
}

PyObject* f_linkinv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string name;
  std::vector<const double*> v;
  npy_intp n = 0;
  if (!vectors_of("family_linkinv", {"link", "eta"}, args, nargs, kwnames, name, v, n)) return nullptr;
  const gl::LinkDef* link = gl::find_link(name);
  if (!link) return value_error("unknown link " + quoted(name));
  return rows_array(n, [&](std::size_t i) { return link->linkinv(v[0][i]); });
}

PyObject* f_mu_eta(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string name;
  std::vector<const double*> v;
  npy_intp n = 0;
  if (!vectors_of("family_mu_eta", {"link", "eta"}, args, nargs, kwnames, name, v, n)) return nullptr;
  const gl::LinkDef* link = gl::find_link(name);
  if (!link) return value_error("unknown link " + quoted(name));
  return rows_array(n, [&](std::size_t i) { return link->mu_eta(v[0][i]); });
}

// The weight of each row in the Laplace approximation's curvature, as the cores take it
// (row_state's): the observed information -d2 or the Fisher weight, at the family's
// parameters row by row (zi NaN: no inflation).
PyObject* f_laplace_weights(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  const std::vector<const char*> names{"family", "link", "observed", "y", "eta", "w", "phi", "power", "zi"};
  if (!parse_args("family_laplace_weights", names, names.size(), args, nargs, kwnames, a)) return nullptr;
  std::string family, link;
  if (!text_of(a[0], "family", family) || !text_of(a[1], "link", link)) return nullptr;
  const int observed = PyObject_IsTrue(a[2]);
  if (observed < 0) return nullptr;
  auto parsed = gl::parse_family(family, link);
  if (!std::holds_alternative<gl::Family>(parsed)) return value_error(std::get<std::string>(parsed));
  gl::Family base = std::get<gl::Family>(parsed);
  base.observed = observed != 0;
  std::vector<const double*> v;
  npy_intp n = 0;
  for (std::size_t i = 3; i < names.size(); ++i) {
    ArrayView view;
    if (!borrow_vector(a[i], names[i], NPY_DOUBLE, view)) return nullptr;
    if (i > 3 && view.rows != n) return value_error("family_laplace_weights: the vectors must have one length");
    n = view.rows;
    v.push_back(data_of<double>(view));
  }
  return rows_array(n, [&](std::size_t i) {
    gl::Family f = base;
    f.phi = v[3][i];
    f.power = v[4][i];
    f.inflated = !std::isnan(v[5][i]);
    f.zi = f.inflated ? v[5][i] : 0.0;
    return gl::detail::row_state(f, v[0][i], v[1][i], v[2][i]).weight;
  });
}

PyObject* f_variance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string name;
  std::vector<const double*> v;
  npy_intp n = 0;
  bool ok = false;
  if (!vectors_of("family_variance", {"family", "mu", "phi"}, args, nargs, kwnames, name, v, n)) return nullptr;
  const gl::Family f = family_named(name, ok);
  if (!ok) return nullptr;
  return rows_array(n, [&](std::size_t i) { return f.def->variance(v[0][i], v[1][i]); });
}

PyObject* f_dev_resid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string name;
  std::vector<const double*> v;
  npy_intp n = 0;
  bool ok = false;
  if (!vectors_of("family_dev_resid", {"family", "y", "mu", "w", "phi"}, args, nargs, kwnames, name, v, n))
    return nullptr;
  const gl::Family f = family_named(name, ok);
  if (!ok) return nullptr;
  return rows_array(n, [&](std::size_t i) { return f.def->dev_resid(v[0][i], v[1][i], v[2][i], v[3][i]); });
}

}  // namespace

PyMethodDef family_functions[] = {
    QK_NOARGS("families", f_families, "families()\n--\n\n"
              "The GLMM families by R's names: for each, its links (R's names, the canonical one first) "
              "and whether it has a dispersion parameter."),
    QK_METHOD("family_linkinv", f_linkinv, "family_linkinv(link, eta)\n--\n\n"
              "The mean of each linear predictor under `link`, clamped as R clamps it."),
    QK_METHOD("family_mu_eta", f_mu_eta, "family_mu_eta(link, eta)\n--\n\n"
              "d mu / d eta at each linear predictor under `link` (R's mu.eta, with its floor)."),
    QK_METHOD("family_laplace_weights", f_laplace_weights,
              "family_laplace_weights(family, link, observed, y, eta, w, phi, power, zi)\n--\n\n"
              "Each row's weight in the Laplace approximation's curvature, as the cores take it:\n"
              "-d2 loglik / d eta2 when `observed`, else the Fisher weight, at the row's phi,\n"
              "Tweedie power and zero-inflation probability (NaN: none)."),
    QK_METHOD("family_variance", f_variance, "family_variance(family, mu, phi)\n--\n\n"
              "The variance function V(mu) of `family` at each mean (R's family$variance; a\n"
              "negative binomial's at its phi, every other family ignoring phi)."),
    QK_METHOD("family_dev_resid", f_dev_resid, "family_dev_resid(family, y, mu, w, phi)\n--\n\n"
              "Each row's unit deviance times its prior weight (R's dev.resids; NaN for a family\n"
              "without one)."),
    QK_END_METHODS,
};

}  // namespace qk::py
