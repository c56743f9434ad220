// The tie-point table: exact hits, fill rules outside, segment schemes inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "panic.hpp"
#include "piecewise/interp_error.hpp"
#include "piecewise/sequence.hpp"
#include "piecewise/walk.hpp"
#include "piecewise/watched_exact.hpp"
#include "platform/vector_path.hpp"
#include "schemes/method.hpp"

namespace rust {

namespace detail {

#if defined(RUST_HAVE_LANES)

// Lanes where `later` is not above `earlier`: by the type's own order, and
// for float64 also where either is NaN.
[[RUST_LANES_TARGET("avx512f")]] inline __mmask8 not_above(const std::uint64_t* later,
                                                       const std::uint64_t* earlier) noexcept {
    return _mm512_cmple_epu64_mask(_mm512_loadu_si512(later), _mm512_loadu_si512(earlier));
}

[[RUST_LANES_TARGET("avx512f")]] inline __mmask8 not_above(const std::int64_t* later,
                                                       const std::int64_t* earlier) noexcept {
    return _mm512_cmple_epi64_mask(_mm512_loadu_si512(later), _mm512_loadu_si512(earlier));
}

[[RUST_LANES_TARGET("avx512f")]] inline __mmask8 not_above(const double* later, const double* earlier) noexcept {
    return _mm512_cmp_pd_mask(_mm512_loadu_pd(later), _mm512_loadu_pd(earlier), _CMP_NGT_UQ);
}

// Pairs [1, n) checked 32 at a time; returns where the rest starts, or 0 for
// a pair out of order.
template <class T>
[[RUST_LANES_TARGET("avx512f")]] std::size_t increasing_lanes(const T* data, std::size_t n) noexcept {
    std::size_t i = 1;
    for (; i + 32 <= n; i += 32) {
        const unsigned out_of_order = not_above(data + i, data + i - 1) | not_above(data + i + 8, data + i + 7) |
                                      not_above(data + i + 16, data + i + 15) |
                                      not_above(data + i + 24, data + i + 23);
        if (out_of_order != 0) {
            return 0;
        }
    }
    return i;
}

#endif

// Strictly increasing by the type's own order; false for NaN neighbours and for
// -0.0 followed by +0.0. Every call checks its whole table, so this runs at
// memory speed: 32 pairs to a branch where the CPU has AVX-512, else blocks of
// pairs compared without a branch each; the scan stops within a block of the
// first pair out of order.
template <VectorPath Path, class T>
inline bool strictly_increasing(Path, const Sequence<T>& s) noexcept {
    constexpr std::size_t kBlock = 64;
    const T* data = s.data();
    const std::size_t n = s.size();
    std::size_t i = 1;
#if defined(RUST_HAVE_LANES)
    if constexpr (Path::kLanes) {
        i = increasing_lanes(data, n);
        if (i == 0) {
            return false;
        }
    }
#endif
    for (; i + kBlock <= n; i += kBlock) {
        bool in_order = true;
        for (std::size_t j = i; j < i + kBlock; ++j) {
            in_order &= data[j] > data[j - 1];
        }
        if (!in_order) {
            return false;
        }
    }
    for (; i < n; ++i) {
        if (!(data[i] > data[i - 1])) {
            return false;
        }
    }
    return true;
}

}  // namespace detail

// The tie points of one call: positions xp (X) and values fp (F), fp[i] at xp[i].
// Immutable after construction.
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
        return with_vector_path([&](auto path) { return xp_increasing(path); });
    }
    bool fp_increasing() const noexcept {
        return with_vector_path([&](auto path) { return fp_increasing(path); });
    }

    // The value at position x. Only xp's order matters: fp may be in any order
    // (and, for float tables, hold NaN or infinities, returned as stored on a hit).
    Outcome<F> forward(X x) const {
        F value{};
        if (const std::optional<InterpError> e = refuse(xp_increasing())) {
            return Outcome<F>::fail(*e);
        }
        if (const std::optional<InterpError> e = answer_one(forward_queries(), x, value)) {
            return Outcome<F>::fail(*e);
        }
        return Outcome<F>::ok(value);
    }

    // The position of value f under the fill method. Only fp's order matters:
    // xp may be repeated or decreasing.
    Outcome<X> inverse(F f, Method method) const {
        X position{};
        if (const std::optional<InterpError> e = refuse(fp_increasing())) {
            return Outcome<X>::fail(*e);
        }
        if (const std::optional<InterpError> e = answer_one(inverse_queries(method), f, position)) {
            return Outcome<X>::fail(*e);
        }
        return Outcome<X>::ok(position);
    }

    // forward() for the queries read(0), ..., read(count - 1), in index order, the
    // results stored in out[0..count). Stops at the first failure and returns it;
    // out is then partly written. The same results as calling forward() on each.
    template <class Read>
    std::optional<InterpError> forward_into(std::size_t count, Read&& read, F* out) const {
        if (count == 0) {
            return std::nullopt;
        }
        return with_vector_path([&](auto path) -> std::optional<InterpError> {
            if (const std::optional<InterpError> e = refuse(xp_increasing(path))) {
                return e;
            }
            return walk(path, forward_queries(), count, read, out);
        });
    }

    // inverse() for many queries, as forward_into() for forward().
    template <class Read>
    std::optional<InterpError> inverse_into(std::size_t count, Read&& read, Method method, X* out) const {
        if (count == 0) {
            return std::nullopt;
        }
        return with_vector_path([&](auto path) -> std::optional<InterpError> {
            if (const std::optional<InterpError> e = refuse(fp_increasing(path))) {
                return e;
            }
            if constexpr (detail::kWatchesExact<decltype(path), InverseQueries<X, F>>) {
                if (method == Method::Exact) {
                    return detail::walk_exact_watched(path, inverse_queries(method), count, read, out);
                }
            }
            return walk(path, inverse_queries(method), count, read, out);
        });
    }

private:
    template <VectorPath Path>
    bool xp_increasing(Path path) const noexcept {
        if (!xp_increasing_) {
            xp_increasing_ = detail::strictly_increasing(path, xp_);
        }
        return *xp_increasing_;
    }
    template <VectorPath Path>
    bool fp_increasing(Path path) const noexcept {
        if (!fp_increasing_) {
            fp_increasing_ = detail::strictly_increasing(path, fp_);
        }
        return *fp_increasing_;
    }

    // What every query of a direction fails with before any search: an
    // unordered searched sequence, then an empty table (for the inverse too,
    // where Nearest and Bfill would fill with a first position it lacks).
    std::optional<InterpError> refuse(bool searched_increasing) const noexcept {
        if (!searched_increasing) {
            return InterpError::NotStrictlyIncreasing;
        }
        if (xp_.empty()) {
            return InterpError::OutOfBounds;
        }
        return std::nullopt;
    }

    ForwardQueries<X, F> forward_queries() const noexcept { return {xp_, fp_}; }
    InverseQueries<X, F> inverse_queries(Method method) const noexcept { return {fp_, xp_, method}; }

    Sequence<X> xp_;
    Sequence<F> fp_;
    mutable std::optional<bool> xp_increasing_;
    mutable std::optional<bool> fp_increasing_;
};

}  // namespace rust
