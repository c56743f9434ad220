// The stepped segment: an integer segment answering its queries as runs.
//
// Evenly spaced keys by stepping, others by a division prepared once per
// segment.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "divop/divop.hpp"
#include "divop/lanes.hpp"
#include "platform/attributes.hpp"
#include "platform/divide.hpp"
#include "platform/vector_path.hpp"
#include "schemes/offset_lanes.hpp"
#include "schemes/offset_math.hpp"
#include "schemes/scheme.hpp"
#include "schemes/stepping.hpp"

namespace rust::detail {

// What a segment's direction gives SteppedSegment: the segment's Line, a key's
// distance t from the segment's first key, and the answer from the numerator's
// quotient and remainder by d, or both scaled by the same power of two (false:
// no answer, the Exact method's NotFound); with_fixed_finish(use) calls use
// with that finish fixed for a whole run, its lifted form included (see
// step_groups), and finish_lanes() is its vector form.
struct FinishUser {
    template <class Finish>
    RunEnd operator()(Finish) const noexcept {
        return {0, false};
    }
};

template <class K>
concept SteppedKernel =
    std::copy_constructible<K> &&
    requires(const K kernel, typename K::Key key, divop::QuotRem qr, std::uint64_t norm, typename K::Answer& out) {
        { kernel.line() } -> std::same_as<Line>;
        { kernel.line(Line::Scale::plain) } -> std::same_as<Line>;
        { kernel.distance(key) } -> std::same_as<std::uint64_t>;
        { kernel.finish(qr, norm, out) } -> std::same_as<bool>;
        { kernel.with_fixed_finish(FinishUser{}) } -> std::same_as<RunEnd>;
    };

// The queries of one segment answered as a run, as the table's walk hands them
// over. The part c t of a numerator is linear in its key, so keys that follow
// each other at one fixed distance g (sample indices, a regular clock) have
// parts c g apart: once that amount is divided into a quotient and remainder
// (one division per run), each further key of the run costs an addition
// instead of a division. Every quotient and remainder, and so every answer, is
// the one a division gives.
template <SteppedKernel Kernel>
class SteppedSegment {
public:
    using Key = typename Kernel::Key;
    using Answer = typename Kernel::Answer;

    // The reciprocal is prepared here: a segment is set up only once enough of
    // its queries have come to pay for it (set_up_now).
    explicit SteppedSegment(const Kernel& kernel) : kernel_(kernel), line_(kernel.line()), divisor_(line_.norm) {
#if defined(RUST_HAVE_LANES)
        lanes_fit_ = lanes_fit();
#endif
    }

    // The one-query answer at a segment's right end is the tie point's own:
    // the numerator there is that end's value (or position) times d.
    static constexpr bool kAnswersAtEnds = true;

    // Whether to set the segment up for the next key, inside it and above
    // before, after `answered` of its keys went one by one: once sixteen have
    // (preparing a reciprocal costs one hardware division and saves about a
    // third of one on each later quotient, so segments that see a few
    // queries each, as in a large table, do better without),
    // or at once where the spacing of the last two keys promises many more.
    static bool set_up_now(std::size_t answered, Key before, Key key, Key hi) noexcept {
        return answered >= kOneByOne || (before < key && key_gap(key, hi) / kOneByOne >= key_gap(before, key));
    }

    // Answers read(k), read(k + 1), ... into out[k], out[k + 1], ... while they
    // lie strictly inside the segment (lo, hi), up to count; read(k) does.
    template <VectorPath Path, class Read>
    RunEnd answer_run(Path path, Read& read, std::size_t k, std::size_t count, Key lo, Key hi, Answer* out) {
        return line_.falling ? run_prepared<true>(path, read, k, count, lo, hi, out)
                             : run_prepared<false>(path, read, k, count, lo, hi, out);
    }

    // The segment set up for the few keys a large table's sorted queries
    // bring it, each divided on its own by one hardware division, as the
    // one-query answer divides, but of the part c t alone and with the
    // segment's numbers kept at hand. No reciprocal is prepared: its own
    // hardware division would cost as much as those of the segment's keys.
    // Answers are the scheme's, as every route's are: finish(kernel, qr,
    // norm, out) gives them, by default the kernel's own finish, or one
    // fixed for a method (see with_fixed_few).
    struct KernelFinish {
        bool operator()(const Kernel& kernel, divop::QuotRem qr, std::uint64_t norm, Answer& out) const noexcept {
            return kernel.finish(qr, norm, out);
        }
    };

    // The finish a base, which takes no room where it holds nothing.
    template <class Finish = KernelFinish>
    class FewWith : private Finish {
    public:
        // Light enough to be set up again at each query (see
        // answer_unbranched): a few loads and subtractions.
        static constexpr bool kSetUpPerQuery = true;

        explicit FewWith(const Kernel& kernel, Finish finish = {}) noexcept
            : Finish(finish), kernel_(kernel), line_(kernel.line(Line::Scale::plain)) {}

        // The answer at a key inside the segment or on its right end (false:
        // none, the Exact method's NotFound).
        bool answer(Key key, Answer& out) const noexcept {
            // 0 < t <= d, so c t <= c d and the quotient, at most c, fits
            // 64 bits: the division's bounds hold without a check. The line
            // is plain, so the part is c t and norm is d.
            const divop::u128 part = mul_wide(line_.c, kernel_.distance(key));
            const platform::WordDivision qr =
                platform::divide_words(static_cast<std::uint64_t>(part >> 64), static_cast<std::uint64_t>(part),
                                       line_.norm);
            const Finish& finish = *this;
            return finish(kernel_, line_.whole({qr.q, qr.r}), line_.norm, out);
        }

    private:
        Kernel kernel_;
        Line line_;
    };
    using Few = FewWith<>;

private:
    static constexpr std::size_t kOneByOne = 16;

    // run() by the prepared reciprocal, for a numerator that falls or rises
    // as the segment's does (known per segment, so not asked per key).
    // Segments whose c d is below 2^53 (and c below 2^50) divide their keys'
    // parts c t in binary64 instead (divop::SmallDivisor), unscaled, and scale
    // the remainder as the rounding rules read it. Out of line, so that the
    // run's loops have the registers to themselves.
    template <bool Falling, VectorPath Path, class Read>
    RUST_NOINLINE RunEnd run_prepared(Path path, Read& read, std::size_t k, std::size_t count, Key lo, Key hi,
                                      Answer* out) {
        const Kernel kernel = kernel_;
        const Line line = line_;
        const divop::Divisor divisor = divisor_;
        const auto divide = [divisor](divop::u128 n, std::uint64_t) { return divisor.div_rem_normalised(n); };
        return kernel.with_fixed_finish([&](const auto finish) {
            if (divop::SmallDivisor::fits(line.c, divisor.value() >> line.shift)) {
                const divop::SmallDivisor small(divisor.value() >> line.shift);
                return run(
                    path, read, k, count, lo, hi, out,
                    [kernel, line, small](Key key) {
                        const divop::QuotRem part = small.div_rem(line.c * kernel.distance(key));
                        return line.whole<Falling>({part.q, part.r << line.shift});
                    },
                    line.norm, divide, finish);
            }
            return run(
                path, read, k, count, lo, hi, out,
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
    template <VectorPath Path, class Read, class Whole, class Divide, class Finish>
    RunEnd run(Path path, Read& read, std::size_t j, std::size_t count, Key lo, Key hi, Answer* out,
               const Whole whole, const std::uint64_t scale, const Divide divide, const Finish finish) {
        while (j < count) {
            // Evenly spaced keys are stepped; others are divided a block at a
            // time with nothing else to keep track of, eight at a time in
            // vector lanes where the segment allows it.
            if (evenly_spaced_ahead(read, j, count, lo, hi)) {
                const RunEnd stepped = answer_stepped(path, read, j, count, hi, divide, finish, out);
                if (stepped.failed) {
                    return stepped;
                }
                j = stepped.next;
                continue;
            }
            const std::size_t end = count - j > kBlock ? j + kBlock : count;
#if defined(RUST_HAVE_LANES)
            if constexpr (Path::kLanes) {
                if (lanes_fit_) {
                    j = divide_lanes(read, j, end, out);
                }
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

    // Whether the keys from read(j) on are worth stepping: kRunProbe of them
    // at one gap, strictly inside the segment, the last with room for
    // kRunRoom more gaps before its end. Setting a run up costs two divisions
    // and a call, which segments that see ten queries or so, as in a large
    // table, do not repay.
    static constexpr std::size_t kRunProbe = 4;
    static constexpr std::uint64_t kRunRoom = 12;

    template <class Read>
    static bool evenly_spaced_ahead(Read& read, std::size_t j, std::size_t count, Key lo, Key hi) {
        if (count - j < kRunProbe) {
            return false;
        }
        const Key k0 = read(j);
        const Key k3 = read(j + kRunProbe - 1);
        const std::uint64_t g = key_gap(k0, read(j + 1));
        return lo < k0 && k0 < k3 && k3 < hi && key_gap(read(j + 1), read(j + 2)) == g &&
               key_gap(read(j + 2), k3) == g && key_gap(k3, hi) / kRunRoom > g;
    }

    // The evenly spaced run from read(j) on: its first key divided, the rest
    // stepped. The gap the run needs next is learnt with one division; a run
    // that needs a new gap twice in a row is not evenly spaced and goes back
    // to dividing.
    template <VectorPath Path, class Read, class Divide, class Finish>
    RunEnd answer_stepped(Path path, Read& read, std::size_t j, std::size_t count, Key hi, const Divide& divide,
                          const Finish finish, Answer* out) {
        const Kernel kernel = kernel_;
        const Line line = line_;
        Key key = read(j);
        divop::QuotRem qr = line.whole(divide(line.part(kernel.distance(key)), line.norm));
        if (!finish(qr, line.norm, out[j])) {
            return {j, true};
        }
        ++j;
        for (std::uint64_t want = key_gap(key, read(j));;) {
            learnt_.learn(line, want, divide);
            const Stepped<Key> r =
                step_run(path, read, j, count, hi, kernel, finish, line.norm, learnt_.gaps(), learnt_.steps(), key, qr,
                         out);
            if (r.failed) {
                return {r.next, true};
            }
            const bool stepped_any = r.next != j;
            j = r.next;
            key = r.last;
            qr = r.last_qr;
            want = r.want;
            if (want == 0 || !stepped_any) {
                return {j, false};
            }
        }
    }

#if defined(RUST_HAVE_LANES)
    // Whether the segment's keys can be divided eight at a time on the
    // lanes' path: its numbers are within the vector division's bounds.
    bool lanes_fit() const noexcept {
        const std::uint64_t d = line_.norm >> line_.shift;
        return line_.c < divop::kLaneFactorBound && d < divop::kLaneDivisorBound;
    }

    // The keys read(j), ... before end answered eight at a time while each
    // group lies strictly inside the segment and has all its answers; returns
    // the first key left to the one-by-one loop.
    template <class Read>
    [[RUST_LANES_TARGET("avx512f,avx512dq")]] std::size_t divide_lanes(Read& read, std::size_t j, std::size_t end,
                                                                Answer* out) const {
        const Kernel kernel = kernel_;
        const __m512i one = _mm512_set1_epi64(1);
        const __m512i d = _mm512_set1_epi64(static_cast<long long>(line_.norm >> line_.shift));
        const LineLanes line{_mm512_set1_epi64(static_cast<long long>(line_.base)),
                             _mm512_set1_epi64(static_cast<long long>(line_.c)),
                             static_cast<__mmask8>(line_.falling ? 0xFF : 0), d};
        for (; end - j >= 8; j += 8) {
            // Set from the eight values rather than stored and loaded: a load
            // of eight separate stores would wait for all of them.
            const auto t_of = [&](std::size_t l) { return static_cast<long long>(kernel.distance(read(j + l))); };
            const __m512i t = _mm512_set_epi64(t_of(7), t_of(6), t_of(5), t_of(4), t_of(3), t_of(2), t_of(1), t_of(0));
            // Strictly inside: 0 < t < d, t taken modulo 2^64.
            const __mmask8 inside = _mm512_cmplt_epu64_mask(_mm512_sub_epi64(t, one), _mm512_sub_epi64(d, one));
            divop::Lanes part;
            __m512i answers = _mm512_setzero_si512();
            if ((inside & divop::div_rem_lanes(line.c, t, d, part)) != 0xFF ||
                !kernel.finish_lanes(whole_lanes(line, part), d, answers)) {
                break;
            }
            _mm512_storeu_si512(out + j, answers);
        }
        return j;
    }
#endif

    // Keys divided between two looks for evenly spaced ones.
    static constexpr std::size_t kBlock = 32;

    Kernel kernel_;
    Line line_;
    divop::Divisor divisor_;
#if defined(RUST_HAVE_LANES)
    bool lanes_fit_ = false;
#endif
    LearntSteps learnt_;
};

}  // namespace rust::detail
