#include "binding/structured_factors.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "binding/pyutil.hpp"
#include "lmm/prepare/theta.hpp"

namespace qk::py {

namespace {

// A factor's level codes: int64, none negative.
bool codes_of(PyObject* obj, std::vector<std::uint64_t>& out) {
  ArrayView v;
  if (!borrow_vector(obj, "codes", NPY_INT64, v)) return false;
  const std::int64_t* c = data_of<std::int64_t>(v);
  out.resize(static_cast<std::size_t>(v.rows));
  for (npy_intp i = 0; i < v.rows; ++i) {
    if (c[i] < 0) return value_error("a crossed factor's codes hold a negative code"), false;
    out[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(c[i]);
  }
  return true;
}

}  // namespace

bool factors_of(PyObject* obj, qk::StructuredData& d, std::vector<std::vector<std::uint64_t>>& blocks,
                std::vector<std::vector<std::uint64_t>>& codes) {
  return each_item(obj, "factors", [&](PyObject* item) {
    PyObject *c = nullptr, *width = nullptr, *levels = nullptr, *b = nullptr;
    if (!PyArg_ParseTuple(item, "OOOO", &c, &width, &levels, &b)) return false;
    std::uint64_t w = 0, l = 0;
    codes.emplace_back();
    blocks.emplace_back();
    if (!codes_of(c, codes.back()) || !to_u64(width, "width", w) || !to_u64(levels, "levels", l) ||
        !to_u64_vec(b, "blocks", blocks.back()))
      return false;
    if (l >= (1ull << 32)) return value_error("a crossed factor has too many levels"), false;
    d.factor_widths.push_back(w);
    d.factor_levels.push_back(l);
    return true;
  });
}

bool set_factors(qk::StructuredData& d, const std::vector<std::vector<std::uint64_t>>& blocks,
                 const std::vector<std::vector<std::uint64_t>>& codes) {
  const std::size_t nf = codes.size();
  d.factor_codes.assign(d.n * nf, 0);
  std::uint64_t at = 0;
  for (std::size_t f = 0; f < nf; ++f) {
    if (codes[f].size() != d.n) return value_error("a crossed factor's codes are not one per row"), false;
    for (std::uint64_t r = 0; r < d.n; ++r)
      d.factor_codes[r * nf + f] = static_cast<std::uint32_t>(std::min<std::uint64_t>(codes[f][r], 0xffffffffu));
    const std::vector<std::uint64_t> b = blocks[f].empty() ? std::vector<std::uint64_t>{d.factor_widths[f]} : blocks[f];
    if (auto e = qk::blocks_error(b, d.factor_widths[f])) return value_error(*e), false;
    for (auto [r, c] : qk::theta_index(d.factor_widths[f], b)) d.theta_index.emplace_back(at + r, at + c);
    at += d.factor_widths[f] * d.factor_levels[f];
  }
  return true;
}

}  // namespace qk::py
