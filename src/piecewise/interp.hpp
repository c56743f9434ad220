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
        base = detail::compare(s[mid], q) > 0 ? base : mid;
        size -= half;
    }
    const int c = detail::compare(s[base], q);
    if (c == 0) {
        return {true, base};
    }
    return {false, c < 0 ? base + 1 : base};
}

// The tie points of one call: positions xp (X) and values fp (F), fp[i] at xp[i].
// Immutable after construction; the monotonicity flags are computed once here so
// that queries only read them.
template <class X, class F>
class Interp {
public:
    // Throws Panic when the lengths differ; unordered data only clears a flag.
    Interp(Sequence<X> xp, Sequence<F> fp) : xp_(std::move(xp)), fp_(std::move(fp)) {
        if (xp_.size() != fp_.size()) {
            throw Panic("xp and fp must have same length");
        }
        xp_increasing_ = detail::strictly_increasing(xp_);
        fp_increasing_ = detail::strictly_increasing(fp_);
    }

    bool xp_increasing() const noexcept { return xp_increasing_; }
    bool fp_increasing() const noexcept { return fp_increasing_; }
    std::size_t size() const noexcept { return xp_.size(); }

    // The value at position x. Only xp's order matters: fp may be in any order
    // (and, for float tables, hold NaN or infinities, returned as stored on a hit).
    Outcome<F> forward(X x) const {
        if (!xp_increasing_) {
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
        if (!fp_increasing_) {
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
        if (s.index == 0) {
            const bool fill = method == Method::Nearest || method == Method::Bfill;
            return fill ? Outcome<X>::ok(xp_[0]) : Outcome<X>::fail(InterpError::OutOfBounds);
        }
        if (s.index == n) {
            const bool fill = method == Method::Nearest || method == Method::Ffill;
            return fill ? Outcome<X>::ok(xp_[n - 1]) : Outcome<X>::fail(InterpError::OutOfBounds);
        }
        const std::size_t i = s.index;
        const std::optional<X> x = Scheme<X, F>::inverse(f, xp_[i - 1], xp_[i], fp_[i - 1], fp_[i], method);
        return x ? Outcome<X>::ok(*x) : Outcome<X>::fail(InterpError::NotFound);
    }

private:
    Sequence<X> xp_;
    Sequence<F> fp_;
    bool xp_increasing_ = true;
    bool fp_increasing_ = true;
};

}  // namespace rust
