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
// F80 has. A run of F80 quotients writes each position straight to its
// element (write) and then redoes by the rule itself those that write
// marked (marked): see F80::write_position.
// kWhole tells the rules apart where a form can skip work for one of them.
template <F80::Rounding R>
struct RoundedPosition {
    static constexpr bool kWhole = false;

    template <class Quotient>
    std::optional<std::uint64_t> operator()(const Quotient& q) const {
        return q.template to_position<R>();
    }

    static bool write(const F80& q, std::uint64_t& out) {
        q.write_position<R>(out);
        return true;
    }

    static bool marked(std::uint64_t written) noexcept { return F80::marked_position(written); }
};

// The floor when it equals the quotient, else nothing.
struct WholePosition {
    static constexpr bool kWhole = true;

    template <class Quotient>
    std::optional<std::uint64_t> operator()(const Quotient& q) const {
        return q.to_whole_position();
    }

    // False, out untouched, when the quotient is not whole. A run's
    // quotients are weighted means of positions: never negative.
    static bool write(const F80& q, std::uint64_t& out) { return q.write_whole_position_of_nonnegative(out); }

    static bool marked(std::uint64_t written) noexcept { return F80::marked_position(written); }
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
