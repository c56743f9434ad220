// The walk of an Exact call watched a stretch at a time, on the path without
// lanes (see exact_by_nearest.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>

#include "extended/f80.hpp"
#include "panic.hpp"
#include "piecewise/direction.hpp"
#include "piecewise/exact_by_nearest.hpp"
#include "piecewise/interp_error.hpp"
#include "piecewise/walk.hpp"
#include "platform/vector_path.hpp"

namespace rust::detail {

// Only the path without lanes: the vector routes work exact positions out in
// integers, never touching the flag, so their segments keep the Exact method
// (their scattered batches are watched on their own).
template <class Path, class Queries>
inline constexpr bool kWatchesExact = !Path::kLanes && kWatchable<Queries>;

// walk() of an Exact call's queries, watched a stretch at a time.
template <VectorPath Path, class X, class F, class Read>
std::optional<InterpError> walk_exact_watched(Path path, const InverseQueries<X, F>& queries, std::size_t count,
                                              Read& read, X* out) {
    const ExactByNearest<X, F> watched(queries);
    for (std::size_t start = 0; start < count; start += kWatchedQueries) {
        // read copied (a pointer or so), so that a run reaches the queries
        // through this object alone, not through it and read in turn.
        const auto from_start = [read, start](std::size_t k) { return read(start + k); };
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
