// Classes of groups for the "aggregated" evaluator.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace qk {

inline constexpr std::uint64_t kUnlimitedClasses = ~std::uint64_t{0};

// Groups whose Z_i'Z_i have bitwise identical lower triangles, merged into classes
// with their summed outer products, so that one factorisation serves all members.
struct Classes {
  std::vector<double> counts;       // member groups per class (exact integers)
  std::vector<double> ztz;          // per class: Z'Z of its first member (q x q)
  // Per class, q*q blocks (a, b) of (p+1) x (p+1): upper triangle (s >= r) holds
  // sum over members of w_a[r] * w_b[s], w_a = row a of [Z_i'X_i | Z_i'y_i].
  std::vector<double> cross_sums;
  std::vector<std::uint32_t> assignment;  // class id of each group
  std::uint64_t n_classes = 0;

  // Forms the classes in order of first appearance. With a finite class_limit it
  // declines (returns nothing) once the classes stop paying off.
  static std::optional<Classes> build(std::uint64_t q, std::uint64_t p, std::uint64_t m,
                                      const std::vector<double>& ztz,
                                      const std::vector<double>& ztx,
                                      const std::vector<double>& zty,
                                      std::uint64_t class_limit);

  // The per-class sums for a known assignment; representatives[c] is the lowest
  // group of class c.
  static Classes with_assignment(std::uint64_t q, std::uint64_t p,
                                 const std::vector<double>& ztz,
                                 const std::vector<double>& ztx,
                                 const std::vector<double>& zty,
                                 std::vector<std::uint32_t> assignment,
                                 const std::vector<std::uint64_t>& representatives,
                                 std::uint64_t n_classes);

  // The same grouping of groups for other products of the same Z (a new response, a
  // fixed effect held): the per-class sums formed again from these products.
  Classes regrouped(std::uint64_t q, std::uint64_t p, const std::vector<double>& ztz, const std::vector<double>& ztx,
                    const std::vector<double>& zty) const;
};

}  // namespace qk
