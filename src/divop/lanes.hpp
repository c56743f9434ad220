// Eight quotients and remainders at once, on CPUs with AVX-512 (F and DQ).
//
// The vector form of advance() for numerators that step by a fixed amount, and
// eight divisions of small enough numbers.
#pragma once

#include <cstdint>

#include "divop/divop.hpp"
#include "platform/vector_path.hpp"

namespace rust::divop {

// The bounds of the vector division, div_rem_lanes() below; defined on every
// CPU, so that tests can shape tables around them. Below them, c t / d in
// binary64 (each step rounded to nearest) is within 5 * 2^-53 of its value
// relatively, so within 0.66 of it absolutely as the quotient is at most c
// (t <= d): truncated, that estimate is the quotient or one off it. Its
// remainder c t - q d then lies in [-d, 2d), which 64-bit signed lanes hold
// exactly, and the low 64 bits of each product give it.
inline constexpr std::uint64_t kLaneFactorBound = std::uint64_t{1} << 50;
inline constexpr std::uint64_t kLaneDivisorBound = std::uint64_t{1} << 62;

#if defined(RUST_HAVE_LANES)

// Quotients and remainders by one divisor in eight 64-bit lanes.
struct Lanes {
    __m512i q;
    __m512i r;
};

// advance() in every lane: the same sums and carries, so the same results.
[[RUST_LANES_TARGET("avx512f")]] inline Lanes advance_lanes(Lanes a, Lanes step, __m512i d) noexcept {
    const __m512i sum = _mm512_add_epi64(a.r, step.r);
    const __mmask8 carry =
        static_cast<__mmask8>(_mm512_cmplt_epu64_mask(sum, a.r) | _mm512_cmpge_epu64_mask(sum, d));
    const __m512i q = _mm512_add_epi64(a.q, step.q);
    return {_mm512_mask_add_epi64(q, carry, q, _mm512_set1_epi64(1)), _mm512_mask_sub_epi64(sum, carry, sum, d)};
}

// round_nearest() in every lane.
[[RUST_LANES_TARGET("avx512f")]] inline __m512i round_nearest_lanes(Lanes a, __m512i d) noexcept {
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i rest = _mm512_sub_epi64(d, a.r);
    const __mmask8 up = static_cast<__mmask8>(
        _mm512_cmpgt_epu64_mask(a.r, rest) |
        (_mm512_cmpeq_epu64_mask(a.r, rest) & _mm512_test_epi64_mask(a.q, one)));
    return _mm512_mask_add_epi64(a.q, up, a.q, one);
}

// floor(c t / d) and its remainder in every lane where c < kLaneFactorBound,
// 0 < d < kLaneDivisorBound and t <= d: those lanes are the mask returned, and
// their quotients and remainders are div_rem's. The roundings are fixed in the
// instructions, so no floating-point mode of the caller's can change them.
[[RUST_LANES_TARGET("avx512f,avx512dq")]] inline __mmask8 div_rem_lanes(__m512i c, __m512i t, __m512i d,
                                                                 Lanes& out) noexcept {
    constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    const __mmask8 fits = static_cast<__mmask8>(
        _mm512_cmplt_epu64_mask(c, _mm512_set1_epi64(static_cast<long long>(kLaneFactorBound))) &
        _mm512_cmplt_epu64_mask(_mm512_sub_epi64(d, _mm512_set1_epi64(1)),
                                _mm512_set1_epi64(static_cast<long long>(kLaneDivisorBound - 1))) &
        _mm512_cmple_epu64_mask(t, d));
    // The zero-masked forms, every lane kept: GCC 12 warns that the plain
    // forms' undefined source registers are used uninitialised.
    const __mmask8 all = 0xFF;
    const __m512d product =
        _mm512_maskz_mul_round_pd(all, _mm512_maskz_cvt_roundepu64_pd(all, c, kNearest),
                                  _mm512_maskz_cvt_roundepu64_pd(all, t, kNearest), kNearest);
    const __m512d estimate =
        _mm512_maskz_div_round_pd(all, product, _mm512_maskz_cvt_roundepu64_pd(all, d, kNearest), kNearest);
    __m512i q = _mm512_maskz_cvtt_roundpd_epu64(all, estimate, _MM_FROUND_NO_EXC);
    __m512i r = _mm512_sub_epi64(_mm512_mullo_epi64(c, t), _mm512_mullo_epi64(q, d));
    const __m512i one = _mm512_set1_epi64(1);
    const __mmask8 high = _mm512_cmplt_epi64_mask(r, _mm512_setzero_si512());
    const __mmask8 low = _mm512_cmpge_epi64_mask(r, d);
    q = _mm512_mask_sub_epi64(q, high, q, one);
    r = _mm512_mask_add_epi64(r, high, r, d);
    q = _mm512_mask_add_epi64(q, low, q, one);
    r = _mm512_mask_sub_epi64(r, low, r, d);
    out = {q, r};
    return fits;
}

#endif

}  // namespace rust::divop
