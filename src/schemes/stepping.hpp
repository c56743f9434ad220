// Stepping: evenly spaced keys answered by additions from one division.
//
// The steps of the gaps a segment's runs have shown, and the loops that answer a
// run one key at a time, four at a time, or in eight vector lanes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "divop/divop.hpp"
#include "divop/lanes.hpp"
#include "platform/attributes.hpp"
#include "platform/vector_path.hpp"
#include "schemes/offset_math.hpp"

namespace rust::detail {

// Gaps a segment keeps steps for; a few cover positions such as floor(k *
// span / (N - 1)), whose gaps differ by one, and the values at them, whose
// gaps differ by the slope.
inline constexpr std::size_t kLearntGaps = 3;
// Keys a stepped group, and a vector group, answers at once.
inline constexpr std::size_t kGroupKeys = 4;
inline constexpr std::size_t kStepLanes = 8;

// b - a modulo 2^64 (for signed keys the subtraction in their own type could
// overflow).
template <class Key>
std::uint64_t key_gap(Key a, Key b) noexcept {
    return static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
}

// The gaps a segment's runs have stepped by (0: a free slot) and the steps of
// the numerator's quotient and scaled remainder that each gap makes.
class LearntSteps {
public:
    // Keeps the step of gap g in place of the one learnt longest ago: c g
    // divided (g < d, as both keys lie inside the segment), negated where the
    // numerator falls, so that runs step the numerator's own quotient and
    // remainder.
    template <class Divide>
    RUST_NOINLINE void learn(const Line& line, std::uint64_t g, const Divide& divide) {
        const divop::QuotRem m = divide(line.part(g), line.norm);
        gaps_[next_slot_] = g;
        steps_[next_slot_] = line.falling ? divop::negate({m.q, m.r}, line.norm) : divop::Step{m.q, m.r};
        next_slot_ = (next_slot_ + 1) % kLearntGaps;
    }

    const std::uint64_t* gaps() const noexcept { return gaps_; }
    const divop::Step* steps() const noexcept { return steps_; }

private:
    std::uint64_t gaps_[kLearntGaps] = {0, 0, 0};
    divop::Step steps_[kLearntGaps];
    std::size_t next_slot_ = 0;
};

// The slot of gap g (not 0) among the learnt ones, or kLearntGaps.
inline std::size_t slot_of(const std::uint64_t* gaps, std::uint64_t g) noexcept {
    std::size_t slot = kLearntGaps;
    for (std::size_t i = 0; i < kLearntGaps; ++i) {
        slot = gaps[i] == g ? i : slot;
    }
    return slot;
}

template <class Key>
struct Stepped {
    std::size_t next;
    bool failed;
    Key last;
    divop::QuotRem last_qr;
    std::uint64_t want;  // the gap the run lacked, or 0
};

// The keys from read(j) on, four at a time while each group is the next
// four keys g apart (at most `groups` groups, all below the segment's end)
// and all four have answers (finish, the run's): the quotient and remainder
// step once per key, and the group's keys are checked and its answers stored
// together. The steps run lifted by finish.lift(norm), so that each answer is
// read off its quotient (finish.lifted) with no compare of the remainder, and
// the keys without one (finish.misses not 0) are found once per group. One
// chain of steps keeps up with the rest of the work per key and leaves the
// registers to the loop, where separate chains for the four keys would not
// fit. Returns where it stopped, with key and qr moved to the last key
// answered; the one-gap-at-a-time loop goes on from there, and finds any
// failure of the group it stopped at.
template <class Finish, class Read, class Key, class Answer>
std::size_t step_groups(Read& read, std::size_t j, std::size_t count, std::uint64_t groups, const Finish finish,
                        const std::uint64_t norm, const std::uint64_t g, const divop::Step step, Key& key,
                        divop::QuotRem& qr, Answer* out) {
    const std::size_t end = j + std::min<std::uint64_t>(groups, (count - j) / kGroupKeys) * kGroupKeys;
    const divop::Step lift = finish.lift(norm);
    divop::QuotRem at = divop::advance(qr, lift, norm);
    auto base = static_cast<std::uint64_t>(key);
    for (; j < end; j += kGroupKeys) {
        std::uint64_t off = 0;
        for (std::size_t l = 0; l < kGroupKeys; ++l) {
            off |= static_cast<std::uint64_t>(read(j + l)) ^ (base + (l + 1) * g);
        }
        if (off != 0) {
            break;
        }
        Answer answers[kGroupKeys];
        divop::QuotRem each = at;
        std::uint64_t misses = 0;
        for (std::size_t l = 0; l < kGroupKeys; ++l) {
            each = divop::advance(each, step, norm);
            answers[l] = finish.lifted(each, norm);
            misses |= finish.misses(each);
        }
        if (misses != 0) {
            break;
        }
        for (std::size_t l = 0; l < kGroupKeys; ++l) {
            out[j + l] = answers[l];
        }
        at = each;
        base += kGroupKeys * g;
    }
    qr = divop::advance(at, divop::negate(lift, norm), norm);
    key = static_cast<Key>(base);
    return j;
}

#if defined(RUST_HAVE_LANES)
// The keys from read(j) on, eight at a time while each group is the next
// eight keys g apart (at most `groups` groups, all below the segment's end,
// at least two of them) and all eight have answers: lane l holds the
// quotient and remainder for the key l + 1 gaps on, and every lane moves
// by eight steps per group.
// Returns where it stopped, with key and qr moved to the last key answered;
// the scalar loop goes on from there.
template <class Kernel, class Read, class Key = typename Kernel::Key, class Answer = typename Kernel::Answer>
[[RUST_LANES_TARGET("avx512f")]] std::size_t step_lanes(Read& read, std::size_t j, std::size_t count,
                                                  std::uint64_t groups, const Kernel& kernel,
                                                  const std::uint64_t norm, const std::uint64_t g,
                                                  const divop::Step step, Key& key, divop::QuotRem& qr,
                                                  Answer* out) {
    // The next two groups of keys are checked before any vector instruction
    // runs: the first 512-bit instructions after a pause slow the core down
    // for a while, which only a long run repays.
    const auto start = static_cast<std::uint64_t>(key);
    for (std::uint64_t l = 0; l < 2 * kStepLanes; ++l) {
        if (static_cast<std::uint64_t>(read(j + l)) != start + (l + 1) * g) {
            return j;
        }
    }
    alignas(64) std::uint64_t lane_q[8];
    alignas(64) std::uint64_t lane_r[8];
    divop::QuotRem at = qr;
    divop::QuotRem eight{0, 0};
    for (int l = 0; l < 8; ++l) {
        at = divop::advance(at, step, norm);
        lane_q[l] = at.q;
        lane_r[l] = at.r;
        eight = divop::advance(eight, step, norm);
    }
    const __m512i dv = _mm512_set1_epi64(static_cast<long long>(norm));
    const divop::Lanes step8{_mm512_set1_epi64(static_cast<long long>(eight.q)),
                             _mm512_set1_epi64(static_cast<long long>(eight.r))};
    divop::Lanes lanes{_mm512_load_si512(lane_q), _mm512_load_si512(lane_r)};
    divop::Lanes answered = lanes;
    auto base = static_cast<std::uint64_t>(key);
    std::uint64_t done = 0;
    for (; done < groups && count - j >= 8; ++done) {
        bool next_eight = true;
        for (std::uint64_t l = 0; l < 8; ++l) {
            next_eight &= static_cast<std::uint64_t>(read(j + l)) == base + (l + 1) * g;
        }
        __m512i answers;
        if (!next_eight || !kernel.finish_lanes(lanes, dv, answers)) {
            break;
        }
        _mm512_storeu_si512(out + j, answers);
        answered = lanes;
        base += 8 * g;
        j += 8;
        lanes = divop::advance_lanes(lanes, step8, dv);
    }
    if (done != 0) {
        key = static_cast<Key>(base);
        _mm512_store_si512(lane_q, answered.q);
        _mm512_store_si512(lane_r, answered.r);
        qr = {lane_q[7], lane_r[7]};
    }
    return j;
}

#endif

// The keys from read(j) on, each above the one before by one of the learnt
// gaps (0: none learnt in that slot) and below hi, answered by stepping the
// numerator's quotient and scaled remainder from qr, that of `key`; returns
// where the run broke off, and the gap it lacked there (0 if it broke off for
// another reason). finish is the run's, the kernel's with its rounding fixed,
// and with that rounding's lifted form for the groups (see step_groups).
// A function of its own with everything in locals, so that the loop keeps its
// values in registers.
template <VectorPath Path, class Kernel, class Finish, class Read, class Key = typename Kernel::Key,
          class Answer = typename Kernel::Answer>
RUST_NOINLINE Stepped<Key> step_run(Path, Read& read, std::size_t j, std::size_t count, Key hi,
                                    [[maybe_unused]] const Kernel kernel, const Finish finish,
                                    const std::uint64_t norm, const std::uint64_t* gaps, const divop::Step* steps,
                                    Key key, divop::QuotRem qr, Answer* out) {
#if defined(RUST_HAVE_LANES)
    // Runs of one gap, at least two groups of eight long, go eight keys at
    // a time on the lanes' path.
    if constexpr (Path::kLanes) {
        if (j + 2 * kStepLanes <= count && read(j) > key) {
            const std::uint64_t g = key_gap(key, read(j));
            const std::size_t slot = slot_of(gaps, g);
            const std::uint64_t span = key_gap(key, hi) - 1;
            if (slot < kLearntGaps && span / (2 * kStepLanes) >= g) {
                j = step_lanes(read, j, count, span / kStepLanes / g, kernel, norm, g, steps[slot], key, qr, out);
            }
        }
    }
#endif
    // Runs of one gap, at least two groups of four long, go four keys at a
    // time.
    if (j + 2 * kGroupKeys <= count && read(j) > key) {
        const std::uint64_t g = key_gap(key, read(j));
        const std::size_t slot = slot_of(gaps, g);
        const std::uint64_t span = key_gap(key, hi) - 1;
        if (slot < kLearntGaps && span / (2 * kGroupKeys) >= g) {
            j = step_groups(read, j, count, span / kGroupKeys / g, finish, norm, g, steps[slot], key, qr, out);
        }
    }
    for (; j < count; ++j) {
        const Key next = read(j);
        if (!(next > key && next < hi)) {
            break;
        }
        const std::uint64_t g = key_gap(key, next);
        const std::size_t slot = slot_of(gaps, g);
        if (slot == kLearntGaps) {
            return {j, false, key, qr, g};
        }
        qr = divop::advance(qr, steps[slot], norm);
        key = next;
        if (!finish(qr, norm, out[j])) {
            return {j, true, key, qr, 0};
        }
    }
    return {j, false, key, qr, 0};
}

}  // namespace rust::detail
