// _quorvelkit.glmm_batch_sums: the kernel of the GLMM fit from batches (add_batch) on
// one partition's batches, as a worker of a cluster runs it; and the pass runner of
// glmm_batches_fit(run=...), which hands each pass's inputs to Python and adds the
// sums Python returns (the merge of the workers') into the driver's.
//
// Sums travel as a dict of flat NumPy arrays named as PassSums' members, only those the
// pass's kind sizes: float64, but count (int64); and the scalars constant, rows and
// batches. Two are merged by adding them key by key, element by element, so that a
// fixed order of merges gives the same bits. A pass's inputs travel as a dict too:
// lambda, beta, u, t (float64) and active (uint8), those the kind reads.
//
// A fit with a runner holds the interpreter lock throughout: the runner is Python, and
// the driver's own work between passes is O(groups). The kernel releases it while it
// reduces a batch, as the fit from a reader does.
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "binding/convert.hpp"
#include "binding/glmm.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/glmm_pass_sums.hpp"

namespace qk::py {
namespace {

namespace gl = qk::glmm;

// By PassKind's order.
constexpr const char* kKinds[] = {"check", "value", "modes", "joint", "adjoint", "adjoint_gradient", "nodes", "trials"};
static_assert(std::size(kKinds) == static_cast<std::size_t>(gl::PassKind::kTrials) + 1, "a name for every kind");

bool kind_of(PyObject* obj, gl::PassKind& out) {
  std::string name;
  if (!text_of(obj, "kind", name)) return false;
  for (std::size_t k = 0; k < std::size(kKinds); ++k)
    if (name == kKinds[k]) return out = static_cast<gl::PassKind>(k), true;
  PyErr_Format(PyExc_ValueError,
               "kind must be one of check, value, modes, joint, adjoint, adjoint_gradient, nodes, trials, got "
               "'%s'",
               name.c_str());
  return false;
}

struct Field {
  const char* name;
  std::vector<double> gl::PassSums::* member;
};
constexpr Field kFields[] = {{"ll", &gl::PassSums::ll},   {"d1", &gl::PassSums::d1},   {"mo", &gl::PassSums::mo},
                             {"mf", &gl::PassSums::mf},   {"ms", &gl::PassSums::ms},   {"tm", &gl::PassSums::tm},
                             {"s", &gl::PassSums::s},     {"zw", &gl::PassSums::zw},   {"zd", &gl::PassSums::zd},
                             {"gmom", &gl::PassSums::gmom}, {"bx", &gl::PassSums::bx}, {"xsx", &gl::PassSums::xsx},
                             {"xd1", &gl::PassSums::xd1}, {"gb", &gl::PassSums::gb},   {"at_nodes", &gl::PassSums::at_nodes}};

PyObject* sums_dict(gl::PassSums& s) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  for (const Field& f : kFields) {
    std::vector<double>& v = s.*f.member;
    if (v.empty()) continue;
    const auto n = static_cast<npy_intp>(v.size());
    if (!set_item(d.get(), f.name, array_taking(std::move(v), {n}))) return nullptr;
  }
  const auto nc = static_cast<npy_intp>(s.count.size());
  if ((nc > 0 && !set_item(d.get(), "count", array_taking(std::move(s.count), {nc}))) ||
      !set_item(d.get(), "constant", PyFloat_FromDouble(s.constant)) ||
      !set_item(d.get(), "rows", PyLong_FromUnsignedLongLong(s.rows)) ||
      !set_item(d.get(), "batches", PyLong_FromUnsignedLongLong(s.batches)))
    return nullptr;
  return d.release();
}

// dict[key]: a borrowed reference, or null with a ValueError naming what is missing.
PyObject* entry(PyObject* dict, const char* key, const char* of_what) {
  PyObject* v = PyDict_Check(dict) ? PyDict_GetItemString(dict, key) : nullptr;
  if (!v) PyErr_Format(PyExc_ValueError, "the %s lack '%s'", of_what, key);
  return v;
}

template <class T>
bool vector_entry(PyObject* dict, const char* key, const char* of_what, std::size_t n, const T*& out) {
  PyObject* v = entry(dict, key, of_what);
  ArrayView view;
  if (!v || !borrow_vector(v, key, std::is_same_v<T, double> ? NPY_DOUBLE : NPY_INT64, view)) return false;
  if (static_cast<std::size_t>(view.rows) != n) {
    PyErr_Format(PyExc_ValueError, "the %s' '%s' has %zd entries, not %zu", of_what, key,
                 static_cast<Py_ssize_t>(view.rows), n);
    return false;
  }
  out = data_of<T>(view);
  return true;
}

// Adds the sums of dict into s (sized for its kind); false with the error set.
bool add_sums(PyObject* dict, gl::PassSums& s) {
  if (!PyDict_Check(dict)) return PyErr_SetString(PyExc_TypeError, "run must return dicts of sums"), false;
  for (const Field& f : kFields) {
    std::vector<double>& v = s.*f.member;
    const double* from = nullptr;
    if (v.empty()) continue;
    if (!vector_entry(dict, f.name, "sums", v.size(), from)) return false;
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = v[i] + from[i];
  }
  const std::int64_t* count = nullptr;
  if (!s.count.empty() && !vector_entry(dict, "count", "sums", s.count.size(), count)) return false;
  for (std::size_t i = 0; i < s.count.size(); ++i) s.count[i] += static_cast<std::uint64_t>(count[i]);
  double constant;
  std::uint64_t rows, batches;
  PyObject *c = entry(dict, "constant", "sums"), *r = entry(dict, "rows", "sums"), *b = entry(dict, "batches", "sums");
  if (!c || !r || !b || !to_double(c, "constant", constant) || !to_u64(r, "rows", rows) ||
      !to_u64(b, "batches", batches))
    return false;
  s.constant = s.constant + constant;
  s.rows += rows;
  s.batches += batches;
  return true;
}

// The entries of a pass's inputs that its kind reads, and their lengths (nodes: the
// quadrature's points a group, or the joint PIRLS's halved steps).
struct InputSizes {
  std::size_t lambda = 0, beta = 0, u = 0, t = 0, v = 0, points = 0, du = 0, steps = 0;
};
InputSizes input_sizes(const gl::BatchModel& model, gl::PassKind kind, std::size_t nodes) {
  using K = gl::PassKind;
  const std::size_t m = model.m, q = model.q, pe = model.p + gl::n_extra(model.family);
  InputSizes n;
  if (kind == K::kCheck) return n;
  n.lambda = q * q;
  n.beta = pe;
  n.u = m * q;
  if (kind == K::kAdjointGradient) n.t = m * q;
  if (kind == K::kAdjoint || kind == K::kAdjointGradient) n.v = model.p;
  if (kind == K::kNodes) n.points = m * nodes * q;
  if (kind == K::kTrials) {
    n.points = nodes * pe;
    n.du = m * q;
    n.steps = nodes;
  }
  return n;
}

PyObject* inputs_dict(const gl::BatchModel& model, const gl::PassInput& in) {
  const InputSizes n = input_sizes(model, in.kind, in.nodes);
  Ref d(PyDict_New());
  if (!d) return nullptr;
  const std::pair<const char*, std::pair<const double*, std::size_t>> arrays[] = {
      {"lambda", {in.lambda, n.lambda}}, {"beta", {in.beta, n.beta}}, {"u", {in.u, n.u}},
      {"t", {in.t, n.t}},                {"v", {in.v, n.v}},
      {"points", {in.points, n.points}}, {"du", {in.du, n.du}},       {"steps", {in.steps, n.steps}}};
  if (!set_item(d.get(), "observed", PyBool_FromLong(in.observed ? 1 : 0)) ||
      !set_item(d.get(), "nodes", PyLong_FromUnsignedLongLong(in.nodes)))
    return nullptr;
  for (const auto& [key, at] : arrays)
    if (at.second > 0 && !set_item(d.get(), key, new_array(std::vector<double>(at.first, at.first + at.second),
                                                           {static_cast<npy_intp>(at.second)})))
      return nullptr;
  if (in.active) {
    npy_intp dims[1] = {static_cast<npy_intp>(model.m)};
    PyObject* a = PyArray_SimpleNew(1, dims, NPY_UINT8);
    if (a) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)), in.active, model.m);
    if (!set_item(d.get(), "active", a)) return nullptr;
  }
  return d.release();
}

// The pass's inputs read from dict (views into its arrays, alive while dict is).
bool input_of(PyObject* dict, const gl::BatchModel& model, gl::PassInput& in) {
  if (!PyDict_Check(dict)) return PyErr_SetString(PyExc_TypeError, "inputs must be a dict"), false;
  PyObject* nodes = PyDict_GetItemString(dict, "nodes");
  PyObject* observed = PyDict_GetItemString(dict, "observed");
  if (nodes && !to_u64(nodes, "nodes", in.nodes)) return false;
  if (observed) {
    const int truth = PyObject_IsTrue(observed);
    if (truth < 0) return false;
    in.observed = truth == 1;
  }
  const InputSizes n = input_sizes(model, in.kind, in.nodes);
  const std::pair<const char*, std::pair<const double**, std::size_t>> arrays[] = {
      {"lambda", {&in.lambda, n.lambda}}, {"beta", {&in.beta, n.beta}}, {"u", {&in.u, n.u}},
      {"t", {&in.t, n.t}},                {"v", {&in.v, n.v}},
      {"points", {&in.points, n.points}}, {"du", {&in.du, n.du}},       {"steps", {&in.steps, n.steps}}};
  for (const auto& [key, at] : arrays)
    if (at.second > 0 && !vector_entry(dict, key, "inputs", at.second, *at.first)) return false;
  PyObject* active = PyDict_GetItemString(dict, "active");
  if (active && active != Py_None) {
    auto* arr = reinterpret_cast<PyArrayObject*>(active);
    if (!PyArray_Check(active) || PyArray_TYPE(arr) != NPY_UINT8 || PyArray_NDIM(arr) != 1 ||
        !(PyArray_FLAGS(arr) & NPY_ARRAY_C_CONTIGUOUS) || PyArray_DIMS(arr)[0] != static_cast<npy_intp>(model.m)) {
      PyErr_SetString(PyExc_ValueError, "the inputs' 'active' must be a contiguous uint8 array of one entry a group");
      return false;
    }
    in.active = static_cast<const std::uint8_t*>(PyArray_DATA(arr));
  }
  return true;
}

class PythonRunner final : public gl::PassRunner {
 public:
  PythonRunner(PyObject* run, const gl::BatchModel& model, Pending& pending)
      : run_(run), model_(model), pending_(pending) {}

  void run(const gl::PassInput& in, gl::PassSums& sums) override { run_together({&in}, {&sums}); }

  // One call of run with every pass's (kind, inputs): a cluster makes them in one job.
  void run_together(const std::vector<const gl::PassInput*>& ins, const std::vector<gl::PassSums*>& sums) override {
    Ref requests(PyList_New(static_cast<Py_ssize_t>(ins.size())));
    if (!requests) pending_.fetch_and_throw();
    for (std::size_t k = 0; k < ins.size(); ++k) {
      Ref inputs(inputs_dict(model_, *ins[k]));
      Ref kind(inputs ? PyUnicode_FromString(kKinds[static_cast<std::size_t>(ins[k]->kind)]) : nullptr);
      PyObject* pair = kind ? PyTuple_Pack(2, kind.get(), inputs.get()) : nullptr;
      if (!pair) pending_.fetch_and_throw();
      PyList_SetItem(requests.get(), static_cast<Py_ssize_t>(k), pair);  // steals pair
    }
    Ref out(PyObject_CallFunctionObjArgs(run_, requests.get(), nullptr));
    if (!out) pending_.fetch_and_throw();
    if (!PyList_Check(out.get()) || PyList_Size(out.get()) != static_cast<Py_ssize_t>(ins.size())) {
      PyErr_Format(PyExc_TypeError, "run must return a list of %zu dicts of sums, one a request", ins.size());
      pending_.fetch_and_throw();
    }
    for (std::size_t k = 0; k < ins.size(); ++k)
      if (!add_sums(PyList_GetItem(out.get(), static_cast<Py_ssize_t>(k)), *sums[k])) pending_.fetch_and_throw();
  }

 private:
  PyObject* run_;
  const gl::BatchModel& model_;
  Pending& pending_;
};

PyObject* f_glmm_batch_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("glmm_batch_sums",
                  {"read", "n_groups", "p", "q", "blocks", "family", "kind", "inputs", "link", "laplace", "zi"}, 8,
                  args, nargs, kwnames, a))
    return nullptr;
  if (!PyCallable_Check(a[0])) return PyErr_SetString(PyExc_TypeError, "read must be callable"), nullptr;
  std::uint64_t m, p, q;
  std::vector<std::uint64_t> blocks;
  if (!to_u64(a[1], "n_groups", m) || !to_u64(a[2], "p", p) || !to_u64(a[3], "q", q) ||
      !to_u64_vec(a[4], "blocks", blocks))
    return nullptr;
  auto parsed = family_of(a[5], a[8], a[9], a[10]);
  if (auto* err = std::get_if<std::string>(&parsed)) return err->empty() ? nullptr : value_error(*err);
  Pending pending;
  try {
    const gl::BatchModel model = gl::make_batch_model(m, p, q, std::get<gl::Family>(parsed), blocks);
    gl::PassInput in;
    if (!kind_of(a[6], in.kind) || !input_of(a[7], model, in)) return nullptr;
    gl::PassSums sums;
    sums.clear(model, in);
    python_batches(a[0], p, q, pending)->each([&](const gl::Batch& b) { gl::add_batch(model, b, in, sums); });
    sums.settle();
    return sums_dict(sums);
  } catch (const PythonRaised&) {
    pending.restore();
    return nullptr;
  } catch (const std::invalid_argument& e) {
    return value_error(e.what());
  }
}

}  // namespace

std::unique_ptr<gl::PassRunner> python_runner(PyObject* run, const gl::BatchModel& model, Pending& pending) {
  return std::make_unique<PythonRunner>(run, model, pending);
}

PyMethodDef glmm_pass_sums_functions[] = {
    QK_METHOD("glmm_batch_sums", f_glmm_batch_sums,
              "glmm_batch_sums(read, n_groups, p, q, blocks, family, kind, inputs, link=None, laplace=None, "
              "zi=None)\n--\n\n"
              "One pass's sums over the batches of read() (as glmm_batches_fit reads them), from zero: the\n"
              "kernel of the fit from batches where the rows are. kind: check, value, modes,\n"
              "joint, adjoint, adjoint_gradient, nodes or trials; inputs: the pass's dict (lambda, beta,\n"
              "u, t, v, points, du, steps, observed, nodes, active) as\n"
              "glmm_batches_fit(run=...) hands it to run. A dict of flat arrays named as the sums, and\n"
              "constant, rows and batches; two such are merged by adding them key by key. zi as\n"
              "glmm_batches_fit's."),
    QK_END_METHODS,
};

}  // namespace qk::py
