// F80: a binary floating-point value with a 64-bit significand, rounded to nearest even.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "extended/engine.hpp"
#include "extended/fpu_scope.hpp"
#include "extended/parts.hpp"
#include "panic.hpp"
#include "platform/attributes.hpp"

namespace rust {

// Zero, or ±m * 2^(e - 64) with a 64-bit significand m (2^63 <= m < 2^64) and an
// exponent far from either end of its range. Positions and float64 values enter
// exactly; each of + - * / is rounded once, from the exact result, to 64
// significant bits, to nearest with ties to even; round, floor and ceil are
// exact. A plain value: copying it copies the number, nothing is shared.
//
// On the x87 engine the hardware rounds by the x87 control word, so F80
// arithmetic is valid only while an FpuScope is alive on the thread; the MPFR
// and soft engines read no floating-point state (extended/engine.hpp picks one).
//
// Never NaN nor infinite in this system: construction rejects non-finite input
// and division is only by non-zero differences. Reading such a value (parts and
// the conversions out) is an internal failure.
class F80 {
public:
    using Parts = detail::F80Parts;

    // "x87", "mpfr" or "soft".
    static constexpr const char* kEngineName = detail::F80Engine::kName;

    // A value to be assigned before it is read, for blocks of results.
    F80() noexcept = default;

    // Exact: every u64 has at most 64 significant bits; 0 gives zero.
    static F80 from_position(std::uint64_t position) noexcept {
        return F80(detail::F80Engine::from_u64(position));
    }

    // The check every value read from a table or a query passes: throws
    // Panic for NaN and ±infinity.
    static void require_finite(double value) {
        if (!std::isfinite(value)) {
            throw Panic("assertion failed: value.is_finite()");
        }
    }

    // Exact for every finite value, subnormals included; ±0.0 gives zero.
    // Throws Panic for NaN and ±infinity (require_finite).
    static F80 from_value(double value) {
        require_finite(value);
        return F80(detail::F80Engine::from_f64(value));
    }

    // from_value() for a value the caller already knows to be finite: one
    // strictly between two finite values, say.
    static F80 from_finite_value(double value) noexcept { return F80(detail::F80Engine::from_f64(value)); }

    friend F80 operator+(const F80& a, const F80& b) noexcept { return F80(detail::F80Engine::add(a.rep_, b.rep_)); }
    friend F80 operator-(const F80& a, const F80& b) noexcept { return F80(detail::F80Engine::sub(a.rep_, b.rep_)); }
    friend F80 operator*(const F80& a, const F80& b) noexcept { return F80(detail::F80Engine::mul(a.rep_, b.rep_)); }
    friend F80 operator/(const F80& a, const F80& b) noexcept { return F80(detail::F80Engine::div(a.rep_, b.rep_)); }

    // Numeric equality; zero equals zero whatever its sign.
    friend bool operator==(const F80& a, const F80& b) noexcept { return detail::F80Engine::equal(a.rep_, b.rep_); }

    // The nearest integer, a tie going to the even one (2.5 -> 2, -0.5 -> zero).
    F80 round() const noexcept { return F80(detail::F80Engine::round(rep_)); }
    // The largest integer not above the value (-0.5 -> -1).
    F80 floor() const noexcept { return F80(detail::F80Engine::floor(rep_)); }
    // The smallest integer not below the value (0.25 -> 1).
    F80 ceil() const noexcept { return F80(detail::F80Engine::ceil(rep_)); }

    // Sign, significand and exponent as the engine stores them.
    Parts parts() const { return detail::F80Engine::parts(rep_); }

    // Truncation toward zero to binary64: the bits below the 53 (or fewer, for a
    // subnormal) that binary64 keeps are dropped, never rounded. Zero and
    // magnitudes below 2^-1074 give +0.0; magnitudes from 2^1024 on give ±inf.
    double to_f64() const { return f64_of(parts()); }

    // to_f64() of the value with these parts.
    static double f64_of(const Parts& p) noexcept {
        if (p.zero) {
            return 0.0;
        }
        return f64_of_nonzero(p.negative, p.m, p.e);
    }

    // f64_of() of a non-zero value, m's top bit set; the normal range first,
    // in one unsigned comparison.
    static double f64_of_nonzero(bool negative, std::uint64_t m, std::int32_t e) noexcept {
        const std::uint64_t sign = static_cast<std::uint64_t>(negative) << 63;
        if (static_cast<std::uint32_t>(e + 1021) <= 2045U) [[likely]] {
            // Normal, -1021 <= e <= 1024: [2^(e-1), 2^e) has biased exponent
            // e - 1 + 1023, from 1 to 2046; the fraction is m's bits 62..11,
            // the leading bit left implicit.
            const auto biased = static_cast<std::uint64_t>(e + 1022);
            return std::bit_cast<double>(sign | (biased << 52) | ((m >> 11) & kFractionField));
        }
        if (e < -1073) {
            return 0.0;
        }
        if (e > 1024) {
            return std::bit_cast<double>(sign | kExponentField);
        }
        // Subnormal: the fraction counts units of 2^-1074 and m * 2^(e-64) is
        // m >> (-1010 - e) of them, a shift from 12 (e = -1022) to 63 (e = -1073).
        return std::bit_cast<double>(sign | (m >> (-1010 - e)));
    }

    // The integer part, clamped to [0, 2^64 - 1]: negative values and
    // magnitudes below 1 give 0, values from 2^64 on give 2^64 - 1.
    std::uint64_t to_u64() const {
        const Parts p = parts();
        if (p.zero || p.negative || p.e <= 0) {
            return 0;
        }
        if (p.e > 64) {
            return UINT64_MAX;
        }
        // 1 <= e <= 64: a shift from 0 to 63 leaves the integer part.
        return p.m >> (64 - p.e);
    }

    // The integer roundings that precede to_u64 for whole positions.
    enum class Rounding : std::uint8_t {
        Nearest,  // round(): ties to even
        Down,     // floor()
        Up,       // ceil()
    };

    // Writes to_f64() to out, on the x87 engine by one hardware store: under
    // round toward zero the store is the truncation, subnormal results
    // included, everywhere except at the two ends, where the result is a zero
    // (the store keeps its sign, to_f64 gives +0.0) or of the largest finite
    // magnitude (the store stops there for values from 2^1024 on, where
    // to_f64 gives infinity). What those two leave in out is marked
    // (marked_f64), and the caller writes to_f64() over it. A loop can write
    // all its results first and redo the marked ones after, so that no result
    // waits for its store to be read back. The other engines write to_f64()
    // itself and mark nothing.
    void write_f64(double& out) const {
#if RUST_F80_ENGINE_X87
        detail::X87Engine::store_f64_toward_zero(rep_, out);
#else
        out = to_f64();
#endif
    }

    // Whether write_f64() left out for the caller to redo: a zero of either
    // sign, or the largest finite magnitude. The check without the sign bit
    // wraps zero to the top, so both ends take one unsigned comparison.
    static bool marked_f64(double written) noexcept {
#if RUST_F80_ENGINE_X87
        const std::uint64_t magnitude = std::bit_cast<std::uint64_t>(written) << 1;
        return magnitude - 2 >= (kLargestFiniteBits << 1) - 2;
#else
        (void)written;
        return false;
#endif
    }

    // to_f64() by write_f64(), for one value.
    double to_f64_by_store() const {
        double out;
        write_f64(out);
        if (marked_f64(out)) [[unlikely]] {
            return to_f64_aside(rep_);
        }
        return out;
    }

    // round(), floor() or ceil() (as R says), then to_u64(). On the soft
    // engine the integer and fractional bits of the significand give it
    // directly; on the MPFR engine it is the definition; on the x87 engine,
    // write_position() and, where that marks the result, the definition.
    template <Rounding R>
    std::uint64_t to_position() const {
#if RUST_F80_ENGINE_SOFT
        return position_of<R>(parts());
#elif RUST_F80_ENGINE_MPFR
        return rounded(R).to_u64();
#else
        std::uint64_t out;
        write_position<R>(out);
        if (marked_position(out)) [[unlikely]] {
            return rounded(R).to_u64();
        }
        return out;
#endif
    }

    // Writes to_position<R>() to out, as write_f64() does to_f64(). On the
    // x87 engine that is one integer store under the rounding R names, which
    // gives it for every result from 0 to 2^63 - 1; negative results and
    // those from 2^63 on (where the store writes INT64_MIN) leave the top bit
    // set, the mark (marked_position), and the caller writes to_position<R>()
    // over them. The other engines write to_position<R>() itself.
    template <Rounding R>
    void write_position(std::uint64_t& out) const {
#if RUST_F80_ENGINE_X87
        using Engine = detail::X87Engine;
        if constexpr (R == Rounding::Nearest) {
            Engine::store_i64<Engine::kNearestWord>(rep_, out);
        } else if constexpr (R == Rounding::Down) {
            Engine::store_i64<Engine::kDownWord>(rep_, out);
        } else {
            Engine::store_i64<Engine::kUpWord>(rep_, out);
        }
#else
        out = to_position<R>();
#endif
    }

    static bool marked_position(std::uint64_t written) noexcept {
#if RUST_F80_ENGINE_X87
        return static_cast<std::int64_t>(written) < 0;
#else
        (void)written;
        return false;
#endif
    }

    // Whether every step since watch_exactness() was exact, on the engines
    // that can tell (kTellsExactness): on the x87 engine by its sticky
    // inexact flag, which every rounded step sets, integer stores included.
    // A block of steps that were all exact gave the rational results
    // themselves. steps_were_exact() leaves the flag set again, as the scope
    // keeps it (see X87Engine::raise_inexact). Each call costs about as much
    // as a few dozen steps: watch blocks, not single steps.
#if RUST_F80_ENGINE_X87
    static constexpr bool kTellsExactness = true;
#else
    static constexpr bool kTellsExactness = false;
#endif

    static void watch_exactness() noexcept {
#if RUST_F80_ENGINE_X87
        detail::X87Engine::clear_flags();
#endif
    }

    static bool steps_were_exact() noexcept {
#if RUST_F80_ENGINE_X87
        const bool exact = !detail::X87Engine::inexact_raised();
        detail::X87Engine::raise_inexact();
        return exact;
#else
        return false;
#endif
    }

    // The value as a position (to_u64()) when it is whole, nothing when it is
    // not.
    std::optional<std::uint64_t> to_whole_position() const {
        std::uint64_t out;
        if (write_whole_position(out)) {
            return out;
        }
        return std::nullopt;
    }

    // Writes to_whole_position() to out when the value is whole, and says
    // whether it is. From the parts on the soft engine. On the x87 engine, a
    // value in [0, 2^63) is whole when the nearest integer, worked out in the
    // x87 registers, is the value itself, and the integer store then writes
    // it: the test does not wait for a store to come back through memory, as
    // a test of the stored integer would. Other values go the long way.
    bool write_whole_position(std::uint64_t& out) const {
#if RUST_F80_ENGINE_SOFT
        const std::optional<std::uint64_t> whole = whole_position_of(parts());
        if (whole) {
            out = *whole;
        }
        return whole.has_value();
#else
#if RUST_F80_ENGINE_X87
        using Engine = detail::X87Engine;
        if (rep_ >= 0 && rep_ < 0x1p63L) [[likely]] {
            if (Engine::nearest_below_2_63(rep_) != rep_) {
                return false;
            }
            Engine::store_i64<Engine::kNearestWord>(rep_, out);
            return true;
        }
#endif
        const F80 whole = floor();
        if (!(whole == *this)) {
            return false;
        }
        out = whole.to_u64();
        return true;
#endif
    }

    // write_whole_position() of a value known not to be negative, marking
    // what it cannot give as write_position() does (marked_position). On the
    // x87 engine a value in the registers that is its own nearest integer
    // below 2^63 is written by the integer store, which marks those from 2^63
    // on; the range is tested only for values that are not, where the test
    // does not settle it.
    bool write_whole_position_of_nonnegative(std::uint64_t& out) const {
#if RUST_F80_ENGINE_X87
        using Engine = detail::X87Engine;
        if (Engine::nearest_below_2_63(rep_) == rep_) [[likely]] {
            Engine::store_i64<Engine::kNearestWord>(rep_, out);
            return true;
        }
        if (rep_ < 0x1p63L) {
            return false;
        }
#endif
        return write_whole_position(out);
    }

#if RUST_F80_ENGINE_SOFT
    // to_position<R>() from a value's parts: zero and negative values give 0
    // (their roundings are at most zero), from 2^64 on 2^64 - 1, and below
    // that the whole part moved by the fraction as R says: at most 2^63, so
    // it does not wrap.
    template <Rounding R>
    static std::uint64_t position_of(const Parts& p) noexcept {
        if (p.zero || p.negative) {
            return 0;
        }
        if (p.e >= 64) {
            return p.e == 64 ? p.m : UINT64_MAX;
        }
        using Engine = detail::SoftEngine;
        const Engine::Split s = Engine::split(p.m, p.e);
        if constexpr (R == Rounding::Nearest) {
            return Engine::nearest_even(s);
        } else if constexpr (R == Rounding::Down) {
            return s.whole;
        } else {
            return s.whole + static_cast<std::uint64_t>(s.frac != 0);
        }
    }

    // to_whole_position() from a value's parts: from 2^63 on every value is
    // whole; below, its fractional bits must be zero (below 1 only zero is).
    static std::optional<std::uint64_t> whole_position_of(const Parts& p) noexcept {
        if (p.zero) {
            return 0;
        }
        if (p.e < 64 && (p.e <= 0 || (p.m << p.e) != 0)) {
            return std::nullopt;
        }
        if (p.negative) {
            return 0;
        }
        if (p.e > 64) {
            return UINT64_MAX;
        }
        return p.m >> (64 - p.e);
    }
#endif

private:
    // The definitions, out of line: the value reaches them by copy, so that a
    // loop that rarely needs them does not keep its value in memory for them.
    RUST_NOINLINE RUST_COLD static double to_f64_aside(detail::F80Engine::Rep rep) { return F80(rep).to_f64(); }

    static constexpr std::uint64_t kLargestFiniteBits = 0x7FEFFFFFFFFFFFFF;

    F80 rounded(Rounding rounding) const noexcept {
        switch (rounding) {
            case Rounding::Nearest:
                return round();
            case Rounding::Down:
                return floor();
            case Rounding::Up:
                return ceil();
        }
        return round();
    }

    static constexpr std::uint64_t kExponentField = 0x7FF0000000000000;
    static constexpr std::uint64_t kFractionField = 0x000FFFFFFFFFFFFF;

    explicit F80(detail::F80Engine::Rep rep) noexcept : rep_(rep) {}

    detail::F80Engine::Rep rep_;
};

}  // namespace rust
