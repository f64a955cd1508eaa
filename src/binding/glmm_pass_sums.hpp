// The GLMM fit from batches with its passes made elsewhere (glmm_pass_sums.cpp): a
// pass runner that asks a Python callable for a pass's sums, and the reader of
// batches that glmm_batches.cpp's fit reads (shared by the kernel on one partition).
#pragma once

#include <cstdint>
#include <memory>

#include "binding/pyutil.hpp"
#include "lmm/glmm/batch.hpp"

namespace qk::py {

// read() -> an iterable of (y, x, z, codes, weights, offset) tuples (glmm_batches.cpp).
std::unique_ptr<qk::glmm::BatchReader> python_batches(PyObject* read, std::uint64_t p, std::uint64_t q,
                                                      Pending& pending);

// Each pass as run(kind, inputs) -> the pass's sums, both dicts of NumPy arrays as
// glmm_batch_sums takes and returns them (glmm_pass_sums.cpp).
std::unique_ptr<qk::glmm::PassRunner> python_runner(PyObject* run, const qk::glmm::BatchModel& model,
                                                    Pending& pending);

}  // namespace qk::py
