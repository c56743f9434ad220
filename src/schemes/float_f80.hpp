// The float segments on an engine with F80 values of its own (x87, MPFR).
//
// Each run keeps the segment's extended constants and takes every query through
// the defined steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "extended/f80.hpp"
#include "platform/attributes.hpp"
#include "schemes/float_lanes.hpp"
#include "schemes/float_steps.hpp"
#include "schemes/method.hpp"
#include "schemes/position_rule.hpp"
#include "schemes/scheme.hpp"

namespace rust {

namespace detail {

// A segment's end values are read afresh from their binary64 copies for every
// query of a run, straight into the x87 unit (a plain load, exact): held as
// extended values they would crowd the x87's eight registers, and the divisor
// and the other constants would be reloaded from 80-bit copies instead. A
// volatile read is one the compiler can neither hoist out of the loop nor
// route through a copy on the stack.
inline double reload(const double& v) noexcept { return *static_cast<const volatile double*>(&v); }

}  // namespace detail

// ((x1 - x) f0 + (x - x0) f1) / (x1 - x0), x0 < x < x1, truncated to binary64
// and not clamped to [f0, f1]. Setting up throws Panic when f0, then f1, is not
// finite.
template <>
class ForwardSegment<std::uint64_t, double> {
public:
    using Key = std::uint64_t;
    using Answer = double;

    ForwardSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1) : x0_(x0), x1_(x1), f0_(f0), f1_(f1) {
        // The end values' check. The runs read them from these plain copies,
        // exactly (see detail::reload).
        F80::require_finite(f0);
        F80::require_finite(f1);
    }

    // At a segment's first query: setting up costs about what one query by the
    // definition does, and spares the walk a second test of each segment's end.
    static bool set_up_now(std::size_t, std::uint64_t, std::uint64_t, std::uint64_t) noexcept { return true; }

    // At a segment's end the rounded steps need not give the tie point's value;
    // the scheme's lanes tell such queries apart themselves.
    static constexpr bool kAnswersAtEnds = false;
    static constexpr bool kLanesAnswerEnds = true;

    template <VectorPath Path, class Read>
    RunEnd answer_run(Path, Read& read, std::size_t k, std::size_t count, std::uint64_t lo, std::uint64_t hi,
                      double* out) const {
#if defined(RUST_HAVE_LANES)
        if constexpr (Path::kLanes) {
            k = detail::forward_float_run_lanes(x0_, x1_, f0_, f1_, read, k, count, lo, hi, out,
                                                [this](std::uint64_t x) { return one(x); });
        }
#endif
        return run(read, k, count, lo, hi, out);
    }

private:
    // Out of line, one copy for every route and vector path that hands it a
    // run, so that its speed does not move with the code around it. Every
    // result is written by write_f64() first, and the few it marks are redone
    // once the run is written: no result waits for its store to be read back.
    template <class Read>
    RUST_NOINLINE RunEnd run(Read& read, std::size_t k, std::size_t count, std::uint64_t lo, std::uint64_t hi,
                             double* out) const {
        // The divisor as a local, which the compiler can keep on the x87 stack
        // across the loop. Position differences are whole numbers below 2^64:
        // exact; positive.
        const F80 d = F80::from_position(x1_ - x0_);
        std::size_t j = k;
        for (; j < count; ++j) {
            const std::uint64_t x = read(j);
            if (!(lo < x && x < hi)) {
                break;
            }
            quotient(x, d).write_f64(out[j]);
        }
        for (std::size_t i = k; i < j; ++i) {
            if (F80::marked_f64(out[i])) [[unlikely]] {
                out[i] = quotient(read(i), d).to_f64();
            }
        }
        return {j, false};
    }

    // A query the lanes leave to the steps.
    double one(std::uint64_t x) const { return quotient(x, F80::from_position(x1_ - x0_)).to_f64(); }

    F80 quotient(std::uint64_t x, const F80 d) const {
        // X1 - X and X - X0 are exact, so the integer differences give them.
        const F80 a = F80::from_position(x1_ - x);
        // A 53-bit value times a 64-bit weight: rounded when it needs more than 64 bits.
        const F80 p = F80::from_finite_value(detail::reload(f0_)) * a;
        const F80 b = F80::from_position(x - x0_);
        const F80 q = F80::from_finite_value(detail::reload(f1_)) * b;
        // Rounded; the terms may have opposite signs. Then the last rounding.
        return (p + q) / d;
    }

    std::uint64_t x0_, x1_;
    double f0_, f1_;
};

// The position of f, f0 < f < f1, as (x0 (f1 - f) + x1 (f - f0)) / (f1 - f0)
// rounded to a whole position by the method; nothing under Exact when that
// quotient is not an integer. x0 and x1 may stand in any order or be equal.
// Setting up throws Panic when f0, then f1, is not finite (f0 = -inf or
// f1 = +inf); a query inside the segment is always finite.
template <>
class InverseSegment<std::uint64_t, double> {
public:
    using Key = double;
    using Answer = std::uint64_t;

    InverseSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1, Method method)
        : x0_(x0), x1_(x1), f0_(f0), f1_(f1), method_(method) {
        // The end values' check, f0 first, then f1; each run works its
        // extended constants out again from these plain copies, which costs
        // less than storing them as 80-bit values and loading them back (a
        // segment often serves a few queries only).
        F80::require_finite(f0);
        F80::require_finite(f1);
    }

    // As for the forward segment.
    static bool set_up_now(std::size_t, double, double, double) noexcept { return true; }
    static constexpr bool kAnswersAtEnds = false;
    static constexpr bool kLanesAnswerEnds = true;

    template <VectorPath Path, class Read>
    RunEnd answer_run(Path, Read& read, std::size_t k, std::size_t count, double lo, double hi,
                      std::uint64_t* out) const {
#if defined(RUST_HAVE_LANES)
        if constexpr (Path::kLanes) {
            const RunEnd lanes = detail::inverse_float_run_lanes(
                x0_, x1_, f0_, f1_, method_, read, k, count, lo, hi, out,
                [this](double f) { return FloatSteps::inverse(f, x0_, x1_, f0_, f1_, method_); });
            if (lanes.failed) {
                return lanes;
            }
            k = lanes.next;
        }
#endif
        return detail::with_position_rule(method_,
                                          [&](const auto rule) { return run(rule, read, k, count, lo, hi, out); });
    }

private:
    // The run with the method's rule fixed. A NaN fails both comparisons of a
    // run's bounds and goes back to the table. Out of line, as the forward
    // run, and like it writing every position before redoing the marked ones.
    template <class Rule, class Read>
    RUST_NOINLINE RunEnd run(const Rule rule, Read& read, std::size_t k, std::size_t count, double lo, double hi,
                             std::uint64_t* out) const {
        // The extended constants as plain locals, which the compiler keeps on
        // the x87 stack across the loop rather than reading them through the
        // segment.
        const F80 x0 = F80::from_position(x0_);
        const F80 x1 = F80::from_position(x1_);
        // Rounded; positive. The end values, checked at the set-up, go
        // straight into the x87 unit (see detail::reload): a check here
        // would take them through SSE registers and the stack.
        const F80 d = F80::from_finite_value(detail::reload(f1_)) - F80::from_finite_value(detail::reload(f0_));
        std::size_t j = k;
        bool missed = false;
        // Each query by the rule itself, from j to end; false where the run
        // stopped before end.
        const auto by_rule = [&](const std::size_t end) {
            for (; j < end; ++j) {
                const double f = read(j);
                if (!(lo < f && f < hi)) {
                    return false;
                }
                if (!rule.write(quotient(f, x0, x1, d), out[j])) {
                    missed = true;
                    return false;
                }
            }
            return true;
        };
        bool open = true;
        if constexpr (F80::kTellsExactness && Rule::kWhole) {
            // A probe, then blocks: see whole_blocks.
            open = by_rule(count - k > kProbe ? k + kProbe : count);
            if (open) {
                j = whole_blocks(read, j, count, lo, hi, out, x0, x1, d);
            }
        }
        if (open) {
            by_rule(count);
        }
        for (std::size_t i = k; i < j; ++i) {
            if (rule.marked(out[i])) [[unlikely]] {
                out[i] = *rule(quotient(read(i), x0, x1, d));
            }
        }
        return {j, missed};
    }

    // A run of whole positions on a table whose steps are exact (whole
    // numbers, halves, short values) goes by blocks once its first kProbe
    // queries were whole: each query of a block is written by the integer
    // store to nearest, with no wholeness test, and a block whose steps the
    // engine shows all exact (F80::steps_were_exact) stands, since then each
    // quotient was the rational position itself and, its store exact too,
    // whole. The store marks those from 2^63 on, as the rule's own does.
    // Returns where the run ended, or the start of the first block with a
    // rounded step, which the caller takes again query by query with the
    // rest of the run (its next block would most likely be rounded too): a
    // block is done twice once per run at most.
    //
    // Watching a block costs about as much as a few dozen queries' tests
    // (measured on a Zen 4): blocks are long, and only runs longer than the
    // probe watch, never one of a query or two. Out of line, so that the runs
    // of a few queries keep the code they had without it.
    static constexpr std::size_t kProbe = 16;
    static constexpr std::size_t kBlock = 256;

    template <class Read>
    RUST_NOINLINE std::size_t whole_blocks(Read& read, std::size_t j, std::size_t count, double lo, double hi,
                                           std::uint64_t* out, const F80 x0, const F80 x1, const F80 d) const {
        while (j < count) {
            const std::size_t end = count - j > kBlock ? j + kBlock : count;
            F80::watch_exactness();
            std::size_t i = j;
            for (; i < end; ++i) {
                const double f = read(i);
                if (!(lo < f && f < hi)) {
                    break;
                }
                quotient(f, x0, x1, d).write_position<F80::Rounding::Nearest>(out[i]);
            }
            if (!F80::steps_were_exact()) {
                return j;
            }
            if (i < end) {
                return i;
            }
            j = end;
        }
        return j;
    }

    // f lies strictly between the finite f0 and f1: it is finite. x0, x1 and d
    // are the segment's own, as the loop holds them.
    F80 quotient(double f, const F80 x0, const F80 x1, const F80 d) const {
        const F80 ff = F80::from_finite_value(f);
        // Value differences are rounded: exact only when they fit 64 significant
        // bits (opposite signs can need a 65th). Both weights are positive.
        const F80 a = F80::from_finite_value(detail::reload(f1_)) - ff;
        const F80 p = x0 * a;
        const F80 b = ff - F80::from_finite_value(detail::reload(f0_));
        const F80 q = x1 * b;
        const F80 s = p + q;
        // A weighted mean of x0 and x1 up to rounding, never negative; from 2^64
        // on, the conversion clamps it to 2^64 - 1.
        return s / d;
    }

    std::uint64_t x0_, x1_;
    double f0_, f1_;
    Method method_;
};

// One query: the step-by-step definition itself. Its last step, the
// conversion out of F80, is taken by the conversions that give the defined
// results by the hardware's stores (tested against their definitions).
//
// On the x87 engine the values are not checked before the steps, so that the
// compiler loads the steps' operands straight into the x87 unit, rather than
// into SSE registers for the checks and across through the stack. A value
// that is not finite makes the quotient NaN or infinite, which the store
// marks (or, for the Exact method, does not find whole): such a query, and
// any other whose result the store does not give, goes by the definition,
// which checks the values first. So does an Exact quotient below zero, which
// only a query outside its segment gives: stored, it reads as a position from
// 2^63 on, which is marked; else it is not found whole.
template <>
struct Scheme<std::uint64_t, double> : detail::FloatSchemeLanes {
    static double forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
#if RUST_F80_ENGINE_X87
        double value;
        FloatSteps::forward_quotient(x, x0, x1, f0, f1).write_f64(value);
        if (!F80::marked_f64(value)) [[likely]] {
            return value;
        }
#endif
        return FloatSteps::forward(x, x0, x1, f0, f1);
    }

    static std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                                Method method) {
#if RUST_F80_ENGINE_X87
        // A bool from the rule's branches, not an optional, which each
        // branch would build in memory and the caller read back whole.
        const F80 r = FloatSteps::inverse_quotient(f, x0, x1, f0, f1);
        std::uint64_t position = 0;
        if (detail::with_position_rule(
                method, [&](const auto rule) { return rule.write(r, position) && !rule.marked(position); }))
            [[likely]] {
            return position;
        }
#endif
        return FloatSteps::inverse(f, x0, x1, f0, f1, method);
    }
};

}  // namespace rust
