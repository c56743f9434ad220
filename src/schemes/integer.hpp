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

}  // namespace detail

template <>
struct Scheme<std::uint64_t, std::int64_t> {
    // Value at x, x0 < x < x1, rounded to nearest with ties to even.
    // The numerator f0'(x1 - x) + f1'(x - x0) is a weighted sum whose weights add
    // up to d = x1 - x0, so it stays below max(f0', f1') * d < 2^128 and the
    // quotient, a weighted mean, stays below 2^64. Parity is unchanged by the
    // offset of 2^63, so rounding the offset quotient rounds the value itself.
    static std::int64_t forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1,
                                std::int64_t f0, std::int64_t f1) {
        const std::uint64_t d = x1 - x0;
        const divop::u128 n = detail::mul_wide(detail::offset_form(f0), x1 - x) +
                              detail::mul_wide(detail::offset_form(f1), x - x0);
        return detail::from_offset_form(divop::div_nearest(n, d));
    }

    // Position of f, f0 < f < f1, rounded by the method; nothing under Exact when
    // no whole position matches. x0 and x1 may stand in any order: the numerator
    // x0(f1' - f') + x1(f' - f0') is bounded by max(x0, x1) * d for the same reason
    // as in forward, and rounding is by numeric value, not by the table's order.
    static std::optional<std::uint64_t> inverse(std::int64_t f, std::uint64_t x0,
                                                std::uint64_t x1, std::int64_t f0,
                                                std::int64_t f1, Method method) {
        const std::uint64_t fo = detail::offset_form(f);
        const std::uint64_t f0o = detail::offset_form(f0);
        const std::uint64_t f1o = detail::offset_form(f1);
        const std::uint64_t d = f1o - f0o;
        const divop::u128 n = detail::mul_wide(x0, f1o - fo) + detail::mul_wide(x1, fo - f0o);
        switch (method) {
            case Method::Exact:
                return divop::div_exact(n, d);
            case Method::Nearest:
                return divop::div_nearest(n, d);
            case Method::Ffill:
                return divop::div_floor(n, d);
            case Method::Bfill:
                return divop::div_ceil(n, d);
        }
        return std::nullopt;
    }
};

}  // namespace rust
