// without_gil for calls that may need a large block: a NeedMemory's text (which array,
// how large) becomes the MemoryError's message instead of an empty one.
#pragma once

#include <Python.h>

#include <cstring>

#include "binding/pyutil.hpp"
#include "linalg/big.hpp"

namespace qk::py {

template <class Fn>
bool without_gil_sized(Fn&& fn) {
  char need[sizeof(NeedMemory)] = "";
  const bool ok = without_gil([&] {
    try {
      fn();
    } catch (const NeedMemory& e) {
      std::strncpy(need, e.what(), sizeof need - 1);
      throw;
    }
  });
  if (!ok && need[0] != '\0' && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_MemoryError, need);
  }
  return ok;
}

}  // namespace qk::py
