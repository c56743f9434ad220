// Where a query stands in a strictly increasing sequence.
//
// The halving search that defines the answer, and the same answer found from
// the last one.
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>

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

}  // namespace rust
