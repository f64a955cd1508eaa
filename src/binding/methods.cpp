// The criterion methods of LmmCore and its fit, and the solution dictionary they
// return: thin wrappers that check their arguments, run the core with the
// interpreter lock released and convert the results.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "binding/core.hpp"
#include "binding/pyutil.hpp"
#include "lmm/evaluate/evaluate.hpp"
#include "lmm/prepare/theta.hpp"
#include "lmm/results/fit.hpp"
#include "lmm/results/random_effects.hpp"
#include "lmm/results/solution.hpp"
#include "lmm/theta/theta_map.hpp"
#include "optim/minimize.hpp"

namespace qk::py {

namespace {

// One factor's theta is its Lambda's entries: the identity map. A structured covariance
// of the factor builds its map here; theta enters every method through it (entries())
// and gradients, starts and bounds leave through it (pull_back(), params()).
ThetaMap map_of(const LmmData& d) { return ThetaMap::identity(d.theta_index.size()); }

// A vector over the entries (theta at a solution, bounds) as one over theta.
std::vector<double> to_params(const LmmData& d, std::vector<double> entries) {
  const ThetaMap map = map_of(d);
  return map.is_identity() ? entries : map.params(entries);
}

// A gradient over the entries as one over theta (at `theta`, the entries: the maps so
// far relabel and do not read it; one whose Jacobian varies keeps theta beside them).
std::vector<double> pulled_back(const LmmData& d, const std::vector<double>& theta, std::vector<double> grad) {
  map_of(d).pull_back(theta, grad);
  return grad;
}

bool check_theta(const LmmData& d, const std::vector<double>& theta) {
  if (auto err = theta_error(theta, d.theta_index, d.q)) {
    PyErr_SetString(PyExc_ValueError, err->c_str());
    return false;
  }
  return true;
}

// theta and reml, the common arguments of the criterion methods: `theta` holds the
// entries of Lambda on return.
bool theta_reml_args(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::vector<double>& theta, bool& reml) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"theta", "reml"}, 1, args, nargs, kwnames, a)) return false;
  if (!to_vec(a[0], "theta", theta)) return false;
  reml = true;
  if (a[1] && !to_bool(a[1], "reml", reml)) return false;
  const ThetaMap map = map_of(data_of(self));
  if (!map.is_identity() && theta.size() == map.n_params()) theta = map.entries(theta);
  return check_theta(data_of(self), theta);
}

// Raises RuntimeError for an infeasible theta: "theta is infeasible", with the
// reason when it holds for every theta.
std::nullptr_t infeasible(const LmmData& d) {
  PyErr_SetString(PyExc_RuntimeError,
                  d.exact_fit ? "theta is infeasible: the fixed effects fit the response exactly "
                                "(the residual sum of squares is zero)"
                              : "theta is infeasible");
  return nullptr;
}

// Warns (RuntimeWarning) when the criterion at this solution may have lost enough
// digits to cancellation to matter: above 1e-3 it can change a likelihood-ratio
// test's verdict.
bool warn_lost_digits(const LmmData& d, const Evaluation& ev) {
  const double error = criterion_rounding_error(d, ev);
  if (!(error > 1e-3)) return true;
  const double ratio = d.yty / ev.pwrss;
  char msg[640];
  const double digits = std::min(16.0, std::log10(8.0 * ratio));
  if (d.shift.active())
    std::snprintf(msg, sizeof msg,
                  "the criterion may have lost about %.0f of its 16 significant digits to cancellation "
                  "(absolute error up to about %.1g): the response's sum of squares about its centre is "
                  "%.1e times the residual sum of squares",
                  digits, error, ratio);
  else
    std::snprintf(msg, sizeof msg,
                  "the criterion may have lost about %.0f of its 16 significant digits to cancellation "
                  "(absolute error up to about %.1g): y's sum of squares is %.1e times the residual sum of "
                  "squares, and X has no constant column, so y and X were used as given; centre them and "
                  "include an intercept column in X to keep the digits",
                  digits, error, ratio);
  return PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1) == 0;
}

// Every derived quantity at theta, as a dict; with the optimiser's report appended
// when given. Raises RuntimeError "theta is infeasible" for an infeasible theta.
PyObject* solution_dict(PyObject* self, const std::vector<double>& theta, bool reml,
                        const FitReport* report) {
  const LmmData& d = data_of(self);
  std::optional<Solution> sol;
  if (!without_gil([&] { sol = solve_at(d, theta, reml); })) return nullptr;
  if (!sol) return infeasible(d);
  const Evaluation* ev = &sol->ev;
  if (!warn_lost_digits(d, *ev)) return nullptr;
  const std::size_t p = d.p, q = d.q, m = d.m;
  const std::vector<double>&cov_re = sol->cov_re, &cov_beta = sol->cov_beta, &b = sol->b;
  const npy_intp np_ = static_cast<npy_intp>(p), nq = static_cast<npy_intp>(q),
                 nm = static_cast<npy_intp>(m), nt = static_cast<npy_intp>(theta.size());
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  const double sigma = std::sqrt(ev->sigma2);
  bool ok = set_item(o, "theta", new_array(to_params(d, theta), {nt})) &&
            set_item(o, "deviance", PyFloat_FromDouble(ev->deviance)) &&
            set_item(o, "grad", new_array(pulled_back(d, theta, ev->gradient), {nt})) &&
            set_item(o, "beta", new_array(ev->beta, {np_})) &&
            set_item(o, "cov_beta", new_array(cov_beta, {np_, np_})) &&
            set_item(o, "cov_re", new_array(cov_re, {nq, nq})) &&
            set_item(o, "random_effects", new_array(b, {nm, nq})) &&
            set_item(o, "u", new_array(ev->u, {nm, nq})) &&
            set_item(o, "sigma2", PyFloat_FromDouble(ev->sigma2)) &&
            set_item(o, "sigma", PyFloat_FromDouble(sigma)) &&
            set_item(o, "pwrss", PyFloat_FromDouble(ev->pwrss)) &&
            set_item(o, "ldl2", PyFloat_FromDouble(ev->ldl2)) &&
            set_item(o, "ldrx2", PyFloat_FromDouble(ev->ldrx2)) &&
            set_item(o, "reml", PyBool_FromLong(reml)) &&
            set_item(o, "n", PyLong_FromUnsignedLongLong(d.n)) &&
            set_item(o, "p", PyLong_FromUnsignedLongLong(d.p)) &&
            set_item(o, "q", PyLong_FromUnsignedLongLong(d.q)) &&
            set_item(o, "m", PyLong_FromUnsignedLongLong(d.m));
  if (ok && report) ok = set_report(o, *report);
  if (!ok) return nullptr;
  return dict.release();
}

// ---- methods ----------------------------------------------------------------------

// A criterion method's call (theta, reml=True), theta in Lambda's entries, evaluated in
// `mode` (ev empty: infeasible). False with the error set.
bool evaluated_at(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Mode mode, std::vector<double>& theta, bool& reml, std::optional<Evaluation>& ev) {
  return theta_reml_args(fname, self, args, nargs, kwnames, theta, reml) &&
         without_gil([&] { ev = evaluate(data_of(self), theta, reml, mode); });
}

PyObject* m_deviance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  std::optional<Evaluation> ev;
  if (!evaluated_at("deviance", self, args, nargs, kwnames, kModeDeviance, theta, reml, ev)) return nullptr;
  return PyFloat_FromDouble(ev ? ev->deviance : std::numeric_limits<double>::infinity());
}

PyObject* m_deviance_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  std::optional<Evaluation> ev;
  if (!evaluated_at("deviance_grad", self, args, nargs, kwnames, kModeGradient, theta, reml, ev)) return nullptr;
  double dev = std::numeric_limits<double>::infinity();
  std::vector<double> grad(theta.size(), std::numeric_limits<double>::quiet_NaN());
  if (ev) {
    dev = ev->deviance;
    grad = pulled_back(data_of(self), theta, ev->gradient);
  }
  Ref g(float_list(grad));
  if (!g) return nullptr;
  return Py_BuildValue("(dO)", dev, g.get());
}

// The criterion split into the parts inference needs (see Evaluation::grad_logdet).
PyObject* m_criterion_parts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  std::optional<Evaluation> ev;
  if (!evaluated_at("criterion_parts", self, args, nargs, kwnames, kModeSolution, theta, reml, ev)) return nullptr;
  const LmmData& d = data_of(self);
  if (!ev) return infeasible(d);
  const npy_intp nt = static_cast<npy_intp>(theta.size()), np_ = static_cast<npy_intp>(d.p);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  const bool ok = set_item(o, "deviance", PyFloat_FromDouble(ev->deviance)) &&
                  set_item(o, "logdet", PyFloat_FromDouble(ev->ldl2 + ev->ldrx2 - (d.weighted ? d.log_weights : 0.0))) &&
                  set_item(o, "pwrss", PyFloat_FromDouble(ev->pwrss)) &&
                  set_item(o, "nu", PyFloat_FromDouble(ev->pwrss / ev->sigma2)) &&
                  set_item(o, "grad_logdet", new_array(pulled_back(d, theta, ev->grad_logdet), {nt})) &&
                  set_item(o, "grad_pwrss", new_array(pulled_back(d, theta, ev->grad_pwrss), {nt})) &&
                  set_item(o, "beta", new_array(ev->beta, {np_})) &&
                  set_item(o, "fixed_inverse", new_array(ev->fixed_inverse, {np_, np_}));
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* m_solution(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_reml_args("solution", self, args, nargs, kwnames, theta, reml)) return nullptr;
  return solution_dict(self, theta, reml, nullptr);
}

PyObject* m_lower_bounds(PyObject* self, PyObject*) {
  const LmmData& d = data_of(self);
  return float_list(to_params(d, lower_bounds(d.theta_index)));
}

PyObject* m_default_theta(PyObject* self, PyObject*) {
  const LmmData& d = data_of(self);
  return float_list(to_params(d, default_theta(d.theta_index)));
}

PyObject* m_theta_index(PyObject* self, PyObject*) {
  const ThetaIndex& idx = data_of(self).theta_index;
  Ref out(PyList_New(static_cast<Py_ssize_t>(idx.size())));
  if (!out) return nullptr;
  for (std::size_t k = 0; k < idx.size(); ++k) {
    PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(idx[k].first),
                                   static_cast<unsigned long long>(idx[k].second));
    if (!pair) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(k), pair);
  }
  return out.release();
}

PyObject* m_conditional_covariances(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_reml_args("conditional_covariances", self, args, nargs, kwnames, theta, reml)) return nullptr;
  const LmmData& d = data_of(self);
  std::optional<std::vector<double>> cov;
  if (!without_gil([&] { cov = conditional_covariances(d, theta, reml); })) return nullptr;
  if (!cov) return infeasible(d);
  const npy_intp m = static_cast<npy_intp>(d.m), q = static_cast<npy_intp>(d.q);
  return new_array(*cov, {m, q, q});
}

PyObject* m_deviance_hessian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta;
  bool reml;
  if (!theta_reml_args("deviance_hessian", self, args, nargs, kwnames, theta, reml)) return nullptr;
  const LmmData& d = data_of(self);
  if (d.q != 1) Py_RETURN_NONE;
  std::optional<ScalarHessian> h;
  if (!without_gil([&] { h = scalar_hessian(d, reml, theta[0]); })) return nullptr;
  return PyFloat_FromDouble(h ? h->second : std::numeric_limits<double>::quiet_NaN());
}

PyObject* m_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fit", {"starts", "reml", "max_iter", "gtol", "ftol"}, 1, args, nargs, kwnames, a))
    return nullptr;
  std::vector<double> starts;
  bool reml;
  MinimizeOptions options;
  if (!fit_args(a, starts, reml, options)) return nullptr;
  const LmmData& d = data_of(self);
  const std::size_t nt = d.theta_index.size();
  const char* multiple = "starts must be a non-empty multiple of the theta length";
  if (starts.empty()) {
    PyErr_SetString(PyExc_ValueError, multiple);
    return nullptr;
  }
  for (std::size_t i = 0; i < starts.size(); ++i)
    if (!std::isfinite(starts[i])) {
      PyErr_SetString(PyExc_ValueError, ("starts[" + std::to_string(i) + "] is not finite").c_str());
      return nullptr;
    }
  if (starts.size() % nt != 0) {
    PyErr_SetString(PyExc_ValueError, multiple);
    return nullptr;
  }
  // The optimiser runs in the entries' coordinates while the map relabels them.
  if (const ThetaMap map = map_of(d); !map.is_identity())
    for (std::size_t at = 0; at < starts.size(); at += nt) {
      const std::vector<double> e = map.entries(std::vector<double>(starts.begin() + at, starts.begin() + at + nt));
      std::copy(e.begin(), e.end(), starts.begin() + at);
    }
  OptimResult best;
  if (!without_gil([&] { best = fit_theta(d, starts, reml, options); })) return nullptr;
  FitReport report{best.converged, best.iterations, best.fev, best.grad_inf_norm, best.message};
  return solution_dict(self, best.theta, reml, &report);
}

// Pickling: the state of the design (products, shift, fingerprints; never the rows)
// tagged with the version, restored by _restore_core into the same class. A
// subclass's instance attributes travel as the usual third element.
}  // namespace

PyMethodDef core_methods[] = {
    QK_METHOD("deviance", m_deviance, "deviance($self, theta, reml=True)\n--\n\n"
              "Profiled deviance at `theta`. Returns `inf` for an infeasible `theta`.\n\n"
              "A `theta` of the wrong length is a caller error (ValueError), not an\n"
              "infeasible point."),
    QK_METHOD("criterion_parts", m_criterion_parts, "criterion_parts($self, theta, reml=True)\n--\n\n"
              "The criterion at `theta` split for inference: a dict with \"deviance\",\n"
              "\"logdet\" (ldl2 plus, under REML, the log-determinant of the fixed-effects\n"
              "system, and with prior weights w the constant -sum log w), \"pwrss\", \"nu\"\n"
              "(n - p under REML, else n), the analytic gradients\n"
              "\"grad_logdet\" and \"grad_pwrss\" of those two parts, \"beta\" and\n"
              "\"fixed_inverse\" (Cov(beta) / sigma^2). At a given sigma the criterion is\n"
              "logdet + pwrss / sigma^2 + nu log(2 pi sigma^2), with gradient in theta\n"
              "grad_logdet + grad_pwrss / sigma^2. RuntimeError for an infeasible `theta`."),
    QK_METHOD("deviance_grad", m_deviance_grad, "deviance_grad($self, theta, reml=True)\n--\n\n"
              "Profiled deviance and its analytic gradient at `theta`.\n\n"
              "Returns (inf, [nan, ...]) for an infeasible `theta`."),
    QK_METHOD("solution", m_solution, "solution($self, theta, reml=True)\n--\n\n"
              "Every derived quantity at a given `theta`, without re-optimising."),
    QK_NOARGS("lower_bounds", m_lower_bounds, "lower_bounds($self)\n--\n\n"
              "Lower bounds on `theta`: diagonal entries >= 0, off-diagonals free."),
    QK_NOARGS("theta_index", m_theta_index, "theta_index($self)\n--\n\n"
              "The (row, column) of Lambda that each entry of `theta` holds, in order."),
    QK_NOARGS("default_theta", m_default_theta, "default_theta($self)\n--\n\n"
              "The customary starting value: the identity relative covariance factor."),
    QK_METHOD("with_response", m_with_response, "with_response($self, y, x, z, codes, *, weights=None)\n--\n\n"
              "The same design with a new response, reusing every design-only product.\n"
              "`x`, `z`, `codes` and `weights` must be the arrays this core was built from\n"
              "(weights only when it was built with them); others are refused (ValueError)\n"
              "by the fingerprints the core took of them."),
    QK_METHOD("fixed_at", m_fixed_at, "fixed_at($self, j, value)\n--\n\n"
              "The same model with fixed effect `j` held at `value`: a new core for the\n"
              "response y - x_j * value and the fixed-effect columns other than `j`, formed\n"
              "from this core's products (no rows are read). Its criterion at a theta is\n"
              "the model's with beta_j = value. It has no rows behind it, so\n"
              "`with_response` refuses every array. IndexError for `j` out of range."),
    QK_METHOD("conditional_covariances", m_conditional_covariances,
              "conditional_covariances($self, theta, reml=True)\n--\n\n"
              "`Var(b_i | y)` for every group at `theta`, shape `(m, q, q)`, on the\n"
              "core's own (possibly rescaled) random-effects coordinates."),
    QK_METHOD("deviance_hessian", m_deviance_hessian, "deviance_hessian($self, theta, reml=True)\n--\n\n"
              "Analytic second derivative of the criterion in `theta`, for `q = 1`.\n"
              "Returns `None` when `q > 1` (no analytic Hessian is implemented there)\n"
              "and `nan` for an infeasible `theta`."),
    QK_CLASS_METHOD("from_products", m_from_products,
                    "from_products(products, evaluator='auto', blocks=None, take=False)\n--\n\n"
                    "A core from products (a dict as reduce_rows returns, or merged ones) instead of\n"
                    "rows: every evaluator, fit, solution, conditional covariances and the Hessian\n"
                    "work as for a core built from the rows. The products are checked first\n"
                    "(ValueError): sizes against n, p, q and m, row counts adding up to n, symmetric\n"
                    "blocks, finite values, non-negative diagonals, a valid shift. `blocks` as for\n"
                    "LmmCore. Weighted products (\"weighted\" true) give the weighted model, whose\n"
                    "criterion carries their \"log_weights\". Such a core has no fingerprints of\n"
                    "rows: with_response refuses it (ValueError). With take (products a dict), the\n"
                    "per-group arrays (counts, ztz, ztx, zty) are removed from the dict as they are\n"
                    "read, each freed then when nothing else holds it."),
    QK_NOARGS("__reduce__", m_reduce, "__reduce__($self)\n--\n\n"
              "Pickling support: the prepared products and the fingerprints of the rows, not\n"
              "the rows, tagged with the version; another version refuses to load them."),
    QK_METHOD("fit", m_fit, "fit($self, starts, reml=True, max_iter=300, gtol=1e-8, ftol=1e-12)\n--\n\n"
              "Fit by minimising the profiled criterion over `theta` alone.\n\n"
              "`starts` is a flat concatenation of candidate starting vectors; the best\n"
              "result wins. One start is enough: the search runs without bounds (the\n"
              "criterion is even in the sign of each column of Lambda, whose diagonals are\n"
              "reported non-negative), in the natural units of each column of Z, and checks\n"
              "the curvature where a column sits at zero, so it does not stop at a saddle.\n\n"
              "Stops: \"projected gradient below tolerance\" (largest gradient entry below\n"
              "`gtol`) and \"predicted decrease below tolerance\" (the decrease the\n"
              "quasi-Newton model still expects is below `ftol` times max(|criterion|, 1))\n"
              "report converged=True; \"maximum iterations reached\" (`max_iter` passes),\n"
              "\"line search failed\" and \"initial point infeasible\" report False."),
    QK_END_METHODS,
};


}  // namespace qk::py
