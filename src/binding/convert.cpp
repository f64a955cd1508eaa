// Argument conversion and checks, and result objects, for the LmmCore methods.
#include "binding/convert.hpp"

#include <cstring>
#include <new>

#include "binding/pyutil.hpp"

namespace qk::py {

namespace {

bool borrow_array(PyObject* obj, const char* name, int ndim, int typenum, ArrayView& out) {
  const char* want = typenum == NPY_DOUBLE ? "float64" : "int64";
  if (!PyArray_Check(obj)) {
    arg_error(name, "expected a numpy.ndarray of dtype " + std::string(want) + ", got '" +
                        type_name(obj) + "'");
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* descr = PyArray_DESCR(arr);
  // The dtype must match exactly, in native byte order: nothing is converted.
  if (PyArray_TYPE(arr) != typenum || !PyArray_ISNOTSWAPPED(arr)) {
    Ref s(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    const char* got = s ? PyUnicode_AsUTF8AndSize(s.get(), nullptr) : nullptr;
    if (!got) PyErr_Clear();
    std::string gs = got ? got : "another dtype";
    if (PyArray_TYPE(arr) == typenum) gs += " (non-native byte order)";
    arg_error(name, "expected an array of dtype " + std::string(want) + ", got " + gs);
    return false;
  }
  if (PyArray_NDIM(arr) != ndim) {
    arg_error(name, "expected a " + std::to_string(ndim) + "-dimensional array, got " +
                        std::to_string(PyArray_NDIM(arr)) + " dimensions");
    return false;
  }
  out.arr = arr;
  out.rows = PyArray_DIMS(arr)[0];
  out.cols = ndim == 2 ? PyArray_DIMS(arr)[1] : 1;
  return true;
}

bool is_aligned(PyArrayObject* a) { return (PyArray_FLAGS(a) & NPY_ARRAY_ALIGNED) != 0; }

// 1-D: contiguous and aligned unless empty.
bool check_vector(const ArrayView& v) {
  if (v.rows == 0) return true;
  if ((PyArray_FLAGS(v.arr) & NPY_ARRAY_C_CONTIGUOUS) && is_aligned(v.arr)) return true;
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
  return false;
}

// 2-D: standard row-major layout unless empty. A misaligned matrix cannot be read
// safely either and gets the same error as a misaligned vector.
bool check_matrix(const ArrayView& v, const char* msg) {
  if (v.rows == 0 || v.cols == 0) return true;
  const npy_intp* st = PyArray_STRIDES(v.arr);
  const npy_intp item = sizeof(double);
  bool ok = (st[1] == item || v.cols == 1) && (st[0] == v.cols * item || v.rows == 1);
  if (!ok) {
    PyErr_SetString(PyExc_ValueError, msg);
    return false;
  }
  if (!is_aligned(v.arr)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  return true;
}

template <class T>
const T* data_ptr(const ArrayView& v) {
  return static_cast<const T*>(PyArray_DATA(v.arr));
}

}  // namespace

bool borrow_vector(PyObject* obj, const char* name, int typenum, ArrayView& out) {
  return borrow_array(obj, name, 1, typenum, out) && check_vector(out);
}

bool borrow_matrix(PyObject* obj, const char* name, ArrayView& out) {
  const std::string msg = std::string(name) + " must be C-contiguous";
  return borrow_array(obj, name, 2, NPY_DOUBLE, out) && check_matrix(out, msg.c_str());
}

bool borrow_rows(PyObject* y, PyObject* x, PyObject* z, PyObject* codes, RowArrays& out) {
  return borrow_array(y, "y", 1, NPY_DOUBLE, out.y) && borrow_array(x, "x", 2, NPY_DOUBLE, out.x) &&
         borrow_array(z, "z", 2, NPY_DOUBLE, out.z) && borrow_array(codes, "codes", 1, NPY_INT64, out.codes);
}

bool rows_of(const RowArrays& a, Rows& out) {
  if (!check_vector(a.y) || !check_vector(a.codes) || !check_matrix(a.x, "X must be C-contiguous") ||
      !check_matrix(a.z, "Z must be C-contiguous"))
    return false;
  if (a.codes.rows != a.y.rows || a.x.rows != a.y.rows || a.z.rows != a.y.rows) {
    PyErr_SetString(PyExc_ValueError, "y, X, Z and group codes must agree on the row count");
    return false;
  }
  out = Rows{data_ptr<double>(a.y), data_ptr<double>(a.x), data_ptr<double>(a.z),
             data_ptr<std::int64_t>(a.codes), static_cast<std::uint64_t>(a.y.rows),
             static_cast<std::uint64_t>(a.x.cols), static_cast<std::uint64_t>(a.z.cols)};
  return true;
}

bool weights_of(PyObject* weights, ArrayView& view, Rows& rows) {
  if (!weights || weights == Py_None) return true;
  if (!borrow_array(weights, "weights", 1, NPY_DOUBLE, view) || !check_vector(view)) return false;
  if (static_cast<std::uint64_t>(view.rows) != rows.n) {
    PyErr_SetString(PyExc_ValueError, ("weights must hold one value per row: y has " + std::to_string(rows.n) +
                                       " rows, weights has " + std::to_string(view.rows) + " values")
                                          .c_str());
    return false;
  }
  rows.w = data_ptr<double>(view);
  return true;
}

// A sequence of numbers as a vector of doubles; a str is refused.
bool row_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::size_t positional,
              RowArrays& arrays, Rows& rows, ArrayView& weights) {
  std::vector<PyObject*> a;
  return parse_args(fname, {"y", "x", "z", "codes", "weights"}, 4, args, nargs, kwnames, a, positional) &&
         borrow_rows(a[0], a[1], a[2], a[3], arrays) && rows_of(arrays, rows) && weights_of(a[4], weights, rows);
}

bool to_vec(PyObject* obj, const char* name, std::vector<double>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    arg_error(name, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
    return false;
  }
  Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) {
    name_pending_error(name);
    return false;
  }
  out.clear();
  out.reserve(static_cast<std::size_t>(len));
  return each_item(obj, name, [&](PyObject* item) {
    const double v = PyFloat_AsDouble(item);
    if (v == -1.0 && PyErr_Occurred()) return name_pending_error(name), false;
    out.push_back(v);
    return true;
  });
}

// A Python bool, or a NumPy boolean scalar.
bool to_bool(PyObject* obj, const char* name, bool& out) {
  bool accepted = PyBool_Check(obj);
  if (!accepted) {
    Ref mod(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
    if (!mod) PyErr_Clear();
    const char* ms = mod && PyUnicode_Check(mod.get()) ? PyUnicode_AsUTF8AndSize(mod.get(), nullptr) : nullptr;
    std::string tn = type_name(obj);
    accepted = ms && std::string(ms) == "numpy" && (tn == "bool_" || tn == "bool");
    if (!accepted) {
      arg_error(name, "'" + tn + "' object cannot be converted to 'PyBool'");
      return false;
    }
  }
  int t = PyObject_IsTrue(obj);
  if (t < 0) {
    name_pending_error(name);
    return false;
  }
  out = t != 0;
  return true;
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
  Ref idx(PyNumber_Index(obj));
  if (!idx) {
    name_pending_error(name);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_OverflowError,
                      ("argument '" + std::string(name) + "': value out of range 0..2**64-1").c_str());
    }
    return false;
  }
  out = v;
  return true;
}

bool to_u64_vec(PyObject* obj, const char* name, std::vector<std::uint64_t>& out) {
  if (!is_sequence(obj)) {
    arg_error(name, "'" + type_name(obj) + "' object is not a sequence of integers");
    return false;
  }
  out.clear();
  return each_item(obj, name, [&](PyObject* item) {
    std::uint64_t v;
    if (!to_u64(item, name, v)) return false;
    out.push_back(v);
    return true;
  });
}

Py_ssize_t sequence_length(PyObject* obj, const char* name, const char* of_what) {
  if (!is_sequence(obj)) {
    arg_error(name, "'" + type_name(obj) + "' object is not a sequence of " + of_what);
    return -1;
  }
  return PySequence_Size(obj);
}

bool to_double(PyObject* obj, const char* name, double& out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    name_pending_error(name);
    return false;
  }
  out = v;
  return true;
}

bool fit_args(const std::vector<PyObject*>& a, std::vector<double>& starts, bool& reml, MinimizeOptions& options) {
  reml = true;
  options = MinimizeOptions{};  // its defaults are the methods' documented ones
  if (!to_vec(a[0], "starts", starts)) return false;
  if (a[1] && !to_bool(a[1], "reml", reml)) return false;
  if (a[2] && !to_u64(a[2], "max_iter", options.max_iter)) return false;
  if (a[3] && !to_double(a[3], "gtol", options.gtol)) return false;
  return !(a[4] && !to_double(a[4], "ftol", options.ftol));
}

PyObject* float_list(const std::vector<double>& v) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (!f) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
  }
  return list.release();
}

PyObject* new_array(const std::vector<double>& v, std::initializer_list<npy_intp> shape) {
  std::vector<npy_intp> dims(shape);
  PyObject* arr = PyArray_SimpleNew(static_cast<int>(dims.size()), dims.data(), NPY_DOUBLE);
  if (!arr) return nullptr;
  if (!v.empty())
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), v.data(), v.size() * sizeof(double));
  return arr;
}

namespace {

constexpr const char* kBufferCapsule = "quorvelkit.buffer";

template <class T>
void free_buffer(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// The values of v held by a capsule that is the array's base: freed with the array.
template <class T>
PyObject* take_buffer(std::vector<T>&& v, std::initializer_list<npy_intp> shape, int typenum) {
  std::vector<npy_intp> dims(shape);
  auto* held = new (std::nothrow) std::vector<T>(std::move(v));
  if (!held) return PyErr_NoMemory();
  PyObject* capsule = PyCapsule_New(held, kBufferCapsule, free_buffer<T>);
  if (!capsule) {
    delete held;
    return nullptr;
  }
  PyObject* arr = PyArray_SimpleNewFromData(static_cast<int>(dims.size()), dims.data(), typenum, held->data());
  if (!arr) {
    Py_DECREF(capsule);
    return nullptr;
  }
  // Takes the capsule's reference, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), capsule) < 0) {
    Py_DECREF(arr);
    return nullptr;
  }
  return arr;
}

}  // namespace

PyObject* array_taking(std::vector<double>&& v, std::initializer_list<npy_intp> shape) {
  if (v.empty()) return new_array(v, shape);
  return take_buffer(std::move(v), shape, NPY_DOUBLE);
}

PyObject* array_taking(std::vector<std::uint64_t>&& v, std::initializer_list<npy_intp> shape) {
  if (v.empty()) {
    std::vector<npy_intp> dims(shape);
    return PyArray_ZEROS(static_cast<int>(dims.size()), dims.data(), NPY_INT64, 0);
  }
  static_assert(sizeof(std::uint64_t) == sizeof(std::int64_t));
  return take_buffer(std::move(v), shape, NPY_INT64);
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref v(value);
  if (!v) return false;
  return PyDict_SetItemString(dict, key, v.get()) == 0;
}

bool set_report(PyObject* dict, const FitReport& r) {
  return set_item(dict, "converged", PyBool_FromLong(r.converged)) &&
         set_item(dict, "iterations", PyLong_FromUnsignedLongLong(r.iterations)) &&
         set_item(dict, "fev", PyLong_FromUnsignedLongLong(r.fev)) &&
         set_item(dict, "grad_inf_norm", PyFloat_FromDouble(r.grad_inf_norm)) &&
         set_item(dict, "message",
                  PyUnicode_FromStringAndSize(r.message.data(), static_cast<Py_ssize_t>(r.message.size())));
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}


}  // namespace qk::py
