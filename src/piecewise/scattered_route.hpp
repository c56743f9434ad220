// The scattered route: queries in no order, answered a batch at a time.
//
// Searched in lockstep, their tie points fetched at once, then answered in
// query order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "extended/f80.hpp"
#include "panic.hpp"
#include "piecewise/direction.hpp"
#include "piecewise/exact_by_nearest.hpp"
#include "piecewise/interp_error.hpp"
#include "piecewise/search_batch.hpp"
#include "platform/attributes.hpp"
#include "platform/vector_path.hpp"
#include "schemes/method.hpp"

namespace rust::detail {

// Scattered queries are searched kBatch at a time; the walk goes over to that
// route after kFarQueries queries in a row that each landed more than kNear
// tie points away from the one before, or behind it a few queries after the
// one before was searched, and back when nearly all of a batch (all but
// kBatch / 8) came in ascending order.
inline constexpr std::size_t kBatch = 32;
inline constexpr unsigned kFarQueries = 4;
inline constexpr std::size_t kNear = 16;

// Tables whose searched sequence takes at most this many bytes: with the
// other, both fit a first-level data cache (32 KiB or more on current
// x86-64 and Arm cores).
inline constexpr std::size_t kCachedBytes = 16 * 1024;

// The segments that a call's scattered queries come back to, each set up by
// few_of() at its first query and kept for the later ones, where the
// kind's set-up costs more than a query answered from it (kKeepsFew) and the
// table is small next to the call: at least kMemoQueries queries a segment,
// and at most kMemoSegments segments, whose set-ups are made room for at
// once, when the first is needed, and stay in the second-level cache (a
// larger table's, missing there, cost more than they save). Answers are
// inside()'s.
inline constexpr std::size_t kMemoQueries = 8;
inline constexpr std::size_t kMemoSegments = 1024;

template <class Queries, class FewOf>
class SegmentMemo {
public:
    SegmentMemo(const Queries& queries, const FewOf& few_of, std::size_t count) noexcept
        : few_of_(few_of),
          on_(queries.keys.size() - 1 <= kMemoSegments && queries.keys.size() - 1 <= count / kMemoQueries) {}

    // A query strictly inside segment i, as queries.inside() answers it.
    bool answer(const Queries& queries, std::size_t i, typename Queries::Key key, typename Queries::Answer& out) {
        if (on_) {
            return kept(queries, i, key, out);
        }
        return inside(queries, i, key, out);
    }

private:
    using Key = typename Queries::Key;
    using Few = decltype(std::declval<const FewOf&>()(1, Key{}, Key{}));

    // Both ways out of line, so that their arithmetic leaves the batch's loop
    // its registers.
    RUST_NOINLINE bool kept(const Queries& queries, std::size_t i, typename Queries::Key key,
                            typename Queries::Answer& out) {
        if (!kept_) {
            kept_ = std::make_unique<std::optional<Few>[]>(queries.keys.size());
        }
        std::optional<Few>& segment = kept_[i];
        if (!segment) {
            segment.emplace(few_of_(i, queries.keys[i - 1], queries.keys[i]));
        }
        return segment->answer(key, out);
    }

    RUST_NOINLINE static bool inside(const Queries& queries, std::size_t i, typename Queries::Key key,
                                     typename Queries::Answer& out) {
        return queries.inside(i, key, out);
    }

    FewOf few_of_;
    bool on_;
    std::unique_ptr<std::optional<Few>[]> kept_;
};

// A kind that keeps no segments answers each query by inside(), whichever
// few_of the call has: one memo, and one route, for all of them.
struct KeepsNone {};

template <class Queries>
class SegmentMemo<Queries, KeepsNone> {
public:
    template <class FewOf>
    SegmentMemo(const Queries&, const FewOf&, std::size_t) noexcept {}

    bool answer(const Queries& queries, std::size_t i, typename Queries::Key key, typename Queries::Answer& out) {
        return queries.inside(i, key, out);
    }
};

template <class Queries, class FewOf>
using MemoOf = SegmentMemo<
    Queries, std::conditional_t<Queries::kOwnFew && kKeepsFew<typename Queries::Segment>, FewOf, KeepsNone>>;

// What the scattered route carries from batch to batch of a call, in one
// place, so that the batch's loop is handed one address for all of it: the
// last answer's index (the walk's hint), how many of the batch's answers did
// not come below the one before, the kept segments, and an open watch (see
// answer_scattered_watched).
template <class Memo>
struct Scattered {
    std::size_t hint;
    std::size_t ascending;
    Memo memo;
    bool watching = false;
    std::size_t watched_from = 0;  // the watched stretch's first query
    std::size_t watched_hint = 0;  // and the hint it started from

    // Whether nearly all of a batch of m answers (all but m / 8) came in
    // ascending order: the walk then goes back to its sorted routes.
    bool goes_back(std::size_t m) const noexcept { return 8 * ascending >= 7 * m; }
};

// Queries [k, end) by the batched search, from the state the batch before
// left, which this batch's answers move on unless one fails (the call then
// ends). The failures and answers, in index order, are those of
// answer_one(). Out of line, so that the answers' arithmetic has the
// registers to itself rather than sharing them with the walk's other routes.
template <class Queries, class Memo, class Read>
RUST_NOINLINE std::optional<InterpError> answer_scattered(const Queries& queries, Read& read, std::size_t k,
                                                          std::size_t end, typename Queries::Answer* out,
                                                          Scattered<Memo>& state) {
    using Key = typename Queries::Key;
    const std::size_t n = queries.keys.size();
    const std::size_t m = end - k;
    // Zeroed, though every key the search reads is read first: a compiler
    // cannot tell, and warns.
    Key key[kBatch] = {};
    std::size_t base[kBatch];
    for (std::size_t j = 0; j < m; ++j) {
        key[j] = read(k + j);
    }
    search_batch(queries.keys, key, m, base);
    // The answers' tie points are the next cache misses, all asked for at
    // once, unless the table is small enough to stay in the first-level
    // cache, where asking costs a few instructions a query for nothing.
    if (n * sizeof(Key) > kCachedBytes) {
        for (std::size_t j = 0; j < m; ++j) {
            queries.prefetch(base[j]);
        }
    }
    std::size_t hint = state.hint;
    std::size_t ascending = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const SearchResult s = finish_search(queries.keys, key[j], base[j]);
        ascending += static_cast<std::size_t>(s.index >= hint);
        hint = s.index;
        if (s.found) {
            out[k + j] = queries.hit(s.index);
        } else if (s.index == 0 || s.index == n) {
            if (const std::optional<InterpError> e = queries.outside(s.index, out[k + j])) {
                return e;
            }
        } else if (!state.memo.answer(queries, s.index, key[j], out[k + j])) {
            return InterpError::NotFound;
        }
    }
    state.hint = hint;
    state.ascending = ascending;
    return std::nullopt;
}

// answer_scattered() for an Exact call that can be watched, on the lanes'
// path (see exact_by_nearest.hpp): consecutive batches answered as Nearest
// answers them, under one watch of up to kWatchedQueries queries, which
// closes where the walk leaves the route or the call ends. Where a step
// rounded, a batch failed or a Panic was thrown, the watched stretch goes
// again by the Exact method from its first query, batch by batch as the walk
// gave them, so that the failure returned is the first in query order.
template <class X, class F, class Memo, class Read>
std::optional<InterpError> answer_scattered_watched(const InverseQueries<X, F>& queries, Read& read, std::size_t k,
                                                    std::size_t end, std::size_t count, X* out,
                                                    Scattered<Memo>& state) {
    // The memo answers by inside(), with the watched queries' rounding; kept
    // set-ups would keep the Exact method's.
    static_assert(std::is_same_v<Memo, SegmentMemo<InverseQueries<X, F>, KeepsNone>>);
    if (!state.watching) {
        state.watching = true;
        state.watched_from = k;
        state.watched_hint = state.hint;
        F80::watch_exactness();
    }
    std::optional<InterpError> failure;
    bool thrown = false;
    try {
        failure = answer_scattered(ExactByNearest<X, F>(queries), read, k, end, out, state);
    } catch (const Panic&) {
        thrown = true;
    }
    const bool open = !failure && !thrown && end < count && end - state.watched_from < kWatchedQueries;
    if (open && !state.goes_back(end - k)) {
        return std::nullopt;
    }
    state.watching = false;
    // Raises the flag again, as the call keeps it, whatever the stretch did.
    const bool exact = F80::steps_were_exact();
    if (exact && !failure && !thrown) {
        return std::nullopt;
    }
    state.hint = state.watched_hint;
    for (std::size_t b = state.watched_from; b < end; b += kBatch) {
        if (const std::optional<InterpError> e =
                answer_scattered(queries, read, b, std::min(end, b + kBatch), out, state)) {
            return e;
        }
    }
    return std::nullopt;
}

// Queries [k, end) of the call's count by the scattered route.
template <VectorPath Path, class Queries, class Memo, class Read>
std::optional<InterpError> answer_scattered_batch(Path, const Queries& queries, Read& read, std::size_t k,
                                                  std::size_t end, std::size_t count,
                                                  typename Queries::Answer* out, Scattered<Memo>& state) {
    if constexpr (Path::kLanes && kWatchable<Queries>) {
        if (queries.method == Method::Exact) {
            return answer_scattered_watched(queries, read, k, end, count, out, state);
        }
    }
    return answer_scattered(queries, read, k, end, out, state);
}

}  // namespace rust::detail
