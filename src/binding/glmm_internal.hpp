// What the GLMM classes share. GlmmCore (glmm.cpp, one grouping factor) and
// CrossedGlmmCore (glmm_crossed.cpp, several) differ in their construction and their
// model; an instance of either holds its model behind GlmmModel, and every method,
// attribute and the pickling are one code for both (glmm_methods.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "binding/heap_type.hpp"
#include "binding/numpy.hpp"
#include "lmm/glmm/glmm.hpp"
#include "lmm/theta/theta_map.hpp"

namespace qk::py {

// One GLMM as the methods see it. theta enters through map() (lme4's layout to the
// model's entries of Lambda) and gradients leave through it.
class GlmmModel {
 public:
  virtual ~GlmmModel() = default;
  virtual std::uint64_t n() const = 0;
  virtual std::uint64_t p() const = 0;
  virtual std::size_t n_theta() const = 0;
  virtual const qk::glmm::Family& family() const = 0;
  virtual const qk::ThetaMap& map() const = 0;
  // Random-effect columns (summed over the factors), and the attribute m: the number
  // of groups, or each factor's levels (a new reference).
  virtual std::uint64_t q() const = 0;
  virtual PyObject* m() const = 0;
  // The ValueError text for an nagq the criterion (with_grad: the gradient) or the fit
  // does not take; empty when it is taken.
  virtual std::string nagq_refused(int nagq, bool fit, bool with_grad) const = 0;
  // The criterion at (entries, beta) and, with grad, its gradient over (entries, beta);
  // false where the modes cannot be found. Run without the interpreter lock.
  virtual bool evaluate(const std::vector<double>& entries, const double* beta, int nagq, double& value,
                        double* grad) const = 0;
  // nAGQ = 0: the criterion with beta from the joint PIRLS started at beta0 and, with
  // grad, its exact gradient over (entries, the family's parameters beside beta).
  virtual bool joint(const std::vector<double>& entries, const double* beta0, double& value, double* beta,
                     double* grad) const = 0;
  virtual qk::glmm::FitResult fit(const qk::glmm::FitOptions& o) const = 0;
  // Sets the fit dict's u, b and cond_var from the modes the fit returned.
  virtual bool put_modes(PyObject* dict, std::vector<double> u, std::vector<double> b,
                         std::vector<double> cond_var) const = 0;
};

// An instance: its model, and the arguments it was built from (for pickling: the class
// called with them builds the same model).
struct GlmmObject {
  PyObject_HEAD
  GlmmModel* model;
  PyObject* args;
  std::array<PyObject**, 1> refs() { return {&args}; }
  void free_owned() {
    delete model;
    model = nullptr;
  }
};

// A new instance of `type` owning `model`, built from `args` (a tuple, new reference
// taken).
PyObject* glmm_wrap(PyTypeObject* type, std::unique_ptr<GlmmModel> model, PyObject* args);

// A str argument; TypeError naming it otherwise.
bool text_of(PyObject* obj, const char* name, std::string& out);
// The family and link by name (link None or null: the family's default) and the
// information of its Laplace approximation (laplace None or null: "fisher" for the
// families without phi, lme4's; "observed" for those with, glmmTMB's): the family, or
// the ValueError text to raise, or an empty text when a TypeError is already set.
// With zi true, the family is zero-inflated (a hurdle model for a zero-truncated one).
std::variant<qk::glmm::Family, std::string> family_of(PyObject* family, PyObject* link, PyObject* laplace = nullptr,
                                                      PyObject* zi = nullptr);


// The family's parameters beside beta (log(phi), Tweedie's s, the zero-inflation's
// coefficients, after beta's p entries) as the result dict's own entries: "phi",
// "power", "zi" (a constant probability) and "zi_beta" (its logit's coefficients), None
// where the family has none; beta is cut to its p fixed effects.
bool set_family_parameters(PyObject* d, const qk::glmm::Family& family, std::vector<double>& beta, std::uint64_t p);

// A batch route's refusal of a start for beta of the wrong length.
inline constexpr const char* kBetaLength =
    "beta has the wrong length (the fixed effects, then log(phi) for a family with phi, then Tweedie's power's s "
    "or the zero-inflation's logit)";

// The estimates every GLMM route's result dict holds (moved out of res): m2loglik,
// fev_stage1, grad, vcov and vcov_rx (pp x pp) with vcov_source, the Hessian (nh x nh,
// or None) and the optimiser's report.
bool set_fit_estimates(PyObject* d, qk::glmm::FitResult& res, npy_intp pp, npy_intp nh);

}  // namespace qk::py
