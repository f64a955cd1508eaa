// What the GLMM classes' files share (glmm.cpp, glmm_crossed.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "binding/numpy.hpp"
#include "lmm/glmm/glmm.hpp"
#include "lmm/theta/theta_map.hpp"

namespace qk::py {

// A str argument; TypeError naming it otherwise.
bool text_of(PyObject* obj, const char* name, std::string& out);
// The family and link by name (link None or null: canonical): the family, or the
// ValueError text to raise, or an empty text when a TypeError is already set.
std::variant<qk::glmm::Family, std::string> family_of(PyObject* family, PyObject* link);
// fit()'s arguments (nagq, theta, beta, max_iter) as parse_args left them.
bool fit_options_of(const std::vector<PyObject*>& a, qk::glmm::FitOptions& o);
// The fit's dict without u, b and cond_var (moved out of res), its theta, gradient and
// Hessian over (theta, beta) taken from the core's entries to theta through `map`.
PyObject* fit_dict(qk::glmm::FitResult& res, int nagq, std::uint64_t n, std::uint64_t p, const qk::ThetaMap& map);

}  // namespace qk::py
