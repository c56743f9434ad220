// The tie-point table: exact hits, fill rules outside, segment schemes inside.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "panic.hpp"
#include "piecewise/method.hpp"
#include "piecewise/sequence.hpp"
#include "schemes/scheme.hpp"

namespace rust {

// A query's answer: a value, or the kind of its failure.
template <class T>
struct Outcome {
    T value{};
    std::optional<InterpError> error;

    static Outcome ok(T v) noexcept { return {v, std::nullopt}; }
    static Outcome fail(InterpError e) noexcept { return {T{}, e}; }
    bool has_value() const noexcept { return !error.has_value(); }
};

namespace detail {

// Three-way comparison of a stored element with a query. Integers compare in
// their own signedness; float64 compares as IEEE numbers (-0.0 equals +0.0), and
// an unordered pair (a NaN on either side) breaks the search's contract.
template <class T>
inline int compare(T stored, T query) {
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isunordered(stored, query)) {
            throw Panic("nan or inf encountered");
        }
    }
    return (stored > query) - (stored < query);
}

// Strictly increasing by the type's own order; false for NaN neighbours and for
// -0.0 followed by +0.0. Stops at the first pair out of order.
template <class T>
inline bool strictly_increasing(const Sequence<T>& s) noexcept {
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (!(s[i] > s[i - 1])) {
            return false;
        }
    }
    return true;
}

}  // namespace detail

// Where a query stands in a strictly increasing sequence.
struct SearchResult {
    bool found;         // s[index] equals the query
    std::size_t index;  // if not found: the number of elements below the query
};

// Halving search over a non-empty, strictly increasing sequence: the element
// equal to q, or the insertion point.
template <class T>
inline SearchResult search(const Sequence<T>& s, T q) {
    std::size_t size = s.size();
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        // Both candidates for the next probe, fetched while this one compares:
        // in a large table each probe is otherwise a cache miss in turn.
        __builtin_prefetch(s.data() + base + half / 2);
        __builtin_prefetch(s.data() + mid + half / 2);
        base = detail::compare(s[mid], q) > 0 ? base : mid;
        size -= half;
    }
    const int c = detail::compare(s[base], q);
    if (c == 0) {
        return {true, base};
    }
    return {false, c < 0 ? base + 1 : base};
}

// The same answer as search(), found faster when the query lands at or next to
// `hint`, the index of the previous query's answer, as sorted queries do. The
// answer for a strictly increasing sequence is unique, so where the neighbours
// do not hold it the halving search gives the same one. An unordered query
// (NaN) satisfies no neighbour test and reaches the halving search, which
// raises the failure.
template <class T>
inline SearchResult search_near(const Sequence<T>& s, T q, std::size_t hint) {
    const std::size_t n = s.size();
    // The answer is i when s[i-1] < q <= s[i], with the missing ends counted true.
    const auto answer_at = [&](std::size_t i) -> bool {
        return (i == 0 || s[i - 1] < q) && (i == n || q <= s[i]);
    };
    const auto result = [&](std::size_t i) -> SearchResult { return {i < n && s[i] == q, i}; };
    if (answer_at(hint)) {
        return result(hint);
    }
    if (hint < n && answer_at(hint + 1)) {
        return result(hint + 1);
    }
    return search(s, q);
}

// The tie points of one call: positions xp (X) and values fp (F), fp[i] at xp[i].
// Immutable after construction; the monotonicity flags are computed once, so
// that queries after the first only read them.
template <class X, class F>
class Interp {
public:
    // Throws Panic when the lengths differ; unordered data only clears a flag.
    Interp(Sequence<X> xp, Sequence<F> fp) : xp_(std::move(xp)), fp_(std::move(fp)) {
        if (xp_.size() != fp_.size()) {
            throw Panic("xp and fp must have same length");
        }
    }

    // Each flag is computed once, when a query in its direction first needs it:
    // a call goes one way only, and scanning a large table is most of the cost
    // of a short call.
    bool xp_increasing() const noexcept {
        if (!xp_increasing_) {
            xp_increasing_ = detail::strictly_increasing(xp_);
        }
        return *xp_increasing_;
    }
    bool fp_increasing() const noexcept {
        if (!fp_increasing_) {
            fp_increasing_ = detail::strictly_increasing(fp_);
        }
        return *fp_increasing_;
    }

    // The value at position x. Only xp's order matters: fp may be in any order
    // (and, for float tables, hold NaN or infinities, returned as stored on a hit).
    Outcome<F> forward(X x) const {
        if (!xp_increasing()) {
            return Outcome<F>::fail(InterpError::NotStrictlyIncreasing);
        }
        const std::size_t n = xp_.size();
        if (n == 0) {
            return Outcome<F>::fail(InterpError::OutOfBounds);
        }
        const SearchResult s = search(xp_, x);
        if (s.found) {
            return Outcome<F>::ok(fp_[s.index]);
        }
        if (s.index == 0 || s.index == n) {
            return Outcome<F>::fail(InterpError::OutOfBounds);
        }
        const std::size_t i = s.index;
        return Outcome<F>::ok(Scheme<X, F>::forward(x, xp_[i - 1], xp_[i], fp_[i - 1], fp_[i]));
    }

    // The position of value f under the fill method. Only fp's order matters:
    // xp may be repeated or decreasing.
    Outcome<X> inverse(F f, Method method) const {
        if (!fp_increasing()) {
            return Outcome<X>::fail(InterpError::NotStrictlyIncreasing);
        }
        const std::size_t n = fp_.size();
        if (n == 0) {
            // Nearest and Bfill would fill with the first position, which an
            // empty table does not have.
            return Outcome<X>::fail(InterpError::OutOfBounds);
        }
        const SearchResult s = search(fp_, f);
        if (s.found) {
            return Outcome<X>::ok(xp_[s.index]);
        }
        if (s.index == 0 || s.index == n) {
            return fill_outside(s.index, method);
        }
        const std::size_t i = s.index;
        const std::optional<X> x = Scheme<X, F>::inverse(f, xp_[i - 1], xp_[i], fp_[i - 1], fp_[i], method);
        return x ? Outcome<X>::ok(*x) : Outcome<X>::fail(InterpError::NotFound);
    }

    // forward() for the queries read(0), ..., read(count - 1), in index order, the
    // results stored in out[0..count). Stops at the first failure and returns it;
    // out is then partly written. The same results as calling forward() on each,
    // with the search started from the previous answer and the segment's setup
    // reused while the queries stay on it.
    template <class Read>
    std::optional<InterpError> forward_into(std::size_t count, Read&& read, F* out) const {
        if (count == 0) {
            return std::nullopt;
        }
        if (!xp_increasing()) {
            return InterpError::NotStrictlyIncreasing;
        }
        const std::size_t n = xp_.size();
        if (n == 0) {
            return InterpError::OutOfBounds;
        }
        std::size_t hint = 0;
        std::size_t segment_index = 0;  // no segment set up yet (segments start at 1)
        std::optional<ForwardSegment<X, F>> segment;
        for (std::size_t k = 0; k < count; ++k) {
            const X x = read(k);
            const SearchResult s = search_near(xp_, x, hint);
            hint = s.index;
            if (s.found) {
                out[k] = fp_[s.index];
                continue;
            }
            if (s.index == 0 || s.index == n) {
                return InterpError::OutOfBounds;
            }
            const std::size_t i = s.index;
            if (i != segment_index) {
                segment.emplace(xp_[i - 1], xp_[i], fp_[i - 1], fp_[i]);
                segment_index = i;
            }
            out[k] = (*segment)(x);
            // Sorted queries stay strictly inside one segment for long runs:
            // those need no search at all.
            const X lo = xp_[i - 1];
            const X hi = xp_[i];
            for (; k + 1 < count; ++k) {
                const X next = read(k + 1);
                if (!(lo < next && next < hi)) {
                    break;
                }
                out[k + 1] = (*segment)(next);
            }
        }
        return std::nullopt;
    }

    // inverse() for many queries, as forward_into() for forward().
    template <class Read>
    std::optional<InterpError> inverse_into(std::size_t count, Read&& read, Method method, X* out) const {
        if (count == 0) {
            return std::nullopt;
        }
        if (!fp_increasing()) {
            return InterpError::NotStrictlyIncreasing;
        }
        const std::size_t n = fp_.size();
        if (n == 0) {
            return InterpError::OutOfBounds;
        }
        std::size_t hint = 0;
        std::size_t segment_index = 0;
        std::optional<InverseSegment<X, F>> segment;
        for (std::size_t k = 0; k < count; ++k) {
            const F f = read(k);
            const SearchResult s = search_near(fp_, f, hint);
            hint = s.index;
            if (s.found) {
                out[k] = xp_[s.index];
                continue;
            }
            if (s.index == 0 || s.index == n) {
                const Outcome<X> filled = fill_outside(s.index, method);
                if (!filled.has_value()) {
                    return filled.error;
                }
                out[k] = filled.value;
                continue;
            }
            const std::size_t i = s.index;
            if (i != segment_index) {
                segment.emplace(xp_[i - 1], xp_[i], fp_[i - 1], fp_[i]);
                segment_index = i;
            }
            // As in forward_into, runs of queries inside the segment skip the
            // search; a NaN fails both comparisons and goes back to it.
            const F lo = fp_[i - 1];
            const F hi = fp_[i];
            for (F value = f;;) {
                const std::optional<X> x = (*segment)(value, method);
                if (!x) {
                    return InterpError::NotFound;
                }
                out[k] = *x;
                if (k + 1 == count) {
                    break;
                }
                value = read(k + 1);
                if (!(lo < value && value < hi)) {
                    break;
                }
                ++k;
            }
        }
        return std::nullopt;
    }

private:
    // An inverse query below the first value (index 0) or above the last
    // (index n): Nearest and Bfill fill below with the first position, Nearest
    // and Ffill above with the last; the other methods find nothing there.
    Outcome<X> fill_outside(std::size_t index, Method method) const {
        const std::size_t n = fp_.size();
        if (index == 0) {
            const bool fill = method == Method::Nearest || method == Method::Bfill;
            return fill ? Outcome<X>::ok(xp_[0]) : Outcome<X>::fail(InterpError::OutOfBounds);
        }
        const bool fill = method == Method::Nearest || method == Method::Ffill;
        return fill ? Outcome<X>::ok(xp_[n - 1]) : Outcome<X>::fail(InterpError::OutOfBounds);
    }

    Sequence<X> xp_;
    Sequence<F> fp_;
    mutable std::optional<bool> xp_increasing_;
    mutable std::optional<bool> fp_increasing_;
};

}  // namespace rust
