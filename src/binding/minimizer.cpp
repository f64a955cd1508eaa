// _quorvelkit.minimize: the core's quasi-Newton minimiser on a Python objective.
//
// The objective runs on the calling thread with the interpreter lock held throughout:
// between its calls the minimiser does a few dense products on a handful of
// coordinates, far less than one call of Python costs, so releasing the lock would buy
// nothing. An exception raised by the objective is taken out of the interpreter inside
// the callback, carried through the minimiser as a C++ exception (which unwinds its
// state) and put back unchanged before returning; no C++ exception reaches the
// interpreter.
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "binding/core.hpp"
#include "binding/pyutil.hpp"
#include "optim/minimize.hpp"

namespace qk::py {

namespace {


// One call fun(x) -> (f, g). A value that is not finite marks x infeasible (g is then
// not read); otherwise g must have one number per coordinate.
bool call_objective(PyObject* fun, const std::vector<double>& x, double& f, std::vector<double>& g,
                    Pending& pending) {
  Ref arr(new_array(x, {static_cast<npy_intp>(x.size())}));
  if (!arr) pending.fetch_and_throw();
  Ref out(PyObject_CallFunctionObjArgs(fun, arr.get(), nullptr));
  if (!out) pending.fetch_and_throw();
  if (!is_sequence(out.get()) || PySequence_Size(out.get()) != 2) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "fun must return a pair (f, g), got '%s'", type_name(out.get()).c_str());
    pending.fetch_and_throw();
  }
  Ref value(PySequence_GetItem(out.get(), 0));
  if (!value) pending.fetch_and_throw();
  const double v = PyFloat_AsDouble(value.get());
  if (v == -1.0 && PyErr_Occurred()) pending.fetch_and_throw();
  if (!std::isfinite(v)) return false;
  Ref grad(PySequence_GetItem(out.get(), 1));
  std::vector<double> gv;
  if (!grad || !to_vec(grad.get(), "g", gv)) pending.fetch_and_throw();
  if (gv.size() != x.size()) {
    PyErr_Format(PyExc_ValueError, "fun returned a gradient of %zu entries for %zu coordinates", gv.size(),
                 x.size());
    pending.fetch_and_throw();
  }
  f = v;
  g = std::move(gv);
  return true;
}

bool index_in_range(std::uint64_t i, std::size_t n, const char* what) {
  if (i < n) return true;
  PyErr_Format(PyExc_ValueError, "%s %llu is out of range for %zu coordinates", what,
               static_cast<unsigned long long>(i), n);
  return false;
}

// groups: a sequence of (diagonal, members) pairs, the diagonal among the members.
bool parse_groups(PyObject* obj, std::size_t n, std::vector<SignGroup>& out) {
  if (!is_sequence(obj)) {
    arg_error("groups", "expected a sequence of (diagonal, members) pairs");
    return false;
  }
  const Py_ssize_t count = PySequence_Size(obj);
  if (count < 0) return false;
  for (Py_ssize_t k = 0; k < count; ++k) {
    Ref item(PySequence_GetItem(obj, k));
    if (!item) return false;
    if (!is_sequence(item.get()) || PySequence_Size(item.get()) != 2) {
      PyErr_Clear();
      arg_error("groups", "expected a sequence of (diagonal, members) pairs");
      return false;
    }
    Ref diag(PySequence_GetItem(item.get(), 0)), members(PySequence_GetItem(item.get(), 1));
    std::uint64_t d = 0;
    std::vector<std::uint64_t> ms;
    if (!diag || !members || !to_u64(diag.get(), "groups", d) || !to_u64_vec(members.get(), "groups", ms))
      return false;
    SignGroup grp{static_cast<std::size_t>(d), {}};
    bool has_diagonal = false;
    for (std::uint64_t j : ms) {
      if (!index_in_range(j, n, "group member")) return false;
      grp.members.push_back(static_cast<std::size_t>(j));
      has_diagonal = has_diagonal || j == d;
    }
    if (!has_diagonal) {
      PyErr_Format(PyExc_ValueError, "groups[%zd]: the diagonal %llu is not among the members", k,
                   static_cast<unsigned long long>(d));
      return false;
    }
    out.push_back(std::move(grp));
  }
  return true;
}

// h0: an (n, n) array of numbers.
bool parse_h0(PyObject* obj, std::size_t n, std::vector<double>& out) {
  Ref arr(PyArray_FROMANY(obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_CARRAY_RO));
  if (!arr) {
    name_pending_error("h0");
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  const npy_intp* dims = PyArray_DIMS(a);
  if (static_cast<std::size_t>(dims[0]) != n || static_cast<std::size_t>(dims[1]) != n) {
    PyErr_Format(PyExc_ValueError, "h0 must be %zu x %zu, got %zd x %zd", n, n, static_cast<Py_ssize_t>(dims[0]),
                 static_cast<Py_ssize_t>(dims[1]));
    return false;
  }
  const auto* data = static_cast<const double*>(PyArray_DATA(a));
  out.assign(data, data + n * n);
  return true;
}

PyObject* f_minimize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "minimize() takes 2 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  std::vector<PyObject*> a;
  if (!parse_args("minimize", {"fun", "x0", "fixed", "groups", "gtol", "ftol", "max_iter", "scale", "h0", "stall"},
                  2, args, nargs, kwnames, a))
    return nullptr;
  PyObject* fun = a[0];
  if (!PyCallable_Check(fun)) return arg_error("fun", "'" + type_name(fun) + "' object is not callable");
  std::vector<double> x0;
  if (!to_vec(a[1], "x0", x0)) return nullptr;
  const std::size_t n = x0.size();
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(x0[i])) {
      PyErr_Format(PyExc_ValueError, "x0[%zu] is not finite", i);
      return nullptr;
    }
  MinimizeOptions opt;
  std::vector<std::uint64_t> fixed;
  if (a[2] && !to_u64_vec(a[2], "fixed", fixed)) return nullptr;
  for (std::uint64_t i : fixed) {
    if (!index_in_range(i, n, "fixed coordinate")) return nullptr;
    opt.fixed.push_back(static_cast<std::size_t>(i));
  }
  std::vector<SignGroup> groups;
  if (a[3] && !parse_groups(a[3], n, groups)) return nullptr;
  if (a[4] && !to_double(a[4], "gtol", opt.gtol)) return nullptr;
  if (a[5] && !to_double(a[5], "ftol", opt.ftol)) return nullptr;
  if (a[6] && !to_u64(a[6], "max_iter", opt.max_iter)) return nullptr;
  if (a[7] && a[7] != Py_None) {
    if (!to_vec(a[7], "scale", opt.scale)) return nullptr;
    if (opt.scale.size() != n) {
      PyErr_Format(PyExc_ValueError, "scale has %zu entries for %zu coordinates", opt.scale.size(), n);
      return nullptr;
    }
  }
  if (a[8] && a[8] != Py_None && !parse_h0(a[8], n, opt.h0)) return nullptr;
  if (a[9] && !to_double(a[9], "stall", opt.stall)) return nullptr;

  Pending pending;
  const Objective objective = [&](const std::vector<double>& x, double& f, std::vector<double>& g) {
    return call_objective(fun, x, f, g, pending);
  };
  OptimResult r;
  try {
    r = minimize_symmetric(objective, std::move(x0), groups, opt);
  } catch (const PythonRaised&) {
    pending.restore();
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal failure");
    return nullptr;
  }
  const npy_intp nn = static_cast<npy_intp>(n);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  Ref h;
  if (r.inverse_hessian.empty()) {
    Py_INCREF(Py_None);
    h = Ref(Py_None);
  } else {
    h = Ref(new_array(r.inverse_hessian, {nn, nn}));
  }
  PyObject* o = dict.get();
  const bool ok = set_item(o, "x", new_array(r.theta, {nn})) && set_item(o, "fun", PyFloat_FromDouble(r.deviance)) &&
                  set_item(o, "grad_inf_norm", PyFloat_FromDouble(r.grad_inf_norm)) &&
                  set_item(o, "h", h.release()) && set_item(o, "converged", PyBool_FromLong(r.converged)) &&
                  set_item(o, "message", PyUnicode_FromString(r.message.c_str())) &&
                  set_item(o, "iterations", PyLong_FromUnsignedLongLong(r.iterations)) &&
                  set_item(o, "fev", PyLong_FromUnsignedLongLong(r.fev));
  return ok ? dict.release() : nullptr;
}

}  // namespace

PyMethodDef minimize_functions[] = {
    QK_METHOD("minimize", f_minimize,
              "minimize(fun, x0, *, fixed=(), groups=(), gtol=1e-08, ftol=1e-12, max_iter=300, scale=None, h0=None, "
              "stall=0.0)\n"
              "--\n\n"
              "Minimises fun from x0 with the core's quasi-Newton method (the one LmmCore.fit\n"
              "runs). fun(x) -> (f, g) is called with a new float64 array on the calling thread\n"
              "and returns the value and its gradient (one number per coordinate); a value that\n"
              "is not finite (inf) marks x infeasible, which the line search treats as too long\n"
              "a step. An exception raised by fun propagates unchanged.\n\n"
              "fixed: coordinates held at their values in x0 (their gradient entries are not\n"
              "read). groups: (diagonal, members) pairs, coordinates whose joint negation leaves\n"
              "fun unchanged; at the end each group whose diagonal is negative is negated.\n"
              "gtol, ftol, max_iter, scale: as for LmmCore.fit (scale: typical magnitudes of the\n"
              "coordinates). h0: an initial (n, n) inverse Hessian, used when positive definite.\n"
              "stall: stop once a step decreases f by less than stall * max(|f|, 1) (0: never).\n\n"
              "Returns a dict: x, fun (the value at x), grad_inf_norm, h (the final (n, n)\n"
              "inverse-Hessian model, or None without one), converged, message, iterations and\n"
              "fev (evaluations)."),
    QK_END_METHODS,
};

}  // namespace qk::py
