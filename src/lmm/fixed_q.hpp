// Calls fn with the random-effects dimension as a compile-time constant for q = 1, 2
// and 3 (0 for any other q, read at run time). The kernels are written once over a
// dimension that is either constant or not, so the unrolled copies for small q run
// exactly the same steps as the general code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qk {

template <class Fn>
auto by_q(std::uint64_t q, Fn&& fn) {
  switch (q) {
    case 1: return fn(std::integral_constant<std::size_t, 1>{});
    case 2: return fn(std::integral_constant<std::size_t, 2>{});
    case 3: return fn(std::integral_constant<std::size_t, 3>{});
    default: return fn(std::integral_constant<std::size_t, 0>{});
  }
}

}  // namespace qk
