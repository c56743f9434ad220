// The float segment formulas on the soft engine, with what a segment fixes worked out once.
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

// A non-zero whole number of at most 64 significant bits, below 2^128, as a
// significand with its top bit set and the exponent of its bit 127 plus one.
struct Normalised {
    std::uint64_t m;
    std::int32_t e;  // the number is m * 2^(e - 64)

    static Normalised of(divop::u128 v) noexcept {
        const auto hi = static_cast<std::uint64_t>(v >> 64);
        const int lz = hi != 0 ? std::countl_zero(hi) : 64 + std::countl_zero(static_cast<std::uint64_t>(v));
        return {static_cast<std::uint64_t>((v << lz) >> 64), 128 - lz};
    }
};

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
//   most 9 apart, each product s * weight (below 2^117) is rounded to 64 bits
//   as a whole number, shifted onto the common scale (below 2^126), and their
//   sum (below 2^127) rounded the same way: the steps' roundings, in 128-bit
//   integers;
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
            t0_ = f0_.m >> 11;
            t1_ = f1_.m >> 11;
            up0_ = static_cast<unsigned>(shift0);
            up1_ = static_cast<unsigned>(shift1);
            // The significands s = m >> 11 are whole numbers at scale 2^(e - 53).
            k_ = e - 53;
        }
    }

    // The quotient, finite: zero or a significand with its top bit set. Inlined
    // into a run's loop, so that the segment's constants stay in registers.
    RUST_ALWAYS_INLINE SoftEngine::Rep answer(std::uint64_t x) const {
        if (form_ == Form::Exact) [[likely]] {
            return exact(x);
        }
        if (form_ == Form::Scaled) {
            return scaled(x);
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

    SoftEngine::Rep scaled(std::uint64_t x) const {
        const divop::u128 p = round_to_64_bits(static_cast<divop::u128>(t0_) * (x1_ - x)) << up0_;
        const divop::u128 q = round_to_64_bits(static_cast<divop::u128>(t1_) * (x - x0_)) << up1_;
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
    std::uint64_t t0_ = 0, t1_ = 0;  // the end values' whole numbers, exact or scaled
    unsigned up0_ = 0, up1_ = 0;     // scaled: their shifts onto the common scale
    std::int32_t k_ = 0;             // the common scale's exponent
};

// (x0 (f1 - f) + x1 (f - f0)) / (f1 - f0) for f0 < f < f1, all finite, step
// by step as F80 rounds it.
//
// Where f0 and f1 are whole multiples T0, T1 of one power of two 2^k (the
// coarsest such, or else the smaller of their units in the last place), below
// 2^61 in magnitude, and f is a multiple of it too (on the second scale, a
// query between two values of one sign always is), the
// differences T1 - T and T - T0 are exact positive whole numbers adding up to
// T1 - T0, which is kept below 2^62, and the scale 2^k cancels in the
// quotient. The products x0 (T1 - T) and x1 (T - T0) are then below 2^126:
// while max(x0, x1) * (T1 - T0) < 2^64 they and their sum are exact in 64
// bits; otherwise each is rounded to 64 bits as a whole number and so is their
// sum (below 2^127). Other queries take the steps one by one.
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
        // The coarsest scale (trailing zeros stripped), where the products
        // are smallest, for the exact form; and the units in the last place,
        // where every query between two values of one sign lies.
        coarse_ = common_scale(Scaled::of(f0_), Scaled::of(f1_), x0, x1);
        fine_ = common_scale(Scaled::of_unit(f0_), Scaled::of_unit(f1_), x0, x1);
        if (coarse_.form != Form::Exact) {
            coarse_.form = Form::Steps;
        }
    }

    // One query without setting up a segment: on the units in the last place
    // where it lies there (the divisor is then T1 - T0, and needs none of the
    // engine's operations), else by the segment's forms.
    static SoftEngine::Rep answer_once(std::uint64_t x0, std::uint64_t x1, double f0, double f1, double f) {
        const Scale fine = common_scale(Scaled::of_unit(SoftEngine::from_f64(f0)),
                                        Scaled::of_unit(SoftEngine::from_f64(f1)), x0, x1);
        std::int64_t big;
        if (fine.form != Form::Steps && on_scale(fine, f, big)) [[likely]] {
            const auto span = static_cast<std::uint64_t>(fine.big1 - fine.big0);
            return scaled_by(fine, big, x0, x1, SoftDivisor<false>(span << fine.span_shift));
        }
        return SoftInverse(x0, x1, f0, f1).answer(f);
    }

    // As for SoftForward.
    RUST_ALWAYS_INLINE SoftEngine::Rep answer(double f) const {
        std::int64_t big;
        if (coarse_.form == Form::Exact && on_scale(coarse_, f, big)) {
            return exact(coarse_, big);
        }
        if (fine_.form != Form::Steps && on_scale(fine_, f, big)) [[likely]] {
            return fine_.form == Form::Exact ? exact(fine_, big) : scaled(fine_, big);
        }
        return by_steps(f);
    }

private:
    enum class Form : std::uint8_t { Exact, Scaled, Steps };

    // The end values as whole numbers T0 < T1 on a scale 2^k, and the form
    // their numbers allow there.
    struct Scale {
        Form form = Form::Steps;
        std::int64_t big0 = 0, big1 = 0;
        std::int32_t k = 0;
        int span_shift = 0;  // leading zeros of T1 - T0
    };

    // The scale of s0 and s1 (one of them zero at most), when the end values
    // are below 2^61 on it and their span below 2^62: the exact form when the
    // products fit 64 bits, else the scaled one.
    static Scale common_scale(const Scaled& s0, const Scaled& s1, std::uint64_t x0, std::uint64_t x1) {
        const std::int32_t k = s0.t == 0 ? s1.k : (s1.t == 0 ? s0.k : (s0.k < s1.k ? s0.k : s1.k));
        const std::int32_t up0 = s0.t == 0 ? 0 : s0.k - k;
        const std::int32_t up1 = s1.t == 0 ? 0 : s1.k - k;
        if (up0 > 8 || up1 > 8) {
            return {};  // beyond 2^61
        }
        const auto signed_of = [](const Scaled& s, std::int32_t up) {
            const auto magnitude = static_cast<std::int64_t>(s.t << up);
            return s.negative != 0 ? -magnitude : magnitude;
        };
        const std::int64_t big0 = signed_of(s0, up0);
        const std::int64_t big1 = signed_of(s1, up1);
        // f1 > f0: T1 - T0 is positive; it is the divisor's own significand, normalised.
        const auto span = static_cast<std::uint64_t>(big1 - big0);
        if (span >> 62 != 0) {
            return {};
        }
        const std::uint64_t larger = x0 > x1 ? x0 : x1;
        const bool exact = (64 - std::countl_zero(larger)) + (64 - std::countl_zero(span)) <= 64;
        return {exact ? Form::Exact : Form::Scaled, big0, big1, k, std::countl_zero(span)};
    }

    // f as T * 2^k, when it is a whole multiple of 2^k: its own significand
    // s * 2^j, shifted up when j >= k, or down when the bits shifted out are zero.
    static bool on_scale(const Scale& scale, double f, std::int64_t& big) noexcept {
        const auto bits = std::bit_cast<std::uint64_t>(f);
        const auto biased = static_cast<std::int32_t>((bits >> 52) & 0x7FF);
        std::uint64_t s = bits & 0x000FFFFFFFFFFFFF;
        if (biased != 0) {
            s |= std::uint64_t{1} << 52;
        }
        const std::int32_t j = (biased == 0 ? 1 : biased) - 1075;
        const std::int32_t up = j - scale.k;
        std::uint64_t magnitude;
        if (up >= 0) {
            // |f| < max(|f0|, |f1|) < 2^61 * 2^k, so s << up stays below 2^61.
            magnitude = s << up;
        } else if (up > -64 && (s << (64 + up)) == 0) {
            magnitude = s >> -up;
        } else {
            return s == 0 ? (big = 0, true) : false;
        }
        big = (bits >> 63) != 0 ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        return true;
    }

    SoftEngine::Rep exact(const Scale& scale, std::int64_t big) const {
        // Positive, and adding up to T1 - T0.
        const auto a = static_cast<std::uint64_t>(scale.big1 - big);
        const auto b = static_cast<std::uint64_t>(big - scale.big0);
        const std::uint64_t n = x0_ * a + x1_ * b;
        if (n == 0) {
            return SoftEngine::zero();
        }
        const int lz = std::countl_zero(n);
        // n / (T1 - T0): the divisor's significand is (T1 - T0) << span_shift_.
        return divisor_.quotient(0, n << lz, scale.span_shift - lz);
    }

    SoftEngine::Rep scaled(const Scale& scale, std::int64_t big) const {
        return scaled_by(scale, big, x0_, x1_, divisor_);
    }

    // Also exact where the products fit 64 bits: rounding leaves them whole.
    template <bool R>
    static SoftEngine::Rep scaled_by(const Scale& scale, std::int64_t big, std::uint64_t x0, std::uint64_t x1,
                                     const SoftDivisor<R>& divisor) {
        const auto a = static_cast<std::uint64_t>(scale.big1 - big);
        const auto b = static_cast<std::uint64_t>(big - scale.big0);
        const divop::u128 p = round_to_64_bits(static_cast<divop::u128>(x0) * a);
        const divop::u128 q = round_to_64_bits(static_cast<divop::u128>(x1) * b);
        const divop::u128 s = p + q;
        if (s == 0) {
            return SoftEngine::zero();
        }
        const Normalised n = Normalised::of(round_to_64_bits(s));
        return divisor.quotient(0, n.m, n.e - (64 - scale.span_shift));
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
    Scale coarse_, fine_;
};

}  // namespace rust::detail
