// The family table as Python sees it (families.cpp): the families, their links and
// their functions on arrays, read by quorvelkit.glmm_family.
#pragma once

#include "binding/numpy.hpp"

namespace qk::py {

extern PyMethodDef family_functions[];

}  // namespace qk::py
