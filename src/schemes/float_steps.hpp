// The float schemes' step-by-step definitions, one query at a time, in F80.
#pragma once

#include <cstdint>
#include <optional>

#include "extended/f80.hpp"
#include "schemes/method.hpp"
#include "schemes/position_rule.hpp"

namespace rust {

// Each arithmetic step below rounds to 64 significant bits on its own, so the
// steps, their grouping and their order are the result's definition: an
// algebraically equal formula gives different bits. Everything here must run
// inside an FpuScope (see F80). The steps that depend only on the segment are
// done once per run of queries; each is the same operation on the same
// operands whenever it is done, so the result does not depend on when.

// The step-by-step definitions, one query at a time, on whichever engine F80
// has. The segments give the same bits faster.
struct FloatSteps {
    static double forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
        F80::require_finite(f0);
        F80::require_finite(f1);
        return forward_quotient(x, x0, x1, f0, f1).to_f64_by_store();
    }

    // forward()'s quotient, before its conversion, from values checked to be
    // finite; on the x87 engine they may be left unchecked, as a value that
    // is not finite makes its steps give NaN or an infinity (every other step
    // is exact or rounds a finite result), which the conversion can tell.
    static F80 forward_quotient(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) noexcept {
        const F80 xx = F80::from_position(x);
        const F80 xx0 = F80::from_position(x0);
        const F80 xx1 = F80::from_position(x1);
        const F80 ff0 = F80::from_finite_value(f0);
        const F80 ff1 = F80::from_finite_value(f1);
        const F80 a = xx1 - xx;
        const F80 p = ff0 * a;
        const F80 b = xx - xx0;
        const F80 q = ff1 * b;
        const F80 s = p + q;
        const F80 d = xx1 - xx0;
        return s / d;
    }

    static std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                                Method method) {
        // The query is checked first, as the steps read it first.
        F80::require_finite(f);
        F80::require_finite(f0);
        F80::require_finite(f1);
        const F80 r = inverse_quotient(f, x0, x1, f0, f1);
        return detail::with_position_rule(method, [&r](const auto rule) { return rule(r); });
    }

    // inverse()'s quotient, before the method's rule, from values checked as
    // forward_quotient()'s are (or on the x87 engine not).
    static F80 inverse_quotient(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1) noexcept {
        const F80 ff = F80::from_finite_value(f);
        const F80 xx0 = F80::from_position(x0);
        const F80 xx1 = F80::from_position(x1);
        const F80 ff0 = F80::from_finite_value(f0);
        const F80 ff1 = F80::from_finite_value(f1);
        const F80 a = ff1 - ff;
        const F80 p = xx0 * a;
        const F80 b = ff - ff0;
        const F80 q = xx1 * b;
        const F80 s = p + q;
        const F80 d = ff1 - ff0;
        return s / d;
    }
};

}  // namespace rust
