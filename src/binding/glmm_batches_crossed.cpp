// _quorvelkit.glmm_batches_crossed_fit: the GLMM fit of several grouping factors
// (crossed or nested) from rows read in batches (lmm/glmm/batch_crossed.hpp), each pass
// reading them through a Python callable, as glmm_batches_fit does for one factor: the
// interpreter lock held while Python produces a batch and released while the kernel
// reduces it; a reader's exception carried through the fit and put back unchanged.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "binding/glmm_criterion.hpp"
#include "binding/glmm.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/pyutil.hpp"
#include "lmm/glmm/batch_crossed.hpp"

namespace qk::py {
namespace {

namespace gl = qk::glmm;

// Batches from read(): an iterable of (y, x, z, codes, weights, offset) tuples; codes
// the k factors' codes one factor after another (k n values), z their columns likewise
// (factor j's n x q_j block, row-major), offset None or one value per row.
class CrossedPythonBatches final : public gl::BatchReader {
 public:
  CrossedPythonBatches(PyObject* read, const gl::CrossedBatchModel& model, Pending& pending)
      : read_(read), k_(static_cast<npy_intp>(model.m.size())), width_(static_cast<npy_intp>(model.width)),
        p_(model.p), pending_(pending) {}

  void each(const std::function<void(const gl::Batch&)>& visit) override {
    Ref batches(PyObject_CallNoArgs(read_));
    if (!batches) pending_.fetch_and_throw();
    Ref it(PyObject_GetIter(batches.get()));
    if (!it) pending_.fetch_and_throw();
    const npy_intp k = k_, width = width_;
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item(raw);
      ArrayView y, x, z, codes, w, off;
      if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 6) {
        PyErr_SetString(PyExc_TypeError, "read() must yield (y, x, z, codes, weights, offset) tuples");
        pending_.fetch_and_throw();
      }
      PyObject* a[6];
      for (Py_ssize_t j = 0; j < 6; ++j) a[j] = PyTuple_GetItem(item.get(), j);
      const bool has_offset = a[5] != Py_None;
      if (!borrow_vector(a[0], "y", NPY_DOUBLE, y) || !borrow_matrix(a[1], "x", x) ||
          !borrow_vector(a[2], "z", NPY_DOUBLE, z) || !borrow_vector(a[3], "codes", NPY_INT64, codes) ||
          !borrow_vector(a[4], "weights", NPY_DOUBLE, w) ||
          (has_offset && !borrow_vector(a[5], "offset", NPY_DOUBLE, off)))
        pending_.fetch_and_throw();
      const npy_intp n = y.rows;
      if (x.rows != n || z.rows != n * width || codes.rows != n * k || w.rows != n || (has_offset && off.rows != n) ||
          static_cast<std::uint64_t>(x.cols) != p_) {
        PyErr_Format(PyExc_ValueError,
                     "a batch of n rows must have y, weights and offset of n values, x of n rows and %llu columns, "
                     "z of %lld n values and codes of %lld n",
                     static_cast<unsigned long long>(p_), static_cast<long long>(width),
                     static_cast<long long>(k));
        pending_.fetch_and_throw();
      }
      gl::Batch b;
      b.n = static_cast<std::uint64_t>(n);
      b.y = data_of<double>(y);
      b.x = data_of<double>(x);
      b.z = data_of<double>(z);
      b.codes = data_of<std::int64_t>(codes);
      b.w = data_of<double>(w);
      b.offset = has_offset ? data_of<double>(off) : nullptr;
      NoGil released;
      visit(b);
    }
    if (PyErr_Occurred()) pending_.fetch_and_throw();
  }

 private:
  PyObject* read_;
  npy_intp k_, width_;  // the factors, and Z's columns over them
  std::uint64_t p_;
  Pending& pending_;
};

PyObject* result_dict(gl::FitResult& res, const gl::CrossedBatchModel& model, std::uint64_t passes) {
  const std::uint64_t p = model.p;
  const auto nt = static_cast<npy_intp>(res.theta.size()), pp = static_cast<npy_intp>(p);
  const auto nh = nt + static_cast<npy_intp>(res.beta.size());
  Ref d(PyDict_New()), ul(PyList_New(0)), bl(PyList_New(0)), cl(PyList_New(0));
  if (!d || !ul || !bl || !cl) return nullptr;
  // u, b and cond_var as one array per factor, in the model's order of factors.
  std::size_t at_u = 0, at_c = 0;
  for (std::size_t j = 0; j < model.m.size(); ++j) {
    const auto mq = static_cast<npy_intp>(model.m[j]), q = static_cast<npy_intp>(model.q[j]);
    const std::size_t len = model.m[j] * model.q[j], lenc = len * model.q[j];
    const auto part = [](const std::vector<double>& v, std::size_t from, std::size_t n) {
      return std::vector<double>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                 v.begin() + static_cast<std::ptrdiff_t>(from + n));
    };
    Ref uj(new_array(part(res.u, at_u, len), {mq, q})), bj(new_array(part(res.b, at_u, len), {mq, q})),
        cj(new_array(part(res.cond_var, at_c, lenc), {mq, q, q}));
    if (!uj || !bj || !cj || PyList_Append(ul.get(), uj.get()) < 0 || PyList_Append(bl.get(), bj.get()) < 0 ||
        PyList_Append(cl.get(), cj.get()) < 0)
      return nullptr;
    at_u += len;
    at_c += lenc;
  }
  const bool ok = set_family_parameters(d.get(), model.family, res.beta, p) &&
                  set_item(d.get(), "theta", array_taking(std::move(res.theta), {nt})) &&
                  set_item(d.get(), "beta", array_taking(std::move(res.beta), {pp})) &&
                  set_item(d.get(), "laplace", PyUnicode_FromString(model.family.observed ? "observed" : "fisher")) &&
                  set_item(d.get(), "nagq", PyLong_FromLong(1)) &&
                  set_item(d.get(), "passes", PyLong_FromUnsignedLongLong(passes)) &&
                  set_fit_estimates(d.get(), res, pp, nh) && set_item(d.get(), "u", ul.release()) &&
                  set_item(d.get(), "b", bl.release()) && set_item(d.get(), "cond_var", cl.release());
  return ok ? d.release() : nullptr;
}

// The model's arguments (read, n_levels, p, q, blocks, family, link, laplace) as the
// functions below take them first; false with the exception set.
struct ModelArgs {
  std::uint64_t p = 0;
  std::vector<std::uint64_t> m, q;
  std::vector<std::vector<std::uint64_t>> blocks;
  gl::Family family{};
};

bool model_args(const std::vector<PyObject*>& a, PyObject* zi, ModelArgs& out) {
  if (!PyCallable_Check(a[0])) return PyErr_SetString(PyExc_TypeError, "read must be callable"), false;
  if (!to_u64_vec(a[1], "n_levels", out.m) || !to_u64(a[2], "p", out.p) || !to_u64_vec(a[3], "q", out.q))
    return false;
  const Py_ssize_t k = sequence_length(a[4], "blocks", "sequences of term sizes");
  if (k < 0) return false;
  out.blocks.assign(static_cast<std::size_t>(k), {});
  for (Py_ssize_t j = 0; j < k; ++j) {
    Ref item(PySequence_GetItem(a[4], j));
    if (!item || !to_u64_vec(item.get(), "blocks", out.blocks[static_cast<std::size_t>(j)])) return false;
  }
  auto parsed = family_of(a[5], a[6], a[7], zi);
  if (auto* err = std::get_if<std::string>(&parsed)) {
    if (!err->empty()) value_error(*err);
    return false;
  }
  out.family = std::get<gl::Family>(parsed);
  return true;
}

PyObject* f_glmm_batches_crossed_fit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("glmm_batches_crossed_fit",
                  {"read", "n_levels", "p", "q", "blocks", "family", "link", "laplace", "theta", "max_iter", "beta",
                   "nagq", "zi"},
                  6, args, nargs, kwnames, a))
    return nullptr;
  ModelArgs ma;
  std::uint64_t max_iter = 300, nagq = 1;
  if (!model_args(a, a[12], ma) || (a[9] && !to_u64(a[9], "max_iter", max_iter)) ||
      (a[11] && !to_u64(a[11], "nagq", nagq)))
    return nullptr;
  if (nagq > 1) return value_error("models with several grouping factors take nagq = 0 or 1 (Laplace) only");
  const std::uint64_t p = ma.p;
  gl::FitOptions o;
  o.max_iter = max_iter;
  o.nagq = static_cast<int>(nagq);
  if (a[8] && a[8] != Py_None && !to_vec(a[8], "theta", o.theta)) return nullptr;
  if (a[10] && a[10] != Py_None && !to_vec(a[10], "beta", o.beta)) return nullptr;
  Pending pending;
  gl::FitResult res;
  std::uint64_t passes = 0;
  try {
    const gl::CrossedBatchModel model = gl::make_crossed_batch_model(p, ma.family, ma.m, ma.q, ma.blocks);
    if (!o.theta.empty() && o.theta.size() != model.theta_offset.back())
      return value_error("theta has the wrong length");
    if (!o.beta.empty() && o.beta.size() != p + gl::n_extra(model.family))
      return value_error(kBetaLength);
    CrossedPythonBatches reader(a[0], model, pending);
    res = gl::fit_crossed_batches(reader, model, o, passes);
    return result_dict(res, model, passes);
  } catch (const PythonRaised&) {
    pending.restore();
    return nullptr;
  } catch (const std::invalid_argument& e) {
    return value_error(e.what());
  }
}

PyObject* f_glmm_batches_crossed_criterion(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("glmm_batches_crossed_criterion",
                  {"read", "n_levels", "p", "q", "blocks", "family", "link", "laplace", "zi"},
                  6, args, nargs, kwnames, a))
    return nullptr;
  ModelArgs ma;
  if (!model_args(a, a[8], ma)) return nullptr;
  try {
    const gl::CrossedBatchModel model = gl::make_crossed_batch_model(ma.p, ma.family, ma.m, ma.q, ma.blocks);
    auto held = std::make_unique<HeldCriterion>(a[0]);
    held->reader = std::make_unique<CrossedPythonBatches>(a[0], model, held->pending);
    held->criterion = std::make_unique<gl::CrossedBatchCriterion>(*held->reader, model);
    return criterion_capsule(std::move(held));
  } catch (const std::invalid_argument& e) {
    return value_error(e.what());
  }
}

}  // namespace

PyMethodDef glmm_batches_crossed_functions[] = {
    QK_METHOD("glmm_batches_crossed_fit", f_glmm_batches_crossed_fit,
              "glmm_batches_crossed_fit(read, n_levels, p, q, blocks, family, link=None, laplace=None, theta=None, "
              "max_iter=300, beta=None, nagq=1, zi=None)\n--\n\n"
              "The fit of a GLMM with several grouping factors (crossed or nested; in the crossed\n"
              "core's order, most levels first) from rows read in batches: read() returns an iterable of\n"
              "(y, x, z, codes, weights, offset) tuples, the same rows in the same order at every call;\n"
              "codes holds each factor's n codes one factor after another and z each factor's n x q_j\n"
              "columns (row-major) likewise. The fit's dict as CrossedGlmmCore.fit returns it (u, b and\n"
              "cond_var one array per factor), without eta and mu, and with passes. nagq: 0 (the joint\n"
              "PIRLS's criterion) or 1 (Laplace's). zi: true for a zero-inflated family of a constant\n"
              "probability."),
    QK_METHOD("glmm_batches_crossed_criterion", f_glmm_batches_crossed_criterion,
              "glmm_batches_crossed_criterion(read, n_levels, p, q, blocks, family, link=None, laplace=None, "
              "zi=None)\n--\n\n"
              "The Laplace criterion of a GLMM with several grouping factors from rows read in batches,\n"
              "at one point after another (for glmm_batches_evaluate; theta in the crossed core's order\n"
              "of factors): read() as for glmm_batches_crossed_fit. The rows are checked at the first\n"
              "evaluation, and each evaluation's PIRLS starts from the modes of the one before. zi as\n"
              "glmm_batches_crossed_fit's."),
    QK_END_METHODS,
};

}  // namespace qk::py
