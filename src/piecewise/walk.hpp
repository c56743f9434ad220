// The query walk: answers a whole query array in index order, the same answers
// as one query at a time, by routes that fit the order the queries come in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>

#include "piecewise/interp_error.hpp"
#include "piecewise/search.hpp"
#include "piecewise/sequence.hpp"
#include "platform/attributes.hpp"
#include "platform/hints.hpp"
#include "schemes/method.hpp"
#include "schemes/scheme.hpp"

namespace rust {

#if defined(RUST_HAVE_LANES)
namespace detail {

// The entries first .. first + kLaneWindow - 1 of a sequence, held in two
// registers for the lanes to pick from (those past the sequence's end read
// as 0, and are never picked).
inline constexpr std::size_t kLaneWindow = 16;

struct LaneWindow {
    __m512i low;
    __m512i high;
};

template <class T>
[[gnu::target("avx512f")]] LaneWindow lane_window(const Sequence<T>& s, std::size_t first) noexcept {
    const std::size_t count = s.size() - first;
    const __m512i low = _mm512_maskz_loadu_epi64(first_lanes(count), s.data() + first);
    // Masked lanes are not read, but no pointer is formed past the end either.
    const __m512i high =
        count > 8 ? _mm512_maskz_loadu_epi64(first_lanes(count - 8), s.data() + first + 8) : _mm512_setzero_si512();
    return {low, high};
}

// Lane l: the entry first + at[l] of the window.
[[gnu::target("avx512f")]] inline __m512i pick(const LaneWindow& w, __m512i at) noexcept {
    return _mm512_permutex2var_epi64(w.low, at, w.high);
}

// The positions and values at both ends of a segment, a lane's own.
struct LaneEnds {
    __m512i x0, x1, f0, f1;
};

// Windows of the positions and the values from entry first on, loaded once
// for a whole batch of queries.
struct LaneTable {
    LaneWindow x;
    LaneWindow f;

    // Lane l: the ends of segment first + 1 + below[l], below[l] < kLaneWindow - 1.
    [[gnu::target("avx512f")]] LaneEnds ends(__m512i below) const noexcept {
        const __m512i above = _mm512_add_epi64(below, _mm512_set1_epi64(1));
        return {pick(x, below), pick(x, above), pick(f, below), pick(f, above)};
    }
};

}  // namespace detail
#endif

// What each direction searches and how it answers: forward searches the
// positions xp and answers with values, inverse searches the values fp and
// answers with positions. Both share the walk below and the one-query answer.
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

    void prefetch(std::size_t i) const noexcept { platform::prefetch(values.data() + i); }

#if defined(RUST_HAVE_LANES)
    // The table's windows from entry first on, for inside_lanes().
    [[gnu::target("avx512f")]] detail::LaneTable lane_table(std::size_t first) const noexcept {
        return {detail::lane_window(keys, first), detail::lane_window(values, first)};
    }

    // Eight queries at once, lane l of key inside (or on the right end of)
    // the segment table.ends(below) picks for it: the lanes answered, as
    // inside() answers them, written to out[0..8) (the others are left to
    // inside()).
    [[gnu::target("avx512f,avx512dq")]] __mmask8 inside_lanes(const detail::LaneTable& table, __m512i below,
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

    void prefetch(std::size_t i) const noexcept { platform::prefetch(positions.data() + i); }

#if defined(RUST_HAVE_LANES)
    // As for the forward queries.
    [[gnu::target("avx512f")]] detail::LaneTable lane_table(std::size_t first) const noexcept {
        return {detail::lane_window(positions, first), detail::lane_window(keys, first)};
    }

    [[gnu::target("avx512f,avx512dq")]] __mmask8 inside_lanes(const detail::LaneTable& table, __m512i below,
                                                             __m512i key, Answer* out) const {
        const detail::LaneEnds e = table.ends(below);
        return Scheme<X, F>::inverse_lanes(key, e.x0, e.x1, e.f0, e.f1, method, out);
    }
#endif
};

// One query on a non-empty table whose searched sequence is strictly
// increasing: the halving search, then the exact hit, the fill rules outside,
// or the segment's scheme. The definition of every answer of the walk.
template <class Queries>
std::optional<InterpError> answer_one(const Queries& queries, typename Queries::Key key,
                                      typename Queries::Answer& out) {
    const std::size_t n = queries.keys.size();
    const SearchResult s = search(queries.keys, key);
    if (s.found) {
        out = queries.hit(s.index);
        return std::nullopt;
    }
    if (s.index == 0 || s.index == n) {
        return queries.outside(s.index, out);
    }
    if (!queries.inside(s.index, key, out)) {
        return InterpError::NotFound;
    }
    return std::nullopt;
}

namespace detail {

// Scattered queries are searched kBatch at a time; the walk goes over to that
// route after kFarQueries queries in a row that each landed more than kNear
// tie points away from the one before, and back when nearly all of a batch
// (all but kBatch / 8) came in ascending order.
inline constexpr std::size_t kBatch = 32;
inline constexpr unsigned kFarQueries = 4;
inline constexpr std::size_t kNear = 16;

// Queries [k, end) by the batched search; near counts those that did not come
// below the query before them. The failures and answers, in index order, are
// those of answer_one(). Out of line: inlined into the walk, the answers'
// arithmetic competed with the walk's other routes for registers and ran
// about half as fast for the inverse of integer tables.
template <class Queries, class Read>
RUST_NOINLINE std::optional<InterpError> answer_scattered(const Queries& queries, Read& read, std::size_t k,
                                                          std::size_t end, typename Queries::Answer* out,
                                                          std::size_t& hint, std::size_t& ascending) {
    using Key = typename Queries::Key;
    const std::size_t n = queries.keys.size();
    const std::size_t m = end - k;
    // Zeroed, though every key the search reads is read first: the compiler
    // cannot tell, and warns.
    Key key[kBatch] = {};
    std::size_t base[kBatch];
    for (std::size_t j = 0; j < m; ++j) {
        key[j] = read(k + j);
    }
    search_batch(queries.keys, key, m, base);
    // The answers' tie points are the next cache misses: all asked for at once.
    for (std::size_t j = 0; j < m; ++j) {
        queries.prefetch(base[j]);
    }
    ascending = 0;
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
        } else if (!queries.inside(s.index, key[j], out[k + j])) {
            return InterpError::NotFound;
        }
    }
    return std::nullopt;
}

// Sorted queries that fall a few to a segment (a large table) leave the walk's
// segment runs, where the segment kind's one-query answer at a segment's end
// is the tie point's own (so that a query on a tie point needs no test of its
// own): the walk goes over to the routes below after kShortSegments segments
// in a row that each saw fewer than kShortQueries queries.
inline constexpr unsigned kShortSegments = 4;
inline constexpr std::size_t kShortQueries = 8;

struct DenseEnd {
    std::size_t next;     // the first query not answered
    std::size_t segment;  // the last answered query's segment (or the one given)
    bool failed;          // read(next) lies inside but has no answer
};

// Without the vector route, such queries go one after another from segment to
// segment in a function of their own, which keeps what the walk carries from
// query to query (the segment and its ends) in registers. Back to the walk at
// the first query that is not above the current segment's first key, that
// lies at or past the table's last key, or that is the kManyQueries-th in a
// row in one segment, where the segment's own runs do better.
inline constexpr std::size_t kManyQueries = 2 * kShortQueries;

// Queries from read(k) on, read(k) strictly inside segment i.
template <class Queries, class Read>
RUST_NOINLINE DenseEnd answer_sparse(const Queries& queries, Read& read, std::size_t k, std::size_t count,
                                     std::size_t i, typename Queries::Answer* out) {
    using Key = typename Queries::Key;
    const Sequence<Key>& keys = queries.keys;
    const Key top = keys[keys.size() - 1];
    Key lo = keys[i - 1];
    Key hi = keys[i];
    std::size_t in_segment = 0;
    for (; k < count; ++k) {
        const Key key = read(k);
        if (!(lo < key)) {
            break;
        }
        if (!(key <= hi)) {
            if (!(key < top)) {
                break;
            }
            // Some segment up to the last one ends at or above the key.
            do {
                lo = hi;
                hi = keys[++i];
            } while (!(key <= hi));
            in_segment = 0;
        } else if (++in_segment >= kManyQueries) {
            break;
        }
        if (!queries.inside(i, key, out[k])) {
            return {k, i, true};
        }
    }
    return {k, i, false};
}

#if defined(RUST_HAVE_LANES)

// With AVX-512 they go kBatch at a time instead: each query's segment is
// counted among the few keys the batch spans, one vector compare per key, free
// of the branch per segment that a walk from segment to segment guesses wrong
// about once a segment; and the queries are answered eight at a time by the
// scheme's vector form, their segments' ends picked from a window of the table
// held in registers. Back to the walk at the first batch that is not
// ascending, leaves the table's inside, or spans more than kWindowKeys keys.

// Whole batches from read(k) on, read(k) strictly inside segment i.
template <class Queries, class Read>
[[gnu::noinline, gnu::target("avx512f,avx512dq")]] DenseEnd answer_dense(const Queries& queries, Read& read,
                                                                        std::size_t k, std::size_t count,
                                                                        std::size_t i,
                                                                        typename Queries::Answer* out) {
    using Key = typename Queries::Key;
    // The ends of a batch's segments, keys i - 1 .. i + kWindowKeys, all in
    // one window.
    static_assert(kWindowKeys + 2 <= kLaneWindow);
    constexpr std::size_t kGroups = kBatch / 8;
    const Sequence<Key>& keys = queries.keys;
    const std::size_t n = keys.size();
    Key key[kBatch];
    while (count - k >= kBatch) {
        for (std::size_t j = 0; j < kBatch; ++j) {
            key[j] = read(k + j);
        }
        // Every query strictly above the segment's first key and below the
        // table's last, in ascending order: each lies inside a segment from i
        // on, or on the right end of one.
        __m512i lanes[kGroups];
        __mmask8 descending = 0;
        for (std::size_t g = 0; g < kGroups; ++g) {
            lanes[g] = _mm512_loadu_si512(key + 8 * g);
            const __mmask8 pairs = g + 1 < kGroups ? 0xFF : 0x7F;  // key[j + 1] against key[j]
            descending |= lanes_below<Key>(_mm512_maskz_loadu_epi64(pairs, key + 8 * g + 1), lanes[g], pairs);
        }
        if (descending != 0 || !(keys[i - 1] < key[0] && key[kBatch - 1] < keys[n - 1])) {
            break;
        }
        // The keys i .. last - 1 are those the queries may lie above.
        const std::size_t last = search_from(keys, key[kBatch - 1], i).index;
        if (last - i > kWindowKeys) {
            break;
        }
        __m512i below[kGroups];
        count_below_lanes(keys.data() + i, last - i, lanes, below);
        const detail::LaneTable table = queries.lane_table(i - 1);
        for (std::size_t g = 0; g < kGroups; ++g) {
            const __mmask8 done = queries.inside_lanes(table, below[g], lanes[g], out + k + 8 * g);
            if (done == 0xFF) [[likely]] {
                continue;
            }
            alignas(64) std::size_t at[8];
            _mm512_store_si512(at, below[g]);
            for (std::size_t l = 0; l < 8; ++l) {
                const std::size_t j = 8 * g + l;
                if ((done >> l & 1) == 0 && !queries.inside(i + at[l], key[j], out[k + j])) {
                    return {k + j, i + at[l], true};
                }
            }
        }
        k += kBatch;
        i = last;
    }
    return {k, i, false};
}

#endif

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
//   few queries each, integer tables go on in sorted batches, each query's
//   segment counted among the batch's few keys and the queries answered
//   eight at a time (with AVX-512);
// - scattered queries: batches searched in lockstep.
template <class Queries, class Read>
std::optional<InterpError> walk(const Queries& queries, std::size_t count, Read&& read,
                                typename Queries::Answer* out) {
    using Key = typename Queries::Key;
    using Segment = typename Queries::Segment;
    const Sequence<Key>& keys = queries.keys;
    const std::size_t n = keys.size();
    std::size_t hint = 0;
    std::size_t segment_index = 0;  // no segment set up yet (segments start at 1)
    std::optional<Segment> segment;
    unsigned far = 0;
#if defined(RUST_HAVE_LANES)
    const bool dense = Segment::kAnswersAtEnds && divop::lanes_enabled();
#endif
    std::size_t k = 0;
    while (k < count) {
        if (far >= detail::kFarQueries) {
            const std::size_t end = std::min(count, k + detail::kBatch);
            std::size_t ascending = 0;
            if (const std::optional<InterpError> e =
                    detail::answer_scattered(queries, read, k, end, out, hint, ascending)) {
                return e;
            }
            if (8 * ascending >= 7 * (end - k)) {
                far = 0;
            }
            k = end;
            continue;
        }
        const Key key = read(k);
        const SearchResult s = search_from(keys, key, hint);
        const std::size_t distance = s.index > hint ? s.index - hint : hint - s.index;
        far = distance <= detail::kNear ? 0 : far + 1;
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
                // A segment's first queries by the definition, for as long as
                // its kind says setting it up would not pay yet: in a large
                // table many segments see one query or a few. Kinds whose setup
                // costs about one query are set up at once.
                const Key lo = keys[i - 1];
                const Key hi = keys[i];
                std::size_t answered = 0;
                bool set_up = Segment::set_up_now(answered, current, current, hi);
                while (!set_up) {
                    if (!queries.inside(i, current, out[k])) {
                        return InterpError::NotFound;
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
                if (set_up) {
                    queries.set_up(segment, i);
                    segment_index = i;
                }
            }
            if (i == segment_index) {
                const RunEnd end = segment->answer_run(read, k, count, keys[i - 1], keys[i], out);
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
            if constexpr (Segment::kAnswersAtEnds) {
                short_segments = k - first < detail::kShortQueries ? short_segments + 1 : 0;
                if (short_segments >= detail::kShortSegments) {
#if defined(RUST_HAVE_LANES)
                    const detail::DenseEnd end = dense ? detail::answer_dense(queries, read, k, count, i, out)
                                                       : detail::answer_sparse(queries, read, k, count, i, out);
#else
                    const detail::DenseEnd end = detail::answer_sparse(queries, read, k, count, i, out);
#endif
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

}  // namespace rust
