// Evaluation of the profiled criterion at a theta, its gradient, the full solution
// and the scalar second derivative.
//
// The criterion is the profiled deviance of Bates, Maechler, Bolker and Walker,
// "Fitting Linear Mixed-Effects Models Using lme4", J. Stat. Softw. 67(1), 2015,
// section 3: with Lambda the relative covariance factor, REML or ML deviance
//   ldl2 + [REML] log det(RX'RX) + nu (1 + log(2 pi pwrss / nu)) [- sum log w],
// the last term with prior weights w, whose products are then the weighted ones.
// Infeasibility (a factorisation that fails, a pwrss that is not positive and
// finite) is an absent result, never an error.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lmm/prepare/data.hpp"

namespace qk {

enum Mode : std::uint8_t { kModeDeviance = 0, kModeGradient = 1, kModeSolution = 2 };

struct Evaluation {
  std::vector<double> gradient;       // n_theta (empty in mode 0)
  // The gradient's two parts (empty in mode 0): of the log-determinant terms, ldl2
  // plus (REML) log det of the fixed-effects system, and of pwrss. The profiled
  // criterion's gradient is grad_logdet + nu / pwrss * grad_pwrss; the criterion at a
  // given sigma, logdet + pwrss / sigma^2 + nu log(2 pi sigma^2), has the gradient
  // grad_logdet + grad_pwrss / sigma^2 in theta.
  std::vector<double> grad_logdet;
  std::vector<double> grad_pwrss;
  std::vector<double> beta;           // p
  std::vector<double> u;              // m*q, group-major (mode 2 only)
  std::vector<double> fixed_inverse;  // p*p inverse of the fixed-effects system (mode 2 only)
  double deviance = 0.0;
  double sigma2 = 0.0;
  double pwrss = 0.0;
  double ldl2 = 0.0;
  double ldrx2 = 0.0;                 // 0.0 under ML
};

struct Profile {
  std::vector<double> beta;
  std::vector<double> rx;  // lower Cholesky factor of the fixed-effects system
  double ldrx2;            // log det of the system (also under ML)
  double pwrss;
  double nu;
  double deviance;
};

// 1 + ln(2 pi).
inline constexpr double kLog2PiPlus1 = 2.8378770664093453;

// Factors the fixed-effects system M (p x p, consumed), solves for beta from the
// right-hand side r (consumed) and forms the deviance; s is the response sum of
// squares left after removing the random effects.
std::optional<Profile> profile(const LmmData& data, std::vector<double> m, std::vector<double> r,
                               bool reml, double s, double ldl2);

// The scalar fields of an evaluation from its profiling step: deviance, pwrss,
// sigma2 = pwrss / nu, ldl2, and ldrx2 under REML (0.0 under ML).
Evaluation evaluation_from(const Profile& prof, double ldl2, bool reml);

// Dispatches on the stored evaluator, and maps beta and fixed_inverse of a shifted
// design back to the rows as given. Every theta is infeasible for data the fixed
// effects fit exactly.
std::optional<Evaluation> evaluate(const LmmData& data, const std::vector<double>& theta, bool reml,
                                   Mode mode);

std::optional<Evaluation> evaluate_blocks(const LmmData& data, const std::vector<double>& theta,
                                          bool reml, Mode mode);

// The augmented formulation over classes (classes == true) or groups.
std::optional<Evaluation> evaluate_augmented(const LmmData& data, const std::vector<double>& theta,
                                             bool reml, Mode mode, bool classes);

// beta and fixed_inverse of the shifted rows mapped back to the rows as given
// (see Shift).
void unshift(const Shift& shift, Evaluation& ev);

struct ScalarHessian {
  double deviance;
  double first;
  double second;
};

// For q = 1: the deviance and its first and second derivatives in theta.
std::optional<ScalarHessian> scalar_hessian(const LmmData& data, bool reml, double theta);

}  // namespace qk
