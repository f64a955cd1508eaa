// Centres subtracted from the rows before their products are accumulated, so that
// large means cost no digits.
#pragma once

#include <cstdint>
#include <vector>

#include "lmm/prepare/rows.hpp"

namespace qk {

// How the rows were shifted before their products were accumulated.
//
// The reduced form subtracts large sums of squares, so the products of raw rows lose
// about 2 log10(|mean| / sd) digits to cancellation. When a column k of X is
// constant and non-zero (X holds an intercept), construction instead accumulates
// the products of y - y and of every other column j of X minus x[j] (Z is never
// shifted). With a the value of column k and T = I - e_k x'/a, the shifted X is X T
// and the shifted y is y - X e_k y / a, so this is an exact reparameterisation:
// theta, the criterion, its derivatives, sigma and every slope are unchanged, and
// the intercept and Cov(beta) are mapped back as beta = T beta~ + e_k y / a,
// Cov(beta) = T Cov(beta~) T'. Column k is found in 63 rows spread over the data
// and checked in every row; the centres are the medians of 5 rows spread over the
// data (one of the values: a constant is centred to exactly zero). A column of X
// whose values straddle zero (its centre is within the range of the 63 rows) is not
// centred: it loses at most about one digit, and needs no subtraction per row. Column
// k keeps a, so X~'X~ holds the shifted columns' sums, and products accumulated with
// other centres can be re-centred from these.
struct Shift {
  std::vector<double> x;     // per column of X; 0.0 for column k, all 0.0 without one
  double y = 0.0;            // the response's centre (0.0 without a constant column)
  std::int64_t column = -1;  // k, or -1 when X has no constant column: rows used as given
  double value = 0.0;        // a

  bool active() const { return column >= 0; }
  // Whether any column of X is centred.
  bool shifts_x() const {
    for (double c : x)
      if (c != 0.0) return true;
    return false;
  }
};

// The shift construction picks for these rows (nothing shifted without a constant
// column of X).
Shift choose_shift(const Rows& rows);

// The centre of a response for an existing shift: its median over the sampled rows
// when the shift is active, else 0.0.
double response_centre(const Shift& shift, const double* y, std::uint64_t n);

}  // namespace qk
