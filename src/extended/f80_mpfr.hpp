// The extended value on GNU MPFR at precision 64, stored inline without allocation.
#pragma once

#include <climits>
#include <cstdint>

#include <mpfr.h>

#include "extended/parts.hpp"
#include "panic.hpp"

namespace rust::detail {

// One limb holds the whole significand, so a value is three plain fields and
// copies like an int; MPFR's custom interface lends the limb to each call.
static_assert(GMP_NUMB_BITS == 64, "a 64-bit significand must fit one limb");
static_assert(ULONG_MAX == UINT64_MAX, "mpfr_set_ui must take every u64");

struct MpfrEngine {
    static constexpr const char* kName = "mpfr";
    static constexpr mpfr_prec_t kPrecision = 64;

    // MPFR's own reading matches ours: value = ±0.limb * 2^exp, the limb's top
    // bit set. kind is MPFR_*_KIND, negated for a negative value; limb and exp
    // mean something only for MPFR_REGULAR_KIND.
    struct Rep {
        int kind = MPFR_ZERO_KIND;
        mpfr_exp_t exp = 0;
        mp_limb_t limb = 0;
    };

    // An mpfr_t that reads and writes rep in place.
    struct View {
        explicit View(Rep& rep) noexcept : rep_(rep) {
            mpfr_custom_init_set(value, rep.kind, rep.exp, kPrecision, &rep.limb);
        }
        // Writes the result's kind and exponent back; MPFR wrote the limb itself.
        void commit() noexcept {
            rep_.kind = mpfr_custom_get_kind(value);
            rep_.exp = mpfr_custom_get_exp(value);
        }
        mpfr_t value;
        Rep& rep_;
    };

    // Both set functions are exact at 64 bits: a u64 has at most 64 significant
    // bits and a finite binary64, subnormal or not, at most 53.
    static Rep from_u64(std::uint64_t u) noexcept {
        Rep r;
        View v(r);
        mpfr_set_ui(v.value, u, MPFR_RNDN);
        v.commit();
        return r;
    }

    static Rep from_f64(double d) noexcept {
        Rep r;
        View v(r);
        mpfr_set_d(v.value, d, MPFR_RNDN);
        v.commit();
        return r;
    }

    // One correctly rounded operation, to nearest with ties to even.
    template <int (*Op)(mpfr_ptr, mpfr_srcptr, mpfr_srcptr, mpfr_rnd_t)>
    static Rep binary(Rep a, Rep b) noexcept {
        Rep r;
        View va(a);
        View vb(b);
        View vr(r);
        Op(vr.value, va.value, vb.value, MPFR_RNDN);
        vr.commit();
        return r;
    }

    static Rep add(Rep a, Rep b) noexcept { return binary<mpfr_add>(a, b); }
    static Rep sub(Rep a, Rep b) noexcept { return binary<mpfr_sub>(a, b); }
    static Rep mul(Rep a, Rep b) noexcept { return binary<mpfr_mul>(a, b); }
    static Rep div(Rep a, Rep b) noexcept { return binary<mpfr_div>(a, b); }

    // The integer nearest to a 64-bit value needs at most 64 bits (below 2^63
    // there are fractional bits; from 2^63 on the value is an integer), so the
    // integer rounding is the only rounding these make.
    template <int (*Op)(mpfr_ptr, mpfr_srcptr)>
    static Rep unary(Rep a) noexcept {
        Rep r;
        View va(a);
        View vr(r);
        Op(vr.value, va.value);
        vr.commit();
        return r;
    }

    static Rep round(Rep a) noexcept { return unary<mpfr_roundeven>(a); }
    static Rep floor(Rep a) noexcept { return unary<mpfr_floor>(a); }
    static Rep ceil(Rep a) noexcept { return unary<mpfr_ceil>(a); }

    static bool equal(Rep a, Rep b) noexcept {
        View va(a);
        View vb(b);
        return mpfr_equal_p(va.value, vb.value) != 0;
    }

    static F80Parts parts(const Rep& a) {
        switch (a.kind) {
            case MPFR_ZERO_KIND:
            case -MPFR_ZERO_KIND:
                return {true, false, 0, 0};
            case MPFR_REGULAR_KIND:
            case -MPFR_REGULAR_KIND:
                // MPFR's default exponent range, about ±2^30, fits 32 bits.
                return {false, a.kind < 0, a.limb, static_cast<std::int32_t>(a.exp)};
            default:
                throw Panic("extended value is not finite");
        }
    }
};

}  // namespace rust::detail
