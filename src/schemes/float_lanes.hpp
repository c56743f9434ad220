// The float formulas, forward and inverse, in eight binary64 lanes (AVX-512):
// for a segment's runs of queries, and for sorted queries a few to a segment.
//
// Each lane works out the exact quotient to well beyond 64 bits in binary64
// pieces and decides the result from it where the F80 steps' roundings cannot
// move it; the few lanes near a result's edge go back to the steps.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/attributes.hpp"
#include "platform/vector_path.hpp"
#include "schemes/method.hpp"
#include "schemes/scheme.hpp"

#if defined(RUST_HAVE_LANES)

namespace rust::detail {

// ((x1 - x) f0 + (x - x0) f1) / (x1 - x0) by the F80 steps is R: each product,
// their sum and the quotient rounded to 64 bits, each within 2^-64 of its
// value in ratio. Where f0 and f1 do not have opposite signs the terms add
// without cancelling, so R lies within 3.0001 * 2^-64 of the exact quotient T
// in ratio: less than 3.0001 units of 2^-63 of T's binade. Its binary64
// truncation is then T's own wherever T lies more than that from every
// binary64 (a truncation's edges); and wherever T is a binary64 with every
// step exact, R is T.
//
// The lanes form T as th + tl, th the binary64 nearest T (or next to it) and
// tl what is left, to about 2^-100 of T: the products by fma with their exact
// errors, their sum by TwoSum, the quotient's remainder by fma (exact for a
// rounded-to-nearest quotient). th is a truncation's edge; its neighbours lie
// a binary64 unit away, while tl is at most about half of one. A lane whose
// |tl| exceeds 2^-61 |th| (4 units of 2^-63 in th's binade, 8 in the binade
// below) lies beyond R's reach from th, and its result is th, or th's
// neighbour toward zero where tl has the opposite sign.
//
// The binary64 steps need each weight exact (x1 - x0 < 2^53) and no product
// or remainder near the subnormals or infinity: end values of magnitude in
// [2^-800, 2^800] or zero, not both zero.
inline constexpr std::uint64_t kLaneWidthBound = std::uint64_t{1} << 53;

// Runs shorter than this keep to the steps: setting the lanes up costs about
// what a few queries do. A run is taken as that long when the query that far
// ahead lies inside the segment too, as it does for sorted queries; a large
// table's segments see a few queries each, and never get that far.
inline constexpr std::size_t kFloatLaneRun = 16;

template <class Read, class Key>
bool long_float_run(Read& read, std::size_t k, std::size_t count, Key lo, Key hi) {
    if (count - k < kFloatLaneRun) {
        return false;
    }
    const Key ahead = read(k + kFloatLaneRun - 1);
    return lo < ahead && ahead < hi;
}

// Binary64 lane arithmetic, each operation rounded to nearest by the
// instruction itself and raising no flag, whatever the caller's MXCSR.
namespace nearest {

inline constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;

[[RUST_LANES_TARGET("avx512f")]] inline __m512d add(__m512d a, __m512d b) noexcept {
    return _mm512_maskz_add_round_pd(0xFF, a, b, kRound);
}
[[RUST_LANES_TARGET("avx512f")]] inline __m512d sub(__m512d a, __m512d b) noexcept {
    return _mm512_maskz_sub_round_pd(0xFF, a, b, kRound);
}
[[RUST_LANES_TARGET("avx512f")]] inline __m512d mul(__m512d a, __m512d b) noexcept {
    return _mm512_maskz_mul_round_pd(0xFF, a, b, kRound);
}
[[RUST_LANES_TARGET("avx512f")]] inline __m512d div(__m512d a, __m512d b) noexcept {
    return _mm512_maskz_div_round_pd(0xFF, a, b, kRound);
}
// a b + c, a b - c and c - a b, each rounded once.
[[RUST_LANES_TARGET("avx512f")]] inline __m512d fma(__m512d a, __m512d b, __m512d c) noexcept {
    return _mm512_maskz_fmadd_round_pd(0xFF, a, b, c, kRound);
}
[[RUST_LANES_TARGET("avx512f")]] inline __m512d fms(__m512d a, __m512d b, __m512d c) noexcept {
    return _mm512_maskz_fmsub_round_pd(0xFF, a, b, c, kRound);
}
[[RUST_LANES_TARGET("avx512f")]] inline __m512d fnma(__m512d a, __m512d b, __m512d c) noexcept {
    return _mm512_maskz_fnmadd_round_pd(0xFF, a, b, c, kRound);
}
[[RUST_LANES_TARGET("avx512f,avx512dq")]] inline __m512d from_u64(__m512i a) noexcept {
    return _mm512_maskz_cvt_roundepu64_pd(0xFF, a, kRound);
}

}  // namespace nearest

// Lanes of magnitude in [low, high] or zero; NaN and the infinities are
// neither.
[[RUST_LANES_TARGET("avx512f")]] inline __mmask8 within(__m512d f, double low, double high) noexcept {
    const __m512d a = _mm512_abs_pd(f);
    return static_cast<__mmask8>((_mm512_cmp_pd_mask(a, _mm512_set1_pd(low), _CMP_GE_OQ) &
                                  _mm512_cmp_pd_mask(a, _mm512_set1_pd(high), _CMP_LE_OQ)) |
                                 _mm512_cmp_pd_mask(a, _mm512_set1_pd(0.0), _CMP_EQ_OQ));
}

// a0 b0 + a1 b1 exactly, as sh + t + e0 + e1: the products rounded with their
// exact errors (fma), their sum rounded with its exact error (TwoSum), while
// nothing nears the subnormals or infinity.
struct ExactSum {
    __m512d sh, t, e0, e1;

    [[RUST_LANES_TARGET("avx512f")]] static ExactSum of(__m512d a0, __m512d b0, __m512d a1, __m512d b1) noexcept {
        using namespace nearest;
        const __m512d p0 = mul(a0, b0);
        const __m512d p1 = mul(a1, b1);
        const __m512d sh = add(p0, p1);
        const __m512d b = sub(sh, p0);
        const __m512d t = add(sub(p0, sub(sh, b)), sub(p1, b));
        return {sh, t, fms(a0, b0, p0), fms(a1, b1, p1)};
    }

    // Lanes where the products and their sum were exact: sh is the sum.
    [[RUST_LANES_TARGET("avx512f")]] __mmask8 exact() const noexcept {
        const __m512d zero = _mm512_set1_pd(0.0);
        return static_cast<__mmask8>(_mm512_cmp_pd_mask(e0, zero, _CMP_EQ_OQ) &
                                     _mm512_cmp_pd_mask(e1, zero, _CMP_EQ_OQ) &
                                     _mm512_cmp_pd_mask(t, zero, _CMP_EQ_OQ));
    }
};

// What a - b = h (rounded) left out, exactly (TwoSum of a and -b).
[[RUST_LANES_TARGET("avx512f")]] inline __m512d difference_error(__m512d a, __m512d b, __m512d h) noexcept {
    using namespace nearest;
    const __m512d bb = sub(h, a);  // -b, as rounded
    return sub(sub(a, sub(h, bb)), add(b, bb));
}

// A quotient q and an approximation rest of T - q: th, the binary64 nearest
// q + rest (rest may carry T past q's midpoint), and tl = q + rest - th,
// exact given rest (|rest| is far below |q|).
struct Split {
    __m512d th, tl;

    [[RUST_LANES_TARGET("avx512f")]] static Split of(__m512d q, __m512d rest) noexcept {
        using namespace nearest;
        const __m512d th = add(q, rest);
        return {th, sub(rest, sub(th, q))};
    }
};

// One segment per lane, as the lanes read it.
struct ForwardFloatLanes {
    __m512i x0, x1;
    __m512d f0, f1;
    __m512d w;       // x1 - x0, exact
    __m512d rw;      // 1 / w, rounded: tl needs a few exact bits only
    __mmask8 fits;   // the lanes whose segment the form above covers

    [[RUST_LANES_TARGET("avx512f,avx512dq")]] static ForwardFloatLanes of(__m512i x0, __m512i x1, __m512d f0,
                                                                          __m512d f1) noexcept {
        const __m512i width = _mm512_sub_epi64(x1, x0);
        const __m512d w = nearest::from_u64(width);
        const __m512d zero = _mm512_set1_pd(0.0);
        const __mmask8 negative0 = _mm512_cmp_pd_mask(f0, zero, _CMP_LT_OQ);
        const __mmask8 positive0 = _mm512_cmp_pd_mask(f0, zero, _CMP_GT_OQ);
        const __mmask8 negative1 = _mm512_cmp_pd_mask(f1, zero, _CMP_LT_OQ);
        const __mmask8 positive1 = _mm512_cmp_pd_mask(f1, zero, _CMP_GT_OQ);
        const auto opposite = static_cast<__mmask8>((negative0 & positive1) | (positive0 & negative1));
        const auto nonzero = static_cast<__mmask8>(negative0 | positive0 | negative1 | positive1);
        const auto fits = static_cast<__mmask8>(
            within(f0, 0x1p-800, 0x1p800) & within(f1, 0x1p-800, 0x1p800) & nonzero & ~opposite &
            _mm512_cmplt_epu64_mask(width, _mm512_set1_epi64(static_cast<long long>(kLaneWidthBound))));
        return {x0, x1, f0, f1, w, nearest::div(_mm512_set1_pd(1.0), w), fits};
    }

    // The results' bits for x0 < x < x1 in every lane: the lanes decided (the
    // others are left to the steps).
    [[RUST_LANES_TARGET("avx512f,avx512dq")]] __mmask8 answer(__m512i x, __m512i& bits) const noexcept {
        using namespace nearest;
        const __m512d w0 = from_u64(_mm512_sub_epi64(x1, x));
        const __m512d w1 = from_u64(_mm512_sub_epi64(x, x0));
        const ExactSum s = ExactSum::of(f0, w0, f1, w1);
        // T = (sh + sl) / w: the quotient of sh and its exact remainder, the
        // rest by the rounded reciprocal.
        const __m512d sl = add(add(s.e0, s.e1), s.t);
        const __m512d q = div(s.sh, w);
        const __m512d rho = fnma(q, w, s.sh);
        const auto [th, tl] = Split::of(q, mul(add(rho, sl), rw));
        const auto exact =
            static_cast<__mmask8>(s.exact() & _mm512_cmp_pd_mask(rho, _mm512_set1_pd(0.0), _CMP_EQ_OQ));
        const __m512d reach = mul(_mm512_abs_pd(th), _mm512_set1_pd(0x1p-61));
        const auto far = _mm512_cmp_pd_mask(_mm512_abs_pd(tl), reach, _CMP_GT_OQ);
        // Where tl's sign is not th's, the truncation is th's neighbour toward
        // zero: the bits one below, across a binade's edge too.
        const __m512i th_bits = _mm512_castpd_si512(th);
        const __m512i toward_zero =
            _mm512_maskz_srli_epi64(0xFF, _mm512_xor_si512(th_bits, _mm512_castpd_si512(tl)), 63);
        bits = _mm512_mask_blend_epi64(exact, _mm512_sub_epi64(th_bits, toward_zero), th_bits);
        return static_cast<__mmask8>(fits & (exact | far));
    }
};

// Eight queries with a segment each, as a large table's sorted queries come:
// lane l of x strictly inside (x0, x1) or on x1, whose answer there is the
// tie point's value f1 itself. The lanes answered, written to out[0..8);
// the others are the caller's to ask one by one.
[[RUST_LANES_TARGET("avx512f,avx512dq")]] inline __mmask8 forward_float_lanes(__m512i x, __m512i x0, __m512i x1,
                                                                              __m512i f0, __m512i f1,
                                                                              double* out) noexcept {
    const ForwardFloatLanes segment =
        ForwardFloatLanes::of(x0, x1, _mm512_castsi512_pd(f0), _mm512_castsi512_pd(f1));
    const __mmask8 on_end = _mm512_cmpeq_epu64_mask(x, x1);
    __m512i bits;
    const __mmask8 done = segment.answer(x, bits);
    _mm512_storeu_si512(out, _mm512_mask_blend_epi64(on_end, bits, f1));
    return static_cast<__mmask8>(done | on_end);
}

// A segment's run from read(j) on, eight queries at a time while all eight
// lie strictly inside (lo, hi): each lane's result as the lanes decide it,
// else one(x), the segment's one-query form. Returns where it stopped: at
// once where the segment is not the lanes' (see ForwardFloatLanes), else at
// the first group with a query outside, or with fewer than eight left. Out of
// line, one copy for every route that hands it a run.
template <class Read, class One>
[[gnu::noinline, RUST_LANES_TARGET("avx512f,avx512dq")]] std::size_t forward_run_in_lanes(
    std::uint64_t x0, std::uint64_t x1, double f0, double f1, Read& read, std::size_t j, std::size_t count,
    std::uint64_t lo, std::uint64_t hi, double* out, const One& one) {
    const ForwardFloatLanes segment =
        ForwardFloatLanes::of(_mm512_set1_epi64(static_cast<long long>(x0)),
                              _mm512_set1_epi64(static_cast<long long>(x1)), _mm512_set1_pd(f0), _mm512_set1_pd(f1));
    if (segment.fits != 0xFF) {
        return j;
    }
    const __m512i low = _mm512_set1_epi64(static_cast<long long>(lo));
    const __m512i high = _mm512_set1_epi64(static_cast<long long>(hi));
    for (; count - j >= 8; j += 8) {
        // Set from the eight values rather than stored and loaded: a load of
        // eight separate stores would wait for all of them.
        const auto x_of = [&](std::size_t l) { return static_cast<long long>(read(j + l)); };
        const __m512i x = _mm512_set_epi64(x_of(7), x_of(6), x_of(5), x_of(4), x_of(3), x_of(2), x_of(1), x_of(0));
        if ((_mm512_cmpgt_epu64_mask(x, low) & _mm512_cmplt_epu64_mask(x, high)) != 0xFF) {
            break;
        }
        __m512i bits;
        const __mmask8 done = segment.answer(x, bits);
        _mm512_storeu_si512(out + j, bits);
        if (done != 0xFF) [[unlikely]] {
            for (std::size_t l = 0; l < 8; ++l) {
                if ((done >> l & 1) == 0) {
                    out[j + l] = one(read(j + l));
                }
            }
        }
    }
    return j;
}


// The inverse formula, (x0 (f1 - f) + x1 (f - f0)) / (f1 - f0) for f0 < f < f1,
// in the same way. Its F80 steps round five times (both differences of the
// query, both products, their sum, the divisor's difference, the quotient:
// the divisor's and the quotient's roundings among them), and no term
// cancels another (both weights and both positions are non-negative), so R
// lies within 5.0001 * 2^-64 of T in ratio: less than 2^-61 T. The methods
// round R to a whole position, so what counts is how far T lies from the
// nearest whole number (and, for "nearest", from the nearest half); the lanes
// decide where that is more than 2^-60 th, and where every step is exact and
// R is T itself.
//
// The positions must be exact in binary64 (below 2^53), the values of
// magnitude in [2^-300, 2^300] or zero, and T in [1, 2^52): no product or
// remainder then nears the subnormals, whatever the caller's MXCSR modes.
inline constexpr std::uint64_t kLanePositionBound = std::uint64_t{1} << 53;

struct InverseFloatLanes {
    __m512d x0, x1;  // exact
    __m512d f0, f1;
    __m512d dh, dl;  // f1 - f0 = dh + dl exactly
    __m512d rdh;     // 1 / dh, rounded
    __mmask8 fits;

    [[RUST_LANES_TARGET("avx512f,avx512dq")]] static InverseFloatLanes of(__m512i x0, __m512i x1, __m512d f0,
                                                                          __m512d f1) noexcept {
        using namespace nearest;
        const __m512i bound = _mm512_set1_epi64(static_cast<long long>(kLanePositionBound));
        const __m512d dh = sub(f1, f0);
        const auto fits = static_cast<__mmask8>(_mm512_cmplt_epu64_mask(x0, bound) &
                                                _mm512_cmplt_epu64_mask(x1, bound) & usable(f0) & usable(f1));
        return {from_u64(x0), from_u64(x1), f0, f1, dh, difference_error(f1, f0, dh), div(_mm512_set1_pd(1.0), dh),
                fits};
    }

    [[RUST_LANES_TARGET("avx512f")]] static __mmask8 usable(__m512d f) noexcept {
        return within(f, 0x1p-300, 0x1p300);
    }

    // The positions by the method for f0 < f < f1 in every lane: the lanes
    // decided (the others, and those Exact finds no position for, are left
    // to the steps).
    [[RUST_LANES_TARGET("avx512f,avx512dq")]] __mmask8 answer(__m512d f, Method method,
                                                              __m512i& positions) const noexcept {
        using namespace nearest;
        const __m512d zero = _mm512_set1_pd(0.0);
        const __m512d ah = sub(f1, f);
        const __m512d al = difference_error(f1, f, ah);
        const __m512d bh = sub(f, f0);
        const __m512d bl = difference_error(f, f0, bh);
        const ExactSum s = ExactSum::of(x0, ah, x1, bh);
        // The small terms: the products' errors, the sum's, and the positions
        // times what the differences left out.
        const __m512d sl = add(fma(x0, al, fma(x1, bl, add(s.e0, s.e1))), s.t);
        // T = (sh + sl) / (dh + dl): the quotient of sh by dh with its exact
        // remainder, the rest by the rounded reciprocal.
        const __m512d q = div(s.sh, dh);
        const __m512d rho = fnma(q, dh, s.sh);
        const auto [th, tl] = Split::of(q, mul(fnma(q, dl, add(rho, sl)), rdh));
        const auto exact = static_cast<__mmask8>(
            s.exact() & _mm512_cmp_pd_mask(al, zero, _CMP_EQ_OQ) & _mm512_cmp_pd_mask(bl, zero, _CMP_EQ_OQ) &
            _mm512_cmp_pd_mask(rho, zero, _CMP_EQ_OQ) & _mm512_cmp_pd_mask(dl, zero, _CMP_EQ_OQ));
        // th in [1, 2^52): its whole part n converts exactly, its fraction
        // th - n is exact, and a half is a binary64 on its grid, so that a
        // fraction other than 0 or 1/2 lies a grid unit from both.
        const __mmask8 inside = static_cast<__mmask8>(
            fits & usable(f) & _mm512_cmp_pd_mask(th, _mm512_set1_pd(1.0), _CMP_GE_OQ) &
            _mm512_cmp_pd_mask(th, _mm512_set1_pd(0x1p52), _CMP_LT_OQ));
        const __m512i n = _mm512_maskz_cvtt_roundpd_epu64(0xFF, th, _MM_FROUND_NO_EXC);
        const __m512d frac = sub(th, from_u64(n));
        const __m512d reach = mul(th, _mm512_set1_pd(0x1p-60));
        const auto far = _mm512_cmp_pd_mask(_mm512_abs_pd(tl), reach, _CMP_GT_OQ);
        const __mmask8 above = _mm512_cmp_pd_mask(tl, zero, _CMP_GT_OQ);
        const __mmask8 below = _mm512_cmp_pd_mask(tl, zero, _CMP_LT_OQ);
        // A fraction other than 0 (or 1/2) lies half a binary64 unit or more
        // from it, far beyond R's reach; at 0 (or 1/2) tl tells which side T is.
        const __mmask8 whole = _mm512_cmp_pd_mask(frac, zero, _CMP_EQ_OQ);
        const __m512i one = _mm512_set1_epi64(1);
        positions = n;
        __mmask8 done = 0;
        switch (method) {
            case Method::Exact:
                done = static_cast<__mmask8>(exact & whole);
                break;
            case Method::Ffill:
                positions = _mm512_mask_sub_epi64(n, static_cast<__mmask8>(whole & below & ~exact), n, one);
                done = static_cast<__mmask8>(~whole | exact | far);
                break;
            case Method::Bfill:
                positions = _mm512_mask_add_epi64(n, static_cast<__mmask8>(~whole | (above & ~exact)), n, one);
                done = static_cast<__mmask8>(~whole | exact | far);
                break;
            case Method::Nearest: {
                const __m512d half = _mm512_set1_pd(0.5);
                const __mmask8 at_half = _mm512_cmp_pd_mask(frac, half, _CMP_EQ_OQ);
                const __mmask8 up =
                    static_cast<__mmask8>((at_half & above) | _mm512_cmp_pd_mask(frac, half, _CMP_GT_OQ));
                positions = _mm512_mask_add_epi64(n, up, n, one);
                done = static_cast<__mmask8>(~at_half | far);
                break;
            }
        }
        return static_cast<__mmask8>(inside & done);
    }
};

// Eight queries with a segment each, lane l of f strictly inside (f0, f1) or
// on f1, whose answer there is the tie point's position x1 itself, as for the
// forward lanes.
[[RUST_LANES_TARGET("avx512f,avx512dq")]] inline __mmask8 inverse_float_lanes(__m512i f, __m512i x0, __m512i x1,
                                                                              __m512i f0, __m512i f1, Method method,
                                                                              std::uint64_t* out) noexcept {
    const InverseFloatLanes segment =
        InverseFloatLanes::of(x0, x1, _mm512_castsi512_pd(f0), _mm512_castsi512_pd(f1));
    // -0.0 on a tie point +0.0 is on it.
    const __mmask8 on_end = _mm512_cmp_pd_mask(_mm512_castsi512_pd(f), _mm512_castsi512_pd(f1), _CMP_EQ_OQ);
    __m512i positions;
    const __mmask8 done = segment.answer(_mm512_castsi512_pd(f), method, positions);
    _mm512_storeu_si512(out, _mm512_mask_blend_epi64(on_end, positions, x1));
    return static_cast<__mmask8>(done | on_end);
}

// A segment's run of inverse queries, as forward_run_in_lanes does it;
// one(f) is the segment's one-query answer, nothing where Exact finds no
// position, which ends the run there as failed.
template <class Read, class One>
[[gnu::noinline, RUST_LANES_TARGET("avx512f,avx512dq")]] RunEnd inverse_run_in_lanes(
    std::uint64_t x0, std::uint64_t x1, double f0, double f1, Method method, Read& read, std::size_t j,
    std::size_t count, double lo, double hi, std::uint64_t* out, const One& one) {
    const InverseFloatLanes segment =
        InverseFloatLanes::of(_mm512_set1_epi64(static_cast<long long>(x0)),
                              _mm512_set1_epi64(static_cast<long long>(x1)), _mm512_set1_pd(f0), _mm512_set1_pd(f1));
    if (segment.fits != 0xFF) {
        return {j, false};
    }
    const __m512d low = _mm512_set1_pd(lo);
    const __m512d high = _mm512_set1_pd(hi);
    for (; count - j >= 8; j += 8) {
        const auto f_of = [&](std::size_t l) { return std::bit_cast<long long>(read(j + l)); };
        const __m512d f = _mm512_castsi512_pd(
            _mm512_set_epi64(f_of(7), f_of(6), f_of(5), f_of(4), f_of(3), f_of(2), f_of(1), f_of(0)));
        // NaN fails both.
        if ((_mm512_cmp_pd_mask(f, low, _CMP_GT_OQ) & _mm512_cmp_pd_mask(f, high, _CMP_LT_OQ)) != 0xFF) {
            break;
        }
        __m512i positions;
        const __mmask8 done = segment.answer(f, method, positions);
        _mm512_storeu_si512(out + j, positions);
        if (done != 0xFF) [[unlikely]] {
            for (std::size_t l = 0; l < 8; ++l) {
                if ((done >> l & 1) == 0) {
                    const std::optional<std::uint64_t> position = one(read(j + l));
                    if (!position) {
                        return {j + l, true};
                    }
                    out[j + l] = *position;
                }
            }
        }
    }
    return {j, false};
}


// The segments' runs on the lanes' path start here: the lanes take a run
// long enough to pay for them (long_float_run) as far as they go, and return
// where the segment's own loop goes on (or, inverse, where Exact failed).
template <class Read, class One>
std::size_t forward_float_run_lanes(std::uint64_t x0, std::uint64_t x1, double f0, double f1, Read& read,
                                    std::size_t k, std::size_t count, std::uint64_t lo, std::uint64_t hi,
                                    double* out, const One& one) {
    if (!long_float_run(read, k, count, lo, hi)) {
        return k;
    }
    return forward_run_in_lanes(x0, x1, f0, f1, read, k, count, lo, hi, out, one);
}

template <class Read, class One>
RunEnd inverse_float_run_lanes(std::uint64_t x0, std::uint64_t x1, double f0, double f1, Method method, Read& read,
                               std::size_t k, std::size_t count, double lo, double hi, std::uint64_t* out,
                               const One& one) {
    if (!long_float_run(read, k, count, lo, hi)) {
        return {k, false};
    }
    return inverse_run_in_lanes(x0, x1, f0, f1, method, read, k, count, lo, hi, out, one);
}

}  // namespace rust::detail

#endif

namespace rust::detail {

// What the float scheme adds on the lanes' path, the same on every engine:
// forward() and inverse() for eight queries at once (forward_float_lanes and
// inverse_float_lanes above).
struct FloatSchemeLanes {
#if defined(RUST_HAVE_LANES)
    [[RUST_LANES_TARGET("avx512f,avx512dq")]] static __mmask8 forward_lanes(__m512i x, __m512i x0, __m512i x1,
                                                                            __m512i f0, __m512i f1, double* out) {
        return forward_float_lanes(x, x0, x1, f0, f1, out);
    }

    [[RUST_LANES_TARGET("avx512f,avx512dq")]] static __mmask8 inverse_lanes(__m512i f, __m512i x0, __m512i x1,
                                                                            __m512i f0, __m512i f1, Method method,
                                                                            std::uint64_t* out) {
        return inverse_float_lanes(f, x0, x1, f0, f1, method, out);
    }
#endif
};

}  // namespace rust::detail
