// The bidiagonal whitening of AR(1) and continuous AR(1) (residual.hpp's banded()).
#include <cmath>
#include <vector>

#include "lmm/structured/residual.hpp"
#include "lmm/structured/residual_detail.hpp"

namespace qk {

using detail::add_variance_gradient;
using detail::correlation;

bool whiten_banded(const ResidualStructure& s, const ResidualValues& v, std::uint64_t begin, std::uint64_t n,
                   const double* a, std::uint64_t k, double* b, double& logdet) {
  if (!v.finite) return false;
  const bool scaled = !v.sd.empty();
  double ld = 0.0;
  for (std::uint64_t j = 0; j < n; ++j) {
    const double inv = scaled ? 1.0 / v.sd[begin + j] : 1.0;
    if (scaled) ld = ld + std::log(v.sd[begin + j]);
    double* bj = b + j * k;
    const double* aj = a + j * k;
    if (j == 0) {
      for (std::uint64_t c = 0; c < k; ++c) bj[c] = aj[c] * inv;
      continue;
    }
    const double rho = correlation(s, v, begin + j, begin + j - 1, nullptr);
    const double s2 = 1.0 - rho * rho;
    if (!(s2 > 0.0) || !std::isfinite(s2)) return false;
    const double sj = std::sqrt(s2), inv_prev = scaled ? 1.0 / v.sd[begin + j - 1] : 1.0;
    ld = ld + std::log(sj);
    const double* ap = a + (j - 1) * k;
    for (std::uint64_t c = 0; c < k; ++c) bj[c] = (aj[c] * inv - rho * (ap[c] * inv_prev)) / sj;
  }
  logdet = ld + ld;
  return std::isfinite(logdet);
}

void banded_gradient(const ResidualStructure& s, const ResidualValues& v, std::uint64_t begin, std::uint64_t n,
                     const double* a, const double* b, const double* g, std::uint64_t k, double* grad) {
  const bool scaled = !v.sd.empty();
  const std::size_t nc = s.n_correlation_params();
  // w[j]: the derivative in log delta_j of log det R + <C, B'B>.
  std::vector<double> w(scaled ? n : 0, 0.0);
  for (std::uint64_t j = 0; j < n; ++j) {
    const double inv = scaled ? 1.0 / v.sd[begin + j] : 1.0;
    const double* aj = a + j * k;
    const double* gj = g + j * k;
    if (j == 0) {
      if (scaled) {
        double x = 0.0;  // d b_1 / d log delta_1 = -b_1
        for (std::uint64_t c = 0; c < k; ++c) x = x + gj[c] * b[c];
        w[0] = w[0] + 2.0 - 2.0 * x;
      }
      continue;
    }
    double d[2] = {0.0, 0.0};
    const double rho = correlation(s, v, begin + j, begin + j - 1, d);
    const double sj = std::sqrt(1.0 - rho * rho), inv_prev = scaled ? 1.0 / v.sd[begin + j - 1] : 1.0;
    const double* ap = a + (j - 1) * k;
    const double* bj = b + j * k;
    // d b_j / d rho_j = -a~_{j-1} / s_j + b_j rho_j / s_j^2; d log s_j / d rho_j = -rho_j / s_j^2.
    double dot_rho = 0.0, dot_self = 0.0, dot_prev = 0.0;
    for (std::uint64_t c = 0; c < k; ++c) {
      const double prev = ap[c] * inv_prev;
      dot_rho = dot_rho + gj[c] * (bj[c] * rho / (sj * sj) - prev / sj);
      dot_self = dot_self + gj[c] * (aj[c] * inv);
      dot_prev = dot_prev + gj[c] * prev;
    }
    const double per_rho = 2.0 * dot_rho - 2.0 * rho / (sj * sj);
    for (std::size_t p = 0; p < nc; ++p) grad[p] = grad[p] + per_rho * d[p];
    if (scaled) {
      // d b_j / d log delta_j = -a~_j / s_j; d b_j / d log delta_{j-1} = rho_j a~_{j-1} / s_j.
      w[j] = w[j] + 2.0 - 2.0 * dot_self / sj;
      w[j - 1] = w[j - 1] + 2.0 * rho * dot_prev / sj;
    }
  }
  if (!scaled) return;
  add_variance_gradient(s, begin, n, w.data(), grad + nc);
}

}  // namespace qk
