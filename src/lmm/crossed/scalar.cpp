// The log-determinants' gradient of scalar-term models by traces of the inverse.
//
// With every term scalar, Lambda = diag(theta_j I) and the system is
// M = Lambda'A Lambda + J (J the identity on Z's rows, zero on X's). For theta_j != 0,
// dM/dtheta_j = (E_j (M - J) + (M - J) E_j) / theta_j with E_j the projection on factor
// j's rows, so
//   d log|M| / d theta_j = 2 (m_j - sum_{i in j} (M^-1)_ii) / theta_j,
// and only the diagonal of M^-1 is needed. For the dense factors it is the diagonal of
// the dense system's inverse S^-1. For the first factor (block diagonal, entries d_l
// of M, columns b_l into the dense rows) block elimination gives
//   sum_l (M^-1)_ll = sum_l 1/d_l + tr(S^-1 G),  G = sum_l b_l b_l' / d_l^2,
// and b_l / d_l is the factor's column over its diagonal (L_ll = sqrt(d_l)). G is
// formed one dense row at a time, as the factorisation's own updates are, and dotted
// with the same row of S^-1 at once: no gathers through S^-1, no selected inversion.
//
// The difference m_j - sum (M^-1)_ii loses digits as theta_j theta_j (Z'Z)_ii goes to
// zero; below kLeast the general path is used.
#include <algorithm>
#include <cmath>

#include "linalg/lapack.hpp"
#include "lmm/crossed/factor.hpp"

namespace qk::crossed {

namespace {
constexpr double kLeast = 0.05;
}  // namespace

std::optional<std::vector<double>> scalar_logdet_gradient(const Design& d, const Factor& f, bool with_x,
                                                          Scratch* scratch, const std::function<void()>& side) {
  const Layout& lay = d.layout;
  const std::size_t k = d.pr.m.size();
  bool applies = lay.diagonal == 1;
  for (std::size_t j = 0; j < k; ++j) applies = applies && d.pr.q[j] == 1 && std::fabs(f.lambda[j][0]) >= kLeast;
  if (!applies) {
    side();
    return std::nullopt;
  }
  const std::size_t nd = f.dz + (with_x ? d.pr.p : 0);
  // w = b_l / d_l = column / L_ll, at every position of the first factor's columns.
  const std::vector<std::uint64_t>& rows = lay.rows[0];
  const double* cv = f.col[0].data();
  std::vector<double> w(rows.size());
  double trace0 = 0.0;
  for (std::uint64_t l = 0; l < d.pr.m[0]; ++l) {
    const double lll = f.diag[0][l];
    trace0 = trace0 + 1.0 / (lll * lll);
    for (std::uint64_t s = lay.col_ptr[0][l]; s < lay.col_ptr[0][l + 1]; ++s) w[s] = cv[s] / lll;
  }
  // The lower triangle of S^-1 (all that is read below); each range of its rows, once
  // final, gives its part of tr(S^-1 G) (kept by the range's first row, summed in row
  // order below) while the inverse's other rows are still being computed.
  BigVector own;
  BigVector& sinv = scratch ? scratch->inverse : own;
  resize_block(sinv, nd, nd, "the inverse of the crossed design's dense block");
  const std::uint32_t* at = lay.dense_at[0].data();
  std::vector<double> parts(nd, 0.0);
  const lapack::RowTask trace_rows = [&](std::size_t rb, std::size_t re) {
    std::vector<double> g(nd);
    double acc = 0.0;
    for (std::uint64_t a = rb; a < re; ++a) {
      std::fill(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(a + 1), 0.0);
      for (std::uint64_t s = lay.tr_ptr[a]; s < lay.tr_ptr[a + 1]; ++s) {
        const std::uint64_t pa = lay.tr_pos[s];
        if (s + 1 < lay.tr_ptr[a + 1]) {  // the next column's entries, as in factorize()
          __builtin_prefetch(at + lay.tr_first[s + 1]);
          __builtin_prefetch(w.data() + lay.tr_first[s + 1]);
        }
        const double wa = w[pa];
        const std::uint64_t first = lay.tr_first[s];
        if (at[pa] - at[first] == pa - first) {  // consecutive dense rows, as in factorize()
          double* gb = g.data() + at[first];
          const double* wb = w.data() + first;
          for (std::uint64_t i = 0; i <= pa - first; ++i) gb[i] = gb[i] + wa * wb[i];
        } else {
          for (std::uint64_t pb = first; pb <= pa; ++pb) g[at[pb]] = g[at[pb]] + wa * w[pb];
        }
      }
      const double* sa = &sinv[a * nd];
      double off = 0.0;
      for (std::uint64_t b = 0; b < a; ++b) off = off + g[b] * sa[b];
      acc = acc + (g[a] * sa[a] + (off + off));
    }
    parts[rb] = acc;
  };
  if (!lapack::cholesky_inverse_from(f.dense.data(), f.nt, sinv.data(), nd, nd, trace_rows, &side)) return std::nullopt;
  for (double v : parts) trace0 = trace0 + v;
  std::vector<double> grad(k);
  grad[0] = 2.0 * (static_cast<double>(d.pr.m[0]) - trace0) / f.lambda[0][0];
  for (std::size_t j = 1; j < k; ++j) {
    double trace = 0.0;
    for (std::uint64_t i = lay.offset[j] - lay.offset[1]; i < lay.offset[j + 1] - lay.offset[1]; ++i)
      trace = trace + sinv[i * nd + i];
    grad[j] = 2.0 * (static_cast<double>(d.pr.m[j]) - trace) / f.lambda[j][0];
  }
  return grad;
}

}  // namespace qk::crossed
