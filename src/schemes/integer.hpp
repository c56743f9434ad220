// Exact interpolation on one segment of an integer table: u64 positions, i64 values.
#pragma once

#include <cstdint>
#include <optional>

#include "divop/divop.hpp"
#include "piecewise/method.hpp"
#include "schemes/scheme.hpp"

namespace rust {

namespace detail {

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

}  // namespace detail

template <>
struct Scheme<std::uint64_t, std::int64_t> {
    static std::int64_t forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, std::int64_t f0,
                                std::int64_t f1) {
        const std::uint64_t d = x1 - x0;
        const divop::u128 n =
            detail::forward_numerator(x, x0, x1, detail::offset_form(f0), detail::offset_form(f1));
        return detail::forward_result(divop::div_rem(n, d), d);
    }

    static std::optional<std::uint64_t> inverse(std::int64_t f, std::uint64_t x0, std::uint64_t x1,
                                                std::int64_t f0, std::int64_t f1, Method method) {
        const std::uint64_t f0o = detail::offset_form(f0);
        const std::uint64_t f1o = detail::offset_form(f1);
        const std::uint64_t d = f1o - f0o;
        const divop::u128 n = detail::inverse_numerator(detail::offset_form(f), x0, x1, f0o, f1o);
        return detail::inverse_result(divop::div_rem(n, d), d, method);
    }
};

// Sorted queries stay on one segment for long runs: its divisor is prepared once
// and each query then divides by multiplication.
template <>
class ForwardSegment<std::uint64_t, std::int64_t> {
public:
    ForwardSegment(std::uint64_t x0, std::uint64_t x1, std::int64_t f0, std::int64_t f1)
        : x0_(x0), x1_(x1), f0o_(detail::offset_form(f0)), f1o_(detail::offset_form(f1)), d_(x1 - x0) {}

    std::int64_t operator()(std::uint64_t x) const {
        const divop::u128 n = detail::forward_numerator(x, x0_, x1_, f0o_, f1o_);
        return detail::forward_result(d_.div_rem(n), d_.value());
    }

private:
    std::uint64_t x0_, x1_, f0o_, f1o_;
    divop::Divisor d_;
};

template <>
class InverseSegment<std::uint64_t, std::int64_t> {
public:
    InverseSegment(std::uint64_t x0, std::uint64_t x1, std::int64_t f0, std::int64_t f1)
        : x0_(x0), x1_(x1), f0o_(detail::offset_form(f0)), f1o_(detail::offset_form(f1)), d_(f1o_ - f0o_) {}

    std::optional<std::uint64_t> operator()(std::int64_t f, Method method) const {
        const divop::u128 n = detail::inverse_numerator(detail::offset_form(f), x0_, x1_, f0o_, f1o_);
        return detail::inverse_result(d_.div_rem(n), d_.value(), method);
    }

private:
    std::uint64_t x0_, x1_, f0o_, f1o_;
    divop::Divisor d_;
};

}  // namespace rust
