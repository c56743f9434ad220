// One division of a 128-bit number by a 64-bit one whose quotient fits 64 bits: the processor's instruction where the compiler reaches it.
#pragma once

#include <bit>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#include <immintrin.h>
#endif

namespace rust::platform {

struct WordDivision {
    std::uint64_t q;
    std::uint64_t r;
};

// floor((hi:lo) / d) and its remainder in 64-bit arithmetic alone: long
// division in 32-bit digits (Knuth's Algorithm D, two quotient digits, as in
// Warren's "Hacker's Delight", divlu). Precondition: hi < d (so d != 0 and the
// quotient fits 64 bits).
constexpr WordDivision divide_words_portable(std::uint64_t hi, std::uint64_t lo, std::uint64_t d) noexcept {
    constexpr std::uint64_t kBase = std::uint64_t{1} << 32;
    // Step 1: normalise, so that the divisor's top bit is set; the numerator
    // shifted alike keeps its top word below the divisor (hi < d).
    const int s = std::countl_zero(d);
    const std::uint64_t v = d << s;
    const std::uint64_t v1 = v >> 32;
    const std::uint64_t v0 = v & (kBase - 1);
    const std::uint64_t u32 = s == 0 ? hi : (hi << s) | (lo >> (64 - s));
    const std::uint64_t u10 = lo << s;
    const std::uint64_t u1 = u10 >> 32;
    const std::uint64_t u0 = u10 & (kBase - 1);

    // Step 2: each digit estimated from the top two digits of the partial
    // remainder by the top digit of v is at most two too large (v normalised);
    // the test below compares the estimate times the whole of v, two digits,
    // with the remainder's top three digits, so it ends at the digit itself.
    // Checked left to right, q v0 is only formed for q < 2^32, and 2^32 rhat
    // only for rhat < 2^32: no product overflows.
    std::uint64_t q1 = u32 / v1;
    std::uint64_t rhat = u32 - q1 * v1;
    while (q1 >= kBase || q1 * v0 > kBase * rhat + u1) {
        q1 -= 1;
        rhat += v1;
        if (rhat >= kBase) {
            break;
        }
    }
    // The partial remainder u32:u1 - q1 v is below v, so its 64 low bits are all of it.
    const std::uint64_t u21 = u32 * kBase + u1 - q1 * v;

    std::uint64_t q0 = u21 / v1;
    rhat = u21 - q0 * v1;
    while (q0 >= kBase || q0 * v0 > kBase * rhat + u0) {
        q0 -= 1;
        rhat += v1;
        if (rhat >= kBase) {
            break;
        }
    }
    // Step 3: the remainder, below v, shifted back by the normalisation.
    const std::uint64_t r = (u21 * kBase + u0 - q0 * v) >> s;
    return {q1 * kBase + q0, r};
}

// The same contract and results as divide_words_portable(), by the quickest
// route the compiler offers.
inline WordDivision divide_words(std::uint64_t hi, std::uint64_t lo, std::uint64_t d) noexcept {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
    // divq divides rdx:rax by a 64-bit operand and leaves quotient and remainder
    // together; the compiler's generic 128-bit division calls a library routine.
    std::uint64_t q;
    std::uint64_t r;
    __asm__("divq %[d]" : "=a"(q), "=d"(r) : [d] "rm"(d), "a"(lo), "d"(hi) : "cc");
    return {q, r};
#elif defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
    std::uint64_t r;
    const std::uint64_t q = _udiv128(hi, lo, d, &r);
    return {q, r};
#elif defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 native;
    const native n = (static_cast<native>(hi) << 64) | lo;
    return {static_cast<std::uint64_t>(n / d), static_cast<std::uint64_t>(n % d)};
#else
    return divide_words_portable(hi, lo, d);
#endif
}

}  // namespace rust::platform
