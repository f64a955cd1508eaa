// The numeric blocked Cholesky factor of the augmented system at one theta (internal
// to the crossed core).
#pragma once

#include <optional>
#include <vector>

#include "lmm/crossed/crossed.hpp"

namespace qk::crossed {

struct Factor {
  std::vector<std::vector<double>> lambda;  // per factor q_j x q_j
  // Block-diagonal factors: L's diagonal blocks (m_i blocks q_i x q_i, lower) and the
  // off-diagonal part of each column (rows of Layout::rows[i], q_i values each).
  std::vector<std::vector<double>> diag;
  std::vector<std::vector<double>> col;
  // The dense trailing block over the dense factors, X and y (nt x nt, row-major
  // lower): L of the dense factors in its first dz rows, L_XZ and L_yZ below them.
  std::vector<double> dense;
  std::size_t nt = 0, dz = 0;
  Profile prof;
  double ldl2 = 0.0;
};

// Factors the system; absent when theta is infeasible.
std::optional<Factor> factorize(const Design& d, const std::vector<double>& theta, bool reml);

// The criterion at the factor's theta (mode 0), with its gradient (1), or with the
// solution (2); evaluate() is factorize() then this.
Solution solution_of(const Design& d, const Factor& f, bool reml, Mode mode);

// The factor and level of a row of Z (global index below Q).
struct RowPlace {
  std::size_t factor;
  std::uint64_t level;
  std::uint64_t comp;
};
RowPlace place_of(const Design& d, std::uint64_t g);

}  // namespace qk::crossed
