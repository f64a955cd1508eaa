// The NumPy C API for every translation unit of the extension: one table of function
// pointers, filled when the module is loaded (module.cpp defines QK_NUMPY_IMPORT).
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL qk_numpy_api
#ifndef QK_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
