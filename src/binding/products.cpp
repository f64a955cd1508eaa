// Products as Python values: a products dict to and from the core's Products, the
// module functions reduce_rows (a batch of rows to a dict of arrays), choose_shift and
// code_labels (a batch's group codes), and LmmCore.from_products. A products dict
// holds plain NumPy arrays and numbers, so it pickles, travels between processes and
// merges with NumPy; the core checks it again whenever it reads one.
#include "binding/products.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <variant>

#include "binding/convert.hpp"
#include "binding/core.hpp"
#include "binding/pyutil.hpp"
#include "lmm/prepare/labels.hpp"

namespace qk::py {

namespace {

// The value of a required key, owned (a mapping other than a dict may make a new
// object on every lookup); a ValueError naming a missing key.
Ref item(PyObject* mapping, const char* what, const char* key) {
  if (!PyMapping_Check(mapping) || PySequence_Check(mapping)) {
    PyErr_Format(PyExc_TypeError, "%s must be a mapping (a products dict), got '%s'", what,
                 type_name(mapping).c_str());
    return Ref();
  }
  Ref v(PyMapping_GetItemString(mapping, key));
  if (!v && PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s lacks the key '%s'", what, key);
  }
  return v;
}

bool item_u64(PyObject* mapping, const char* what, const char* key, std::uint64_t& out) {
  Ref v = item(mapping, what, key);
  return v && to_u64(v.get(), key, out);
}

bool item_double(PyObject* mapping, const char* what, const char* key, double& out) {
  Ref v = item(mapping, what, key);
  return v && to_double(v.get(), key, out);
}

// An array of `shape` (float64 or int64 as typenum; converted from any array-like of
// numbers) copied into out.
template <class T>
bool item_array(PyObject* mapping, const char* what, const char* key, int typenum, std::vector<npy_intp> shape,
                std::vector<T>& out) {
  Ref v = item(mapping, what, key);
  if (!v) return false;
  Ref arr(PyArray_FROMANY(v.get(), typenum, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
  if (!arr) {
    name_pending_error(key);
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  bool same = PyArray_NDIM(a) == static_cast<int>(shape.size());
  for (std::size_t i = 0; same && i < shape.size(); ++i) same = PyArray_DIMS(a)[i] == shape[i];
  if (!same) {
    std::string want = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) want += (i ? ", " : "") + std::to_string(shape[i]);
    std::string got = "(";
    for (int i = 0; i < PyArray_NDIM(a); ++i) got += (i ? ", " : "") + std::to_string(PyArray_DIMS(a)[i]);
    PyErr_Format(PyExc_ValueError, "%s: '%s' has shape %s), expected %s) from its n, p, q and m", what, key,
                 got.c_str(), want.c_str());
    return false;
  }
  const std::size_t len = static_cast<std::size_t>(PyArray_SIZE(a));
  out.resize(len);
  if (typenum == NPY_INT64) {
    const auto* src = static_cast<const std::int64_t*>(PyArray_DATA(a));
    for (std::size_t i = 0; i < len; ++i) {
      if (src[i] < 0) {
        PyErr_Format(PyExc_ValueError, "%s: '%s' holds a negative row count (group %zu)", what, key, i);
        return false;
      }
      out[i] = static_cast<T>(src[i]);
    }
  } else if (len) {
    std::memcpy(out.data(), PyArray_DATA(a), len * sizeof(double));
  }
  return true;
}

}  // namespace

bool put_shift(PyObject* dict, const Shift& s, npy_intp p) {
  return set_item(dict, "shift_column", PyLong_FromLongLong(s.column)) &&
         set_item(dict, "shift_value", PyFloat_FromDouble(s.value)) &&
         set_item(dict, "shift_y", PyFloat_FromDouble(s.y)) && set_item(dict, "shift_x", new_array(s.x, {p}));
}

PyObject* products_dict(Products&& pr) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  const npy_intp p = static_cast<npy_intp>(pr.p), q = static_cast<npy_intp>(pr.q), m = static_cast<npy_intp>(pr.m);
  const bool ok = set_item(o, "n", PyLong_FromUnsignedLongLong(pr.n)) &&
                  set_item(o, "p", PyLong_FromUnsignedLongLong(pr.p)) &&
                  set_item(o, "q", PyLong_FromUnsignedLongLong(pr.q)) &&
                  set_item(o, "m", PyLong_FromUnsignedLongLong(pr.m)) &&
                  set_item(o, "counts", array_taking(std::move(pr.counts), {m})) &&
                  set_item(o, "xtx", new_array(pr.xtx, {p, p})) && set_item(o, "xty", new_array(pr.xty, {p})) &&
                  set_item(o, "yty", PyFloat_FromDouble(pr.yty)) &&
                  set_item(o, "ztz", array_taking(std::move(pr.ztz), {m, q, q})) &&
                  set_item(o, "ztx", array_taking(std::move(pr.ztx), {m, q, p})) &&
                  set_item(o, "zty", array_taking(std::move(pr.zty), {m, q})) && put_shift(o, pr.shift, p) &&
                  set_item(o, "weighted", PyBool_FromLong(pr.weighted)) &&
                  set_item(o, "log_weights", PyFloat_FromDouble(pr.log_weights));
  if (!ok) return nullptr;
  return dict.release();
}

bool read_shift(PyObject* obj, const char* what, std::uint64_t p, Shift& out) {
  out = Shift{};
  if (!obj || obj == Py_None) {
    out.x.assign(p, 0.0);
    return true;
  }
  Ref col = item(obj, what, "shift_column");
  if (!col) return false;
  const long long c = PyLong_AsLongLong(col.get());
  if (c == -1 && PyErr_Occurred()) {
    name_pending_error("shift_column");
    return false;
  }
  out.column = c;
  return item_double(obj, what, "shift_value", out.value) && item_double(obj, what, "shift_y", out.y) &&
         item_array(obj, what, "shift_x", NPY_DOUBLE, {static_cast<npy_intp>(p)}, out.x);
}

namespace {

// The optional keys "weighted" (a bool) and "log_weights" (sum log w): unweighted
// products when absent.
bool read_weights(PyObject* obj, const char* what, Products& pr) {
  if (PyMapping_HasKeyString(obj, "weighted")) {
    Ref flag = item(obj, what, "weighted");
    if (!flag) return false;
    if (!PyBool_Check(flag.get())) {
      PyErr_Format(PyExc_TypeError, "%s: 'weighted' must be a bool, got '%s'", what, type_name(flag.get()).c_str());
      return false;
    }
    pr.weighted = flag.get() == Py_True;
  }
  if (PyMapping_HasKeyString(obj, "log_weights")) return item_double(obj, what, "log_weights", pr.log_weights);
  return true;
}

// With `take`, obj is a dict and its per-group arrays are removed from it once read,
// each freed then when nothing else holds it: the products' blocks and their copy
// are not all held at once.
bool read_products(PyObject* obj, const char* what, Products& pr, bool take = false) {
  if (!item_u64(obj, what, "n", pr.n) || !item_u64(obj, what, "p", pr.p) || !item_u64(obj, what, "q", pr.q) ||
      !item_u64(obj, what, "m", pr.m))
    return false;
  const npy_intp p = static_cast<npy_intp>(pr.p), q = static_cast<npy_intp>(pr.q), m = static_cast<npy_intp>(pr.m);
  if (p < 0 || q < 0 || m < 0 || static_cast<std::uint64_t>(m) != pr.m) {
    PyErr_Format(PyExc_ValueError, "%s: dimensions overflow the address space", what);
    return false;
  }
  const auto taken = [&](const char* key) { return !take || PyDict_DelItemString(obj, key) == 0; };
  return item_array(obj, what, "counts", NPY_INT64, {m}, pr.counts) && taken("counts") &&
         item_array(obj, what, "xtx", NPY_DOUBLE, {p, p}, pr.xtx) &&
         item_array(obj, what, "xty", NPY_DOUBLE, {p}, pr.xty) && item_double(obj, what, "yty", pr.yty) &&
         item_array(obj, what, "ztz", NPY_DOUBLE, {m, q, q}, pr.ztz) && taken("ztz") &&
         item_array(obj, what, "ztx", NPY_DOUBLE, {m, q, p}, pr.ztx) && taken("ztx") &&
         item_array(obj, what, "zty", NPY_DOUBLE, {m, q}, pr.zty) && taken("zty") &&
         read_shift(obj, what, pr.p, pr.shift) && read_weights(obj, what, pr);
}

// ---- functions --------------------------------------------------------------------

PyObject* f_reduce_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("reduce_rows", {"y", "x", "z", "codes", "n_groups", "shift", "weights"}, 5, args, nargs, kwnames,
                  a))
    return nullptr;
  RowArrays arrays;
  if (!borrow_rows(a[0], a[1], a[2], a[3], arrays)) return nullptr;
  std::uint64_t m;
  if (!to_u64(a[4], "n_groups", m)) return nullptr;
  Rows rows;
  ArrayView weights;
  if (!rows_of(arrays, rows) || !weights_of(a[6], weights, rows)) return nullptr;
  if (m == 0) return value_error("n_groups must be positive");
  if (rows.p == 0) return value_error("X must have at least one column");
  if (rows.q == 0) return value_error("Z must have at least one column");
  Shift shift;
  if (!read_shift(a[5], "shift", rows.p, shift)) return nullptr;
  std::variant<Reduced, std::string> out;
  if (!without_gil([&] { out = reduce_rows(rows, m, shift); })) return nullptr;
  if (auto* err = std::get_if<std::string>(&out)) return value_error(*err);
  return products_dict(std::move(std::get<Reduced>(out).products));
}

PyObject* f_choose_shift(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("choose_shift", {"y", "x"}, 2, args, nargs, kwnames, a)) return nullptr;
  // The rows' y and x with a dummy z and codes: the same checks as the constructor's.
  RowArrays arrays;
  Ref z, codes;
  {
    npy_intp n = PyArray_Check(a[0]) ? PyArray_SIZE(reinterpret_cast<PyArrayObject*>(a[0])) : 0;
    npy_intp zd[2] = {n, 1};
    z = Ref(PyArray_ZEROS(2, zd, NPY_DOUBLE, 0));
    codes = Ref(PyArray_ZEROS(1, zd, NPY_INT64, 0));
    if (!z || !codes) return nullptr;
  }
  if (!borrow_rows(a[0], a[1], z.get(), codes.get(), arrays)) return nullptr;
  Rows rows;
  if (!rows_of(arrays, rows)) return nullptr;
  Shift shift;
  if (!without_gil([&] { shift = choose_shift(rows); })) return nullptr;
  Ref dict(PyDict_New());
  if (!dict || !put_shift(dict.get(), shift, static_cast<npy_intp>(rows.p))) return nullptr;
  return dict.release();
}

PyObject* f_code_labels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("code_labels", {"labels", "table", "lo", "m"}, 4, args, nargs, kwnames, a)) return nullptr;
  ArrayView labels, table;
  long long lo;
  std::uint64_t m;
  if (!borrow_vector(a[0], "labels", NPY_INT64, labels) || !borrow_vector(a[1], "table", NPY_INT64, table))
    return nullptr;
  if (!(PyArray_FLAGS(table.arr) & NPY_ARRAY_WRITEABLE)) {
    PyErr_SetString(PyExc_ValueError, "table must be writeable");
    return nullptr;
  }
  lo = PyLong_AsLongLong(a[2]);
  if (lo == -1 && PyErr_Occurred()) return nullptr;
  if (!to_u64(a[3], "m", m)) return nullptr;
  const std::uint64_t n = static_cast<std::uint64_t>(labels.rows), size = static_cast<std::uint64_t>(table.rows);
  npy_intp dims[1] = {labels.rows};
  Ref codes(PyArray_SimpleNew(1, dims, NPY_INT64));
  if (!codes) return nullptr;
  auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(codes.get())));
  const auto* in = data_of<std::int64_t>(labels);
  auto* entries = static_cast<std::int64_t*>(PyArray_DATA(table.arr));
  LabelTable t{lo, entries, size, m};
  bool inside = true;
  if (!without_gil([&] {
        if (n == 0) return;
        const LabelRange range = label_range(in, n);
        // Both ends inside [lo, lo + size): as unsigned offsets from lo, so that no
        // difference overflows.
        const auto off = [&](std::int64_t v) { return static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(lo); };
        inside = range.lo >= lo && off(range.hi) < size;
        if (inside) code_labels(t, in, n, out);
      }))
    return nullptr;
  if (!inside) Py_RETURN_NONE;
  return Py_BuildValue("(OK)", codes.get(), static_cast<unsigned long long>(t.m));
}

// A hash table of labels from its two arrays (keys, codes: int64, writeable, one
// length, a power of two) and its count m (below half the slots).
bool label_hash_of(PyObject* keys, PyObject* codes, PyObject* count, LabelHash& out) {
  ArrayView k, c;
  if (!borrow_vector(keys, "keys", NPY_INT64, k) || !borrow_vector(codes, "codes", NPY_INT64, c)) return false;
  if (!(PyArray_FLAGS(k.arr) & NPY_ARRAY_WRITEABLE) || !(PyArray_FLAGS(c.arr) & NPY_ARRAY_WRITEABLE)) {
    PyErr_SetString(PyExc_ValueError, "keys and codes must be writeable");
    return false;
  }
  const auto slots = static_cast<std::uint64_t>(k.rows);
  if (c.rows != k.rows || slots < 2 || (slots & (slots - 1)) != 0) {
    PyErr_SetString(PyExc_ValueError, "keys and codes must have one length, a power of two from 2 on");
    return false;
  }
  if (!to_u64(count, "m", out.m)) return false;
  if (4 * out.m > 3 * slots) {
    PyErr_SetString(PyExc_ValueError, "m labels fill more than three quarters of the slots");
    return false;
  }
  out.key = static_cast<std::int64_t*>(PyArray_DATA(k.arr));
  out.code = static_cast<std::int64_t*>(PyArray_DATA(c.arr));
  out.slots = slots;
  return true;
}

PyObject* f_hash_labels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("hash_labels", {"labels", "keys", "codes", "m", "out", "start"}, 6, args, nargs, kwnames, a))
    return nullptr;
  ArrayView labels, out;
  LabelHash t;
  std::uint64_t start;
  if (!borrow_vector(a[0], "labels", NPY_INT64, labels) || !borrow_vector(a[4], "out", NPY_INT64, out) ||
      !label_hash_of(a[1], a[2], a[3], t) || !to_u64(a[5], "start", start))
    return nullptr;
  const auto n = static_cast<std::uint64_t>(labels.rows);
  if (out.rows != labels.rows || !(PyArray_FLAGS(out.arr) & NPY_ARRAY_WRITEABLE) || start > n)
    return value_error("out must be a writeable array as long as labels, and start at most its length");
  std::uint64_t stopped = 0;
  auto* codes = static_cast<std::int64_t*>(PyArray_DATA(out.arr));
  if (!without_gil([&] { stopped = hash_labels(t, data_of<std::int64_t>(labels), start, n, codes); })) return nullptr;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(stopped), static_cast<unsigned long long>(t.m));
}

PyObject* f_rehash_labels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("rehash_labels", {"keys", "codes", "m", "new_keys", "new_codes"}, 5, args, nargs, kwnames, a))
    return nullptr;
  LabelHash from, to;
  Ref zero(PyLong_FromLong(0));
  if (!zero || !label_hash_of(a[0], a[1], a[2], from) || !label_hash_of(a[3], a[4], zero.get(), to)) return nullptr;
  if (4 * from.m > 3 * to.slots) return value_error("the new table must keep at most three quarters of its slots full");
  bool ok = false;
  if (!without_gil([&] {
        std::fill_n(to.code, to.slots, -1);
        ok = rehash_labels(from, to);
      }))
    return nullptr;
  if (!ok) return value_error("the labels' table holds more labels than m says");
  Py_RETURN_NONE;
}

}  // namespace

PyObject* m_from_products(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("from_products", {"products", "evaluator", "blocks", "take"}, 1, args, nargs, kwnames, a))
    return nullptr;
  Evaluator evaluator = kAuto;
  if (a[1] && !parse_evaluator(a[1], evaluator)) return nullptr;
  std::vector<std::uint64_t> blocks;
  if (a[2] && a[2] != Py_None && !to_u64_vec(a[2], "blocks", blocks)) return nullptr;
  bool take = false;
  if (a[3] && !to_bool(a[3], "take", take)) return nullptr;
  if (take && !PyDict_Check(a[0])) {
    PyErr_Format(PyExc_TypeError, "take needs the products as a dict, got '%s'", type_name(a[0]).c_str());
    return nullptr;
  }
  Products pr;
  if (!read_products(a[0], "products", pr, take)) return nullptr;
  if (blocks.empty()) blocks = {pr.q};
  if (auto err = blocks_error(blocks, pr.q)) return value_error(*err);
  std::variant<std::unique_ptr<LmmData>, std::string> built;
  if (!without_gil([&] { built = from_products(std::move(pr), evaluator); })) return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) return value_error(*err);
  set_blocks(*std::get<0>(built), std::move(blocks));
  return wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(std::get<0>(built)));
}

PyMethodDef products_functions[] = {
    QK_METHOD("reduce_rows", f_reduce_rows, "reduce_rows(y, x, z, codes, n_groups, shift=None, weights=None)\n--\n\n"
              "The products of one batch of rows as a dict of arrays: n, p, q, m, counts (rows\n"
              "per group), xtx, xty, yty, ztz (m, q, q), ztx (m, q, p), zty (m, q), the shift\n"
              "they were accumulated with (shift_column, shift_value, shift_y, shift_x), and\n"
              "weighted and log_weights (sum log w; 0.0 without weights). With prior `weights`\n"
              "(as LmmCore takes them) the products are the weighted ones.\n\n"
              "Every batch of one model must be reduced with the same `shift`: a mapping with\n"
              "those four keys (choose_shift's result, or a products dict), or None for the rows\n"
              "as given. Arrays are checked as LmmCore's are."),
    QK_METHOD("choose_shift", f_choose_shift, "choose_shift(y, x)\n--\n\n"
              "The centres LmmCore would subtract from these rows (see LmmCore), as a dict with\n"
              "the keys shift_column, shift_value, shift_y and shift_x: pass it to reduce_rows\n"
              "for every batch of a model."),
    QK_METHOD("code_labels", f_code_labels, "code_labels(labels, table, lo, m)\n--\n\n"
              "Group codes of int64 labels through a table by value: table[v - lo] is the code\n"
              "of label v (-1: not met yet), m the number of labels coded so far. Labels not met\n"
              "get the next codes in row order, written into the table. Returns (codes, m), or\n"
              "None, changing nothing, when a label lies outside lo .. lo + len(table) - 1."),
    QK_METHOD("hash_labels", f_hash_labels, "hash_labels(labels, keys, codes, m, out, start)\n--\n\n"
              "Group codes of int64 labels through a hash table (keys and codes: int64 arrays of\n"
              "one length, a power of two; codes -1 for an empty slot), m the number of labels\n"
              "coded so far. labels[start:] are coded into out[start:], labels not met getting the\n"
              "next codes in row order, until a new label would fill more than 3/4 of the table.\n"
              "Returns (row stopped at, m): the row is len(labels) when every label is coded;\n"
              "otherwise move the table to one twice as large (rehash_labels) and go on from it."),
    QK_METHOD("rehash_labels", f_rehash_labels, "rehash_labels(keys, codes, m, new_keys, new_codes)\n--\n\n"
              "Enters the m labels of a hash table (see hash_labels) with their codes into a new\n"
              "one (its codes are set to -1 first), which must keep at most 3/4 of its slots full."),
    QK_END_METHODS,
};

}  // namespace qk::py
