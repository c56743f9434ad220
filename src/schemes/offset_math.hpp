// The offset-form arithmetic of integer segments.
//
// Numerators, their lines in the key, and the roundings of their quotients.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "divop/divop.hpp"
#include "schemes/method.hpp"

namespace rust::detail {

// The offset form maps the signed order onto the unsigned one (v + 2^63, the top
// bit inverted), so value differences become exact unsigned subtractions.
constexpr std::uint64_t offset_form(std::int64_t v) noexcept {
    return static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << 63);
}

constexpr std::int64_t from_offset_form(std::uint64_t u) noexcept {
    return static_cast<std::int64_t>(u ^ (std::uint64_t{1} << 63));
}

constexpr divop::u128 mul_wide(std::uint64_t a, std::uint64_t b) noexcept {
    return static_cast<divop::u128>(a) * b;
}

// The value at x as the fraction n / (x1 - x0), n = f0'(x1 - x) + f1'(x - x0) in
// offset forms. The weights add up to the divisor, so n <= max(f0', f1') * d <
// 2^128 and the quotient, a weighted mean, stays below 2^64.
constexpr divop::u128 forward_numerator(std::uint64_t x, std::uint64_t x0, std::uint64_t x1,
                                        std::uint64_t f0o, std::uint64_t f1o) noexcept {
    return mul_wide(f0o, x1 - x) + mul_wide(f1o, x - x0);
}

// Forward rounds to nearest, ties to even. Parity is unchanged by the offset of
// 2^63, so rounding the offset quotient rounds the value itself.
constexpr std::int64_t forward_result(divop::QuotRem qr, std::uint64_t d) noexcept {
    return from_offset_form(divop::round_nearest(qr, d));
}

// forward_result() read off the quotient and remainder lifted by
// forward_lift(d) (see divop::advance): nearest's lift, and 2^63 more on the
// quotient, which takes it out of offset form as adding 2^63 modulo 2^64
// inverts the top bit.
constexpr divop::Step forward_lift(std::uint64_t d) noexcept {
    return {std::uint64_t{1} << 63, divop::nearest_lift(d)};
}

constexpr std::int64_t forward_result_lifted(divop::QuotRem lifted, std::uint64_t d) noexcept {
    return static_cast<std::int64_t>(divop::round_nearest_lifted(lifted, d));
}

// The position of f as n / (f1' - f0'), n = x0(f1' - f') + x1(f' - f0'), bounded
// by max(x0, x1) * d for the same reason as forward; x0 and x1 in any order.
constexpr divop::u128 inverse_numerator(std::uint64_t fo, std::uint64_t x0, std::uint64_t x1,
                                        std::uint64_t f0o, std::uint64_t f1o) noexcept {
    return mul_wide(x0, f1o - fo) + mul_wide(x1, fo - f0o);
}

// The quotient is the position itself; down and up are by numeric value, not by
// the order of the table.
constexpr std::optional<std::uint64_t> inverse_result(divop::QuotRem qr, std::uint64_t d,
                                                      Method method) noexcept {
    switch (method) {
        case Method::Exact:
            return divop::round_exact(qr);
        case Method::Nearest:
            return divop::round_nearest(qr, d);
        case Method::Ffill:
            return divop::round_floor(qr);
        case Method::Bfill:
            return divop::round_ceil(qr);
    }
    return std::nullopt;
}

// inverse_result() read off the quotient and remainder lifted by
// inverse_lift(method, d) (see divop::advance).
constexpr divop::Step inverse_lift(Method method, std::uint64_t d) noexcept {
    switch (method) {
        case Method::Nearest:
            return {0, divop::nearest_lift(d)};
        case Method::Bfill:
            return {0, divop::ceil_lift(d)};
        case Method::Exact:
        case Method::Ffill:
            break;
    }
    return {0, 0};
}

// The position read off a lifted quotient, where inverse_lifted_misses() is
// 0; elsewhere the method has none (Exact between two whole positions).
constexpr std::uint64_t inverse_result_lifted(divop::QuotRem lifted, std::uint64_t d, Method method) noexcept {
    return method == Method::Nearest ? divop::round_nearest_lifted(lifted, d) : lifted.q;
}

constexpr std::uint64_t inverse_lifted_misses(divop::QuotRem lifted, Method method) noexcept {
    return method == Method::Exact ? lifted.r : 0;
}

// One segment's numerator as a line in the key's distance t from the segment's
// first key (0 < t < d for a key inside): n = base * d + c * t where the
// numerator rises with the key, base * d - c * t where it falls, c >= 0. So
// floor(n / d) is base plus floor(c t / d), or base minus its ceiling, and only
// the part c t is divided. It is divided in normalised form: with s the
// leading zero bits of d, c (t << s) by norm = d << s, whose top bit is set,
// gives the same quotient and the remainder times 2^s, without shifting a
// 128-bit number (t < d, so t << s fits 64 bits). The rounding rules compare a
// remainder with its divisor only, so they read the scaled remainder and norm
// alike. c t < 2^64 d keeps every partial quotient within 64 bits, and base
// plus or minus it is the weighted mean the answer is, within 64 bits too.
// A line kept plain (shift 0, norm = d) is for the hardware division, which
// needs no normalised divisor: a key's part is then c t itself, one shift the
// fewer per key, and its remainder is read against d.
struct Line {
    enum class Scale { normalised, plain };

    std::uint64_t base;
    std::uint64_t c;
    bool falling;
    unsigned shift;
    std::uint64_t norm;

    Line(std::uint64_t base, std::uint64_t c, bool falling, std::uint64_t d,
         Scale scale = Scale::normalised) noexcept
        : base(base),
          c(c),
          falling(falling),
          shift(d == 0 || scale == Scale::plain ? 0 : static_cast<unsigned>(std::countl_zero(d))),
          norm(d << shift) {}

    divop::u128 part(std::uint64_t t) const noexcept { return mul_wide(c, t << shift); }

    // The line from `from` towards `to` over d: it rises by |to - from|, or
    // falls by it where to lies below from.
    static Line from_ends(std::uint64_t from, std::uint64_t to, std::uint64_t d,
                          Scale scale = Scale::normalised) noexcept {
        return to < from ? Line(from, from - to, true, d, scale) : Line(from, to - from, false, d, scale);
    }

    // The quotient and scaled remainder of n from those of its part.
    divop::QuotRem whole(divop::QuotRem part) const noexcept {
        return falling ? whole<true>(part) : whole<false>(part);
    }

    template <bool Falling>
    divop::QuotRem whole(divop::QuotRem part) const noexcept {
        if constexpr (!Falling) {
            return {base + part.q, part.r};
        } else {
            // floor(base - x) = base + floor(-x).
            const divop::Step down = divop::negate({part.q, part.r}, norm);
            return {base + down.q, down.r};
        }
    }
};

}  // namespace rust::detail
