// The CrossedGlmmCore class: a binomial or Poisson mixed model whose random-effects
// terms sit on several grouping factors (Laplace's approximation). An instance owns
// its rows and the layout of its theta (lme4's, as CrossedCore's: term_order); its
// methods are the GLMM classes' shared ones (glmm_methods.cpp) over the model here.
// Numeric work runs without the interpreter lock.
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "binding/convert.hpp"
#include "binding/glmm.hpp"
#include "binding/crossed_internal.hpp"
#include "binding/glmm_internal.hpp"
#include "binding/pyutil.hpp"
#include "lmm/glmm/crossed_glmm.hpp"

namespace qk::py {
namespace {

namespace gl = qk::glmm;

class Crossed final : public GlmmModel {
 public:
  Crossed(gl::CrossedModel model, qk::TermLayout layout) : m_(std::move(model)), layout_(std::move(layout)) {}
  std::uint64_t n() const override { return m_.n; }
  std::uint64_t p() const override { return m_.p; }
  std::size_t n_theta() const override { return m_.theta_offset.back(); }
  const gl::Family& family() const override { return m_.family; }
  const qk::ThetaMap& map() const override { return layout_.map; }
  std::uint64_t q() const override {
    std::uint64_t q = 0;
    for (const gl::CrossedFactor& f : m_.factors) q += f.q;
    return q;
  }
  PyObject* m() const override {
    Ref list(PyList_New(0));
    for (const gl::CrossedFactor& f : m_.factors) {
      Ref levels(list ? PyLong_FromUnsignedLongLong(f.m) : nullptr);
      if (!levels || PyList_Append(list.get(), levels.get()) < 0) return nullptr;
    }
    return list.release();
  }
  std::string nagq_refused(int nagq, bool fit, bool) const override {
    if (fit ? nagq > 1 : nagq != 1)
      return fit ? "models with several grouping factors take nagq = 0 or 1 (Laplace) only"
                 : "models with several grouping factors take nagq = 1 (Laplace) only";
    return {};
  }
  bool evaluate(const std::vector<double>& entries, const double* beta, int, double& value,
                double* grad) const override {
    const gl::SparesScope spares{m_};
    return gl::crossed_evaluate(m_, entries, beta, value, nullptr, grad);
  }
  bool joint(const std::vector<double>& entries, const double* beta0, double& value, double* beta,
             double* grad) const override {
    const gl::SparesScope spares{m_};
    if (!grad) return gl::crossed_joint(m_, entries, beta0, value, beta, nullptr);
    std::vector<std::vector<double>> warm;
    return gl::crossed_joint_gradient(m_, entries, beta0, value, beta, grad, warm);
  }
  gl::FitResult fit(const gl::FitOptions& o) const override { return gl::crossed_fit(m_, o); }
  // u, b and cond_var as lists of one array per factor, the core's order of factors.
  bool put_modes(PyObject* d, std::vector<double> u, std::vector<double> b, std::vector<double> cv) const override;

 private:
  gl::CrossedModel m_;
  qk::TermLayout layout_;
};

bool Crossed::put_modes(PyObject* d, std::vector<double> u, std::vector<double> b, std::vector<double> cv) const {
  Ref ul(PyList_New(0)), bl(PyList_New(0)), cl(PyList_New(0));
  if (!ul || !bl || !cl) return false;
  std::size_t at = 0, atc = 0;
  auto part = [](const std::vector<double>& v, std::size_t from, std::size_t len) {
    return std::vector<double>(v.begin() + static_cast<std::ptrdiff_t>(from),
                               v.begin() + static_cast<std::ptrdiff_t>(from + len));
  };
  for (const gl::CrossedFactor& f : m_.factors) {
    const auto mq = static_cast<npy_intp>(f.m), q = static_cast<npy_intp>(f.q);
    const std::size_t len = f.m * f.q, lenc = f.m * f.q * f.q;
    Ref uj(new_array(part(u, at, len), {mq, q})), bj(new_array(part(b, at, len), {mq, q})),
        cj(new_array(part(cv, atc, lenc), {mq, q, q}));
    if (!uj || !bj || !cj || PyList_Append(ul.get(), uj.get()) < 0 || PyList_Append(bl.get(), bj.get()) < 0 ||
        PyList_Append(cl.get(), cj.get()) < 0)
      return false;
    at += len;
    atc += lenc;
  }
  return set_item(d, "u", ul.release()) && set_item(d, "b", bl.release()) && set_item(d, "cond_var", cl.release());
}

// theta's layout from term_order as CrossedCore takes it; an empty text when a Python
// error is set.
std::variant<qk::TermLayout, std::string> layout_of(PyObject* obj, const gl::CrossedModel& m) {
  std::vector<std::vector<std::uint64_t>> blocks;
  for (const gl::CrossedFactor& f : m.factors) blocks.push_back(f.blocks);
  std::vector<std::pair<std::size_t, std::size_t>> order;
  if (!term_order_of(obj, blocks, order)) return std::string();
  return qk::term_layout(blocks, order);
}

// One factor's tuple (codes, n_levels, z, blocks), copied.
bool factor_of(PyObject* item, std::size_t k, npy_intp n, gl::CrossedFactor& out) {
  const std::string name = "factors[" + std::to_string(k) + "]";
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 4)
    return arg_error(name.c_str(), "expected a tuple (codes, n_levels, z, blocks), got '" + type_name(item) + "'"),
           false;
  ArrayView codes, z;
  const std::string cn = name + ".codes", zn = name + ".z";
  if (!borrow_vector(PyTuple_GetItem(item, 0), cn.c_str(), NPY_INT64, codes) ||
      !borrow_matrix(PyTuple_GetItem(item, 2), zn.c_str(), z))
    return false;
  if (!to_u64(PyTuple_GetItem(item, 1), (name + ".n_levels").c_str(), out.m) ||
      !to_u64_vec(PyTuple_GetItem(item, 3), (name + ".blocks").c_str(), out.blocks))
    return false;
  if (codes.rows != n || z.rows != n) return value_error(name + ": codes and z must have one row per row of y"), false;
  if (out.m == 0) return value_error(name + ".n_levels must be at least 1"), false;
  out.q = static_cast<std::uint64_t>(z.cols);
  const auto* c = data_of<std::int64_t>(codes);
  const auto* zz = data_of<double>(z);
  out.codes.assign(c, c + n);
  out.z.assign(zz, zz + n * z.cols);
  return true;
}

PyObject* cg_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (!parse_tuple_args("CrossedGlmmCore", {"y", "x", "factors", "weights", "offset", "family", "link", "term_order", "laplace", "zi"},
                        6, args,
                        kwargs, a))
    return nullptr;
  ArrayView y, x, w, off;
  if (!borrow_vector(a[0], "y", NPY_DOUBLE, y) || !borrow_matrix(a[1], "x", x) ||
      !borrow_vector(a[3], "weights", NPY_DOUBLE, w))
    return nullptr;
  const bool has_offset = a[4] != Py_None;
  if (has_offset && !borrow_vector(a[4], "offset", NPY_DOUBLE, off)) return nullptr;
  // zi: None, a bool, or the zero-inflation's design (n x k float64 matrix).
  ArrayView zx;
  const bool zi_design = a[9] && a[9] != Py_None && !PyBool_Check(a[9]);
  if (zi_design && !borrow_matrix(a[9], "zi", zx)) return nullptr;
  auto parsed = family_of(a[5], a[6], a[8], zi_design ? Py_True : a[9]);
  if (auto* err = std::get_if<std::string>(&parsed)) return err->empty() ? nullptr : value_error(*err);
  const npy_intp n = y.rows;
  if (x.rows != n || w.rows != n || (has_offset && off.rows != n) || (zi_design && zx.rows != n))
    return value_error("y, x, weights, offset and zi must have one row per observation");
  const Py_ssize_t k = sequence_length(a[2], "factors", "factor tuples");
  if (k < 0) return nullptr;
  if (k == 0) return value_error("factors must hold at least one grouping factor");
  std::vector<gl::CrossedFactor> factors(static_cast<std::size_t>(k));
  for (Py_ssize_t j = 0; j < k; ++j) {
    Ref item(PySequence_GetItem(a[2], j));
    if (!item || !factor_of(item.get(), static_cast<std::size_t>(j), n, factors[static_cast<std::size_t>(j)]))
      return nullptr;
  }
  std::optional<gl::CrossedModel> model;
  std::string refused;
  if (!without_gil([&] {
        try {
          model.emplace(gl::make_crossed(
              static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(x.cols), data_of<double>(y), data_of<double>(x),
              data_of<double>(w), has_offset ? data_of<double>(off) : nullptr, std::get<gl::Family>(parsed),
              std::move(factors), zi_design ? data_of<double>(zx) : nullptr,
              zi_design ? static_cast<std::uint64_t>(zx.cols) : 1));
        } catch (const std::invalid_argument& e) {
          refused = e.what();
        }
      }))
    return nullptr;
  if (!model) return value_error(refused);
  auto layout = layout_of(a[7], *model);
  if (auto* err = std::get_if<std::string>(&layout)) return err->empty() ? nullptr : value_error(*err);
  Ref built_from(PyTuple_Pack(10, a[0], a[1], a[2], a[3], a[4], a[5], a[6] ? a[6] : Py_None, a[7] ? a[7] : Py_None,
                              a[8] ? a[8] : Py_None, a[9] ? a[9] : Py_None));
  if (!built_from) return nullptr;
  return glmm_wrap(type,
                   std::make_unique<Crossed>(std::move(*model), std::get<qk::TermLayout>(std::move(layout))),
                   built_from.get());
}

}  // namespace

const TypeDef crossed_glmm_type = type_def<GlmmObject>(
    "quorvelkit._quorvelkit.CrossedGlmmCore",
    "CrossedGlmmCore(y, x, factors, weights, offset, family, link=None, term_order=None, laplace=None, zi=None)\n--\n\n"
    "A generalized linear mixed model whose random-effects terms sit on several\n"
    "grouping factors, crossed or nested; `factors` as CrossedCore takes them\n"
    "(codes, n_levels, z, blocks), most levels first, and theta laid out as\n"
    "CrossedCore's `term_order` says; family, link, laplace and zi as GlmmCore's.",
    QK_ENTRY(cg_new), nullptr, nullptr);

}  // namespace qk::py
