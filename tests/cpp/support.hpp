// Shared helpers of the C++ unit tests: seeded design generators, byte records for
// bit-for-bit comparisons, and a way to run code under a chosen pool size.
//
// The pool reads its size once per process, so a check across thread counts runs
// each count in a forked child: the child sets RAYON_NUM_THREADS before its first
// parallel step (the pool forgets the parent's workers after a fork) and sends
// its result back through a pipe.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "lmm/data.hpp"

namespace qkt {

// A growing byte record; doubles are appended as their bit patterns.
struct Bytes {
  std::string buf;
  Bytes& add(const void* p, std::size_t len) {
    buf.append(static_cast<const char*>(p), len);
    return *this;
  }
  Bytes& u64(std::uint64_t v) { return add(&v, sizeof v); }
  Bytes& f64(double v) { return add(&v, sizeof v); }
  Bytes& vec(const std::vector<double>& v) {
    u64(v.size());
    return add(v.data(), v.size() * sizeof(double));
  }
  Bytes& vec32(const std::vector<std::uint32_t>& v) {
    u64(v.size());
    return add(v.data(), v.size() * sizeof(std::uint32_t));
  }
};

// Runs fn in a child process whose pool has `threads` threads (RAYON_NUM_THREADS)
// and returns what fn returned. A child that crashes or throws fails the test.
inline std::string in_child(const char* threads, const std::function<std::string()>& fn) {
  int fd[2];
  if (pipe(fd) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    setenv("RAYON_NUM_THREADS", threads, 1);
    unsetenv("RAYON_RS_NUM_CPUS");
    std::string out;
    int code = 0;
    try {
      out = fn();
    } catch (const std::exception& e) {
      out = std::string("child threw: ") + e.what();
      code = 3;
    }
    std::size_t off = 0;
    while (off < out.size()) {
      ssize_t w = write(fd[1], out.data() + off, out.size() - off);
      if (w <= 0) _exit(4);
      off += static_cast<std::size_t>(w);
    }
    close(fd[1]);
    _exit(code);
  }
  close(fd[1]);
  std::string out;
  char chunk[65536];
  for (;;) {
    ssize_t r = read(fd[0], chunk, sizeof chunk);
    if (r <= 0) break;
    out.append(chunk, static_cast<std::size_t>(r));
  }
  close(fd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "child with " << threads << " threads ended abnormally: " << out.substr(0, 200);
  return out;
}

// Rows of a model, owned.
struct Design {
  std::uint64_t n = 0, p = 0, q = 0, m = 0;
  std::vector<double> y, x, z;
  std::vector<std::int64_t> codes;
  qk::Rows rows() const { return {y.data(), x.data(), z.data(), codes.data(), n, p, q}; }
};

struct DesignSpec {
  std::uint64_t p = 2, q = 1, m = 10;
  int min_rows = 1, max_rows = 6;  // rows per group, uniform (0 gives empty groups)
  bool balanced = false;           // every group: max_rows rows on shared z rows
  std::uint64_t seed = 1;
  // When > 0: every group copies the z rows (and row count) of one of this many
  // templates, so Z_i'Z_i repeats across groups while X and y stay random.
  std::uint64_t templates = 0;
};

// x has an intercept column and standard normal columns; z has an intercept column
// and, unless balanced, normal columns (balanced: powers of fixed time points, the
// same in every group, so every group shares one Z_i'Z_i). y carries random group
// effects on z and unit noise.
inline Design make_design(const DesignSpec& s) {
  std::mt19937_64 rng(s.seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  std::uniform_int_distribution<int> sizes(s.min_rows, s.max_rows);
  struct Template {
    std::vector<double> z;
  };
  std::vector<Template> templ(s.templates);
  for (Template& t : templ) {
    int k = sizes(rng);
    for (int i = 0; i < k; ++i)
      for (std::uint64_t a = 0; a < s.q; ++a) t.z.push_back(a == 0 ? 1.0 : nd(rng));
  }
  Design d;
  d.p = s.p;
  d.q = s.q;
  d.m = s.m;
  std::vector<double> beta(s.p);
  for (double& b : beta) b = nd(rng);
  struct Row {
    std::int64_t code;
    std::vector<double> x, z;
    double y;
  };
  std::vector<Row> rows;
  std::uniform_int_distribution<std::uint64_t> pick(0, s.templates ? s.templates - 1 : 0);
  for (std::uint64_t g = 0; g < s.m; ++g) {
    std::vector<double> zs;
    if (s.templates) {
      zs = templ[pick(rng)].z;
    } else {
      int k = s.balanced ? s.max_rows : sizes(rng);
      for (int i = 0; i < k; ++i)
        for (std::uint64_t a = 0; a < s.q; ++a) {
          double t = (i + 1.0) / (k + 1.0);
          zs.push_back(a == 0 ? 1.0 : s.balanced ? std::pow(t, static_cast<double>(a)) : nd(rng));
        }
    }
    std::vector<double> b(s.q);
    for (double& v : b) v = 0.7 * nd(rng);
    for (std::size_t i = 0; i < zs.size() / s.q; ++i) {
      Row r;
      r.code = static_cast<std::int64_t>(g);
      r.z.assign(zs.begin() + i * s.q, zs.begin() + (i + 1) * s.q);
      r.y = nd(rng);
      for (std::uint64_t j = 0; j < s.p; ++j) {
        r.x.push_back(j == 0 ? 1.0 : nd(rng));
        r.y += r.x[j] * beta[j];
      }
      for (std::uint64_t a = 0; a < s.q; ++a) r.y += r.z[a] * b[a];
      rows.push_back(std::move(r));
    }
  }
  // Interleave the groups at random but keep each group's rows in generation
  // order, so that groups built from the same z rows get bitwise equal Z_i'Z_i.
  std::vector<std::size_t> first(s.m + 1, 0);
  for (const Row& r : rows) ++first[static_cast<std::size_t>(r.code) + 1];
  for (std::size_t g = 0; g < s.m; ++g) first[g + 1] += first[g];
  std::vector<std::int64_t> order;
  for (const Row& r : rows) order.push_back(r.code);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<Row> shuffled;
  for (std::int64_t g : order) shuffled.push_back(std::move(rows[first[static_cast<std::size_t>(g)]++]));
  rows = std::move(shuffled);
  d.n = rows.size();
  for (const Row& r : rows) {
    d.codes.push_back(r.code);
    d.y.push_back(r.y);
    d.x.insert(d.x.end(), r.x.begin(), r.x.end());
    d.z.insert(d.z.end(), r.z.begin(), r.z.end());
  }
  return d;
}

// from_rows that must succeed.
inline std::unique_ptr<qk::LmmData> build(const Design& d, std::uint8_t evaluator) {
  auto r = qk::from_rows(d.rows(), d.m, evaluator);
  if (auto* err = std::get_if<std::string>(&r)) {
    ADD_FAILURE() << "from_rows failed: " << *err;
    return nullptr;
  }
  return std::move(std::get<std::unique_ptr<qk::LmmData>>(r));
}

// |a - b| <= tol * max(1, |a|, |b|).
inline ::testing::AssertionResult near_rel(double a, double b, double tol) {
  double scale = std::max({1.0, std::fabs(a), std::fabs(b)});
  if (std::fabs(a - b) <= tol * scale) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " vs " << b << " (diff " << std::fabs(a - b)
                                       << ", tol " << tol * scale << ")";
}

inline ::testing::AssertionResult all_near(const std::vector<double>& a, const std::vector<double>& b,
                                           double tol) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << "sizes " << a.size() << " vs " << b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto r = near_rel(a[i], b[i], tol);
    if (!r) return r << " at index " << i;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace qkt
