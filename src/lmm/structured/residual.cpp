#include "lmm/structured/residual.hpp"
#include "lmm/structured/residual_detail.hpp"

#include <algorithm>
#include <cmath>

namespace qk {

namespace {

double logistic(double x) { return 1.0 / (1.0 + std::exp(-x)); }

bool spatial(Correlation c) { return c == Correlation::kExponential || c == Correlation::kGaussian; }

// Euclidean distance between rows a and b.
double distance(const ResidualStructure& s, std::uint64_t a, std::uint64_t b) {
  double sum = 0.0;
  for (std::uint32_t d = 0; d < s.dims; ++d) {
    double x = s.coords[a * s.dims + d] - s.coords[b * s.dims + d];
    sum = sum + x * x;
  }
  return std::sqrt(sum);
}

// Row i of the unstructured factor L: the unit vector of (eta_i0, ..., eta_i,i-1, 1),
// whose entries start at eta[i(i-1)/2].
void unstructured_row(const double* eta, std::uint32_t i, double* row, double& norm) {
  const double* e = eta + static_cast<std::size_t>(i) * (i - 1) / 2;
  double ss = 1.0;
  for (std::uint32_t j = 0; j < i; ++j) ss = ss + e[j] * e[j];
  norm = std::sqrt(ss);
  for (std::uint32_t j = 0; j < i; ++j) row[j] = e[j] / norm;
  row[i] = 1.0 / norm;
}

// log delta of row r, summed over the variance functions; eta at the first function's.
double log_delta(const ResidualStructure& s, const double* eta, std::uint64_t r) {
  double ld = 0.0;
  for (const VarianceFunction& f : s.variances) {
    double v = f.values[r];
    switch (f.kind) {
      case VarianceKind::kIdent: {
        auto stratum = static_cast<std::uint32_t>(v);
        if (stratum > 0) ld = ld + eta[stratum - 1];
        break;
      }
      case VarianceKind::kPower:
        ld = ld + eta[0] * std::log(std::fabs(v));
        break;
      case VarianceKind::kExp:
        ld = ld + eta[0] * v;
        break;
    }
    eta += f.n_params();
  }
  return ld;
}

// The Toeplitz autocorrelations r_0 = 1, r_1, ..., r_{T-1} from the partial ones
// phi_m = tanh(eta_m) by the Durbin-Levinson recursion (Brockwell & Davis, Time Series:
// Theory and Methods, 2nd ed., sec. 5.2), with their derivatives carried forward:
// r_m = sum_j a_{m-1,j} r_{m-j} + phi_m v_{m-1}, a_{m,j} = a_{m-1,j} - phi_m a_{m-1,m-j},
// a_{m,m} = phi_m, v_m = v_{m-1} (1 - phi_m^2).
void toeplitz_values(std::uint32_t t, const double* eta, ResidualValues& v) {
  const std::size_t np = t - 1;
  std::vector<double> r(t, 0.0), a(t, 0.0), a_new(t, 0.0), dv(np, 0.0);
  std::vector<double> da(static_cast<std::size_t>(t) * np, 0.0), da_new(da.size(), 0.0);
  v.dr.assign(static_cast<std::size_t>(t) * np, 0.0);
  r[0] = 1.0;
  double var = 1.0;
  for (std::uint32_t m = 1; m < t; ++m) {
    const double phi = std::tanh(eta[m - 1]), dphi = 1.0 - phi * phi;
    double x = phi * var;
    for (std::uint32_t j = 1; j < m; ++j) x = x + a[j] * r[m - j];
    r[m] = x;
    for (std::size_t p = 0; p < np; ++p) {
      double d = phi * dv[p] + (p == m - 1 ? dphi * var : 0.0);
      for (std::uint32_t j = 1; j < m; ++j) d = d + (da[j * np + p] * r[m - j] + a[j] * v.dr[(m - j) * np + p]);
      v.dr[m * np + p] = d;
    }
    for (std::uint32_t j = 1; j < m; ++j) {
      a_new[j] = a[j] - phi * a[m - j];
      for (std::size_t p = 0; p < np; ++p)
        da_new[j * np + p] = da[j * np + p] - phi * da[(m - j) * np + p] - (p == m - 1 ? dphi * a[m - j] : 0.0);
    }
    a_new[m] = phi;
    for (std::size_t p = 0; p < np; ++p) da_new[m * np + p] = p == m - 1 ? dphi : 0.0;
    for (std::size_t p = 0; p < np; ++p) dv[p] = dv[p] * dphi + (p == m - 1 ? -2.0 * phi * dphi * var : 0.0);
    var = var * dphi;
    a.swap(a_new);
    da.swap(da_new);
  }
  v.c.assign(static_cast<std::size_t>(t) * t, 0.0);
  for (std::uint32_t i = 0; i < t; ++i)
    for (std::uint32_t j = 0; j < t; ++j) v.c[i * t + j] = r[i > j ? i - j : j - i];
}

}  // namespace

namespace detail {

double correlation(const ResidualStructure& s, const ResidualValues& v, std::uint64_t a, std::uint64_t b,
                   double* d) {
  const double* eta = v.eta;
  switch (s.correlation) {
    case Correlation::kIndependent:
      return 0.0;
    case Correlation::kUnstructured:
    case Correlation::kToeplitz:
    case Correlation::kAnteDependence: {
      auto va = static_cast<std::size_t>(s.times[a]), vb = static_cast<std::size_t>(s.times[b]);
      return v.c[va * s.n_visits + vb];
    }
    case Correlation::kAR1: {
      double rho = std::tanh(eta[0]), lag = std::fabs(s.times[a] - s.times[b]);
      if (!v.powers.empty()) {
        auto k = static_cast<std::size_t>(lag);
        if (d) d[0] = lag * v.powers[k - 1] * (1.0 - rho * rho);
        return v.powers[k];
      }
      if (d) d[0] = lag * std::pow(rho, lag - 1.0) * (1.0 - rho * rho);
      return std::pow(rho, lag);
    }
    case Correlation::kCAR1: {
      double phi = logistic(eta[0]), lag = std::fabs(s.times[a] - s.times[b]);
      double c = std::pow(phi, lag);
      if (d) d[0] = lag * c * (1.0 - phi);
      return c;
    }
    case Correlation::kCompound: {
      double rho = std::tanh(eta[0]);
      if (d) d[0] = 1.0 - rho * rho;
      return rho;
    }
    case Correlation::kExponential:
    case Correlation::kGaussian: {
      double range = std::exp(eta[0]), x = distance(s, a, b) / range;
      double shape = s.correlation == Correlation::kExponential ? x : x * x;
      double e = std::exp(-shape), keep = 1.0;
      if (s.nugget) {
        double nug = logistic(eta[1]);
        keep = 1.0 - nug;
        if (d) d[1] = -e * nug * (1.0 - nug);
      }
      // d shape / d eta_0 = -shape (exponential) or -2 shape (Gaussian).
      if (d) d[0] = keep * e * (s.correlation == Correlation::kExponential ? shape : 2.0 * shape);
      return keep * e;
    }
  }
  return 0.0;
}

void add_variance_gradient(const ResidualStructure& s, std::uint64_t begin, std::uint64_t n, const double* w,
                           double* grad) {
  for (const VarianceFunction& f : s.variances) {
    for (std::uint64_t j = 0; j < n; ++j) {
      const double x = f.values[begin + j];
      switch (f.kind) {
        case VarianceKind::kIdent: {
          auto stratum = static_cast<std::uint32_t>(x);
          if (stratum > 0) grad[stratum - 1] = grad[stratum - 1] + w[j];
          break;
        }
        case VarianceKind::kPower:
          grad[0] = grad[0] + w[j] * std::log(std::fabs(x));
          break;
        case VarianceKind::kExp:
          grad[0] = grad[0] + w[j] * x;
          break;
      }
    }
    grad += f.n_params();
  }
}

}  // namespace detail

using detail::add_variance_gradient;
using detail::correlation;

std::size_t ResidualStructure::n_correlation_params() const {
  switch (correlation) {
    case Correlation::kIndependent:
      return 0;
    case Correlation::kUnstructured:
      return static_cast<std::size_t>(n_visits) * (n_visits - 1) / 2;
    case Correlation::kToeplitz:
    case Correlation::kAnteDependence:
      return n_visits - 1;
    case Correlation::kExponential:
    case Correlation::kGaussian:
      return nugget ? 2 : 1;
    default:
      return 1;
  }
}

std::size_t ResidualStructure::n_params() const {
  std::size_t n = n_correlation_params();
  for (const VarianceFunction& f : variances) n += f.n_params();
  return n;
}

std::string structure_error(const ResidualStructure& s, std::uint64_t n) {
  bool timed = s.correlation == Correlation::kAR1 || s.correlation == Correlation::kCAR1 || by_visit(s.correlation);
  if (timed && s.times.size() != n) return "the residual structure needs one time per row";
  for (double t : s.times) {
    if (!std::isfinite(t)) return "a time of the residual structure is not finite";
    if (s.correlation == Correlation::kAR1 && t != std::floor(t)) return "an AR(1) correlation needs whole-number times";
  }
  if (by_visit(s.correlation)) {
    if (s.n_visits < 2) return "a correlation by visit needs at least two visits";
    for (double t : s.times)
      if (t < 0.0 || t >= s.n_visits || t != std::floor(t)) return "a visit code is out of range";
  }
  if (spatial(s.correlation) && (s.dims == 0 || s.coords.size() != n * s.dims))
    return "the spatial correlation needs dims coordinates per row";
  for (double c : s.coords)
    if (!std::isfinite(c)) return "a coordinate of the residual structure is not finite";
  for (const VarianceFunction& f : s.variances) {
    if (f.values.size() != n) return "a variance function needs one value per row";
    if (f.kind == VarianceKind::kIdent && f.n_strata < 2) return "a variance by strata needs two strata at least";
    for (double v : f.values) {
      if (!std::isfinite(v)) return "a covariate of a variance function is not finite";
      if (f.kind == VarianceKind::kIdent && (v < 0.0 || v >= f.n_strata || v != std::floor(v)))
        return "a stratum of a variance function is out of range";
      if (f.kind == VarianceKind::kPower && v == 0.0) return "a power variance function needs a covariate that is not zero";
    }
  }
  return "";
}

ResidualValues residual_values(const ResidualStructure& s, const double* eta) {
  ResidualValues v;
  v.eta = eta;
  const std::size_t n = s.variances.empty() ? 0 : s.variances.front().values.size();
  const double* veta = eta + s.n_correlation_params();
  v.sd.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    v.sd[r] = std::exp(log_delta(s, veta, r));
    v.finite = v.finite && std::isfinite(v.sd[r]) && v.sd[r] > 0.0;
  }
  if (s.correlation == Correlation::kAR1 && !s.times.empty()) {
    // Whole-number lags below the span of the times: a table of rho^k, each power one
    // rounded product from the last (a span too long for a table uses pow).
    auto [lo, hi] = std::minmax_element(s.times.begin(), s.times.end());
    const double span = *hi - *lo;
    if (span < 65536.0) {
      const double rho = std::tanh(eta[0]);
      v.powers.resize(static_cast<std::size_t>(span) + 1);
      v.powers[0] = 1.0;
      for (std::size_t k = 1; k < v.powers.size(); ++k) v.powers[k] = v.powers[k - 1] * rho;
    }
  }
  if (s.correlation == Correlation::kToeplitz) toeplitz_values(s.n_visits, eta, v);
  if (s.correlation == Correlation::kAnteDependence) {
    const std::uint32_t t = s.n_visits;
    v.c.assign(static_cast<std::size_t>(t) * t, 1.0);
    for (std::uint32_t i = 0; i < t; ++i)
      for (std::uint32_t j = i + 1; j < t; ++j) {
        const double x = v.c[i * t + j - 1] * std::tanh(eta[j - 1]);
        v.c[i * t + j] = x;
        v.c[j * t + i] = x;
      }
  }
  if (s.correlation == Correlation::kUnstructured) {
    const std::uint32_t t = s.n_visits;
    v.l.assign(static_cast<std::size_t>(t) * t, 0.0);
    v.norms.resize(t);
    for (std::uint32_t i = 0; i < t; ++i) unstructured_row(eta, i, &v.l[static_cast<std::size_t>(i) * t], v.norms[i]);
    v.c.assign(static_cast<std::size_t>(t) * t, 0.0);
    for (std::uint32_t i = 0; i < t; ++i)
      for (std::uint32_t j = 0; j <= i; ++j) {
        double x = 0.0;
        for (std::uint32_t m = 0; m <= j; ++m) x = x + v.l[i * t + m] * v.l[j * t + m];
        v.c[i * t + j] = x;
        v.c[j * t + i] = x;
      }
  }
  return v;
}

bool residual_matrix(const ResidualStructure& s, const ResidualValues& v, std::uint64_t begin, std::uint64_t n,
                     double* r) {
  if (!v.finite) return false;
  const bool scaled = !v.sd.empty();
  for (std::uint64_t a = 0; a < n; ++a) {
    const double sa = scaled ? v.sd[begin + a] : 1.0;
    r[a * n + a] = sa * sa;
    for (std::uint64_t b = 0; b < a; ++b) {
      const double c = correlation(s, v, begin + a, begin + b, nullptr);
      const double x = scaled ? sa * c * v.sd[begin + b] : c;
      r[a * n + b] = x;
      r[b * n + a] = x;
    }
  }
  for (std::uint64_t i = 0; i < n * n; ++i)
    if (!std::isfinite(r[i])) return false;
  return true;
}

void residual_gradient(const ResidualStructure& s, const ResidualValues& v, std::uint64_t begin, std::uint64_t n,
                       const double* h, const double* r, double* grad, double* visits) {
  std::size_t nc = s.n_correlation_params();
  // Correlation: tr(H dR) = sum_ab (D H D)_ab dC_ab, taken over a > b twice (H and dC
  // are symmetric; dC has a zero diagonal).
  if (s.correlation != Correlation::kIndependent) {
    const bool scaled = !v.sd.empty();
    double d[2] = {0.0, 0.0};
    for (std::uint64_t a = 0; a < n; ++a)
      for (std::uint64_t b = 0; b < a; ++b) {
        double k = scaled ? 2.0 * (v.sd[begin + a] * h[a * n + b] * v.sd[begin + b]) : 2.0 * h[a * n + b];
        if (by_visit(s.correlation)) {
          auto va = static_cast<std::uint32_t>(s.times[begin + a]), vb = static_cast<std::uint32_t>(s.times[begin + b]);
          visits[va * s.n_visits + vb] = visits[va * s.n_visits + vb] + k;
          continue;
        }
        correlation(s, v, begin + a, begin + b, d);
        for (std::size_t j = 0; j < nc; ++j) grad[j] = grad[j] + k * d[j];
      }
  }
  if (s.variances.empty()) return;
  // Variance: d R_ab / d log delta_a = R_ab (b != a) and 2 R_aa, so
  // tr(H dR) = sum_a 2 (sum_b H_ab R_ab) d log delta_a.
  std::vector<double> w(n);
  for (std::uint64_t a = 0; a < n; ++a) {
    double x = 0.0;
    for (std::uint64_t b = 0; b < n; ++b) x = x + h[a * n + b] * r[a * n + b];
    w[a] = 2.0 * x;
  }
  add_variance_gradient(s, begin, n, w.data(), grad + nc);
}

void unstructured_gradient(const ResidualStructure& s, const ResidualValues& v, const double* visits, double* grad);

void visit_gradient(const ResidualStructure& s, const ResidualValues& v, const double* visits, double* grad) {
  // visits holds, at (v_a, v_b), 2 (D H D)_ab for pairs of rows a > b: the
  // contribution is sum_{i != j} visits_ij dC_ij / deta, dC being symmetric.
  const std::uint32_t t = s.n_visits;
  if (s.correlation == Correlation::kToeplitz) {
    for (std::uint32_t i = 0; i < t; ++i)
      for (std::uint32_t j = 0; j < t; ++j) {
        if (i == j) continue;
        const std::size_t lag = i > j ? i - j : j - i;
        for (std::uint32_t p = 0; p + 1 < t; ++p) grad[p] = grad[p] + visits[i * t + j] * v.dr[lag * (t - 1) + p];
      }
    return;
  }
  if (s.correlation == Correlation::kAnteDependence) {
    // d C_ij / d eta_k = C_ij without rho_k's factor, times 1 - rho_k^2, for i <= k < j.
    for (std::uint32_t i = 0; i < t; ++i)
      for (std::uint32_t j = 0; j < t; ++j) {
        if (i == j) continue;
        const std::uint32_t lo = i < j ? i : j, hi = i < j ? j : i;
        for (std::uint32_t k = lo; k < hi; ++k) {
          double others = 1.0;
          for (std::uint32_t m = lo; m < hi; ++m)
            if (m != k) others = others * std::tanh(v.eta[m]);
          const double rho = std::tanh(v.eta[k]);
          grad[k] = grad[k] + visits[i * t + j] * (others * (1.0 - rho * rho));
        }
      }
    return;
  }
  unstructured_gradient(s, v, visits, grad);
}

void unstructured_gradient(const ResidualStructure& s, const ResidualValues& v, const double* visits, double* grad) {
  // With K the accumulated weights made symmetric and C = L L', the contribution is
  // sum_ij K_ij dC_ij = 2 sum_i (K L)_i . dL_i; only row i of L moves with eta_il:
  // dL_i = e_l / |x_i| - x_i x_il / |x_i|^3 for the raw row x_i.
  const std::uint32_t t = s.n_visits;
  const double* eta = v.eta;
  const std::vector<double>& l = v.l;
  const std::vector<double>& norms = v.norms;
  std::vector<double> k(static_cast<std::size_t>(t) * t, 0.0);
  for (std::uint32_t i = 0; i < t; ++i)
    for (std::uint32_t j = 0; j < t; ++j) {
      // visits holds 2 (D H D)_ab at (v_a, v_b) for rows a > b, which may be either
      // order of visits: fold into a symmetric K with K_ij = K_ji = half the sum.
      double v = (i == j) ? 0.0 : 0.5 * (visits[i * t + j] + visits[j * t + i]);
      k[i * t + j] = v;
    }
  for (std::uint32_t i = 1; i < t; ++i) {
    // (K L)_i. : row i of K times L; d/deta_il of sum K_ab C_ab = 2 (K L)_i . dL_i
    std::vector<double> kl(t, 0.0);
    for (std::uint32_t c = 0; c < t; ++c) {
      double x = 0.0;
      for (std::uint32_t m = 0; m < t; ++m) x = x + k[i * t + m] * l[m * t + c];
      kl[c] = x;
    }
    const double* e = eta + static_cast<std::size_t>(i) * (i - 1) / 2;
    double ni = norms[i];
    // x_i = (e_0, ..., e_{i-1}, 1); dot = (K L)_i . x_i
    double dot = kl[i];
    for (std::uint32_t c = 0; c < i; ++c) dot = dot + kl[c] * e[c];
    for (std::uint32_t c = 0; c < i; ++c) {
      double dl = 2.0 * (kl[c] / ni - dot * e[c] / (ni * ni * ni));
      std::size_t idx = static_cast<std::size_t>(i) * (i - 1) / 2 + c;
      grad[idx] = grad[idx] + dl;
    }
  }
}

std::vector<double> natural_parameters(const ResidualStructure& s, const std::vector<double>& eta) {
  std::vector<double> out;
  const double* e = eta.data();
  switch (s.correlation) {
    case Correlation::kIndependent:
      break;
    case Correlation::kAR1:
    case Correlation::kCompound:
      out.push_back(std::tanh(e[0]));
      break;
    case Correlation::kCAR1:
      out.push_back(logistic(e[0]));
      break;
    case Correlation::kUnstructured: {
      const ResidualValues v = residual_values(s, e);
      for (std::uint32_t i = 1; i < s.n_visits; ++i)
        for (std::uint32_t j = 0; j < i; ++j) out.push_back(v.c[i * s.n_visits + j]);
      break;
    }
    case Correlation::kExponential:
    case Correlation::kGaussian:
      out.push_back(std::exp(e[0]));
      if (s.nugget) out.push_back(logistic(e[1]));
      break;
    case Correlation::kToeplitz: {
      const ResidualValues v = residual_values(s, e);
      for (std::uint32_t lag = 1; lag < s.n_visits; ++lag) out.push_back(v.c[lag]);
      break;
    }
    case Correlation::kAnteDependence:
      for (std::uint32_t k = 0; k + 1 < s.n_visits; ++k) out.push_back(std::tanh(e[k]));
      break;
  }
  e += s.n_correlation_params();
  for (const VarianceFunction& f : s.variances) {
    if (f.kind == VarianceKind::kIdent)
      for (std::uint32_t j = 0; j + 1 < f.n_strata; ++j) out.push_back(std::exp(e[j]));
    else
      out.push_back(e[0]);
    e += f.n_params();
  }
  return out;
}

}  // namespace qk
