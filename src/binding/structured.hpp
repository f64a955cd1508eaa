// The StructuredCore class (structured.cpp): linear models with residual correlation
// and variance structures within subjects.
#pragma once

#include "binding/heap_type.hpp"

namespace qk::py {

extern const TypeDef structured_type;

}  // namespace qk::py
