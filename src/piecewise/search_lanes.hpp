// Searches in eight vector lanes (AVX-512).
//
// A batch of queries in a small table, and sorted queries counted among the few
// keys they fall between.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/vector_path.hpp"

#if defined(RUST_HAVE_LANES)

namespace rust {

namespace detail {

// Lanes of keys at most q, among the valid ones; by numeric value for float64
// (a NaN query is at least no key).
[[RUST_LANES_TARGET("avx512f")]] inline __mmask8 at_most(__m512i keys, std::uint64_t q, __mmask8 valid) noexcept {
    return _mm512_mask_cmple_epu64_mask(valid, keys, _mm512_set1_epi64(static_cast<long long>(q)));
}

[[RUST_LANES_TARGET("avx512f")]] inline __mmask8 at_most(__m512i keys, std::int64_t q, __mmask8 valid) noexcept {
    return _mm512_mask_cmple_epi64_mask(valid, keys, _mm512_set1_epi64(q));
}

[[RUST_LANES_TARGET("avx512f")]] inline __mmask8 at_most(__m512i keys, double q, __mmask8 valid) noexcept {
    return _mm512_mask_cmp_pd_mask(valid, _mm512_castsi512_pd(keys), _mm512_set1_pd(q), _CMP_LE_OQ);
}

// The first `count` lanes.
inline __mmask8 first_lanes(std::size_t count) noexcept {
    return count >= 8 ? static_cast<__mmask8>(0xFF) : static_cast<__mmask8>((1U << count) - 1);
}

}  // namespace detail

// Tables of at most this many keys are searched eight keys at a compare.
inline constexpr std::size_t kLaneSearchKeys = 512;

// search_batch() for a table of at most kLaneSearchKeys keys, by counting the
// keys at most each query: the last key of every full group of eight, then the
// group the query falls in, two compares of eight lanes each where the halving
// steps would be a chain of dependent loads. The count less one is where the
// halving search makes its final comparison (0 for a query below every key).
template <class T>
[[RUST_LANES_TARGET("avx512f,popcnt")]] void search_batch_lanes(const T* data, std::size_t n, const T* q, std::size_t count,
                                                         std::size_t* base) {
    static_assert(sizeof(T) == 8);
    const std::size_t groups = n / 8;
    alignas(64) T last[kLaneSearchKeys / 8];
    for (std::size_t g = 0; g < groups; ++g) {
        last[g] = data[8 * g + 7];
    }
    for (std::size_t j = 0; j < count; ++j) {
        const T key = q[j];
        // Groups whose last key is at most the query: it lies past them.
        std::size_t below = 0;
        for (std::size_t g = 0; g < groups; g += 8) {
            const __mmask8 valid = detail::first_lanes(groups - g);
            below += static_cast<std::size_t>(
                __builtin_popcount(detail::at_most(_mm512_load_si512(last + g), key, valid)));
        }
        const std::size_t start = 8 * below;
        const __mmask8 valid = detail::first_lanes(n - start);
        const __m512i group = _mm512_maskz_loadu_epi64(valid, data + start);
        const std::size_t at_most =
            start + static_cast<std::size_t>(__builtin_popcount(detail::at_most(group, key, valid)));
        base[j] = at_most == 0 ? 0 : at_most - 1;
    }
}

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
