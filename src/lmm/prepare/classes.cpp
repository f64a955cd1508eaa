// Forming the classes of groups with bitwise identical Z_i'Z_i, and their summed
// cross products, for the "aggregated" evaluator.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "lmm/prepare/data.hpp"
#include "lmm/prepare/fingerprint.hpp"
#include "pool/pool.hpp"

namespace qk {

namespace {

// A class key: the bit patterns of the lower triangle of Z_i'Z_i in theta order.
// Fixed six words (zero padded) for q <= 3, so the common cases allocate nothing.
using SmallKey = std::array<std::uint64_t, 6>;
using LargeKey = std::vector<std::uint64_t>;

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

void fill_key(std::uint64_t q, const double* ztz, std::uint64_t* out) {
  std::size_t k = 0;
  for (std::uint64_t c = 0; c < q; ++c)
    for (std::uint64_t r = c; r < q; ++r) out[k++] = bits(ztz[r * q + c]);
}

// Folds the key's length in words and then every word, as the codes fingerprint does.
struct BitsHasher {
  std::size_t operator()(const SmallKey& k) const {
    std::uint64_t h = fold(0, k.size());
    for (std::uint64_t w : k) h = fold(h, w);
    return static_cast<std::size_t>(h);
  }
  std::size_t operator()(const LargeKey& k) const {
    std::uint64_t h = fold(0, k.size());
    for (std::uint64_t w : k) h = fold(h, w);
    return static_cast<std::size_t>(h);
  }
};

template <class Key>
std::optional<Classes> build_with(std::uint64_t q, std::uint64_t p, std::uint64_t m,
                                  const std::vector<double>& ztz, const std::vector<double>& ztx,
                                  const std::vector<double>& zty, std::uint64_t class_limit) {
  const std::uint64_t qq = q * q;
  const std::uint64_t words = q * (q + 1) / 2;
  auto key_of = [&](std::uint64_t g) {
    Key key{};
    if constexpr (std::is_same_v<Key, LargeKey>) key.assign(words, 0);
    fill_key(q, &ztz[g * qq], key.data());
    return key;
  };
  // m = 0 never reaches here: construction refuses it.
  const Key key0 = key_of(0);
  // Leading run: the common case of one shared Z'Z costs one comparison per group.
  std::uint64_t r = 1;
  for (; r < m; ++r) {
    const double* blk = &ztz[r * qq];
    bool same = true;
    std::size_t k = 0;
    for (std::uint64_t c = 0; c < q && same; ++c)
      for (std::uint64_t rr = c; rr < q; ++rr)
        if (bits(blk[rr * q + c]) != key0[k++]) { same = false; break; }
    if (!same) break;
  }
  std::vector<std::uint32_t> assignment(r, 0);
  std::vector<std::uint64_t> reps{0};
  std::uint64_t n = 1;
  if (r < m) {
    assignment.reserve(m);
    std::unordered_map<Key, std::uint32_t, BitsHasher> map;
    map.emplace(key0, 0);
    const bool limited = class_limit != kUnlimitedClasses;
    for (std::uint64_t g = r; g < m; ++g) {
      if (g % 4096 == 0) check_interrupt();
      if (limited && g >= 4096 && g % 1024 == 0 && 4 * n > g) return std::nullopt;
      auto [it, inserted] = map.try_emplace(key_of(g), static_cast<std::uint32_t>(n));
      if (inserted) {
        // Class ids are 32-bit: a design that needs more classes keeps none.
        if (n > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
        reps.push_back(g);
        ++n;
        if (n > class_limit) return std::nullopt;
      }
      assignment.push_back(it->second);
    }
  }
  return Classes::with_assignment(q, p, ztz, ztx, zty, std::move(assignment), reps, n);
}

}  // namespace

std::optional<Classes> Classes::build(std::uint64_t q, std::uint64_t p, std::uint64_t m,
                                      const std::vector<double>& ztz,
                                      const std::vector<double>& ztx,
                                      const std::vector<double>& zty, std::uint64_t class_limit) {
  if (q <= 3) return build_with<SmallKey>(q, p, m, ztz, ztx, zty, class_limit);
  return build_with<LargeKey>(q, p, m, ztz, ztx, zty, class_limit);
}

Classes Classes::with_assignment(std::uint64_t q, std::uint64_t p, const std::vector<double>& ztz,
                                 const std::vector<double>& ztx, const std::vector<double>& zty,
                                 std::vector<std::uint32_t> assignment,
                                 const std::vector<std::uint64_t>& representatives,
                                 std::uint64_t n_classes) {
  const std::uint64_t qq = q * q, p1 = p + 1, blk = size_mul(p1, p1), per_class = size_mul(qq, blk);
  const std::uint64_t total = size_mul(n_classes, per_class);
  const std::uint64_t m = assignment.size();
  Classes out;
  out.n_classes = n_classes;
  out.ztz.resize(n_classes * qq);
  for (std::uint64_t c = 0; c < n_classes; ++c)
    std::copy_n(&ztz[representatives[c] * qq], qq, &out.ztz[c * qq]);

  std::uint64_t cost = q * p1 + (p + 2) * qq * p1 / 2;
  ChunkPlan plan = plan_chunks(m, cost);
  plan.parallel = plan.parallel && total <= 65536;

  // Each chunk sums its groups from zero into partials of the classes it meets; the
  // partials are then added into the totals in chunk order. Keeping partials only
  // for the classes a chunk touches gives the same sums as dense per-chunk partials
  // (a class a chunk does not touch would add exact zeros) at a cost bounded by the
  // chunk, not by the number of classes.
  struct Partial {
    std::vector<std::uint32_t> classes;  // in order of first touch
    std::vector<double> counts;
    std::vector<double> sums;
  };
  auto parts = map_chunks<Partial>(plan, [&](std::uint64_t, std::uint64_t b, std::uint64_t e) {
    Partial part;
    // Slot of each class in this chunk's partials: a direct table when there are
    // few classes, a hash map otherwise (so the cost stays bounded by the chunk).
    const bool direct = n_classes <= 4096;
    std::vector<std::uint64_t> table(direct ? n_classes : 0, ~std::uint64_t{0});
    std::unordered_map<std::uint32_t, std::uint64_t> map;
    std::vector<double> w(q * p1);
    for (std::uint64_t g = b; g < e; ++g) {
      const std::uint32_t c = assignment[g];
      std::uint64_t s;
      if (direct) {
        s = table[c];
      } else {
        auto it = map.find(c);
        s = it == map.end() ? ~std::uint64_t{0} : it->second;
      }
      if (s == ~std::uint64_t{0}) {
        s = part.classes.size();
        if (direct) table[c] = s; else map.emplace(c, s);
        part.classes.push_back(c);
        part.counts.push_back(0.0);
        part.sums.resize(part.sums.size() + per_class, 0.0);
      }
      part.counts[s] = part.counts[s] + 1.0;
      for (std::uint64_t a = 0; a < q; ++a) {
        std::copy_n(ztx.data() + (g * q + a) * p, p, w.data() + a * p1);  // p may be 0
        w[a * p1 + p] = zty[g * q + a];
      }
      double* sums = &part.sums[s * per_class];
      for (std::uint64_t a = 0; a < q; ++a) {
        const double* wa = &w[a * p1];
        for (std::uint64_t bb = 0; bb < q; ++bb) {
          const double* wb = &w[bb * p1];
          double* block = sums + (a * q + bb) * blk;
          for (std::uint64_t r = 0; r < p1; ++r) {
            const double war = wa[r];
            double* row = block + r * p1;
            for (std::uint64_t s2 = r; s2 < p1; ++s2) row[s2] = row[s2] + war * wb[s2];
          }
        }
      }
    }
    return part;
  });
  out.counts.assign(n_classes, 0.0);
  out.cross_sums.assign(total, 0.0);
  for (const Partial& part : parts) {
    for (std::size_t i = 0; i < part.classes.size(); ++i) {
      const std::uint64_t c = part.classes[i];
      out.counts[c] = out.counts[c] + part.counts[i];
      double* dst = &out.cross_sums[c * per_class];
      const double* src = &part.sums[i * per_class];
      for (std::uint64_t k = 0; k < per_class; ++k) dst[k] = dst[k] + src[k];
    }
  }
  out.assignment = std::move(assignment);
  return out;
}

Classes Classes::regrouped(std::uint64_t q, std::uint64_t p, const std::vector<double>& ztz, const std::vector<double>& ztx,
                           const std::vector<double>& zty) const {
  // Classes are numbered in order of first appearance, so class c's representative is
  // the first group whose class is the next one not yet seen.
  std::vector<std::uint64_t> reps;
  reps.reserve(n_classes);
  for (std::uint64_t g = 0; g < assignment.size() && reps.size() < n_classes; ++g)
    if (assignment[g] == reps.size()) reps.push_back(g);
  return with_assignment(q, p, ztz, ztx, zty, assignment, reps, n_classes);
}

}  // namespace qk
