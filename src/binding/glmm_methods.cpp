// The methods and attributes of both GLMM classes, over GlmmModel: argument checks,
// the model's call with the interpreter lock released, and the conversion of what it
// returns. Every theta taken or returned is in the instance's layout (map()).
#include <cmath>
#include <memory>
#include <string>
#include <variant>

#include "binding/convert.hpp"
#include "binding/glmm.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/pyutil.hpp"

namespace qk::py {

namespace gl = qk::glmm;

bool text_of(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    arg_error(name, "expected a str, got '" + type_name(obj) + "'");
    return false;
  }
  Py_ssize_t len;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) return false;
  out.assign(s, static_cast<std::size_t>(len));
  return true;
}

std::variant<gl::Family, std::string> family_of(PyObject* family, PyObject* link, PyObject* laplace, PyObject* zi) {
  std::string f, l, how;
  if (!text_of(family, "family", f)) return std::string();
  if (link && link != Py_None && !text_of(link, "link", l)) return std::string();
  if (laplace && laplace != Py_None && !text_of(laplace, "laplace", how)) return std::string();
  auto parsed = gl::parse_family(f, l);
  auto* fam = std::get_if<gl::Family>(&parsed);
  if (!fam) return parsed;
  if (zi && zi != Py_None) {
    const int inflated = PyObject_IsTrue(zi);
    if (inflated < 0) return std::string();
    fam->inflated = inflated == 1;
    const std::string name = fam->def->name;
    if (fam->inflated && name != "poisson" && name != "nbinom2" && name != "nbinom1" && name != "truncated_poisson" &&
        name != "truncated_nbinom2")
      return "zero-inflation is available for the poisson, nbinom2 and nbinom1 families (and a hurdle for "
             "truncated_poisson and truncated_nbinom2), not " + name;
  }
  const bool expected_known = fam->def->exact_fisher && !fam->inflated;
  if (how.empty()) how = fam->def->dispersion || !expected_known ? "observed" : "fisher";
  if (how != "fisher" && how != "observed") return "laplace must be \"fisher\" or \"observed\", got \"" + how + "\"";
  if (how == "fisher" && !expected_known)
    return std::string("the ") + fam->def->name + (fam->inflated ? " family with zero-inflation" : " family") +
           "'s expected information has no closed form: its Laplace approximation is laplace=\"observed\"";
  fam->observed = how == "observed";
  return parsed;
}

bool set_family_parameters(PyObject* d, const gl::Family& family, std::vector<double>& beta, std::uint64_t p) {
  const gl::Family at = gl::at_params(family, beta.data(), p);
  const bool has_phi = at.def->dispersion, has_zi = at.inflated && at.zi_columns == 1;
  std::vector<double> zi_beta;
  if (at.inflated)
    zi_beta.assign(beta.begin() + static_cast<std::ptrdiff_t>(p + (has_phi ? 1 : 0)), beta.end());
  const auto nz = static_cast<npy_intp>(zi_beta.size());
  beta.resize(p);
  return set_item(d, "phi", has_phi ? PyFloat_FromDouble(at.phi) : Py_NewRef(Py_None)) &&
         set_item(d, "zi", has_zi ? PyFloat_FromDouble(at.zi) : Py_NewRef(Py_None)) &&
         set_item(d, "power", at.def->power ? PyFloat_FromDouble(at.power) : Py_NewRef(Py_None)) &&
         set_item(d, "zi_beta", at.inflated ? array_taking(std::move(zi_beta), {nz}) : Py_NewRef(Py_None));
}

PyObject* glmm_wrap(PyTypeObject* type, std::unique_ptr<GlmmModel> model, PyObject* args) {
  GlmmObject* self = Instance<GlmmObject>::alloc(type);
  if (!self) return nullptr;
  self->model = model.release();
  self->args = Py_NewRef(args);
  return reinterpret_cast<PyObject*>(self);
}

namespace {

const GlmmModel& model_of(PyObject* self) { return *Instance<GlmmObject>::of(self).model; }

bool all_finite(const std::vector<double>& v, const char* name) {
  for (double x : v)
    if (!std::isfinite(x)) return value_error(std::string(name) + " has a value that is not finite"), false;
  return true;
}

// nagq: 1 when not given, at most 25 (lme4's limit).
bool nagq_of(PyObject* obj, int& nagq) {
  std::uint64_t k = 1;
  if (obj && !to_u64(obj, "nagq", k)) return false;
  if (k > 25) return value_error("nagq must be at most 25"), false;
  nagq = static_cast<int>(k);
  return true;
}

// beta's entries: the fixed effects and, for a family with phi, log(phi) last.
std::size_t beta_size(const GlmmModel& g) { return g.p() + gl::n_extra(g.family()); }

// theta and beta of the model's lengths, finite.
bool point_ok(const GlmmModel& g, const std::vector<double>& theta, const std::vector<double>& beta) {
  if (theta.size() != g.n_theta())
    return value_error("theta must have " + std::to_string(g.n_theta()) + " entries, got " +
                       std::to_string(theta.size())),
           false;
  if (beta.size() != beta_size(g))
    return value_error("beta must have " + std::to_string(beta_size(g)) + " entries" +
                       (beta_size(g) > g.p() ? " (the fixed effects, then log(phi))" : "") + ", got " +
                       std::to_string(beta.size())),
           false;
  return all_finite(theta, "theta") && all_finite(beta, "beta");
}

// (theta, beta, nagq=1) -> value, or (value, gradient over (theta, beta)) with_grad;
// the value is inf where the modes cannot be found.
PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname,
                      bool with_grad) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"theta", "beta", "nagq"}, 2, args, nargs, kwnames, a)) return nullptr;
  const GlmmModel& g = model_of(self);
  std::vector<double> theta, beta;
  int nagq;
  if (!to_vec(a[0], "theta", theta) || !to_vec(a[1], "beta", beta) || !nagq_of(a[2], nagq)) return nullptr;
  if (!point_ok(g, theta, beta)) return nullptr;
  if (auto refused = g.nagq_refused(nagq, false, with_grad); !refused.empty()) return value_error(refused);
  std::vector<double> scratch;
  const std::vector<double>& entries = g.map().entries(theta, scratch);
  double value = INFINITY;
  std::vector<double> grad(theta.size() + beta.size(), NAN);
  bool ok = false;
  if (!without_gil([&] { ok = g.evaluate(entries, beta.data(), nagq, value, with_grad ? grad.data() : nullptr); }))
    return nullptr;
  if (!ok) value = INFINITY;
  if (!with_grad) return PyFloat_FromDouble(value);
  g.map().pull_back(theta, grad);
  Ref out(new_array(grad, {static_cast<npy_intp>(grad.size())}));
  if (!out) return nullptr;
  return Py_BuildValue("(dO)", value, out.get());
}

PyObject* m_criterion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return evaluate_at(self, args, nargs, kwnames, "criterion", false);
}

PyObject* m_gradient(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return evaluate_at(self, args, nargs, kwnames, "gradient", true);
}

PyObject* m_deviance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return evaluate_at(self, args, nargs, kwnames, "deviance", false);
}

PyObject* m_deviance_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return evaluate_at(self, args, nargs, kwnames, "deviance_grad", true);
}

// (theta, beta0=None) -> (value, beta) of nAGQ = 0, or (value, beta, gradient over
// (theta, the family's parameters beside beta)) with_grad; the value is inf where the
// joint PIRLS fails.
PyObject* joint_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname,
                   bool with_grad) {
  std::vector<PyObject*> a;
  if (!parse_args(fname, {"theta", "beta0"}, 1, args, nargs, kwnames, a)) return nullptr;
  const GlmmModel& g = model_of(self);
  std::vector<double> theta, beta0(beta_size(g), 0.0);
  if (!to_vec(a[0], "theta", theta) || (a[1] && !to_vec(a[1], "beta0", beta0))) return nullptr;
  if (!point_ok(g, theta, beta0)) return nullptr;
  std::vector<double> scratch;
  const std::vector<double>& entries = g.map().entries(theta, scratch);
  double value = INFINITY;
  std::vector<double> beta(beta_size(g), NAN), grad(entries.size() + beta_size(g) - g.p(), NAN);
  bool ok = false;
  if (!without_gil([&] { ok = g.joint(entries, beta0.data(), value, beta.data(), with_grad ? grad.data() : nullptr); }))
    return nullptr;
  Ref b(new_array(beta, {static_cast<npy_intp>(beta.size())}));
  if (!b) return nullptr;
  if (!with_grad) return Py_BuildValue("(dO)", ok ? value : INFINITY, b.get());
  g.map().pull_back(theta, grad);
  Ref gr(new_array(grad, {static_cast<npy_intp>(grad.size())}));
  if (!gr) return nullptr;
  return Py_BuildValue("(dOO)", ok ? value : INFINITY, b.get(), gr.get());
}

PyObject* m_criterion0(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return joint_at(self, args, nargs, kwnames, "criterion0", false);
}

PyObject* m_gradient0(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return joint_at(self, args, nargs, kwnames, "gradient0", true);
}

// fit()'s arguments (nagq, theta, beta, max_iter) as parse_args left them; theta in the
// model's entries.
bool fit_options_of(const GlmmModel& g, const std::vector<PyObject*>& a, gl::FitOptions& o) {
  int nagq;
  if (!nagq_of(a[0], nagq)) return false;
  o.nagq = nagq;
  if (a[1] && a[1] != Py_None && !to_vec(a[1], "theta", o.theta)) return false;
  if (a[2] && a[2] != Py_None && !to_vec(a[2], "beta", o.beta)) return false;
  if (a[3] && !to_u64(a[3], "max_iter", o.max_iter)) return false;
  if (!all_finite(o.theta, "theta") || !all_finite(o.beta, "beta")) return false;
  if (auto refused = g.nagq_refused(o.nagq, true, false); !refused.empty()) return value_error(refused), false;
  if (!o.theta.empty() && o.theta.size() != g.n_theta()) return value_error("theta has the wrong length"), false;
  if (!o.beta.empty() && o.beta.size() != beta_size(g)) return value_error("beta has the wrong length"), false;
  if (!o.theta.empty() && !g.map().is_identity()) o.theta = g.map().entries(o.theta);
  return true;
}

// The fit's dict: its theta, gradient and Hessian over (theta, beta) taken from the
// model's entries to theta, and the modes as the model shapes them.
}  // namespace

bool set_fit_estimates(PyObject* d, gl::FitResult& res, npy_intp pp, npy_intp nh) {
  const auto ng = static_cast<npy_intp>(res.grad.size());
  return set_item(d, "m2loglik", PyFloat_FromDouble(res.m2loglik)) &&
         set_item(d, "fev_stage1", PyLong_FromUnsignedLongLong(res.fev_stage1)) &&
         set_item(d, "start_seconds", PyFloat_FromDouble(res.start_seconds)) &&
         set_item(d, "grad", array_taking(std::move(res.grad), {ng})) &&
         set_item(d, "vcov", array_taking(std::move(res.vcov), {pp, pp})) &&
         set_item(d, "vcov_rx", array_taking(std::move(res.vcov_rx), {pp, pp})) &&
         set_item(d, "vcov_source", PyUnicode_FromString(res.vcov_from_hessian ? "hessian" : "rx")) &&
         set_item(d, "hessian", res.hessian.empty() ? Py_NewRef(Py_None) : array_taking(std::move(res.hessian), {nh, nh})) &&
         set_report(d, {res.converged, res.iterations, res.fev, res.grad_inf_norm, res.message});
}

namespace {

PyObject* fit_dict(const GlmmModel& g, gl::FitResult& res, int nagq) {
  const qk::ThetaMap& map = g.map();
  if (!map.is_identity()) {
    res.theta = map.params(res.theta);
    if (res.grad.size() >= map.n_entries()) map.pull_back(res.theta, res.grad);
    if (!res.hessian.empty()) res.hessian = map.square_to_params(res.hessian);
  }
  const auto nt = static_cast<npy_intp>(res.theta.size()), pp = static_cast<npy_intp>(g.p()),
             nn = static_cast<npy_intp>(g.n());
  const npy_intp nh = nt + static_cast<npy_intp>(beta_size(g));
  Ref d(PyDict_New());
  if (!d) return nullptr;
  const bool ok = set_family_parameters(d.get(), g.family(), res.beta, g.p()) &&
                  set_item(d.get(), "theta", array_taking(std::move(res.theta), {nt})) &&
                  set_item(d.get(), "beta", array_taking(std::move(res.beta), {pp})) &&
                  set_item(d.get(), "nagq", PyLong_FromLong(nagq)) &&
                  set_item(d.get(), "eta", array_taking(std::move(res.eta), {nn})) &&
                  set_item(d.get(), "mu", array_taking(std::move(res.mu), {nn})) &&
                  set_fit_estimates(d.get(), res, pp, nh) &&
                  g.put_modes(d.get(), std::move(res.u), std::move(res.b), std::move(res.cond_var));
  if (!ok) return nullptr;
  return d.release();
}

PyObject* m_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<PyObject*> a;
  if (!parse_args("fit", {"nagq", "theta", "beta", "max_iter"}, 0, args, nargs, kwnames, a)) return nullptr;
  const GlmmModel& g = model_of(self);
  gl::FitOptions o;
  if (!fit_options_of(g, a, o)) return nullptr;
  gl::FitResult res;
  if (!without_gil([&] { res = g.fit(o); })) return nullptr;
  return fit_dict(g, res, o.nagq);
}

// A pickle holds the arguments the core was built from: the class builds it again.
PyObject* m_reduce(PyObject* self, PyObject*) {
  return rebuilt_by(reinterpret_cast<PyObject*>(Py_TYPE(self)), Instance<GlmmObject>::of(self).args, nullptr);
}

struct GlmmSizes {
  static std::uint64_t n(PyObject* self) { return model_of(self).n(); }
  static std::uint64_t p(PyObject* self) { return model_of(self).p(); }
  static std::uint64_t q(PyObject* self) { return model_of(self).q(); }
  static std::uint64_t n_theta(PyObject* self) { return model_of(self).n_theta(); }
  static PyObject* m(PyObject* self) { return model_of(self).m(); }
};
PyObject* g_family(PyObject* self, void*) { return PyUnicode_FromString(model_of(self).family().def->name); }
PyObject* g_link(PyObject* self, void*) { return PyUnicode_FromString(model_of(self).family().link->name); }
PyObject* g_laplace(PyObject* self, void*) {
  return PyUnicode_FromString(model_of(self).family().observed ? "observed" : "fisher");
}

}  // namespace

PyGetSetDef glmm_getset[] = {
    QK_SIZES(GlmmSizes),
    QK_GETTER("family", g_family, "The family's name."),
    QK_GETTER("link", g_link, "The link's name."),
    QK_GETTER("laplace", g_laplace,
              "The information in the Laplace approximation's determinant: \"fisher\" (the expected\n"
              "information at the modes, lme4's) or \"observed\" (the integrand's Hessian, glmmTMB's)."),
    QK_END_GETSET,
};

PyMethodDef glmm_methods[] = {
    QK_METHOD("criterion", m_criterion, "criterion($self, theta, beta, nagq=1)\n--\n\n"
              "beta holds the fixed effects and, for a family with a dispersion parameter phi,\n"
              "log(phi) last. -2 log-likelihood (all constants included) by Laplace's approximation (nagq=1) or,\n"
              "with one grouping factor, adaptive Gauss-Hermite quadrature with nagq**q nodes per\n"
              "group; inf where the conditional modes cannot be found."),
    QK_METHOD("gradient", m_gradient, "gradient($self, theta, beta, nagq=1)\n--\n\n"
              "The Laplace criterion and its exact gradient over (theta, beta), theta first."),
    QK_METHOD("deviance", m_deviance, "deviance($self, theta, beta, nagq=1)\n--\n\n"
              "criterion under the name every core gives it."),
    QK_METHOD("deviance_grad", m_deviance_grad, "deviance_grad($self, theta, beta, nagq=1)\n--\n\n"
              "gradient under the name every core gives it."),
    QK_METHOD("criterion0", m_criterion0, "criterion0($self, theta, beta0=None)\n--\n\n"
              "nAGQ = 0: (criterion, beta) with beta from PIRLS over (u, beta) jointly, started at beta0."),
    QK_METHOD("gradient0", m_gradient0, "gradient0($self, theta, beta0=None)\n--\n\n"
              "nAGQ = 0: (criterion, beta, gradient) as criterion0, with the criterion's exact gradient\n"
              "over theta and the family's parameters beside beta (log(phi), the zero-inflation's)."),
    QK_METHOD("fit", m_fit, "fit($self, nagq=1, theta=None, beta=None, max_iter=300)\n--\n\n"
              "The maximum-likelihood fit: nAGQ = 0 over theta, then (nagq >= 1) the criterion over\n"
              "(theta, beta); the estimates, modes (u, b, cond_var: arrays with one grouping factor,\n"
              "lists of one array per factor with several), covariances and the optimiser's report\n"
              "as a dict."),
    QK_NOARGS("__reduce__", m_reduce, "__reduce__($self, /)\n--\n\nPickles the arguments the core was built from."),
    QK_END_METHODS,
};

const TypeDef glmm_base_type = type_def<GlmmObject>(
    "quorvelkit._quorvelkit._GlmmBase",
    "The methods and attributes GlmmCore and CrossedGlmmCore share; not instantiated itself.", nullptr,
    glmm_methods, glmm_getset, /*subclassable=*/true);

}  // namespace qk::py
