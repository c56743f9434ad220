// The search of a batch of scattered queries.
//
// The halving search's steps for every query of the batch at once, and its
// last comparison in query order.
#pragma once

#include <cstddef>

#include "piecewise/search.hpp"
#include "piecewise/sequence.hpp"
#include "platform/hints.hpp"

namespace rust {

// Tables up to this size are searched a few queries at a time, kChains
// searches side by side, each a chain of probes that waits only on itself: as
// long as a probe comes from the first or second-level cache, or from the
// third, eight chains keep the core busy (on a Zen 3, whose second-level cache
// is 512 KiB, chains beat the lockstep search on tables up to about 1.6 MB and
// lost from 4 MB on). In larger tables nearly every probe waits on memory, and
// the lockstep search, which asks for each query's next probe ahead, pays.
// On a Zen 4 the chains also beat counting a small table's keys eight at a
// compare (AVX-512), at every size from 3 to 512 keys (0.6-0.9 of its time).
inline constexpr std::size_t kChainedBytes = 1024 * 1024;
inline constexpr std::size_t kChains = 8;

// Halving searches for a batch of scattered queries: base[j] ends as the index
// where search() makes its final comparison for q[j]. Every step is free of
// branches (a branch would guess wrong half the time on scattered queries).
// A table up to kChainedBytes is searched kChains queries at a time, their
// steps in registers; a larger one in lockstep, one step of every query at a
// time, so that while one query waits for its probe to arrive from memory the
// others go on. NaN queries take no special route here: the final comparison,
// made by the caller in query order, raises the failure.
template <class T>
inline void search_batch(const Sequence<T>& s, const T* q, std::size_t count, std::size_t* base) {
    const T* data = s.data();
    const std::size_t n = s.size();
    if (n * sizeof(T) <= kChainedBytes) {
        // One halving step, a select, which the compiler makes a conditional
        // move.
        const auto step = [data](std::size_t b, std::size_t half, T key) {
            return data[b + half] > key ? b : b + half;
        };
        std::size_t j = 0;
        for (; j + kChains <= count; j += kChains) {
            T key[kChains];
            std::size_t b[kChains];
            for (std::size_t l = 0; l < kChains; ++l) {
                key[l] = q[j + l];
                b[l] = 0;
            }
            for (std::size_t size = n; size > 1;) {
                const std::size_t half = size / 2;
                for (std::size_t l = 0; l < kChains; ++l) {
                    b[l] = step(b[l], half, key[l]);
                }
                size -= half;
            }
            for (std::size_t l = 0; l < kChains; ++l) {
                base[j + l] = b[l];
            }
        }
        // The last few one at a time.
        for (; j < count; ++j) {
            const T key = q[j];
            std::size_t b = 0;
            for (std::size_t size = n; size > 1;) {
                const std::size_t half = size / 2;
                b = step(b, half, key);
                size -= half;
            }
            base[j] = b;
        }
        return;
    }
    for (std::size_t j = 0; j < count; ++j) {
        base[j] = 0;
    }
    for (std::size_t size = n; size > 1;) {
        const std::size_t half = size / 2;
        const std::size_t next_half = (size - half) / 2;
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t b = base[j];
            const std::size_t take = std::size_t{0} - static_cast<std::size_t>(!(data[b + half] > q[j]));
            base[j] = b + (half & take);
            platform::prefetch(data + base[j] + next_half);
        }
        size -= half;
    }
}

// The answer of search() from the index search_batch() left.
template <class T>
inline SearchResult finish_search(const Sequence<T>& s, T q, std::size_t base) {
    const T stored = s[base];
    detail::require_ordered(stored, q);
    // Two plain comparisons, not a three-way one: nothing carried from one
    // query's answer to the next, so the queries of a batch do not wait on
    // each other.
    return {stored == q, base + static_cast<std::size_t>(stored < q)};
}

}  // namespace rust
