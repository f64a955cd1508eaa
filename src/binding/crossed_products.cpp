// Crossed products as Python values: the module function reduce_crossed_rows (a batch
// of rows to a dict of arrays) and CrossedCore.from_products (a core from such a dict,
// or from merged ones). The dict holds plain NumPy arrays, lists of them and numbers,
// so it pickles and merges with NumPy; the core checks it whenever it reads one.
//
// Keys: n, p; m and q (int64, one entry per factor); per factor lists ztz (m_j, q_j,
// q_j), ztx (m_j, q_j, p), zty (m_j, q_j) and counts (m_j,) (rows per level; not read
// back); per pair of factors i < j in the order (0,1), (0,2), ..., (1,2), ... the lists
// cross_codes (int64 (pairs, 2): the levels of i and j of each pair that occurs) and
// cross_values (pairs, q_i, q_j): Z_i'W Z_j of the pair; xtx, xty, yty, weighted,
// log_weights and the shift (shift_column, shift_value, shift_y, shift_x).
#include <cstring>
#include <string>
#include <variant>

#include "binding/crossed_internal.hpp"
#include "binding/products.hpp"
#include "binding/pyutil.hpp"

namespace qk::py {

namespace {

namespace cr = qk::crossed;

PyObject* i64_array(std::vector<std::uint64_t>&& v, std::initializer_list<npy_intp> shape) {
  return array_taking(std::move(v), shape);
}

// A list of the arrays of each factor, shape (m_j, tail...).
PyObject* factor_list(std::vector<std::vector<double>>& v, const cr::Products& pr, int kind) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t j = 0; j < v.size(); ++j) {
    const auto m = static_cast<npy_intp>(pr.m[j]), q = static_cast<npy_intp>(pr.q[j]);
    const auto p = static_cast<npy_intp>(pr.p);
    PyObject* arr = kind == 0   ? array_taking(std::move(v[j]), {m, q, q})
                    : kind == 1 ? array_taking(std::move(v[j]), {m, q, p})
                                : array_taking(std::move(v[j]), {m, q});
    if (!arr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j), arr) < 0) return nullptr;
  }
  return list.release();
}

PyObject* crossed_dict(cr::Products&& pr, std::vector<std::vector<std::uint64_t>>&& counts) {
  const std::size_t k = pr.m.size();
  const auto p = static_cast<npy_intp>(pr.p), kk = static_cast<npy_intp>(k);
  Ref counts_list(PyList_New(kk)), codes(PyList_New(0)), values(PyList_New(0));
  if (!counts_list || !codes || !values) return nullptr;
  for (std::size_t j = 0; j < k; ++j) {
    PyObject* c = i64_array(std::move(counts[j]), {static_cast<npy_intp>(pr.m[j])});
    if (!c || PyList_SetItem(counts_list.get(), static_cast<Py_ssize_t>(j), c) < 0) return nullptr;
  }
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      cr::CrossBlock& cb = pr.cross[cr::pair_index(i, j, k)];
      const std::size_t np_ = cb.keys.size();
      std::vector<std::uint64_t> pairs(2 * np_);
      for (std::size_t t = 0; t < np_; ++t) {
        pairs[2 * t] = cb.keys[t] / pr.m[j];
        pairs[2 * t + 1] = cb.keys[t] % pr.m[j];
      }
      const auto n_pairs = static_cast<npy_intp>(np_);
      Ref c(i64_array(std::move(pairs), {n_pairs, 2}));
      Ref v(array_taking(std::move(cb.values),
                         {n_pairs, static_cast<npy_intp>(pr.q[i]), static_cast<npy_intp>(pr.q[j])}));
      if (!c || !v || PyList_Append(codes.get(), c.get()) < 0 || PyList_Append(values.get(), v.get()) < 0)
        return nullptr;
    }
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  const bool ok = set_item(o, "n", PyLong_FromUnsignedLongLong(pr.n)) &&
                  set_item(o, "p", PyLong_FromUnsignedLongLong(pr.p)) &&
                  set_item(o, "m", i64_array(std::vector<std::uint64_t>(pr.m), {kk})) &&
                  set_item(o, "q", i64_array(std::vector<std::uint64_t>(pr.q), {kk})) &&
                  set_item(o, "ztz", factor_list(pr.ztz, pr, 0)) && set_item(o, "ztx", factor_list(pr.ztx, pr, 1)) &&
                  set_item(o, "zty", factor_list(pr.zty, pr, 2)) && set_item(o, "counts", counts_list.release()) &&
                  set_item(o, "cross_codes", codes.release()) && set_item(o, "cross_values", values.release()) &&
                  set_item(o, "xtx", new_array(pr.xtx, {p, p})) && set_item(o, "xty", new_array(pr.xty, {p})) &&
                  set_item(o, "yty", PyFloat_FromDouble(pr.yty)) && put_shift(o, pr.shift, p) &&
                  set_item(o, "weighted", PyBool_FromLong(pr.weighted)) &&
                  set_item(o, "log_weights", PyFloat_FromDouble(pr.log_weights));
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* f_reduce_crossed_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("reduce_crossed_rows", {"y", "x", "factors", "shift", "weights"}, 4, args, nargs, kwnames, a))
    return nullptr;
  BorrowedRows in;
  if (!borrow_rows(a[0], a[1], a[2], a[4], in)) return nullptr;
  const cr::CrossedRows& rows = in.rows;
  const std::size_t sk = rows.factors.size();
  Shift shift;
  if (!read_shift(a[3], "shift", rows.p, shift)) return nullptr;
  std::variant<cr::Products, std::string> pr;
  std::vector<std::vector<std::uint64_t>> counts(sk);
  if (!without_gil([&] {
        pr = cr::products_of(rows, shift);
        if (!std::holds_alternative<cr::Products>(pr)) return;
        for (std::size_t j = 0; j < sk; ++j) {
          counts[j].assign(rows.factors[j].m, 0);
          for (std::uint64_t r = 0; r < rows.n; ++r) ++counts[j][static_cast<std::uint64_t>(rows.factors[j].codes[r])];
        }
      }))
    return nullptr;
  if (auto* err = std::get_if<std::string>(&pr)) return value_error(*err);
  return crossed_dict(std::get<cr::Products>(std::move(pr)), std::move(counts));
}

// dict[key], owned; ValueError naming a missing key.
Ref entry(PyObject* obj, const char* key) {
  Ref v(PyMapping_GetItemString(obj, key));
  if (!v && PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "products lacks the key '%s'", key);
  }
  return v;
}

// An array of exactly `shape` (converted to typenum, C order), its values copied out.
template <class T>
bool read_array(PyObject* v, const std::string& name, int typenum, const std::vector<npy_intp>& shape,
                std::vector<T>& out) {
  Ref arr(PyArray_FROMANY(v, typenum, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
  if (!arr) {
    name_pending_error(name.c_str());
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  bool same = PyArray_NDIM(a) == static_cast<int>(shape.size());
  for (std::size_t i = 0; same && i < shape.size(); ++i) same = PyArray_DIMS(a)[i] == shape[i];
  if (!same) {
    PyErr_Format(PyExc_ValueError, "products: '%s' has a shape that disagrees with n, p, m and q", name.c_str());
    return false;
  }
  out.resize(static_cast<std::size_t>(PyArray_SIZE(a)));
  if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(a), out.size() * sizeof(T));
  return true;
}

// Item t of the list under `key`, as an array of `shape`.
template <class T>
bool read_item(PyObject* obj, const char* key, std::size_t t, int typenum, const std::vector<npy_intp>& shape,
               std::vector<T>& out) {
  Ref list = entry(obj, key);
  if (!list) return false;
  if (!is_sequence(list.get())) {
    PyErr_Format(PyExc_TypeError, "products: '%s' must be a list of arrays", key);
    return false;
  }
  Ref v(PySequence_GetItem(list.get(), static_cast<Py_ssize_t>(t)));
  if (!v) return false;
  return read_array(v.get(), std::string(key) + "[" + std::to_string(t) + "]", typenum, shape, out);
}

bool read_crossed(PyObject* obj, cr::Products& pr) {
  Ref n = entry(obj, "n"), p = entry(obj, "p"), m = entry(obj, "m"), q = entry(obj, "q"), yty = entry(obj, "yty");
  if (!n || !p || !m || !q || !yty || !to_u64(n.get(), "n", pr.n) || !to_u64(p.get(), "p", pr.p) ||
      !to_u64_vec(m.get(), "m", pr.m) || !to_u64_vec(q.get(), "q", pr.q) || !to_double(yty.get(), "yty", pr.yty))
    return false;
  const std::size_t k = pr.m.size();
  if (k == 0 || pr.q.size() != k) {
    value_error("products: m and q must name the same factors, at least one");
    return false;
  }
  const auto np_ = static_cast<npy_intp>(pr.p);
  Ref xtx = entry(obj, "xtx"), xty = entry(obj, "xty");
  if (!xtx || !xty || !read_array(xtx.get(), "xtx", NPY_DOUBLE, {np_, np_}, pr.xtx) ||
      !read_array(xty.get(), "xty", NPY_DOUBLE, {np_}, pr.xty))
    return false;
  pr.ztz.resize(k);
  pr.ztx.resize(k);
  pr.zty.resize(k);
  for (std::size_t j = 0; j < k; ++j) {
    const auto mj = static_cast<npy_intp>(pr.m[j]), qj = static_cast<npy_intp>(pr.q[j]);
    if (!read_item(obj, "ztz", j, NPY_DOUBLE, {mj, qj, qj}, pr.ztz[j]) ||
        !read_item(obj, "ztx", j, NPY_DOUBLE, {mj, qj, np_}, pr.ztx[j]) ||
        !read_item(obj, "zty", j, NPY_DOUBLE, {mj, qj}, pr.zty[j]))
      return false;
  }
  pr.cross.resize(k * (k - 1) / 2);
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const std::size_t t = cr::pair_index(i, j, k);
      Ref list = entry(obj, "cross_codes");
      if (!list) return false;
      Ref arr(PySequence_Check(list.get()) ? PySequence_GetItem(list.get(), static_cast<Py_ssize_t>(t)) : nullptr);
      if (!arr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "products: 'cross_codes' must be a list of arrays");
        return false;
      }
      const npy_intp pairs = PyArray_Check(arr.get()) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr.get())) == 2
                                 ? PyArray_DIMS(reinterpret_cast<PyArrayObject*>(arr.get()))[0]
                                 : -1;
      std::vector<std::int64_t> codes;
      const std::string name = "cross_codes[" + std::to_string(t) + "]";
      if (pairs < 0) {
        value_error("products: '" + name + "' must be an int64 array (pairs, 2)");
        return false;
      }
      if (!read_array(arr.get(), name, NPY_INT64, {pairs, 2}, codes)) return false;
      cr::CrossBlock& cb = pr.cross[t];
      cb.keys.resize(static_cast<std::size_t>(pairs));
      for (std::size_t s = 0; s < cb.keys.size(); ++s) {
        const std::int64_t a = codes[2 * s], b = codes[2 * s + 1];
        if (a < 0 || b < 0 || static_cast<std::uint64_t>(a) >= pr.m[i] || static_cast<std::uint64_t>(b) >= pr.m[j]) {
          value_error("products: '" + name + "' holds a level out of range (pair " + std::to_string(s) + ")");
          return false;
        }
        cb.keys[s] = static_cast<std::uint64_t>(a) * pr.m[j] + static_cast<std::uint64_t>(b);
      }
      if (!read_item(obj, "cross_values", t, NPY_DOUBLE,
                     {pairs, static_cast<npy_intp>(pr.q[i]), static_cast<npy_intp>(pr.q[j])}, cb.values))
        return false;
    }
  if (!read_shift(obj, "products", pr.p, pr.shift)) return false;
  Ref weighted = entry(obj, "weighted"), logw = entry(obj, "log_weights");
  if (!weighted || !logw || !to_bool(weighted.get(), "weighted", pr.weighted) ||
      !to_double(logw.get(), "log_weights", pr.log_weights))
    return false;
  return true;
}

}  // namespace

PyObject* crossed_from_products(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("from_products", {"products", "blocks", "term_order"}, 2, args, nargs, kwnames, a)) return nullptr;
  if (!PyMapping_Check(a[0]) || PySequence_Check(a[0]))
    return arg_error("products", "expected a mapping (a products dict), got '" + type_name(a[0]) + "'");
  cr::Products pr;
  if (!read_crossed(a[0], pr)) return nullptr;
  if (!is_sequence(a[1]) || PySequence_Size(a[1]) != static_cast<Py_ssize_t>(pr.m.size()))
    return value_error("blocks must hold one list of term sizes per factor");
  std::vector<std::vector<std::uint64_t>> blocks(pr.m.size());
  for (std::size_t j = 0; j < blocks.size(); ++j) {
    Ref b(PySequence_GetItem(a[1], static_cast<Py_ssize_t>(j)));
    if (!b || !to_u64_vec(b.get(), "blocks", blocks[j])) return nullptr;
  }
  std::variant<std::unique_ptr<cr::Design>, std::string> built;
  if (!without_gil([&] {
        if (auto err = cr::check_products(pr)) built = "products: " + *err;
        else built = cr::make_design(std::move(pr), std::move(blocks));
      }))
    return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) return value_error(*err);
  Ref kept(PyTuple_Pack(2, a[0], a[1]));
  if (!kept) return nullptr;
  return crossed_wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(std::get<0>(built)), a[2], nullptr, kept.get());
}

PyMethodDef crossed_products_functions[] = {
    QK_METHOD("reduce_crossed_rows", f_reduce_crossed_rows,
              "reduce_crossed_rows(y, x, factors, shift, weights=None)\n--\n\n"
              "The products of one batch of rows of a model with several grouping factors, as a\n"
              "dict (see CrossedCore.from_products): `factors` as CrossedCore takes them (their\n"
              "blocks are not read), `shift` as reduce_rows takes it (every batch of a model must\n"
              "share it). Each level's and each pair's rows are added in row order."),
    QK_END_METHODS,
};

}  // namespace qk::py
