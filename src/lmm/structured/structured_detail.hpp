// What the structured evaluator's files share: the structure's gradient by group, and
// the pattern path's evaluation (patterns.cpp) of designs without random effects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lmm/structured/residual.hpp"
#include "lmm/structured/structured.hpp"

namespace qk::detail {

// The structure's gradient of a chunk, per structure group (each laid out as residual.hpp
// lays one structure's parameters out), with the weights by visit of each.
struct GroupGradients {
  std::size_t single = 0, visits_size = 0;
  std::vector<double> deta, vis;
  GroupGradients() = default;
  GroupGradients(std::uint32_t groups, std::size_t one, std::size_t t)
      : single(one), visits_size(t * t), deta(groups * one, 0.0), vis(groups * t * t, 0.0) {}
  double* eta(std::uint32_t g) { return deta.data() + g * single; }
  double* visits(std::uint32_t g) { return vis.data() + g * visits_size; }
};

// The pattern path's subjects: their summed whitened products (into w[0 .. k*k)) and
// log-determinants; false when a pattern's R is not positive definite.
bool pattern_products_sum(const StructuredData& d, const std::vector<ResidualValues>& values, double* w,
                          double& logdet);

// The pattern path's gradient: per pattern, sum_s H_s = N R^-1 - R^-1 E R^-1 with
// E_ab = sum_s a_sa' C a_sb = tr(C Q[b][a]), handed to residual_gradient (linear in H).
void pattern_gradient(const StructuredData& d, const std::vector<ResidualValues>& values, const std::vector<double>& c,
                      GroupGradients& out);

// The caller-error message for a design of patterns alone whose counts and products do
// not fit its subjects (after the subjects' offsets are checked), or "".
std::string products_error(const StructuredData& d);

}  // namespace qk::detail
