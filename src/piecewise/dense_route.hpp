// The dense route: sorted queries a few to a segment, as in a large table.
//
// They go from segment to segment without a search, and a batch at a time in
// vector lanes where the CPU has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "piecewise/lane_table.hpp"
#include "piecewise/search.hpp"
#include "piecewise/search_lanes.hpp"
#include "piecewise/sequence.hpp"
#include "platform/attributes.hpp"
#include "platform/select.hpp"
#include "platform/vector_path.hpp"
#include "schemes/offset_math.hpp"

namespace rust::detail {

// Sorted queries that fall a few to a segment (a large table) leave the walk's
// segment runs, where the segment kind's one-query answer at a segment's end
// is the tie point's own (so that a query on a tie point needs no test of its
// own): the walk goes over to the routes below after kShortSegments segments
// in a row that each saw fewer than kShortQueries queries.
inline constexpr unsigned kShortSegments = 4;
inline constexpr std::size_t kShortQueries = 8;

// Sorted queries the vector route takes at once: four groups of eight lanes.
inline constexpr std::size_t kSortedBatch = 32;

// Where a route of the walk handed the queries back.
struct RouteEnd {
    std::size_t next;     // the first query not answered
    std::size_t segment;  // the last answered query's segment (or the one given)
    bool failed;          // read(next) lies inside but has no answer
};

// Without the vector route, such queries go one after another from segment to
// segment in a function of their own, which keeps what the walk carries from
// query to query (the segment and its ends) in registers, each segment set up
// by the direction's few_of as its first query comes. Back to the walk at
// the first query that is not above the current segment's first key, that
// lies at or past the table's last key, or that is the kManyQueries-th in a
// row in one segment, where the segment's own runs do better.
inline constexpr std::size_t kManyQueries = 2 * kShortQueries;

// A segment kind whose few set-up costs less than a segment change the CPU
// guesses wrong about (an integer segment's: a few loads and subtractions)
// says so, and its queries go by answer_unbranched() as far as they can.
template <class Few>
concept SetUpPerQuery = Few::kSetUpPerQuery;

// An integer key as an unsigned number in the same order (a signed one in
// offset form).
template <class Key>
std::uint64_t unsigned_order(Key key) noexcept {
    static_assert(std::is_integral_v<Key> && sizeof(Key) == 8);
    if constexpr (std::is_signed_v<Key>) {
        return offset_form(key);
    } else {
        return key;
    }
}

inline constexpr std::size_t kSparseBlock = 64;

// As answer_sparse(), for such kinds: each query's segment is set up afresh,
// and the walk's step to the next segment is taken without a branch (a
// query lands one segment on from the last as irregularly as the table's gaps
// come, and a branch on it is guessed wrong about once a segment); a step of
// more than one, past a segment with no query, takes a branch. The segment
// two on from the current one is kept at hand, so that the step waits on no
// load. Back to answer_sparse() at the first query from the table's third
// last key on, where that segment may not exist.
template <class Queries, class FewOf, class Read>
RUST_NOINLINE RouteEnd answer_unbranched(const Queries& queries, const FewOf few_of, Read& read, std::size_t k,
                                         std::size_t count, std::size_t i,
                                         typename Queries::Answer* __restrict out) {
    using Key = typename Queries::Key;
    const Sequence<Key>& keys = queries.keys;
    const std::size_t n = keys.size();
    if (n < 4 || k >= count) {
        return {k, i, false};
    }
    // Every query below it lies in a segment up to n - 3, so the current
    // one's two successors are in the table.
    const Key edge = keys[n - 3];
    if (!(read(k) < edge)) {
        return {k, i, false};
    }
    std::uint64_t hi = unsigned_order(keys[i]);
    std::uint64_t next = unsigned_order(keys[i + 1]);
    // Blocks of kSparseBlock queries; one that takes fewer than one step in
    // kManyQueries hands the queries back, as their segments' runs do better.
    while (k < count) {
        const std::size_t end = count - k > kSparseBlock ? k + kSparseBlock : count;
        const std::size_t first = k;
        const std::size_t from = i;
        for (; k < end; ++k) {
            const Key key = read(k);
            if (!(key < edge)) {
                return {k, i, false};
            }
            const std::uint64_t place = unsigned_order(key);
            platform::step_if_below(place, hi, next, unsigned_order(keys[i + 2]), i);
            if (place > hi) [[unlikely]] {
                do {
                    ++i;
                } while (!(key <= keys[i]));
                hi = unsigned_order(keys[i]);
                next = unsigned_order(keys[i + 1]);
            }
            const Key lo = keys[i - 1];
            if (!(lo < key)) {
                return {k, i, false};
            }
            if (!few_of(i, lo, keys[i]).answer(key, out[k])) {
                return {k, i, true};
            }
        }
        if ((i - from) * kManyQueries < k - first) {
            break;
        }
    }
    return {k, i, false};
}

// Queries from read(k) on, read(k) strictly inside segment i; few_of(i,
// keys[i - 1], keys[i]) sets segment i up.
template <class Queries, class FewOf, class Read>
RUST_NOINLINE RouteEnd answer_sparse(const Queries& queries, const FewOf few_of, Read& read, std::size_t k,
                                     std::size_t count, std::size_t i, typename Queries::Answer* out) {
    using Key = typename Queries::Key;
    const Sequence<Key>& keys = queries.keys;
    const Key top = keys[keys.size() - 1];
    if constexpr (SetUpPerQuery<decltype(few_of(i, top, top))>) {
        const RouteEnd ahead = answer_unbranched(queries, few_of, read, k, count, i, out);
        if (ahead.failed) {
            return ahead;
        }
        k = ahead.next;
        i = ahead.segment;
    }
    Key lo = keys[i - 1];
    Key hi = keys[i];
    auto segment = few_of(i, lo, hi);
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
            segment = few_of(i, lo, hi);
            in_segment = 0;
        } else if (++in_segment >= kManyQueries) {
            break;
        }
        if (!segment.answer(key, out[k])) {
            return {k, i, true};
        }
    }
    return {k, i, false};
}

#if defined(RUST_HAVE_LANES)

// With AVX-512 they go kSortedBatch at a time instead: each query's segment is
// counted among the few keys the batch spans, one vector compare per key, free
// of the branch per segment that a walk from segment to segment guesses wrong
// about once a segment; and the queries are answered eight at a time by the
// scheme's vector form, their segments' ends picked from a window of the table
// held in registers. Back to the walk at the first batch that is not
// ascending, leaves the table's inside, or spans more than kWindowKeys keys.

// Whole batches from read(k) on, read(k) strictly inside segment i.
template <class Queries, class Read>
[[gnu::noinline, RUST_LANES_TARGET("avx512f,avx512dq")]] RouteEnd answer_dense(const Queries& queries, Read& read,
                                                                        std::size_t k, std::size_t count,
                                                                        std::size_t i,
                                                                        typename Queries::Answer* out) {
    using Key = typename Queries::Key;
    // The ends of a batch's segments, keys i - 1 .. i + kWindowKeys, all in
    // one window.
    static_assert(kWindowKeys + 2 <= kLaneWindow);
    constexpr std::size_t kGroups = kSortedBatch / 8;
    const Sequence<Key>& keys = queries.keys;
    const std::size_t n = keys.size();
    Key key[kSortedBatch];
    while (count - k >= kSortedBatch) {
        for (std::size_t j = 0; j < kSortedBatch; ++j) {
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
        if (descending != 0 || !(keys[i - 1] < key[0] && key[kSortedBatch - 1] < keys[n - 1])) {
            break;
        }
        // The keys i .. last - 1 are those the queries may lie above (the
        // last query lies below the table's last key): counted among the
        // window from i where the table has one, as a search from i would
        // branch as the batches' spans vary, which the CPU guesses wrong about.
        const Key final = key[kSortedBatch - 1];
        const std::size_t last =
            n - i >= kLaneWindow ? i + window_below(keys, i, final) : search_from(keys, final, i).index;
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
        k += kSortedBatch;
        i = last;
    }
    return {k, i, false};
}

#endif

// Queries from read(k) on, read(k) strictly inside segment i, by the vector
// route on the lanes' path, else segment by segment, each set up by few_of.
template <VectorPath Path, class Queries, class FewOf, class Read>
RouteEnd answer_dense_route(Path, const Queries& queries, const FewOf& few_of, Read& read, std::size_t k,
                            std::size_t count, std::size_t i, typename Queries::Answer* out) {
#if defined(RUST_HAVE_LANES)
    if constexpr (Path::kLanes) {
        return answer_dense(queries, read, k, count, i, out);
    }
#endif
    return answer_sparse(queries, few_of, read, k, count, i, out);
}

}  // namespace rust::detail
