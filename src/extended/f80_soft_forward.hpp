// The forward segment formula on the soft engine.
//
// What a segment fixes is worked out once; each query does the rest.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#include "divop/divop.hpp"
#include "extended/f80_soft.hpp"
#include "platform/attributes.hpp"
#include "extended/f80_soft_terms.hpp"

namespace rust::detail {

// ((x1 - x) f0 + (x - x0) f1) / (x1 - x0) for x0 < x < x1 and finite f0, f1,
// step by step as F80 rounds it (the products, the sum, the quotient). Three
// forms, by what the segment's numbers allow:
//
// - exact: with f0 = t0 * 2^k0 and f1 = t1 * 2^k1 put on one scale 2^k (k the
//   smaller exponent, trailing zeros stripped), the products and their sum are
//   whole numbers times 2^k, and while max(|t0|, |t1|) * (x1 - x0) < 2^64 each
//   is below 2^64 in magnitude (the weights add up to x1 - x0), so none of them
//   rounds; the quotient then rounds once, as it must;
// - scaled: with the binary64 significands s0, s1 (53 bits) at exponents at
//   most 9 apart, each shifted onto the common scale (below 2^62), each
//   product s * weight (below 2^126) is rounded to 64 bits as a whole number
//   (the same bits as rounding it before the shift, a power of two), and
//   their sum (below 2^127) rounded the same way: the steps' roundings, in
//   128-bit integers;
// - steps: the engine's operations one by one, for end values far apart.
template <bool Reciprocal>
class SoftForward {
public:
    SoftForward(std::uint64_t x0, std::uint64_t x1, double f0, double f1)
        : x0_(x0),
          x1_(x1),
          f0_(SoftEngine::from_f64(f0)),
          f1_(SoftEngine::from_f64(f1)),
          shift_(std::countl_zero(x1 - x0)),
          divisor_((x1 - x0) << shift_) {
        const bool zero0 = f0_.m == 0;
        const bool zero1 = f1_.m == 0;
        opposite_ = !zero0 && !zero1 && f0_.negative != f1_.negative;
        negative0_ = f0_.negative;
        negative_ = zero0 ? f1_.negative : f0_.negative;
        // A zero end adds nothing: it takes the other's scale.
        const auto common = [&](std::int32_t k0, std::int32_t k1) {
            return zero0 ? k1 : (zero1 ? k0 : (k0 < k1 ? k0 : k1));
        };
        const Scaled s0 = Scaled::of(f0_);
        const Scaled s1 = Scaled::of(f1_);
        const std::int32_t k = common(s0.k, s1.k);
        const std::int32_t up0 = zero0 ? 0 : s0.k - k;
        const std::int32_t up1 = zero1 ? 0 : s1.k - k;
        // A 53-bit t shifted by up to 10 stays below 2^63.
        if (up0 <= 10 && up1 <= 10) {
            t0_ = s0.t << up0;
            t1_ = s1.t << up1;
            const std::uint64_t larger = t0_ > t1_ ? t0_ : t1_;
            // Bit counts: larger < 2^a and x1 - x0 < 2^b give a product below 2^(a + b).
            if ((64 - std::countl_zero(larger)) + (64 - shift_) <= 64) {
                form_ = Form::Exact;
                k_ = k;
                return;
            }
        }
        const std::int32_t e = common(f0_.e, f1_.e);
        const std::int32_t shift0 = zero0 ? 0 : f0_.e - e;
        const std::int32_t shift1 = zero1 ? 0 : f1_.e - e;
        if (shift0 <= 9 && shift1 <= 9) {
            form_ = Form::Scaled;
            t0_ = f0_.m >> 11 << shift0;
            t1_ = f1_.m >> 11 << shift1;
            // The significands s = m >> 11 are whole numbers at scale 2^(e - 53).
            k_ = e - 53;
        }
    }

    // For its binary64 truncation: the quotient, finite, or (scaled form) a
    // value that truncates the same; zero or a significand with its top bit
    // set. Inlined into a run's loop, so that the segment's constants stay in
    // registers.
    RUST_ALWAYS_INLINE SoftEngine::Rep answer(std::uint64_t x) const {
        if (form_ == Form::Exact) [[likely]] {
            return exact(x);
        }
        if (form_ == Form::Scaled) {
            return scaled_for_f64(x);
        }
        return by_steps(x);
    }

private:
    enum class Form : std::uint8_t { Exact, Scaled, Steps };

    // The magnitude and sign of p + q, where p and q stand for terms with the
    // end values' signs.
    template <class T>
    std::uint32_t combine(T p, T q, T& n) const noexcept {
        if (!opposite_) {
            n = p + q;
            return negative_;
        }
        // The larger term gives the sign.
        if (p >= q) {
            n = p - q;
            return negative0_;
        }
        n = q - p;
        return negative0_ ^ 1;
    }

    SoftEngine::Rep exact(std::uint64_t x) const {
        // Both below 2^64 by the segment's bound; so is their sum.
        std::uint64_t n;
        const std::uint32_t negative = combine(t0_ * (x1_ - x), t1_ * (x - x0_), n);
        if (n == 0) {
            return SoftEngine::zero();
        }
        const int lz = std::countl_zero(n);
        // n * 2^k / ((x1 - x0) * 2^0): numerator n << lz at exponent 64 - lz + k,
        // divisor at exponent 64 - shift_.
        return divisor_.quotient(negative, n << lz, k_ - lz + shift_);
    }

    // The scaled form's steps round four times (each product, their sum, the
    // quotient), each by at most 2^-64 of its value. Where the end values do
    // not have opposite signs the terms add without cancelling, so the
    // rounded quotient R lies within 3.001 * 2^-64 of the exact one, T, in
    // ratio. The first 64 bits of T worked out from the exact sum's first 64
    // bits, q, are below T by less than 3 units in their last place, and T
    // is below 2^64 + 2 of those units; so R is above q - 3.01 and below
    // q + 6.01. Where q is 8 units or more away from the multiples of 2^11
    // units on either side, R lies in the same binade and has the same first
    // 53 bits: q truncates to R's binary64.
    // That holds for nearly every query of a real-valued table, and spares
    // the three roundings before the quotient and the quotient's own.
    // Returns q then, and R itself otherwise: the caller only truncates.
    RUST_ALWAYS_INLINE SoftEngine::Rep scaled_for_f64(std::uint64_t x) const {
        if (!opposite_) [[likely]] {
            const divop::u128 s =
                static_cast<divop::u128>(t0_) * (x1_ - x) + static_cast<divop::u128>(t1_) * (x - x0_);
            if (s != 0) [[likely]] {
                const Normalised n = Normalised::of(s);
                const SoftEngine::Rep q = divisor_.truncated_quotient(negative_, n.m, n.e + k_ - (64 - shift_));
                constexpr std::uint64_t kUnit53 = std::uint64_t{1} << 11;
                if (((q.m + 8) & (kUnit53 - 1)) >= 16) [[likely]] {
                    return q;
                }
            }
        }
        return scaled(x);
    }

    // Out of line: the rare way of the form above.
    RUST_NOINLINE SoftEngine::Rep scaled(std::uint64_t x) const {
        const divop::u128 p = round_to_64_bits(static_cast<divop::u128>(t0_) * (x1_ - x));
        const divop::u128 q = round_to_64_bits(static_cast<divop::u128>(t1_) * (x - x0_));
        divop::u128 s;
        const std::uint32_t negative = combine(p, q, s);
        if (s == 0) {
            return SoftEngine::zero();
        }
        const Normalised n = Normalised::of(round_to_64_bits(s));
        return divisor_.quotient(negative, n.m, n.e + k_ - (64 - shift_));
    }

    SoftEngine::Rep by_steps(std::uint64_t x) const {
        const SoftEngine::Rep p = SoftEngine::mul(f0_, SoftEngine::from_u64(x1_ - x));
        const SoftEngine::Rep q = SoftEngine::mul(f1_, SoftEngine::from_u64(x - x0_));
        const SoftEngine::Rep s = SoftEngine::add(p, q);
        if (s.m == 0) {
            return s;
        }
        return divisor_.quotient(s.negative, s.m, s.e - (64 - shift_));
    }

    std::uint64_t x0_, x1_;
    SoftEngine::Rep f0_, f1_;
    int shift_;  // leading zeros of x1 - x0
    SoftDivisor<Reciprocal> divisor_;
    Form form_ = Form::Steps;
    bool opposite_ = false;
    std::uint32_t negative0_ = 0;
    std::uint32_t negative_ = 0;
    std::uint64_t t0_ = 0, t1_ = 0;  // the end values' whole numbers on the common scale
    std::int32_t k_ = 0;             // the common scale's exponent
};

// (x0 (f1 - f) + x1 (f - f0)) / (f1 - f0) for f0 < f < f1, all finite, step
// by step as F80 rounds it.

}  // namespace rust::detail
