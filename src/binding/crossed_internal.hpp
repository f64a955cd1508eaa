// What the CrossedCore class's files share (crossed.cpp, crossed_predict.cpp,
// crossed_products.cpp).
#pragma once

#include <memory>
#include <vector>

#include "binding/convert.hpp"
#include "binding/numpy.hpp"
#include "binding/pyutil.hpp"
#include "lmm/crossed/crossed.hpp"

namespace qk::py {

// The design an instance owns.
qk::crossed::Design& crossed_design(PyObject* self);
// One factor's tuple (codes, n_levels, z, blocks) of rows, factor k of n rows: its
// views borrow the tuple's arrays.
bool parse_factor(PyObject* item, std::size_t k, std::uint64_t n, ArrayView& codes, ArrayView& z,
                  qk::crossed::FactorRows& out, std::vector<std::uint64_t>& blocks);
// The rows of a crossed model borrowed from Python: y, x, the factor tuples and the
// optional weights. `rows` points into the arrays the views and items hold, which live
// as long as this record; `blocks` holds each factor's terms' sizes.
struct BorrowedRows {
  ArrayView y, x, w;
  std::vector<ArrayView> codes, zs;
  std::vector<Ref> items;
  std::vector<std::vector<std::uint64_t>> blocks;
  qk::crossed::CrossedRows rows;
};
// False, with a Python error set, for arguments that are not such rows.
bool borrow_rows(PyObject* y, PyObject* x, PyObject* factors, PyObject* weights, BorrowedRows& out);
// A new instance of `type` owning `design`.
PyObject* crossed_wrap(PyTypeObject* type, std::unique_ptr<qk::crossed::Design> design);
// CrossedCore.from_products and the module function reduce_crossed_rows
// (crossed_products.cpp).
PyObject* crossed_from_products(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern PyMethodDef crossed_products_functions[];
// theta of the design's length and finite; raises ValueError otherwise.
bool crossed_theta_ok(PyObject* self, const std::vector<double>& theta);
// Raises the error of an infeasible theta; returns nullptr.
PyObject* crossed_infeasible();
// CrossedCore.prediction_variance (crossed_predict.cpp).
PyObject* crossed_prediction_variance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qk::py
