// Where a query stands in a strictly increasing sequence: the halving search
// that defines the answer, and faster searches for the orders queries come in.
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>

#include "divop/lanes.hpp"
#include "panic.hpp"
#include "piecewise/sequence.hpp"
#include "platform/hints.hpp"

namespace rust {

namespace detail {

// An unordered pair (a NaN on either side) breaks the search's contract.
template <class T>
inline void require_ordered(T stored, T query) {
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isunordered(stored, query)) {
            throw Panic("nan or inf encountered");
        }
    }
}

// Three-way comparison of a stored element with a query. Integers compare in
// their own signedness; float64 compares as IEEE numbers (-0.0 equals +0.0).
template <class T>
inline int compare(T stored, T query) {
    require_ordered(stored, query);
    return (stored > query) - (stored < query);
}

}  // namespace detail

struct SearchResult {
    bool found;         // s[index] equals the query
    std::size_t index;  // if not found: the number of elements below the query
};

// Halving search over s[0..n), n >= 1, strictly increasing: the element equal
// to q, or the insertion point.
template <class T>
inline SearchResult search(const T* s, std::size_t n, T q) {
    std::size_t size = n;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        // Both candidates for the next probe, fetched while this one compares:
        // in a large table each probe is otherwise a cache miss in turn.
        platform::prefetch(s + base + half / 2);
        platform::prefetch(s + mid + half / 2);
        base = detail::compare(s[mid], q) > 0 ? base : mid;
        size -= half;
    }
    const int c = detail::compare(s[base], q);
    if (c == 0) {
        return {true, base};
    }
    return {false, c < 0 ? base + 1 : base};
}

template <class T>
inline SearchResult search(const Sequence<T>& s, T q) {
    return search(s.data(), s.size(), q);
}

// The same answer as search(), found from `hint`, the previous query's answer:
// at the hint or next to it for sorted queries, else by galloping away from it
// (steps of 1, 2, 4, ...) and halving the last step, which costs the logarithm
// of the distance rather than of the table. The answer for a strictly
// increasing sequence is unique, so every route gives the same one. A NaN
// satisfies no comparison here and ends in the halving search, which raises the
// failure.
template <class T>
inline SearchResult search_from(const Sequence<T>& s, T q, std::size_t hint) {
    const T* data = s.data();
    const std::size_t n = s.size();
    // The answer is i when s[i-1] < q <= s[i], with the missing ends counted true.
    const auto answer_at = [&](std::size_t i) -> bool {
        return (i == 0 || data[i - 1] < q) && (i == n || q <= data[i]);
    };
    const auto result = [&](std::size_t i) -> SearchResult { return {i < n && data[i] == q, i}; };
    if (answer_at(hint)) {
        return result(hint);
    }
    if (hint < n && data[hint] < q) {
        if (answer_at(hint + 1)) {
            return result(hint + 1);
        }
        // Above: s[lo - 1] < q, the answer is in [lo, n].
        std::size_t lo = hint + 1;
        std::size_t step = 1;
        while (lo + step - 1 < n && data[lo + step - 1] < q) {
            lo += step;
            step *= 2;
        }
        if (lo == n) {
            return {false, n};
        }
        const std::size_t end = lo + step - 1 < n ? lo + step : n;
        const SearchResult r = search(data + lo, end - lo, q);
        return {r.found, lo + r.index};
    }
    if (hint > 0 && q <= data[hint - 1]) {
        // Below: the answer is in [0, hint - 1].
        return search(data, hint, q);
    }
    return search(s, q);
}

#if defined(RUST_HAVE_LANES)

namespace detail {

// Lanes of keys at most q, among the valid ones; by numeric value for float64
// (a NaN query is at least no key).
[[gnu::target("avx512f")]] inline __mmask8 at_most(__m512i keys, std::uint64_t q, __mmask8 valid) noexcept {
    return _mm512_mask_cmple_epu64_mask(valid, keys, _mm512_set1_epi64(static_cast<long long>(q)));
}

[[gnu::target("avx512f")]] inline __mmask8 at_most(__m512i keys, std::int64_t q, __mmask8 valid) noexcept {
    return _mm512_mask_cmple_epi64_mask(valid, keys, _mm512_set1_epi64(q));
}

[[gnu::target("avx512f")]] inline __mmask8 at_most(__m512i keys, double q, __mmask8 valid) noexcept {
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
[[gnu::target("avx512f,popcnt")]] void search_batch_lanes(const T* data, std::size_t n, const T* q, std::size_t count,
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

// Lanes where a is below b (integer keys), among the valid ones.
template <class T>
[[gnu::target("avx512f")]] __mmask8 lanes_below(__m512i a, __m512i b, __mmask8 valid) noexcept {
    static_assert(std::is_integral_v<T> && sizeof(T) == 8);
    return std::is_signed_v<T> ? _mm512_mask_cmplt_epi64_mask(valid, a, b) : _mm512_mask_cmplt_epu64_mask(valid, a, b);
}

// Lane l of below[g], for each group g of eight queries q[g]: the number of
// keys among data[0..count) below lane l of q[g] (integer keys), one compare
// of all groups per key.
template <class T, std::size_t Groups>
[[gnu::target("avx512f")]] void count_below_lanes(const T* data, std::size_t count, const __m512i (&q)[Groups],
                                                 __m512i (&below)[Groups]) {
    const __m512i one = _mm512_set1_epi64(1);
    for (std::size_t g = 0; g < Groups; ++g) {
        below[g] = _mm512_setzero_si512();
    }
    for (std::size_t m = 0; m < count; ++m) {
        const __m512i key = _mm512_set1_epi64(static_cast<long long>(data[m]));
        for (std::size_t g = 0; g < Groups; ++g) {
            below[g] = _mm512_mask_add_epi64(below[g], lanes_below<T>(key, q[g], 0xFF), below[g], one);
        }
    }
}

#endif

// Tables up to this size are searched as if every probe hit the cache (32 KiB:
// the smallest first-level data cache of current x86-64 cores); measured, the
// per-query search stops paying between 32 and 64 KiB.
inline constexpr std::size_t kCachedBytes = 32 * 1024;

// Halving searches for a batch of scattered queries: base[j] ends as the index
// where search() makes its final comparison for q[j]. Every step is free of
// branches (a branch would guess wrong half the time on scattered queries).
// A table that fits the first-level cache is searched one query after the
// other, each query's steps in registers, while the processor overlaps the
// searches of several queries on its own; a larger one in lockstep, one step
// of every query at a time, so that while one query waits for its probe to
// arrive from memory the others go on. NaN queries take no special route here:
// the final comparison, made by the caller in query order, raises the failure.
template <class T>
inline void search_batch(const Sequence<T>& s, const T* q, std::size_t count, std::size_t* base) {
    const T* data = s.data();
    const std::size_t n = s.size();
#if defined(RUST_HAVE_LANES)
    if (n <= kLaneSearchKeys && divop::lanes_enabled()) {
        search_batch_lanes(data, n, q, count, base);
        return;
    }
#endif
    if (n * sizeof(T) <= kCachedBytes) {
        for (std::size_t j = 0; j < count; ++j) {
            const T key = q[j];
            std::size_t b = 0;
            for (std::size_t size = n; size > 1;) {
                const std::size_t half = size / 2;
                // A select, which the compiler makes a conditional move.
                b = data[b + half] > key ? b : b + half;
                size -= half;
            }
            base[j] = b;
        }
        return;
    }
    for (std::size_t j = 0; j < count; ++j) {
        base[j] = 0;
    }
    for (std::size_t size = n; size > 1;) {
        const std::size_t half = size / 2;
        const std::size_t next_half = (size - half) / 2;
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t b = base[j];
            const std::size_t take = std::size_t{0} - static_cast<std::size_t>(!(data[b + half] > q[j]));
            base[j] = b + (half & take);
            platform::prefetch(data + base[j] + next_half);
        }
        size -= half;
    }
}

// The answer of search() from the index search_batch() left.
template <class T>
inline SearchResult finish_search(const Sequence<T>& s, T q, std::size_t base) {
    const T stored = s[base];
    detail::require_ordered(stored, q);
    // Two plain comparisons rather than a three-way one: the compiler built
    // that from byte-sized flags in a register left over from the previous
    // query's answer, which chained each query of a batch to the one before.
    return {stored == q, base + static_cast<std::size_t>(stored < q)};
}

}  // namespace rust
