// CrossedCore.prediction_variance: variances of the prediction errors of new rows.
#include <string>

#include "binding/convert.hpp"
#include "binding/crossed_internal.hpp"
#include "binding/pyutil.hpp"

namespace qk::py {

namespace cr = qk::crossed;

// (theta, x, levels, z, reml=True): theta in the instance's layout; levels and z hold
// one array per factor.
PyObject* crossed_prediction_variance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("prediction_variance", {"theta", "x", "levels", "z", "reml"}, 4, args, nargs, kwnames, a))
    return nullptr;
  std::vector<double> theta, scratch;
  bool reml = true;
  if (!to_vec(a[0], "theta", theta)) return nullptr;
  const std::vector<double>* entries = crossed_entries(self, theta, scratch);
  if (!entries) return nullptr;
  if (a[4] && !to_bool(a[4], "reml", reml)) return nullptr;
  const cr::Design& d = crossed_design(self);
  const std::size_t k = d.pr.m.size();
  ArrayView x;
  if (!borrow_matrix(a[1], "x", x)) return nullptr;
  if (static_cast<std::uint64_t>(x.cols) != d.pr.p)
    return value_error("x must have " + std::to_string(d.pr.p) + " columns, got " + std::to_string(x.cols));
  cr::PredictionRows rows;
  rows.r = static_cast<std::uint64_t>(x.rows);
  rows.x = data_of<double>(x);
  std::vector<Ref> items;  // held while the views borrow their arrays
  std::vector<ArrayView> views(2 * k);
  for (std::size_t w = 0; w < 2 * k; ++w) {
    const std::size_t j = w % k;
    const std::string arg = w < k ? "levels" : "z", name = arg + "[" + std::to_string(j) + "]";
    PyObject* seq = a[w < k ? 2 : 3];
    if (!is_sequence(seq) || PySequence_Size(seq) != static_cast<Py_ssize_t>(k)) {
      PyErr_Clear();
      return value_error(arg + " must be a sequence of " + std::to_string(k) + " arrays, one per factor");
    }
    items.emplace_back(PySequence_GetItem(seq, static_cast<Py_ssize_t>(j)));
    if (!items.back()) return nullptr;
    ArrayView& v = views[w];
    if (w < k ? !borrow_vector(items.back().get(), name.c_str(), NPY_INT64, v)
              : !borrow_matrix(items.back().get(), name.c_str(), v))
      return nullptr;
    if (static_cast<std::uint64_t>(v.rows) != rows.r || (w >= k && static_cast<std::uint64_t>(v.cols) != d.pr.q[j]))
      return value_error(name + " must have one row per row of x" +
                         (w >= k ? " and " + std::to_string(d.pr.q[j]) + " columns" : std::string()));
    if (w >= k) {
      rows.z.push_back(data_of<double>(v));
      continue;
    }
    rows.levels.push_back(data_of<std::int64_t>(v));
    const auto m = static_cast<std::int64_t>(d.pr.m[j]);
    for (std::uint64_t r = 0; r < rows.r; ++r)
      if (rows.levels[j][r] < -1 || rows.levels[j][r] >= m)
        return value_error(name + " holds " + std::to_string(rows.levels[j][r]) + ", outside [-1, " + std::to_string(m) + ")");
  }
  std::optional<std::vector<double>> out;
  if (!without_gil([&] { out = cr::prediction_variance(d, *entries, reml, rows); })) return nullptr;
  if (!out) return crossed_infeasible();
  return array_taking(std::move(*out), {static_cast<npy_intp>(rows.r)});
}

}  // namespace qk::py
