// The 128-bit unsigned integer of the exact arithmetic: the compiler's own where it has one, two 64-bit words elsewhere.
#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#include <intrin.h>
#define RUST_WIDE_UMUL128 1
#else
#define RUST_WIDE_UMUL128 0
#endif

// RUST_PORTABLE_WIDE=1 takes the two-word type even where the compiler has a
// 128-bit one, so that it is built and tested on the main platform too.
#if defined(__SIZEOF_INT128__) && !(defined(RUST_PORTABLE_WIDE) && RUST_PORTABLE_WIDE)
#define RUST_NATIVE_WIDE 1
#else
#define RUST_NATIVE_WIDE 0
#endif

namespace rust::platform {

// An unsigned 128-bit integer in two 64-bit words, with the operators of the
// compiler's unsigned __int128 that the arithmetic uses: + - * modulo 2^128,
// shifts by 0 to 127 bits, & | ^ ~, comparisons, and conversions from any
// integer (signed ones sign-extended, as C++ converts them) and to any (the
// low bits, or for bool whether it is non-zero). No division: the one
// division the arithmetic needs, by 64 bits, is divide_words().
class Wide {
public:
    constexpr Wide() noexcept = default;

    template <std::integral T>
    constexpr Wide(T v) noexcept  // implicit, as integers convert to the native type
        : lo_(static_cast<std::uint64_t>(v)), hi_(sign_fill(v)) {}

    static constexpr Wide from_words(std::uint64_t hi, std::uint64_t lo) noexcept {
        Wide w;
        w.hi_ = hi;
        w.lo_ = lo;
        return w;
    }

    constexpr std::uint64_t high() const noexcept { return hi_; }
    constexpr std::uint64_t low() const noexcept { return lo_; }

    template <std::integral T>
    explicit constexpr operator T() const noexcept {
        if constexpr (std::is_same_v<T, bool>) {
            return (lo_ | hi_) != 0;
        } else {
            return static_cast<T>(lo_);
        }
    }

    // The full product of two 64-bit words.
    static constexpr Wide product(std::uint64_t a, std::uint64_t b) noexcept {
#if RUST_WIDE_UMUL128
        if (!std::is_constant_evaluated()) {
            std::uint64_t hi;
            const std::uint64_t lo = _umul128(a, b, &hi);
            return from_words(hi, lo);
        }
#endif
        // Four products of 32-bit halves, each below 2^64. The middle column
        // adds at most 3 (2^32 - 1) to nothing larger, so it cannot overflow.
        constexpr std::uint64_t kHalf = 0xFFFF'FFFF;
        const std::uint64_t a0 = a & kHalf, a1 = a >> 32;
        const std::uint64_t b0 = b & kHalf, b1 = b >> 32;
        const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const std::uint64_t mid = (p00 >> 32) + (p01 & kHalf) + (p10 & kHalf);
        return from_words(p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (mid << 32) | (p00 & kHalf));
    }

    friend constexpr Wide operator+(Wide a, Wide b) noexcept {
        const std::uint64_t lo = a.lo_ + b.lo_;
        return from_words(a.hi_ + b.hi_ + static_cast<std::uint64_t>(lo < a.lo_), lo);
    }
    friend constexpr Wide operator-(Wide a, Wide b) noexcept {
        return from_words(a.hi_ - b.hi_ - static_cast<std::uint64_t>(a.lo_ < b.lo_), a.lo_ - b.lo_);
    }
    // Modulo 2^128 the high words meet only in the cross products' low halves.
    friend constexpr Wide operator*(Wide a, Wide b) noexcept {
        const Wide low = product(a.lo_, b.lo_);
        return from_words(low.hi_ + a.hi_ * b.lo_ + a.lo_ * b.hi_, low.lo_);
    }
    friend constexpr Wide operator-(Wide a) noexcept { return Wide{} - a; }

    friend constexpr Wide operator&(Wide a, Wide b) noexcept { return from_words(a.hi_ & b.hi_, a.lo_ & b.lo_); }
    friend constexpr Wide operator|(Wide a, Wide b) noexcept { return from_words(a.hi_ | b.hi_, a.lo_ | b.lo_); }
    friend constexpr Wide operator^(Wide a, Wide b) noexcept { return from_words(a.hi_ ^ b.hi_, a.lo_ ^ b.lo_); }
    friend constexpr Wide operator~(Wide a) noexcept { return from_words(~a.hi_, ~a.lo_); }

    // s < 128, as for the native type. A 64-bit shift by 64 is undefined, so
    // shifts of 0 and of 64 or more take their own branches.
    friend constexpr Wide operator<<(Wide a, unsigned s) noexcept {
        if (s >= 64) {
            return from_words(a.lo_ << (s - 64), 0);
        }
        if (s == 0) {
            return a;
        }
        return from_words((a.hi_ << s) | (a.lo_ >> (64 - s)), a.lo_ << s);
    }
    friend constexpr Wide operator>>(Wide a, unsigned s) noexcept {
        if (s >= 64) {
            return from_words(0, a.hi_ >> (s - 64));
        }
        if (s == 0) {
            return a;
        }
        return from_words(a.hi_ >> s, (a.lo_ >> s) | (a.hi_ << (64 - s)));
    }

    friend constexpr bool operator==(Wide a, Wide b) noexcept { return a.hi_ == b.hi_ && a.lo_ == b.lo_; }
    friend constexpr std::strong_ordering operator<=>(Wide a, Wide b) noexcept {
        return a.hi_ != b.hi_ ? a.hi_ <=> b.hi_ : a.lo_ <=> b.lo_;
    }

    constexpr Wide& operator+=(Wide b) noexcept { return *this = *this + b; }
    constexpr Wide& operator-=(Wide b) noexcept { return *this = *this - b; }
    constexpr Wide& operator*=(Wide b) noexcept { return *this = *this * b; }
    constexpr Wide& operator&=(Wide b) noexcept { return *this = *this & b; }
    constexpr Wide& operator|=(Wide b) noexcept { return *this = *this | b; }
    constexpr Wide& operator^=(Wide b) noexcept { return *this = *this ^ b; }
    constexpr Wide& operator<<=(unsigned s) noexcept { return *this = *this << s; }
    constexpr Wide& operator>>=(unsigned s) noexcept { return *this = *this >> s; }

private:
    // The high word of v: its sign extended for a signed type, no comparison
    // of an unsigned one with zero for the compilers to warn about.
    template <std::integral T>
    static constexpr std::uint64_t sign_fill(T v) noexcept {
        if constexpr (std::is_signed_v<T>) {
            return v < 0 ? ~std::uint64_t{0} : 0;
        } else {
            return 0;
        }
    }

    // Low word first, the order of the native type on little-endian machines.
    std::uint64_t lo_ = 0;
    std::uint64_t hi_ = 0;
};

#if RUST_NATIVE_WIDE
__extension__ typedef unsigned __int128 u128;
#else
using u128 = Wide;
#endif

// The words of either type, and a value from its words.
constexpr std::uint64_t high_word(u128 n) noexcept { return static_cast<std::uint64_t>(n >> 64); }
constexpr std::uint64_t low_word(u128 n) noexcept { return static_cast<std::uint64_t>(n); }
constexpr u128 from_words(std::uint64_t hi, std::uint64_t lo) noexcept { return (static_cast<u128>(hi) << 64) | lo; }

}  // namespace rust::platform
