// The GlmmCore class (glmm.cpp): binomial and Poisson mixed models with one grouping
// factor; CrossedGlmmCore (glmm_crossed.cpp) with several.
#pragma once

#include "binding/heap_type.hpp"

namespace qk::py {

// Both derive from _GlmmBase, which holds their methods and attributes and cannot
// be instantiated itself.
extern const TypeDef glmm_base_type;
extern const TypeDef glmm_type;
extern const TypeDef crossed_glmm_type;

// The module function glmm_batches_fit (glmm_batches.cpp).
extern PyMethodDef glmm_batches_functions[];
// glmm_batches_crossed_fit (glmm_batches_crossed.cpp).
extern PyMethodDef glmm_batches_crossed_functions[];
// The module function glmm_batch_sums (glmm_pass_sums.cpp).
extern PyMethodDef glmm_pass_sums_functions[];

}  // namespace qk::py
