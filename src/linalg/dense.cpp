#include "linalg/dense.hpp"

namespace qk {

std::vector<double> cholesky_inverse(const double* l, std::size_t n) {
  std::vector<double> out(n * n);
  cholesky_inverse(l, n, out.data());
  return out;
}

}  // namespace qk
