// The products of rows as a value: what a batch of rows reduces to (the global
// fixed-effect products, every group's blocks and its row count, and the shift they
// were accumulated with), their checks and the prepared design built from them. Every
// evaluator reads only these products, so a model whose rows never fit in memory at
// once (read in batches, or spread over the partitions of a cluster) is the model of
// its merged products.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "lmm/prepare/data.hpp"

namespace qk {

struct Products {
  std::uint64_t n = 0, p = 0, q = 0, m = 0;
  std::vector<double> xtx;             // p x p, full symmetric
  std::vector<double> xty;             // p
  double yty = 0.0;
  std::vector<double> ztz;             // m blocks q x q, full symmetric
  std::vector<double> ztx;             // m blocks q x p
  std::vector<double> zty;             // m blocks q
  std::vector<std::uint64_t> counts;   // rows per group
  Shift shift;                         // every product above is of the shifted rows
  // Prior weights: whether the products above are the weighted ones (see Rows), and
  // sum log w over the rows (the criterion's constant; 0.0 without weights). Products
  // of weighted and unweighted rows never mix.
  bool weighted = false;
  double log_weights = 0.0;
};

// What reducing rows yields besides the products: the fingerprints of the rows (the
// codes' is a sequential fold, meaningful for one whole array only; the checksums
// of x and z are keyed by positions counted from the batch's first row).
struct Reduced {
  Products products;
  std::uint64_t codes_fingerprint = 0, x_fingerprint = 0, z_fingerprint = 0;
  WeightScan weights;  // of the batch's weights (untouched without)
};

// The products of rows with group codes in 0..m-1, accumulated with `shift`: every
// batch of one model must use the same shift (products of different shifts cannot be
// added), so it is chosen once (choose_shift on a first batch, or Shift{} with x of
// size p for rows as given) and passed to every batch. Each group's rows are added in
// row order, so the blocks of one batch are bit-identical for any thread count and to
// those of the same rows in a whole-data pass. With weights (rows.w) the products are
// the weighted ones. Errors: a weight that is not finite and positive (the text
// names the row); a code out of range; a shift of
// another width; a shift whose constant column does not hold its value in every row
// (its text names the column); the codes changing while they are read.
std::variant<Reduced, std::string> reduce_rows(const Rows& rows, std::uint64_t m, const Shift& shift);

// The texts that refuse a batch of rows (reduce.cpp): a group code out of 0..m-1, and
// the weight of row r that is not finite and positive.
std::string bad_code(std::int64_t code, std::uint64_t m);
std::string bad_weight(const Rows& rows, std::uint64_t r);

// Why the products cannot be those of any rows, or nothing: sizes that disagree with
// n, p, q and m; row counts that do not add up to n; a group without rows whose blocks
// are not zero; blocks or X'X that are not symmetric; values that are not finite;
// negative diagonals; a shift that is not one construction could have used; a
// weights' constant that is not finite, or not zero without weights.
std::optional<std::string> check_products(const Products& pr);

// The prepared design of checked products (check_products first; its text on
// failure). Such a design holds no fingerprints of rows (rows_known is false):
// with_response refuses it, since it cannot tell whether arrays are the model's.
std::variant<std::unique_ptr<LmmData>, std::string> from_products(Products pr, Evaluator evaluator);

// A design holding the products (moved), before finish_design; the fingerprints of
// rows are the caller's to set.
std::unique_ptr<LmmData> design_of(Products&& pr);

}  // namespace qk
