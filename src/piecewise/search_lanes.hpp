// Searches in eight vector lanes (AVX-512).
//
// Sorted queries counted among the few keys they fall between.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/vector_path.hpp"

#if defined(RUST_HAVE_LANES)

namespace rust {

namespace detail {

// The first `count` lanes.
inline __mmask8 first_lanes(std::size_t count) noexcept {
    return count >= 8 ? static_cast<__mmask8>(0xFF) : static_cast<__mmask8>((1U << count) - 1);
}

}  // namespace detail

// Keys a batch of sorted queries may fall between: at most this many, so
// that the ends of their segments, two more, fit two registers of eight.
inline constexpr std::size_t kWindowKeys = 14;

// Lanes where a is below b, among the valid ones; float64 lanes where either
// is NaN count as below too, so that a NaN query stops a batch as queries out
// of order do.
template <class T>
[[RUST_LANES_TARGET("avx512f")]] __mmask8 lanes_below(__m512i a, __m512i b, __mmask8 valid) noexcept {
    static_assert(sizeof(T) == 8);
    if constexpr (std::is_floating_point_v<T>) {
        return _mm512_mask_cmp_pd_mask(valid, _mm512_castsi512_pd(a), _mm512_castsi512_pd(b), _CMP_NGE_UQ);
    } else {
        return std::is_signed_v<T> ? _mm512_mask_cmplt_epi64_mask(valid, a, b)
                                   : _mm512_mask_cmplt_epu64_mask(valid, a, b);
    }
}

// Lane l of below[g], for each group g of eight queries q[g]: the number of
// keys among data[0..count) below lane l of q[g], one compare of all groups
// per key (each key's bits broadcast, as lanes_below reads them).
template <class T, std::size_t Groups>
[[RUST_LANES_TARGET("avx512f")]] void count_below_lanes(const T* data, std::size_t count, const __m512i (&q)[Groups],
                                                 __m512i (&below)[Groups]) {
    const __m512i one = _mm512_set1_epi64(1);
    for (std::size_t g = 0; g < Groups; ++g) {
        below[g] = _mm512_setzero_si512();
    }
    for (std::size_t m = 0; m < count; ++m) {
        const __m512i key = _mm512_set1_epi64(std::bit_cast<long long>(data[m]));
        for (std::size_t g = 0; g < Groups; ++g) {
            below[g] = _mm512_mask_add_epi64(below[g], lanes_below<T>(key, q[g], 0xFF), below[g], one);
        }
    }
}

}  // namespace rust

#endif
