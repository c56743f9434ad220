// Exact interpolation on one segment of an integer table: u64 positions, i64 values.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "divop/divop.hpp"
#include "divop/lanes.hpp"
#include "platform/attributes.hpp"
#include "schemes/method.hpp"
#include "schemes/scheme.hpp"

namespace rust {

namespace detail {

// The offset form maps the signed order onto the unsigned one (v + 2^63, the top
// bit inverted), so value differences become exact unsigned subtractions.
constexpr std::uint64_t offset_form(std::int64_t v) noexcept {
    return static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << 63);
}

constexpr std::int64_t from_offset_form(std::uint64_t u) noexcept {
    return static_cast<std::int64_t>(u ^ (std::uint64_t{1} << 63));
}

constexpr divop::u128 mul_wide(std::uint64_t a, std::uint64_t b) noexcept {
    return static_cast<divop::u128>(a) * b;
}

// The value at x as the fraction n / (x1 - x0), n = f0'(x1 - x) + f1'(x - x0) in
// offset forms. The weights add up to the divisor, so n <= max(f0', f1') * d <
// 2^128 and the quotient, a weighted mean, stays below 2^64.
constexpr divop::u128 forward_numerator(std::uint64_t x, std::uint64_t x0, std::uint64_t x1,
                                        std::uint64_t f0o, std::uint64_t f1o) noexcept {
    return mul_wide(f0o, x1 - x) + mul_wide(f1o, x - x0);
}

// Forward rounds to nearest, ties to even. Parity is unchanged by the offset of
// 2^63, so rounding the offset quotient rounds the value itself.
constexpr std::int64_t forward_result(divop::QuotRem qr, std::uint64_t d) noexcept {
    return from_offset_form(divop::round_nearest(qr, d));
}

// The position of f as n / (f1' - f0'), n = x0(f1' - f') + x1(f' - f0'), bounded
// by max(x0, x1) * d for the same reason as forward; x0 and x1 in any order.
constexpr divop::u128 inverse_numerator(std::uint64_t fo, std::uint64_t x0, std::uint64_t x1,
                                        std::uint64_t f0o, std::uint64_t f1o) noexcept {
    return mul_wide(x0, f1o - fo) + mul_wide(x1, fo - f0o);
}

// The quotient is the position itself; down and up are by numeric value, not by
// the order of the table.
constexpr std::optional<std::uint64_t> inverse_result(divop::QuotRem qr, std::uint64_t d,
                                                      Method method) noexcept {
    switch (method) {
        case Method::Exact:
            return divop::round_exact(qr);
        case Method::Nearest:
            return divop::round_nearest(qr, d);
        case Method::Ffill:
            return divop::round_floor(qr);
        case Method::Bfill:
            return divop::round_ceil(qr);
    }
    return std::nullopt;
}

#if defined(RUST_HAVE_LANES)

// Line::whole(), below, in every lane, each lane with a line of its own: base, the
// lanes where it falls, and the divisor d (part divided by d, not by norm).
[[gnu::target("avx512f")]] inline divop::Lanes whole_lanes(__m512i base, divop::Lanes part, __mmask8 falling,
                                                          __m512i d) noexcept {
    const __mmask8 fraction = static_cast<__mmask8>(falling & _mm512_test_epi64_mask(part.r, part.r));
    const __m512i q = _mm512_mask_sub_epi64(_mm512_add_epi64(base, part.q), falling, base, part.q);
    return {_mm512_mask_sub_epi64(q, fraction, q, _mm512_set1_epi64(1)),
            _mm512_mask_sub_epi64(part.r, fraction, d, part.r)};
}

// forward_result() in every lane.
[[gnu::target("avx512f")]] inline __m512i forward_result_lanes(divop::Lanes qr, __m512i d) noexcept {
    return _mm512_xor_si512(divop::round_nearest_lanes(qr, d), _mm512_set1_epi64(INT64_MIN));
}

// inverse_result() in every lane: the lanes with an answer (all but those
// the Exact method finds none for).
[[gnu::target("avx512f")]] inline __mmask8 inverse_result_lanes(divop::Lanes qr, __m512i d, Method method,
                                                               __m512i& out) noexcept {
    switch (method) {
        case Method::Exact:
            out = qr.q;
            return _mm512_testn_epi64_mask(qr.r, qr.r);
        case Method::Nearest:
            out = divop::round_nearest_lanes(qr, d);
            return 0xFF;
        case Method::Ffill:
            out = qr.q;
            return 0xFF;
        case Method::Bfill:
            out = _mm512_mask_add_epi64(qr.q, _mm512_test_epi64_mask(qr.r, qr.r), qr.q, _mm512_set1_epi64(1));
            return 0xFF;
    }
    return 0;
}

#endif

}  // namespace detail

template <>
struct Scheme<std::uint64_t, std::int64_t> {
    static std::int64_t forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, std::int64_t f0,
                                std::int64_t f1) {
        const std::uint64_t d = x1 - x0;
        const divop::u128 n =
            detail::forward_numerator(x, x0, x1, detail::offset_form(f0), detail::offset_form(f1));
        return detail::forward_result(divop::div_rem(n, d), d);
    }

    static std::optional<std::uint64_t> inverse(std::int64_t f, std::uint64_t x0, std::uint64_t x1,
                                                std::int64_t f0, std::int64_t f1, Method method) {
        const std::uint64_t f0o = detail::offset_form(f0);
        const std::uint64_t f1o = detail::offset_form(f1);
        const std::uint64_t d = f1o - f0o;
        const divop::u128 n = detail::inverse_numerator(detail::offset_form(f), x0, x1, f0o, f1o);
        return detail::inverse_result(divop::div_rem(n, d), d, method);
    }

#if defined(RUST_HAVE_LANES)
    // forward() and inverse() for eight queries at once, each with its own
    // segment, the query inside it or on its right end. Each returns the lanes
    // it answered, written to out[0..8); the others are the caller's to ask
    // one by one (lanes whose numbers are too large for the vector division,
    // and those the Exact method finds no position for).
    [[gnu::target("avx512f,avx512dq")]] static __mmask8 forward_lanes(__m512i x, __m512i x0, __m512i x1,
                                                                     __m512i f0, __m512i f1, std::int64_t* out) {
        const __m512i top = _mm512_set1_epi64(INT64_MIN);
        const __m512i f0o = _mm512_xor_si512(f0, top);
        const __m512i f1o = _mm512_xor_si512(f1, top);
        const __mmask8 falling = _mm512_cmplt_epu64_mask(f1o, f0o);
        const __m512i c = _mm512_mask_sub_epi64(_mm512_sub_epi64(f1o, f0o), falling, f0o, f1o);
        const __m512i d = _mm512_sub_epi64(x1, x0);
        divop::Lanes part;
        const __mmask8 done = divop::div_rem_lanes(c, _mm512_sub_epi64(x, x0), d, part);
        _mm512_mask_storeu_epi64(out, done,
                                 detail::forward_result_lanes(detail::whole_lanes(f0o, part, falling, d), d));
        return done;
    }

    [[gnu::target("avx512f,avx512dq")]] static __mmask8 inverse_lanes(__m512i f, __m512i x0, __m512i x1,
                                                                     __m512i f0, __m512i f1, Method method,
                                                                     std::uint64_t* out) {
        const __m512i top = _mm512_set1_epi64(INT64_MIN);
        const __m512i f0o = _mm512_xor_si512(f0, top);
        const __mmask8 falling = _mm512_cmplt_epu64_mask(x1, x0);
        const __m512i c = _mm512_mask_sub_epi64(_mm512_sub_epi64(x1, x0), falling, x0, x1);
        const __m512i d = _mm512_sub_epi64(_mm512_xor_si512(f1, top), f0o);
        divop::Lanes part;
        __mmask8 done = divop::div_rem_lanes(c, _mm512_sub_epi64(_mm512_xor_si512(f, top), f0o), d, part);
        __m512i answers = _mm512_setzero_si512();
        done &= detail::inverse_result_lanes(detail::whole_lanes(x0, part, falling, d), d, method, answers);
        _mm512_mask_storeu_epi64(out, done, answers);
        return done;
    }
#endif
};

namespace detail {

// One segment's numerator as a line in the key's distance t from the segment's
// first key (0 < t < d for a key inside): n = base * d + c * t where the
// numerator rises with the key, base * d - c * t where it falls, c >= 0. So
// floor(n / d) is base plus floor(c t / d), or base minus its ceiling, and only
// the part c t is divided. It is divided in normalised form: with s the
// leading zero bits of d, c (t << s) by norm = d << s, whose top bit is set,
// gives the same quotient and the remainder times 2^s, without shifting a
// 128-bit number (t < d, so t << s fits 64 bits). The rounding rules compare a
// remainder with its divisor only, so they read the scaled remainder and norm
// alike. c t < 2^64 d keeps every partial quotient within 64 bits, and base
// plus or minus it is the weighted mean the answer is, within 64 bits too.
struct Line {
    std::uint64_t base;
    std::uint64_t c;
    bool falling;
    unsigned shift;
    std::uint64_t norm;

    Line(std::uint64_t base, std::uint64_t c, bool falling, std::uint64_t d) noexcept
        : base(base),
          c(c),
          falling(falling),
          shift(d == 0 ? 0 : static_cast<unsigned>(std::countl_zero(d))),
          norm(d << shift) {}

    divop::u128 part(std::uint64_t t) const noexcept { return mul_wide(c, t << shift); }

    // The quotient and scaled remainder of n from those of its part.
    divop::QuotRem whole(divop::QuotRem part) const noexcept {
        return falling ? whole<true>(part) : whole<false>(part);
    }

    template <bool Falling>
    divop::QuotRem whole(divop::QuotRem part) const noexcept {
        if constexpr (!Falling) {
            return {base + part.q, part.r};
        } else {
            // floor(base - x) = base - ceil(x), and the remainder is what the
            // ceiling went past.
            const bool fraction = part.r != 0;
            return {base - part.q - static_cast<std::uint64_t>(fraction), fraction ? norm - part.r : 0};
        }
    }
};

// The queries of one segment answered as a run, as the table's walk hands them
// over. The part c t of a numerator is linear in its key, so keys that follow
// each other at one fixed distance g (sample indices, a regular clock) have
// parts c g apart: once that amount is divided into a quotient and remainder
// (one division per run), each further key of the run costs an addition
// instead of a division. Every quotient and remainder, and so every answer, is
// the one a division gives.
//
// Kernel provides Key, Answer, line() (the segment's Line), distance(key)
// (t), and finish(qr, scale, answer) -> bool
// from the numerator's quotient and remainder by d, or both scaled by the same
// power of two (false: no answer, the Exact method's NotFound), with
// finish_lanes() its vector form and with_fixed_finish(use) its form for a
// whole run.
template <class Kernel>
class SteppedSegment {
public:
    using Key = typename Kernel::Key;
    using Answer = typename Kernel::Answer;

    // The reciprocal is prepared here: a segment is set up only once enough of
    // its queries have come to pay for it (set_up_now).
    explicit SteppedSegment(const Kernel& kernel) : kernel_(kernel), line_(kernel.line()), divisor_(line_.norm) {
#if defined(RUST_HAVE_LANES)
        lanes_ = lanes_possible();
#endif
    }

    // The one-query answer at a segment's right end is the tie point's own:
    // the numerator there is that end's value (or position) times d.
    static constexpr bool kAnswersAtEnds = true;

    // Whether to set the segment up for the next key, inside it and above
    // before, after `answered` of its keys went one by one: once sixteen have
    // (preparing a reciprocal costs one hardware division and saves about a
    // third of one on each later quotient, measured on x86-64, so segments
    // that see a few queries each, as in a large table, do better without),
    // or at once where the spacing of the last two keys promises many more.
    static bool set_up_now(std::size_t answered, Key before, Key key, Key hi) noexcept {
        return answered >= kOneByOne || (before < key && gap(key, hi) / kOneByOne >= gap(before, key));
    }

    // Answers read(k), read(k + 1), ... into out[k], out[k + 1], ... while they
    // lie strictly inside the segment (lo, hi), up to count; read(k) does.
    template <class Read>
    RunEnd answer_run(Read& read, std::size_t k, std::size_t count, Key lo, Key hi, Answer* out) {
        return line_.falling ? run_prepared<true>(read, k, count, lo, hi, out)
                             : run_prepared<false>(read, k, count, lo, hi, out);
    }

private:
    static constexpr std::size_t kOneByOne = 16;

    // run() by the prepared reciprocal, for a numerator that falls or rises
    // as the segment's does (known per segment, so not asked per key).
    // Segments whose c d is below 2^53 (and c below 2^50) divide their keys'
    // parts c t in binary64 instead (divop::SmallDivisor), unscaled, and scale
    // the remainder as the rounding rules read it.
    template <bool Falling, class Read>
    RunEnd run_prepared(Read& read, std::size_t k, std::size_t count, Key lo, Key hi, Answer* out) {
        const Kernel kernel = kernel_;
        const Line line = line_;
        const divop::Divisor divisor = divisor_;
        const auto divide = [divisor](divop::u128 n, std::uint64_t) { return divisor.div_rem_normalised(n); };
        return kernel.with_fixed_finish([&](const auto finish) {
            if (divop::SmallDivisor::fits(line.c, divisor.value() >> line.shift)) {
                const divop::SmallDivisor small(divisor.value() >> line.shift);
                return run(
                    read, k, count, lo, hi, out,
                    [kernel, line, small](Key key) {
                        const divop::QuotRem part = small.div_rem(line.c * kernel.distance(key));
                        return line.whole<Falling>({part.q, part.r << line.shift});
                    },
                    line.norm, divide, finish);
            }
            return run(
                read, k, count, lo, hi, out,
                [kernel, line, divisor](Key key) {
                    return line.whole<Falling>(divisor.div_rem_normalised(line.part(kernel.distance(key))));
                },
                line.norm, divide, finish);
        });
    }

    // answer_run() with the divisions given: whole(key), the quotient of a
    // key's numerator and its remainder, both scaled so that `scale` stands
    // for d; divide(part, norm), a part's quotient and scaled remainder; and
    // finish, the kernel's, for the keys divided one by one.
    template <class Read, class Whole, class Divide, class Finish>
    RunEnd run(Read& read, std::size_t j, std::size_t count, Key lo, Key hi, Answer* out, const Whole whole,
               const std::uint64_t scale, const Divide divide, const Finish finish) {
        const Kernel kernel = kernel_;
        while (j < count) {
            // Evenly spaced keys ahead (four at one gap, the last with room for
            // twelve more before the segment ends) are stepped; others are
            // divided a block at a time with nothing else to keep track of,
            // eight at a time in vector lanes where the segment allows it.
            // Setting a run up costs two divisions and a call: segments that
            // see ten queries or so, as in a large table, do better dividing.
            if (count - j >= 4) {
                const Key k0 = read(j);
                const Key k3 = read(j + 3);
                const std::uint64_t g = gap(k0, read(j + 1));
                if (lo < k0 && k0 < k3 && k3 < hi && gap(read(j + 1), read(j + 2)) == g &&
                    gap(read(j + 2), k3) == g && gap(k3, hi) / 12 > g) {
                    const Line line = line_;
                    divop::QuotRem qr = line.whole(divide(line.part(kernel.distance(k0)), line.norm));
                    if (!kernel.finish(qr, line.norm, out[j])) {
                        return {j, true};
                    }
                    ++j;
                    Key key = k0;
                    std::uint64_t want = g;
                    bool missed = false;
                    for (;;) {
                        // The gap the run needs next, learnt with one division; a
                        // run that needs a new gap twice in a row is not evenly
                        // spaced and goes back to dividing.
                        if (want != 0) {
                            if (missed) {
                                break;
                            }
                            missed = true;
                            learn(want, divide);
                        }
                        const Stepped r =
                            step_run(read, j, count, hi, kernel, line.norm, gaps_, steps_, key, qr, out);
                        if (r.failed) {
                            return {r.next, true};
                        }
                        missed = missed && r.next == j;
                        j = r.next;
                        key = r.last;
                        qr = r.last_qr;
                        want = r.want;
                        if (want == 0) {
                            break;
                        }
                    }
                    continue;
                }
            }
            const std::size_t end = count - j > kBlock ? j + kBlock : count;
#if defined(RUST_HAVE_LANES)
            if (lanes_) {
                j = divide_lanes(read, j, end, out);
            }
#endif
            for (; j < end; ++j) {
                const Key key = read(j);
                if (!(lo < key && key < hi)) {
                    return {j, false};
                }
                if (!finish(whole(key), scale, out[j])) {
                    return {j, true};
                }
            }
        }
        return {j, false};
    }

#if defined(RUST_HAVE_LANES)
    // Whether the segment's keys can be divided eight at a time: the vector
    // path is on and the segment's numbers are within the vector division's
    // bounds.
    bool lanes_possible() const noexcept {
        const std::uint64_t d = line_.norm >> line_.shift;
        return divop::lanes_enabled() && line_.c < divop::kLaneFactorBound && d < divop::kLaneDivisorBound;
    }

    // The keys read(j), ... before end answered eight at a time while each
    // group lies strictly inside the segment and has all its answers; returns
    // the first key left to the one-by-one loop.
    template <class Read>
    [[gnu::target("avx512f,avx512dq")]] std::size_t divide_lanes(Read& read, std::size_t j, std::size_t end,
                                                                Answer* out) const {
        const Kernel kernel = kernel_;
        const __m512i one = _mm512_set1_epi64(1);
        const __m512i d = _mm512_set1_epi64(static_cast<long long>(line_.norm >> line_.shift));
        const __m512i c = _mm512_set1_epi64(static_cast<long long>(line_.c));
        const __m512i base = _mm512_set1_epi64(static_cast<long long>(line_.base));
        const __mmask8 falling = line_.falling ? 0xFF : 0;
        for (; end - j >= 8; j += 8) {
            // Set from the eight values rather than stored and loaded: a load
            // of eight separate stores would wait for all of them.
            const auto t_of = [&](std::size_t l) { return static_cast<long long>(kernel.distance(read(j + l))); };
            const __m512i t = _mm512_set_epi64(t_of(7), t_of(6), t_of(5), t_of(4), t_of(3), t_of(2), t_of(1), t_of(0));
            // Strictly inside: 0 < t < d, t taken modulo 2^64.
            const __mmask8 inside = _mm512_cmplt_epu64_mask(_mm512_sub_epi64(t, one), _mm512_sub_epi64(d, one));
            divop::Lanes part;
            __m512i answers = _mm512_setzero_si512();
            if ((inside & divop::div_rem_lanes(c, t, d, part)) != 0xFF ||
                !kernel.finish_lanes(whole_lanes(base, part, falling, d), d, answers)) {
                break;
            }
            _mm512_storeu_si512(out + j, answers);
        }
        return j;
    }
#endif

    static constexpr std::size_t kGaps = 3;
    // Keys divided between two looks for evenly spaced ones.
    static constexpr std::size_t kBlock = 32;

    struct Stepped {
        std::size_t next;
        bool failed;
        Key last;
        divop::QuotRem last_qr;
        std::uint64_t want;  // the gap the run lacked, or 0
    };

    // Keeps the step of gap g among the gaps the runs step by, in place of the
    // one learnt longest ago: c g divided (g < d, as both keys lie inside the
    // segment), negated where the numerator falls, so that runs step the
    // numerator's own quotient and remainder.
    template <class Divide>
    RUST_NOINLINE void learn(std::uint64_t g, const Divide& divide) {
        const Line& line = line_;
        const divop::QuotRem m = divide(line.part(g), line.norm);
        gaps_[next_slot_] = g;
        if (!line.falling || (m.q == 0 && m.r == 0)) {
            steps_[next_slot_] = {m.q, m.r};
        } else if (m.r == 0) {
            // floor(-m / norm) = -ceil(m / norm).
            steps_[next_slot_] = {0 - m.q, 0};
        } else {
            steps_[next_slot_] = {0 - m.q - 1, line.norm - m.r};
        }
        next_slot_ = (next_slot_ + 1) % kGaps;
    }

    // The keys from read(j) on, each above the one before by one of the learnt
    // gaps (0: none learnt in that slot) and below hi, answered by stepping the
    // numerator's quotient and scaled remainder from qr, that of `key`; returns
    // where the run broke off, and the gap it lacked there (0 if it broke off for
    // another reason). A few gaps cover positions such as floor(k * span / (N -
    // 1)), whose gaps differ by one, and the values at them, whose gaps differ
    // by the slope. A function of its own with everything in locals, so that
    // the loop keeps its values in registers.
    template <class Read>
    RUST_NOINLINE static Stepped step_run(Read& read, std::size_t j, std::size_t count, Key hi,
                                          const Kernel kernel, const std::uint64_t norm,
                                          const std::uint64_t* gaps, const divop::Step* steps, Key key,
                                          divop::QuotRem qr, Answer* out) {
#if defined(RUST_HAVE_LANES)
        // Runs of one gap, at least two groups of eight long, go eight keys at
        // a time where the CPU can.
        if (divop::lanes_enabled() && j + 16 <= count && read(j) > key) {
            const std::uint64_t g = gap(key, read(j));
            const std::size_t slot = slot_of(gaps, g);
            const std::uint64_t span = gap(key, hi) - 1;
            if (slot < kGaps && span / 16 >= g) {
                j = step_lanes(read, j, count, span / 8 / g, kernel, norm, g, steps[slot], key, qr, out);
            }
        }
#endif
        // Runs of one gap, at least two groups of four long, go four keys at a
        // time on four chains.
        if (j + 8 <= count && read(j) > key) {
            const std::uint64_t g = gap(key, read(j));
            const std::size_t slot = slot_of(gaps, g);
            const std::uint64_t span = gap(key, hi) - 1;
            if (slot < kGaps && span / 8 >= g) {
                j = step_chains(read, j, count, span / 4 / g, kernel, norm, g, steps[slot], key, qr, out);
            }
        }
        for (; j < count; ++j) {
            const Key next = read(j);
            if (!(next > key && next < hi)) {
                break;
            }
            const std::uint64_t g = gap(key, next);
            const std::size_t slot = slot_of(gaps, g);
            if (slot == kGaps) {
                return {j, false, key, qr, g};
            }
            qr = divop::advance(qr, steps[slot], norm);
            key = next;
            if (!kernel.finish(qr, norm, out[j])) {
                return {j, true, key, qr, 0};
            }
        }
        return {j, false, key, qr, 0};
    }

    // The keys from read(j) on, four at a time while each group is the next
    // four keys g apart (at most `groups` groups, all below the segment's end)
    // and all four have answers: chain l holds the quotient and remainder for
    // the key l + 1 gaps on, and every chain moves by four steps per group.
    // One chain would make each key wait for the carry of the one before it;
    // four keep as many additions going at once. Returns where it stopped,
    // with key and qr moved to the last key answered; the one-gap-at-a-time
    // loop goes on from there, and finds any failure of the group it stopped
    // at.
    template <class Read>
    static std::size_t step_chains(Read& read, std::size_t j, std::size_t count, std::uint64_t groups,
                                   const Kernel& kernel, const std::uint64_t norm, const std::uint64_t g,
                                   const divop::Step step, Key& key, divop::QuotRem& qr, Answer* out) {
        constexpr std::size_t kChains = 4;
        divop::QuotRem chain[kChains];
        divop::QuotRem at = qr;
        divop::QuotRem four{0, 0};
        for (std::size_t l = 0; l < kChains; ++l) {
            at = divop::advance(at, step, norm);
            chain[l] = at;
            four = divop::advance(four, step, norm);
        }
        const divop::Step step4{four.q, four.r};
        auto base = static_cast<std::uint64_t>(key);
        std::uint64_t done = 0;
        for (; done < groups && count - j >= kChains; ++done) {
            bool next_four = true;
            for (std::size_t l = 0; l < kChains; ++l) {
                next_four &= static_cast<std::uint64_t>(read(j + l)) == base + (l + 1) * g;
            }
            if (!next_four) {
                break;
            }
            Answer answers[kChains];
            bool answered = true;
            for (std::size_t l = 0; l < kChains; ++l) {
                answered &= kernel.finish(chain[l], norm, answers[l]);
            }
            if (!answered) {
                break;
            }
            for (std::size_t l = 0; l < kChains; ++l) {
                out[j + l] = answers[l];
            }
            qr = chain[kChains - 1];
            base += kChains * g;
            j += kChains;
            for (std::size_t l = 0; l < kChains; ++l) {
                chain[l] = divop::advance(chain[l], step4, norm);
            }
        }
        key = static_cast<Key>(base);
        return j;
    }

    // The slot of gap g (not 0) among the learnt ones, or kGaps.
    static std::size_t slot_of(const std::uint64_t* gaps, std::uint64_t g) noexcept {
        std::size_t slot = kGaps;
        for (std::size_t i = 0; i < kGaps; ++i) {
            slot = gaps[i] == g ? i : slot;
        }
        return slot;
    }

#if defined(RUST_HAVE_LANES)
    // The keys from read(j) on, eight at a time while each group is the next
    // eight keys g apart (at most `groups` groups, all below the segment's end,
    // at least two of them) and all eight have answers: lane l holds the
    // quotient and remainder for the key l + 1 gaps on, and every lane moves
    // by eight steps per group.
    // Returns where it stopped, with key and qr moved to the last key answered;
    // the scalar loop goes on from there.
    template <class Read>
    [[gnu::target("avx512f")]] static std::size_t step_lanes(Read& read, std::size_t j, std::size_t count,
                                                             std::uint64_t groups, const Kernel& kernel,
                                                             const std::uint64_t norm, const std::uint64_t g,
                                                             const divop::Step step, Key& key, divop::QuotRem& qr,
                                                             Answer* out) {
        // The next two groups of keys are checked before any vector instruction
        // runs: the first 512-bit instructions after a pause slow the core down
        // for a while, which only a long run repays.
        const auto start = static_cast<std::uint64_t>(key);
        for (std::uint64_t l = 0; l < 16; ++l) {
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

    // b - a modulo 2^64 (for signed keys the subtraction in their own type
    // could overflow).
    static std::uint64_t gap(Key a, Key b) noexcept {
        return static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
    }

    Kernel kernel_;
    Line line_;
    divop::Divisor divisor_;
#if defined(RUST_HAVE_LANES)
    bool lanes_ = false;
#endif
    // The gaps runs have stepped by in this segment (0: a free slot) and the
    // steps of their parts.
    std::uint64_t gaps_[kGaps] = {0, 0, 0};
    divop::Step steps_[kGaps];
    std::size_t next_slot_ = 0;
};

// n = f0'(x1 - x) + f1'(x - x0) = f0' d + (f1' - f0') t, t = x - x0.
struct ForwardKernel {
    using Key = std::uint64_t;
    using Answer = std::int64_t;
    std::uint64_t x0, x1, f0o, f1o;

    Line line() const noexcept { return Line(f0o, f1o < f0o ? f0o - f1o : f1o - f0o, f1o < f0o, x1 - x0); }
    std::uint64_t distance(std::uint64_t x) const noexcept { return x - x0; }
    bool finish(divop::QuotRem qr, std::uint64_t norm, std::int64_t& out) const noexcept {
        out = forward_result(qr, norm);
        return true;
    }
    template <class Use>
    decltype(auto) with_fixed_finish(Use&& use) const {
        const ForwardKernel kernel = *this;
        return use([kernel](divop::QuotRem qr, std::uint64_t norm, std::int64_t& out) {
            return kernel.finish(qr, norm, out);
        });
    }
#if defined(RUST_HAVE_LANES)
    [[gnu::target("avx512f")]] bool finish_lanes(divop::Lanes qr, __m512i norm, __m512i& out) const noexcept {
        out = forward_result_lanes(qr, norm);
        return true;
    }
#endif
};

// n = x0(f1' - f') + x1(f' - f0') = x0 d + (x1 - x0) t, t = f' - f0'.
struct InverseKernel {
    using Key = std::int64_t;
    using Answer = std::uint64_t;
    std::uint64_t x0, x1, f0o, f1o;
    Method method;

    Line line() const noexcept { return Line(x0, x1 < x0 ? x0 - x1 : x1 - x0, x1 < x0, f1o - f0o); }
    std::uint64_t distance(std::int64_t f) const noexcept { return offset_form(f) - f0o; }
    bool finish(divop::QuotRem qr, std::uint64_t norm, std::uint64_t& out) const noexcept {
        return finish_by(method, qr, norm, out);
    }

    // use(finish) with finish(qr, norm, out) the method's own, fixed for a
    // whole run rather than chosen per key.
    template <class Use>
    decltype(auto) with_fixed_finish(Use&& use) const {
        switch (method) {
            case Method::Exact:
                return use(FixedFinish<Method::Exact>{});
            case Method::Nearest:
                return use(FixedFinish<Method::Nearest>{});
            case Method::Ffill:
                return use(FixedFinish<Method::Ffill>{});
            case Method::Bfill:
                break;
        }
        return use(FixedFinish<Method::Bfill>{});
    }

    template <Method M>
    struct FixedFinish {
        bool operator()(divop::QuotRem qr, std::uint64_t norm, std::uint64_t& out) const noexcept {
            return finish_by(M, qr, norm, out);
        }
    };

    static bool finish_by(Method method, divop::QuotRem qr, std::uint64_t norm, std::uint64_t& out) noexcept {
        const std::optional<std::uint64_t> x = inverse_result(qr, norm, method);
        out = x.value_or(0);
        return x.has_value();
    }

#if defined(RUST_HAVE_LANES)
    // inverse_result() in every lane; false when a lane has none (Exact).
    [[gnu::target("avx512f")]] bool finish_lanes(divop::Lanes qr, __m512i norm, __m512i& out) const noexcept {
        return inverse_result_lanes(qr, norm, method, out) == 0xFF;
    }
#endif
};

}  // namespace detail

template <>
class ForwardSegment<std::uint64_t, std::int64_t> : public detail::SteppedSegment<detail::ForwardKernel> {
public:
    ForwardSegment(std::uint64_t x0, std::uint64_t x1, std::int64_t f0, std::int64_t f1)
        : SteppedSegment({x0, x1, detail::offset_form(f0), detail::offset_form(f1)}) {}
};

template <>
class InverseSegment<std::uint64_t, std::int64_t> : public detail::SteppedSegment<detail::InverseKernel> {
public:
    InverseSegment(std::uint64_t x0, std::uint64_t x1, std::int64_t f0, std::int64_t f1, Method method)
        : SteppedSegment({x0, x1, detail::offset_form(f0), detail::offset_form(f1), method}) {}
};

}  // namespace rust
