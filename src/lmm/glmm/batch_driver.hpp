// The pass driver of the GLMM fit from batches (batch.hpp), shared by the files that
// build its criteria: Laplace's (batch_fit.cpp), the joint PIRLS and nAGQ = 0's exact
// gradient (batch_joint.cpp), the adaptive quadrature of a scalar random effect
// (batch_agq.cpp). Internal to the GLMM core.
#pragma once

#include <cstdint>
#include <vector>

#include "lmm/glmm/batch.hpp"
#include "lmm/glmm/group.hpp"

namespace qk::glmm::detail {

class Driver {
 public:
  Driver(PassRunner& runner, const BatchModel& model) : runner_(runner), model_(model) {}

  std::uint64_t passes = 0;

  void pass(const PassInput& in) {
    joint_kept_ = false;
    sums_.clear(model_, in);
    if (in.kind == PassKind::kModes || in.kind == PassKind::kJoint)
      for (std::uint64_t i = 0; i < model_.m * model_.q; ++i) sums_.d1[i] = -in.u[i];  // h_g/2's gradient A'd1 - u
    runner_.run(in, sums_);
    ++passes;
  }

  // The first pass: every row checked, every group met, the loglik constant.
  void check();
  std::uint64_t n() const { return n_; }
  // What check() learnt, taken from another driver of the same rows.
  void same_rows_as(const Driver& d) {
    constant_ = d.constant_;
    n_ = d.n_;
  }

  bool evaluate(const std::vector<double>& lambda, const double* beta, double& value, double* grad,
                std::vector<double>* warm, std::vector<double>* u_out = nullptr, std::vector<double>* l_out = nullptr);
  // Each group's PIRLS at (lambda, beta) into u_, lf_ (the factors of M), value_ and
  // grad_ (the exact gradient over (theta, beta), from the groups' passes at their
  // modes); from warm's modes when given (and into them).
  bool modes_at(const std::vector<double>& lambda, const double* beta, std::vector<double>* warm);
  bool rx_inverse(const std::vector<double>& lambda, const double* beta, const std::vector<double>& u, double* out);
  // nAGQ = 0 at lambda from beta0 (and from warm's modes where they are no worse than
  // zero, as evaluate_joint takes them): beta, rx_inv when given, and the Laplace
  // value at the joint PIRLS's beta (its modes then in modes()); warm receives the
  // modes there.
  bool joint(const std::vector<double>& lambda, const double* beta0, double& value, double* beta, double* rx_inv,
             std::vector<double>* warm = nullptr);
  // nAGQ = 0's criterion and its exact gradient over (theta, the family's parameters
  // beside beta), as joint_gradient takes them in memory.
  bool joint_gradient(const std::vector<double>& lambda, const double* beta0, double& value, double* beta,
                      double* grad, std::vector<double>& warm);
  // The adaptive Gauss-Hermite value of nagq points of a scalar random effect, centred
  // at the Laplace modes found from warm.
  bool agq_value(const std::vector<double>& lambda, const double* beta, int nagq, double& value,
                 std::vector<double>* warm);
  // The modes of the last evaluation (modes_at's u).
  const std::vector<double>& modes() const { return u_; }

 private:
  JointSums joint_pass(const std::vector<double>& lambda, const double* beta, const std::vector<double>& u,
                       JointStore* store, bool observed = false);
  bool joint_modes(const std::vector<double>& lambda, const double* beta0, double* beta, const std::vector<double>* warm,
                   std::vector<double>& u);

  PassRunner& runner_;
  const BatchModel& model_;
  PassSums sums_;
  // The last modes found from warm starts and their point: a gradient asked at that
  // point (the minimiser's line search takes the value, then the gradient there) starts
  // from them without a pass.
  std::vector<double> u_, lf_, grad_, at_lambda_, at_beta_;
  double value_ = 0.0;
  bool reusable_ = false;
  // sums_ holds a kJoint pass's sums, not yet used, at (jl_, jb_, ju_): the joint
  // PIRLS's next step at a trial point it takes needs no pass of its own.
  bool joint_kept_ = false;
  std::vector<double> jl_, jb_, ju_;
  double constant_ = 0.0;
  std::uint64_t n_ = 0;
};

// The criterion at several points of x = (theta, beta) at once: with gs, Laplace's and
// its exact gradient (evaluate's), else nagq's value (agq_value's for nagq > 1). Each
// point's PIRLS starts from the modes in warm, which receives the first point's. Every
// point runs as a driver of its own, and the passes they ask for are made together by
// the runner (PassRunner::run_together: one read of the batches here, one job of a
// cluster): a point's sums, and so its results, are those of its own run alone. At most
// `together` points share the passes. `like` is a driver that has made the first pass;
// passes receives the passes made.
bool evaluate_together(PassRunner& runner, const Driver& like, const BatchModel& model, int nagq,
                       const std::vector<std::vector<double>>& xs, std::vector<double>& warm, std::size_t together,
                       std::vector<double>& fs, std::vector<std::vector<double>>* gs, std::uint64_t& passes);

}  // namespace qk::glmm::detail
