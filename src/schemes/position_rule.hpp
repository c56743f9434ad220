// The position rule: how a float segment's quotient becomes a position.
//
// The rounding of each method, or for Exact the whole-position check, fixed
// once per run.
#pragma once

#include <cstdint>
#include <optional>

#include "extended/f80.hpp"
#include "schemes/method.hpp"

namespace rust::detail {

// A quotient is anything with to_position<R>() and to_whole_position(), as
// F80 has.
template <F80::Rounding R>
struct RoundedPosition {
    template <class Quotient>
    std::optional<std::uint64_t> operator()(const Quotient& q) const {
        return q.template to_position<R>();
    }
};

// The floor when it equals the quotient, else nothing.
struct WholePosition {
    template <class Quotient>
    std::optional<std::uint64_t> operator()(const Quotient& q) const {
        return q.to_whole_position();
    }
};

// use(rule) with the method's rule: a position, or nothing (Exact only).
template <class Use>
decltype(auto) with_position_rule(Method method, Use&& use) {
    switch (method) {
        case Method::Exact:
            return use(WholePosition{});
        case Method::Nearest:
            return use(RoundedPosition<F80::Rounding::Nearest>{});
        case Method::Ffill:
            return use(RoundedPosition<F80::Rounding::Down>{});
        case Method::Bfill:
            break;
    }
    return use(RoundedPosition<F80::Rounding::Up>{});
}

}  // namespace rust::detail
