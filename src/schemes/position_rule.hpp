// The position rule: how a float segment's quotient becomes a position.
//
// The rounding of each method, or for Exact the whole-position check, fixed
// once per run.
#pragma once

#include <cstdint>
#include <optional>

#include "extended/f80.hpp"
#include "platform/attributes.hpp"
#include "schemes/method.hpp"

namespace rust::detail {

// A quotient is anything with to_position<R>() and to_whole_position(), as
// F80 has. A run of F80 quotients writes each position straight to its
// element (write) and then redoes by the rule itself those that write
// marked (marked): see F80::write_position.
// kWhole tells the rules apart where a form can skip work for one of them.
//
// A form may also know the exact value T that a quotient R was rounded from,
// as T's whole part and fraction r / norm, and a margin below which R's
// distance from T lies, in the same units as r (Settled). Where T's fraction
// lies further than that from a rule's edges (0 and 1 for floor, ceiling and
// whole; 1/2 for nearest), T gives the rule's position for R; settled()
// gives it, or says that R must be worked out.
struct Settled {
    std::uint64_t whole;   // floor(T)
    std::uint64_t r;       // T's fraction times norm
    std::uint64_t norm;    // 2^63 or more
    std::uint64_t margin;  // |R - T| * norm < margin <= 2^61
    bool exact;            // R is T wherever T is whole

    // Each range is tested by one unsigned compare, the values below its
    // start wrapping past its end: which side of 1/2 a fraction lies on is a
    // coin toss for real-valued queries, which a branch would guess wrong
    // half the time. Near 1/2: |2r - norm| <= 2 margin - 1 for some r in the
    // range, so every r outside it is a margin or more from norm / 2.
    bool near_whole() const noexcept { return !(r - margin < norm - 2 * margin + 1); }
    bool near_half() const noexcept { return r - (norm / 2 - margin) <= 2 * margin; }
    bool above_half() const noexcept { return r > norm / 2; }
    bool whole_and_exact() const noexcept { return r == 0 && exact; }
};

// What a rule takes from a Settled quotient: its position, none (the Exact
// method finds none), or nothing yet (Open: R is to be worked out).
enum class SettledPosition : std::uint8_t { Open, Position, None };

// The rule's position from a settled quotient where it gives one, else from
// the quotient that quotient() works out. The position goes back in a
// register: an optional built in memory and read back whole would wait for
// its parts' stores.
template <class Rule, class Quotient>
RUST_ALWAYS_INLINE std::optional<std::uint64_t> settled_or(const Rule rule, const std::optional<Settled>& settled,
                                                           Quotient&& quotient) {
    if (settled) {
        std::uint64_t position = 0;
        switch (Rule::settled(*settled, position)) {
            case SettledPosition::Position:
                return position;
            case SettledPosition::None:
                return std::nullopt;
            case SettledPosition::Open:
                break;
        }
    }
    return rule(quotient());
}

template <F80::Rounding R>
struct RoundedPosition {
    static constexpr bool kWhole = false;

    static SettledPosition settled(const Settled& s, std::uint64_t& position) noexcept {
        if constexpr (R == F80::Rounding::Nearest) {
            if (s.near_half()) {
                return SettledPosition::Open;
            }
            position = s.whole + static_cast<std::uint64_t>(s.above_half());
        } else {
            if (s.whole_and_exact()) {
                position = s.whole;
                return SettledPosition::Position;
            }
            if (s.near_whole()) {
                return SettledPosition::Open;
            }
            position = s.whole + static_cast<std::uint64_t>(R == F80::Rounding::Up);
        }
        return SettledPosition::Position;
    }

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

    static SettledPosition settled(const Settled& s, std::uint64_t& position) noexcept {
        if (s.whole_and_exact()) {
            position = s.whole;
            return SettledPosition::Position;
        }
        return s.near_whole() ? SettledPosition::Open : SettledPosition::None;
    }

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
RUST_ALWAYS_INLINE decltype(auto) with_position_rule(Method method, Use&& use) {
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
