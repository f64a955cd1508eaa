// Shared helpers of the C++ unit tests: seeded designs, byte records, and runs under a
// chosen pool size, which the pool reads once per process: each in a forked child.
// Every test file includes it, and with it the library headers the tests use.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "lmm/prepare/data.hpp"
#include "pool/pool.hpp"

namespace qkt {

using Vec = std::vector<double>;
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The three kernels, and their names for traces.
inline constexpr qk::Evaluator kKernels[] = {qk::kBlocks, qk::kStreaming, qk::kAggregated};
inline constexpr const char* kNames[] = {"blocks", "streaming", "aggregated"};

// A growing byte record; doubles are appended as their bit patterns.
struct Bytes {
  std::string buf;
  Bytes& add(const void* p, std::size_t len) {
    buf.append(static_cast<const char*>(p), len);
    return *this;
  }
  Bytes& u64(std::uint64_t v) { return add(&v, sizeof v); }
  Bytes& f64(double v) { return add(&v, sizeof v); }
  template <class T>
  Bytes& vec(const std::vector<T>& v) { return u64(v.size()).add(v.data(), v.size() * sizeof(T)); }
};

// A GLMM reference table's rows (tests/data/glmm/FILE, written by R): a name, then
// numbers (R's Inf and NaN included); '#' lines and the header are skipped.
struct FamRef {
  std::string name;
  std::vector<double> v;
};
inline std::vector<FamRef> fam_table(const char* file) {
  std::ifstream in(std::string(QK_TEST_DATA) + "/glmm/" + file);
  EXPECT_TRUE(in) << file;
  std::vector<FamRef> rows;
  std::string line, cell;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || std::exchange(header, false)) continue;
    std::stringstream ss(line);
    FamRef r;
    std::getline(ss, r.name, ',');
    while (std::getline(ss, cell, ',')) r.v.push_back(std::strtod(cell.c_str(), nullptr));
    rows.push_back(r);
  }
  EXPECT_GT(rows.size(), 100u) << file;
  return rows;
}

// Bit patterns: -0.0 differs from 0.0 and a NaN equals itself.
inline std::string bits(const Vec& v) { return Bytes().vec(v).buf; }

// The text a call refused with, or "accepted".
template <class T>
std::string refusal(const std::variant<T, std::string>& r) {
  return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "accepted";
}
inline std::string refusal(const std::optional<std::string>& err) { return err.value_or("accepted"); }

// The text of the E that fn throws, or "none" when it returns.
template <class E, class F>
std::string thrown(F&& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  }
  return "none";
}

// What fn returns in a child whose pool has `threads` threads; a child that fails fails the test.
inline std::string in_child(const char* threads, const std::function<std::string()>& fn) {
  int fd[2];
  if (pipe(fd) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    setenv("RAYON_NUM_THREADS", threads, 1);
    unsetenv("RAYON_RS_NUM_CPUS");
    const std::string out = fn();
    FILE* f = fdopen(fd[1], "w");
    _exit(f && fwrite(out.data(), 1, out.size(), f) == out.size() && fclose(f) == 0 ? 0 : 4);
  }
  close(fd[1]);
  std::string out;
  char chunk[65536];
  for (ssize_t r; (r = read(fd[0], chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<std::size_t>(r));
  close(fd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child with " << threads << " threads failed";
  return out;
}

// fn's bytes (more than min_size), the same under pools of 1, 2 and 7 threads, each
// child's pool size appended so that one that silently used another size shows.
inline std::string same_bits_for_pool_sizes(const std::function<std::string()>& fn, std::size_t min_size) {
  std::string first;
  for (const char* t : {"1", "2", "7"}) {
    const std::string out = in_child(t, [&] { return fn() + "@" + std::to_string(qk::pool_threads()); });
    if (*t == '1') first = out.substr(0, out.size() - 2);
    EXPECT_TRUE(out == first + "@" + t) << "results differ between 1 and " << t << " threads";
  }
  EXPECT_GT(first.size(), min_size) << first.substr(0, 200);
  return first;
}

// Rows of a model, owned; w empty for no weights.
struct Design {
  std::uint64_t n = 0, p = 0, q = 0, m = 0;
  Vec y, x, z;
  std::vector<std::int64_t> codes;
  Vec w;
  qk::Rows rows() const {
    return {y.data(), x.data(), z.data(), codes.data(), n, p, q, w.empty() ? nullptr : w.data()};
  }
};

// d with prior weights drawn uniformly from [0.5, 2).
inline Design with_weights(Design d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.5, 2.0);
  for (d.w.resize(d.n); double& v : d.w) v = u(rng);
  return d;
}

// The rows of d in the order perm.
inline Design reorder(const Design& d, const std::vector<std::size_t>& perm) {
  Design out{perm.size(), d.p, d.q, d.m, {}, {}, {}, {}, {}};
  for (std::size_t r : perm) {
    out.codes.push_back(d.codes[r]);
    out.y.push_back(d.y[r]);
    out.x.insert(out.x.end(), d.x.begin() + r * d.p, d.x.begin() + (r + 1) * d.p);
    out.z.insert(out.z.end(), d.z.begin() + r * d.q, d.z.begin() + (r + 1) * d.q);
    if (!d.w.empty()) out.w.push_back(d.w[r]);
  }
  return out;
}

// The rows of d sorted by group, each group's rows in their order.
inline Design sorted_by_group(const Design& d) {
  std::vector<std::size_t> perm(d.n);
  std::iota(perm.begin(), perm.end(), std::size_t{0});
  std::stable_sort(perm.begin(), perm.end(), [&](std::size_t a, std::size_t b) { return d.codes[a] < d.codes[b]; });
  return reorder(d, perm);
}

struct DesignShape {
  std::uint64_t p = 2, q = 1, m = 10;
  int min_rows = 1, max_rows = 6;  // rows per group, uniform; 0 allows empty groups
  std::uint64_t seed = 1;
  // When > 0, every group copies the z rows of one of this many: Z_i'Z_i repeats bitwise.
  std::uint64_t templates = 0;
  // Added to y and to x's last column (p >= 2): far from zero, both are centred.
  double mean = 0.0;
};

// An intercept and standard normal columns in x and z, y standard normal; groups
// interleaved at random, each keeping its rows' order.
inline Design make_design(const DesignShape& s) {
  std::mt19937_64 rng(s.seed);
  std::normal_distribution<double> nd;
  std::uniform_int_distribution<int> sizes(s.min_rows, s.max_rows);
  auto z_rows = [&] {
    Vec z(static_cast<std::size_t>(sizes(rng)) * s.q);
    for (std::size_t i = 0; i < z.size(); ++i) z[i] = i % s.q == 0 ? 1.0 : nd(rng);
    return z;
  };
  std::vector<Vec> templ(s.templates);
  for (Vec& t : templ) t = z_rows();
  std::uniform_int_distribution<std::uint64_t> pick(0, s.templates ? s.templates - 1 : 0);
  Design d{0, s.p, s.q, s.m, {}, {}, {}, {}, {}};  // rows sorted by group
  std::vector<std::size_t> next{0};
  for (std::uint64_t g = 0; g < s.m; ++g) {
    const Vec zs = s.templates ? templ[pick(rng)] : z_rows();
    d.z.insert(d.z.end(), zs.begin(), zs.end());
    for (std::size_t i = 0; i < zs.size() / s.q; ++i) {
      for (std::uint64_t j = 0; j < s.p; ++j) d.x.push_back(j == 0 ? 1.0 : nd(rng) + (j + 1 == s.p ? s.mean : 0.0));
      d.y.push_back(nd(rng) + s.mean);
      d.codes.push_back(static_cast<std::int64_t>(g));
    }
    next.push_back(d.y.size());
  }
  std::vector<std::int64_t> order = d.codes;
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<std::size_t> perm;
  for (std::int64_t g : order) perm.push_back(next[static_cast<std::size_t>(g)]++);
  return reorder(d, perm);
}

// from_rows that must succeed.
inline std::unique_ptr<qk::LmmData> build(const Design& d, qk::Evaluator evaluator) {
  auto r = qk::from_rows(d.rows(), d.m, evaluator);
  if (auto* err = std::get_if<std::string>(&r)) ADD_FAILURE() << "from_rows failed: " << *err;
  return r.index() == 0 ? std::move(std::get<0>(r)) : nullptr;
}

// |a_i - b_i| <= tol * max(1, |a_i|, |b_i|) for every i; a NaN never is.
inline ::testing::AssertionResult all_near(const Vec& a, const Vec& b, double tol) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " vs " << b.size();
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!(std::fabs(a[i] - b[i]) <= tol * std::max({1.0, std::fabs(a[i]), std::fabs(b[i])})))
      return ::testing::AssertionFailure() << a[i] << " vs " << b[i] << " at index " << i << ", tol " << tol;
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult near_rel(double a, double b, double tol) { return all_near({a}, {b}, tol); }

// The gradient of f at x by central differences of steps h / 2 and h, Richardson-
// extrapolated: truncation error O(h^4).
inline Vec differences(const std::function<double(const Vec&)>& f, const Vec& x, double h) {
  Vec g(x.size());
  for (std::size_t j = 0; j < x.size(); ++j) {
    auto central = [&](double step) {
      Vec a = x, b = x;
      a[j] += step;
      b[j] -= step;
      return (f(a) - f(b)) / (2 * step);
    };
    g[j] = (4 * central(h / 2) - central(h)) / 3;
  }
  return g;
}

// A (r x k) times B (k x c), both row-major: the textbook triple loop.
inline Vec mat_product(const Vec& a, const Vec& b, std::size_t r, std::size_t k, std::size_t c) {
  Vec out(r * c, 0.0);
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < c; ++j)
      for (std::size_t l = 0; l < k; ++l) out[i * c + j] += a[i * k + l] * b[l * c + j];
  return out;
}

// The n x n identity, and the transpose of an n x n matrix.
inline Vec identity(std::size_t n) {
  Vec eye(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) eye[i * n + i] = 1.0;
  return eye;
}
inline Vec transposed(const Vec& a, std::size_t n) {
  Vec t(n * n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) t[j * n + i] = a[i * n + j];
  return t;
}

// The lower triangle of the n x n matrix a (rows ld apart), zeros above it.
inline Vec lower_of(const Vec& a, std::size_t n, std::size_t ld) {
  Vec out(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j <= i; ++j) out[i * n + j] = a[i * ld + j];
  return out;
}

// Whether every entry of the n x n matrix a above its diagonal is v.
inline bool upper_is(const Vec& a, std::size_t n, double v) {
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j)
      if (a[i * n + j] != v) return false;
  return true;
}

}  // namespace qkt
