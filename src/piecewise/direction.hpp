// The two directions of a query, as the walk and the one-query answer see them.
//
// What each searches, and how it answers outside the table, on a tie point and
// inside a segment.
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>

#include "piecewise/interp_error.hpp"
#include "piecewise/lane_table.hpp"
#include "piecewise/sequence.hpp"
#include "platform/hints.hpp"
#include "platform/vector_path.hpp"
#include "schemes/method.hpp"
#include "schemes/scheme.hpp"

namespace rust {

namespace detail {

// A segment of a kind without a light set-up: each query answered by the
// direction's inside().
template <class Q>
struct OneByOne {
    const Q* queries;
    std::size_t i;

    bool answer(typename Q::Key key, typename Q::Answer& out) const { return queries->inside(i, key, out); }
};

// Stands for any use of a direction's with_few_of() or a segment kind's
// with_fixed_few(), to ask whether it has one.
struct AnyUse {
    template <class Make>
    bool operator()(const Make&) const noexcept {
        return true;
    }
};

}  // namespace detail

// What the walk and the one-query answer ask of a direction: the searched
// sequence `keys`, the answer on a tie point (hit), outside the table (index
// 0 or n: a fill, or the failure), and strictly inside segment i (false: the
// Exact method found nothing); set_up(segment, i) sets up the direction's
// segment kind, which the walk hands runs of queries to, and with_few_of(use)
// calls use(few_of), few_of(i, lo, hi) segment i set up for a few queries,
// with inside()'s answers, its searched ends lo = keys[i - 1] and hi = keys[i]
// given by the caller, who has them at hand.
template <class Q>
concept Direction =
    requires(const Q q, std::size_t i, typename Q::Key key, typename Q::Answer& out,
             std::optional<typename Q::Segment>& segment) {
        { q.keys } -> std::convertible_to<const Sequence<typename Q::Key>&>;
        { q.hit(i) } -> std::same_as<typename Q::Answer>;
        { q.outside(i, out) } -> std::same_as<std::optional<InterpError>>;
        { q.inside(i, key, out) } -> std::same_as<bool>;
        q.with_few_of(detail::AnyUse{});
        q.set_up(segment, i);
        q.prefetch(i);
    } && SegmentKind<typename Q::Segment, typename Q::Key, typename Q::Answer>;

// What each direction searches and how it answers: forward searches the
// positions xp and answers with values, inverse searches the values fp and
// answers with positions. Both share the walk and the one-query answer.
template <class X, class F>
struct ForwardQueries {
    using Key = X;
    using Answer = F;
    using Segment = ForwardSegment<X, F>;

    const Sequence<X>& keys;    // xp
    const Sequence<F>& values;  // fp

    Answer hit(std::size_t i) const noexcept { return values[i]; }

    // Below the first position (index 0) or above the last (index n): a
    // forward query has nothing to fill with.
    std::optional<InterpError> outside(std::size_t, Answer&) const noexcept { return InterpError::OutOfBounds; }

    // Segment i set up in place.
    void set_up(std::optional<Segment>& segment, std::size_t i) const {
        segment.emplace(keys[i - 1], keys[i], values[i - 1], values[i]);
    }

    // One query strictly inside segment i, by the scheme's definition (or on
    // its right end, for segment kinds that answer there: kAnswersAtEnds).
    bool inside(std::size_t i, Key key, Answer& out) const {
        out = Scheme<X, F>::forward(key, keys[i - 1], keys[i], values[i - 1], values[i]);
        return true;
    }

    // Whether the segment kind has a light set-up of its own for a few
    // queries, which answers its right end too.
    static constexpr bool kOwnFew = requires(const X x, const F f) { Segment::few(x, x, f, f); };

    // use(few_of), few_of(i, lo, hi) segment i set up for the few queries a large
    // table's sorted queries bring it: the segment kind's light set-up where
    // it has one, else inside() for each.
    template <class Use>
    decltype(auto) with_few_of(Use&& use) const {
        if constexpr (kOwnFew) {
            return use([f = values.data()](std::size_t i, X lo, X hi) { return Segment::few(lo, hi, f[i - 1], f[i]); });
        } else {
            return use([this](std::size_t i, X, X) { return detail::OneByOne<ForwardQueries>{this, i}; });
        }
    }

    void prefetch(std::size_t i) const noexcept { platform::prefetch(values.data() + i); }

#if defined(RUST_HAVE_LANES)
    // The table's windows from entry first on, for inside_lanes().
    [[RUST_LANES_TARGET("avx512f")]] detail::LaneTable lane_table(std::size_t first) const noexcept {
        return {detail::lane_window(keys, first), detail::lane_window(values, first)};
    }

    // Eight queries at once, lane l of key inside (or on the right end of)
    // the segment table.ends(below) picks for it: the lanes answered, as
    // inside() answers them, written to out[0..8) (the others are left to
    // inside()).
    [[RUST_LANES_TARGET("avx512f,avx512dq")]] __mmask8 inside_lanes(const detail::LaneTable& table, __m512i below,
                                                             __m512i key, Answer* out) const {
        const detail::LaneEnds e = table.ends(below);
        return Scheme<X, F>::forward_lanes(key, e.x0, e.x1, e.f0, e.f1, out);
    }
#endif
};

template <class X, class F>
struct InverseQueries {
    using Key = F;
    using Answer = X;
    using Segment = InverseSegment<X, F>;

    const Sequence<F>& keys;       // fp
    const Sequence<X>& positions;  // xp
    Method method;

    Answer hit(std::size_t i) const noexcept { return positions[i]; }

    // Below the first value (index 0) Nearest and Bfill fill with the first
    // position, above the last (index n) Nearest and Ffill with the last; the
    // other methods find nothing there.
    std::optional<InterpError> outside(std::size_t index, Answer& out) const noexcept {
        const bool below = index == 0;
        if (method != Method::Nearest && method != (below ? Method::Bfill : Method::Ffill)) {
            return InterpError::OutOfBounds;
        }
        out = below ? positions[0] : positions[positions.size() - 1];
        return std::nullopt;
    }

    void set_up(std::optional<Segment>& segment, std::size_t i) const {
        segment.emplace(positions[i - 1], positions[i], keys[i - 1], keys[i], method);
    }

    // As for the forward queries.
    bool inside(std::size_t i, Key key, Answer& out) const {
        const std::optional<X> x =
            Scheme<X, F>::inverse(key, positions[i - 1], positions[i], keys[i - 1], keys[i], method);
        out = x.value_or(X{});
        return x.has_value();
    }

    // As for the forward queries; a kind's light set-up has the method's
    // rounding fixed for the call.
    static constexpr bool kOwnFew = requires(Method m) { Segment::with_fixed_few(m, detail::AnyUse{}); };

    // As for the forward queries.
    template <class Use>
    decltype(auto) with_few_of(Use&& use) const {
        if constexpr (kOwnFew) {
            return Segment::with_fixed_few(method, [&](const auto make) {
                return use([x = positions.data(), make](std::size_t i, Key lo, Key hi) {
                    return make(x[i - 1], x[i], lo, hi);
                });
            });
        } else {
            return use([this](std::size_t i, Key, Key) { return detail::OneByOne<InverseQueries>{this, i}; });
        }
    }

    void prefetch(std::size_t i) const noexcept { platform::prefetch(positions.data() + i); }

#if defined(RUST_HAVE_LANES)
    // As for the forward queries.
    [[RUST_LANES_TARGET("avx512f")]] detail::LaneTable lane_table(std::size_t first) const noexcept {
        return {detail::lane_window(positions, first), detail::lane_window(keys, first)};
    }

    [[RUST_LANES_TARGET("avx512f,avx512dq")]] __mmask8 inside_lanes(const detail::LaneTable& table, __m512i below,
                                                             __m512i key, Answer* out) const {
        const detail::LaneEnds e = table.ends(below);
        return Scheme<X, F>::inverse_lanes(key, e.x0, e.x1, e.f0, e.f1, method, out);
    }
#endif
};

}  // namespace rust
