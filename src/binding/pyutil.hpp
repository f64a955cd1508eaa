// Small RAII helpers over the stable C API: owned references, the released
// interpreter lock, and interpreter-style argument parsing for fast-call methods.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/out_of_memory.hpp"
#include "pool/pool.hpp"

namespace qk::py {

// The interpreter calls the extension's functions from C frames, through which no C++
// exception can unwind: one that reached them would end the process in std::terminate.
// Entry<f>::call is f behind a barrier, and every method, getter, module function, constructor
// and module initialiser is installed through it (QK_ENTRY, QK_FASTCALL): an exception
// that escapes f (bad_alloc from converting arguments or building results, outside the
// core's own calls, which without_gil guards) is set as the Python error, MemoryError for
// exhausted memory (with an OutOfMemory's text) and RuntimeError for anything else, and
// f's failure value (nullptr, or -1 for an int) is returned. The unwound frames released what they owned through
// their RAII holders (Ref, containers). Forced unwinding (pthread_exit of a thread that
// reacquires the lock during interpreter shutdown) is let through, as it must be.
template <auto F>
struct Entry;

template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
  static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>, "an entry returns an object or a status");
  static R call(A... a) {
    try {
      return F(a...);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const OutOfMemory& e) {
      PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::length_error&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "unexpected internal failure");
    }
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  }
};

// f behind the barrier, with f's own type.
#define QK_ENTRY(f) (&::qk::py::Entry<&(f)>::call)

// A fast-call function, behind the barrier, in a PyMethodDef's PyCFunction slot.
#define QK_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(QK_ENTRY(f)))

// Entries of the method and attribute tables, each function behind the barrier: a
// fast-call method with keywords (f(self, args, nargs, kwnames)), the same as a class
// method, a method without arguments (f(self, unused)), a read-only attribute
// (f(self, closure)), and the sentinels that end a PyMethodDef and a PyGetSetDef table.
#define QK_METHOD(name, f, doc) {name, QK_FASTCALL(f), METH_FASTCALL | METH_KEYWORDS, doc}
#define QK_CLASS_METHOD(name, f, doc) {name, QK_FASTCALL(f), METH_FASTCALL | METH_KEYWORDS | METH_CLASS, doc}
#define QK_NOARGS(name, f, doc) {name, QK_ENTRY(f), METH_NOARGS, doc}
#define QK_GETTER(name, f, doc) {name, QK_ENTRY(f), nullptr, doc, nullptr}
#define QK_END_METHODS {nullptr, nullptr, 0, nullptr}
#define QK_END_GETSET {nullptr, nullptr, nullptr, nullptr, nullptr}

// An owned reference; released on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(o_);
      o_ = std::exchange(other.o_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() { return std::exchange(o_, nullptr); }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// Thrown through C++ frames by a callback into Python that raised; the exception
// waits in a Pending until the binding returns to Python.
struct PythonRaised {};

// A Python exception taken out of the error indicator, owned until restored.
class Pending {
 public:
  [[noreturn]] void fetch_and_throw() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    type_ = Ref(type);
    value_ = Ref(value);
    tb_ = Ref(tb);
    throw PythonRaised{};
  }
  void restore() { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }

 private:
  Ref type_, value_, tb_;
};

// The identity of the thread that runs Python's signal handlers (the main thread;
// after a fork, the forking thread). Set when the module is loaded.
inline std::atomic<unsigned long> g_signal_thread{0};

// Releases the interpreter lock for its lifetime.
class NoGil {
 public:
  NoGil() : state_(PyEval_SaveThread()) {}
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;
  // Not noexcept: during interpreter shutdown, reacquiring the lock ends a daemon
  // thread with pthread_exit, whose forced unwinding must be allowed to leave here.
  ~NoGil() noexcept(false) { PyEval_RestoreThread(state_); }

  // The interrupt check of a call on the signal-handling thread: takes the lock back
  // for a moment and runs the handlers of signals that arrived meanwhile (Ctrl-C's
  // raises KeyboardInterrupt). True when a handler raised; its exception stays set
  // for the caller to report. Never on another thread: those run no handlers, and
  // the main thread is never ended by reacquiring the lock.
  static bool poll_signals(void* self) {
    auto* released = static_cast<NoGil*>(self);
    PyEval_RestoreThread(released->state_);
    const bool raised = PyErr_CheckSignals() < 0;
    released->state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
};

// Runs fn with the interpreter lock released. C++ exceptions never cross into the
// interpreter: exhausted memory becomes MemoryError (with an OutOfMemory's text: which
// block, how large), an interrupt the exception its signal handler raised
// (KeyboardInterrupt for Ctrl-C), anything else RuntimeError.
// Returns false with the Python error set.
template <class Fn>
bool without_gil(Fn&& fn) {
  const char* failure = nullptr;
  std::string text;
  char memory[sizeof(OutOfMemory)] = "";  // copied without allocating: memory is short
  int kind = 0;
  const bool on_signal_thread = PyThread_get_thread_ident() == g_signal_thread.load(std::memory_order_relaxed);
  {
    NoGil released;
    std::optional<InterruptScope> scope;
    if (on_signal_thread) scope.emplace(&NoGil::poll_signals, &released);
    // Whatever throwing needs is set up before the call can exhaust memory.
    prepare_thread_for_exceptions();
    try {
      fn();
    } catch (const Interrupted&) {
      kind = 3;
    } catch (const OutOfMemory& e) {
      kind = 1;
      std::snprintf(memory, sizeof memory, "%s", e.what());
    } catch (const std::bad_alloc&) {
      kind = 1;
    } catch (const std::length_error&) {
      kind = 1;
    } catch (const std::exception& e) {
      kind = 2;
      failure = e.what();
      try {
        text = failure;
        failure = text.c_str();
      } catch (...) {
        failure = "internal failure (no memory to describe it)";
      }
    } catch (...) {
      kind = 2;
      failure = "unexpected internal failure";
    }
  }
  if (kind == 1) {
    if (memory[0] != '\0') {
      PyErr_SetString(PyExc_MemoryError, memory);
    } else {
      PyErr_NoMemory();
    }
    return false;
  }
  if (kind == 2) {
    PyErr_SetString(PyExc_RuntimeError, failure);
    return false;
  }
  if (kind == 3) {
    // One signal, one exception. The handler's exception (KeyboardInterrupt for
    // Ctrl-C) is the call's. A signal that tripped while the call unwound, or whose
    // handler has not run yet (the check fired on a flag a handler had not cleared),
    // has its handler run here and its exception dropped, so that nothing of this
    // interrupt is left for the interpreter to raise again at the caller's next line.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (on_signal_thread && PyErr_CheckSignals() < 0) {
      if (type == nullptr) {
        PyErr_Fetch(&type, &value, &traceback);  // the handler's exception is the call's
      } else {
        PyErr_Clear();
      }
    }
    if (type != nullptr) {
      PyErr_Restore(type, value, traceback);
    } else {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
    return false;
  }
  return true;
}

inline std::string type_name(PyObject* o) {
  Ref name(PyType_GetName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (!s) {
    PyErr_Clear();
    return "object";
  }
  return s;
}

// Raises TypeError "argument 'NAME': DETAIL".
inline std::nullptr_t arg_error(const char* name, const std::string& detail) {
  PyErr_SetString(PyExc_TypeError, ("argument '" + std::string(name) + "': " + detail).c_str());
  return nullptr;
}

// Raises ValueError with the core's message.
inline std::nullptr_t value_error(const std::string& msg) {
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return nullptr;
}

// Re-raises the pending error as a TypeError naming the argument, keeping the
// original message. Errors that are not TypeErrors (OverflowError, MemoryError)
// propagate unchanged, as the interpreter's own extraction reports them.
inline void name_pending_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref t(type), v(value), tr(tb);
  std::string msg = "conversion failed";
  if (v) {
    Ref s(PyObject_Str(v.get()));
    if (s) {
      const char* c = PyUnicode_AsUTF8AndSize(s.get(), nullptr);
      if (c) msg = c;
    }
    PyErr_Clear();
  }
  arg_error(name, msg);
}

// Interpreter-style parsing of fast-call arguments into `out` (borrowed references;
// nullptr for optional arguments not given). `fname` is the name used in messages. The
// names after the first `positional` are keyword-only.
inline bool parse_args(const char* fname, const std::vector<const char*>& names, std::size_t required,
                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       std::vector<PyObject*>& out, std::size_t positional = SIZE_MAX) {
  out.assign(names.size(), nullptr);
  const std::size_t np = static_cast<std::size_t>(nargs), most = std::min(positional, names.size());
  if (np > most) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)", fname, most, nargs);
    return false;
  }
  for (std::size_t i = 0; i < np; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nk = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      const char* kname = PyUnicode_AsUTF8AndSize(key, nullptr);
      if (!kname) return false;
      std::size_t slot = names.size();
      for (std::size_t i = 0; i < names.size(); ++i)
        if (std::string(kname) == names[i]) slot = i;
      if (slot == names.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", fname, kname);
        return false;
      }
      if (out[slot]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, kname);
        return false;
      }
      out[slot] = args[nargs + k];
    }
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

// The same from a classic (args tuple, kwargs dict) call.
inline bool parse_tuple_args(const char* fname, const std::vector<const char*>& names,
                             std::size_t required, PyObject* args, PyObject* kwargs,
                             std::vector<PyObject*>& out, std::size_t positional = SIZE_MAX) {
  Py_ssize_t nargs = PyTuple_Size(args);
  std::vector<PyObject*> flat;
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GetItem(args, i));
  Ref kwnames;
  if (kwargs && PyDict_Size(kwargs) > 0) {
    kwnames = Ref(PyTuple_New(PyDict_Size(kwargs)));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname);
        return false;
      }
      Py_INCREF(key);
      PyTuple_SetItem(kwnames.get(), k++, key);
      flat.push_back(value);
    }
  }
  return parse_args(fname, names, required, flat.data(), nargs, kwnames.get(), out, positional);
}

}  // namespace qk::py
