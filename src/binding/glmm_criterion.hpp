// The criterion of a GLMM fitted from batches at other points (its profiles), of one
// grouping factor (glmm_batches.cpp) or several (glmm_batches_crossed.cpp): a capsule
// holding the reader, with its own reference to the Python callable it reads through,
// and the evaluations' state. glmm_batches_evaluate takes either.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "binding/pyutil.hpp"
#include "lmm/glmm/batch.hpp"

namespace qk::py {

// Members are destroyed in reverse: the criterion before the reader it reads through,
// the reader before the callable's reference.
struct HeldCriterion {
  explicit HeldCriterion(PyObject* read) : read_ref(Py_NewRef(read)) {}
  Ref read_ref;  // the callable the passes go through: read(), or run() for a runner's
  Pending pending;
  std::optional<qk::glmm::BatchModel> model;  // the runner's, which keeps a reference
  std::unique_ptr<qk::glmm::BatchReader> reader;
  std::unique_ptr<qk::glmm::PassRunner> runner;
  std::unique_ptr<qk::glmm::PointCriterion> criterion;
  std::mutex busy;  // one evaluation at a time: a second thread's call is refused, not queued
};

// A capsule owning held (its reader and criterion set), or null with the exception set.
PyObject* criterion_capsule(std::unique_ptr<HeldCriterion> held);

}  // namespace qk::py
