// The float segment formulas on the soft engine, with what a segment fixes worked out once.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#include "divop/divop.hpp"
#include "extended/f80_soft.hpp"

namespace rust::detail {

// A binary64 as a whole number times a power of two, t * 2^k, with t's
// trailing zeros stripped (t = 0 for zero), and its sign apart.
struct Scaled {
    std::uint64_t t;
    std::int32_t k;
    std::uint32_t negative;

    // From the engine's exact form: a binary64 significand ends in at least
    // 11 zero bits of the 64 (m * 2^(e - 64) = (m >> 11) * 2^(e - 53)).
    static Scaled of(SoftEngine::Rep r) noexcept {
        if (r.m == 0) {
            return {0, 0, 0};
        }
        const std::uint64_t t = r.m >> 11;
        const int tz = std::countr_zero(t);
        return {t >> tz, r.e - 53 + tz, r.negative};
    }
};

// The divisor of a segment, normalised: d = norm * 2^(e - 64), norm's top bit
// set. With Reciprocal, one hardware division sets up its reciprocal, and each
// quotient costs two multiplications: for runs. Without, each quotient is one
// hardware division: for a single query, where the reciprocal does not pay.
template <bool Reciprocal>
class SoftDivisor {
public:
    // norm's top bit set.
    explicit SoftDivisor(std::uint64_t norm) : divide_(norm), norm_(norm) {}

    // n * 2^(e - 64) / (norm * 2^(ed - 64)) rounded, n's top bit set: the
    // quotient of the significands lies in (1/2, 2), as for SoftEngine::div.
    SoftEngine::Rep quotient(std::uint32_t negative, std::uint64_t n, std::int32_t e) const {
        const std::uint64_t over = n >= norm_ ? 1 : 0;
        const divop::u128 num = SoftEngine::numerator(n, over);
        divop::QuotRem qr;
        if constexpr (Reciprocal) {
            qr = divide_.div_rem_normalised(num);
        } else {
            qr = divop::div_rem(num, norm_);
        }
        return SoftEngine::quotient(negative, qr, norm_, e + static_cast<std::int32_t>(over));
    }

private:
    std::conditional_t<Reciprocal, divop::Divisor, std::uint64_t> divide_;
    std::uint64_t norm_;
};

// ((x1 - x) f0 + (x - x0) f1) / (x1 - x0) for x0 < x < x1 and finite f0, f1,
// step by step as F80 rounds it (the products, the sum, the quotient).
//
// Where every step is exact the steps are whole-number arithmetic: with
// f0 = t0 * 2^k0 and f1 = t1 * 2^k1 put on one scale 2^k (k the smaller
// exponent), the products and their sum are whole numbers times 2^k, and
// while max(|t0|, |t1|) * (x1 - x0) < 2^64 each is below 2^64 in magnitude
// (the weights add up to x1 - x0), so none of them rounds; the quotient then
// rounds once, as it must. Other segments take the steps one by one.
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
        const Scaled s0 = Scaled::of(f0_);
        const Scaled s1 = Scaled::of(f1_);
        // A zero end adds nothing: it takes the other's scale.
        const std::int32_t k = s0.t == 0 ? s1.k : (s1.t == 0 ? s0.k : (s0.k < s1.k ? s0.k : s1.k));
        const std::int32_t up0 = s0.t == 0 ? 0 : s0.k - k;
        const std::int32_t up1 = s1.t == 0 ? 0 : s1.k - k;
        // A 53-bit t shifted by up to 10 stays below 2^63; further is not exact here.
        if (up0 > 10 || up1 > 10) {
            return;
        }
        t0_ = s0.t << up0;
        t1_ = s1.t << up1;
        const std::uint64_t larger = t0_ > t1_ ? t0_ : t1_;
        // Bit counts: larger < 2^a and x1 - x0 < 2^b give a product below 2^(a + b).
        if ((64 - std::countl_zero(larger)) + (64 - shift_) > 64) {
            return;
        }
        exact_ = true;
        k_ = k;
        negative0_ = s0.negative;
        opposite_ = s0.t != 0 && s1.t != 0 && s0.negative != s1.negative;
        negative_ = s0.t != 0 ? s0.negative : s1.negative;
    }

    // The quotient, finite: zero or a significand with its top bit set.
    SoftEngine::Rep answer(std::uint64_t x) const {
        if (exact_) {
            return exact(x);
        }
        return by_steps(x);
    }

private:
    SoftEngine::Rep exact(std::uint64_t x) const {
        // Both below 2^64 by the segment's bound; so is their sum.
        const std::uint64_t p = t0_ * (x1_ - x);
        const std::uint64_t q = t1_ * (x - x0_);
        std::uint64_t n;
        std::uint32_t negative = negative_;
        if (!opposite_) {
            n = p + q;
        } else {
            // The larger term gives the sign.
            n = p >= q ? p - q : q - p;
            negative = p >= q ? negative0_ : negative0_ ^ 1;
        }
        if (n == 0) {
            return SoftEngine::zero();
        }
        const int lz = std::countl_zero(n);
        // n * 2^k / ((x1 - x0) * 2^0): numerator n << lz at exponent 64 - lz + k,
        // divisor at exponent 64 - shift_.
        return divisor_.quotient(negative, n << lz, k_ - lz + shift_);
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
    bool exact_ = false;
    bool opposite_ = false;
    std::uint32_t negative0_ = 0;
    std::uint32_t negative_ = 0;
    std::uint64_t t0_ = 0, t1_ = 0;
    std::int32_t k_ = 0;
};

// (x0 (f1 - f) + x1 (f - f0)) / (f1 - f0) for f0 < f < f1, all finite, step
// by step as F80 rounds it.
//
// Where f0 and f1 are whole multiples T0, T1 of a power of two 2^k, below
// 2^62 in magnitude, and f is a multiple of it too (a query between them is,
// unless it has finer bits), the differences T1 - T and T - T0 are exact
// positive whole numbers that add up to T1 - T0; while max(x0, x1) * (T1 - T0)
// < 2^64 the products and their sum are below 2^64 too, so only the quotient
// rounds, and the scale 2^k cancels in it.
template <bool Reciprocal>
class SoftInverse {
public:
    SoftInverse(std::uint64_t x0, std::uint64_t x1, double f0, double f1)
        : x0_(x0),
          x1_(x1),
          xx0_(SoftEngine::from_u64(x0)),
          xx1_(SoftEngine::from_u64(x1)),
          f0_(SoftEngine::from_f64(f0)),
          f1_(SoftEngine::from_f64(f1)),
          d_(SoftEngine::sub(f1_, f0_)),
          divisor_(d_.m) {
        const Scaled s0 = Scaled::of(f0_);
        const Scaled s1 = Scaled::of(f1_);
        const std::int32_t k = s0.t == 0 ? s1.k : (s1.t == 0 ? s0.k : (s0.k < s1.k ? s0.k : s1.k));
        const std::int32_t up0 = s0.t == 0 ? 0 : s0.k - k;
        const std::int32_t up1 = s1.t == 0 ? 0 : s1.k - k;
        if (up0 > 8 || up1 > 8) {
            return;  // beyond 2^61
        }
        const auto signed_of = [](const Scaled& s, std::int32_t up) {
            const auto magnitude = static_cast<std::int64_t>(s.t << up);
            return s.negative != 0 ? -magnitude : magnitude;
        };
        big0_ = signed_of(s0, up0);
        big1_ = signed_of(s1, up1);
        // f1 > f0: T1 - T0 is positive and below 2^62; the divisor's
        // significand is its own, normalised.
        const auto span = static_cast<std::uint64_t>(big1_ - big0_);
        const std::uint64_t larger = x0 > x1 ? x0 : x1;
        if ((64 - std::countl_zero(larger)) + (64 - std::countl_zero(span)) > 64) {
            return;
        }
        exact_ = true;
        k_ = k;
        span_shift_ = std::countl_zero(span);
    }

    // As for SoftForward.
    SoftEngine::Rep answer(double f) const {
        if (exact_) {
            std::int64_t big;
            if (on_scale(f, big)) {
                return exact(big);
            }
        }
        return by_steps(f);
    }

private:
    // f as T * 2^k, when it is a whole multiple of 2^k: its own significand
    // s * 2^j, shifted up when j >= k, or down when the bits shifted out are zero.
    bool on_scale(double f, std::int64_t& big) const noexcept {
        const auto bits = std::bit_cast<std::uint64_t>(f);
        const auto biased = static_cast<std::int32_t>((bits >> 52) & 0x7FF);
        std::uint64_t s = bits & 0x000FFFFFFFFFFFFF;
        if (biased != 0) {
            s |= std::uint64_t{1} << 52;
        }
        const std::int32_t j = (biased == 0 ? 1 : biased) - 1075;
        const std::int32_t up = j - k_;
        std::uint64_t magnitude;
        if (up >= 0) {
            // |f| < max(|f0|, |f1|) < 2^62 * 2^k, so s << up stays below 2^62.
            magnitude = s << up;
        } else if (up > -64 && (s << (64 + up)) == 0) {
            magnitude = s >> -up;
        } else {
            return s == 0 ? (big = 0, true) : false;
        }
        big = (bits >> 63) != 0 ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        return true;
    }

    SoftEngine::Rep exact(std::int64_t big) const {
        // Positive, and adding up to T1 - T0 < 2^62.
        const auto a = static_cast<std::uint64_t>(big1_ - big);
        const auto b = static_cast<std::uint64_t>(big - big0_);
        const std::uint64_t n = x0_ * a + x1_ * b;
        if (n == 0) {
            return SoftEngine::zero();
        }
        const int lz = std::countl_zero(n);
        // n / (T1 - T0): the divisor's significand is (T1 - T0) << span_shift_.
        return divisor_.quotient(0, n << lz, span_shift_ - lz);
    }

    SoftEngine::Rep by_steps(double f) const {
        const SoftEngine::Rep ff = SoftEngine::from_f64(f);
        const SoftEngine::Rep p = SoftEngine::mul(xx0_, SoftEngine::sub(f1_, ff));
        const SoftEngine::Rep q = SoftEngine::mul(xx1_, SoftEngine::sub(ff, f0_));
        const SoftEngine::Rep s = SoftEngine::add(p, q);
        if (s.m == 0) {
            return s;
        }
        return divisor_.quotient(s.negative, s.m, s.e - d_.e);
    }

    std::uint64_t x0_, x1_;
    SoftEngine::Rep xx0_, xx1_, f0_, f1_, d_;
    SoftDivisor<Reciprocal> divisor_;
    bool exact_ = false;
    std::int64_t big0_ = 0, big1_ = 0;
    std::int32_t k_ = 0;
    int span_shift_ = 0;
};

}  // namespace rust::detail
