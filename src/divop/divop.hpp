// Division of a 128-bit numerator by a 64-bit divisor, with an explicit rounding rule.
#pragma once

#include <cstdint>
#include <optional>

#include "panic.hpp"

namespace rust::divop {

// Numerators of the segment schemes: two 64-by-64-bit products added, kept whole.
__extension__ typedef unsigned __int128 u128;

struct QuotRem {
    std::uint64_t q;
    std::uint64_t r;
};

// floor(n / d) and n - q*d from one hardware division.
// Preconditions: d != 0 and n / d < 2^64 (the high half of n is below d); the
// segment schemes only form such quotients, so a violation is an internal failure
// rather than the processor's divide fault.
inline QuotRem div_rem(u128 n, std::uint64_t d) {
    const auto hi = static_cast<std::uint64_t>(n >> 64);
    const auto lo = static_cast<std::uint64_t>(n);
    if (d == 0) {
        throw Panic("attempt to divide by zero");
    }
    if (hi >= d) {
        throw Panic("attempt to divide with overflow");
    }
#if defined(__x86_64__)
    // divq divides rdx:rax by a 64-bit operand and leaves quotient and remainder
    // together; the compiler's generic 128-bit division calls a library routine.
    std::uint64_t q;
    std::uint64_t r;
    __asm__("divq %[d]" : "=a"(q), "=d"(r) : [d] "rm"(d), "a"(lo), "d"(hi) : "cc");
    return {q, r};
#else
    return {static_cast<std::uint64_t>(n / d), static_cast<std::uint64_t>(n % d)};
#endif
}

// Whether the remainder is more than, exactly, or less than half the divisor.
// 2r may need 65 bits (r reaches 2^64 - 2), so compare r with d - r instead,
// which cannot overflow because r < d.
inline bool above_half(QuotRem qr, std::uint64_t d) { return qr.r > d - qr.r; }
inline bool at_half(QuotRem qr, std::uint64_t d) { return qr.r == d - qr.r; }

// Round to nearest, ties to the even quotient. The caller guarantees that the
// rounded quotient still fits in 64 bits.
inline std::uint64_t div_nearest(u128 n, std::uint64_t d) {
    const QuotRem qr = div_rem(n, d);
    const bool up = above_half(qr, d) || (at_half(qr, d) && (qr.q & 1U) != 0);
    return qr.q + static_cast<std::uint64_t>(up);
}

inline std::uint64_t div_floor(u128 n, std::uint64_t d) { return div_rem(n, d).q; }

inline std::uint64_t div_ceil(u128 n, std::uint64_t d) {
    const QuotRem qr = div_rem(n, d);
    return qr.q + static_cast<std::uint64_t>(qr.r != 0);
}

inline std::optional<std::uint64_t> div_exact(u128 n, std::uint64_t d) {
    const QuotRem qr = div_rem(n, d);
    if (qr.r != 0) {
        return std::nullopt;
    }
    return qr.q;
}

}  // namespace rust::divop
