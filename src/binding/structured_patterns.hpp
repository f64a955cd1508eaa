// StructuredCore's designs of patterns alone (structured_patterns.cpp): a core built
// from patterns' counts and products, and the arguments that rebuild one.
#pragma once

#include <Python.h>

#include "lmm/structured/structured.hpp"

namespace qk::py {

// Makes d (its p, structure, subjects and structure groups read: one subject per
// pattern, its representative's structure arrays) a design of patterns alone from
// `counts` (int64, per pattern) and `products` (float64, the patterns' n_P x n_P blocks
// of k x k products one after another). False with ValueError where they do not fit.
bool products_in(PyObject* counts, PyObject* products, qk::StructuredData& d);

// The arguments of StructuredCore's constructor that rebuild d, a design of patterns
// alone (what pickles a reduced or merged core).
PyObject* products_args(const qk::StructuredData& d);

}  // namespace qk::py
