// Interpolation on one segment of a float64 table, evaluated step by step in F80.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "extended/f80.hpp"
#if RUST_F80_ENGINE_SOFT
#include "extended/f80_soft_segment.hpp"
#endif
#include "schemes/method.hpp"
#include "schemes/scheme.hpp"

namespace rust {

// Each arithmetic step below rounds to 64 significant bits on its own, so the
// steps, their grouping and their order are the result's definition: an
// algebraically equal formula gives different bits. Everything here must run
// inside an FpuScope (see F80). The steps that depend only on the segment are
// done once per run of queries; each is the same operation on the same
// operands whenever it is done, so the result does not depend on when.

namespace detail {

// A segment's end values are read afresh from their binary64 copies for every
// query of a run, straight into the x87 unit (a plain load, exact): held as
// extended values they would crowd the x87's eight registers, and the compiler
// would reload the divisor and the other constants from 80-bit copies, which
// costs several times more (measured: runs 15-40% slower). A volatile read is
// one the compiler can neither hoist out of the loop nor route through a copy
// on the stack.
inline double reload(const double& v) noexcept { return *static_cast<const volatile double*>(&v); }

}  // namespace detail

// The step-by-step definitions, one query at a time, on whichever engine F80
// has. The schemes and segments below give the same bits faster.
struct FloatSteps {
    static double forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
        const F80 xx = F80::from_position(x);
        const F80 xx0 = F80::from_position(x0);
        const F80 xx1 = F80::from_position(x1);
        const F80 ff0 = F80::from_value(f0);
        const F80 ff1 = F80::from_value(f1);
        const F80 a = xx1 - xx;
        const F80 p = ff0 * a;
        const F80 b = xx - xx0;
        const F80 q = ff1 * b;
        const F80 s = p + q;
        const F80 d = xx1 - xx0;
        return (s / d).to_f64_of_sign<F80::Sign::Either>();
    }

    static std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                                Method method) {
        // The query is checked first, as the steps read it first.
        const F80 ff = F80::from_value(f);
        const F80 xx0 = F80::from_position(x0);
        const F80 xx1 = F80::from_position(x1);
        const F80 ff0 = F80::from_value(f0);
        const F80 ff1 = F80::from_value(f1);
        const F80 a = ff1 - ff;
        const F80 p = xx0 * a;
        const F80 b = ff - ff0;
        const F80 q = xx1 * b;
        const F80 s = p + q;
        const F80 d = ff1 - ff0;
        const F80 r = s / d;
        switch (method) {
            case Method::Exact:
                // The floor when it equals the quotient.
                return r.to_whole_position();
            case Method::Nearest:
                return r.to_position<F80::Rounding::Nearest>();
            case Method::Ffill:
                return r.to_position<F80::Rounding::Down>();
            case Method::Bfill:
                return r.to_position<F80::Rounding::Up>();
        }
        return std::nullopt;
    }
};

#if RUST_F80_ENGINE_SOFT

namespace detail {

// Checks a value as F80::from_value does (the same Panic) and passes it on.
inline double finite(double v) {
    F80::from_value(v);
    return v;
}

// A quotient of the soft forms (finite, by their construction) as binary64,
// by to_f64()'s truncation.
inline double f64_of(SoftEngine::Rep r) noexcept {
    return r.m == 0 ? 0.0 : F80::f64_of_nonzero(r.negative != 0, r.m, r.e);
}

// The same quotient's parts, for the conversions to positions.
inline F80::Parts parts_of(SoftEngine::Rep r) noexcept { return {r.m == 0, r.negative != 0, r.m, r.e}; }

// The position from a quotient, as the method says.
inline std::optional<std::uint64_t> position_by(Method method, SoftEngine::Rep r) noexcept {
    const F80::Parts p = parts_of(r);
    switch (method) {
        case Method::Exact:
            return F80::whole_position_of(p);
        case Method::Nearest:
            return F80::position_of<F80::Rounding::Nearest>(p);
        case Method::Ffill:
            return F80::position_of<F80::Rounding::Down>(p);
        case Method::Bfill:
            break;
    }
    return F80::position_of<F80::Rounding::Up>(p);
}

}  // namespace detail

// On the soft engine a segment prepares what it fixes once (the divisor's
// reciprocal, the end values unpacked, whether every step is exact) and each
// query does the rest in integers; results are FloatSteps' bits.
template <>
class ForwardSegment<std::uint64_t, double> {
public:
    using Key = std::uint64_t;
    using Answer = double;

    // f0 is checked first, then f1.
    ForwardSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1)
        : f0_(detail::finite(f0)), f1_(detail::finite(f1)), form_(x0, x1, f0_, f1_) {}

    // At a segment's first query: setting up costs about what one query by
    // the one-query form does.
    static bool set_up_now(std::size_t, std::uint64_t, std::uint64_t, std::uint64_t) noexcept { return true; }
    static constexpr bool kAnswersAtEnds = false;

    template <class Read>
    RunEnd answer_run(Read& read, std::size_t k, std::size_t count, std::uint64_t lo, std::uint64_t hi,
                      double* out) const {
        for (std::size_t j = k; j < count; ++j) {
            const std::uint64_t x = read(j);
            if (x <= lo || x >= hi) {
                return {j, false};
            }
            out[j] = detail::f64_of(form_.answer(x));
        }
        return {count, false};
    }

private:
    double f0_, f1_;
    detail::SoftForward<true> form_;
};

template <>
class InverseSegment<std::uint64_t, double> {
public:
    using Key = double;
    using Answer = std::uint64_t;

    InverseSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1, Method method)
        : f0_(detail::finite(f0)), f1_(detail::finite(f1)), method_(method), form_(x0, x1, f0_, f1_) {}

    // From a segment's third query on: setting up (a division for the
    // reciprocal, the ends' rounded difference, two scales) costs more than a
    // query by the one-query form, so segments that see a query or two (a
    // large table) are cheaper without it.
    static bool set_up_now(std::size_t answered, double, double, double) noexcept { return answered >= 2; }
    static constexpr bool kAnswersAtEnds = false;

    template <class Read>
    RunEnd answer_run(Read& read, std::size_t k, std::size_t count, double lo, double hi,
                      std::uint64_t* out) const {
        switch (method_) {
            case Method::Exact:
                return run_exact(read, k, count, lo, hi, out);
            case Method::Nearest:
                return run<F80::Rounding::Nearest>(read, k, count, lo, hi, out);
            case Method::Ffill:
                return run<F80::Rounding::Down>(read, k, count, lo, hi, out);
            case Method::Bfill:
                break;
        }
        return run<F80::Rounding::Up>(read, k, count, lo, hi, out);
    }

private:
    // A NaN fails both comparisons of a run's bounds and goes back to the table.
    template <F80::Rounding R, class Read>
    RunEnd run(Read& read, std::size_t k, std::size_t count, double lo, double hi, std::uint64_t* out) const {
        for (std::size_t j = k; j < count; ++j) {
            const double f = read(j);
            if (!(lo < f && f < hi)) {
                return {j, false};
            }
            out[j] = F80::position_of<R>(detail::parts_of(form_.answer(f)));
        }
        return {count, false};
    }

    template <class Read>
    RunEnd run_exact(Read& read, std::size_t k, std::size_t count, double lo, double hi,
                     std::uint64_t* out) const {
        for (std::size_t j = k; j < count; ++j) {
            const double f = read(j);
            if (!(lo < f && f < hi)) {
                return {j, false};
            }
            const std::optional<std::uint64_t> position = F80::whole_position_of(detail::parts_of(form_.answer(f)));
            if (!position) {
                return {j, true};
            }
            out[j] = *position;
        }
        return {count, false};
    }

    double f0_, f1_;
    Method method_;
    detail::SoftInverse<true> form_;
};

// One query: the same integer forms without the reciprocal, which would
// cost more to set up than the one division it saves.
template <>
struct Scheme<std::uint64_t, double> {
    static double forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
        const double ff0 = detail::finite(f0);
        const double ff1 = detail::finite(f1);
        return detail::f64_of(detail::SoftForward<false>(x0, x1, ff0, ff1).answer(x));
    }

    static std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                                Method method) {
        const double ff = detail::finite(f);
        const double ff0 = detail::finite(f0);
        const double ff1 = detail::finite(f1);
        return detail::position_by(method, detail::SoftInverse<false>::answer_once(x0, x1, ff0, ff1, ff));
    }
};

#else

// ((x1 - x) f0 + (x - x0) f1) / (x1 - x0), x0 < x < x1, truncated to binary64
// and not clamped to [f0, f1]. Setting up throws Panic when f0, then f1, is not
// finite.
template <>
class ForwardSegment<std::uint64_t, double> {
public:
    using Key = std::uint64_t;
    using Answer = double;

    ForwardSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1)
        : x0_(x0), x1_(x1), f0_(f0), f1_(f1), sign_(sign_of(f0, f1)) {
        // The end values' check. The runs read them from these plain copies,
        // exactly (see detail::reload).
        F80::from_value(f0);
        F80::from_value(f1);
    }

    // At a segment's first query: setting up costs about what one query by the
    // definition does, and spares the walk a second test of each segment's end.
    static bool set_up_now(std::size_t, std::uint64_t, std::uint64_t, std::uint64_t) noexcept { return true; }

    // At a segment's end the rounded steps need not give the tie point's value.
    static constexpr bool kAnswersAtEnds = false;

    template <class Read>
    RunEnd answer_run(Read& read, std::size_t k, std::size_t count, std::uint64_t lo, std::uint64_t hi,
                      double* out) const {
        switch (sign_) {
            case F80::Sign::NotNegative:
                return run<F80::Sign::NotNegative>(read, k, count, lo, hi, out);
            case F80::Sign::NotPositive:
                return run<F80::Sign::NotPositive>(read, k, count, lo, hi, out);
            case F80::Sign::Either:
                break;
        }
        return run<F80::Sign::Either>(read, k, count, lo, hi, out);
    }

private:
    // Both weights are positive, so end values of one sign (zeros of either
    // sign included) give quotients of that sign, or zero.
    static F80::Sign sign_of(double f0, double f1) noexcept {
        if (f0 >= 0 && f1 >= 0) {
            return F80::Sign::NotNegative;
        }
        if (f0 <= 0 && f1 <= 0) {
            return F80::Sign::NotPositive;
        }
        return F80::Sign::Either;
    }

    template <F80::Sign S, class Read>
    RunEnd run(Read& read, std::size_t k, std::size_t count, std::uint64_t lo, std::uint64_t hi,
               double* out) const {
        // The divisor as a local, which the compiler can keep on the x87 stack
        // across the loop. Position differences are whole numbers below 2^64:
        // exact; positive.
        const F80 d = F80::from_position(x1_ - x0_);
        for (std::size_t j = k; j < count; ++j) {
            const std::uint64_t x = read(j);
            if (!(lo < x && x < hi)) {
                return {j, false};
            }
            out[j] = quotient(x, d).to_f64_of_sign<S>();
        }
        return {count, false};
    }

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
    F80::Sign sign_;
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
        // The end values' check; each run works its extended constants out
        // again from these plain copies, which costs less than storing them as
        // 80-bit values and loading them back (a segment often serves a few
        // queries only).
        difference(f0, f1);
    }

    // As for the forward segment.
    static bool set_up_now(std::size_t, double, double, double) noexcept { return true; }
    static constexpr bool kAnswersAtEnds = false;

    template <class Read>
    RunEnd answer_run(Read& read, std::size_t k, std::size_t count, double lo, double hi,
                      std::uint64_t* out) const {
        switch (method_) {
            case Method::Exact:
                return run_exact(read, k, count, lo, hi, out);
            case Method::Nearest:
                return run<F80::Rounding::Nearest>(read, k, count, lo, hi, out);
            case Method::Ffill:
                return run<F80::Rounding::Down>(read, k, count, lo, hi, out);
            case Method::Bfill:
                break;
        }
        return run<F80::Rounding::Up>(read, k, count, lo, hi, out);
    }

private:
    // A NaN fails both comparisons of a run's bounds and goes back to the table.
    template <F80::Rounding R, class Read>
    RunEnd run(Read& read, std::size_t k, std::size_t count, double lo, double hi, std::uint64_t* out) const {
        // The extended constants as plain locals, which the compiler keeps on
        // the x87 stack across the loop; read through a copy of the segment
        // they were reloaded from memory for every query, at 40% more time.
        const F80 x0 = F80::from_position(x0_);
        const F80 x1 = F80::from_position(x1_);
        const F80 d = difference(f0_, f1_);
        for (std::size_t j = k; j < count; ++j) {
            const double f = read(j);
            if (!(lo < f && f < hi)) {
                return {j, false};
            }
            out[j] = quotient(f, x0, x1, d).to_position<R>();
        }
        return {count, false};
    }

    template <class Read>
    RunEnd run_exact(Read& read, std::size_t k, std::size_t count, double lo, double hi,
                     std::uint64_t* out) const {
        const F80 x0 = F80::from_position(x0_);
        const F80 x1 = F80::from_position(x1_);
        const F80 d = difference(f0_, f1_);
        for (std::size_t j = k; j < count; ++j) {
            const double f = read(j);
            if (!(lo < f && f < hi)) {
                return {j, false};
            }
            const std::optional<std::uint64_t> position = quotient(f, x0, x1, d).to_whole_position();
            if (!position) {
                return {j, true};
            }
            out[j] = *position;
        }
        return {count, false};
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

    // Rounded; positive. f0 is checked first, then f1.
    static F80 difference(double f0, double f1) {
        const F80 low = F80::from_value(f0);
        const F80 high = F80::from_value(f1);
        return high - low;
    }

    std::uint64_t x0_, x1_;
    double f0_, f1_;
    Method method_;
};

// One query: the step-by-step definition itself. Its last step, the
// conversion out of F80, is taken by the conversions that give the defined
// results by the hardware's stores (tested against their definitions).
template <>
struct Scheme<std::uint64_t, double> {
    static double forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
        return FloatSteps::forward(x, x0, x1, f0, f1);
    }

    static std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                                Method method) {
        return FloatSteps::inverse(f, x0, x1, f0, f1, method);
    }
};

#endif

}  // namespace rust
