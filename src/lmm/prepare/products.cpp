// Products as a value: their checks, and the prepared design built from them.
#include "lmm/prepare/products.hpp"

#include <algorithm>
#include <cmath>

namespace qk {

std::unique_ptr<LmmData> design_of(Products&& pr) {
  auto data = std::make_unique<LmmData>();
  data->n = pr.n;
  data->p = pr.p;
  data->q = pr.q;
  data->m = pr.m;
  data->xtx = std::move(pr.xtx);
  data->xty = std::move(pr.xty);
  data->yty = pr.yty;
  data->ztz = std::move(pr.ztz);
  data->ztx = std::move(pr.ztx);
  data->zty = std::move(pr.zty);
  data->shift = std::move(pr.shift);
  data->weighted = pr.weighted;
  data->log_weights = pr.log_weights;
  return data;
}

std::optional<std::string> check_products(const Products& pr) {
  const std::uint64_t n = pr.n, p = pr.p, q = pr.q, m = pr.m;
  if (p == 0) return std::string("the products have no fixed-effect column (p = 0)");
  if (q == 0) return std::string("the products have no random-effect column (q = 0)");
  if (m == 0) return std::string("the products have no group (m = 0)");
  if (n == 0) return std::string("the products are of no rows (n = 0)");
  std::uint64_t mq, mqq, mqp;
  if (__builtin_mul_overflow(m, q, &mq) || __builtin_mul_overflow(mq, q, &mqq) ||
      __builtin_mul_overflow(mq, p, &mqp))
    return std::string("model dimensions overflow the address space");
  auto size_error = [&](const char* name, std::uint64_t got, std::uint64_t want) -> std::optional<std::string> {
    if (got == want) return std::nullopt;
    return "products: " + std::string(name) + " holds " + std::to_string(got) + " values, " +
           std::to_string(want) + " expected for n = " + std::to_string(n) + ", p = " + std::to_string(p) +
           ", q = " + std::to_string(q) + ", m = " + std::to_string(m);
  };
  if (auto e = size_error("xtx", pr.xtx.size(), p * p)) return e;
  if (auto e = size_error("xty", pr.xty.size(), p)) return e;
  if (auto e = size_error("ztz", pr.ztz.size(), mqq)) return e;
  if (auto e = size_error("ztx", pr.ztx.size(), mqp)) return e;
  if (auto e = size_error("zty", pr.zty.size(), mq)) return e;
  if (auto e = size_error("counts", pr.counts.size(), m)) return e;
  if (auto e = size_error("shift_x", pr.shift.x.size(), p)) return e;
  std::uint64_t total = 0;
  for (std::uint64_t c : pr.counts)
    if (__builtin_add_overflow(total, c, &total)) return std::string("products: the row counts overflow");
  if (total != n)
    return "products: the group row counts add up to " + std::to_string(total) + ", not to n = " +
           std::to_string(n);
  auto all_finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  const char* nonfinite = " holds a value that is not finite";
  if (!std::isfinite(pr.yty)) return "products: yty" + std::string(nonfinite);
  if (!all_finite(pr.xtx)) return "products: xtx" + std::string(nonfinite);
  if (!all_finite(pr.xty)) return "products: xty" + std::string(nonfinite);
  if (!all_finite(pr.ztz)) return "products: ztz" + std::string(nonfinite);
  if (!all_finite(pr.ztx)) return "products: ztx" + std::string(nonfinite);
  if (!all_finite(pr.zty)) return "products: zty" + std::string(nonfinite);
  if (pr.yty < 0.0) return std::string("products: yty is negative");
  for (std::uint64_t j = 0; j < p; ++j) {
    if (pr.xtx[j * p + j] < 0.0) return "products: xtx has a negative diagonal (column " + std::to_string(j) + ")";
    for (std::uint64_t k = 0; k < j; ++k)
      if (pr.xtx[j * p + k] != pr.xtx[k * p + j]) return std::string("products: xtx is not symmetric");
  }
  for (std::uint64_t g = 0; g < m; ++g) {
    const double* b = &pr.ztz[g * q * q];
    const std::string group = " (group " + std::to_string(g) + ")";
    for (std::uint64_t a = 0; a < q; ++a) {
      if (b[a * q + a] < 0.0) return "products: ztz has a negative diagonal" + group;
      for (std::uint64_t c = 0; c < a; ++c)
        if (b[a * q + c] != b[c * q + a]) return "products: the ztz block is not symmetric" + group;
    }
    if (pr.counts[g] == 0) {
      auto zero = [](const double* v, std::uint64_t len) {
        return std::all_of(v, v + len, [](double x) { return x == 0.0; });
      };
      if (!zero(b, q * q) || !zero(&pr.ztx[g * q * p], q * p) || !zero(&pr.zty[g * q], q))
        return "products: a group without rows has non-zero blocks" + group;
    }
  }
  if (!std::isfinite(pr.log_weights)) return "products: log_weights" + std::string(nonfinite);
  if (!pr.weighted && pr.log_weights != 0.0)
    return std::string("products: unweighted products with a weights' constant that is not zero");
  const Shift& s = pr.shift;
  if (!std::isfinite(s.y) || !std::isfinite(s.value) || !all_finite(s.x))
    return "products: the shift" + std::string(nonfinite);
  if (s.column < -1 || s.column >= static_cast<std::int64_t>(p))
    return "products: the shift's constant column " + std::to_string(s.column) + " is not a column of x";
  if (s.active()) {
    if (s.value == 0.0) return std::string("products: the shift's constant column has the value zero");
    if (s.x[static_cast<std::uint64_t>(s.column)] != 0.0)
      return std::string("products: the shift centres its own constant column");
  } else if (s.y != 0.0 || s.value != 0.0 || s.shifts_x()) {
    return std::string("products: a shift without a constant column centres values");
  }
  return std::nullopt;
}

std::variant<std::unique_ptr<LmmData>, std::string> from_products(Products pr, Evaluator evaluator) {
  if (auto err = check_products(pr)) return *err;
  auto data = design_of(std::move(pr));
  data->rows_known = false;
  return finish_design(std::move(data), evaluator);
}

}  // namespace qk
