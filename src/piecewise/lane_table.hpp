// A window of the table in vector registers (AVX-512), for eight queries at once.
//
// Each lane picks the ends of its own segment from it.
#pragma once

#include <bit>
#include <cstddef>

#include "piecewise/search_lanes.hpp"
#include "piecewise/sequence.hpp"
#include "platform/vector_path.hpp"

#if defined(RUST_HAVE_LANES)

namespace rust::detail {


// The entries first .. first + kLaneWindow - 1 of a sequence, held in two
// registers for the lanes to pick from (those past the sequence's end read
// as 0, and are never picked).
inline constexpr std::size_t kLaneWindow = 16;

struct LaneWindow {
    __m512i low;
    __m512i high;
};

template <class T>
[[RUST_LANES_TARGET("avx512f")]] LaneWindow lane_window(const Sequence<T>& s, std::size_t first) noexcept {
    const std::size_t count = s.size() - first;
    const __m512i low = _mm512_maskz_loadu_epi64(first_lanes(count), s.data() + first);
    // Masked lanes are not read, but no pointer is formed past the end either.
    const __m512i high =
        count > 8 ? _mm512_maskz_loadu_epi64(first_lanes(count - 8), s.data() + first + 8) : _mm512_setzero_si512();
    return {low, high};
}

// How many of the entries first .. first + kLaneWindow - 1, which the
// sequence has, lie below q: in a rising sequence with an entry among them
// not below q, the distance from first to the first such entry, found by two
// compares, free of the branches a search takes.
template <class T>
[[RUST_LANES_TARGET("avx512f")]] std::size_t window_below(const Sequence<T>& s, std::size_t first, T q) noexcept {
    const __m512i bound = _mm512_set1_epi64(std::bit_cast<long long>(q));
    const __mmask8 low = lanes_below<T>(_mm512_loadu_si512(s.data() + first), bound, 0xFF);
    const __mmask8 high = lanes_below<T>(_mm512_loadu_si512(s.data() + first + 8), bound, 0xFF);
    return static_cast<std::size_t>(std::popcount(low) + std::popcount(high));
}

// Lane l: the entry first + at[l] of the window.
[[RUST_LANES_TARGET("avx512f")]] inline __m512i pick(const LaneWindow& w, __m512i at) noexcept {
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
    [[RUST_LANES_TARGET("avx512f")]] LaneEnds ends(__m512i below) const noexcept {
        const __m512i above = _mm512_add_epi64(below, _mm512_set1_epi64(1));
        return {pick(x, below), pick(x, above), pick(f, below), pick(f, above)};
    }
};

}  // namespace rust::detail

#endif
