// Choosing the centres of the rows: the constant column, and the medians of a few
// rows spread over the data.
#include "lmm/prepare/shift.hpp"

#include <algorithm>
#include <cmath>

namespace qk {

namespace {

// Rows that decide whether a column is constant, and rows whose median is a centre.
constexpr std::uint64_t kConstantRows = 63, kCentreRows = 5;

// Row i of K rows spread evenly from the first to the last of n: every row when there
// are no more than K. The divisor is a constant, so no division is executed.
template <std::uint64_t K>
inline std::uint64_t spread_row(std::uint64_t i, std::uint64_t n) {
  if (n <= K) return i;
  if (n - 1 <= ~std::uint64_t{0} / (K - 1)) return i * (n - 1) / (K - 1);
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(i) * (n - 1) / (K - 1));
}

// The median of v (stride apart) at 5 rows spread over n (fewer when n is smaller;
// the lower one of an even count), or 0.0 when one of them is not finite. Always one
// of the values, so a constant column is centred exactly; a single outlier among the
// five cannot be the centre.
double sampled_median(const double* v, std::uint64_t stride, std::uint64_t n) {
  const std::uint64_t k = std::min(n, kCentreRows);
  double vals[kCentreRows];
  for (std::uint64_t i = 0; i < k; ++i) {
    const double x = v[spread_row<kCentreRows>(i, n) * stride];
    if (!std::isfinite(x)) return 0.0;
    std::uint64_t j = i;
    for (; j > 0 && vals[j - 1] > x; --j) vals[j] = vals[j - 1];
    vals[j] = x;
  }
  return k == 0 ? 0.0 : vals[(k - 1) / 2];
}

}  // namespace

Shift choose_shift(const Rows& rows) {
  Shift shift;
  const std::uint64_t n = rows.n, p = rows.p, k = std::min(n, kConstantRows);
  shift.x.assign(p, 0.0);
  // A candidate is constant in the sampled rows; construction checks every row.
  for (std::uint64_t j = 0; j < p && !shift.active() && k > 0; ++j) {
    const double a = rows.x[j];
    bool constant = a != 0.0 && std::isfinite(a);
    for (std::uint64_t i = 1; i < k && constant; ++i) constant = rows.x[spread_row<kConstantRows>(i, n) * p + j] == a;
    if (constant) {
      shift.column = static_cast<std::int64_t>(j);
      shift.value = a;
    }
  }
  if (!shift.active()) return shift;
  // A column is centred when its values lie far from zero for their spread (the
  // centre's distance from zero exceeds the range of the sampled rows): such a
  // column loses digits to cancellation. The others keep them as given and cost no
  // subtraction per row; they lose at most about one digit.
  for (std::uint64_t j = 0; j < p; ++j) {
    if (static_cast<std::int64_t>(j) == shift.column) continue;
    const double c = sampled_median(rows.x + j, p, n);
    double lo = c, hi = c;
    for (std::uint64_t i = 0; i < k; ++i) {
      const double v = rows.x[spread_row<kConstantRows>(i, n) * p + j];
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    if (std::fabs(c) > hi - lo) shift.x[j] = c;
  }
  shift.y = sampled_median(rows.y, 1, n);
  return shift;
}

double response_centre(const Shift& shift, const double* y, std::uint64_t n) {
  return shift.active() ? sampled_median(y, 1, n) : 0.0;
}

}  // namespace qk
