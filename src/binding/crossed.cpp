// The CrossedCore class: random-effects terms on K >= 1 grouping factors. This file
// holds the type: construction, lifetime, attributes, pickling and the cores derived
// from an instance (a new response, a fixed effect held); crossed_methods.cpp holds
// the criterion and the fit. All numeric work runs with the interpreter lock released.
#include "binding/crossed.hpp"

#include "binding/crossed_internal.hpp"

#include <cmath>
#include <string>

#include "binding/convert.hpp"
#include "binding/pyutil.hpp"
#include "lmm/crossed/crossed.hpp"

namespace qk::py {

namespace cr = qk::crossed;

bool parse_factor(PyObject* item, std::size_t k, std::uint64_t n, ArrayView& codes, ArrayView& z,
                  cr::FactorRows& out, std::vector<std::uint64_t>& blocks) {
  const std::string name = "factors[" + std::to_string(k) + "]";
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 4) {
    arg_error(name.c_str(), "expected a tuple (codes, n_levels, z, blocks), got '" + type_name(item) + "'");
    return false;
  }
  const std::string cn = name + ".codes", zn = name + ".z", bn = name + ".blocks", mn = name + ".n_levels";
  if (!borrow_vector(PyTuple_GetItem(item, 0), cn.c_str(), NPY_INT64, codes)) return false;
  PyObject* m_obj = PyTuple_GetItem(item, 1);
  // Any integer (a NumPy integer too), but not a bool.
  Ref index(PyBool_Check(m_obj) ? nullptr : PyNumber_Index(m_obj));
  if (!index) {
    PyErr_Clear();
    arg_error(mn.c_str(), "'" + type_name(m_obj) + "' object cannot be interpreted as an integer");
    return false;
  }
  std::uint64_t m;
  if (!to_u64(index.get(), mn.c_str(), m)) return false;
  if (!borrow_matrix(PyTuple_GetItem(item, 2), zn.c_str(), z)) return false;
  if (!to_u64_vec(PyTuple_GetItem(item, 3), bn.c_str(), blocks)) return false;
  if (m == 0) {
    PyErr_SetString(PyExc_ValueError, (mn + " must be at least 1").c_str());
    return false;
  }
  if (static_cast<std::uint64_t>(codes.rows) != n || static_cast<std::uint64_t>(z.rows) != n) {
    PyErr_SetString(PyExc_ValueError, (name + ": codes and z must have one row per row of y").c_str());
    return false;
  }
  out = {data_of<std::int64_t>(codes), m, data_of<double>(z), static_cast<std::uint64_t>(z.cols)};
  return true;
}

bool term_order_of(PyObject* obj, const std::vector<std::vector<std::uint64_t>>& blocks,
                   std::vector<std::pair<std::size_t, std::size_t>>& out) {
  if (!obj || obj == Py_None) {
    out = factor_by_factor(blocks);
    return true;
  }
  const Py_ssize_t n = sequence_length(obj, "term_order", "(factor, term) pairs");
  if (n < 0) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, i));
    std::vector<std::uint64_t> pair;
    if (!item || !to_u64_vec(item.get(), "term_order", pair)) return false;
    if (pair.size() != 2) {
      arg_error("term_order", "each item must be a (factor, term) pair");
      return false;
    }
    out.emplace_back(static_cast<std::size_t>(pair[0]), static_cast<std::size_t>(pair[1]));
  }
  return true;
}

PyObject* crossed_wrap(PyTypeObject* type, std::unique_ptr<cr::Design> design, PyObject* term_order, PyObject* rows,
                       PyObject* products) {
  std::vector<std::pair<std::size_t, std::size_t>> order;
  if (!term_order_of(term_order, design->blocks, order)) return nullptr;
  auto layout = term_layout(design->blocks, order);
  if (auto* err = std::get_if<std::string>(&layout)) return value_error(*err);
  // Everything that can throw comes before the instance exists: an instance the
  // exception left behind would never be freed, nor what it owns.
  auto owned = std::make_unique<TermLayout>(std::get<TermLayout>(std::move(layout)));
  CrossedObject* self = Instance<CrossedObject>::alloc(type);
  if (!self) return nullptr;
  CrossedObject& o = *self;
  o.design = design.release();
  o.layout = owned.release();
  o.rows = Py_XNewRef(rows);
  o.products = Py_XNewRef(products);
  o.term_order = Py_NewRef(term_order ? term_order : Py_None);
  return reinterpret_cast<PyObject*>(self);
}

bool borrow_rows(PyObject* y_obj, PyObject* x_obj, PyObject* factors, PyObject* weights, BorrowedRows& out) {
  if (!borrow_vector(y_obj, "y", NPY_DOUBLE, out.y) || !borrow_matrix(x_obj, "x", out.x)) return false;
  cr::CrossedRows& rows = out.rows;
  rows.n = static_cast<std::uint64_t>(out.y.rows);
  rows.p = static_cast<std::uint64_t>(out.x.cols);
  rows.y = data_of<double>(out.y);
  rows.x = data_of<double>(out.x);
  if (static_cast<std::uint64_t>(out.x.rows) != rows.n) {
    value_error("y and x must agree on the row count");
    return false;
  }
  const Py_ssize_t k = sequence_length(factors, "factors", "factor tuples");
  if (k < 0) return false;
  if (k == 0) {
    value_error("factors must hold at least one grouping factor");
    return false;
  }
  const auto sk = static_cast<std::size_t>(k);
  out.codes.resize(sk);
  out.zs.resize(sk);
  out.blocks.resize(sk);
  for (std::size_t j = 0; j < sk; ++j) {
    cr::FactorRows f{};
    // Each item is held as long as the record: the views borrow its arrays.
    out.items.emplace_back(PySequence_GetItem(factors, static_cast<Py_ssize_t>(j)));
    if (!out.items.back() ||
        !parse_factor(out.items.back().get(), j, rows.n, out.codes[j], out.zs[j], f, out.blocks[j]))
      return false;
    rows.factors.push_back(f);
  }
  if (weights && weights != Py_None) {
    if (!borrow_vector(weights, "weights", NPY_DOUBLE, out.w)) return false;
    if (static_cast<std::uint64_t>(out.w.rows) != rows.n) {
      value_error("weights must hold one value per row");
      return false;
    }
    rows.w = data_of<double>(out.w);
  }
  return true;
}

namespace {

PyObject* crossed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (!parse_tuple_args("CrossedCore", {"y", "x", "factors", "weights", "term_order"}, 3, args, kwargs, a, 3))
    return nullptr;
  BorrowedRows in;
  if (!borrow_rows(a[0], a[1], a[2], a[3], in)) return nullptr;
  cr::CrossedRows& rows = in.rows;
  std::vector<std::vector<std::uint64_t>>& blocks = in.blocks;
  std::variant<std::unique_ptr<cr::Design>, std::string> built;
  if (!without_gil([&] {
        auto pr = cr::products_of(rows);
        if (auto* err = std::get_if<std::string>(&pr)) built = *err;
        else built = cr::make_design(std::get<cr::Products>(std::move(pr)), std::move(blocks));
      }))
    return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) return value_error(*err);
  Ref kept(PyTuple_Pack(4, a[0], a[1], a[2], a[3] ? a[3] : Py_None));
  if (!kept) return nullptr;
  return crossed_wrap(type, std::move(std::get<0>(built)), a[4], kept.get(), nullptr);
}

// The arguments the core was built from, or RowsUnavailable for one built from products.
PyObject* rows_for(PyObject* self, const char* what) {
  PyObject* rows = crossed_object(self).rows;
  if (rows) return rows;
  Ref errors(PyImport_ImportModule("quorvelkit.support.errors"));
  Ref cls(errors ? PyObject_GetAttrString(errors.get(), "RowsUnavailable") : nullptr);
  if (cls)
    PyErr_Format(cls.get(), "%s needs the rows, and this model was fitted from products of rows read in batches, "
                 "which keep none", what);
  return nullptr;
}

// The core of `rows` (y, x, factors, weights) laid out as this one.
PyObject* core_of_rows(PyObject* self, PyObject* y, PyObject* x, PyObject* factors, PyObject* weights) {
  Ref args(PyTuple_Pack(3, y, x, factors));
  Ref kwargs(Py_BuildValue("{sOsO}", "weights", weights, "term_order", crossed_object(self).term_order));
  if (!args || !kwargs) return nullptr;
  return PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), kwargs.get());
}

// The core of `products` (a dict as from_products takes it) laid out as this one.
PyObject* core_of_products(PyObject* self, PyObject* products) {
  Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_products"));
  if (!method) return nullptr;
  PyObject* blocks = PyTuple_GetItem(crossed_object(self).products, 1);
  return PyObject_CallFunctionObjArgs(method.get(), products, blocks, crossed_object(self).term_order, nullptr);
}

}  // namespace

// with_response(y, *rows, weights=None): the one-factor core's arguments after y are
// accepted and not read (the core keeps its x and factors).
PyObject* crossed_with_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 1) return arg_error("y", "with_response() missing required argument 'y' (pos 1)");
  PyObject* weights = Py_None;
  for (Py_ssize_t k = 0; kwnames && k < PyTuple_Size(kwnames); ++k) {
    const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(kwnames, k), nullptr);
    if (!name) return nullptr;
    if (std::string(name) != "weights") {
      PyErr_Format(PyExc_TypeError, "with_response() got an unexpected keyword argument '%s'", name);
      return nullptr;
    }
    weights = args[nargs + k];
  }
  PyObject* rows = rows_for(self, "a new response");
  if (!rows) return nullptr;
  Ref y(PyArray_FROMANY(args[0], NPY_DOUBLE, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
  if (!y) return nullptr;
  return core_of_rows(self, y.get(), PyTuple_GetItem(rows, 1), PyTuple_GetItem(rows, 2), weights);
}

// fixed_at(j, value): the same model with fixed effect j held at value, the response
// y - x_j value on the other columns of x (on products: crossed_products.fixed_at).
PyObject* crossed_fixed_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fixed_at", {"j", "value"}, 2, args, nargs, kwnames, a)) return nullptr;
  const cr::Design& d = crossed_design(self);
  std::uint64_t j = 0;
  double value = 0.0;
  if (!to_u64(a[0], "j", j) || !to_double(a[1], "value", value)) return nullptr;
  if (j >= d.pr.p) {
    PyErr_Format(PyExc_IndexError, "j must index a fixed-effect column (0..%llu), got %llu",
                 static_cast<unsigned long long>(d.pr.p - 1), static_cast<unsigned long long>(j));
    return nullptr;
  }
  if (PyObject* products = crossed_object(self).products) {
    Ref module(PyImport_ImportModule("quorvelkit.cores.crossed_products"));
    Ref held(module ? PyObject_CallMethod(module.get(), "fixed_at", "OKd", PyTuple_GetItem(products, 0),
                                          static_cast<unsigned long long>(j), value)
                    : nullptr);
    return held ? core_of_products(self, held.get()) : nullptr;
  }
  PyObject* rows = rows_for(self, "a fixed effect held");
  if (!rows) return nullptr;
  ArrayView y, x;
  if (!borrow_vector(PyTuple_GetItem(rows, 0), "y", NPY_DOUBLE, y) || !borrow_matrix(PyTuple_GetItem(rows, 1), "x", x))
    return nullptr;
  const npy_intp n = x.rows, p = x.cols, jj = static_cast<npy_intp>(j);
  npy_intp dims[2] = {n, p - 1};
  Ref y_new(PyArray_SimpleNew(1, dims, NPY_DOUBLE)), x_new(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  if (!y_new || !x_new) return nullptr;
  const double* ys = data_of<double>(y);
  const double* xs = data_of<double>(x);
  auto* yo = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(y_new.get())));
  auto* xo = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(x_new.get())));
  for (npy_intp r = 0; r < n; ++r) {
    const double held = xs[r * p + jj] * value;
    yo[r] = ys[r] - held;
    for (npy_intp c = 0, o = 0; c < p; ++c)
      if (c != jj) xo[r * (p - 1) + o++] = xs[r * p + c];
  }
  return core_of_rows(self, y_new.get(), x_new.get(), PyTuple_GetItem(rows, 2), PyTuple_GetItem(rows, 3));
}

// A pickle holds what the core was built from: the core is built again.
PyObject* crossed_reduce(PyObject* self, PyObject*) {
  CrossedObject& o = crossed_object(self);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if (o.products) {
    Ref method(PyObject_GetAttrString(type, "from_products"));
    if (!method) return nullptr;
    return Py_BuildValue("(O(OOO))", method.get(), PyTuple_GetItem(o.products, 0), PyTuple_GetItem(o.products, 1),
                         o.term_order);
  }
  Ref args(PyTuple_GetSlice(o.rows, 0, 3));
  Ref kwargs(Py_BuildValue("{sOsO}", "weights", PyTuple_GetItem(o.rows, 3), "term_order", o.term_order));
  return args && kwargs ? rebuilt_by(type, args.get(), kwargs.get()) : nullptr;
}

namespace {

PyObject* u64_list(const std::vector<std::uint64_t>& v) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* x = PyLong_FromUnsignedLongLong(v[i]);
    if (!x) return nullptr;
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), x) < 0) return nullptr;
  }
  return list.release();
}

struct CrossedSizes {
  static std::uint64_t n(PyObject* self) { return crossed_design(self).pr.n; }
  static std::uint64_t p(PyObject* self) { return crossed_design(self).pr.p; }
  static std::uint64_t n_theta(PyObject* self) { return crossed_design(self).theta_offset.back(); }
  static std::uint64_t q(PyObject* self) {
    std::uint64_t q = 0;
    for (std::uint64_t qj : crossed_design(self).pr.q) q += qj;
    return q;
  }
  static PyObject* m(PyObject* self) { return u64_list(crossed_design(self).pr.m); }
};
PyObject* g_term_sizes(PyObject* self, void*) { return u64_list(crossed_layout(self).term_sizes); }
PyObject* g_evaluator(PyObject*, void*) { return PyUnicode_FromString("blocked"); }
PyObject* g_n_classes(PyObject*, void*) { return Py_NewRef(Py_None); }
PyObject* g_block_kinds(PyObject* self, void*) {
  const cr::Design& d = crossed_design(self);
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (std::size_t j = 0; j < d.layout.k; ++j) {
    Ref s(PyUnicode_FromString(j < d.layout.diagonal ? "diagonal" : "dense"));
    if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
  }
  return list.release();
}

PyGetSetDef crossed_getset[] = {
    QK_SIZES(CrossedSizes),
    QK_GETTER("term_sizes", g_term_sizes, "Columns of each term, in the order of term_order."),
    QK_GETTER("evaluator", g_evaluator, "'blocked': the factor's storage is chosen per factor."),
    QK_GETTER("n_classes", g_n_classes, "None: the crossed core has no classes of groups."),
    QK_GETTER("block_kinds", g_block_kinds,
              "How each factor's block of the factor is stored: 'diagonal' (one block per level) or 'dense'."),
    QK_END_GETSET,
};

}  // namespace

const TypeDef crossed_type = type_def<CrossedObject>(
    "quorvelkit._quorvelkit.CrossedCore",
    "CrossedCore(y, x, factors, *, weights=None, term_order=None)\n--\n\n"
    "Cross-products of a linear mixed model whose random-effects terms sit on\n"
    "K >= 1 grouping factors, crossed or nested. `factors` holds one tuple\n"
    "(codes, n_levels, z, blocks) per factor, most levels first; `term_order` lists\n"
    "the terms as (factor, term) pairs in the order theta lays them out (lme4's),\n"
    "each term's lower triangle column by column; None: factor by factor.",
    QK_ENTRY(crossed_new), crossed_methods, crossed_getset);

}  // namespace qk::py
