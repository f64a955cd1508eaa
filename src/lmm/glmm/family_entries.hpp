// The entries of the family table beyond binomial and Poisson (family_entries.cpp):
// the families with a parameter phi beside the mean, and the zero-truncated ones.
// Internal to the family table; see family.hpp for each function's contract.
#pragma once

#include <span>
#include <vector>

#include "lmm/glmm/family.hpp"

namespace qk::glmm::entries {

// The links the entries take, pointers into the table of links (family.cpp), and
// binomial's support and constant, which betabinomial shares.
struct EntryLinks {
  std::span<const LinkDef* const> log, gamma, gaussian, inverse_gaussian, binomial;
  const LinkDef* inverse;
  const LinkDef* identity;
  const LinkDef* inverse_square;
  Support (*binomial_check)(double y, double w);
  double (*binomial_constant)(double y, double w);
};

// The entries, in the table's order after binomial and Poisson.
std::vector<FamilyDef> more_families(const EntryLinks& links);

}  // namespace qk::glmm::entries
