// The numeric blocked Cholesky factor of the augmented system at one theta (internal
// to the crossed core).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "linalg/big.hpp"
#include "lmm/crossed/crossed.hpp"

namespace qk::crossed {

struct Factor {
  std::vector<std::vector<double>> lambda;  // per factor q_j x q_j
  // Block-diagonal factors: L's diagonal blocks (m_i blocks q_i x q_i, lower) and the
  // off-diagonal part of each column (rows of Layout::rows[i], q_i values each).
  std::vector<std::vector<double>> diag;
  std::vector<std::vector<double>> col;
  // The dense trailing block over the dense factors, X and y (nt x nt, row-major
  // lower; the strict upper triangle is unspecified): L of the dense factors in its
  // first dz rows, L_XZ and R_X in the next p (the factor of the system over [Z X]),
  // and L_yZ in the last.
  BigVector dense;
  std::size_t nt = 0, dz = 0;
  Profile prof;
  double ldl2 = 0.0;
};

// Storage that one evaluation after another can reuse: a fit's evaluations need
// arrays of the same large sizes (the dense block, a copy of its factor), and
// allocating them afresh costs their pages' faults on each evaluation (see
// linalg/big.hpp). Moved into a factor and back out of it; empty is fine.
struct Scratch {
  BigVector dense, inverse;
};

// The process's spare Scratch (empty when there is none), and back: a fit takes it on
// entry and returns it on exit, so that the fits of a session (a refit, a bootstrap,
// the next model on the same data) find their arrays' pages already touched. One is
// kept, of kSpareBytes at most; concurrent fits that find none take empty ones.
Scratch take_scratch();
void keep_scratch(Scratch&& scratch);
inline constexpr std::size_t kSpareBytes = std::size_t{64} << 20;

// The levels (l_i, l_j) of a cross block's keys (key = l_i m_j + l_j), visited in the
// block's order: keys increase, so l_i is carried from key to key instead of costing a
// 64-bit division each.
class PairLevels {
 public:
  explicit PairLevels(std::uint64_t mj) : mj_(mj) {}
  void at(std::uint64_t key, std::uint64_t& li, std::uint64_t& lj) {
    if (key >= base_ + 8 * mj_) {  // a long jump: one division
      li_ = key / mj_;
      base_ = li_ * mj_;
    }
    while (key >= base_ + mj_) {
      base_ += mj_;
      ++li_;
    }
    li = li_;
    lj = key - base_;
  }

 private:
  std::uint64_t mj_, li_ = 0, base_ = 0;
};

// Whether each level of factor i meets at most one level of factor j (i < j).
bool nested_in(const Products& pr, std::size_t i, std::size_t j);

// Factors the system; absent when theta is infeasible.
// With `scratch`, its `dense` becomes the factor's (give it back with recycle()).
std::optional<Factor> factorize(const Design& d, const std::vector<double>& theta, bool reml,
                                Scratch* scratch = nullptr);
void recycle(Factor& f, Scratch& scratch);

// The criterion at the factor's theta (mode 0), with its gradient (1), or with the
// solution (2); evaluate() is factorize() then this.
Solution solution_of(const Design& d, const Factor& f, bool reml, Mode mode, bool cond_var = true,
                     const std::vector<double>* known_gradient = nullptr, Scratch* scratch = nullptr);

// The inverse (full, nd x nd) of the dense trailing system: the dense factors' rows,
// with X's when with_x (nd = dz + p), else without.
std::vector<double> dense_system_inverse(const Factor& f, std::size_t p, bool with_x);
// That system's lower Cholesky factor into out (nd x nd, zero above the diagonal).
void dense_system_factor(const Factor& f, std::size_t p, bool with_x, double* out);

// The gradient of the log-determinants (of the system over Z, or over [Z X] when
// with_x) for models whose every term is scalar and whose first factor alone is
// block diagonal, without the selected inversion; absent for other models and where a
// theta is too near zero for the shortcut's accuracy (see scalar.cpp). `side`, work
// of the caller's that needs the factor only, runs exactly once before the return,
// beside the inverse's work when there is one.
std::optional<std::vector<double>> scalar_logdet_gradient(const Design& d, const Factor& f, bool with_x,
                                                          Scratch* scratch, const std::function<void()>& side);

// prediction_variance (crossed.hpp) with the system's factor given.
std::vector<double> prediction_variance(const Design& d, const Factor& f, const PredictionRows& rows);

// The same numbers (to rounding) for rows whose levels all occur together in the
// design's rows, as the model's own rows do (a level may be -1): from the selected
// inverse, at a cost per row independent of the dense block's size. A pair of levels
// off the design's pattern is a std::logic_error. Rows without x (a null rows.x) read
// the system over Z alone, Lambda'Z'WZ Lambda + I, whose factor is the leading part of
// the factor of any design of those rows (with X or without): ||L_ZZ^-1 v_Z||^2.
std::vector<double> leverages(const Design& d, const Factor& f, const PredictionRows& rows);

// The selected inverse that leverages() reads, for many calls at one factor (a pass over
// batches, each with rows of its own): its price, the dense block's inverse, is paid
// once. The table refers to the design, which must outlive it.
struct LeverageTable;
std::shared_ptr<const LeverageTable> leverage_table(const Design& d, const Factor& f, bool with_x = true);
// leverages() of the factor the table was made from: the same numbers, to the bit.
std::vector<double> leverages(const Design& d, const Factor& f, const PredictionRows& rows,
                              const LeverageTable& table);

// x = (Lambda'Z'WZ Lambda + I)^-1 r, the system over Z alone, by forward and back
// substitution through the Z part of the factor (the same whether the design has X or
// not): r and x per factor, m_j x q_j each. A second right-hand side of a system
// factored already, at the price of two triangular solves instead of a refill and a
// factorisation.
std::vector<std::vector<double>> solve_z(const Design& d, const Factor& f, const std::vector<std::vector<double>>& r);

// The factor and level of a row of Z (global index below Q).
struct RowPlace {
  std::size_t factor;
  std::uint64_t level;
  std::uint64_t comp;
};
RowPlace place_of(const Design& d, std::uint64_t g);

}  // namespace qk::crossed
