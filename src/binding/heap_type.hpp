// The module's classes as heap types from one definition each: every class collects
// garbage, its instances keep their type alive, and its lifetime slots come from the
// instance struct T, which provides
//   refs():       the Python references the instance holds (std::array of PyObject**),
//   free_owned(): deletes the C++ objects it owns (null after; called once, on dealloc).
#pragma once

#include <Python.h>

#include <array>

#include "binding/pyutil.hpp"

namespace qk::py {

template <class T>
struct Instance {
  static T& of(PyObject* self) { return *reinterpret_cast<T*>(self); }

  // A new, zeroed instance of `type` (a subclass's too); nullptr with the error set.
  static T* alloc(PyTypeObject* type) {
    auto fn = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return reinterpret_cast<T*>(fn(type, 0));
  }

  static int traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject** r : of(self).refs()) Py_VISIT(*r);
    Py_VISIT(Py_TYPE(self));
    return 0;
  }

  static int clear(PyObject* self) {
    for (PyObject** r : of(self).refs()) Py_CLEAR(*r);
    return 0;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    of(self).free_owned();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
  }
};

// What a class is made of. `tp_new` is installed as given (behind QK_ENTRY); a class
// without one cannot be instantiated (a base class whose subclasses can). Null
// `methods` or `getset`: none of its own.
struct TypeDef {
  const char* name;  // qualified, "quorvelkit._quorvelkit.Name"; the module attribute is Name
  const char* doc;
  newfunc tp_new;
  PyMethodDef* methods;
  PyGetSetDef* getset;
  bool subclassable;
  int basicsize;
  destructor dealloc;
  traverseproc traverse;
  inquiry clear;
};

// The definition of a class whose instances are T.
template <class T>
TypeDef type_def(const char* name, const char* doc, newfunc tp_new, PyMethodDef* methods, PyGetSetDef* getset,
                 bool subclassable = false) {
  return {name,      doc, tp_new, methods, getset, subclassable, static_cast<int>(sizeof(T)), &Instance<T>::dealloc,
          &Instance<T>::traverse, &Instance<T>::clear};
}

// Creates the class, a subclass of `base` when given (of the same instance struct), and
// adds it to the module; the class (a new reference), or null with the error set.
inline PyObject* add_type(PyObject* module, const TypeDef& def, PyObject* base = nullptr) {
  PyType_Slot slots[8] = {
      {Py_tp_doc, const_cast<char*>(def.doc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(def.traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(def.clear)},
  };
  int k = 4;
  if (def.tp_new) slots[k++] = {Py_tp_new, reinterpret_cast<void*>(def.tp_new)};
  if (def.methods) slots[k++] = {Py_tp_methods, def.methods};
  if (def.getset) slots[k++] = {Py_tp_getset, def.getset};
  slots[k] = {0, nullptr};
  const unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | (def.subclassable ? Py_TPFLAGS_BASETYPE : 0) |
                         (def.tp_new ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION);
  PyType_Spec spec = {def.name, def.basicsize, 0, flags, slots};
  Ref type(PyType_FromModuleAndSpec(module, &spec, base));
  if (!type) return nullptr;
  const char* dot = def.name;
  for (const char* c = def.name; *c; ++c)
    if (*c == '.') dot = c + 1;
  if (PyModule_AddObjectRef(module, dot, type.get()) < 0) return nullptr;
  return type.release();
}

// The sizes every core reports, as attributes read through Of: Of::n(self), p, q and
// n_theta (numbers), and Of::m(self) (a new reference: the number of groups, or each
// factor's levels). QK_SIZES(Of) is their five entries of a PyGetSetDef table.
template <class Of>
struct Sizes {
  static PyObject* n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(Of::n(self)); }
  static PyObject* p(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(Of::p(self)); }
  static PyObject* q(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(Of::q(self)); }
  static PyObject* n_theta(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(Of::n_theta(self)); }
  static PyObject* m(PyObject* self, void*) { return Of::m(self); }
};

#define QK_SIZES(Of)                                                                                            \
  {"n", QK_ENTRY(::qk::py::Sizes<Of>::n), nullptr, "Number of rows.", nullptr},                                 \
      {"p", QK_ENTRY(::qk::py::Sizes<Of>::p), nullptr, "Number of fixed-effect columns.", nullptr},             \
      {"q", QK_ENTRY(::qk::py::Sizes<Of>::q), nullptr, "Random-effect columns (per level, summed over factors).", \
       nullptr},                                                                                                \
      {"m", QK_ENTRY(::qk::py::Sizes<Of>::m), nullptr, "Number of groups, or each factor's levels.", nullptr},  \
      {"n_theta", QK_ENTRY(::qk::py::Sizes<Of>::n_theta), nullptr, "Length of theta.", nullptr}

// __reduce__'s value for an instance that is built again by calling `make(*args,
// **kwargs)` (kwargs may be null): (make, args), or with keywords (functools.partial(make,
// **kwargs), args), since a reduce value carries no keywords. Null with the error set.
inline PyObject* rebuilt_by(PyObject* make, PyObject* args, PyObject* kwargs) {
  if (!kwargs) return Py_BuildValue("(OO)", make, args);
  Ref functools(PyImport_ImportModule("functools"));
  Ref partial(functools ? PyObject_GetAttrString(functools.get(), "partial") : nullptr);
  Ref head(partial ? PyTuple_Pack(1, make) : nullptr);
  Ref bound(head ? PyObject_Call(partial.get(), head.get(), kwargs) : nullptr);
  return bound ? Py_BuildValue("(OO)", bound.get(), args) : nullptr;
}

}  // namespace qk::py
