// What the CrossedCore class's files share (crossed.cpp, crossed_predict.cpp).
#pragma once

#include <vector>

#include "binding/numpy.hpp"
#include "lmm/crossed/crossed.hpp"

namespace qk::py {

// The design an instance owns.
qk::crossed::Design& crossed_design(PyObject* self);
// theta of the design's length and finite; raises ValueError otherwise.
bool crossed_theta_ok(PyObject* self, const std::vector<double>& theta);
// Raises the error of an infeasible theta; returns nullptr.
PyObject* crossed_infeasible();
// CrossedCore.prediction_variance (crossed_predict.cpp).
PyObject* crossed_prediction_variance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qk::py
