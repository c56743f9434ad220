// The extended value on the x87 80-bit format: long double with a 64-bit significand.
#pragma once

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "extended/parts.hpp"
#include "panic.hpp"

namespace rust::detail {

// The format itself: 64 significant bits with an explicit leading bit, and an
// exponent range (about 2^-16445 to 2^16384) far beyond what the schemes reach
// (2^-2100 to 2^1090), so no result here overflows or goes subnormal.
static_assert(LDBL_MANT_DIG == 64 && LDBL_MAX_EXP == 16384, "long double is not the x87 extended format");

// Every operation is one x87 instruction (or a compare on top of one) that rounds
// by the control word, so all of them are only valid inside an FpuScope.
struct X87Engine {
    static constexpr const char* kName = "x87";
    using Rep = long double;

    // fild of the u64 read as signed, plus 2^64 when the top bit was set: the
    // sum has at most 64 significant bits and is exact at 64-bit precision.
    static Rep from_u64(std::uint64_t u) noexcept { return static_cast<Rep>(u); }

    // fld of a binary64 is exact for every finite input, subnormals included.
    static Rep from_f64(double v) noexcept { return static_cast<Rep>(v); }

    static Rep add(Rep a, Rep b) noexcept { return a + b; }
    static Rep sub(Rep a, Rep b) noexcept { return a - b; }
    static Rep mul(Rep a, Rep b) noexcept { return a * b; }
    static Rep div(Rep a, Rep b) noexcept { return a / b; }
    static bool equal(Rep a, Rep b) noexcept { return a == b; }

    // frndint rounds by the scope's mode: to nearest, ties to even.
    static Rep round(Rep a) noexcept { return __builtin_rintl(a); }

    // The nearest integer moved by one when it lies on the wrong side: exact,
    // since a non-integer is below 2^63 in magnitude. This avoids the two fldcw
    // per call that the compiler's inline floorl/ceill pays to switch modes.
    static Rep floor(Rep a) noexcept {
        const Rep r = round(a);
        return r > a ? r - 1 : r;
    }

    static Rep ceil(Rep a) noexcept {
        const Rep r = round(a);
        return r < a ? r + 1 : r;
    }

    // The nearest integer to a in [0, 2^63), ties to even, by two additions:
    // a + 2^63 lies in [2^63, 2^64], where a 64-bit significand holds no
    // fraction, and taking 2^63 away again is exact. Unlike the integer
    // store, whose result reaches a compare only through memory, it stays in
    // the x87 registers; and it is cheaper than frndint.
    static Rep nearest_below_2_63(Rep a) noexcept {
        constexpr Rep kTop = 0x1p63L;
        return (a + kTop) - kTop;
    }

    // The control words the engine's arithmetic runs under: every exception
    // masked (bits 0-5), bit 6 set as finit leaves it, 64-bit precision (bits
    // 8-9 = 11), and the rounding control in bits 10-11: to nearest with ties
    // to even for the arithmetic, down, up or toward zero for one store.
    // Each is read by fldcw from static storage, so that no loop stores one
    // first.
    //
    // A store under another word is one asm block, its two fldcw around the
    // store, that starts on a 32-byte boundary (the assembler pads with
    // no-ops). Unaligned, the same loop at some places in the code ran 40
    // times slower on a Zen 3 (120 ns an element against 3), with the first
    // fldcw across a 64-byte boundary; aligned, it was never seen to.
    static constexpr std::uint16_t kNearestWord = 0x037F;
    static constexpr std::uint16_t kDownWord = 0x077F;
    static constexpr std::uint16_t kUpWord = 0x0B7F;
    static constexpr std::uint16_t kTowardZeroWord = 0x0F7F;

    // A word as an object in static storage, for fldcw to read.
    template <std::uint16_t Word>
    static constexpr std::uint16_t kStored = Word;

    // fst to a binary64 under round toward zero: the truncation, to 53 bits or
    // to a subnormal, that keeps the sign of a zero and stops at the largest
    // finite magnitude. The scope's word is back before the next instruction.
    static void store_f64_toward_zero(Rep a, double& out) noexcept {
        __asm__ volatile(".p2align 5\n\tfldcw %[mode]\n\tfstl %[out]\n\tfldcw %[back]"
                         : [out] "=m"(out)
                         : "t"(a), [mode] "m"(kStored<kTowardZeroWord>), [back] "m"(kStored<kNearestWord>));
    }

    // fistp to an int64 under the given word (kNearestWord, kDownWord or
    // kUpWord), written as its two's complement bits: the integer that
    // rounding gives, INT64_MIN for what does not fit. Under any word but the
    // scope's own, the scope's is back after.
    template <std::uint16_t Word>
    static void store_i64(Rep a, std::uint64_t& out) noexcept {
        if constexpr (Word == kNearestWord) {
            __asm__ volatile("fistpll %[out]" : [out] "=m"(out) : "t"(a) : "st");
        } else {
            __asm__ volatile(".p2align 5\n\tfldcw %[mode]\n\tfistpll %[out]\n\tfldcw %[back]"
                             : [out] "=m"(out)
                             : "t"(a), [mode] "m"(kStored<Word>), [back] "m"(kStored<kNearestWord>)
                             : "st");
        }
    }

    // The sticky inexact flag (bit 5 of the status word), which every
    // rounded step sets: arithmetic whose exact result needs more than 64
    // significant bits, and an integer store of a value that is not whole.
    // Cleared with the other flags by clear_flags(); fnclex and fnstsw wait
    // for the x87 steps before them, and cost as much as a few dozen steps.
    static void clear_flags() noexcept { __asm__ volatile("fnclex" ::: "memory"); }

    static bool inexact_raised() noexcept {
        std::uint16_t status;
        __asm__ volatile("fnstsw %0" : "=m"(status) : : "memory");
        return (status & 0x0020) != 0;
    }

    // The inexact flag set, by pi squared. Where it is clear, every step
    // whose result happens to be exact (whole numbers, short values, a
    // power-of-two divisor) was seen to run at half speed or worse on one
    // CPU (not on a Zen 4), as the hardware kept checking whether to set it.
    // Setting it sooner than the arithmetic would changes no result.
    static void raise_inexact() noexcept {
        long double square;
        __asm__ volatile("fldpi\n\tfmul %%st(0), %%st" : "=t"(square) : : "memory");
        (void)square;
    }

    // fild of an int64: exact.
    static Rep from_i64(std::int64_t i) noexcept { return static_cast<Rep>(i); }

    // Bytes 0-7 hold the significand with its leading bit, bytes 8-9 the sign and
    // the exponent biased by 16383, for value = m * 2^(biased - 16383 - 63).
    static F80Parts parts(Rep a) {
        unsigned char bytes[sizeof(Rep)];
        std::memcpy(bytes, &a, sizeof(Rep));
        std::uint64_t m;
        std::uint16_t sign_exp;
        std::memcpy(&m, bytes, sizeof m);
        std::memcpy(&sign_exp, bytes + 8, sizeof sign_exp);
        const std::int32_t biased = sign_exp & 0x7FFF;
        if (biased == 0x7FFF) {
            throw Panic("extended value is not finite");
        }
        if (m == 0) {
            return {true, false, 0, 0};
        }
        // A denormal (biased 0) scales like biased 1; shifting its significand up
        // to the leading bit lowers the exponent by as much. Out of this system's
        // reach, but read correctly all the same.
        const int shift = std::countl_zero(m);
        const std::int32_t e = (biased == 0 ? 1 : biased) - 16382 - shift;
        return {false, (sign_exp >> 15) != 0, m << shift, e};
    }

};

}  // namespace rust::detail
