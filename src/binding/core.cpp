// The LmmCore type: construction with its argument checks, lifetime, attributes,
// with_response and pickling.
#include "binding/core.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "binding/convert.hpp"
#include "binding/pyutil.hpp"
#include "lmm/prepare/derive.hpp"
#include "lmm/prepare/state.hpp"

namespace qk::py {

// Wraps a prepared design in a new instance of `type`.
PyObject* wrap(PyTypeObject* type, std::unique_ptr<LmmData> data) {
  CoreObject* self = Instance<CoreObject>::alloc(type);
  if (!self) return nullptr;
  self->data = data.release();
  return reinterpret_cast<PyObject*>(self);
}

// The evaluator argument by name.
bool parse_evaluator(PyObject* obj, Evaluator& evaluator) {
  if (!PyUnicode_Check(obj)) { arg_error("evaluator", "'" + type_name(obj) + "' object cannot be converted to 'PyString'"); return false; }
  Py_ssize_t len;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) return false;
  std::string name(s, static_cast<std::size_t>(len));
  if (name == "auto") evaluator = kAuto;
  else if (name == "blocks") evaluator = kBlocks;
  else if (name == "streaming") evaluator = kStreaming;
  else if (name == "aggregated") evaluator = kAggregated;
  else {
    PyErr_SetString(PyExc_ValueError,
                    ("evaluator must be 'auto', 'blocks', 'aggregated' or 'streaming', got " + quoted(name)).c_str());
    return false;
  }
  return true;
}

namespace {

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  // blocks and weights are keyword-only: at most the six classic arguments by position.
  if (!parse_tuple_args("LmmCore", {"y", "x", "z", "codes", "n_groups", "evaluator", "blocks", "weights"}, 5, args,
                        kwargs, a, 6))
    return nullptr;
  // Each array is converted and checked once: dtypes and dimensions first, then the
  // other arguments, then the layout.
  RowArrays arrays;
  if (!borrow_rows(a[0], a[1], a[2], a[3], arrays)) return nullptr;
  // Any integer (a NumPy integer too: codes.max() + 1 is one), but not a bool.
  unsigned long long m;
  {
    Ref index(PyBool_Check(a[4]) ? nullptr : PyNumber_Index(a[4]));
    if (!index) {
      PyErr_Clear();
      return arg_error("n_groups", "'" + type_name(a[4]) + "' object cannot be interpreted as an integer");
    }
    m = PyLong_AsUnsignedLongLong(index.get());
    if (m == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  }
  Evaluator evaluator = kAuto;
  if (a[5] && !parse_evaluator(a[5], evaluator)) return nullptr;
  std::vector<std::uint64_t> blocks;
  if (a[6] && a[6] != Py_None && !to_u64_vec(a[6], "blocks", blocks)) return nullptr;
  Rows rows;
  ArrayView weights;
  if (!rows_of(arrays, rows) || !weights_of(a[7], weights, rows)) return nullptr;
  auto fail = [](const char* msg) -> PyObject* {
    PyErr_SetString(PyExc_ValueError, msg);
    return nullptr;
  };
  if (m == 0) return fail("n_groups must be positive");
  if (rows.p == 0) return fail("X must have at least one column");
  if (rows.q == 0) return fail("Z must have at least one column");
  if (rows.n == 0) return fail("y must not be empty");
  if (blocks.empty()) blocks = {rows.q};
  if (auto err = blocks_error(blocks, rows.q)) return fail(err->c_str());
  {
    using u128 = unsigned __int128;
    const u128 limit = std::numeric_limits<std::uint64_t>::max();
    const u128 mq = static_cast<u128>(m) * rows.q;
    const std::uint64_t width = std::max(rows.p + 1, rows.q);
    // width is at most 2^63 here, so 2 * width + 2 fits in 128 bits with the product.
    if (mq > limit || mq * (2 * static_cast<u128>(width) + 2) > limit)
      return fail("model dimensions overflow the address space");
  }
  std::variant<std::unique_ptr<LmmData>, std::string> built;
  if (!without_gil([&] { built = from_rows(rows, m, evaluator); })) return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) return fail(err->c_str());
  auto& data = std::get<0>(built);
  set_blocks(*data, std::move(blocks));
  return wrap(type, std::move(data));
}

// ---- getters ----------------------------------------------------------------------

struct LmmSizes {
  static std::uint64_t n(PyObject* self) { return data_of(self).n; }
  static std::uint64_t p(PyObject* self) { return data_of(self).p; }
  static std::uint64_t q(PyObject* self) { return data_of(self).q; }
  static std::uint64_t n_theta(PyObject* self) { return data_of(self).theta_index.size(); }
  static PyObject* m(PyObject* self) { return PyLong_FromUnsignedLongLong(data_of(self).m); }
};
PyObject* get_evaluator(PyObject* self, void*) {
  switch (data_of(self).kernel()) {
    case kStreaming: return PyUnicode_FromString("streaming");
    case kAggregated: return PyUnicode_FromString("aggregated");
    default: return PyUnicode_FromString("blocks");
  }
}
PyObject* get_n_classes(PyObject* self, void*) {
  const LmmData& d = data_of(self);
  if (!d.classes) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(d.classes->n_classes);
}

PyGetSetDef core_getset[] = {
    QK_SIZES(LmmSizes),
    QK_GETTER("evaluator", get_evaluator, "The kernel in use: \"blocks\", \"aggregated\" or \"streaming\"."),
    QK_GETTER("n_classes", get_n_classes,
              "Number of distinct Z_i'Z_i classes when the aggregated kernel is used, else None."),
    QK_END_GETSET,
};

}  // namespace

namespace {

// A core derived from `self` is always of the base class, whatever the receiver's
// class: the first type in the receiver's MRO that deallocates with our own slot.
PyTypeObject* base_type(PyObject* self) {
  PyTypeObject* receiver = Py_TYPE(self);
  Ref mro(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__mro__"));
  if (!mro || !PyTuple_Check(mro.get())) {
    PyErr_Clear();
    return receiver;
  }
  for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
    auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GetItem(mro.get(), i));
    if (PyType_GetSlot(t, Py_tp_dealloc) == reinterpret_cast<void*>(&Instance<CoreObject>::dealloc)) return t;
  }
  return receiver;
}

}  // namespace

PyObject* m_with_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  RowArrays arrays;
  Rows rows;
  ArrayView weights;
  // weights is keyword-only.
  if (!row_args("with_response", args, nargs, kwnames, 4, arrays, rows, weights)) return nullptr;
  std::variant<std::unique_ptr<LmmData>, std::string> built;
  if (!without_gil([&] { built = with_response(data_of(self), rows); })) return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) {
    PyErr_SetString(PyExc_ValueError, err->c_str());
    return nullptr;
  }
  return wrap(base_type(self), std::move(std::get<0>(built)));
}

PyObject* m_fixed_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fixed_at", {"j", "value"}, 2, args, nargs, kwnames, a)) return nullptr;
  const LmmData& d = data_of(self);
  std::uint64_t j = 0;
  double value = 0.0;
  if (!to_u64(a[0], "j", j) || !to_double(a[1], "value", value)) return nullptr;
  if (j >= d.p) {
    PyErr_Format(PyExc_IndexError, "j must index a fixed-effect column (0..%llu), got %llu",
                 static_cast<unsigned long long>(d.p - 1), static_cast<unsigned long long>(j));
    return nullptr;
  }
  if (!std::isfinite(value)) {
    PyErr_SetString(PyExc_ValueError, "value must be finite");
    return nullptr;
  }
  std::unique_ptr<LmmData> derived;
  if (!without_gil([&] { derived = fixed_at(d, j, value); })) return nullptr;
  return wrap(base_type(self), std::move(derived));
}

PyObject* m_reduce(PyObject* self, PyObject*) {
  std::string state;
  if (!without_gil([&] { state = encode_state(data_of(self), kVersion); })) return nullptr;
  Ref bytes(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
  Ref module(PyImport_ImportModule("quorvelkit._quorvelkit"));
  Ref restore(module ? PyObject_GetAttrString(module.get(), "_restore_core") : nullptr);
  if (!bytes || !restore) return nullptr;
  Ref dict(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  if (dict && PyDict_Check(dict.get()) && PyDict_Size(dict.get()) > 0)
    return Py_BuildValue("(O(OO)O)", restore.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), bytes.get(),
                         dict.get());
  return Py_BuildValue("(O(OO))", restore.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), bytes.get());
}

PyObject* restore_core(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_restore_core() takes a class and a state");
    return nullptr;
  }
  Ref base(PyObject_GetAttrString(module, "LmmCore"));
  if (!base) return nullptr;
  if (!PyType_Check(args[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[0]),
                                                   reinterpret_cast<PyTypeObject*>(base.get()))) {
    PyErr_SetString(PyExc_TypeError, "_restore_core() restores LmmCore instances only");
    return nullptr;
  }
  if (!PyBytes_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "an LmmCore state is bytes");
    return nullptr;
  }
  char* buf;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(args[1], &buf, &len) < 0) return nullptr;
  std::variant<std::unique_ptr<LmmData>, std::string> built;
  if (!without_gil([&] { built = decode_state(std::string_view(buf, static_cast<std::size_t>(len)), kVersion); }))
    return nullptr;
  if (auto* err = std::get_if<std::string>(&built)) {
    PyErr_SetString(PyExc_ValueError, err->c_str());
    return nullptr;
  }
  return wrap(reinterpret_cast<PyTypeObject*>(args[0]), std::move(std::get<0>(built)));
}

const TypeDef core_type = type_def<CoreObject>(
    "quorvelkit._quorvelkit.LmmCore",
    "LmmCore(y, x, z, codes, n_groups, evaluator='auto', *, blocks=None, weights=None)\n--\n\n"
    "Pre-computed cross-products for one grouping factor.\n\n"
    "`weights`, a float64 vector of finite positive prior weights (one per row;\n"
    "quorvelkit.lmm leaves rows of weight zero out before the core),\n"
    "makes the residual variance of row i sigma^2 / weights[i], as in lme4: the\n"
    "cross-products are the weighted ones and the criterion gains\n"
    "-sum(log(weights)). Weights of exactly 1.0 give the unweighted results to\n"
    "the bit.\n\n"
    "`blocks`, a sequence of positive sizes summing to q, makes the relative\n"
    "covariance factor Lambda block diagonal: random-effect terms in different\n"
    "blocks are uncorrelated (lme4's `(x || g)`, or several terms on the same\n"
    "grouping factor), and `theta` lists each block's lower triangle in turn.\n\n"
    "When a column of `x` is constant and non-zero (an intercept), the\n"
    "cross-products are formed from `y` and the columns of `x` that lie far\n"
    "from zero less centres (medians of a few rows; `z` is never shifted), so\n"
    "that large means cost no digits: an exact reparameterisation, with the\n"
    "intercept and `cov_beta` mapped back. Without such a column the rows are\n"
    "used as given, and `solution` and `fit` warn (RuntimeWarning) when the\n"
    "criterion may have lost digits enough to matter.\n\n"
    "A response the fixed effects fit exactly makes every `theta`\n"
    "infeasible. `with_response` refuses arrays other than the ones the core\n"
    "was built from (by fingerprints of `codes`, `x`, `z` and `weights`). A core pickles\n"
    "its products and fingerprints, not the rows, tagged with the version.",
    QK_ENTRY(core_new), core_methods, core_getset, /*subclassable=*/true);

}  // namespace qk::py
