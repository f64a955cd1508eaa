// What the structured evaluator's files share: the structure's gradient by group, and
// the pattern path's evaluation (patterns.cpp) of designs without random effects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lmm/structured/residual.hpp"
#include "lmm/structured/structured.hpp"

namespace qk::detail {

// The structure's gradient of a chunk, per structure group (each laid out as residual.hpp
// lays one structure's parameters out), with the weights by visit of each.
struct GroupGradients {
  std::size_t single = 0, visits_size = 0;
  std::vector<double> deta, vis;
  GroupGradients() = default;
  GroupGradients(std::uint32_t groups, std::size_t one, std::size_t t)
      : single(one), visits_size(t * t), deta(groups * one, 0.0), vis(groups * t * t, 0.0) {}
  double* eta(std::uint32_t g) { return deta.data() + g * single; }
  double* visits(std::uint32_t g) { return vis.data() + g * visits_size; }
};

// The pattern path's subjects: their summed whitened products (into w[0 .. k*k)) and
// log-determinants; false when a pattern's R is not positive definite.
bool pattern_products_sum(const StructuredData& d, const std::vector<ResidualValues>& values, double* w,
                          double& logdet);

// The pattern path's gradient: per pattern, sum_s H_s = N R^-1 - R^-1 E R^-1 with
// E_ab = sum_s a_sa' C a_sb = tr(C Q[b][a]), handed to residual_gradient (linear in H).
void pattern_gradient(const StructuredData& d, const std::vector<ResidualValues>& values, const std::vector<double>& c,
                      GroupGradients& out);

// Crossed factors (crossed_columns.cpp; see StructuredData): the caller-error message
// for a layout that does not fit, or ""; a subject's rows gathered on the columns of
// the group's products it touches (`cols`, increasing: its levels' random effects, then
// X's and y's at Q, Q + 1, ...; `a` n x cols.size()); Lambda (Q x Q) from theta; and
// the gradient in theta from that in Lambda (each template entry's sum over the levels).
std::string crossed_error(const StructuredData& d);

// A subject's rows A (n x k: its rows of the design, or with crossed factors its rows
// on its own columns) whitened: B = L^-1 A and log det R_s, with L the Cholesky factor
// of R_s (n x n, kept in l) or, for a banded structure, its bidiagonal inverse applied
// row by row (l unused). False when R_s is not finite or not positive definite.
bool whiten(const StructuredData& d, const ResidualValues& v, std::uint64_t s, const double* a, std::uint64_t k,
            std::vector<double>& l, std::vector<double>& b, double& logdet);

// Adds a subject's tr(H_s dR_s/deta) for a structure that is not banded, H_s = L^-T
// (I - B C B') L^-1 from L and B (whiten) and BC (n x k); h and r are workspace.
void dense_structure_gradient(const StructuredData& d, const ResidualValues& v, std::uint64_t s,
                              const std::vector<double>& l, const std::vector<double>& b, const std::vector<double>& bc,
                              std::uint64_t k, std::vector<double>& h, std::vector<double>& r, double* grad,
                              double* visits);

// With crossed factors: the sum of every subject's whitened products on the group's
// (kg x kg, into w) and of log det R_s, added subject by subject in order (false where
// an R_s is not positive definite); and the structure's gradient, by chunk of
// subjects, from the group's C (kg x kg).
bool crossed_products_sum(const StructuredData& d, const std::vector<ResidualValues>& values, std::uint64_t kg,
                          double* w, double& logdet);
std::vector<GroupGradients> crossed_structure_gradient(const StructuredData& d,
                                                       const std::vector<ResidualValues>& values,
                                                       const std::vector<double>& c, std::uint64_t kg);
void subject_columns(const StructuredData& d, std::uint64_t s, std::vector<std::uint64_t>& cols,
                     std::vector<double>& a);
std::vector<double> crossed_lambda(const StructuredData& d, const std::vector<double>& theta);
void crossed_theta_gradient(const StructuredData& d, const std::vector<double>& dlambda, double* out);

// The caller-error message for a design of patterns alone whose counts and products do
// not fit its subjects (after the subjects' offsets are checked), or "".
std::string products_error(const StructuredData& d);

}  // namespace qk::detail
