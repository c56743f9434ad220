// The extended value in 64-bit integers: exact products, sums and quotients, rounded to nearest even by hand.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>

#include "divop/divop.hpp"
#include "extended/parts.hpp"
#include "panic.hpp"
#include "platform/attributes.hpp"

namespace rust::detail {

// Every operation forms its exact result (a 128-bit product, a sum of aligned
// significands with a sticky bit for what the alignment dropped, a quotient
// with its remainder) and rounds it once to 64 significant bits, to nearest
// with ties to even. Nothing reads or sets floating-point state, so results
// are the same on every CPU and compiler; the 128-bit arithmetic is divop's.
struct SoftEngine {
    static constexpr const char* kName = "soft";

    // Zero is {0, 0, 0}. Any other value has m's top bit set and is
    // (negative ? -1 : 1) * m * 2^(e - 64), as F80Parts reads it. Each number
    // has one form, so equality is equality of the fields.
    struct Rep {
        std::uint64_t m;
        std::int32_t e;
        std::uint32_t negative;  // 0 or 1
    };

    static constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
    // A rest word (the bits below a 64-bit significand, read as a fraction of
    // its last unit) at exactly one half.
    static constexpr std::uint64_t kHalf = kTop;

    // Division by zero, never asked of F80, gives this exponent (standing for
    // infinity and NaN alike); exponents this far out are refused by parts().
    // Finite results stay within about 2^13 of zero, and a few steps from the
    // marker stay within int32, so no exponent sum here overflows.
    static constexpr std::int32_t kNotFinite = std::int32_t{1} << 28;
    static constexpr std::int32_t kFiniteBound = std::int32_t{1} << 27;

    static constexpr Rep zero() noexcept { return {0, 0, 0}; }

    // m (top bit set) plus the rest word below it, rounded to nearest with
    // ties to even: adding half - 1, and one more when m is odd, carries out
    // of the rest word exactly when the rest is above half, or is half with m
    // odd. A carry out of m (2^64 - 1 rounded up) is 2^63 one binade up.
    static Rep rounded(std::uint32_t negative, std::uint64_t m, std::uint64_t rest, std::int32_t e) noexcept {
        const std::uint64_t bias = (kHalf - 1) + (m & 1);
        m += static_cast<std::uint64_t>(rest + bias < rest);
        if (m == 0) [[unlikely]] {
            return {kTop, e + 1, negative};
        }
        return {m, e, negative};
    }

    // A 128-bit magnitude (not zero) whose bit 127 weighs 2^(e - 1), rounded:
    // shifted up until its top bit is set, its high word the significand and
    // its low word the rest.
    static Rep rounded_wide(std::uint32_t negative, divop::u128 v, std::int32_t e) noexcept {
        const auto hi = static_cast<std::uint64_t>(v >> 64);
        const int lz = hi != 0 ? std::countl_zero(hi) : 64 + std::countl_zero(static_cast<std::uint64_t>(v));
        v = v << lz;
        return rounded(negative, static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v), e - lz);
    }

    // Exact: a u64 has at most 64 significant bits; 0 gives zero.
    static Rep from_u64(std::uint64_t u) noexcept {
        if (u == 0) {
            return zero();
        }
        const int shift = std::countl_zero(u);
        return {u << shift, 64 - shift, 0};
    }

    // Exact for every finite binary64: a normal one is (f | 2^52) * 2^(b - 1075),
    // a subnormal f * 2^-1074, both at most 53 bits. The caller has refused
    // NaN and the infinities.
    RUST_ALWAYS_INLINE static Rep from_f64(double d) noexcept {
        const auto bits = std::bit_cast<std::uint64_t>(d);
        const auto negative = static_cast<std::uint32_t>(bits >> 63);
        const auto biased = static_cast<std::int32_t>((bits >> 52) & 0x7FF);
        const std::uint64_t fraction = bits & 0x000FFFFFFFFFFFFF;
        if (biased != 0) [[likely]] {
            return {(fraction | (std::uint64_t{1} << 52)) << 11, biased - 1022, negative};
        }
        if (fraction == 0) {
            return zero();
        }
        // 2^-1074 has m = 2^63 at e = -1073: each leading zero below bit 63
        // lowers the exponent by one from -1010.
        const int shift = std::countl_zero(fraction);
        return {fraction << shift, -1010 - shift, negative};
    }

    static Rep add(Rep a, Rep b) noexcept { return sum(a, b, 0); }
    static Rep sub(Rep a, Rep b) noexcept { return sum(a, b, 1); }

    static Rep mul(Rep a, Rep b) noexcept {
        if (a.m == 0 || b.m == 0) {
            return zero();
        }
        return product(a.negative ^ b.negative, a.m, b.m, a.e + b.e);
    }

    // ma * mb * 2^(e - 128), both significands with their top bit set: the
    // product lies in [2^126, 2^128), so it is normalised by a shift of one
    // bit at most. Which one depends on the operands' bits: kept free of a
    // branch, which would be guessed wrong half the time.
    static Rep product(std::uint32_t negative, std::uint64_t ma, std::uint64_t mb, std::int32_t e) noexcept {
        const divop::u128 p = static_cast<divop::u128>(ma) * mb;
        auto hi = static_cast<std::uint64_t>(p >> 64);
        auto lo = static_cast<std::uint64_t>(p);
        const std::uint64_t low = (hi >> 63) ^ 1;
        hi = (hi << low) | ((lo >> 63) & low);
        lo <<= low;
        return rounded(negative, hi, lo, e - static_cast<std::int32_t>(low));
    }

    // The numerator of a quotient of significands n / d (both with their top
    // bit set): n * 2^64, or n * 2^63 when n >= d (over = 1), so that the
    // quotient has exactly 64 bits and the high word stays below d. Without
    // a branch, as for product().
    static divop::u128 numerator(std::uint64_t n, std::uint64_t over) noexcept {
        const std::uint64_t lo = (n << 63) & (std::uint64_t{0} - over);
        return (static_cast<divop::u128>(n >> over) << 64) | lo;
    }

    static Rep div(Rep a, Rep b) noexcept {
        if (b.m == 0) [[unlikely]] {
            return {kTop, kNotFinite, a.negative ^ b.negative};
        }
        if (a.m == 0) {
            return zero();
        }
        // ma / mb lies in (1/2, 2). Below 1, ma * 2^64 / mb gives 64 quotient
        // bits; from 1 on, ma * 2^63 / mb does. Either way the high word of the
        // numerator is below mb, as the division needs.
        const std::uint64_t over = a.m >= b.m ? 1 : 0;
        return quotient(a.negative ^ b.negative, divop::div_rem(numerator(a.m, over), b.m), b.m,
                        a.e - b.e + static_cast<std::int32_t>(over));
    }

    // A 64-bit quotient (top bit set) and its remainder by d, rounded: the
    // remainder against half of d decides, as divop's round_nearest does it.
    // No carry: a quotient that rounds up is below 2^64 - 1 (see div).
    static Rep quotient(std::uint32_t negative, divop::QuotRem qr, std::uint64_t d, std::int32_t e) noexcept {
        return {divop::round_nearest(qr, d), e, negative};
    }

    static bool equal(Rep a, Rep b) noexcept { return a.m == b.m && a.e == b.e && a.negative == b.negative; }

    // The integer roundings. From e = 64 on a value has no fractional bits;
    // below, its magnitude is whole + frac, frac read as a rest word (a
    // fraction of one, half at 2^63). Below 1/2 (e < 0) any non-zero word
    // below half stands for the fraction: only its side of half, and that it
    // is not zero, matter.
    struct Split {
        std::uint64_t whole;
        std::uint64_t frac;
    };

    // 0 < m, e < 64.
    static Split split(std::uint64_t m, std::int32_t e) noexcept {
        if (e <= 0) {
            return {0, e == 0 ? m : 1};
        }
        return {m >> (64 - e), m << e};
    }

    // Up by one from whole when the rest is above half, or half with whole odd.
    static std::uint64_t nearest_even(Split s) noexcept {
        const std::uint64_t bias = (kHalf - 1) + (s.whole & 1);
        return s.whole + static_cast<std::uint64_t>(s.frac + bias < s.frac);
    }

    // whole + up is at most 2^63, as whole < 2^63 for e < 64.
    static Rep signed_whole(std::uint32_t negative, std::uint64_t magnitude) noexcept {
        Rep r = from_u64(magnitude);
        r.negative = magnitude == 0 ? 0 : negative;
        return r;
    }

    static Rep round(Rep a) noexcept {
        if (a.m == 0 || a.e >= 64) {
            return a;
        }
        return signed_whole(a.negative, nearest_even(split(a.m, a.e)));
    }

    // Truncation, then one further from zero on the side the rounding goes.
    static Rep floor(Rep a) noexcept {
        if (a.m == 0 || a.e >= 64) {
            return a;
        }
        const Split s = split(a.m, a.e);
        return signed_whole(a.negative, s.whole + static_cast<std::uint64_t>(a.negative != 0 && s.frac != 0));
    }

    static Rep ceil(Rep a) noexcept {
        if (a.m == 0 || a.e >= 64) {
            return a;
        }
        const Split s = split(a.m, a.e);
        return signed_whole(a.negative, s.whole + static_cast<std::uint64_t>(a.negative == 0 && s.frac != 0));
    }

    static F80Parts parts(Rep a) {
        if (a.e > kFiniteBound || a.e < -kFiniteBound) {
            throw Panic("extended value is not finite");
        }
        if (a.m == 0) {
            return {true, false, 0, 0};
        }
        return {false, a.negative != 0, a.m, a.e};
    }

private:
    // a + b, or a - b when flip is 1.
    static Rep sum(Rep a, Rep b, std::uint32_t flip) noexcept {
        b.negative ^= flip;
        if (b.m == 0) {
            return a;
        }
        if (a.m == 0) {
            return b;
        }
        // a the larger magnitude, so the result takes its sign.
        if (a.e < b.e || (a.e == b.e && a.m < b.m)) {
            std::swap(a, b);
        }
        // a's significand at bits 126..63 of a 128-bit window: one bit of room
        // above for a carry, 63 below. b is shifted right by the exponents'
        // gap; what falls out of the window leaves a sticky bit. From a gap of
        // 66 on, b is below a quarter of a's last unit (of the last unit one
        // binade down, too) and only its being non-zero counts, so the gap is
        // cut at 127, where b is still non-zero in the window or in the sticky
        // bit.
        const std::int64_t gap = static_cast<std::int64_t>(a.e) - b.e;
        const unsigned shift = gap > 127 ? 127U : static_cast<unsigned>(gap);
        const divop::u128 big = static_cast<divop::u128>(a.m) << 63;
        const divop::u128 small = (static_cast<divop::u128>(b.m) << 63) >> shift;
        // Bits of b.m shifted out of the window: its low (shift - 63) bits.
        const bool lost = shift > 63 && (b.m << (127 - shift)) != 0;
        const auto sticky = static_cast<divop::u128>(lost ? 1U : 0U);
        // The exact result lies strictly between z and z + 1 (in units of the
        // window's bit 0) when something was lost. Setting bit 0 puts z on the
        // same side of every multiple of 2 as the exact value, and the rounding
        // compares only against multiples of 2: the result shifts left by two
        // bits at most before rounding (a gap of 64 or more leaves at least
        // 2^125), and rounds at bit 61 or above.
        divop::u128 z;
        if (a.negative == b.negative) {
            z = (big + small) | sticky;
        } else {
            z = (big - small - sticky) | sticky;
        }
        if (z == 0) {
            return zero();
        }
        // Bit 127 of the window weighs 2^e for a's exponent e.
        return rounded_wide(a.negative, z, a.e + 1);
    }
};

}  // namespace rust::detail
