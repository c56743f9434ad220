// The offset-form arithmetic in eight vector lanes (AVX-512).
//
// The vector forms of offset_math.hpp, each lane with a line of its own.
#pragma once

#include "divop/lanes.hpp"
#include "schemes/method.hpp"

#if defined(RUST_HAVE_LANES)

namespace rust::detail {

// Line::from_ends() in every lane, kept as the division and whole_lanes()
// read it: base, the rise c, the lanes where it falls, and the divisor d
// itself (lane divisions take d unnormalised).
struct LineLanes {
    __m512i base;
    __m512i c;
    __mmask8 falling;
    __m512i d;
};

[[RUST_LANES_TARGET("avx512f")]] inline LineLanes line_lanes(__m512i from, __m512i to, __m512i d) noexcept {
    const __mmask8 falling = _mm512_cmplt_epu64_mask(to, from);
    return {from, _mm512_mask_sub_epi64(_mm512_sub_epi64(to, from), falling, from, to), falling, d};
}

// Line::whole() in every lane: the quotient and remainder of n by d from those
// of its part.
[[RUST_LANES_TARGET("avx512f")]] inline divop::Lanes whole_lanes(const LineLanes& line, divop::Lanes part) noexcept {
    const __mmask8 fraction = static_cast<__mmask8>(line.falling & _mm512_test_epi64_mask(part.r, part.r));
    const __m512i q = _mm512_mask_sub_epi64(_mm512_add_epi64(line.base, part.q), line.falling, line.base, part.q);
    return {_mm512_mask_sub_epi64(q, fraction, q, _mm512_set1_epi64(1)),
            _mm512_mask_sub_epi64(part.r, fraction, line.d, part.r)};
}

// forward_result() in every lane.
[[RUST_LANES_TARGET("avx512f")]] inline __m512i forward_result_lanes(divop::Lanes qr, __m512i d) noexcept {
    return _mm512_xor_si512(divop::round_nearest_lanes(qr, d), _mm512_set1_epi64(INT64_MIN));
}

// inverse_result() in every lane: the lanes with an answer (all but those
// the Exact method finds none for).
[[RUST_LANES_TARGET("avx512f")]] inline __mmask8 inverse_result_lanes(divop::Lanes qr, __m512i d, Method method,
                                                               __m512i& out) noexcept {
    switch (method) {
        case Method::Exact:
            out = qr.q;
            return _mm512_testn_epi64_mask(qr.r, qr.r);
        case Method::Nearest:
            out = divop::round_nearest_lanes(qr, d);
            return 0xFF;
        case Method::Ffill:
            out = qr.q;
            return 0xFF;
        case Method::Bfill:
            out = _mm512_mask_add_epi64(qr.q, _mm512_test_epi64_mask(qr.r, qr.r), qr.q, _mm512_set1_epi64(1));
            return 0xFF;
    }
    return 0;
}

}  // namespace rust::detail

#endif
