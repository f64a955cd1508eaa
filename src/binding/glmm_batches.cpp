// _quorvelkit.glmm_batches_fit: the GLMM fit of one grouping factor from rows read in
// batches (lmm/glmm/batch.hpp), each pass reading them through a Python callable.
//
// The fit runs on the calling thread with the interpreter lock held while Python
// produces a batch, and released while the kernel reduces it (so a reader's own thread
// reads the next one meanwhile). An exception raised by the reader is taken out of the
// interpreter, carried through the fit as a C++ exception and put back unchanged.
#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "binding/glmm_criterion.hpp"
#include "binding/glmm.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/glmm_pass_sums.hpp"
#include "binding/pyutil.hpp"
#include "lmm/glmm/batch.hpp"

namespace qk::py {
namespace {

namespace gl = qk::glmm;


// Batches from read(): an iterable of (y, x, z, codes, weights, offset) tuples, offset
// None or one value per row.
class PythonBatches final : public gl::BatchReader {
 public:
  PythonBatches(PyObject* read, std::uint64_t p, std::uint64_t q, Pending& pending)
      : read_(read), p_(p), q_(q), pending_(pending) {}

  void each(const std::function<void(const gl::Batch&)>& visit) override {
    Ref batches(PyObject_CallNoArgs(read_));
    if (!batches) pending_.fetch_and_throw();
    Ref it(PyObject_GetIter(batches.get()));
    if (!it) pending_.fetch_and_throw();
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item(raw);
      gl::Batch b;
      ArrayView y, x, z, codes, w, off;
      if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 6) {
        PyErr_SetString(PyExc_TypeError, "read() must yield (y, x, z, codes, weights, offset) tuples");
        pending_.fetch_and_throw();
      }
      PyObject* a[6];
      for (Py_ssize_t k = 0; k < 6; ++k) a[k] = PyTuple_GetItem(item.get(), k);
      const bool has_offset = a[5] != Py_None;
      if (!borrow_vector(a[0], "y", NPY_DOUBLE, y) || !borrow_matrix(a[1], "x", x) || !borrow_matrix(a[2], "z", z) ||
          !borrow_vector(a[3], "codes", NPY_INT64, codes) || !borrow_vector(a[4], "weights", NPY_DOUBLE, w) ||
          (has_offset && !borrow_vector(a[5], "offset", NPY_DOUBLE, off)))
        pending_.fetch_and_throw();
      const npy_intp n = y.rows;
      if (x.rows != n || z.rows != n || codes.rows != n || w.rows != n || (has_offset && off.rows != n) ||
          static_cast<std::uint64_t>(x.cols) != p_ || static_cast<std::uint64_t>(z.cols) != q_) {
        PyErr_Format(PyExc_ValueError,
                     "a batch's arrays must have one row per observation, x %llu columns and z %llu",
                     static_cast<unsigned long long>(p_), static_cast<unsigned long long>(q_));
        pending_.fetch_and_throw();
      }
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
  std::uint64_t p_, q_;
  Pending& pending_;
};

PyObject* result_dict(gl::FitResult& res, const gl::BatchModel& model, int nagq, std::uint64_t passes) {
  const std::uint64_t p = model.p;
  const auto nt = static_cast<npy_intp>(res.theta.size()), pp = static_cast<npy_intp>(p),
             mm = static_cast<npy_intp>(model.m), qq = static_cast<npy_intp>(model.q);
  const auto nh = nt + static_cast<npy_intp>(res.beta.size());
  Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok = set_family_parameters(d.get(), model.family, res.beta, p) &&
                  set_item(d.get(), "theta", array_taking(std::move(res.theta), {nt})) &&
                  set_item(d.get(), "beta", array_taking(std::move(res.beta), {pp})) &&
                  set_item(d.get(), "laplace", PyUnicode_FromString(model.family.observed ? "observed" : "fisher")) &&
                  set_item(d.get(), "nagq", PyLong_FromLong(nagq)) &&
                  set_item(d.get(), "passes", PyLong_FromUnsignedLongLong(passes)) &&
                  set_fit_estimates(d.get(), res, pp, nh) &&
                  set_item(d.get(), "u", array_taking(std::move(res.u), {mm, qq})) &&
                  set_item(d.get(), "b", array_taking(std::move(res.b), {mm, qq})) &&
                  set_item(d.get(), "cond_var", array_taking(std::move(res.cond_var), {mm, qq, qq}));
  return ok ? d.release() : nullptr;
}

PyObject* f_glmm_batches_fit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("glmm_batches_fit",
                  {"read", "n_groups", "p", "q", "blocks", "family", "link", "laplace", "theta", "max_iter", "beta", "nagq",
                   "run", "zi"},
                  6, args, nargs, kwnames, a))
    return nullptr;
  PyObject* run = a[12] && a[12] != Py_None ? a[12] : nullptr;
  if (run ? !PyCallable_Check(run) || a[0] != Py_None : !PyCallable_Check(a[0]))
    return PyErr_SetString(PyExc_TypeError, "read must be callable, or None with run callable"), nullptr;
  std::uint64_t m, p, q, max_iter = 300, nagq = 1;
  std::vector<std::uint64_t> blocks;
  if (!to_u64(a[1], "n_groups", m) || !to_u64(a[2], "p", p) || !to_u64(a[3], "q", q) ||
      !to_u64_vec(a[4], "blocks", blocks) || (a[9] && !to_u64(a[9], "max_iter", max_iter)) ||
      (a[11] && !to_u64(a[11], "nagq", nagq)))
    return nullptr;
  // lme4's limit on the quadrature's points.
  if (nagq > 25) return value_error("nagq must be from 0 to 25");
  auto parsed = family_of(a[5], a[6], a[7], a[13]);
  if (auto* err = std::get_if<std::string>(&parsed)) return err->empty() ? nullptr : value_error(*err);
  gl::FitOptions o;
  o.max_iter = max_iter;
  o.nagq = static_cast<int>(nagq);
  if (a[8] && a[8] != Py_None && !to_vec(a[8], "theta", o.theta)) return nullptr;
  if (a[10] && a[10] != Py_None && !to_vec(a[10], "beta", o.beta)) return nullptr;
  Pending pending;
  gl::FitResult res;
  std::uint64_t passes = 0;
  try {
    const gl::BatchModel model = gl::make_batch_model(m, p, q, std::get<gl::Family>(parsed), blocks);
    if (!o.theta.empty() && o.theta.size() != model.idx.size()) return value_error("theta has the wrong length");
    if (!o.beta.empty() && o.beta.size() != p + gl::n_extra(model.family))
      return value_error(kBetaLength);
    if (run) {
      const auto runner = python_runner(run, model, pending);
      res = gl::fit_batches(*runner, model, o, passes);
    } else {
      PythonBatches reader(a[0], p, q, pending);
      res = gl::fit_batches(reader, model, o, passes);
    }
    return result_dict(res, model, o.nagq, passes);
  } catch (const PythonRaised&) {
    pending.restore();
    return nullptr;
  } catch (const std::invalid_argument& e) {
    return value_error(e.what());
  }
}

constexpr const char* kCriterionCapsule = "quorvelkit.glmm_batches_criterion";

void free_criterion(PyObject* capsule) {
  delete static_cast<HeldCriterion*>(PyCapsule_GetPointer(capsule, kCriterionCapsule));
}

PyObject* f_glmm_batches_criterion(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("glmm_batches_criterion",
                  {"read", "n_groups", "p", "q", "blocks", "family", "link", "laplace", "run", "zi"}, 6, args, nargs,
                  kwnames, a))
    return nullptr;
  // With run, the passes are its (as glmm_batches_fit's): read is not called.
  PyObject* run = a[8] && a[8] != Py_None ? a[8] : nullptr;
  if (run && !PyCallable_Check(run)) return PyErr_SetString(PyExc_TypeError, "run must be callable"), nullptr;
  if (!run && !PyCallable_Check(a[0])) return PyErr_SetString(PyExc_TypeError, "read must be callable"), nullptr;
  std::uint64_t m, p, q;
  std::vector<std::uint64_t> blocks;
  if (!to_u64(a[1], "n_groups", m) || !to_u64(a[2], "p", p) || !to_u64(a[3], "q", q) ||
      !to_u64_vec(a[4], "blocks", blocks))
    return nullptr;
  auto parsed = family_of(a[5], a[6], a[7], a[9]);
  if (auto* err = std::get_if<std::string>(&parsed)) return err->empty() ? nullptr : value_error(*err);
  try {
    const gl::BatchModel model = gl::make_batch_model(m, p, q, std::get<gl::Family>(parsed), blocks);
    auto held = std::make_unique<HeldCriterion>(run ? run : a[0]);
    if (run) {
      held->model = model;
      held->runner = python_runner(run, *held->model, held->pending);
      held->criterion = std::make_unique<gl::BatchCriterion>(*held->runner, model);
    } else {
      held->reader = std::make_unique<PythonBatches>(a[0], model.p, model.q, held->pending);
      held->criterion = std::make_unique<gl::BatchCriterion>(*held->reader, model);
    }
    return criterion_capsule(std::move(held));
  } catch (const std::invalid_argument& e) {
    return value_error(e.what());
  }
}

PyObject* f_glmm_batches_evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("glmm_batches_evaluate", {"criterion", "theta", "beta", "gradient"}, 3, args, nargs, kwnames, a))
    return nullptr;
  auto* c = static_cast<HeldCriterion*>(PyCapsule_GetPointer(a[0], kCriterionCapsule));
  if (!c) return nullptr;
  std::vector<double> theta, beta;
  if (!to_vec(a[1], "theta", theta) || !to_vec(a[2], "beta", beta)) return nullptr;
  const int want = a[3] ? PyObject_IsTrue(a[3]) : 0;
  if (want < 0) return nullptr;
  const std::size_t nb = c->criterion->n_beta();
  if (theta.size() != c->criterion->n_theta()) return value_error("theta has the wrong length");
  if (beta.size() != nb) return value_error("beta has the wrong length");
  std::unique_lock<std::mutex> lock(c->busy, std::try_to_lock);
  if (!lock.owns_lock())
    return PyErr_SetString(PyExc_RuntimeError, "the criterion is being evaluated by another thread"), nullptr;
  std::vector<double> grad(want ? theta.size() + nb : 0);
  double value = NAN;
  bool ok;
  try {
    ok = c->criterion->evaluate(theta, beta.data(), value, want ? grad.data() : nullptr);
  } catch (const PythonRaised&) {
    c->pending.restore();
    return nullptr;
  } catch (const std::invalid_argument& e) {
    return value_error(e.what());
  }
  if (!ok) value = NAN;
  const auto ng = static_cast<npy_intp>(grad.size());
  PyObject* g = want ? array_taking(std::move(grad), {ng}) : Py_NewRef(Py_None);
  if (!g) return nullptr;
  return Py_BuildValue("(dNK)", value, g, static_cast<unsigned long long>(c->criterion->passes()));
}

}  // namespace

PyObject* criterion_capsule(std::unique_ptr<HeldCriterion> held) {
  PyObject* capsule = PyCapsule_New(held.get(), kCriterionCapsule, free_criterion);
  if (capsule) held.release();
  return capsule;
}

std::unique_ptr<gl::BatchReader> python_batches(PyObject* read, std::uint64_t p, std::uint64_t q, Pending& pending) {
  return std::make_unique<PythonBatches>(read, p, q, pending);
}

PyMethodDef glmm_batches_functions[] = {
    QK_METHOD("glmm_batches_fit", f_glmm_batches_fit,
              "glmm_batches_fit(read, n_groups, p, q, blocks, family, link=None, laplace=None, theta=None, "
              "max_iter=300, beta=None, nagq=1, run=None, zi=None)\n--\n\n"
              "The fit of a GLMM with one grouping factor from rows read in batches: read() returns\n"
              "an iterable of (y, x, z, codes, weights, offset) tuples, the same rows in the same order at\n"
              "every call (one call per pass). The fit's dict as GlmmCore.fit returns it, without eta and\n"
              "mu, and with passes: the passes over the batches. beta: a start (the fixed effects, then\n"
              "log(phi) for a family with a dispersion parameter phi, then the zero-inflation's logit).\n"
              "zi: true for a zero-inflated family of a constant probability. nagq: 0 (the joint PIRLS's\n"
              "criterion), 1 (Laplace's) or more (adaptive Gauss-Hermite quadrature of one scalar random\n"
              "effect). run: the passes made elsewhere, read None: run(requests) takes a list of\n"
              "(kind, inputs) pairs, the passes to make together, and returns a list of their sums,\n"
              "each as glmm_batch_sums returns it (merged)."),
    QK_METHOD("glmm_batches_criterion", f_glmm_batches_criterion,
              "glmm_batches_criterion(read, n_groups, p, q, blocks, family, link=None, laplace=None, run=None, "
              "zi=None)\n--\n\n"
              "The Laplace criterion of a GLMM with one grouping factor from rows read in batches, at one\n"
              "point after another (for glmm_batches_evaluate): read() as for glmm_batches_fit. The rows\n"
              "are checked at the first evaluation; each evaluation's PIRLS starts from the last one's modes.\n"
              "With run, its passes are run(requests)'s, as glmm_batches_fit's (read is not called).\n"
              "zi as glmm_batches_fit's."),
    QK_METHOD("glmm_batches_evaluate", f_glmm_batches_evaluate,
              "glmm_batches_evaluate(criterion, theta, beta, gradient=False)\n--\n\n"
              "(-2 log-likelihood, its exact gradient over (theta, beta) or None, passes so far) at the\n"
              "point; the criterion is nan where PIRLS fails. beta: the fixed effects, then the family's\n"
              "parameters beside them as glmm_batches_fit takes them."),
    QK_END_METHODS,
};

}  // namespace qk::py
