// Division of a 128-bit numerator by a 64-bit divisor, with an explicit rounding rule.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "panic.hpp"
#include "platform/divide.hpp"
#include "platform/hints.hpp"
#include "platform/wide.hpp"

namespace rust::divop {

// Numerators of the segment schemes: two 64-by-64-bit products added, kept whole.
using u128 = platform::u128;

struct QuotRem {
    std::uint64_t q;
    std::uint64_t r;
};

// floor(n / d) and n - q*d from one hardware division where the CPU has one.
// Preconditions: d != 0 and n / d < 2^64 (the high half of n is below d); the
// segment schemes only form such quotients, so a violation is an internal failure
// rather than the processor's divide fault.
inline QuotRem div_rem(u128 n, std::uint64_t d) {
    const auto hi = static_cast<std::uint64_t>(n >> 64);
    if (d == 0) {
        throw Panic("attempt to divide by zero");
    }
    if (hi >= d) {
        throw Panic("attempt to divide with overflow");
    }
    const platform::WordDivision qr = platform::divide_words(hi, static_cast<std::uint64_t>(n), d);
    return {qr.q, qr.r};
}

// The rounding rules, from a quotient and remainder by d. Each rounded quotient
// is the caller's to keep within 64 bits (the segment schemes' quotients are
// weighted means of 64-bit numbers, and so are their roundings).

// Round to nearest, ties to the even quotient. 2r may need 65 bits (r reaches
// 2^64 - 2), so r is compared with d - r instead, which cannot overflow as r < d.
constexpr std::uint64_t round_nearest(QuotRem qr, std::uint64_t d) noexcept {
    // Up when r > d - r, or at the tie r = d - r when q is odd: then when r >
    // d - r - 1, which is still at least 0 since r < d. One compare, no
    // branch, which remainders of scattered queries would mispredict.
    const std::uint64_t rest = d - qr.r - (qr.q & 1U);
    return qr.q + static_cast<std::uint64_t>(qr.r > rest);
}

constexpr std::uint64_t round_floor(QuotRem qr) noexcept { return qr.q; }

constexpr std::uint64_t round_ceil(QuotRem qr) noexcept {
    return qr.q + static_cast<std::uint64_t>(qr.r != 0);
}

constexpr std::optional<std::uint64_t> round_exact(QuotRem qr) noexcept {
    if (qr.r != 0) {
        return std::nullopt;
    }
    return qr.q;
}

// The rules read off a lifted quotient and remainder: those of n + lift by d,
// with the lift below d and fixed per rule and d. A quotient that steps (see
// advance) then carries its rounding in its own carry, and the rule costs no
// compare of its remainder with d: the floor and the exact rule need no lift,
// the ceiling lifts by d - 1, and nearest by floor(d / 2).
constexpr std::uint64_t ceil_lift(std::uint64_t d) noexcept { return d - 1; }
constexpr std::uint64_t nearest_lift(std::uint64_t d) noexcept { return d / 2; }

// Lifted by floor(d / 2), the quotient is n's rounded half up. A tie r = d / 2
// (d even) is the lifted remainder 0 and no other is (for d odd, that
// remainder stands for r = (d + 1) / 2), and it went up to an odd quotient
// only where ties to even keep the one below.
constexpr std::uint64_t round_nearest_lifted(QuotRem lifted, std::uint64_t d) noexcept {
    if (lifted.r == 0) [[unlikely]] {
        return lifted.q - (lifted.q & ~d & 1U);
    }
    return lifted.q;
}

// Numerators that move by a fixed amount m, as those of evenly spaced queries
// on one segment do, need no division but one for m itself: with m = s.q * d +
// s.r (0 <= s.r < d, s.q taken modulo 2^64 so that m may be negative), the
// quotient and remainder of n + m follow from those of n by one addition and
// one carry. The exact quotient of n + m lies in [0, 2^64) like every quotient
// here, so the sum modulo 2^64 is that quotient; results equal div_rem's.
struct Step {
    std::uint64_t q;  // floor(m / d), modulo 2^64
    std::uint64_t r;  // m - floor(m / d) * d
};

// a moved by the step s: the quotient and remainder of (a's numerator + m) by d.
constexpr QuotRem advance(QuotRem a, Step s, std::uint64_t d) noexcept {
    // a.r + s.r < 2d reaches d exactly when a.r reaches d - s.r, so that one
    // compare carries; the sum is formed only where it stays below d, since
    // it can pass 2^64 when d > 2^63.
    const std::uint64_t rest = d - s.r;
    const bool carry = a.r >= rest;
    return {a.q + s.q + static_cast<std::uint64_t>(carry), carry ? a.r - rest : a.r + s.r};
}

// The step of -m: floor(-m / d) = -ceil(m / d), and the remainder is what
// the ceiling went past. Selects rather than branches: a falling segment's
// keys take it one by one, their remainders zero or not as the keys fall.
constexpr Step negate(Step s, std::uint64_t d) noexcept {
    const bool fraction = s.r != 0;
    return {0 - s.q - static_cast<std::uint64_t>(fraction), fraction ? d - s.r : 0};
}

inline std::uint64_t div_nearest(u128 n, std::uint64_t d) { return round_nearest(div_rem(n, d), d); }
inline std::uint64_t div_floor(u128 n, std::uint64_t d) { return round_floor(div_rem(n, d)); }
inline std::uint64_t div_ceil(u128 n, std::uint64_t d) { return round_ceil(div_rem(n, d)); }
inline std::optional<std::uint64_t> div_exact(u128 n, std::uint64_t d) { return round_exact(div_rem(n, d)); }

// A divisor below 2^53 prepared for numerators below 2^53 whose quotients lie
// below 2^50: the quotient estimated in binary64 as n times the divisor's
// reciprocal, then corrected once by the remainder, computed exactly in 64
// bits. Each of the two roundings (the reciprocal's, the product's) is within
// two units in the last place, whatever rounding mode the caller has set, so
// the estimate is within 2^-50 of the quotient relatively, below 1/2 in all;
// truncated, it is the quotient or one off it either way, and the remainder
// n - q d lies in [-d, 2d). Quotients and remainders equal div_rem's.
class SmallDivisor {
public:
    // Whether numerators n < c d, quotients below c, fit these bounds.
    static constexpr bool fits(std::uint64_t c, std::uint64_t d) noexcept {
        return d != 0 && c < kQuotientBound && static_cast<u128>(c) * d < kNumeratorBound;
    }

    explicit SmallDivisor(std::uint64_t d) noexcept : d_(d), reciprocal_(1.0 / static_cast<double>(d)) {}

    QuotRem div_rem(std::uint64_t n) const noexcept {
        // Both within 2^53, so converted as signed numbers: x86-64 has single
        // instructions for those, not for unsigned ones.
        const double estimate = static_cast<double>(static_cast<std::int64_t>(n)) * reciprocal_;
        std::uint64_t q = static_cast<std::uint64_t>(static_cast<std::int64_t>(estimate));
        std::uint64_t r = n - q * d_;
        // Modulo 2^64: a remainder below zero wraps to the top, past 2d.
        if (r >= d_) {
            const bool below = static_cast<std::int64_t>(r) < 0;
            q += below ? ~std::uint64_t{0} : 1;
            r += below ? d_ : 0 - d_;
        }
        return {q, r};
    }

private:
    static constexpr std::uint64_t kNumeratorBound = std::uint64_t{1} << 53;
    static constexpr std::uint64_t kQuotientBound = std::uint64_t{1} << 50;

    std::uint64_t d_;
    double reciprocal_;
};

// A divisor prepared for many divisions: one hardware division sets up a
// reciprocal, after which each quotient costs two multiplications and a few
// corrections instead of a hardware division (Moller and Granlund, "Improved
// division by invariant integers", 2011). Every quotient and remainder equals
// div_rem's, so results do not depend on which of the two computed them.
class Divisor {
public:
    // d != 0, else the Panic of div_rem (raised while making the reciprocal).
    explicit Divisor(std::uint64_t d)
        : d_(d),
          shift_(d == 0 ? 0 : static_cast<unsigned>(std::countl_zero(d))),
          norm_(d << shift_),
          // floor((2^128 - 1) / norm) - 2^64: the high word ~norm is below norm
          // because norm has its top bit set, so the quotient fits 64 bits.
          v_(divop::div_rem((static_cast<u128>(~norm_) << 64) | ~std::uint64_t{0}, norm_).q) {}

    std::uint64_t value() const noexcept { return d_; }

    // Same contract and result as div_rem(n, value()).
    QuotRem div_rem(u128 n) const {
        check(n);
        // n < d * 2^64 (checked) and d < 2^(64 - shift), so shifting n left by
        // shift stays below 2^128. The shift is below 64 by construction;
        // saying so spares the compiler the general 128-bit shift.
        if (shift_ >= 64) {
            platform::unreachable();
        }
        const QuotRem qr = divide_normalised(n << shift_);
        return {qr.q, qr.r >> shift_};
    }

    // div_rem(n, value()) for a divisor whose top bit is set (value() >=
    // 2^63), which needs no shifting.
    QuotRem div_rem_normalised(u128 n) const {
        check(n);
        return divide_normalised(n);
    }

private:
    void check(u128 n) const {
        if (static_cast<std::uint64_t>(n >> 64) >= d_) {
            throw Panic("attempt to divide with overflow");
        }
    }

    // The quotient and remainder of u by norm, for u below norm * 2^64.
    QuotRem divide_normalised(u128 u) const noexcept {
        const auto u1 = static_cast<std::uint64_t>(u >> 64);
        const auto u0 = static_cast<std::uint64_t>(u);
        // Candidate quotient from the reciprocal, all sums modulo 2^128 and 2^64;
        // it is at most one too large before the first correction, and the
        // second correction is rarely taken.
        const u128 p = static_cast<u128>(v_) * u1 + u;
        std::uint64_t q = static_cast<std::uint64_t>(p >> 64) + 1;
        std::uint64_t r = u0 - q * norm_;
        // Taken about half the time on scattered numerators: kept free of a
        // branch, which would mispredict.
        const bool over = r > static_cast<std::uint64_t>(p);
        q -= static_cast<std::uint64_t>(over);
        r += over ? norm_ : 0;
        if (r >= norm_) [[unlikely]] {
            q += 1;
            r -= norm_;
        }
        return {q, r};
    }

    std::uint64_t d_;
    unsigned shift_;
    std::uint64_t norm_;
    std::uint64_t v_;
};

}  // namespace rust::divop
