// The query walk: a whole query array answered in index order.
//
// The same answers as one query at a time, by routes that fit the order the
// queries come in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>

#include "piecewise/dense_route.hpp"
#include "piecewise/direction.hpp"
#include "piecewise/interp_error.hpp"
#include "piecewise/one_query.hpp"
#include "piecewise/scattered_route.hpp"
#include "piecewise/search.hpp"
#include "piecewise/sequence.hpp"
#include "platform/vector_path.hpp"
#include "schemes/scheme.hpp"

namespace rust {

namespace detail {

struct FirstQueries {
    std::size_t next;  // the first query not answered
    bool set_up;       // setting the segment up pays from read(next) on
    bool failed;       // read(next) lies inside but has no answer
};

// A segment's first queries, from read(k) = current on (strictly inside
// segment i), answered by the definition for as long as the segment kind says
// setting it up would not pay yet: in a large table many segments see one
// query or a few. Kinds whose setup costs about one query are set up at once.
// Ends where setting up pays, or at the first query not inside the segment.
template <class Queries, class Read>
FirstQueries answer_first_queries(const Queries& queries, Read& read, std::size_t k, std::size_t count,
                                  std::size_t i, typename Queries::Key current, typename Queries::Answer* out) {
    using Key = typename Queries::Key;
    using Segment = typename Queries::Segment;
    const Key lo = queries.keys[i - 1];
    const Key hi = queries.keys[i];
    std::size_t answered = 0;
    bool set_up = Segment::set_up_now(answered, current, current, hi);
    while (!set_up) {
        if (!queries.inside(i, current, out[k])) {
            return {k, false, true};
        }
        ++answered;
        if (++k == count) {
            break;
        }
        const Key next = read(k);
        if (!(lo < next && next < hi)) {
            break;
        }
        set_up = Segment::set_up_now(answered, current, next, hi);
        current = next;
    }
    return {k, set_up, false};
}

// walk() with the call's few_of.
template <VectorPath Path, Direction Queries, class FewOf, class Read>
std::optional<InterpError> walk_with(Path path, const Queries& queries, const FewOf& few_of, std::size_t count,
                                     Read& read, typename Queries::Answer* out) {
    using Key = typename Queries::Key;
    using Segment = typename Queries::Segment;
    const Sequence<Key>& keys = queries.keys;
    const std::size_t n = keys.size();
    std::size_t hint = 0;
    std::size_t segment_index = 0;  // no segment set up yet (segments start at 1)
    std::optional<Segment> segment;
    unsigned far = 0;
    std::size_t searched = 0;  // the last query the walk searched for
    detail::Scattered<detail::MemoOf<Queries, FewOf>> scattered{0, 0, {queries, few_of, count}};
    std::size_t k = 0;
    while (k < count) {
        if (far >= detail::kFarQueries) {
            const std::size_t end = std::min(count, k + detail::kBatch);
            scattered.hint = hint;
            if (const std::optional<InterpError> e =
                    detail::answer_scattered_batch(path, queries, read, k, end, count, out, scattered)) {
                return e;
            }
            hint = scattered.hint;
            if (scattered.goes_back(end - k)) {
                far = 0;
            }
            k = end;
            continue;
        }
        const Key key = read(k);
        const SearchResult s = search_from(keys, key, hint);
        const std::size_t distance = s.index > hint ? s.index - hint : hint - s.index;
        // Scattered queries on a small table land near each other, but come
        // back to an earlier segment after a query or a few; descending
        // queries come back too, but after a whole segment's run where each
        // segment sees many, and those keep the sorted routes.
        const bool back = s.index < hint && k - searched < detail::kShortQueries;
        far = distance <= detail::kNear && !back ? 0 : far + 1;
        searched = k;
        hint = s.index;
        if (s.found) {
            out[k++] = queries.hit(s.index);
            continue;
        }
        if (s.index == 0 || s.index == n) {
            if (const std::optional<InterpError> e = queries.outside(s.index, out[k])) {
                return e;
            }
            ++k;
            continue;
        }
        // Segment i, then, while the queries go on into the segment after it
        // (sorted queries on a large table do, a few to a segment), that one
        // without a search.
        std::size_t i = s.index;
        Key current = key;
        unsigned short_segments = 0;
        for (;;) {
            const std::size_t first = k;
            if (i != segment_index) {
                const detail::FirstQueries f = detail::answer_first_queries(queries, read, k, count, i, current, out);
                if (f.failed) {
                    return InterpError::NotFound;
                }
                k = f.next;
                const bool set_up = f.set_up;
                if (set_up) {
                    queries.set_up(segment, i);
                    segment_index = i;
                }
            }
            if (i == segment_index) {
                const RunEnd end = segment->answer_run(path, read, k, count, keys[i - 1], keys[i], out);
                if (end.failed) {
                    return InterpError::NotFound;
                }
                k = end.next;
            }
            if (k == count) {
                break;
            }
            current = read(k);
            if (!(i + 1 < n && keys[i] < current && current < keys[i + 1])) {
                break;
            }
            hint = ++i;
            // Routes that answer a query on a segment's right end as the tie
            // point: the vector one where the kind's lanes or one-query answers
            // do, the one without lanes where the kind sets itself up for a few
            // queries.
            if constexpr (Path::kLanes ? Segment::kAnswersAtEnds || kLanesAnswerEnds<Segment> : Queries::kOwnFew) {
                short_segments = k - first < detail::kShortQueries ? short_segments + 1 : 0;
                if (short_segments >= detail::kShortSegments) {
                    const detail::RouteEnd end =
                        detail::answer_dense_route(path, queries, few_of, read, k, count, i, out);
                    if (end.failed) {
                        return InterpError::NotFound;
                    }
                    k = end.next;
                    hint = end.segment;
                    break;
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace detail

// answer_one() for the queries read(0), ..., read(count - 1), the answers
// stored in out[0..count). Stops at the first failure and returns it; out is
// then written up to it. The table must be non-empty and its searched sequence
// strictly increasing.
//
// Routes, all giving answer_one()'s results:
// - sorted queries: the search starts from the previous answer, and a run of
//   queries strictly inside one segment skips it, handed to the segment a block
//   at a time, whose setup serves the whole run (and whose integer arithmetic
//   steps from query to query when they are evenly spaced); a query that goes
//   on strictly inside the next segment skips it too; where segments see a
//   few queries each, they go on from segment to segment, each set up
//   lightly as its first query comes, or (with AVX-512) in sorted batches,
//   each query's segment counted among the batch's few keys and the queries
//   answered eight at a time;
// - scattered queries: batches searched in lockstep.
// Every route takes the call's vector path, and sets segments up for a few
// queries by one few_of, which the direction may fix for the call (an
// inverse method's rounding) rather than ask of each query.
template <VectorPath Path, Direction Queries, class Read>
std::optional<InterpError> walk(Path path, const Queries& queries, std::size_t count, Read&& read,
                                typename Queries::Answer* out) {
    return queries.with_few_of(
        [&](const auto few_of) { return detail::walk_with(path, queries, few_of, count, read, out); });
}

}  // namespace rust
