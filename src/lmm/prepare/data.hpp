// The prepared design: everything a model keeps about its rows, reduced once to
// global fixed-effect products and per-group cross-products. No evaluator reads the
// rows again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "lmm/evaluate/scratch.hpp"
#include "lmm/prepare/classes.hpp"
#include "lmm/prepare/rows.hpp"
#include "lmm/prepare/shift.hpp"
#include "lmm/prepare/theta.hpp"

namespace qk {

enum Evaluator : std::uint8_t {
  kBlocks = 0,
  kStreaming = 1,
  kAggregated = 2,
  kAuto = 255,  // only while parsing; construction resolves it to kBlocks or kAggregated
};

// a * b for a buffer size; a product that does not fit is reported as exhausted
// memory (std::length_error) instead of wrapping into a short buffer.
inline std::uint64_t size_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw std::length_error("buffer size overflows");
  return r;
}

struct LmmData {
  std::vector<double> xtx;   // p x p, full symmetric
  std::vector<double> xty;   // p
  std::vector<double> ztz;   // m blocks q x q, full symmetric
  std::vector<double> ztx;   // m blocks q x p
  std::vector<double> zty;   // m blocks q
  std::vector<std::uint64_t> blocks;  // sizes of the diagonal blocks of Lambda (sum q)
  ThetaIndex theta_index;             // the free entries of Lambda: theta_index(q, blocks)
  std::optional<Classes> classes;
  Shift shift;               // every product above is of the shifted rows
  std::uint64_t n = 0, p = 0, q = 0, m = 0;
  double yty = 0.0;
  mutable ScratchPool scratch;
  std::uint64_t codes_fingerprint = 0;
  std::uint64_t x_fingerprint = 0;  // of the bits of x and z as given, by row and column
  std::uint64_t z_fingerprint = 0;
  // Whether the fingerprints above are those of the rows: false for a design built
  // from products (with_response then refuses, having nothing to check arrays by).
  bool rows_known = true;
  // Prior weights: every product above is weighted (see Rows), and the criterion
  // carries -sum_r log w_r, the log-determinant of the residual covariance's scale
  // matrix W^-1 (lme4's ldW), so that it is -2 log-likelihood of the weighted model.
  // Without weights log_weights is 0.0 and the products are the unweighted ones.
  bool weighted = false;
  double log_weights = 0.0;
  // A system whose scale is not estimated (a GLMM's working system, whose Newton
  // weights -d2 may be negative in some rows): the penalised residual sum of squares
  // may then be of either sign, and only the solution and log|L|^2 are read; the
  // criterion and sigma^2 take its magnitude.
  bool free_scale = false;
  std::uint64_t w_fingerprint = 0;  // checksum of the weights as given, by row
  // The fixed effects alone fit the (shifted) response exactly, to rounding: every
  // theta is infeasible (the residual sum of squares is zero), whatever the kernel.
  bool exact_fit = false;
  Evaluator evaluator = kBlocks;

  // The kernel in use: aggregated only when classes exist.
  Evaluator kernel() const {
    if (evaluator == kAggregated && !classes) return kBlocks;
    return evaluator;
  }
};

// Whether y's least-squares fit on X leaves a residual sum of squares that is zero
// to rounding (from the products alone).
bool fits_exactly(const LmmData& data);

// Copies to a design made from `from`'s products what it keeps of `from`: the layout of
// Lambda, the fingerprints of the rows, the weights' constant and flag, the evaluator.
void inherit(LmmData& to, const LmmData& from);

// Copies the fixed-effect part every record of products holds (rows n, columns p, X'X,
// X'y, y'y, the shift they were taken with, the weights' flag and sum log w) between
// records of any kind that holds it: the products of one or several grouping factors,
// the accumulator's sums.
template <class To, class From>
void copy_fixed_sums(To& to, const From& from) {
  std::tie(to.n, to.p, to.xtx, to.xty, to.yty, to.shift, to.weighted, to.log_weights) =
      std::tie(from.n, from.p, from.xtx, from.xty, from.yty, from.shift, from.weighted, from.log_weights);
}

// Gives Lambda the block-diagonal structure with these block sizes (checked by the
// caller with blocks_error): theta then lists only the blocks' entries.
void set_blocks(LmmData& data, std::vector<std::uint64_t> blocks);

// Builds the prepared design (reduce.cpp; weighted when rows.w is given); returns
// the error text for a group code out of range or a weight that is not finite and
// positive.
std::variant<std::unique_ptr<LmmData>, std::string> from_rows(const Rows& rows, std::uint64_t m,
                                                              Evaluator evaluator);

// Completes a design whose products (full symmetric blocks), shift, weights and
// fingerprints are set: refuses non-finite products (the text names the column), sets
// the exact-fit flag, builds the classes, resolves the evaluator and gives Lambda one
// block (set_blocks may change it afterwards).
std::variant<std::unique_ptr<LmmData>, std::string> finish_design(std::unique_ptr<LmmData> data,
                                                                  Evaluator evaluator);

// The same design with a new response (x, z, codes and the weights must be the ones
// the design was built from; they are checked against the design's fingerprints).
// Returns the caller-error text on a mismatch.
std::variant<std::unique_ptr<LmmData>, std::string> with_response(const LmmData& data,
                                                                  const Rows& rows);

}  // namespace qk
