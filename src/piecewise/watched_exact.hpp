// Exact positions at Nearest's cost: the inverse by the Exact method on an
// engine that tells whether its steps were exact.
//
// Under the Exact method each quotient between two tie points is tested for
// wholeness before its position is written, a test that lengthens every
// query's chain of steps. Where the engine keeps a sticky inexact flag (the
// x87 unit), a stretch of queries can instead be answered by Nearest's
// rounding with its steps watched: if none of them rounded, every quotient was
// the rational position itself and its store to the nearest integer exact, so
// whole, and Nearest's position is Exact's. A stretch in which some step
// rounded (a position that is not whole among them), or which met a Panic,
// goes again with the rest of the call by the Exact method itself, which finds
// the first failure in query order. Outside the table the Exact method's
// refusal holds throughout.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <type_traits>

#include "extended/f80.hpp"
#include "panic.hpp"
#include "piecewise/direction.hpp"
#include "piecewise/interp_error.hpp"
#include "piecewise/walk.hpp"
#include "platform/vector_path.hpp"
#include "schemes/method.hpp"

namespace rust::detail {

// Only the path without lanes: the vector routes work exact positions out in
// integers, never touching the flag, so their segments keep the Exact method.
template <class Path, class F>
inline constexpr bool kWatchesExact = !Path::kLanes && F80::kTellsExactness && std::is_floating_point_v<F>;

// The queries of an Exact call, answered inside the table as Nearest answers
// them (segments and one-query steps alike); outside it, Exact's refusal. Never
// walked on the lanes' path: its lanes would round as Nearest's do, with no
// flag raised to tell.
template <class X, class F>
struct ExactByNearest : InverseQueries<X, F> {
    explicit ExactByNearest(const InverseQueries<X, F>& queries)
        : InverseQueries<X, F>{queries.keys, queries.positions, Method::Nearest} {}

    std::optional<InterpError> outside(std::size_t, X&) const noexcept { return InterpError::OutOfBounds; }
};

// Stretches this long are watched: a stretch whose steps rounded is answered
// twice, and the flag's test costs about what a few dozen steps do.
inline constexpr std::size_t kWatchedQueries = 4096;

// walk() of an Exact call's queries, watched a stretch at a time.
template <VectorPath Path, class X, class F, class Read>
std::optional<InterpError> walk_exact_watched(Path path, const InverseQueries<X, F>& queries, std::size_t count,
                                              Read& read, X* out) {
    const ExactByNearest<X, F> watched(queries);
    for (std::size_t start = 0; start < count; start += kWatchedQueries) {
        const auto from_start = [&read, start](std::size_t k) { return read(start + k); };
        std::optional<InterpError> failure;
        bool exact = false;
        F80::watch_exactness();
        try {
            failure = walk(path, watched, std::min(kWatchedQueries, count - start), from_start, out + start);
            exact = F80::steps_were_exact();
        } catch (const Panic&) {
            // The Exact method may fail before the query that threw; the flag
            // is raised again, as the call keeps it, either way.
            F80::steps_were_exact();
        }
        if (!exact) {
            return walk(path, queries, count - start, from_start, out + start);
        }
        if (failure) {
            return failure;
        }
    }
    return std::nullopt;
}

}  // namespace rust::detail
