// The GlmmCore class (glmm.cpp): binomial and Poisson mixed models, one grouping factor.
#pragma once

#include "binding/numpy.hpp"

namespace qk::py {

extern PyType_Spec glmm_spec;

}  // namespace qk::py
