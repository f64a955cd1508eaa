// Per-group conditional quantities of the random effects at a given theta: their
// conditional modes and conditional covariances (Bates et al. 2015, section 3).
#pragma once

#include <optional>
#include <vector>

#include "lmm/prepare/data.hpp"

namespace qk {

// Conditional modes of the spherical random effects, m*q group-major (beta of the
// shifted rows). The augmented evaluators' solution mode takes u from here.
std::vector<double> random_effects(const LmmData& data, const std::vector<double>& lambda,
                                   const std::vector<double>& beta);

// Var(b_i | y) for every group, m*q*q; nothing when theta is infeasible.
std::optional<std::vector<double>> conditional_covariances(const LmmData& data,
                                                           const std::vector<double>& theta,
                                                           bool reml);

}  // namespace qk
