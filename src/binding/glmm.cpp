// The GlmmCore class: a binomial or Poisson mixed model with one grouping factor. An
// instance owns its rows sorted by group; its methods are the GLMM classes' shared ones
// (glmm_methods.cpp) over the model here. All numeric work runs with the interpreter
// lock released.
#include "binding/glmm.hpp"

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>

#include "binding/convert.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/pyutil.hpp"
#include "lmm/glmm/glmm.hpp"

namespace qk::py {
namespace {

namespace gl = qk::glmm;

class OneFactor final : public GlmmModel {
 public:
  explicit OneFactor(gl::Rows rows) : r_(std::move(rows)), map_(qk::ThetaMap::identity(r_.idx.size())) {}
  std::uint64_t n() const override { return r_.n; }
  std::uint64_t p() const override { return r_.p; }
  std::size_t n_theta() const override { return r_.idx.size(); }
  const gl::Family& family() const override { return r_.family; }
  // One factor's theta is its Lambda's entries: the identity map (a structured
  // covariance of the factor would build its map here).
  const qk::ThetaMap& map() const override { return map_; }
  std::uint64_t q() const override { return r_.q; }
  PyObject* m() const override { return PyLong_FromUnsignedLongLong(r_.m); }
  std::string nagq_refused(int nagq, bool fit, bool with_grad) const override {
    if (fit) return {};
    if (nagq == 0) return "nagq = 0 is a function of theta alone: use criterion0";
    if (with_grad && nagq > 1) return "the exact gradient is for nagq = 1 (Laplace)";
    return {};
  }
  bool evaluate(const std::vector<double>& entries, const double* beta, int nagq, double& value,
                double* grad) const override {
    return gl::evaluate(r_, gl::lambda_of(r_, entries), beta, nagq, value, grad, nullptr);
  }
  bool joint(const std::vector<double>& entries, const double* beta0, double& value, double* beta,
             double* grad) const override {
    const std::vector<double> lam = gl::lambda_of(r_, entries);
    if (!grad) return gl::evaluate_joint(r_, lam, beta0, value, beta, nullptr);
    std::vector<double> warm;
    return gl::joint_gradient(r_, lam, beta0, value, beta, grad, warm);
  }
  gl::FitResult fit(const gl::FitOptions& o) const override { return gl::fit(r_, o); }
  bool put_modes(PyObject* d, std::vector<double> u, std::vector<double> b, std::vector<double> cv) const override {
    const auto q = static_cast<npy_intp>(r_.q), m = static_cast<npy_intp>(r_.m);
    return set_item(d, "u", array_taking(std::move(u), {m, q})) && set_item(d, "b", array_taking(std::move(b), {m, q})) &&
           set_item(d, "cond_var", array_taking(std::move(cv), {m, q, q}));
  }

 private:
  gl::Rows r_;
  qk::ThetaMap map_;
};

PyObject* glmm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (!parse_tuple_args("GlmmCore",
                        {"y", "x", "z", "codes", "n_groups", "blocks", "weights", "offset", "family", "link", "laplace", "zi"},
                        9, args,
                        kwargs, a))
    return nullptr;
  ArrayView y, x, z, codes, w, off;
  if (!borrow_vector(a[0], "y", NPY_DOUBLE, y) || !borrow_matrix(a[1], "x", x) || !borrow_matrix(a[2], "z", z) ||
      !borrow_vector(a[3], "codes", NPY_INT64, codes))
    return nullptr;
  std::uint64_t m;
  std::vector<std::uint64_t> blocks;
  if (!to_u64(a[4], "n_groups", m) || !to_u64_vec(a[5], "blocks", blocks)) return nullptr;
  if (!borrow_vector(a[6], "weights", NPY_DOUBLE, w)) return nullptr;
  const bool has_offset = a[7] != Py_None;
  if (has_offset && !borrow_vector(a[7], "offset", NPY_DOUBLE, off)) return nullptr;
  // zi: None, a bool, or the zero-inflation's design (n x k float64 matrix).
  ArrayView zx;
  const bool zi_design = a[11] && a[11] != Py_None && !PyBool_Check(a[11]);
  if (zi_design && !borrow_matrix(a[11], "zi", zx)) return nullptr;
  auto parsed = family_of(a[8], a[9], a[10], zi_design ? Py_True : a[11]);
  if (auto* err = std::get_if<std::string>(&parsed)) return err->empty() ? nullptr : value_error(*err);
  const npy_intp n = y.rows;
  if (x.rows != n || z.rows != n || codes.rows != n || w.rows != n || (has_offset && off.rows != n) ||
      (zi_design && zx.rows != n))
    return value_error("y, x, z, codes, weights, offset and zi must have one row per observation");
  if (m == 0) return value_error("n_groups must be at least 1");
  gl::RowInput in{static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(x.cols), static_cast<std::uint64_t>(z.cols),
                  m, data_of<double>(y), data_of<double>(x), data_of<double>(z), data_of<std::int64_t>(codes),
                  data_of<double>(w), has_offset ? data_of<double>(off) : nullptr,
                  zi_design ? data_of<double>(zx) : nullptr, zi_design ? static_cast<std::uint64_t>(zx.cols) : 1};
  std::unique_ptr<GlmmModel> model;
  std::string refused;
  if (!without_gil([&] {
        try {
          model = std::make_unique<OneFactor>(gl::make_rows(in, std::get<gl::Family>(parsed), blocks));
        } catch (const std::invalid_argument& e) {
          refused = e.what();
        }
      }))
    return nullptr;
  if (!model) return value_error(refused);
  Ref built_from(PyTuple_Pack(12, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9] ? a[9] : Py_None,
                              a[10] ? a[10] : Py_None, a[11] ? a[11] : Py_None));
  if (!built_from) return nullptr;
  return glmm_wrap(type, std::move(model), built_from.get());
}

}  // namespace

const TypeDef glmm_type = type_def<GlmmObject>(
    "quorvelkit._quorvelkit.GlmmCore",
    "GlmmCore(y, x, z, codes, n_groups, blocks, weights, offset, family, link=None, laplace=None, zi=None)\n--\n\n"
    "A generalized linear mixed model with random-effects terms on one grouping\n"
    "factor. y is the proportion of successes (binomial, betabinomial) or the\n"
    "response; weights the prior weights (binomial, betabinomial: the trials);\n"
    "offset None or one value per row; link None for the family's default link;\n"
    "laplace \"fisher\" or \"observed\" (None: the family's default); zi True for a\n"
    "zero-inflated family (a hurdle model for a truncated one) whose probability of a\n"
    "structural zero is a constant estimated with the rest, or that probability's\n"
    "design (n x k), its logit linear in the columns.",
    QK_ENTRY(glmm_new), nullptr, nullptr);

}  // namespace qk::py
