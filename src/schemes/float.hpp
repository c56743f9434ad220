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
// algebraically equal formula gives different bits. Both functions must run
// inside an FpuScope (see F80). Doubled letters (xx0, ff0) name the arguments
// carried into F80.
template <>
struct Scheme<std::uint64_t, double> {
    // ((x1 - x) f0 + (x - x0) f1) / (x1 - x0), x0 < x < x1, truncated to binary64
    // and not clamped to [f0, f1]. Throws Panic when f0, then f1, is not finite.
    static double forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
        const F80 xx = F80::from_position(x);
        const F80 xx0 = F80::from_position(x0);
        const F80 xx1 = F80::from_position(x1);
        const F80 ff0 = F80::from_value(f0);
        const F80 ff1 = F80::from_value(f1);
        // Position differences are integers below 2^64: exact.
        const F80 a = xx1 - xx;
        // A 53-bit value times a 64-bit weight: rounded when it needs more than 64 bits.
        const F80 p = ff0 * a;
        const F80 b = xx - xx0;
        const F80 q = ff1 * b;
        // Rounded; the terms may have opposite signs.
        const F80 s = p + q;
        const F80 d = xx1 - xx0;
        // Rounded; d > 0.
        const F80 r = s / d;
        // Truncation toward zero, the last rounding.
        return r.to_f64();
    }

    // The position of f, f0 < f < f1, as (x0 (f1 - f) + x1 (f - f0)) / (f1 - f0)
    // rounded to a whole position by the method; nothing under Exact when that
    // quotient is not an integer. x0 and x1 may stand in any order or be equal.
    // Throws Panic when f, then f0, then f1, is not finite.
    static std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                                Method method) {
        const F80 ff = F80::from_value(f);
        const F80 xx0 = F80::from_position(x0);
        const F80 xx1 = F80::from_position(x1);
        const F80 ff0 = F80::from_value(f0);
        const F80 ff1 = F80::from_value(f1);
        // Value differences are rounded: exact only when they fit 64 significant
        // bits (opposite signs can need a 65th). Both weights are positive.
        const F80 a = ff1 - ff;
        const F80 p = xx0 * a;
        const F80 b = ff - ff0;
        const F80 q = xx1 * b;
        const F80 s = p + q;
        const F80 d = ff1 - ff0;
        // A weighted mean of x0 and x1 up to rounding, never negative; from 2^64
        // on, the conversion clamps it to 2^64 - 1.
        const F80 r = s / d;
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
};

}  // namespace rust
