// The inverse segment formula on the soft engine.
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
#include "schemes/position_rule.hpp"

namespace rust::detail {

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
    // The coarsest scale (trailing zeros stripped), where the products are
    // smallest, for the exact form; and the units in the last place, where
    // every query between two values of one sign lies.
    SoftInverse(std::uint64_t x0, std::uint64_t x1, double f0, double f1)
        : x0_(x0),
          x1_(x1),
          f0_(SoftEngine::from_f64(f0)),
          f1_(SoftEngine::from_f64(f1)),
          coarse_(exact_only(common_scale(Scaled::of(f0_), Scaled::of(f1_), x0, x1))),
          fine_(common_scale(Scaled::of_unit(f0_), Scaled::of_unit(f1_), x0, x1)),
          d_(difference()),
          divisor_(d_.m) {}

    // One query without setting up a segment: on the units in the last place
    // where it lies there (the divisor is then T1 - T0, and needs none of the
    // engine's operations), else by the segment's forms. Whole, as for
    // answer().
    template <bool Whole>
    static SoftEngine::Rep answer_once(std::uint64_t x0, std::uint64_t x1, double f0, double f1, double f) {
        const Scale fine = common_scale(Scaled::of_unit(SoftEngine::from_f64(f0)),
                                        Scaled::of_unit(SoftEngine::from_f64(f1)), x0, x1);
        std::int64_t big;
        if (fine.form != Form::Steps && on_scale(fine, f, big)) [[likely]] {
            const auto span = static_cast<std::uint64_t>(fine.big1 - fine.big0);
            return scaled_for_position<Whole>(fine, big, x0, x1, SoftDivisor<false>(span << fine.span_shift));
        }
        return SoftInverse(x0, x1, f0, f1).template answer<Whole>(f);
    }

    // For its position: the quotient, finite, or (scaled form) a value that
    // every method takes to the same position; zero or a significand with its
    // top bit set. Whole when the caller asks only whether the quotient is a
    // whole position: its queries mostly hit positions, where the scaled
    // form's shortcut never holds, so it is not tried. Inlined into a run's
    // loop, so that the segment's constants stay in registers.
    template <bool Whole>
    RUST_ALWAYS_INLINE SoftEngine::Rep answer(double f) const {
        std::int64_t big;
        if (coarse_.form == Form::Exact && on_scale(coarse_, f, big)) {
            return exact(coarse_, big);
        }
        if (fine_.form != Form::Steps && on_scale(fine_, f, big)) [[likely]] {
            if (fine_.form == Form::Exact) {
                return exact(fine_, big);
            }
            return scaled_for_position<Whole>(fine_, big, x0_, x1_, divisor_);
        }
        return by_steps(f);
    }

    // The exact quotient T = n / (T1 - T0), worked out in integers, for the
    // position rules to read (Settled): the exact form rounds once, so R lies
    // within 2^-64 of T in ratio, the scaled form within 3.001 * 2^-64 (see
    // scaled_for_position). In units of the remainder r (T's fraction times
    // norm < 2^64) that is below 3.001 T < 4 (floor(T) + 1), the margin; a
    // whole T of the exact form is R itself (below 2^64, it has at most 64
    // bits). Where T's fraction lies clear of a rule's edges, as it does for
    // nearly every query of a real-valued table, this spares the query the
    // quotient's normalising and rounding and the conversion to a position,
    // and one that hits a position of an exact table the same. nullopt where
    // f is not on the forms' scales or T reaches 2^59, where the margin
    // would not stay below norm / 4.
    RUST_ALWAYS_INLINE std::optional<Settled> settle(double f) const {
        std::int64_t big;
        if (coarse_.form == Form::Exact && on_scale(coarse_, f, big)) {
            return settled_on(coarse_, big, x0_, x1_, divisor_);
        }
        if (fine_.form != Form::Steps && on_scale(fine_, f, big)) {
            return settled_on(fine_, big, x0_, x1_, divisor_);
        }
        return std::nullopt;
    }

    // settle() for one query without setting up a segment, on the units in
    // the last place alone, by one hardware division.
    RUST_ALWAYS_INLINE static std::optional<Settled> settle_once(std::uint64_t x0, std::uint64_t x1, double f0,
                                                                 double f1, double f) {
        const Scale fine = common_scale(Scaled::of_unit(SoftEngine::from_f64(f0)),
                                        Scaled::of_unit(SoftEngine::from_f64(f1)), x0, x1);
        std::int64_t big;
        if (fine.form != Form::Steps && on_scale(fine, f, big)) {
            return settled_on(fine, big, x0, x1, SoftDivisor<false>(span_norm(fine)));
        }
        return std::nullopt;
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

    // T1 - T0 normalised: the divisor's significand.
    static std::uint64_t span_norm(const Scale& scale) noexcept {
        return static_cast<std::uint64_t>(scale.big1 - scale.big0) << scale.span_shift;
    }

    // settle() on a scale where f is T * 2^k.
    template <bool R>
    RUST_ALWAYS_INLINE static std::optional<Settled> settled_on(const Scale& scale, std::int64_t big, std::uint64_t x0,
                                                 std::uint64_t x1, const SoftDivisor<R>& divisor) {
        const auto a = static_cast<std::uint64_t>(scale.big1 - big);
        const auto b = static_cast<std::uint64_t>(big - scale.big0);
        // T lies between x0 and x1 (a, b >= 0 add up to T1 - T0), below 2^64.
        const divop::u128 n = static_cast<divop::u128>(x0) * a + static_cast<divop::u128>(x1) * b;
        // The remainder comes scaled as the divisor's significand is.
        const divop::QuotRem qr = divisor.whole_quotient(n, scale.span_shift);
        if (qr.q >> 59 != 0) {
            return std::nullopt;
        }
        // The scaled form rounds nothing where the products and their sum
        // have at most 64 bits from their top one to their lowest one (on
        // the units in the last place, values with trailing zeros give such
        // products): a product has at most its factors' bits so counted, and
        // a whole T's sum is T (T1 - T0). Asked only of a whole T.
        const auto span = static_cast<std::uint64_t>(scale.big1 - scale.big0);
        const bool exact = scale.form == Form::Exact ||
                           (qr.r == 0 && significant_bits(x0) + significant_bits(a) <= 64 &&
                            significant_bits(x1) + significant_bits(b) <= 64 &&
                            significant_bits(qr.q) + significant_bits(span) <= 64);
        return Settled{qr.q, qr.r, divisor.norm(), 4 * (qr.q + 1), exact};
    }

    // The bits of v from its top one to its lowest one (none for zero).
    RUST_ALWAYS_INLINE static int significant_bits(std::uint64_t v) noexcept {
        return v == 0 ? 0 : 64 - std::countl_zero(v) - std::countr_zero(v);
    }

    // f as T * 2^k, when it is a whole multiple of 2^k: its own significand
    // s * 2^j, shifted up when j >= k, or down when the bits shifted out are zero.
    RUST_ALWAYS_INLINE static bool on_scale(const Scale& scale, double f, std::int64_t& big) noexcept {
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

    RUST_ALWAYS_INLINE SoftEngine::Rep exact(const Scale& scale, std::int64_t big) const {
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

    // The scaled form's steps round four times (each product, their sum, the
    // quotient), each by at most 2^-64 of its value, and its terms are never
    // negative: the rounded quotient R lies within 3.001 * 2^-64 of the exact
    // one, T, in ratio. The first 64 bits of T worked out from the exact
    // sum's first 64 bits, q, are below T by less than 3 units in their last
    // place, and T is below 2^64 + 2 of those units; so R is above q - 3.01
    // and below q + 6.01. Where q lies below 2^59 and 8 units or more away
    // from the half-integers on either side, R lies between the same two
    // half-integers and is not one: every method (whole or not, nearest,
    // floor, ceiling) gives q's position for R. That holds for nearly every
    // query of a real-valued table that does not hit a position exactly, and
    // spares the three roundings before the quotient and the quotient's own.
    // Returns q then, and R itself otherwise: the caller only takes a
    // position.
    template <bool Whole, bool R>
    RUST_ALWAYS_INLINE static SoftEngine::Rep scaled_for_position(const Scale& scale, std::int64_t big,
                                                                  std::uint64_t x0, std::uint64_t x1,
                                                                  const SoftDivisor<R>& divisor) {
        if constexpr (Whole) {
            return scaled_by(scale, big, x0, x1, divisor);
        }
        const auto a = static_cast<std::uint64_t>(scale.big1 - big);
        const auto b = static_cast<std::uint64_t>(big - scale.big0);
        // Each product below 2^126 (a, b < 2^62), their sum below 2^127.
        const divop::u128 s = static_cast<divop::u128>(x0) * a + static_cast<divop::u128>(x1) * b;
        if (s != 0) [[likely]] {
            const Normalised n = Normalised::of(s);
            const SoftEngine::Rep q = divisor.truncated_quotient(0, n.m, n.e - (64 - scale.span_shift));
            // q * 2^(e - 64) lies in [2^(e - 1), 2^e): the half-integers are
            // the multiples of 2^(63 - e) of its units.
            if (q.e >= 1 && q.e <= 59) [[likely]] {
                const std::uint64_t cell = (std::uint64_t{1} << (63 - q.e)) - 1;
                if (((q.m + 8) & cell) >= 16) [[likely]] {
                    return q;
                }
            }
        }
        return scaled_by(scale, big, x0, x1, divisor);
    }

    // Also exact where the products fit 64 bits: rounding leaves them whole.
    // Out of line: the rare way of the form above.
    template <bool R>
    RUST_NOINLINE static SoftEngine::Rep scaled_by(const Scale& scale, std::int64_t big, std::uint64_t x0,
                                                   std::uint64_t x1, const SoftDivisor<R>& divisor) {
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

    static Scale exact_only(Scale scale) noexcept {
        if (scale.form != Form::Exact) {
            scale.form = Form::Steps;
        }
        return scale;
    }

    // f1 - f0: on the units in the last place, where the forms have it, it is
    // (T1 - T0) * 2^k exactly (below 2^62, so the engine's subtraction
    // would not round it either).
    SoftEngine::Rep difference() const noexcept {
        if (fine_.form == Form::Steps) {
            return SoftEngine::sub(f1_, f0_);
        }
        return {span_norm(fine_), fine_.k + 64 - fine_.span_shift, 0};
    }

    SoftEngine::Rep by_steps(double f) const {
        const SoftEngine::Rep ff = SoftEngine::from_f64(f);
        const SoftEngine::Rep p = SoftEngine::mul(SoftEngine::from_u64(x0_), SoftEngine::sub(f1_, ff));
        const SoftEngine::Rep q = SoftEngine::mul(SoftEngine::from_u64(x1_), SoftEngine::sub(ff, f0_));
        const SoftEngine::Rep s = SoftEngine::add(p, q);
        if (s.m == 0) {
            return s;
        }
        return divisor_.quotient(s.negative, s.m, s.e - d_.e);
    }

    std::uint64_t x0_, x1_;
    SoftEngine::Rep f0_, f1_;
    Scale coarse_, fine_;
    SoftEngine::Rep d_;
    SoftDivisor<Reciprocal> divisor_;
};

}  // namespace rust::detail
