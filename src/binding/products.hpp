// Products as Python values: the conversions between a products dict (see
// reduce_rows) and the core's Products, shared by the module functions (products.cpp)
// and the ProductsAccumulator type (accumulator.cpp).
#pragma once

#include <cstdint>

#include "binding/heap_type.hpp"
#include "binding/numpy.hpp"
#include "lmm/prepare/products.hpp"

namespace qk::py {

// Sets the keys shift_column, shift_value, shift_y and shift_x of dict.
bool put_shift(PyObject* dict, const Shift& s, npy_intp p);

// The products as a new dict of NumPy arrays and numbers; the arrays take the
// products' blocks over without copying them.
PyObject* products_dict(Products&& pr);

// A shift from a mapping with the keys shift_column, shift_value, shift_y and shift_x
// (a products dict, or choose_shift's result); None: the rows as given.
bool read_shift(PyObject* obj, const char* what, std::uint64_t p, Shift& out);

// The module functions on products (products.cpp) and the accumulator type
// (accumulator.cpp).
extern PyMethodDef products_functions[];
extern const TypeDef accumulator_type;

}  // namespace qk::py
