// The LmmCore class: one prepared design behind the criterion methods, the fit and
// pickling. core.cpp holds the type (construction, lifetime, attributes, pickling),
// methods.cpp the criterion methods and the fit.
#pragma once

#include <array>
#include <memory>

#include "binding/heap_type.hpp"
#include "binding/numpy.hpp"
#include "lmm/prepare/data.hpp"

namespace qk::py {

// The package's version: the module's __version__ and the tag of pickled cores.
inline constexpr const char* kVersion = "0.2.0";

// An instance owns exactly one prepared design and holds no Python references.
struct CoreObject {
  PyObject_HEAD
  LmmData* data;
  std::array<PyObject**, 0> refs() { return {}; }
  void free_owned() { delete data; data = nullptr; }
};

inline LmmData& data_of(PyObject* self) { return *reinterpret_cast<CoreObject*>(self)->data; }

// Wraps a prepared design in a new instance of `type`.
PyObject* wrap(PyTypeObject* type, std::unique_ptr<LmmData> data);

// The evaluator argument by name ("auto", "blocks", "aggregated", "streaming");
// TypeError or ValueError set on failure.
bool parse_evaluator(PyObject* obj, Evaluator& evaluator);

// LmmCore.from_products(products, evaluator="auto") (products.cpp).
PyObject* m_from_products(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The module function minimize (minimizer.cpp).
extern PyMethodDef minimize_functions[];

// The methods table (methods.cpp), including the two the type defines itself.
extern PyMethodDef core_methods[];
PyObject* m_with_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* m_fixed_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* m_reduce(PyObject* self, PyObject*);

// The class's definition; the module creates the class from it.
extern const TypeDef core_type;

// _restore_core(cls, state): an LmmCore of class cls from a pickled state.
PyObject* restore_core(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace qk::py
