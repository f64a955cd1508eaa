// What the GLMM tests share: a family by name, a response drawn from a family at its
// mean, simulated rows read back in batches, and the comparison of two fits' vectors.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lmm/glmm/batch.hpp"
#include "lmm/glmm/glmm.hpp"
#include "support.hpp"

namespace qkt {

inline qk::glmm::Family glmm_family(const char* f, const char* link) {
  return std::get<qk::glmm::Family>(qk::glmm::parse_family(f, link));
}

// A response of the family at mean mu and its prior weight: a Gamma draw of shape
// `shape`, a Poisson count for another family that is not binomial, else a binomial
// proportion of `trials` trials (its weight the trials).
inline std::pair<double, double> draw_response(const qk::glmm::Family& fam, double mu, std::mt19937_64& rng,
                                               std::uniform_int_distribution<std::uint64_t>& trials, double shape) {
  const std::string name = fam.def->name;
  if (name == "Gamma") return {std::gamma_distribution<double>(shape, mu / shape)(rng), 1.0};
  if (name != "binomial") return {static_cast<double>(std::poisson_distribution<int>(mu)(rng)), 1.0};
  const double w = static_cast<double>(trials(rng));
  return {static_cast<double>(std::binomial_distribution<int>(static_cast<int>(w), mu)(rng)) / w, w};
}

// Simulated rows (y, x, z, codes, w, and an offset where the rows have one) read in
// consecutive batches of `size` rows; `reads` counts the passes, and the pass numbered
// fail_at (from 1) throws.
template <class Sim>
class RowBatches final : public qk::glmm::BatchReader {
 public:
  RowBatches(const Sim& s, std::uint64_t size) : s_(s), size_(size) {}
  std::uint64_t reads = 0, fail_at = 0;
  void each(const std::function<void(const qk::glmm::Batch&)>& visit) override {
    if (++reads == fail_at) throw std::runtime_error("the source went away");
    for (std::uint64_t at = 0; at < s_.n; at += size_) {
      qk::glmm::Batch b;
      b.n = std::min(size_, s_.n - at);
      b.y = s_.y.data() + at;
      b.x = s_.x.data() + at * s_.p;
      b.z = s_.z.data() + at * s_.q;
      b.codes = s_.codes.data() + at;
      b.w = s_.w.data() + at;
      if constexpr (requires { s_.offset; }) b.offset = s_.offset.data() + at;
      visit(b);
    }
  }

 private:
  const Sim& s_;
  std::uint64_t size_;
};

// a near b entry by entry, to tol relative to max(1, |b|).
inline void expect_close(const std::vector<double>& a, const std::vector<double>& b, double tol,
                         const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t i = 0; i < a.size(); ++i)
    EXPECT_NEAR(a[i], b[i], tol * std::max(1.0, std::fabs(b[i]))) << what << "[" << i << "]";
}

}  // namespace qkt
