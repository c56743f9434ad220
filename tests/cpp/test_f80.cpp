// F80: exact entry, the rounding of each operation, integer rounding, and the conversions out.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <type_traits>
#include <vector>

#include "extended/f80.hpp"
#include "extended/f80_soft_terms.hpp"

namespace rust::detail {
void PrintTo(const F80Parts& p, std::ostream* os) {
    if (p.zero) {
        *os << "zero";
        return;
    }
    *os << (p.negative ? "-" : "+") << "0x" << std::hex << p.m << std::dec << " e=" << p.e;
}
}  // namespace rust::detail

namespace {

using rust::F80;
using Parts = F80::Parts;
__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
constexpr Parts kZero{true, false, 0, 0};

constexpr Parts nonzero(std::uint64_t m, std::int32_t e, bool negative = false) { return {false, negative, m, e}; }

// Hides a constant from the optimiser, so that the arithmetic under test runs on
// the engine instead of being folded at compile time.
template <class T>
T opaque(T v) {
    __asm__ volatile("" : "+m"(v));
    return v;
}

F80 pos(std::uint64_t u) { return F80::from_position(opaque(u)); }
F80 val(double d) { return F80::from_value(opaque(d)); }
std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// m * 2^(e - 64), negated if asked: exact, since scaling by a power of two is.
F80 make(std::uint64_t m, int e, bool negative = false) {
    F80 r = pos(m);
    for (int k = e - 64; k != 0;) {
        const int step = k > 1000 ? 1000 : (k < -1000 ? -1000 : k);
        r = r * val(std::ldexp(1.0, step));
        k -= step;
    }
    return negative ? pos(0) - r : r;
}

// n * 2^k rounded to 64 significant bits, to nearest with ties to even; sticky
// says the exact value lies strictly above n * 2^k (a division's remainder).
Parts round_ref(bool negative, u128 n, int k, bool sticky = false) {
    if (n == 0) {
        return kZero;
    }
    const auto hi = static_cast<std::uint64_t>(n >> 64);
    const int width = hi != 0 ? 128 - std::countl_zero(hi) : 64 - std::countl_zero(static_cast<std::uint64_t>(n));
    if (width <= 64) {
        return nonzero(static_cast<std::uint64_t>(n) << (64 - width), k + width, negative);
    }
    const int drop = width - 64;
    auto m = static_cast<std::uint64_t>(n >> drop);
    const u128 rest = n & ((u128{1} << drop) - 1);
    const u128 half = u128{1} << (drop - 1);
    const bool up = rest > half || (rest == half && (sticky || (m & 1) != 0));
    int e = k + width;
    if (up && ++m == 0) {  // carried into a 65th bit: 2^64 is 2^63 one binade up
        m = kTop;
        ++e;
    }
    return nonzero(m, e, negative);
}

// Every test holds the scope the x87 engine's arithmetic needs.
class F80Test : public ::testing::Test {
    rust::FpuScope scope_;
};

TEST_F(F80Test, FromPosition) {
    const struct {
        std::uint64_t u;
        Parts parts;
    } cases[] = {
        {0,            kZero},
        {1,            nonzero(kTop, 1)},
        {3,            nonzero(0xC000000000000000, 2)},
        {kTop,         nonzero(kTop, 64)},
        {kMax,         nonzero(kMax, 64)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.u);
        EXPECT_EQ(pos(c.u).parts(), c.parts);
        EXPECT_EQ(pos(c.u).to_u64(), c.u);
    }
    EXPECT_EQ(bits(pos(0).to_f64()), 0U);
}

// The significand and exponent of a binary64 read from its fields, independently
// of any engine: a normal (f | 2^52) * 2^(b - 1075), a subnormal f * 2^-1074.
Parts decode(std::uint64_t b) {
    const auto biased = static_cast<int>((b >> 52) & 0x7FF);
    const std::uint64_t fraction = b & 0x000FFFFFFFFFFFFF;
    const bool negative = (b >> 63) != 0;
    if (biased == 0 && fraction == 0) {
        return kZero;
    }
    if (biased == 0) {
        const int shift = std::countl_zero(fraction);
        return nonzero(fraction << shift, -1010 - shift, negative);
    }
    return nonzero((fraction | (std::uint64_t{1} << 52)) << 11, biased - 1022, negative);
}

// A lap of the 2^64 bit patterns in a prime stride meets every exponent field,
// subnormals and non-finite patterns included: each finite value enters exactly
// and comes back with the same bits, -0.0 as +0.0; the others are refused.
TEST_F(F80Test, EveryBinary64EntersExactlyAndReturns) {
    constexpr std::uint64_t kStride = 0x10C6F4544A07;  // prime, about 2^64 / 1000003
    const std::uint64_t specials[] = {
        0x0000000000000000, 0x8000000000000000,  // +0.0, -0.0
        0x0000000000000001, 0x8000000000000001,  // ±2^-1074
        0x000FFFFFFFFFFFFF, 0x0010000000000000,  // largest subnormal, smallest normal
        0x7FEFFFFFFFFFFFFF, 0xFFEFFFFFFFFFFFFF,  // ±largest finite
        0x3FF0000000000000, 0x3FB999999999999A,  // 1.0, 0.1
    };
    int finite = 0;
    int refused = 0;
    auto check = [&](std::uint64_t b) {
        const double d = std::bit_cast<double>(b);
        if (!std::isfinite(d)) {
            EXPECT_THROW(val(d), rust::Panic) << std::hex << b;
            ++refused;
            return;
        }
        const F80 x = val(d);
        ASSERT_EQ(x.parts(), decode(b)) << std::hex << b;
        ASSERT_EQ(bits(x.to_f64()), b == 0x8000000000000000 ? 0 : b) << std::hex << b;
        ++finite;
    };
    for (const std::uint64_t b : specials) {
        check(b);
    }
    std::uint64_t b = 0x0123456789ABCDEF;
    for (int i = 0; i < 1000003; ++i, b += kStride) {
        check(b);
    }
    EXPECT_GT(refused, 300);  // the lap really crossed the non-finite patterns
    EXPECT_GT(finite, 999000);
}

TEST_F(F80Test, NonFiniteValuesAreRefused) {
    for (const double d : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()}) {
        try {
            val(d);
            ADD_FAILURE() << "no failure for " << d;
        } catch (const rust::Panic& p) {
            EXPECT_STREQ(p.what(), "assertion failed: value.is_finite()");
        }
    }
}

// Reading a NaN or an infinity, which this system never builds, is an internal failure.
TEST_F(F80Test, NonFiniteResultsCannotBeRead) {
    for (const F80& x : {pos(1) / pos(0), pos(0) - pos(1) / pos(0), pos(0) / pos(0)}) {
        EXPECT_THROW(x.parts(), rust::Panic);
        EXPECT_THROW(x.to_f64(), rust::Panic);
        EXPECT_THROW(x.to_u64(), rust::Panic);
    }
}

TEST_F(F80Test, EqualityIsNumeric) {
    EXPECT_TRUE(val(0.0) == val(-0.0));
    EXPECT_TRUE(pos(0) == val(-0.0));
    EXPECT_TRUE(pos(3) == val(3.0));
    EXPECT_FALSE(pos(1) == val(-1.0));
    EXPECT_FALSE(pos(1) == make(kTop + 1, 1));  // 1 + 2^-63, one unit in the last place
}

// Single operations whose rounding is easy to get wrong, the expected result
// worked out exactly by hand.
TEST_F(F80Test, RoundingOfSpotOperations) {
    const struct {
        const char* why;
        F80 result;
        Parts parts;
    } cases[] = {
        {"2^63 + 1/2: a tie, stays on the even 2^63",
         pos(kTop) + val(0.5),                      nonzero(kTop, 64)},
        {"(2^63 + 1) + 1/2: a tie, goes up to the even 2^63 + 2",
         pos(kTop + 1) + val(0.5),                  nonzero(kTop + 2, 64)},
        {"2^63 + (1/2 + 2^-62): just above a tie, the far bit must count",
         pos(kTop) + make(kTop + 2, 0),             nonzero(kTop + 1, 64)},
        {"2^11 - (-3 * 2^-53): opposite signs need a 65th bit, a tie to even",
         val(0x1p11) - val(-0x1.8p-52),             nonzero(kTop + 2, 12)},
        // The half unit sits 64 bits below the larger operand, so the odd last
        // bit of the smaller falls out of the aligned window: only a sticky
        // bit tells these from ties, which would go to the even 2^63 + 2.
        {"(2^63 + 2) - (1/2 + 2^-64): just below a tie, down to 2^63 + 1",
         pos(kTop + 2) - make(kTop | 1, 0),         nonzero(kTop + 1, 64)},
        {"(2^63 + 2) + (1/2 + 2^-64): just above a tie, up to 2^63 + 3",
         pos(kTop + 2) + make(kTop | 1, 0),         nonzero(kTop + 3, 64)},
        {"(2^64 - 1) - (-2): the 65-bit sum 2^64 + 1 ties down to 2^64",
         pos(kMax) - val(-2.0),                     nonzero(kTop, 65)},
        {"(2^64 - 2) * 3 = 3 * 2^64 - 6: a product tie, down to even",
         pos(kMax - 1) * pos(3),                    nonzero(0xBFFFFFFFFFFFFFFE, 66)},
        {"(2^64 - 6) * 3 = 3 * 2^64 - 18: a product tie, up to even",
         pos(kMax - 5) * pos(3),                    nonzero(0xBFFFFFFFFFFFFFFC, 66)},
        {"(2^53 - 1) * (2^64 - 1): 117 bits, the dropped part barely above 0",
         val(0x1.fffffffffffffp52) * pos(kMax),     nonzero(0xFFFFFFFFFFFFF7FF, 117)},
        {"1 / 10: the repeating 0xC...C rounds up in its last bit",
         pos(1) / pos(10),                          nonzero(0xCCCCCCCCCCCCCCCD, -3)},
        {"(2^64 - 1) / (2^64 - 2) = 1 + 2^-64 + ...: above a tie only by the remainder",
         pos(kMax) / pos(kMax - 1),                 nonzero(kTop + 1, 1)},
        {"2^-1074 * 2^-1074: far below binary64, still exact",
         val(0x1p-1074) * val(0x1p-1074),           nonzero(kTop, -2147)},
        {"largest finite squared: far above binary64, still finite",
         val(0x1p1023) * val(0x1p1023),             nonzero(kTop, 2047)},
        {"x - x gives zero",
         pos(kMax) - pos(kMax),                     kZero},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result.parts(), c.parts) << c.why;
    }
}

// Random operands against an exact 128-bit reference. Exponents differ by 0 to
// 64 for + and -, so that every alignment of the two significands occurs; from
// 65 on the smaller is below half a unit of the larger's last place (of the
// last place one binade down, too) and the larger comes back unchanged.
TEST_F(F80Test, ArithmeticMatchesExactReference) {
    std::mt19937_64 gen(20240611);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t m1 = gen() | kTop;
        const std::uint64_t m2 = gen() | kTop;
        const int e1 = static_cast<int>(gen() % 401) - 200;
        const int shift = static_cast<int>(gen() % 72);
        const int e2 = e1 - shift;
        const bool n1 = (gen() & 1) != 0;
        const bool n2 = (gen() & 1) != 0;
        const F80 a = make(m1, e1, n1);
        const F80 b = make(m2, e2, n2);
        if (shift > 64) {
            ASSERT_EQ((a + b).parts(), a.parts()) << i;
            ASSERT_EQ((a - b).parts(), a.parts()) << i;
        } else {
            // In units of 2^(e2 - 64), a is m1 << shift; |a| >= |b| unless shift is 0.
            const u128 big = static_cast<u128>(m1) << shift;
            auto add_ref = [&](bool neg_b) {
                if (n1 == neg_b) {
                    return round_ref(n1, big + m2, e2 - 64);
                }
                return big >= m2 ? round_ref(n1, big - m2, e2 - 64) : round_ref(neg_b, m2 - big, e2 - 64);
            };
            ASSERT_EQ((a + b).parts(), add_ref(n2)) << i;
            ASSERT_EQ((a - b).parts(), add_ref(!n2)) << i;
        }
        ASSERT_EQ((a * b).parts(), round_ref(n1 != n2, static_cast<u128>(m1) * m2, e1 + e2 - 128)) << i;
        // m1 * 2^64 / m2 has 64 or 65 bits; one more quotient bit from the
        // remainder leaves a rounding bit in either case, the rest is sticky.
        const u128 num = static_cast<u128>(m1) << 64;
        const u128 q = num / m2;
        const u128 r2 = (num % m2) * 2;
        const u128 q2 = q * 2 + (r2 >= m2 ? 1 : 0);
        const bool sticky = r2 != 0 && r2 != m2;
        ASSERT_EQ((a / b).parts(), round_ref(n1 != n2, q2, e1 - e2 - 65, sticky)) << i;
    }
}

TEST_F(F80Test, IntegerRoundingTable) {
    const struct {
        const char* x_text;
        F80 x, round, floor, ceil;
    } cases[] = {
        // x                   x                      round               floor                     ceil
        {"0.5",                val(0.5),              pos(0),             pos(0),                   pos(1)},
        {"0.75",               val(0.75),             pos(1),             pos(0),                   pos(1)},
        {"0.25",               val(0.25),             pos(0),             pos(0),                   pos(1)},
        {"1.5",                val(1.5),              pos(2),             pos(1),                   pos(2)},
        {"2.5",                val(2.5),              pos(2),             pos(2),                   pos(3)},
        {"3.5",                val(3.5),              pos(4),             pos(3),                   pos(4)},
        {"-0.5",               val(-0.5),             pos(0),             val(-1.0),                pos(0)},
        {"-0.75",              val(-0.75),            val(-1.0),          val(-1.0),                pos(0)},
        {"-2.5",               val(-2.5),             val(-2.0),          val(-3.0),                val(-2.0)},
        {"-3",                 val(-3.0),             val(-3.0),          val(-3.0),                val(-3.0)},
        {"2^-1074",            val(0x1p-1074),        pos(0),             pos(0),                   pos(1)},
        {"-2^-1074",           val(-0x1p-1074),       pos(0),             val(-1.0),                pos(0)},
        {"0",                  pos(0),                pos(0),             pos(0),                   pos(0)},
        // a tie between 2^63 - 1 (odd) and 2^63 (even), at 64 significant bits
        {"2^63 - 1/2",         make(kMax, 63),        pos(kTop),          pos(kTop - 1),            pos(kTop)},
        // a negative tie, -2^62 even, whose floor is one further down
        {"-(2^62 + 1/2)",      make(kTop + 1, 63, true), make(kTop, 63, true), make(kTop + 2, 63, true), make(kTop, 63, true)},
        // from 2^63 on every value is an integer
        {"2^64 - 1",           pos(kMax),             pos(kMax),          pos(kMax),                pos(kMax)},
        {"2^1000",             val(0x1p1000),         val(0x1p1000),      val(0x1p1000),            val(0x1p1000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x_text);
        EXPECT_EQ(c.x.round().parts(), c.round.parts());
        EXPECT_EQ(c.x.floor().parts(), c.floor.parts());
        EXPECT_EQ(c.x.ceil().parts(), c.ceil.parts());
    }
}

// Random values around the binades where fractional bits exist, against a
// reference built from the significand's integer and fractional bits.
TEST_F(F80Test, IntegerRoundingMatchesReference) {
    std::mt19937_64 gen(7);
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t m = gen() | kTop;
        const int e = static_cast<int>(gen() % 68) - 2;  // -2 .. 65
        const bool negative = (gen() & 1) != 0;
        const F80 x = make(m, e, negative);
        if (e >= 64) {
            EXPECT_EQ(x.round().parts(), x.parts());
            EXPECT_EQ(x.floor().parts(), x.parts());
            EXPECT_EQ(x.ceil().parts(), x.parts());
            continue;
        }
        // |x| = whole + a fraction below, at or above one half.
        std::uint64_t whole = 0;
        int frac_vs_half = -1;  // -1 below, 0 at, 1 above
        if (e == 0) {
            frac_vs_half = m == kTop ? 0 : 1;
        } else if (e > 0) {
            const int drop = 64 - e;
            whole = m >> drop;
            const std::uint64_t rest = m & ((std::uint64_t{1} << drop) - 1);
            const std::uint64_t half = std::uint64_t{1} << (drop - 1);
            frac_vs_half = rest < half ? -1 : (rest == half ? 0 : 1);
        }
        const bool has_frac = e <= 0 || (m & ((std::uint64_t{1} << (64 - e)) - 1)) != 0;
        auto signed_int = [&](std::uint64_t magnitude) { return negative ? pos(0) - pos(magnitude) : pos(magnitude); };
        const bool round_up = frac_vs_half > 0 || (frac_vs_half == 0 && (whole & 1) != 0);
        ASSERT_EQ(x.round().parts(), signed_int(whole + round_up).parts()) << i;
        ASSERT_EQ(x.floor().parts(), signed_int(whole + (negative && has_frac)).parts()) << i;
        ASSERT_EQ(x.ceil().parts(), signed_int(whole + (!negative && has_frac)).parts()) << i;
    }
}

TEST_F(F80Test, ToF64Truncates) {
    const struct {
        const char* why;
        F80 x;
        std::uint64_t bits;
    } cases[] = {
        {"1/10 truncates to 0.09999999999999999",             pos(1) / pos(10),           0x3FB9999999999999},
        {"-1/10 gives the negated bits",                      val(-1.0) / pos(10),        0xBFB9999999999999},
        {"2 - 2^-63 stays below 2",                           make(kMax, 1),              0x3FFFFFFFFFFFFFFF},
        {"2^-1074, e = -1073, is exact",                      make(kTop, -1073),          0x0000000000000001},
        {"e = -1022: fraction m >> 12, not 2^-1022",          make(kMax, -1022),          0x000FFFFFFFFFFFFF},
        {"e = -1021: the lowest normal binade",               make(kMax, -1021),          0x001FFFFFFFFFFFFF},
        {"e = 1024: the largest finite, not infinity",        make(kMax, 1024),           0x7FEFFFFFFFFFFFFF},
        {"e = 1025: 2^1024 overflows to +inf",                make(kTop, 1025),           0x7FF0000000000000},
        {"e = 1025, negative: -inf",                          make(kTop, 1025, true),     0xFFF0000000000000},
        {"-[2^-1074, 2^-1073) gives -2^-1074",                make(kMax, -1073, true),    0x8000000000000001},
        {"below 2^-1074 gives +0.0",                          make(kMax, -1074),          0x0000000000000000},
        {"below -2^-1074 gives +0.0, not -0.0",               make(kMax, -1074, true),    0x0000000000000000},
        {"far below, negative: +0.0",                         make(kTop, -2147, true),    0x0000000000000000},
        {"zero from -0.0 gives +0.0",                         val(-0.0),                  0x0000000000000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bits(c.x.to_f64()), c.bits) << c.why;
    }
}

TEST_F(F80Test, ToU64TakesTheClampedIntegerPart) {
    const struct {
        const char* x_text;
        F80 x;
        std::uint64_t u;
    } cases[] = {
        {"0",              pos(0),              0},
        {"0.75",           val(0.75),           0},
        {"-3",             val(-3.0),           0},
        {"2^-1074",        val(0x1p-1074),      0},
        {"1",              val(1.0),            1},
        {"1.5",            val(1.5),            1},
        {"2^63 - 1/2",     make(kMax, 63),      kTop - 1},
        {"2^64 - 1",       pos(kMax),           kMax},
        {"2^64",           make(kTop, 65),      kMax},
        {"2^1100",         make(kTop, 1101),    kMax},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.x.to_u64(), c.u) << c.x_text;
    }
}

// The fast conversions take the hardware's stores where the engine has them;
// they must give to_f64() and round/floor/ceil + to_u64() bit for bit, at the
// ends of every range (zeros of both signs, subnormal and overflowing results,
// 2^63 and 2^64, halves) and over random values of every exponent. What the
// writes leave unmarked must be the definition already, and they may mark
// only the few values the stores cannot give.
TEST_F(F80Test, FastConversionsMatchTheDefinitions) {
    std::vector<F80> xs = {pos(0), val(-0.0), make(kMax, -1074, true), make(kMax, -1073, true), make(kTop, -1073),
                           make(kMax, -1022), make(kMax, -1022, true), make(kTop, -1021), make(kMax, 1024),
                           make(kMax, 1024, true), make(kTop, 1025), make(kTop, 1025, true), make(kMax, 63),
                           make(kTop, 64), make(kMax, 64), make(kTop, 65), val(0.5), val(1.5), val(2.5), val(-0.5),
                           val(-2.5), pos(1) / pos(10), val(-1.0) / pos(10)};
    std::mt19937_64 rng(11);
    for (int i = 0; i < 4000; ++i) {
        const std::uint64_t m = rng() | kTop;
        const int e = i % 3 == 0 ? static_cast<int>(rng() % 140) - 70 : static_cast<int>(rng() % 2300) - 1150;
        // Every seventh significand ends in a binary64 half-way pattern.
        xs.push_back(make(i % 7 == 0 ? (m & ~std::uint64_t{0xFFF}) | 0x800 : m, e, rng() % 4 == 0));
    }
    for (const F80& x : xs) {
        const Parts p = x.parts();
        SCOPED_TRACE(::testing::PrintToString(p));
        const std::uint64_t truncated = bits(x.to_f64());
        ASSERT_EQ(bits(x.to_f64_by_store()), truncated);
        double written;
        x.write_f64(written);
        if (F80::marked_f64(written)) {
            // Only a zero or the largest finite magnitude comes out marked.
            ASSERT_TRUE((bits(written) << 1) == 0 || (bits(written) << 1) == (bits(DBL_MAX) << 1));
        } else {
            ASSERT_EQ(bits(written), truncated);
        }
        const auto check_position = [&x](auto rounding, const F80& rounded) {
            constexpr F80::Rounding R = decltype(rounding)::value;
            const std::uint64_t position = rounded.to_u64();
            ASSERT_EQ(x.to_position<R>(), position);
            std::uint64_t out;
            x.write_position<R>(out);
            if (!F80::marked_position(out)) {
                ASSERT_EQ(out, position);
            } else {
                // Marked only where the result is not in [0, 2^63).
                ASSERT_TRUE(rounded.parts().negative || position >= kTop);
            }
        };
        check_position(std::integral_constant<F80::Rounding, F80::Rounding::Nearest>{}, x.round());
        check_position(std::integral_constant<F80::Rounding, F80::Rounding::Down>{}, x.floor());
        check_position(std::integral_constant<F80::Rounding, F80::Rounding::Up>{}, x.ceil());
        const F80 floor = x.floor();
        const std::optional<std::uint64_t> whole = x.to_whole_position();
        ASSERT_EQ(whole.has_value(), floor == x);
        if (whole) {
            ASSERT_EQ(*whole, floor.to_u64());
        }
        if (p.zero || !p.negative) {
            std::uint64_t out = 0;
            const bool written = x.write_whole_position_of_nonnegative(out);
            ASSERT_EQ(written, whole.has_value());
            if (written && F80::marked_position(out)) {
                ASSERT_GE(*whole, kTop);
            } else if (written) {
                ASSERT_EQ(out, *whole);
            }
        }
    }
}

// The soft engine's 128-bit terms against native shifts: a whole number's
// first 64 bits and bit count, and its rounding to 64 significant bits (to
// nearest, ties to even), at every bit count, with the bits below the top one
// random, all ones (carries), all zeros, or a tie.
TEST(SoftTerms, NormaliseAndRoundMatchNativeShifts) {
    std::mt19937_64 gen(128);
    for (int i = 0; i < 100000; ++i) {
        const int width = 1 + i % 127;  // round_to_64_bits takes numbers below 2^127
        const u128 top = u128{1} << (width - 1);
        const u128 random = ((static_cast<u128>(gen()) << 64) | gen()) & (top - 1);
        const int drop = width > 64 ? width - 64 : 0;
        const u128 half = drop == 0 ? 0 : u128{1} << (drop - 1);
        const u128 below[] = {random, top - 1, 0, half, half | (random & ~((half << 1) - 1))};
        const u128 v = top | below[i / 127 % 5];
        const auto words = rust::platform::from_words(static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v));

        const rust::detail::Normalised n = rust::detail::Normalised::of(words);
        ASSERT_EQ(n.m, static_cast<std::uint64_t>((v << (128 - width)) >> 64)) << width;
        ASSERT_EQ(n.e, width);

        const auto rounded = rust::detail::round_to_64_bits(words);
        u128 expected = v;
        if (drop > 0) {
            const u128 unit = u128{1} << drop;
            const u128 rest = v & (unit - 1);
            const u128 down = v - rest;
            const bool up = rest > half || (rest == half && ((down >> drop) & 1) != 0);
            expected = up ? down + unit : down;
        }
        ASSERT_EQ(rust::platform::high_word(rounded), static_cast<std::uint64_t>(expected >> 64)) << width;
        ASSERT_EQ(rust::platform::low_word(rounded), static_cast<std::uint64_t>(expected)) << width;
    }
}

}  // namespace
