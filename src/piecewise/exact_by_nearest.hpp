// Exact positions at Nearest's cost: an Exact call's queries answered by
// Nearest's rounding, on an engine that tells whether its steps were exact.
//
// Under the Exact method each quotient between two tie points is tested for
// wholeness before its position is written, a test that lengthens every
// query's chain of steps. Where the engine keeps a sticky inexact flag (the
// x87 unit), a stretch of queries can instead be answered by Nearest's
// rounding with its steps watched: if none of them rounded, every quotient was
// the rational position itself and its store to the nearest integer exact, so
// whole, and Nearest's position is Exact's. A stretch in which some step
// rounded (a position that is not whole among them), or which met a failure
// or a Panic, goes again by the Exact method itself, which finds the first
// failure in query order. Outside the table the Exact method's refusal holds
// throughout.
//
// Two routes watch: without lanes, the whole walk, a stretch at a time
// (walk_exact_watched); with them, whose runs work exact positions out in
// integers and never touch the flag, only the scattered route's batches
// (answer_scattered_batch).
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>

#include "extended/f80.hpp"
#include "piecewise/direction.hpp"
#include "piecewise/interp_error.hpp"
#include "schemes/method.hpp"

namespace rust::detail {

// Whether an Exact call of these queries can be watched: inverse queries of
// float64 values, on an engine that tells.
template <class Queries>
inline constexpr bool kWatchable = false;

template <class X, class F>
inline constexpr bool kWatchable<InverseQueries<X, F>> = F80::kTellsExactness && std::is_floating_point_v<F>;

// The queries of an Exact call, answered inside the table as Nearest answers
// them (segments, one-query steps and lanes alike); outside it, Exact's
// refusal. Never handed to a route with lanes: they would round as Nearest's
// do, with no flag raised to tell (on the lanes' path only the scattered
// route, which has none, takes it).
template <class X, class F>
struct ExactByNearest : InverseQueries<X, F> {
    explicit ExactByNearest(const InverseQueries<X, F>& queries)
        : InverseQueries<X, F>{queries.keys, queries.positions, Method::Nearest} {}

    std::optional<InterpError> outside(std::size_t, X&) const noexcept { return InterpError::OutOfBounds; }
};

// Stretches up to this long are watched: a stretch whose steps rounded is
// answered twice, and the flag's test costs about what a few dozen steps do,
// and more, as it waits for every step before it.
inline constexpr std::size_t kWatchedQueries = 4096;

}  // namespace rust::detail
