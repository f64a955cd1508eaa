// The dense kernels that are not inline: the symmetric eigen-solver and the
// allocating form of the inverse.
#include "linalg/dense.hpp"

#include <algorithm>
#include <numeric>

namespace qk {

std::vector<double> cholesky_inverse(const double* l, std::size_t n) {
  std::vector<double> out(n * n);
  cholesky_inverse(l, n, out.data());
  return out;
}

void symmetric_eigen(const std::vector<double>& a, std::size_t n, std::vector<double>& values,
                     std::vector<double>& vectors) {
  std::vector<double> m(n * n), v(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    v[i * n + i] = 1.0;
    for (std::size_t j = 0; j <= i; ++j) m[i * n + j] = m[j * n + i] = a[i * n + j];
  }
  for (int sweep = 0; sweep < 64; ++sweep) {
    double off = 0.0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < i; ++j) off = off + m[i * n + j] * m[i * n + j];
    if (!(off > 0.0)) break;  // diagonal (or NaN: give up and report what is there)
    for (std::size_t p = 0; p + 1 < n; ++p)
      for (std::size_t q = p + 1; q < n; ++q) {
        const double apq = m[p * n + q];
        if (apq == 0.0) continue;
        // The rotation that zeroes m(p, q), with |t| <= 1 for stability.
        const double theta = (m[q * n + q] - m[p * n + p]) / (2.0 * apq);
        const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (std::size_t k = 0; k < n; ++k) {  // columns p and q
          const double mkp = m[k * n + p], mkq = m[k * n + q];
          m[k * n + p] = c * mkp - s * mkq;
          m[k * n + q] = s * mkp + c * mkq;
        }
        for (std::size_t k = 0; k < n; ++k) {  // rows p and q
          const double mpk = m[p * n + k], mqk = m[q * n + k];
          m[p * n + k] = c * mpk - s * mqk;
          m[q * n + k] = s * mpk + c * mqk;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double vkp = v[k * n + p], vkq = v[k * n + q];
          v[k * n + p] = c * vkp - s * vkq;
          v[k * n + q] = s * vkp + c * vkq;
        }
      }
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t i, std::size_t j) { return m[i * n + i] < m[j * n + j]; });
  values.resize(n);
  vectors.assign(n * n, 0.0);
  for (std::size_t k = 0; k < n; ++k) {
    values[k] = m[order[k] * n + order[k]];
    for (std::size_t i = 0; i < n; ++i) vectors[i * n + k] = v[i * n + order[k]];
  }
}

}  // namespace qk
