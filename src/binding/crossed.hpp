// The CrossedCore class (crossed.cpp): random-effects terms on several grouping factors.
#pragma once

#include "binding/heap_type.hpp"

namespace qk::py {

extern const TypeDef crossed_type;

}  // namespace qk::py
