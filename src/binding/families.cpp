// Module functions over the GLMM family table: families() lists it, and the
// family_* functions apply one entry's function to float64 vectors, so the Python
// package computes means, variances and deviances with the core's own arithmetic.
#include "binding/families.hpp"

#include <string>
#include <variant>
#include <vector>

#include "binding/convert.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/pyutil.hpp"
#include "lmm/glmm/family.hpp"

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
    QK_METHOD("family_variance", f_variance, "family_variance(family, mu, phi)\n--\n\n"
              "The variance function V(mu) of `family` at each mean (R's family$variance; a\n"
              "negative binomial's at its phi, every other family ignoring phi)."),
    QK_METHOD("family_dev_resid", f_dev_resid, "family_dev_resid(family, y, mu, w, phi)\n--\n\n"
              "Each row's unit deviance times its prior weight (R's dev.resids; NaN for a family\n"
              "without one)."),
    QK_END_METHODS,
};

}  // namespace qk::py
