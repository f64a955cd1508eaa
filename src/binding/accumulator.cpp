// The ProductsAccumulator type: products of rows added batch by batch (as rows or as
// columns) in the core's memory, and given back as a products dict.
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "binding/convert.hpp"
#include "binding/heap_type.hpp"
#include "binding/products.hpp"
#include "binding/pyutil.hpp"
#include "lmm/prepare/accumulator.hpp"
#include "lmm/prepare/columns.hpp"

namespace qk::py {

namespace {

// The accumulator and the buffers its column batches are stacked into, reused from
// batch to batch.
struct AccState {
  Accumulator acc;
  RowBuffers buffers;
};

struct AccObject {
  PyObject_HEAD
  AccState* state;
  std::array<PyObject**, 0> refs() { return {}; }
  void free_owned() { delete state; state = nullptr; }
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
  AccObject* self = Instance<AccObject>::alloc(type);
  if (!self) return nullptr;
  self->state = owned.release();
  return reinterpret_cast<PyObject*>(self);
}

PyObject* acc_add_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  RowArrays arrays;
  Rows rows;
  ArrayView weights;
  if (!row_args("add_rows", args, nargs, kwnames, 5, arrays, rows, weights)) return nullptr;
  std::optional<std::string> err;
  if (!without_gil([&] { err = accumulate_rows(acc_of(self), rows); })) return nullptr;
  if (err) return value_error(*err);
  Py_RETURN_NONE;
}

// The columns of one part (x or z) of add_columns: `want` arrays of n float64 values
// or None, held in `held` while they are read.
bool borrow_columns(PyObject* seq, const char* name, std::uint64_t want, npy_intp n, std::vector<Ref>& held,
                    std::vector<const double*>& out) {
  if (!is_sequence(seq)) {
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
  if (!parse_args("products", {"order", "release"}, 0, args, nargs, kwnames, a)) return nullptr;
  Accumulator& acc = acc_of(self);
  bool release = false;
  if (a[1] && !to_bool(a[1], "release", release)) return nullptr;
  if (release && !(a[0] && a[0] != Py_None)) return value_error("release needs the order of the groups to take");
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
  if (!without_gil([&] { pr = release ? take_products(acc, order) : accumulated_products(acc, ordered ? &order : nullptr); }))
    return nullptr;
  return products_dict(std::move(pr));
}

PyObject* acc_get_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(acc_of(self).n); }
PyObject* acc_get_m(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(acc_of(self).m); }
PyObject* acc_get_yty(PyObject* self, void*) { return PyFloat_FromDouble(acc_of(self).yty); }
PyObject* acc_get_xtx(PyObject* self, void*) {
  const Accumulator& acc = acc_of(self);
  const npy_intp p = static_cast<npy_intp>(acc.p);
  return new_array(acc.xtx, {p, p});
}

PyMethodDef acc_methods[] = {
    QK_METHOD("add_rows", acc_add_rows, "add_rows($self, y, x, z, codes, weights=None)\n--\n\n"
              "Adds a batch of rows (codes in 0..m-1) to the products: every group's rows are\n"
              "added to its blocks in row order, so the blocks after a sequence of batches are\n"
              "bit-identical to those of one pass over all the rows. On an error (ValueError:\n"
              "a code out of range, the shift's constant column not constant in the batch,\n"
              "weights missing from weighted products or given to unweighted ones, a weight\n"
              "that is not finite and positive) nothing of the batch is added."),
    QK_METHOD("add_columns", acc_add_columns, "add_columns($self, y, x_columns, z_columns, codes)\n--\n\n"
              "Adds a batch given as columns, as a columnar source holds it: y, the columns of\n"
              "x and of z (1-D float64 arrays of one value per row, or None for a column of\n"
              "ones) and the group codes. The rows are stacked in buffers the accumulator\n"
              "keeps, leaving out every row that holds a NaN (a missing value), and added as\n"
              "add_rows adds them. Returns (rows_left_out, None); a value that is infinite adds\n"
              "nothing and returns (0, (part, column, row)), part 'y', 'x' or 'z'. Refused as\n"
              "add_rows refuses a batch, and for weighted products."),
    {"grow", QK_ENTRY(acc_grow), METH_O,
     "grow($self, n_groups)\n--\n\nAdds groups without rows up to n_groups groups."},
    QK_METHOD("products", acc_products, "products($self, order=None, release=False)\n--\n\n"
              "The products so far, as a dict (see reduce_rows); with `order` (group\n"
              "numbers), those groups only, in that order. With release (and `order` a permutation\n"
              "of 0..k-1), the products are taken out: the records are handed back to the system\n"
              "as they are copied, so memory peaks at about the records' size rather than the\n"
              "records' and the products' together, and the accumulator holds no group after\n"
              "(after a MemoryError too: the records were moved, so those products are lost)."),
    QK_END_METHODS,
};

PyGetSetDef acc_getset[] = {
    QK_GETTER("n", acc_get_n, "Number of rows added."),
    QK_GETTER("m", acc_get_m, "Number of groups."),
    QK_GETTER("yty", acc_get_yty, "y'y of the rows added (of the shifted rows)."),
    QK_GETTER("xtx", acc_get_xtx, "X'X of the rows added (of the shifted rows), a new (p, p) array."),
    QK_END_GETSET,
};

}  // namespace

const TypeDef accumulator_type = type_def<AccObject>(
    "quorvelkit._quorvelkit.ProductsAccumulator",
    "ProductsAccumulator(n_groups, p, q, shift=None, weighted=False, z_in_x=None)\n"
    "--\n\n"
    "Products of rows added batch by batch (add_rows), kept in the core's\n"
    "memory: what reading a large source in batches accumulates into.\n"
    "Weighted products take every batch with its prior weights. With z_in_x\n"
    "(for each column of z, the column of x it is) Z'Z is read from Z'X,\n"
    "which holds the same sums, and kept in less memory; a batch whose z\n"
    "differs from those columns of x is refused.",
    QK_ENTRY(acc_new), acc_methods, acc_getset);

}  // namespace qk::py
