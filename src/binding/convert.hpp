// Conversion between Python objects and the core's arguments and results: borrowed
// read-only views of NumPy arrays with their layout checks, numbers and sequences with
// interpreter-style errors naming the argument, and new lists, arrays and dict items.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "binding/numpy.hpp"
#include "binding/pyutil.hpp"
#include "lmm/prepare/rows.hpp"
#include "optim/minimize.hpp"

namespace qk::py {

// A borrowed, read-only view of one argument array. The caller's reference keeps
// the array alive for the duration of the call.
struct ArrayView {
  PyArrayObject* arr = nullptr;
  npy_intp rows = 0, cols = 1;
};

// The four arrays of a model's rows, converted (dtype and dimensions) but not yet
// checked for layout.
struct RowArrays {
  ArrayView y, x, z, codes;
};

// Converts (y, x, z, codes) in that order: TypeError naming the first that is not a
// NumPy array of the right dtype and dimensions.
bool borrow_rows(PyObject* y, PyObject* x, PyObject* z, PyObject* codes, RowArrays& out);

// The layout checks of converted rows, in the order y, codes, x, z, then the row
// counts; on success the flat views.
bool rows_of(const RowArrays& a, Rows& out);

// Prior weights for rows (None: none): a float64 vector of one value per row, its
// view set as rows.w. Its values are checked by construction.
bool weights_of(PyObject* weights, ArrayView& view, Rows& rows);

// The arguments (y, x, z, codes, weights=None) of one factor's rows, parsed (those
// after the first `positional` keyword-only) and converted as the three above do.
bool row_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::size_t positional,
              RowArrays& arrays, Rows& rows, ArrayView& weights);

// A 1-D array of dtype typenum (NPY_DOUBLE or NPY_INT64), C-contiguous and aligned,
// as for the rows' arrays; its values at data_of<T>(view).
bool borrow_vector(PyObject* obj, const char* name, int typenum, ArrayView& out);
// A 2-D float64 array in standard row-major layout (ValueError otherwise, naming it).
bool borrow_matrix(PyObject* obj, const char* name, ArrayView& out);
template <class T>
const T* data_of(const ArrayView& v) {
  return static_cast<const T*>(PyArray_DATA(v.arr));
}

// A sequence (a str is not one, for these arguments).
inline bool is_sequence(PyObject* obj) { return !PyUnicode_Check(obj) && PySequence_Check(obj); }
// The length of the sequence argument `name` of `of_what`; -1 with TypeError "'T' object
// is not a sequence of OF_WHAT" (or the length's own error) otherwise.
Py_ssize_t sequence_length(PyObject* obj, const char* name, const char* of_what);
// Calls take(item) on each item of the iterable obj in turn; false at the first failure,
// with the error set (an iteration error naming `name`).
template <class Take>
bool each_item(PyObject* obj, const char* name, Take take) {
  Ref it(PyObject_GetIter(obj));
  if (!it) return name_pending_error(name), false;
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    if (!take(item.get())) return false;
  }
  if (PyErr_Occurred()) return name_pending_error(name), false;
  return true;
}
// A sequence of numbers as doubles; a str is refused.
bool to_vec(PyObject* obj, const char* name, std::vector<double>& out);
// A Python bool, or a NumPy boolean scalar.
bool to_bool(PyObject* obj, const char* name, bool& out);
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);
// A sequence of non-negative integers; a str is refused.
bool to_u64_vec(PyObject* obj, const char* name, std::vector<std::uint64_t>& out);
bool to_double(PyObject* obj, const char* name, double& out);
// The arguments both cores' fit() begin with, a[0..4] as parse_args left them:
// (starts, reml=True, max_iter=300, gtol=1e-08, ftol=1e-12). The starts are read, not
// checked against the model.
bool fit_args(const std::vector<PyObject*>& a, std::vector<double>& starts, bool& reml, MinimizeOptions& options);

PyObject* float_list(const std::vector<double>& v);
// A new float64 array of the given shape holding a copy of v.
PyObject* new_array(const std::vector<double>& v, std::initializer_list<npy_intp> shape);
// A new array of the given shape (float64, or int64 for row counts below 2^63) over
// the values of v, taken over without a copy: the array owns them from then on.
PyObject* array_taking(std::vector<double>&& v, std::initializer_list<npy_intp> shape);
PyObject* array_taking(std::vector<std::uint64_t>&& v, std::initializer_list<npy_intp> shape);
// Sets dict[key] = value, consuming the new reference value (nullptr: failure).
bool set_item(PyObject* dict, const char* key, PyObject* value);

// The optimiser's report of a fit, as the fit methods append it to their solution.
struct FitReport {
  bool converged;
  std::uint64_t iterations, fev;
  double grad_inf_norm;
  std::string message;
};

// Sets dict's keys converged, iterations, fev, grad_inf_norm and message from r.
bool set_report(PyObject* dict, const FitReport& r);

// s as a double-quoted, escaped string literal, as error messages show names.
std::string quoted(const std::string& s);

}  // namespace qk::py
