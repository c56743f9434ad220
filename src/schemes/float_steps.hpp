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
        return (s / d).to_f64_by_store();
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
        return detail::with_position_rule(method, [&r](const auto rule) { return rule(r); });
    }
};

}  // namespace rust
