// What the CrossedCore class's files share (crossed.cpp: the type, its construction,
// pickling and derived cores; crossed_methods.cpp: the criterion, the fit and what they
// return; crossed_predict.cpp, crossed_products.cpp).
#pragma once

#include <memory>
#include <vector>

#include "binding/convert.hpp"
#include "binding/heap_type.hpp"
#include "binding/numpy.hpp"
#include "binding/pyutil.hpp"
#include "lmm/crossed/crossed.hpp"
#include "lmm/theta/theta_map.hpp"

namespace qk::py {

// An instance owns one crossed design and the layout of the theta it takes and returns
// (lme4's: `layout.map` gives the core's entries from it), and holds what it was built
// from, for pickling and for the cores derived from it (with_response, fixed_at): the
// arguments (y, x, factors, weights) or (products, blocks), and term_order as given.
struct CrossedObject {
  PyObject_HEAD
  qk::crossed::Design* design;
  qk::TermLayout* layout;
  PyObject* rows;        // (y, x, factors, weights), or nullptr
  PyObject* products;    // (products, blocks), or nullptr
  PyObject* term_order;  // as given (None: factor by factor)
  std::array<PyObject**, 3> refs() { return {&rows, &products, &term_order}; }
  void free_owned() {
    delete design;
    delete layout;
    design = nullptr;
    layout = nullptr;
  }
};

inline CrossedObject& crossed_object(PyObject* self) { return *reinterpret_cast<CrossedObject*>(self); }
// The design an instance owns, and its layout of theta.
inline qk::crossed::Design& crossed_design(PyObject* self) { return *crossed_object(self).design; }
inline const qk::TermLayout& crossed_layout(PyObject* self) { return *crossed_object(self).layout; }
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
// term_order: None (the terms factor by factor, `blocks` each factor's terms' sizes)
// or (factor, term) pairs; TypeError otherwise.
bool term_order_of(PyObject* obj, const std::vector<std::vector<std::uint64_t>>& blocks,
                   std::vector<std::pair<std::size_t, std::size_t>>& out);
// A new instance of `type` owning `design`, theta laid out as `term_order` says (None:
// factor by factor; else (factor, term) pairs in lme4's order), holding `rows` or
// `products` (new references taken).
PyObject* crossed_wrap(PyTypeObject* type, std::unique_ptr<qk::crossed::Design> design, PyObject* term_order,
                       PyObject* rows, PyObject* products);
// CrossedCore.from_products and the module function reduce_crossed_rows
// (crossed_products.cpp).
PyObject* crossed_from_products(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern PyMethodDef crossed_products_functions[];
// theta (lme4's layout) of the design's length and finite, and the core's entries
// there (theta itself for the identity map, else `scratch`); ValueError otherwise.
const std::vector<double>* crossed_entries(PyObject* self, const std::vector<double>& theta,
                                           std::vector<double>& scratch);
// Raises the error of an infeasible theta; returns nullptr.
PyObject* crossed_infeasible();
// The methods table (crossed_methods.cpp), with the three crossed.cpp defines.
extern PyMethodDef crossed_methods[];
PyObject* crossed_with_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crossed_fixed_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* crossed_reduce(PyObject* self, PyObject*);
// CrossedCore.prediction_variance (crossed_predict.cpp).
PyObject* crossed_prediction_variance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qk::py
