// Calls fn with the random-effects dimension as a compile-time constant for q = 1, 2
// and 3 (0 for any other q, read at run time). The kernels are written once over a
// dimension that is either constant or not, so the unrolled copies for small sizes
// run exactly the same steps as the general code.
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

// Calls fn(Q, P) with both dimensions as compile-time constants for q <= 3 and
// p <= 8 (the common small models), and with P = 0 (p read at run time) otherwise.
template <class Fn>
auto by_qp(std::uint64_t q, std::uint64_t p, Fn&& fn) {
  return by_q(q, [&](auto qc) {
    constexpr std::size_t Q = decltype(qc)::value;
    using std::integral_constant;
    if constexpr (Q == 0) {
      return fn(qc, integral_constant<std::size_t, 0>{});
    } else {
      switch (p) {
        case 1: return fn(qc, integral_constant<std::size_t, 1>{});
        case 2: return fn(qc, integral_constant<std::size_t, 2>{});
        case 3: return fn(qc, integral_constant<std::size_t, 3>{});
        case 4: return fn(qc, integral_constant<std::size_t, 4>{});
        case 5: return fn(qc, integral_constant<std::size_t, 5>{});
        case 6: return fn(qc, integral_constant<std::size_t, 6>{});
        case 7: return fn(qc, integral_constant<std::size_t, 7>{});
        case 8: return fn(qc, integral_constant<std::size_t, 8>{});
        default: return fn(qc, integral_constant<std::size_t, 0>{});
      }
    }
  });
}

}  // namespace qk
