// The extension module _quorvelkit: loading it imports NumPy's C API, notes the thread
// that runs signal handlers (for Ctrl-C inside long calls) and creates the classes.
// All numeric work runs with the interpreter lock released.
#define QK_NUMPY_IMPORT
#include "binding/numpy.hpp"

#include <pthread.h>

#include "binding/core.hpp"
#include "binding/crossed.hpp"
#include "binding/crossed_internal.hpp"
#include "binding/families.hpp"
#include "binding/glmm.hpp"
#include "binding/products.hpp"
#include "binding/pyutil.hpp"
#include "binding/structured.hpp"
#include "pool/pool.hpp"

namespace qk::py {

namespace {

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
  for (const TypeDef* def : {&core_type, &accumulator_type, &crossed_type, &structured_type})
    if (!Ref(add_type(module, *def))) return -1;
  Ref glmm_base(add_type(module, glmm_base_type));
  if (!glmm_base) return -1;
  for (const TypeDef* def : {&glmm_type, &crossed_glmm_type})
    if (!Ref(add_type(module, *def, glmm_base.get()))) return -1;
  if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) return -1;
  if (PyModule_AddFunctions(module, products_functions) < 0) return -1;
  if (PyModule_AddFunctions(module, crossed_products_functions) < 0) return -1;
  if (PyModule_AddFunctions(module, minimize_functions) < 0) return -1;
  if (PyModule_AddFunctions(module, family_functions) < 0) return -1;
  if (PyModule_AddFunctions(module, glmm_batches_functions) < 0) return -1;
  if (PyModule_AddFunctions(module, glmm_batches_crossed_functions) < 0) return -1;
  if (PyModule_AddFunctions(module, glmm_pass_sums_functions) < 0) return -1;
  // The groups of one span of a one-factor batch fit's replayed rows (see
  // plan_aligned_chunks): rows given span by span add the same sums.
  if (PyModule_AddIntConstant(module, "GROUP_SPAN", static_cast<long>(aligned_chunk_span())) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(QK_ENTRY(module_exec))},
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {"_restore_core", QK_FASTCALL(restore_core), METH_FASTCALL,
     "_restore_core(cls, state)\n--\n\nAn LmmCore of class `cls` from a pickled state."},
    QK_END_METHODS,
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
