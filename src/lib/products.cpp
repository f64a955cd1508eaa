// Products as Python values: reduce_rows (a batch of rows to a dict of arrays),
// choose_shift, merge_products and LmmCore.from_products. A products dict holds plain
// NumPy arrays and numbers, so it pickles, travels between processes and merges with
// NumPy; the core checks it again whenever it reads one.
#include <cmath>
#include <cstring>
#include <string>
#include <variant>

#include "lib/convert.hpp"
#include "lib/core.hpp"
#include "lib/pyutil.hpp"
#include "lmm/labels.hpp"
#include "lmm/products.hpp"

namespace qk::py {

namespace {

// ---- dict <-> Products ------------------------------------------------------------

PyObject* new_int64_array(const std::vector<std::uint64_t>& v) {
  npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_INT64);
  if (!arr) return nullptr;
  auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = static_cast<std::int64_t>(v[i]);
  return arr;
}

bool put_shift(PyObject* dict, const Shift& s, npy_intp p) {
  return set_item(dict, "shift_column", PyLong_FromLongLong(s.column)) &&
         set_item(dict, "shift_value", PyFloat_FromDouble(s.value)) &&
         set_item(dict, "shift_y", PyFloat_FromDouble(s.y)) && set_item(dict, "shift_x", new_array(s.x, {p}));
}

PyObject* products_dict(const Products& pr) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  const npy_intp p = static_cast<npy_intp>(pr.p), q = static_cast<npy_intp>(pr.q), m = static_cast<npy_intp>(pr.m);
  const bool ok = set_item(o, "n", PyLong_FromUnsignedLongLong(pr.n)) &&
                  set_item(o, "p", PyLong_FromUnsignedLongLong(pr.p)) &&
                  set_item(o, "q", PyLong_FromUnsignedLongLong(pr.q)) &&
                  set_item(o, "m", PyLong_FromUnsignedLongLong(pr.m)) &&
                  set_item(o, "counts", new_int64_array(pr.counts)) && set_item(o, "xtx", new_array(pr.xtx, {p, p})) &&
                  set_item(o, "xty", new_array(pr.xty, {p})) && set_item(o, "yty", PyFloat_FromDouble(pr.yty)) &&
                  set_item(o, "ztz", new_array(pr.ztz, {m, q, q})) && set_item(o, "ztx", new_array(pr.ztx, {m, q, p})) &&
                  set_item(o, "zty", new_array(pr.zty, {m, q})) && put_shift(o, pr.shift, p) &&
                  set_item(o, "weighted", PyBool_FromLong(pr.weighted)) &&
                  set_item(o, "log_weights", PyFloat_FromDouble(pr.log_weights));
  if (!ok) return nullptr;
  return dict.release();
}

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

// A shift from a mapping with the keys shift_column, shift_value, shift_y and shift_x
// (a products dict, or choose_shift's result); None: the rows as given.
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

bool read_products(PyObject* obj, const char* what, Products& pr) {
  if (!item_u64(obj, what, "n", pr.n) || !item_u64(obj, what, "p", pr.p) || !item_u64(obj, what, "q", pr.q) ||
      !item_u64(obj, what, "m", pr.m))
    return false;
  const npy_intp p = static_cast<npy_intp>(pr.p), q = static_cast<npy_intp>(pr.q), m = static_cast<npy_intp>(pr.m);
  if (p < 0 || q < 0 || m < 0 || static_cast<std::uint64_t>(m) != pr.m) {
    PyErr_Format(PyExc_ValueError, "%s: dimensions overflow the address space", what);
    return false;
  }
  return item_array(obj, what, "counts", NPY_INT64, {m}, pr.counts) &&
         item_array(obj, what, "xtx", NPY_DOUBLE, {p, p}, pr.xtx) &&
         item_array(obj, what, "xty", NPY_DOUBLE, {p}, pr.xty) && item_double(obj, what, "yty", pr.yty) &&
         item_array(obj, what, "ztz", NPY_DOUBLE, {m, q, q}, pr.ztz) &&
         item_array(obj, what, "ztx", NPY_DOUBLE, {m, q, p}, pr.ztx) &&
         item_array(obj, what, "zty", NPY_DOUBLE, {m, q}, pr.zty) && read_shift(obj, what, pr.p, pr.shift) &&
         read_weights(obj, what, pr);
}

std::nullptr_t value_error(const std::string& msg) {
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return nullptr;
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
  return products_dict(std::get<Reduced>(out).products);
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

PyObject* f_merge_products(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("merge_products", {"a", "b"}, 2, args, nargs, kwnames, a)) return nullptr;
  Products pa, pb;
  if (!read_products(a[0], "products a", pa) || !read_products(a[1], "products b", pb)) return nullptr;
  std::optional<std::string> err;
  if (!without_gil([&] {
        err = check_products(pa);
        if (err) return;
        err = check_products(pb);
        if (err) return;
        err = merge_products(pa, pb);
      }))
    return nullptr;
  if (err) return value_error(*err);
  return products_dict(pa);
}

// ---- ProductsAccumulator ---------------------------------------------------------

// The accumulator and the buffers its column batches are stacked into, reused from
// batch to batch.
struct AccState {
  Accumulator acc;
  RowBuffers buffers;
};

struct AccObject {
  PyObject_HEAD
  AccState* state;
};

Accumulator& acc_of(PyObject* self) { return reinterpret_cast<AccObject*>(self)->state->acc; }

PyObject* acc_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (!parse_tuple_args("ProductsAccumulator", {"n_groups", "p", "q", "shift", "weighted", "z_in_x"}, 3, args,
                        kwargs, a))
    return nullptr;
  std::uint64_t m, p, q;
  if (!to_u64(a[0], "n_groups", m) || !to_u64(a[1], "p", p) || !to_u64(a[2], "q", q)) return nullptr;
  if (p == 0) return value_error("X must have at least one column");
  if (q == 0) return value_error("Z must have at least one column");
  Shift shift;
  if (!read_shift(a[3], "shift", p, shift)) return nullptr;
  bool weighted = false;
  if (a[4] && a[4] != Py_None) {
    if (!PyBool_Check(a[4])) {
      PyErr_Format(PyExc_TypeError, "weighted must be a bool, got '%s'", type_name(a[4]).c_str());
      return nullptr;
    }
    weighted = a[4] == Py_True;
  }
  std::vector<std::uint64_t> z_in_x;
  if (a[5] && a[5] != Py_None) {
    if (!to_u64_vec(a[5], "z_in_x", z_in_x)) return nullptr;
    if (z_in_x.size() != q) return value_error("z_in_x must name one column of x for each column of z");
    for (std::uint64_t k : z_in_x)
      if (k >= p) return value_error("z_in_x names column " + std::to_string(k) + " of x, which has " +
                                     std::to_string(p) + " columns");
  }
  auto* holder = new (std::nothrow) AccState;
  if (!holder) return PyErr_NoMemory();
  std::unique_ptr<AccState> owned(holder);
  if (!without_gil([&] { holder->acc = empty_accumulator(m, p, q, shift, weighted, std::move(z_in_x)); }))
    return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<AccObject*>(self)->state = owned.release();
  return self;
}

void acc_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete reinterpret_cast<AccObject*>(self)->state;
  reinterpret_cast<AccObject*>(self)->state = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

int acc_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyObject* acc_add_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("add_rows", {"y", "x", "z", "codes", "weights"}, 4, args, nargs, kwnames, a)) return nullptr;
  RowArrays arrays;
  Rows rows;
  ArrayView weights;
  if (!borrow_rows(a[0], a[1], a[2], a[3], arrays) || !rows_of(arrays, rows) || !weights_of(a[4], weights, rows))
    return nullptr;
  std::optional<std::string> err;
  if (!without_gil([&] { err = accumulate_rows(acc_of(self), rows); })) return nullptr;
  if (err) return value_error(*err);
  Py_RETURN_NONE;
}

// The columns of one part (x or z) of add_columns: `want` arrays of n float64 values
// or None, held in `held` while they are read.
bool borrow_columns(PyObject* seq, const char* name, std::uint64_t want, npy_intp n, std::vector<Ref>& held,
                    std::vector<const double*>& out) {
  if (PyUnicode_Check(seq) || !PySequence_Check(seq)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of arrays or None, got '%s'", name, type_name(seq).c_str());
    return false;
  }
  const Py_ssize_t k = PySequence_Size(seq);
  if (k < 0) return false;
  if (static_cast<std::uint64_t>(k) != want) {
    PyErr_Format(PyExc_ValueError, "%s has %zd columns; the products have %llu", name, k,
                 static_cast<unsigned long long>(want));
    return false;
  }
  out.assign(static_cast<std::size_t>(k), nullptr);
  for (Py_ssize_t j = 0; j < k; ++j) {
    Ref col(PySequence_GetItem(seq, j));
    if (!col) return false;
    if (col.get() != Py_None) {
      ArrayView v;
      if (!borrow_vector(col.get(), name, NPY_DOUBLE, v)) return false;
      if (v.rows != n) {
        PyErr_Format(PyExc_ValueError, "column %zd of %s has %zd values; y has %zd", j, name,
                     static_cast<Py_ssize_t>(v.rows), static_cast<Py_ssize_t>(n));
        return false;
      }
      out[static_cast<std::size_t>(j)] = data_of<double>(v);
    }
    held.push_back(std::move(col));
  }
  return true;
}

PyObject* acc_add_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("add_columns", {"y", "x_columns", "z_columns", "codes"}, 4, args, nargs, kwnames, a))
    return nullptr;
  AccState& st = *reinterpret_cast<AccObject*>(self)->state;
  ArrayView y, codes;
  if (!borrow_vector(a[0], "y", NPY_DOUBLE, y) || !borrow_vector(a[3], "codes", NPY_INT64, codes))
    return nullptr;
  if (codes.rows != y.rows) return value_error("y and group codes must agree on the row count");
  std::vector<Ref> held;
  Columns cols{data_of<double>(y), {}, {}, data_of<std::int64_t>(codes), static_cast<std::uint64_t>(y.rows)};
  if (!borrow_columns(a[1], "x_columns", st.acc.p, y.rows, held, cols.x) ||
      !borrow_columns(a[2], "z_columns", st.acc.q, y.rows, held, cols.z))
    return nullptr;
  if (st.acc.weighted) return value_error("the products are weighted: every batch needs its weights");
  std::variant<std::uint64_t, ColumnFault> stacked;
  std::optional<std::string> err;
  if (!without_gil([&] {
        stacked = stack_columns(cols, st.buffers);
        if (std::holds_alternative<std::uint64_t>(stacked)) err = accumulate_rows(st.acc, st.buffers.rows());
      }))
    return nullptr;
  if (auto* fault = std::get_if<ColumnFault>(&stacked)) {
    const char part[2] = {fault->part, '\0'};
    return Py_BuildValue("(i(sKK))", 0, part, static_cast<unsigned long long>(fault->column),
                         static_cast<unsigned long long>(fault->row));
  }
  if (err) return value_error(*err);
  return Py_BuildValue("(KO)", static_cast<unsigned long long>(std::get<std::uint64_t>(stacked)), Py_None);
}

PyObject* acc_grow(PyObject* self, PyObject* arg) {
  std::uint64_t m;
  if (!to_u64(arg, "n_groups", m)) return nullptr;
  if (!without_gil([&] { grow_accumulator(acc_of(self), m); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* acc_products(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("products", {"order"}, 0, args, nargs, kwnames, a)) return nullptr;
  const Accumulator& acc = acc_of(self);
  std::vector<std::uint64_t> order;
  const bool ordered = a[0] && a[0] != Py_None;
  if (ordered) {
    if (PyArray_Check(a[0])) {  // an int64 array, as NumPy makes it: no objects a value
      ArrayView v;
      if (!borrow_vector(a[0], "order", NPY_INT64, v)) return nullptr;
      const std::int64_t* g = data_of<std::int64_t>(v);
      // A negative entry wraps far above acc.m and is refused below.
      order.assign(g, g + v.rows);
    } else if (!to_u64_vec(a[0], "order", order)) {
      return nullptr;
    }
    for (std::uint64_t g : order)
      if (g >= acc.m) {
        PyErr_Format(PyExc_ValueError, "order names group %llu; the products have %llu",
                     static_cast<unsigned long long>(g), static_cast<unsigned long long>(acc.m));
        return nullptr;
      }
  }
  Products pr;
  if (!without_gil([&] { pr = accumulated_products(acc, ordered ? &order : nullptr); })) return nullptr;
  return products_dict(pr);
}

PyObject* acc_get_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(acc_of(self).n); }
PyObject* acc_get_m(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(acc_of(self).m); }

PyMethodDef acc_methods[] = {
    {"add_rows", QK_FASTCALL(acc_add_rows), METH_FASTCALL | METH_KEYWORDS,
     "add_rows($self, y, x, z, codes, weights=None)\n--\n\n"
     "Adds a batch of rows (codes in 0..m-1) to the products: every group's rows are\n"
     "added to its blocks in row order, so the blocks after a sequence of batches are\n"
     "bit-identical to those of one pass over all the rows. On an error (ValueError:\n"
     "a code out of range, the shift's constant column not constant in the batch,\n"
     "weights missing from weighted products or given to unweighted ones, a weight\n"
     "that is not finite and positive) nothing of the batch is added."},
    {"add_columns", QK_FASTCALL(acc_add_columns), METH_FASTCALL | METH_KEYWORDS,
     "add_columns($self, y, x_columns, z_columns, codes)\n--\n\n"
     "Adds a batch given as columns, as a columnar source holds it: y, the columns of\n"
     "x and of z (1-D float64 arrays of one value per row, or None for a column of\n"
     "ones) and the group codes. The rows are stacked in buffers the accumulator\n"
     "keeps, leaving out every row that holds a NaN (a missing value), and added as\n"
     "add_rows adds them. Returns (rows_left_out, None); a value that is infinite adds\n"
     "nothing and returns (0, (part, column, row)), part 'y', 'x' or 'z'. Refused as\n"
     "add_rows refuses a batch, and for weighted products."},
    {"grow", acc_grow, METH_O,
     "grow($self, n_groups)\n--\n\nAdds groups without rows up to n_groups groups."},
    {"products", QK_FASTCALL(acc_products), METH_FASTCALL | METH_KEYWORDS,
     "products($self, order=None)\n--\n\nThe products so far, as a dict (see reduce_rows); with `order` (group\n"
     "numbers), those groups only, in that order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef acc_getset[] = {
    {"n", acc_get_n, nullptr, "Number of rows added.", nullptr},
    {"m", acc_get_m, nullptr, "Number of groups.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot acc_slots[] = {
    {Py_tp_doc, const_cast<char*>("ProductsAccumulator(n_groups, p, q, shift=None, weighted=False, z_in_x=None)\n"
                                  "--\n\n"
                                  "Products of rows added batch by batch (add_rows), kept in the core's\n"
                                  "memory: what reading a large source in batches accumulates into.\n"
                                  "Weighted products take every batch with its prior weights. With z_in_x\n"
                                  "(for each column of z, the column of x it is) Z'Z is read from Z'X,\n"
                                  "which holds the same sums, and kept in less memory; a batch whose z\n"
                                  "differs from those columns of x is refused.")},
    {Py_tp_new, reinterpret_cast<void*>(acc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(acc_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(acc_traverse)},
    {Py_tp_methods, acc_methods},
    {Py_tp_getset, acc_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec accumulator_spec = {
    "quorvelkit._quorvelkit.ProductsAccumulator",
    sizeof(AccObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    acc_slots,
};

PyObject* m_from_products(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("from_products", {"products", "evaluator", "blocks"}, 1, args, nargs, kwnames, a)) return nullptr;
  Evaluator evaluator = kAuto;
  if (a[1] && !parse_evaluator(a[1], evaluator)) return nullptr;
  std::vector<std::uint64_t> blocks;
  if (a[2] && a[2] != Py_None && !to_u64_vec(a[2], "blocks", blocks)) return nullptr;
  Products pr;
  if (!read_products(a[0], "products", pr)) return nullptr;
  if (blocks.empty()) blocks = {pr.q};
  if (auto err = blocks_error(blocks, pr.q)) return value_error(*err);
  std::variant<std::unique_ptr<LmmData>, std::string> built;
  if (!without_gil([&] { built = from_products(std::move(pr), evaluator); })) return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) return value_error(*err);
  set_blocks(*std::get<0>(built), std::move(blocks));
  return wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(std::get<0>(built)));
}

PyMethodDef products_functions[] = {
    {"reduce_rows", QK_FASTCALL(f_reduce_rows), METH_FASTCALL | METH_KEYWORDS,
     "reduce_rows(y, x, z, codes, n_groups, shift=None, weights=None)\n--\n\n"
     "The products of one batch of rows as a dict of arrays: n, p, q, m, counts (rows\n"
     "per group), xtx, xty, yty, ztz (m, q, q), ztx (m, q, p), zty (m, q), the shift\n"
     "they were accumulated with (shift_column, shift_value, shift_y, shift_x), and\n"
     "weighted and log_weights (sum log w; 0.0 without weights). With prior `weights`\n"
     "(as LmmCore takes them) the products are the weighted ones.\n\n"
     "Every batch of one model must be reduced with the same `shift`: a mapping with\n"
     "those four keys (choose_shift's result, or a products dict), or None for the rows\n"
     "as given. Arrays are checked as LmmCore's are."},
    {"choose_shift", QK_FASTCALL(f_choose_shift), METH_FASTCALL | METH_KEYWORDS,
     "choose_shift(y, x)\n--\n\n"
     "The centres LmmCore would subtract from these rows (see LmmCore), as a dict with\n"
     "the keys shift_column, shift_value, shift_y and shift_x: pass it to reduce_rows\n"
     "for every batch of a model."},
    {"code_labels", QK_FASTCALL(f_code_labels), METH_FASTCALL | METH_KEYWORDS,
     "code_labels(labels, table, lo, m)\n--\n\n"
     "Group codes of int64 labels through a table by value: table[v - lo] is the code\n"
     "of label v (-1: not met yet), m the number of labels coded so far. Labels not met\n"
     "get the next codes in row order, written into the table. Returns (codes, m), or\n"
     "None, changing nothing, when a label lies outside lo .. lo + len(table) - 1."},
    {"merge_products", QK_FASTCALL(f_merge_products), METH_FASTCALL | METH_KEYWORDS,
     "merge_products(a, b)\n--\n\n"
     "The products of the rows of a and b together (a's sums + b's, in that order).\n"
     "Refused (ValueError): products that are not consistent, or of other dimensions,\n"
     "group counts or shifts."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qk::py
