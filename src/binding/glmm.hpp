// The GlmmCore class (glmm.cpp): binomial and Poisson mixed models with one grouping
// factor; CrossedGlmmCore (glmm_crossed.cpp) with several.
#pragma once

#include "binding/numpy.hpp"

namespace qk::py {

extern PyType_Spec glmm_spec;
extern PyType_Spec crossed_glmm_spec;

}  // namespace qk::py
