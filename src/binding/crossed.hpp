// The CrossedCore class (crossed.cpp): random-effects terms on several grouping factors.
#pragma once

#include "binding/numpy.hpp"

namespace qk::py {

extern PyType_Spec crossed_spec;

}  // namespace qk::py
