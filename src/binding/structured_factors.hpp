// StructuredCore's crossed grouping factors (structured_factors.cpp): the factors'
// argument read into a design, with Lambda's layout of each factor's template.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "lmm/structured/structured.hpp"

namespace qk::py {

// Reads crossed factors, each (codes, width, levels, blocks): the rows' level codes
// (n), the factor's random effects per level, its number of levels and its terms'
// blocks; each factor's width and levels into d, its blocks and codes out. False with
// an exception set where they do not fit.
bool factors_of(PyObject* obj, qk::StructuredData& d, std::vector<std::vector<std::uint64_t>>& blocks,
                std::vector<std::vector<std::uint64_t>>& codes);

// Lambda's layout (each factor's template at its first level) and the rows' level
// codes of the factors read (d.n set). False with ValueError where they do not fit.
bool set_factors(qk::StructuredData& d, const std::vector<std::vector<std::uint64_t>>& blocks,
                 const std::vector<std::vector<std::uint64_t>>& codes);

}  // namespace qk::py
