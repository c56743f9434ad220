// The terms the soft engine's segment formulas are built of.
//
// Scaled binary64 values, a segment's divisor, and 128-bit roundings to 64
// significant bits.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#include "divop/divop.hpp"
#include "extended/f80_soft.hpp"
#include "platform/attributes.hpp"

namespace rust::detail {

// A binary64 as a whole number times a power of two, t * 2^k (t = 0 for
// zero), and its sign apart.
struct Scaled {
    std::uint64_t t;
    std::int32_t k;
    std::uint32_t negative;

    // From the engine's exact form, t's trailing zeros stripped: a binary64
    // significand ends in at least 11 zero bits of the 64 (m * 2^(e - 64) =
    // (m >> 11) * 2^(e - 53)).
    static Scaled of(SoftEngine::Rep r) noexcept {
        if (r.m == 0) {
            return {0, 0, 0};
        }
        const std::uint64_t t = r.m >> 11;
        const int tz = std::countr_zero(t);
        return {t >> tz, r.e - 53 + tz, r.negative};
    }

    // The same, trailing zeros kept: t is the 53-bit significand (fewer bits
    // for a subnormal) and 2^k the unit in its last place.
    static Scaled of_unit(SoftEngine::Rep r) noexcept {
        if (r.m == 0) {
            return {0, 0, 0};
        }
        return {r.m >> 11, r.e - 53, r.negative};
    }
};

// The divisor of a segment by its significand norm (top bit set); its
// exponent is the caller's. With Reciprocal, one division sets up a reciprocal
// (divop::Divisor) and each quotient costs two multiplications: for runs.
// Without, each quotient is one divop::div_rem: for a single query, where the
// reciprocal does not pay.
template <bool Reciprocal>
class SoftDivisor {
public:
    // norm's top bit set.
    explicit SoftDivisor(std::uint64_t norm) : divide_(norm), norm_(norm) {}

    // The quotient (0.n / 0.norm) * 2^e rounded, n's top bit set: the
    // significands' quotient lies in (1/2, 2), as for SoftEngine::div.
    SoftEngine::Rep quotient(std::uint32_t negative, std::uint64_t n, std::int32_t e) const {
        const std::uint64_t over = n >= norm_ ? 1 : 0;
        return SoftEngine::quotient(negative, divide(n, over), norm_, e + static_cast<std::int32_t>(over));
    }

    // The same quotient's first 64 bits, not rounded: at most one unit in
    // their last place below the exact quotient.
    SoftEngine::Rep truncated_quotient(std::uint32_t negative, std::uint64_t n, std::int32_t e) const {
        const std::uint64_t over = n >= norm_ ? 1 : 0;
        return {divide(n, over).q, e + static_cast<std::int32_t>(over), negative};
    }

    // The quotient of a whole number n by norm >> shift (a whole number) and
    // its remainder times 2^shift: those of n << shift by norm, for n below
    // (norm >> shift) * 2^64 and a shift below 64.
    divop::QuotRem whole_quotient(divop::u128 n, int shift) const {
        // Shifted by words: n << shift stays below norm * 2^64 < 2^128.
        const auto hi = static_cast<std::uint64_t>(n >> 64);
        const auto lo = static_cast<std::uint64_t>(n);
        const divop::u128 shifted = (static_cast<divop::u128>((hi << shift) | (lo >> 1 >> (63 - shift))) << 64) |
                                    (lo << shift);
        if constexpr (Reciprocal) {
            return divide_.div_rem_normalised(shifted);
        } else {
            return divop::div_rem(shifted, norm_);
        }
    }

    std::uint64_t norm() const noexcept { return norm_; }

private:
    divop::QuotRem divide(std::uint64_t n, std::uint64_t over) const {
        const divop::u128 num = SoftEngine::numerator(n, over);
        if constexpr (Reciprocal) {
            return divide_.div_rem_normalised(num);
        } else {
            return divop::div_rem(num, norm_);
        }
    }

    std::conditional_t<Reciprocal, divop::Divisor, std::uint64_t> divide_;
    std::uint64_t norm_;
};

// A whole number below 2^128 rounded to 64 significant bits, to nearest with
// ties to even, as a whole number again (a multiple of the dropped bits' unit).
// Adding half that unit less one, and one more when the kept part is odd,
// carries into the kept part exactly when it must round up; the dropped bits
// are then cleared. A value below 2^127 rounds to at most 2^127, so nothing
// wraps. The dropped bits (1 to 64 of them) all lie in the low word, so the
// words are handled apart, without 128-bit shifts by a varying count.
inline divop::u128 round_to_64_bits(divop::u128 v) noexcept {
    const auto hi = static_cast<std::uint64_t>(v >> 64);
    if (hi == 0) {
        return v;
    }
    const auto lo = static_cast<std::uint64_t>(v);
    const auto drop = static_cast<unsigned>(64 - std::countl_zero(hi));  // 1 to 64
    // Bit `drop` of v: in the low word below 64, bit 0 of the high word at 64.
    const std::uint64_t odd = ((lo >> 1 >> (drop - 1)) | (hi << (64 - drop))) & 1;
    const std::uint64_t bias = (std::uint64_t{1} << (drop - 1)) - 1 + odd;
    const std::uint64_t sum = lo + bias;
    const std::uint64_t dropped = ~std::uint64_t{0} >> (64 - drop);
    const std::uint64_t carry = sum < lo ? 1 : 0;
    return (static_cast<divop::u128>(hi + carry) << 64) | (sum & ~dropped);
}

// A non-zero whole number below 2^128 as a significand with its top bit set
// and the exponent of its bit 127 plus one: the number itself when it has at
// most 64 significant bits, else its first 64 bits (truncated).
struct Normalised {
    std::uint64_t m;
    std::int32_t e;  // the number is m * 2^(e - 64)

    // The words are shifted apart: a 128-bit shift by a varying count costs
    // a test of the count and two selects besides the shifts.
    static Normalised of(divop::u128 v) noexcept {
        const auto hi = static_cast<std::uint64_t>(v >> 64);
        const auto lo = static_cast<std::uint64_t>(v);
        if (hi == 0) {
            const int lz = std::countl_zero(lo);
            return {lo << lz, 64 - lz};
        }
        const int lz = std::countl_zero(hi);
        // lo >> 1 >> (63 - lz): the bits of lo that move up, none for lz = 0.
        return {(hi << lz) | (lo >> 1 >> (63 - lz)), 128 - lz};
    }
};

}  // namespace rust::detail
