// Interpolation on one segment of a float64 table, evaluated step by step in F80.
#pragma once

#include <cstdint>
#include <optional>

#include "extended/f80.hpp"
#include "piecewise/method.hpp"
#include "schemes/scheme.hpp"

namespace rust {

// Each arithmetic step below rounds to 64 significant bits on its own, so the
// steps, their grouping and their order are the result's definition: an
// algebraically equal formula gives different bits. Everything here must run
// inside an FpuScope (see F80). The steps that depend only on the segment are
// done once when it is set up; each is the same operation on the same operands
// whenever it is done, so the result does not depend on when.

// ((x1 - x) f0 + (x - x0) f1) / (x1 - x0), x0 < x < x1, truncated to binary64
// and not clamped to [f0, f1]. Setting up throws Panic when f0, then f1, is not
// finite.
template <>
class ForwardSegment<std::uint64_t, double> {
public:
    ForwardSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1)
        : x0_(F80::from_position(x0)),
          x1_(F80::from_position(x1)),
          f0_(F80::from_value(f0)),
          f1_(F80::from_value(f1)),
          // Position differences are integers below 2^64: exact; positive.
          d_(x1_ - x0_) {}

    double operator()(std::uint64_t x) const {
        const F80 xx = F80::from_position(x);
        const F80 a = x1_ - xx;
        // A 53-bit value times a 64-bit weight: rounded when it needs more than 64 bits.
        const F80 p = f0_ * a;
        const F80 b = xx - x0_;
        const F80 q = f1_ * b;
        // Rounded; the terms may have opposite signs.
        const F80 s = p + q;
        // Rounded, then truncated toward zero: the last rounding.
        return (s / d_).to_f64();
    }

private:
    F80 x0_, x1_, f0_, f1_, d_;
};

// The position of f, f0 < f < f1, as (x0 (f1 - f) + x1 (f - f0)) / (f1 - f0)
// rounded to a whole position by the method; nothing under Exact when that
// quotient is not an integer. x0 and x1 may stand in any order or be equal.
// Throws Panic when f, then f0, then f1, is not finite; only f0 and f1 can be
// (f0 = -inf or f1 = +inf), as a NaN query never reaches a segment.
template <>
class InverseSegment<std::uint64_t, double> {
public:
    InverseSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1)
        : x0_(F80::from_position(x0)),
          x1_(F80::from_position(x1)),
          f0_(F80::from_value(f0)),
          f1_(F80::from_value(f1)),
          // Rounded; positive.
          d_(f1_ - f0_) {}

    std::optional<std::uint64_t> operator()(double f, Method method) const {
        const F80 ff = F80::from_value(f);
        // Value differences are rounded: exact only when they fit 64 significant
        // bits (opposite signs can need a 65th). Both weights are positive.
        const F80 a = f1_ - ff;
        const F80 p = x0_ * a;
        const F80 b = ff - f0_;
        const F80 q = x1_ * b;
        const F80 s = p + q;
        // A weighted mean of x0 and x1 up to rounding, never negative; from 2^64
        // on, the conversion clamps it to 2^64 - 1.
        const F80 r = s / d_;
        switch (method) {
            case Method::Exact: {
                const F80 whole = r.floor();
                if (whole == r) {
                    return whole.to_u64();
                }
                return std::nullopt;
            }
            case Method::Nearest:
                return r.round().to_u64();
            case Method::Ffill:
                return r.floor().to_u64();
            case Method::Bfill:
                return r.ceil().to_u64();
        }
        return std::nullopt;
    }

private:
    F80 x0_, x1_, f0_, f1_, d_;
};

template <>
struct Scheme<std::uint64_t, double> {
    static double forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
        return ForwardSegment<std::uint64_t, double>(x0, x1, f0, f1)(x);
    }

    static std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                                Method method) {
        // The query is checked first, as the steps read it first.
        const F80 checked = F80::from_value(f);
        static_cast<void>(checked);
        return InverseSegment<std::uint64_t, double>(x0, x1, f0, f1)(f, method);
    }
};

}  // namespace rust
