// Eight quotients and remainders advanced at once, on CPUs with AVX-512: the
// vector form of advance() for numerators that step by a fixed amount.
#pragma once

#include <cstdint>

#include "divop/divop.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define RUST_HAVE_LANES 1
#endif

namespace rust::divop {

namespace detail {

// Chosen once per process from the CPU's features; the portable path is
// always built and gives the same results.
inline bool& lanes_switch() noexcept {
#if defined(RUST_HAVE_LANES)
    static bool on = __builtin_cpu_supports("avx512f") != 0;
#else
    static bool on = false;
#endif
    return on;
}

}  // namespace detail

// Whether the vector path runs.
inline bool lanes_enabled() noexcept { return detail::lanes_switch(); }

// Turns the vector path off (or back on where the CPU has it), so that tests
// can run both paths on one machine. Not thread-safe; tests only.
inline void enable_lanes(bool on) noexcept {
#if defined(RUST_HAVE_LANES)
    detail::lanes_switch() = on && __builtin_cpu_supports("avx512f") != 0;
#else
    static_cast<void>(on);
#endif
}

#if defined(RUST_HAVE_LANES)

// Quotients and remainders by one divisor in eight 64-bit lanes.
struct Lanes {
    __m512i q;
    __m512i r;
};

// advance() in every lane: the same sums and carries, so the same results.
[[gnu::target("avx512f")]] inline Lanes advance_lanes(Lanes a, Lanes step, __m512i d) noexcept {
    const __m512i sum = _mm512_add_epi64(a.r, step.r);
    const __mmask8 carry =
        static_cast<__mmask8>(_mm512_cmplt_epu64_mask(sum, a.r) | _mm512_cmpge_epu64_mask(sum, d));
    const __m512i q = _mm512_add_epi64(a.q, step.q);
    return {_mm512_mask_add_epi64(q, carry, q, _mm512_set1_epi64(1)), _mm512_mask_sub_epi64(sum, carry, sum, d)};
}

// round_nearest() in every lane.
[[gnu::target("avx512f")]] inline __m512i round_nearest_lanes(Lanes a, __m512i d) noexcept {
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i rest = _mm512_sub_epi64(d, a.r);
    const __mmask8 up = static_cast<__mmask8>(
        _mm512_cmpgt_epu64_mask(a.r, rest) |
        (_mm512_cmpeq_epu64_mask(a.r, rest) & _mm512_test_epi64_mask(a.q, one)));
    return _mm512_mask_add_epi64(a.q, up, a.q, one);
}

#endif

}  // namespace rust::divop
