// The AVX-512 instructions the lanes use, as plain C++ over the eight lanes:
// a test build (RUST_EMULATE_LANES) runs the vector path through these on any
// x86-64 CPU, so that its results are checked where the CPU lacks AVX-512.
//
// Each function gives what the instruction gives, lane by lane, including
// what the kernels lean on: masked-off lanes neither read nor written, the
// roundings fixed in the instruction whatever the caller's mode, and the
// all-ones result of a conversion out of range. Nothing here is fast.
//
// Included after <immintrin.h>: the vector and mask types stay the compiler's,
// and each intrinsic's name is redirected to its stand-in below.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace rust::platform::emulated {

using I = std::int64_t;
using U = std::uint64_t;

inline U lane(__m512i v, int l) noexcept { return static_cast<U>(v[l]); }

template <class F>
inline __m512i each(F f) noexcept {
    __m512i v;
    for (int l = 0; l < 8; ++l) {
        v[l] = static_cast<long long>(f(l));
    }
    return v;
}

template <class F>
inline __mmask8 mask_of(F f) noexcept {
    unsigned m = 0;
    for (int l = 0; l < 8; ++l) {
        m |= (f(l) ? 1u : 0u) << l;
    }
    return static_cast<__mmask8>(m);
}

inline bool on(__mmask8 k, int l) noexcept { return (k >> l & 1) != 0; }

inline __m512i set1_epi64(long long x) noexcept {
    return each([&](int) { return static_cast<U>(x); });
}
// The first argument is the highest lane.
inline __m512i set_epi64(long long e7, long long e6, long long e5, long long e4, long long e3, long long e2,
                         long long e1, long long e0) noexcept {
    const long long e[8] = {e0, e1, e2, e3, e4, e5, e6, e7};
    return each([&](int l) { return static_cast<U>(e[l]); });
}
inline __m512i setzero_si512() noexcept { return set1_epi64(0); }

inline __m512i add_epi64(__m512i a, __m512i b) noexcept {
    return each([&](int l) { return lane(a, l) + lane(b, l); });
}
inline __m512i sub_epi64(__m512i a, __m512i b) noexcept {
    return each([&](int l) { return lane(a, l) - lane(b, l); });
}
inline __m512i mullo_epi64(__m512i a, __m512i b) noexcept {
    return each([&](int l) { return lane(a, l) * lane(b, l); });
}
inline __m512i xor_si512(__m512i a, __m512i b) noexcept {
    return each([&](int l) { return lane(a, l) ^ lane(b, l); });
}
inline __m512i mask_add_epi64(__m512i src, __mmask8 k, __m512i a, __m512i b) noexcept {
    return each([&](int l) { return on(k, l) ? lane(a, l) + lane(b, l) : lane(src, l); });
}
inline __m512i mask_sub_epi64(__m512i src, __mmask8 k, __m512i a, __m512i b) noexcept {
    return each([&](int l) { return on(k, l) ? lane(a, l) - lane(b, l) : lane(src, l); });
}
// Lane l of the result is lane (idx & 7) of a, or of b where idx has bit 3.
inline __m512i permutex2var_epi64(__m512i a, __m512i idx, __m512i b) noexcept {
    return each([&](int l) {
        const int from = static_cast<int>(lane(idx, l) & 7);
        return (lane(idx, l) & 8) != 0 ? lane(b, from) : lane(a, from);
    });
}

inline __m512i loadu_si512(const void* p) noexcept {
    __m512i v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storeu_si512(void* p, __m512i v) noexcept { std::memcpy(p, &v, sizeof v); }
// The aligned forms fault on a misaligned address, as the instructions do.
inline __m512i load_si512(const void* p) noexcept {
    if (reinterpret_cast<std::uintptr_t>(p) % 64 != 0) {
        std::abort();
    }
    return loadu_si512(p);
}
inline void store_si512(void* p, __m512i v) noexcept {
    if (reinterpret_cast<std::uintptr_t>(p) % 64 != 0) {
        std::abort();
    }
    storeu_si512(p, v);
}
// Masked-off lanes are not touched: the kernels load and store the tails of
// arrays this way, past whose ends there may be no memory.
inline __m512i maskz_loadu_epi64(__mmask8 k, const void* p) noexcept {
    const auto* from = static_cast<const unsigned char*>(p);
    return each([&](int l) {
        U x = 0;
        if (on(k, l)) {
            std::memcpy(&x, from + 8 * l, 8);
        }
        return x;
    });
}
inline void mask_storeu_epi64(void* p, __mmask8 k, __m512i v) noexcept {
    auto* to = static_cast<unsigned char*>(p);
    for (int l = 0; l < 8; ++l) {
        if (on(k, l)) {
            const U x = lane(v, l);
            std::memcpy(to + 8 * l, &x, 8);
        }
    }
}

inline __mmask8 cmpeq_epu64_mask(__m512i a, __m512i b) noexcept {
    return mask_of([&](int l) { return lane(a, l) == lane(b, l); });
}
inline __mmask8 cmplt_epu64_mask(__m512i a, __m512i b) noexcept {
    return mask_of([&](int l) { return lane(a, l) < lane(b, l); });
}
inline __mmask8 cmple_epu64_mask(__m512i a, __m512i b) noexcept {
    return mask_of([&](int l) { return lane(a, l) <= lane(b, l); });
}
inline __mmask8 cmpgt_epu64_mask(__m512i a, __m512i b) noexcept { return cmplt_epu64_mask(b, a); }
inline __mmask8 cmpge_epu64_mask(__m512i a, __m512i b) noexcept { return cmple_epu64_mask(b, a); }
inline __mmask8 cmplt_epi64_mask(__m512i a, __m512i b) noexcept {
    return mask_of([&](int l) { return static_cast<I>(lane(a, l)) < static_cast<I>(lane(b, l)); });
}
inline __mmask8 cmple_epi64_mask(__m512i a, __m512i b) noexcept {
    return mask_of([&](int l) { return static_cast<I>(lane(a, l)) <= static_cast<I>(lane(b, l)); });
}
inline __mmask8 cmpge_epi64_mask(__m512i a, __m512i b) noexcept { return cmple_epi64_mask(b, a); }
inline __mmask8 mask_cmplt_epu64_mask(__mmask8 k, __m512i a, __m512i b) noexcept {
    return static_cast<__mmask8>(k & cmplt_epu64_mask(a, b));
}
inline __mmask8 mask_cmplt_epi64_mask(__mmask8 k, __m512i a, __m512i b) noexcept {
    return static_cast<__mmask8>(k & cmplt_epi64_mask(a, b));
}
inline __mmask8 test_epi64_mask(__m512i a, __m512i b) noexcept {
    return mask_of([&](int l) { return (lane(a, l) & lane(b, l)) != 0; });
}
inline __mmask8 testn_epi64_mask(__m512i a, __m512i b) noexcept {
    return mask_of([&](int l) { return (lane(a, l) & lane(b, l)) == 0; });
}

// Binary64 lanes.
inline __m512d set1_pd(double x) noexcept {
    __m512d v;
    for (int l = 0; l < 8; ++l) {
        v[l] = x;
    }
    return v;
}
inline __m512d loadu_pd(const void* p) noexcept {
    __m512d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline __m512d castsi512_pd(__m512i a) noexcept {
    __m512d v;
    std::memcpy(&v, &a, sizeof v);
    return v;
}
inline __m512i castpd_si512(__m512d a) noexcept {
    __m512i v;
    std::memcpy(&v, &a, sizeof v);
    return v;
}
inline __m512d abs_pd(__m512d a) noexcept {
    __m512d v;
    for (int l = 0; l < 8; ++l) {
        v[l] = std::fabs(a[l]);
    }
    return v;
}
inline __m512i maskz_srli_epi64(__mmask8 k, __m512i a, unsigned count) noexcept {
    return each([&](int l) { return !on(k, l) || count > 63 ? U{0} : lane(a, l) >> count; });
}
// Lane l of b where k has bit l, else of a.
inline __m512i mask_blend_epi64(__mmask8 k, __m512i a, __m512i b) noexcept {
    return each([&](int l) { return on(k, l) ? lane(b, l) : lane(a, l); });
}
// The predicates the kernels use; any other stops the test build. The
// ordered ones are false where either operand is NaN.
inline bool compare(double a, double b, int predicate) noexcept {
    switch (predicate) {
        case _CMP_EQ_OQ: return a == b;
        case _CMP_LT_OQ: return a < b;
        case _CMP_LE_OQ: return a <= b;
        case _CMP_GT_OQ: return a > b;
        case _CMP_GE_OQ: return a >= b;
        case _CMP_NGT_UQ: return !(a > b);    // true where either is NaN
        case _CMP_NGE_UQ: return !(a >= b);   // the same
        default: std::abort();
    }
}
inline __mmask8 cmp_pd_mask(__m512d a, __m512d b, int predicate) noexcept {
    return mask_of([&](int l) { return compare(a[l], b[l], predicate); });
}
inline __mmask8 mask_cmp_pd_mask(__mmask8 k, __m512d a, __m512d b, int predicate) noexcept {
    return static_cast<__mmask8>(k & cmp_pd_mask(a, b, predicate));
}

// The rounded forms: the kernels name round-to-nearest in the instruction, so
// the caller's SSE mode (MXCSR, which the stand-ins' binary64 arithmetic
// follows) is set aside for the step and put back whole, its flags too: the
// instructions raise none. The x87 unit's own mode is not touched. The
// operands pass through volatile, so that the compiler keeps each operation
// between the mode's changes.
class NearestScope {
public:
    NearestScope(int rounding) noexcept : saved_(_mm_getcsr()) {
        if (rounding != (_MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)) {
            std::abort();
        }
        constexpr unsigned kRoundingField = 0x6000;  // 0: to nearest
        _mm_setcsr(saved_ & ~kRoundingField);
    }
    ~NearestScope() { _mm_setcsr(saved_); }
    NearestScope(const NearestScope&) = delete;
    NearestScope& operator=(const NearestScope&) = delete;

private:
    unsigned saved_;
};

template <class F>
inline __m512d each_pd(__mmask8 k, F f) noexcept {
    __m512d v;
    for (int l = 0; l < 8; ++l) {
        v[l] = on(k, l) ? f(l) : 0.0;
    }
    return v;
}
inline __m512d maskz_cvt_roundepu64_pd(__mmask8 k, __m512i a, int rounding) noexcept {
    const NearestScope nearest(rounding);
    return each_pd(k, [&](int l) {
        const volatile U x = lane(a, l);
        const volatile double y = static_cast<double>(x);
        return y;
    });
}
inline __m512d maskz_mul_round_pd(__mmask8 k, __m512d a, __m512d b, int rounding) noexcept {
    const NearestScope nearest(rounding);
    return each_pd(k, [&](int l) {
        const volatile double x = a[l], y = b[l];
        const volatile double z = x * y;
        return z;
    });
}
inline __m512d maskz_div_round_pd(__mmask8 k, __m512d a, __m512d b, int rounding) noexcept {
    const NearestScope nearest(rounding);
    return each_pd(k, [&](int l) {
        const volatile double x = a[l], y = b[l];
        const volatile double z = x / y;
        return z;
    });
}
inline __m512d maskz_add_round_pd(__mmask8 k, __m512d a, __m512d b, int rounding) noexcept {
    const NearestScope nearest(rounding);
    return each_pd(k, [&](int l) {
        const volatile double x = a[l], y = b[l];
        const volatile double z = x + y;
        return z;
    });
}
inline __m512d maskz_sub_round_pd(__mmask8 k, __m512d a, __m512d b, int rounding) noexcept {
    const NearestScope nearest(rounding);
    return each_pd(k, [&](int l) {
        const volatile double x = a[l], y = b[l];
        const volatile double z = x - y;
        return z;
    });
}
// a b + c, a b - c and c - a b, each rounded once.
inline __m512d maskz_fmadd_round_pd(__mmask8 k, __m512d a, __m512d b, __m512d c, int rounding) noexcept {
    const NearestScope nearest(rounding);
    return each_pd(k, [&](int l) {
        const volatile double x = a[l], y = b[l], z = c[l];
        const volatile double r = std::fma(x, y, z);
        return r;
    });
}
inline __m512d maskz_fmsub_round_pd(__mmask8 k, __m512d a, __m512d b, __m512d c, int rounding) noexcept {
    const NearestScope nearest(rounding);
    return each_pd(k, [&](int l) {
        const volatile double x = a[l], y = b[l], z = c[l];
        const volatile double r = std::fma(x, y, -z);
        return r;
    });
}
inline __m512d maskz_fnmadd_round_pd(__mmask8 k, __m512d a, __m512d b, __m512d c, int rounding) noexcept {
    const NearestScope nearest(rounding);
    return each_pd(k, [&](int l) {
        const volatile double x = a[l], y = b[l], z = c[l];
        const volatile double r = std::fma(-x, y, z);
        return r;
    });
}
// Truncation toward zero; NaN and values outside [0, 2^64) after truncation
// give all ones, the instruction's answer for "out of range".
inline __m512i maskz_cvtt_roundpd_epu64(__mmask8 k, __m512d a, int sae) noexcept {
    if (sae != _MM_FROUND_NO_EXC) {
        std::abort();
    }
    return each([&](int l) -> U {
        if (!on(k, l)) {
            return 0;
        }
        const double x = a[l];
        if (!(x > -1.0 && x < 18446744073709551616.0)) {
            return ~U{0};
        }
        return x <= 0.0 ? 0 : static_cast<U>(x);
    });
}

}  // namespace rust::platform::emulated

// Every intrinsic the kernels call, redirected. The compiler's own may be
// macros (the rounded forms, without optimisation), hence the #undef.
#define RUST_EMULATE(name)  \
    ::rust::platform::emulated::name
#undef _mm512_set1_epi64
#define _mm512_set1_epi64 RUST_EMULATE(set1_epi64)
#undef _mm512_set_epi64
#define _mm512_set_epi64 RUST_EMULATE(set_epi64)
#undef _mm512_setzero_si512
#define _mm512_setzero_si512 RUST_EMULATE(setzero_si512)
#undef _mm512_add_epi64
#define _mm512_add_epi64 RUST_EMULATE(add_epi64)
#undef _mm512_sub_epi64
#define _mm512_sub_epi64 RUST_EMULATE(sub_epi64)
#undef _mm512_mullo_epi64
#define _mm512_mullo_epi64 RUST_EMULATE(mullo_epi64)
#undef _mm512_xor_si512
#define _mm512_xor_si512 RUST_EMULATE(xor_si512)
#undef _mm512_mask_add_epi64
#define _mm512_mask_add_epi64 RUST_EMULATE(mask_add_epi64)
#undef _mm512_mask_sub_epi64
#define _mm512_mask_sub_epi64 RUST_EMULATE(mask_sub_epi64)
#undef _mm512_permutex2var_epi64
#define _mm512_permutex2var_epi64 RUST_EMULATE(permutex2var_epi64)
#undef _mm512_loadu_si512
#define _mm512_loadu_si512 RUST_EMULATE(loadu_si512)
#undef _mm512_storeu_si512
#define _mm512_storeu_si512 RUST_EMULATE(storeu_si512)
#undef _mm512_load_si512
#define _mm512_load_si512 RUST_EMULATE(load_si512)
#undef _mm512_store_si512
#define _mm512_store_si512 RUST_EMULATE(store_si512)
#undef _mm512_maskz_loadu_epi64
#define _mm512_maskz_loadu_epi64 RUST_EMULATE(maskz_loadu_epi64)
#undef _mm512_mask_storeu_epi64
#define _mm512_mask_storeu_epi64 RUST_EMULATE(mask_storeu_epi64)
#undef _mm512_cmpeq_epu64_mask
#define _mm512_cmpeq_epu64_mask RUST_EMULATE(cmpeq_epu64_mask)
#undef _mm512_cmplt_epu64_mask
#define _mm512_cmplt_epu64_mask RUST_EMULATE(cmplt_epu64_mask)
#undef _mm512_cmple_epu64_mask
#define _mm512_cmple_epu64_mask RUST_EMULATE(cmple_epu64_mask)
#undef _mm512_cmpgt_epu64_mask
#define _mm512_cmpgt_epu64_mask RUST_EMULATE(cmpgt_epu64_mask)
#undef _mm512_cmpge_epu64_mask
#define _mm512_cmpge_epu64_mask RUST_EMULATE(cmpge_epu64_mask)
#undef _mm512_cmplt_epi64_mask
#define _mm512_cmplt_epi64_mask RUST_EMULATE(cmplt_epi64_mask)
#undef _mm512_cmple_epi64_mask
#define _mm512_cmple_epi64_mask RUST_EMULATE(cmple_epi64_mask)
#undef _mm512_cmpge_epi64_mask
#define _mm512_cmpge_epi64_mask RUST_EMULATE(cmpge_epi64_mask)
#undef _mm512_mask_cmplt_epu64_mask
#define _mm512_mask_cmplt_epu64_mask RUST_EMULATE(mask_cmplt_epu64_mask)
#undef _mm512_mask_cmplt_epi64_mask
#define _mm512_mask_cmplt_epi64_mask RUST_EMULATE(mask_cmplt_epi64_mask)
#undef _mm512_test_epi64_mask
#define _mm512_test_epi64_mask RUST_EMULATE(test_epi64_mask)
#undef _mm512_testn_epi64_mask
#define _mm512_testn_epi64_mask RUST_EMULATE(testn_epi64_mask)
#undef _mm512_set1_pd
#define _mm512_set1_pd RUST_EMULATE(set1_pd)
#undef _mm512_loadu_pd
#define _mm512_loadu_pd RUST_EMULATE(loadu_pd)
#undef _mm512_castsi512_pd
#define _mm512_castsi512_pd RUST_EMULATE(castsi512_pd)
#undef _mm512_cmp_pd_mask
#define _mm512_cmp_pd_mask RUST_EMULATE(cmp_pd_mask)
#undef _mm512_mask_cmp_pd_mask
#define _mm512_mask_cmp_pd_mask RUST_EMULATE(mask_cmp_pd_mask)
#undef _mm512_maskz_cvt_roundepu64_pd
#define _mm512_maskz_cvt_roundepu64_pd RUST_EMULATE(maskz_cvt_roundepu64_pd)
#undef _mm512_maskz_mul_round_pd
#define _mm512_maskz_mul_round_pd RUST_EMULATE(maskz_mul_round_pd)
#undef _mm512_maskz_div_round_pd
#define _mm512_maskz_div_round_pd RUST_EMULATE(maskz_div_round_pd)
#undef _mm512_maskz_cvtt_roundpd_epu64
#define _mm512_maskz_cvtt_roundpd_epu64 RUST_EMULATE(maskz_cvtt_roundpd_epu64)
#undef _mm512_castpd_si512
#define _mm512_castpd_si512 RUST_EMULATE(castpd_si512)
#undef _mm512_abs_pd
#define _mm512_abs_pd RUST_EMULATE(abs_pd)
#undef _mm512_maskz_srli_epi64
#define _mm512_maskz_srli_epi64 RUST_EMULATE(maskz_srli_epi64)
#undef _mm512_mask_blend_epi64
#define _mm512_mask_blend_epi64 RUST_EMULATE(mask_blend_epi64)
#undef _mm512_maskz_add_round_pd
#define _mm512_maskz_add_round_pd RUST_EMULATE(maskz_add_round_pd)
#undef _mm512_maskz_sub_round_pd
#define _mm512_maskz_sub_round_pd RUST_EMULATE(maskz_sub_round_pd)
#undef _mm512_maskz_fmsub_round_pd
#define _mm512_maskz_fmsub_round_pd RUST_EMULATE(maskz_fmsub_round_pd)
#undef _mm512_maskz_fnmadd_round_pd
#define _mm512_maskz_fnmadd_round_pd RUST_EMULATE(maskz_fnmadd_round_pd)
#undef _mm512_maskz_fmadd_round_pd
#define _mm512_maskz_fmadd_round_pd RUST_EMULATE(maskz_fmadd_round_pd)
