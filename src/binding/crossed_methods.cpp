// CrossedCore's criterion, its fit and what they return. Every theta taken or returned
// is in the instance's layout (lme4's, crossed_object(self).layout): it enters the core
// as the entries of Lambda through the layout's map, and gradients, starts, bounds and
// inverse Hessians leave through it. Results per factor (random_effects, u, cond_var)
// stay in the core's order of factors; cov_re is one matrix over the terms in the
// layout's order, block diagonal, as one factor's core gives it.
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "binding/convert.hpp"
#include "binding/crossed_internal.hpp"
#include "binding/pyutil.hpp"
#include "linalg/dense.hpp"
#include "lmm/crossed/crossed.hpp"

namespace qk::py {

namespace cr = qk::crossed;

const std::vector<double>* crossed_entries(PyObject* self, const std::vector<double>& theta,
                                           std::vector<double>& scratch) {
  const std::size_t nt = crossed_design(self).theta_offset.back();
  if (theta.size() != nt) {
    value_error("theta must have " + std::to_string(nt) + " entries, got " + std::to_string(theta.size()));
    return nullptr;
  }
  for (std::size_t i = 0; i < nt; ++i)
    if (!std::isfinite(theta[i])) {
      value_error("theta[" + std::to_string(i) + "] is not finite");
      return nullptr;
    }
  return &crossed_layout(self).map.entries(theta, scratch);
}

PyObject* crossed_infeasible() {
  PyErr_SetString(PyExc_RuntimeError, "theta is infeasible: the system is not positive definite or pwrss is not positive");
  return nullptr;
}

namespace {

const ThetaMap& map_of(PyObject* self) { return crossed_layout(self).map; }

// (theta, reml=True): theta checked, and the core's entries there.
const std::vector<double>* theta_args(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, std::vector<double>& theta, std::vector<double>& scratch,
                                      bool& reml) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"theta", "reml"}, 1, args, nargs, kwnames, a)) return nullptr;
  reml = true;
  if (!to_vec(a[0], "theta", theta)) return nullptr;
  if (a[1] && !to_bool(a[1], "reml", reml)) return nullptr;
  return crossed_entries(self, theta, scratch);
}

std::optional<cr::Solution> at_entries(PyObject* self, const std::vector<double>& entries, bool reml, Mode mode,
                                       bool& failed, bool cond_var = true) {
  std::optional<cr::Solution> s;
  failed = !without_gil([&] { s = cr::evaluate(crossed_design(self), entries, reml, mode, cond_var); });
  return s;
}

// A criterion method's call (theta, reml=True): theta as given, and the evaluation at
// its entries in `mode` (empty: infeasible). False with the error set.
struct AtTheta {
  std::vector<double> theta, scratch;
  bool reml = true;
  std::optional<cr::Solution> s;
};
bool at_theta(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Mode mode,
              AtTheta& at, bool cond_var = true) {
  const std::vector<double>* e = theta_args(fname, self, args, nargs, kwnames, at.theta, at.scratch, at.reml);
  bool failed = false;
  if (e) at.s = at_entries(self, *e, at.reml, mode, failed, cond_var);
  return e && !failed;
}

// A gradient in the entries as one in theta.
std::vector<double> pulled_back(PyObject* self, const std::vector<double>& theta, std::vector<double> grad) {
  map_of(self).pull_back(theta, grad);
  return grad;
}

PyObject* m_deviance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  AtTheta at;
  if (!at_theta("deviance", self, args, nargs, kwnames, kModeDeviance, at)) return nullptr;
  return PyFloat_FromDouble(at.s ? at.s->ev.deviance : INFINITY);
}

PyObject* m_deviance_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  AtTheta at;
  if (!at_theta("deviance_grad", self, args, nargs, kwnames, kModeGradient, at)) return nullptr;
  const auto& s = at.s;
  const std::vector<double>& theta = at.theta;
  Ref grad(float_list(s ? pulled_back(self, theta, s->ev.gradient) : std::vector<double>(theta.size(), NAN)));
  if (!grad) return nullptr;
  return Py_BuildValue("(dO)", s ? s->ev.deviance : INFINITY, grad.get());
}

PyObject* m_criterion_parts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  AtTheta at;
  if (!at_theta("criterion_parts", self, args, nargs, kwnames, kModeSolution, at, false)) return nullptr;
  const auto& s = at.s;
  const std::vector<double>& theta = at.theta;
  if (!s) return crossed_infeasible();
  const cr::Design& d = crossed_design(self);
  const Evaluation& ev = s->ev;
  const npy_intp nt = static_cast<npy_intp>(theta.size()), np_ = static_cast<npy_intp>(d.pr.p);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  const bool ok = set_item(o, "deviance", PyFloat_FromDouble(ev.deviance)) &&
                  set_item(o, "logdet", PyFloat_FromDouble(ev.ldl2 + ev.ldrx2 - (d.pr.weighted ? d.pr.log_weights : 0.0))) &&
                  set_item(o, "pwrss", PyFloat_FromDouble(ev.pwrss)) &&
                  set_item(o, "nu", PyFloat_FromDouble(ev.pwrss / ev.sigma2)) &&
                  set_item(o, "grad_logdet", new_array(pulled_back(self, theta, ev.grad_logdet), {nt})) &&
                  set_item(o, "grad_pwrss", new_array(pulled_back(self, theta, ev.grad_pwrss), {nt})) &&
                  set_item(o, "beta", new_array(ev.beta, {np_})) &&
                  set_item(o, "fixed_inverse", new_array(ev.fixed_inverse, {np_, np_}));
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* list_of_arrays(const cr::Design& d, const std::vector<std::vector<double>>& v, int dims) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t j = 0; j < v.size(); ++j) {
    const npy_intp m = static_cast<npy_intp>(d.pr.m[j]), q = static_cast<npy_intp>(d.pr.q[j]);
    PyObject* arr = dims == 2 ? new_array(v[j], {m, q}) : dims == 3 ? new_array(v[j], {m, q, q}) : new_array(v[j], {q, q});
    if (!arr) return nullptr;
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j), arr) < 0) return nullptr;
  }
  return list.release();
}

// Each factor's sigma^2 Lambda_j Lambda_j' (q_j x q_j) moved into one matrix over the
// terms in the layout's order: a term's block is its factor's block of its columns,
// and terms are uncorrelated, so this moves numbers and adds none.
std::vector<double> terms_covariance(const cr::Design& d, const TermLayout& layout,
                                     const std::vector<std::vector<double>>& by_factor) {
  std::vector<std::vector<std::uint64_t>> first(d.blocks.size());  // each term's first column in its factor
  for (std::size_t k = 0; k < d.blocks.size(); ++k)
    for (std::uint64_t at = 0; std::uint64_t s : d.blocks[k]) first[k].push_back(std::exchange(at, at + s));
  std::uint64_t total = 0;
  for (std::uint64_t s : layout.term_sizes) total += s;
  std::vector<double> out(total * total, 0.0);
  std::uint64_t off = 0;
  for (std::size_t t = 0; t < layout.terms.size(); ++t) {
    const auto [k, j] = layout.terms[t];
    const std::uint64_t s = layout.term_sizes[t], c0 = first[k][j], q = d.pr.q[k];
    for (std::uint64_t r = 0; r < s; ++r)
      for (std::uint64_t c = 0; c < s; ++c) out[(off + r) * total + off + c] = by_factor[k][(c0 + r) * q + c0 + c];
    off += s;
  }
  return out;
}

// The dict of a solution at theta (the core's entries `entries`): `s` when given (a
// fit's), else evaluated here.
PyObject* solution_dict(PyObject* self, const std::vector<double>& theta, const std::vector<double>& entries, bool reml,
                        const FitReport* report, bool cond_var, std::optional<cr::Solution>* given = nullptr) {
  std::optional<cr::Solution> here;
  if (!given && !without_gil([&] { here = cr::evaluate(crossed_design(self), entries, reml, kModeSolution, cond_var); }))
    return nullptr;
  std::optional<cr::Solution>& s = given ? *given : here;
  if (!s) return crossed_infeasible();
  const cr::Design& d = crossed_design(self);
  const Evaluation& ev = s->ev;
  const std::size_t k = d.pr.m.size(), p = d.pr.p;
  std::vector<double> cov_beta(p * p);
  for (std::size_t i = 0; i < p * p; ++i) cov_beta[i] = ev.fixed_inverse[i] * ev.sigma2;
  std::vector<std::vector<double>> cov_re(k), b(k);
  for (std::size_t j = 0; j < k; ++j) {
    const std::uint64_t q = d.pr.q[j];
    const std::vector<double> lam = cr::lambda_of(d, entries, j);
    cov_re[j].assign(q * q, 0.0);
    mat_mul_bt(lam.data(), lam.data(), cov_re[j].data(), q, q, q);
    for (double& v : cov_re[j]) v = v * ev.sigma2;
    b[j].assign(d.pr.m[j] * q, 0.0);
    for (std::uint64_t l = 0; l < d.pr.m[j]; ++l) mat_mul(lam.data(), &s->u[j][l * q], &b[j][l * q], q, q, 1);
  }
  const npy_intp nt = static_cast<npy_intp>(theta.size()), np_ = static_cast<npy_intp>(p);
  npy_intp nq = 0;
  for (std::uint64_t qj : d.pr.q) nq += static_cast<npy_intp>(qj);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* o = dict.get();
  bool ok = set_item(o, "theta", new_array(theta, {nt})) && set_item(o, "deviance", PyFloat_FromDouble(ev.deviance)) &&
            set_item(o, "grad", new_array(pulled_back(self, theta, ev.gradient), {nt})) &&
            set_item(o, "beta", new_array(ev.beta, {np_})) &&
            set_item(o, "cov_beta", new_array(cov_beta, {np_, np_})) &&
            set_item(o, "cov_re", new_array(terms_covariance(d, crossed_layout(self), cov_re), {nq, nq})) &&
            set_item(o, "random_effects", list_of_arrays(d, b, 2)) && set_item(o, "u", list_of_arrays(d, s->u, 2)) &&
            set_item(o, "cond_var", cond_var ? list_of_arrays(d, s->cond_var, 3) : Py_NewRef(Py_None)) &&
            set_item(o, "sigma2", PyFloat_FromDouble(ev.sigma2)) &&
            set_item(o, "sigma", PyFloat_FromDouble(std::sqrt(ev.sigma2))) &&
            set_item(o, "pwrss", PyFloat_FromDouble(ev.pwrss)) && set_item(o, "ldl2", PyFloat_FromDouble(ev.ldl2)) &&
            set_item(o, "ldrx2", PyFloat_FromDouble(ev.ldrx2)) && set_item(o, "reml", PyBool_FromLong(reml)) &&
            set_item(o, "n", PyLong_FromUnsignedLongLong(d.pr.n)) && set_item(o, "p", PyLong_FromUnsignedLongLong(p));
  if (ok && report) ok = set_report(o, *report);
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* m_solution(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> theta, scratch;
  bool reml;
  const std::vector<double>* e = theta_args("solution", self, args, nargs, kwnames, theta, scratch, reml);
  if (!e) return nullptr;
  return solution_dict(self, theta, *e, reml, nullptr, true);
}

// Var(b | y) of every level of each factor at theta: solution()'s cond_var alone.
PyObject* m_conditional_covariances(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  AtTheta at;
  if (!at_theta("conditional_covariances", self, args, nargs, kwnames, kModeSolution, at)) return nullptr;
  if (!at.s) return crossed_infeasible();
  return list_of_arrays(crossed_design(self), at.s->cond_var, 3);
}

// The optimiser runs in the entries' coordinates (the map relabels them): each start
// and h0 gathered into them, the result gathered back.
PyObject* m_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fit", {"starts", "reml", "max_iter", "gtol", "ftol", "cond_var", "h0"}, 1, args, nargs, kwnames,
                  a))
    return nullptr;
  std::vector<double> starts;
  bool reml;
  MinimizeOptions options;
  if (!fit_args(a, starts, reml, options)) return nullptr;
  bool cond_var = false;
  if (a[5] && !to_bool(a[5], "cond_var", cond_var)) return nullptr;
  if (a[6] && a[6] != Py_None && !to_vec(a[6], "h0", options.h0)) return nullptr;
  const cr::Design& d = crossed_design(self);
  const ThetaMap& map = map_of(self);
  const std::size_t nt = d.theta_offset.back();
  if (starts.empty() || starts.size() % nt != 0)
    return value_error("starts must be a non-empty multiple of the theta length");
  if (!options.h0.empty() && options.h0.size() != nt * nt)
    return value_error("h0 must hold n_theta * n_theta values");
  for (std::size_t i = 0; i < starts.size(); ++i)
    if (!std::isfinite(starts[i])) return value_error("starts[" + std::to_string(i) + "] is not finite");
  if (!map.is_identity()) {
    for (std::size_t at = 0; at < starts.size(); at += nt) {
      const std::vector<double> e = map.entries(std::vector<double>(starts.begin() + at, starts.begin() + at + nt));
      std::copy(e.begin(), e.end(), starts.begin() + at);
    }
    if (!options.h0.empty()) options.h0 = map.square_to_entries(options.h0);
  }
  OptimResult best;
  std::optional<cr::Solution> solution;
  if (!without_gil([&] { best = cr::fit(d, starts, reml, options, &solution, cond_var); })) return nullptr;
  const FitReport report{best.converged, best.iterations, best.fev, best.grad_inf_norm, best.message};
  return solution_dict(self, map.params(best.theta), best.theta, reml, &report, cond_var, &solution);
}

PyObject* m_default_theta(PyObject* self, PyObject*) {
  return float_list(map_of(self).params(cr::default_theta(crossed_design(self))));
}

// start_theta(reml, with_model) and start(reml) = start_theta(reml, True).
PyObject* start_of(PyObject* self, bool reml, bool with_model) {
  cr::Start start;
  if (!without_gil([&] { start = cr::start_of(crossed_design(self), reml); })) return nullptr;
  const ThetaMap& map = map_of(self);
  Ref theta(float_list(map.params(start.theta)));
  if (!with_model || !theta) return theta.release();
  Ref model(start.inverse_hessian.empty() ? Py_NewRef(Py_None) : float_list(map.square_to_params(start.inverse_hessian)));
  return model ? PyTuple_Pack(2, theta.get(), model.get()) : nullptr;
}

PyObject* m_start_theta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("start_theta", {"reml", "with_model"}, 0, args, nargs, kwnames, a)) return nullptr;
  bool reml = true, with_model = false;
  if (a[0] && !to_bool(a[0], "reml", reml)) return nullptr;
  if (a[1] && !to_bool(a[1], "with_model", with_model)) return nullptr;
  return start_of(self, reml, with_model);
}

PyObject* m_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("start", {"reml"}, 0, args, nargs, kwnames, a)) return nullptr;
  bool reml = true;
  if (a[0] && !to_bool(a[0], "reml", reml)) return nullptr;
  return start_of(self, reml, true);
}

PyObject* m_lower_bounds(PyObject* self, PyObject*) {
  return float_list(map_of(self).params(cr::lower_bounds(crossed_design(self))));
}

// (row, column) of each entry of theta in Lambda's template over the terms (one
// lower-triangular block per term, in the layout's order), as one factor's core.
PyObject* m_theta_index(PyObject* self, PyObject*) {
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  std::uint64_t off = 0;
  for (std::uint64_t s : crossed_layout(self).term_sizes) {
    for (std::uint64_t c = 0; c < s; ++c)
      for (std::uint64_t r = c; r < s; ++r) {
        Ref t(Py_BuildValue("(KK)", static_cast<unsigned long long>(off + r), static_cast<unsigned long long>(off + c)));
        if (!t || PyList_Append(list.get(), t.get()) < 0) return nullptr;
      }
    off += s;
  }
  return list.release();
}

// Lambda_j of each factor (the core's order, q_j x q_j) at theta.
PyObject* m_factor_lambdas(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  std::vector<double> theta, scratch;
  if (!parse_args("factor_lambdas", {"theta"}, 1, args, nargs, kwnames, a) || !to_vec(a[0], "theta", theta))
    return nullptr;
  const std::vector<double>* e = crossed_entries(self, theta, scratch);
  if (!e) return nullptr;
  const cr::Design& d = crossed_design(self);
  std::vector<std::vector<double>> lams;
  for (std::size_t j = 0; j < d.pr.m.size(); ++j) lams.push_back(cr::lambda_of(d, *e, j));
  return list_of_arrays(d, lams, 1);
}

}  // namespace

PyMethodDef crossed_methods[] = {
    QK_METHOD("deviance", m_deviance, "deviance($self, theta, reml=True)\n--\n\n"
              "Profiled deviance at `theta`; inf for an infeasible `theta`."),
    QK_METHOD("deviance_grad", m_deviance_grad, "deviance_grad($self, theta, reml=True)\n--\n\n"
              "Profiled deviance and its analytic gradient; (inf, [nan, ...]) for an infeasible `theta`."),
    QK_METHOD("criterion_parts", m_criterion_parts, "criterion_parts($self, theta, reml=True)\n--\n\n"
              "The criterion split for inference, as LmmCore.criterion_parts."),
    QK_METHOD("solution", m_solution, "solution($self, theta, reml=True)\n--\n\n"
              "Everything at `theta`: beta, cov_beta, cov_re over the terms, and per factor "
              "random_effects, u and cond_var."),
    QK_METHOD("conditional_covariances", m_conditional_covariances,
              "conditional_covariances($self, theta, reml=True)\n--\n\n"
              "Var(b | y) of every level at `theta`, per factor (m_j, q_j, q_j): solution()'s cond_var."),
    QK_METHOD("prediction_variance", crossed_prediction_variance,
              "prediction_variance($self, theta, x, levels, z, reml=True)\n--\n\n"
              "||L^-1 v||^2 per new row (times sigma^2, its prediction error's variance), "
              "L L' the system at `theta`, v =\n"
              "[Lambda_j'z0_j at each factor's level; x0]. `x` (r, p); "
              "per factor `levels` int64 (r,) (-1: new) and `z` (r, q_j)."),
    QK_METHOD("factor_lambdas", m_factor_lambdas, "factor_lambdas($self, theta)\n--\n\n"
              "Lambda_j of each factor at `theta` (q_j x q_j, its terms' blocks together)."),
    QK_METHOD("fit", m_fit,
              "fit($self, starts, reml=True, max_iter=300, gtol=1e-08, ftol=1e-12, cond_var=False, h0=None)\n--\n\n"
              "Minimises the criterion from each start (their flat concatenation); "
              "the best solution and the run's report\n"
              "(its cond_var None unless cond_var: solution() gives them at the fitted theta). h0, when given, is the\n"
              "initial inverse Hessian of every run (n_theta x n_theta, flat, row-major), as start() gives it."),
    QK_CLASS_METHOD("from_products", crossed_from_products, "from_products(products, blocks, term_order=None)\n--\n\n"
                    "A core from crossed products (a dict as reduce_crossed_rows returns, or merged ones,\n"
                    "levels coded 0..m_j-1 and each cross block's pairs in increasing order of\n"
                    "level_i * m_j + level_j), each factor's terms' sizes `blocks`, and term_order as CrossedCore "
                    "takes it."),
    QK_NOARGS("default_theta", m_default_theta, "default_theta($self, /)\n--\n\nIdentity Lambda."),
    QK_METHOD("start_theta", m_start_theta, "start_theta($self, /, reml=True, with_model=False)\n--\n\n"
              "A start for fit(): each factor's theta from the model with that factor alone\n"
              "(its products only), diagonal entries at least 0.1; the identity instead where a factor\n"
              "is nested in another and the criterion is lower there. With with_model, (theta, h0): h0 the\n"
              "factor-by-factor model of the inverse Hessian at that start for fit(h0=...), or None."),
    QK_METHOD("start", m_start, "start($self, /, reml=True)\n--\n\nstart_theta(reml, with_model=True)."),
    QK_NOARGS("lower_bounds", m_lower_bounds, "lower_bounds($self, /)\n--\n\n"
              "0 on diagonal entries of Lambda, -inf elsewhere."),
    QK_NOARGS("theta_index", m_theta_index, "theta_index($self, /)\n--\n\n"
              "(row, column) of each entry of theta in Lambda's template: one block per term."),
    QK_METHOD("with_response", crossed_with_response, "with_response($self, y, *rows, weights=None)\n--\n\n"
              "The same design with the response `y` (x and the factors kept; `rows` accepted and not read)."),
    QK_METHOD("fixed_at", crossed_fixed_at, "fixed_at($self, j, value)\n--\n\n"
              "The same model with fixed effect `j` held at `value`."),
    QK_NOARGS("__reduce__", crossed_reduce, "__reduce__($self, /)\n--\n\nPickles what the core was built from."),
    QK_END_METHODS,
};

}  // namespace qk::py
