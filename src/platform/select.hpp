// Selects the optimiser must not turn into branches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/attributes.hpp"

namespace rust::platform {

// One step of a walk over sorted keys, free of branches: where hi < key, hi
// takes next's value, next takes ahead's, and i goes up by one; else nothing
// moves. Compilers make such selects branches, which the CPU guesses wrong
// about whenever the walk's steps come as irregularly as a table's gaps; on
// x86-64 the conditional moves are spelled out.
RUST_ALWAYS_INLINE void step_if_below(std::uint64_t key, std::uint64_t& hi, std::uint64_t& next, std::uint64_t ahead,
                                      std::size_t& i) noexcept {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
    __asm__(
        "cmp %[key], %[hi]\n\t"
        "cmovb %[next], %[hi]\n\t"
        "cmovb %[ahead], %[next]\n\t"
        "adc $0, %[i]"
        : [hi] "+&r"(hi), [next] "+&r"(next), [i] "+&r"(i)
        : [key] "r"(key), [ahead] "r"(ahead)
        : "cc");
#else
    const bool below = hi < key;
    hi = below ? next : hi;
    next = below ? ahead : next;
    i += below ? 1 : 0;
#endif
}

}  // namespace rust::platform
