// The columns of a batch as a columnar source hands them over, and the rows they are
// stacked into for the row passes.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "lmm/prepare/rows.hpp"

namespace qk {

// The columns of a batch as a source hands them over: y, the columns of x and of z
// (each n doubles, or nullptr for a column of ones) and the group codes.
struct Columns {
  const double* y;
  std::vector<const double*> x, z;
  const std::int64_t* codes;
  std::uint64_t n;
};

// Rows laid out as the passes read them, kept between batches: reused, their pages
// are faulted in once for a whole run of batches rather than once a batch.
struct RowBuffers {
  std::vector<double> y, x, z;
  std::vector<std::int64_t> codes;
  std::uint64_t n = 0, p = 0, q = 0;
  Rows rows() const { return Rows{y.data(), x.data(), z.data(), codes.data(), n, p, q}; }
};

// The first value of a batch's columns that is infinite: part 'y', 'x' or 'z', the
// column within it and the row.
struct ColumnFault {
  char part;
  std::uint64_t column, row;
};

// The rows of `cols` stacked into `out`, in order, leaving out every row that holds
// a NaN in any column (a missing value: the caller's complete-case rule); returns the
// number left out. A value that is infinite is no missing value but a fault: its
// place is returned and out holds no rows.
std::variant<std::uint64_t, ColumnFault> stack_columns(const Columns& cols, RowBuffers& out);

}  // namespace qk
