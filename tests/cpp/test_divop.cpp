// Rounding rules of the 128-by-64-bit division, its internal failures, and
// differential checks against the compiler's own 128-bit integer: of the
// division, and of the two-word integer and word division that stand in for
// the compiler's where it has none.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "divop/divop.hpp"
#include "divop/lanes.hpp"
#include "panic.hpp"
#include "platform/divide.hpp"
#include "platform/wide.hpp"

#if !defined(__SIZEOF_INT128__)
#error "the reference is the compiler's own 128-bit integer"
#endif

namespace {

using rust::divop::u128;
using rust::platform::Wide;
using u64 = std::uint64_t;
// The reference: the compiler's own type, also where the build has u128 as two words.
__extension__ typedef unsigned __int128 Exact;
__extension__ typedef __int128 ExactSigned;

Exact exact(Wide n) { return (static_cast<Exact>(n.high()) << 64) | n.low(); }
#if RUST_NATIVE_WIDE
Exact exact(u128 n) { return n; }
#endif
u128 to_u128(Exact n) { return rust::platform::from_words(static_cast<u64>(n >> 64), static_cast<u64>(n)); }
Wide to_wide(Exact n) { return Wide::from_words(static_cast<u64>(n >> 64), static_cast<u64>(n)); }

constexpr u64 kMax = 0xFFFF'FFFF'FFFF'FFFF;   // 2^64 - 1
constexpr u64 kHalf = 0x8000'0000'0000'0000;  // 2^63
constexpr std::optional<u64> none = std::nullopt;

constexpr u128 wide(u64 hi, u64 lo) { return (static_cast<u128>(hi) << 64) | lo; }

struct Row {
    u64 hi, lo, d;  // numerator hi:lo, divisor d
    u64 q, r, nearest, ceil;
    std::optional<u64> exact;
};

// Expected results worked out by hand; floor is q.
constexpr Row kRows[] = {
    //  hi                     lo                     d                      q                      r                      nearest                ceil                   exact
    // small operands: every rule, ties on both parities
    {0x0,                   0x0,                   0x1,                   0x0,                   0x0,                   0x0,                   0x0,                   0x0},
    {0x0,                   0x5,                   0x2,                   0x2,                   0x1,                   0x2,                   0x3,                   none},  // 2.5 -> 2
    {0x0,                   0x7,                   0x2,                   0x3,                   0x1,                   0x4,                   0x4,                   none},  // 3.5 -> 4
    {0x0,                   0x6,                   0x4,                   0x1,                   0x2,                   0x2,                   0x2,                   none},  // 1.5 -> 2
    {0x0,                   0xA,                   0x4,                   0x2,                   0x2,                   0x2,                   0x3,                   none},  // 2.5 -> 2
    {0x0,                   0x7,                   0x3,                   0x2,                   0x1,                   0x2,                   0x3,                   none},
    {0x0,                   0x8,                   0x3,                   0x2,                   0x2,                   0x3,                   0x3,                   none},
    {0x0,                   0x9,                   0x3,                   0x3,                   0x0,                   0x3,                   0x3,                   0x3},
    // remainders of 2^63 and more: 2r overflows 64 bits
    {0x0,                   0x8000'0000'0000'0000, 0xFFFF'FFFF'FFFF'FFFF, 0x0,                   0x8000'0000'0000'0000, 0x1,                   0x1,                   none},  // just above half
    {0x0,                   0x7FFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, 0x0,                   0x7FFF'FFFF'FFFF'FFFF, 0x0,                   0x1,                   none},  // just below half
    {0x0,                   0x7FFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFE, 0x0,                   0x7FFF'FFFF'FFFF'FFFF, 0x0,                   0x1,                   none},  // tie, q even
    {0x1,                   0x7FFF'FFFF'FFFF'FFFD, 0xFFFF'FFFF'FFFF'FFFE, 0x1,                   0x7FFF'FFFF'FFFF'FFFF, 0x2,                   0x2,                   none},  // tie, q odd
    {0x0,                   0xFFFF'FFFF'FFFF'FFFE, 0xFFFF'FFFF'FFFF'FFFF, 0x0,                   0xFFFF'FFFF'FFFF'FFFE, 0x1,                   0x1,                   none},  // largest remainder
    {0x0,                   0xC000'0000'0000'0000, 0x8000'0000'0000'0000, 0x1,                   0x4000'0000'0000'0000, 0x2,                   0x2,                   none},  // tie, d = 2^63
    {0x0,                   0x4000'0000'0000'0001, 0x8000'0000'0000'0001, 0x0,                   0x4000'0000'0000'0001, 0x1,                   0x1,                   none},
    {0x0,                   0x4000'0000'0000'0000, 0x8000'0000'0000'0001, 0x0,                   0x4000'0000'0000'0000, 0x0,                   0x1,                   none},
    // quotients at and next to 2^64 - 1
    {0x0,                   0xFFFF'FFFF'FFFF'FFFF, 0x1,                   0xFFFF'FFFF'FFFF'FFFF, 0x0,                   0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF},
    {0x1,                   0xFFFF'FFFF'FFFF'FFFE, 0x2,                   0xFFFF'FFFF'FFFF'FFFF, 0x0,                   0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF},
    {0x1,                   0xFFFF'FFFF'FFFF'FFFD, 0x2,                   0xFFFF'FFFF'FFFF'FFFE, 0x1,                   0xFFFF'FFFF'FFFF'FFFE, 0xFFFF'FFFF'FFFF'FFFF, none},  // tie just below the top
    {0xFFFF'FFFF'FFFF'FFFE, 0x1,                   0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, 0x0,                   0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF},  // (2^64-1)^2
    {0xFFFF'FFFF'FFFF'FFFE, 0x0,                   0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFE, 0xFFFF'FFFF'FFFF'FFFE, 0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, none},
};

TEST(Divop, WorkedRows) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << std::hex << "n = " << row.hi << ":" << row.lo << ", d = " << row.d);
        const u128 n = wide(row.hi, row.lo);
        const rust::divop::QuotRem qr = rust::divop::div_rem(n, row.d);
        EXPECT_EQ(qr.q, row.q);
        EXPECT_EQ(qr.r, row.r);
        EXPECT_EQ(rust::divop::div_nearest(n, row.d), row.nearest);
        EXPECT_EQ(rust::divop::div_floor(n, row.d), row.q);
        EXPECT_EQ(rust::divop::div_ceil(n, row.d), row.ceil);
        EXPECT_EQ(rust::divop::div_exact(n, row.d), row.exact);
    }
}

// A zero divisor, or a quotient of 2^64 or more (high half of n at least d),
// would be a processor fault; every entry point reports it as an internal failure.
TEST(Divop, ContractViolationsPanic) {
    struct Bad {
        u64 hi, lo, d;
    };
    constexpr Bad kBad[] = {
        {0x0,                   0x0,                   0x0},
        {0x0,                   0x1,                   0x0},
        {0x1,                   0x0,                   0x1},                    // quotient exactly 2^64
        {0x5,                   0x0,                   0x5},
        {0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF},
    };
    for (const Bad& b : kBad) {
        SCOPED_TRACE(testing::Message() << std::hex << "n = " << b.hi << ":" << b.lo << ", d = " << b.d);
        const u128 n = wide(b.hi, b.lo);
        EXPECT_THROW(rust::divop::div_rem(n, b.d), rust::Panic);
        EXPECT_THROW(rust::divop::div_nearest(n, b.d), rust::Panic);
        EXPECT_THROW(rust::divop::div_floor(n, b.d), rust::Panic);
        EXPECT_THROW(rust::divop::div_ceil(n, b.d), rust::Panic);
        EXPECT_THROW(rust::divop::div_exact(n, b.d), rust::Panic);
    }
}

// Operands biased toward the magnitudes where rounding goes wrong: small,
// around 2^63, around 2^64, powers of two and their neighbours.
u64 edgy(std::mt19937_64& rng) {
    const u64 small = rng() % 5;
    switch (rng() % 6) {
        case 0: return 1 + rng() % 1000;
        case 1: return kHalf - small;
        case 2: return kHalf + small;
        case 3: return kMax - small;
        case 4: return (u64{1} << (rng() % 64)) + small - 2;
        default: return rng();
    }
}

TEST(Divop, MatchesNativeDivision) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 300000; ++i) {
        u64 d = edgy(rng);
        if (d == 0) {
            d = 1;
        }
        Exact n;
        if (rng() % 2 == 0) {
            // n = q*d + r with chosen q and r: at most 2^64*d - 1, so q < 2^64.
            const u64 q = edgy(rng);
            u64 r;
            switch (rng() % 5) {
                case 0: r = 0; break;
                case 1: r = d - 1; break;
                case 2: r = d / 2; break;
                case 3: r = (d / 2 + 1) % d; break;
                default: r = rng() % d; break;
            }
            n = static_cast<Exact>(q) * d + r;
        } else {
            n = exact(wide(rng() % d, edgy(rng)));
        }

        const Exact q = n / d;
        const Exact r = n % d;
        const Exact nearest = q + ((2 * r > d || (2 * r == d && (q & 1) != 0)) ? 1 : 0);
        const Exact ceil = q + (r != 0 ? 1 : 0);
        const u128 num = to_u128(n);

        const rust::divop::QuotRem got = rust::divop::div_rem(num, d);
        ASSERT_EQ(got.q, static_cast<u64>(q)) << "d = " << d << ", i = " << i;
        ASSERT_EQ(got.r, static_cast<u64>(r)) << "d = " << d << ", i = " << i;
        // The prepared divisor divides by multiplication: it must agree on every numerator.
        const rust::divop::QuotRem by_reciprocal = rust::divop::Divisor(d).div_rem(num);
        ASSERT_EQ(by_reciprocal.q, got.q) << "d = " << d << ", i = " << i;
        ASSERT_EQ(by_reciprocal.r, got.r) << "d = " << d << ", i = " << i;
        // Normalised, as the segments divide: the same quotient, the remainder
        // scaled alike.
        const int shift = std::countl_zero(d);
        const rust::divop::QuotRem scaled = rust::divop::Divisor(d << shift).div_rem_normalised(num << shift);
        ASSERT_EQ(scaled.q, got.q) << "d = " << d << ", i = " << i;
        ASSERT_EQ(scaled.r, got.r << shift) << "d = " << d << ", i = " << i;
        ASSERT_EQ(rust::divop::div_floor(num, d), static_cast<u64>(q));
        ASSERT_EQ(rust::divop::div_exact(num, d), r == 0 ? std::optional<u64>(static_cast<u64>(q)) : none);
        // Rounding up past 2^64 - 1 is outside the contract: the schemes never form such quotients.
        if (nearest <= kMax) {
            ASSERT_EQ(rust::divop::div_nearest(num, d), static_cast<u64>(nearest)) << "d = " << d << ", i = " << i;
        }
        if (ceil <= kMax) {
            ASSERT_EQ(rust::divop::div_ceil(num, d), static_cast<u64>(ceil)) << "d = " << d << ", i = " << i;
        }
    }
}

// Stepped quotients: a step moves a quotient and remainder as dividing the
// moved numerator would (quotients modulo 2^64), its negation moves them back,
// and the rules read off a lifted quotient are the rules themselves.
TEST(Divop, SteppedAndLiftedQuotientsMatchTheRules) {
    using rust::divop::QuotRem;
    using rust::divop::Step;
    std::mt19937_64 rng(20261209);
    for (int i = 0; i < 300000; ++i) {
        const u64 d = std::max<u64>(1, edgy(rng));
        const u64 q = rng() % 2 == 0 ? edgy(rng) : rng() % 100;
        const u64 picks[] = {0, d - 1, d / 2, (d / 2 + 1) % d, rng() % d};
        const QuotRem a{q, picks[rng() % 5]};
        const Step s{edgy(rng), picks[rng() % 5]};

        const Exact moved = static_cast<Exact>(q) * d + a.r + s.r;
        const QuotRem got = rust::divop::advance(a, s, d);
        ASSERT_EQ(got.q, static_cast<u64>(moved / d) + s.q) << "d = " << d << ", i = " << i;
        ASSERT_EQ(got.r, static_cast<u64>(moved % d)) << "d = " << d << ", i = " << i;
        const QuotRem back = rust::divop::advance(got, rust::divop::negate(s, d), d);
        ASSERT_EQ(back.q, a.q) << "d = " << d << ", i = " << i;
        ASSERT_EQ(back.r, a.r) << "d = " << d << ", i = " << i;

        const QuotRem nearest = rust::divop::advance(a, {0, rust::divop::nearest_lift(d)}, d);
        ASSERT_EQ(rust::divop::round_nearest_lifted(nearest, d), rust::divop::round_nearest(a, d))
            << "d = " << d << ", r = " << a.r << ", i = " << i;
        ASSERT_EQ(rust::divop::advance(a, {0, rust::divop::ceil_lift(d)}, d).q, rust::divop::round_ceil(a))
            << "d = " << d << ", r = " << a.r << ", i = " << i;
    }
}

// The reciprocal's corrections are taken for particular numerators; each of the
// extreme divisors (1, normalised or not, 2^64 - 1) is run across numerators at
// both ends of the allowed range.
TEST(Divisor, ExtremeDivisorsAndNumerators) {
    const u64 divisors[] = {1, 2, 3, kHalf - 1, kHalf, kHalf + 1, kMax - 1, kMax};
    for (const u64 d : divisors) {
        const rust::divop::Divisor prepared(d);
        const u128 top = wide(d - 1, kMax);  // the largest numerator with q < 2^64
        const u128 numerators[] = {0, 1, d - 1, d, static_cast<u128>(d) + 1, top - d, top - 1, top};
        for (const u128 n : numerators) {
            const rust::divop::QuotRem want = rust::divop::div_rem(n, d);
            const rust::divop::QuotRem got = prepared.div_rem(n);
            EXPECT_EQ(got.q, want.q) << "d = " << d;
            EXPECT_EQ(got.r, want.r) << "d = " << d;
            if (d >= kHalf) {
                const rust::divop::QuotRem normalised = prepared.div_rem_normalised(n);
                EXPECT_EQ(normalised.q, want.q) << "d = " << d;
                EXPECT_EQ(normalised.r, want.r) << "d = " << d;
            }
        }
        EXPECT_THROW(prepared.div_rem(wide(d, 0)), rust::Panic) << "quotient 2^64, d = " << d;
    }
    EXPECT_THROW(rust::divop::Divisor(0), rust::Panic);
}

// Operands where two-word arithmetic goes wrong: carries and borrows across the
// words and across the 32-bit halves of the schoolbook product, all ones, the
// top bit of either word, and random patterns.
std::vector<Exact> wide_operands(std::mt19937_64& rng, int random_count) {
    const u64 words[] = {0, 1, 2, 0xFFFF'FFFF, u64{1} << 32, (u64{1} << 32) + 1, kHalf - 1, kHalf, kMax - 1, kMax};
    std::vector<Exact> out;
    for (const u64 hi : words) {
        for (const u64 lo : words) {
            out.push_back(static_cast<Exact>(hi) << 64 | lo);
        }
    }
    for (int i = 0; i < random_count; ++i) {
        // Random words, some with a random run of bits cleared or set.
        const u64 hi = rng(), lo = rng(), mask = rng() >> (rng() % 64);
        switch (rng() % 4) {
            case 0: out.push_back(static_cast<Exact>(hi) << 64 | lo); break;
            case 1: out.push_back(static_cast<Exact>(hi & mask) << 64 | (lo | mask)); break;
            case 2: out.push_back(static_cast<Exact>(lo & mask)); break;
            default: out.push_back(~(static_cast<Exact>(hi & mask) << 64 | (lo & mask))); break;
        }
    }
    return out;
}

// The two-word integer against the compiler's on every operator the arithmetic
// uses. Wide is compared, not u128: the test holds in builds of either kind.
TEST(Wide, MatchesTheNativeIntegerOnEveryOperator) {
    std::mt19937_64 rng(20261207);
    const std::vector<Exact> operands = wide_operands(rng, 400);
    for (const Exact a : operands) {
        const Wide wa = to_wide(a);
        SCOPED_TRACE(testing::Message() << std::hex << "a = " << static_cast<u64>(a >> 64) << ":" << static_cast<u64>(a));
        ASSERT_EQ(exact(~wa), static_cast<Exact>(~a));
        ASSERT_EQ(exact(-wa), static_cast<Exact>(-a));
        ASSERT_EQ(static_cast<u64>(wa), static_cast<u64>(a));
        ASSERT_EQ(static_cast<std::uint32_t>(wa), static_cast<std::uint32_t>(a));
        ASSERT_EQ(static_cast<bool>(wa), a != 0);
        for (unsigned s = 0; s < 128; ++s) {
            ASSERT_EQ(exact(wa << s), static_cast<Exact>(a << s)) << "<< " << s;
            ASSERT_EQ(exact(wa >> s), static_cast<Exact>(a >> s)) << ">> " << s;
        }
        for (const Exact b : operands) {
            const Wide wb = to_wide(b);
            ASSERT_EQ(exact(wa + wb), static_cast<Exact>(a + b));
            ASSERT_EQ(exact(wa - wb), static_cast<Exact>(a - b));
            ASSERT_EQ(exact(wa * wb), static_cast<Exact>(a * b));
            ASSERT_EQ(exact(wa & wb), static_cast<Exact>(a & b));
            ASSERT_EQ(exact(wa | wb), static_cast<Exact>(a | b));
            ASSERT_EQ(exact(wa ^ wb), static_cast<Exact>(a ^ b));
            ASSERT_EQ(wa == wb, a == b);
            ASSERT_EQ(wa != wb, a != b);
            ASSERT_EQ(wa < wb, a < b);
            ASSERT_EQ(wa <= wb, a <= b);
            ASSERT_EQ(wa > wb, a > b);
            ASSERT_EQ(wa >= wb, a >= b);
            Wide w = wa;
            w += wb;
            w *= wb;
            w -= wa;
            w <<= static_cast<unsigned>(b % 128);
            w |= wa;
            ASSERT_EQ(exact(w), static_cast<Exact>((((a + b) * b - a) << static_cast<unsigned>(b % 128)) | a));
        }
    }
}

// Mixed with 64-bit and smaller operands, as the arithmetic writes it
// (static_cast<u128>(a) * b + c, n >> 64, 2 * r), and converted from signed
// integers, which C++ sign-extends.
TEST(Wide, MixedOperandsConvertAsTheNativeIntegerDoes) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; ++i) {
        const u64 a = i < 4 ? kMax - static_cast<u64>(i) : rng(), b = rng() >> (rng() % 64), c = rng();
        ASSERT_EQ(exact(static_cast<Wide>(a) * b + c), static_cast<Exact>(a) * b + c);
        ASSERT_EQ(exact(Wide::product(a, b)), static_cast<Exact>(a) * b);
        ASSERT_EQ(static_cast<u64>((static_cast<Wide>(a) * b) >> 64), static_cast<u64>((static_cast<Exact>(a) * b) >> 64));
        ASSERT_EQ(exact(2 * static_cast<Wide>(a)), 2 * static_cast<Exact>(a));
        ASSERT_EQ(static_cast<Wide>(a) < b, a < b);
        const auto v = static_cast<std::int64_t>(c);
        ASSERT_EQ(exact(Wide(v)), static_cast<Exact>(static_cast<ExactSigned>(v))) << v;
        ASSERT_EQ(exact(Wide(static_cast<int>(v))), static_cast<Exact>(static_cast<ExactSigned>(static_cast<int>(v))));
    }
}

// Worked products: every carry of the schoolbook columns, checked at compile
// time too, so that the constant-evaluated path (which MSVC takes in place of
// _umul128 there) is the same arithmetic.
struct ProductRow {
    u64 a, b, hi, lo;
};
constexpr ProductRow kProducts[] = {
    //  a                      b                      hi                     lo
    {0x0,                   0xFFFF'FFFF'FFFF'FFFF, 0x0,                   0x0},
    {0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFE, 0x0000'0000'0000'0001},  // (2^64 - 1)^2
    {0x0000'0001'0000'0000, 0x0000'0001'0000'0000, 0x0000'0000'0000'0001, 0x0},                    // 2^32 * 2^32
    {0xFFFF'FFFF'0000'0000, 0x0000'0000'FFFF'FFFF, 0x0000'0000'FFFF'FFFE, 0x0000'0001'0000'0000},  // cross products only
    {0x0000'0000'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF, 0x0000'0000'FFFF'FFFE, 0xFFFF'FFFF'0000'0001},  // middle column carries
    {0x8000'0000'0000'0000, 0x0000'0000'0000'0002, 0x0000'0000'0000'0001, 0x0},                    // top bit out of the low word
};
constexpr bool products_hold() {
    for (const ProductRow& row : kProducts) {
        const Wide p = Wide::product(row.a, row.b);
        if (p.high() != row.hi || p.low() != row.lo || Wide(row.a) * row.b != p) {
            return false;
        }
    }
    return true;
}
static_assert(products_hold());

TEST(Wide, WorkedProducts) {
    for (const ProductRow& row : kProducts) {
        SCOPED_TRACE(testing::Message() << std::hex << row.a << " * " << row.b);
        const Wide p = Wide::product(row.a, row.b);
        EXPECT_EQ(p.high(), row.hi);
        EXPECT_EQ(p.low(), row.lo);
        EXPECT_EQ(exact(p), static_cast<Exact>(row.a) * row.b);
    }
}

// The word division in 64-bit arithmetic alone, against the hardware's (the
// route this build takes) and the compiler's 128-bit division. Its hard cases:
// divisors at the edges of a 32-bit digit, where the digit estimate is two too
// large or its test stops on the first correction, and the largest high words.
TEST(DivideWords, PortableMatchesTheHardwareDivision) {
    std::mt19937_64 rng(20261208);
    const auto check = [](u64 hi, u64 lo, u64 d) {
        const Exact n = static_cast<Exact>(hi) << 64 | lo;
        const rust::platform::WordDivision portable = rust::platform::divide_words_portable(hi, lo, d);
        const rust::platform::WordDivision fast = rust::platform::divide_words(hi, lo, d);
        ASSERT_EQ(portable.q, static_cast<u64>(n / d)) << std::hex << hi << ":" << lo << " / " << d;
        ASSERT_EQ(portable.r, static_cast<u64>(n % d)) << std::hex << hi << ":" << lo << " / " << d;
        ASSERT_EQ(fast.q, portable.q) << std::hex << hi << ":" << lo << " / " << d;
        ASSERT_EQ(fast.r, portable.r) << std::hex << hi << ":" << lo << " / " << d;
    };
    const u64 divisors[] = {1, 2, 3, 0xFFFF'FFFF, u64{1} << 32, (u64{1} << 32) + 1, 0x8000'0000'FFFF'FFFF,
                            0x8000'0001'0000'0000, kHalf - 1, kHalf, kHalf + 1, 0xFFFF'FFFF'0000'0000, kMax - 1, kMax};
    for (const u64 d : divisors) {
        for (const u64 hi : {u64{0}, d / 2, d - 1}) {
            for (const u64 lo : {u64{0}, u64{1}, u64{0xFFFF'FFFF}, kHalf, kMax - 1, kMax}) {
                check(hi, lo, d);
            }
        }
    }
    for (int i = 0; i < 1000000; ++i) {
        // Divisors of every length, with runs of ones and zeros around the digit boundary.
        u64 d = rng() >> (rng() % 64);
        if (rng() % 4 == 0) {
            d |= 0xFFFF'FFFF'0000'0000 >> (rng() % 33);
        }
        d = d == 0 ? 1 : d;
        const u64 hi = rng() % 3 == 0 ? d - 1 - rng() % (d < 4 ? d : 4) : rng() % d;
        check(hi, rng() % 3 == 0 ? kMax - rng() % 4 : rng(), d);
    }
    static_assert(rust::platform::divide_words_portable(0xFFFF'FFFF'FFFF'FFFE, 0x1, kMax).q == kMax);
}

#if defined(RUST_HAVE_LANES)

struct LaneCase {
    u64 c, t, d;
};

// div_rem_lanes() on eight cases: whether each lane was taken, and its
// quotient and remainder.
struct LaneResult {
    bool taken[8];
    u64 q[8];
    u64 r[8];
};

[[RUST_LANES_TARGET("avx512f,avx512dq")]] LaneResult divide_in_lanes(const LaneCase (&cases)[8]) {
    u64 c[8], t[8], d[8];
    for (int l = 0; l < 8; ++l) {
        c[l] = cases[l].c;
        t[l] = cases[l].t;
        d[l] = cases[l].d;
    }
    rust::divop::Lanes out;
    const __mmask8 taken = rust::divop::div_rem_lanes(_mm512_loadu_si512(c), _mm512_loadu_si512(t),
                                                      _mm512_loadu_si512(d), out);
    LaneResult result;
    _mm512_storeu_si512(result.q, out.q);
    _mm512_storeu_si512(result.r, out.r);
    for (int l = 0; l < 8; ++l) {
        result.taken[l] = (taken >> l & 1) != 0;
    }
    return result;
}

// The vector division estimates in binary64 and corrects once: its worst
// cases are factors just below the bound with t close to d, and divisors too
// large for binary64 to hold exactly. Lanes past a bound must be refused.
// The binary64 estimate is corrected into div_rem's quotient and remainder at
// the edges of its bounds, under every rounding mode a caller may have set.
TEST(SmallDivisor, MatchesTheHardwareDivisionInEveryRoundingMode) {
    constexpr u64 k53 = u64{1} << 53;
    constexpr u64 k50 = u64{1} << 50;
    ASSERT_TRUE(rust::divop::SmallDivisor::fits(k50 - 1, 8));
    ASSERT_FALSE(rust::divop::SmallDivisor::fits(k50, 1));           // quotients too large
    ASSERT_FALSE(rust::divop::SmallDivisor::fits(u64{1} << 20, u64{1} << 33));  // numerators past 2^53
    ASSERT_FALSE(rust::divop::SmallDivisor::fits(3, 0));
    std::mt19937_64 rng(53);
    const int modes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
    const int saved = std::fegetround();
    for (const int mode : modes) {
        std::fesetround(mode);
        for (int i = 0; i < 200000; ++i) {
            // Divisors of every size up to the bound, with factors just fitting.
            const u64 d = 1 + (rng() >> (11 + rng() % 53));
            const u64 c = std::min((k53 - 1) / d, k50 - 1 - rng() % 4);
            if (!rust::divop::SmallDivisor::fits(c, d)) {
                continue;
            }
            const u64 r = rng() % 5;
            const u64 n = r == 0 ? c * d - 1 : r == 1 ? (c - 1) * d : r == 2 ? c * d - d + 1 : rng() % (c * d);
            const rust::divop::SmallDivisor small(d);
            const rust::divop::QuotRem got = small.div_rem(n);
            const rust::divop::QuotRem want = rust::divop::div_rem(n, d);
            ASSERT_EQ(got.q, want.q) << n << " / " << d << " (mode " << mode << ")";
            ASSERT_EQ(got.r, want.r) << n << " / " << d << " (mode " << mode << ")";
        }
    }
    std::fesetround(saved);
}

TEST(DivRemLanes, MatchesTheHardwareDivisionWithinItsBounds) {
    if (!rust::detail::cpu_has_lanes()) {
        GTEST_SKIP() << "no AVX-512 on this CPU";
    }
    constexpr u64 kFactor = rust::divop::kLaneFactorBound;
    constexpr u64 kDivisor = rust::divop::kLaneDivisorBound;
    std::mt19937_64 rng(20261207);
    const auto factor = [&]() -> u64 {
        switch (rng() % 5) {
            case 0: return kFactor - 1 - rng() % 4096;
            case 1: return rng() % kFactor;
            case 2: return rng() % 1000;
            case 3: return (u64{1} << (rng() % 50)) + rng() % 3 - 1;
            default: return kFactor + rng() % 3;  // refused
        }
    };
    const auto divisor = [&]() -> u64 {
        switch (rng() % 6) {
            case 0: return 1 + rng() % 3;
            case 1: return kDivisor - 1 - rng() % 4096;
            case 2: return 1 + rng() % (kDivisor - 1);
            case 3: return (u64{1} << (53 + rng() % 9)) + rng() % 5;  // not exact in binary64
            case 4: return 1 + rng() % 100000;
            default: return rng() % 5 == 0 ? 0 : kDivisor + rng() % 3;  // refused
        }
    };
    for (int round = 0; round < 100000; ++round) {
        LaneCase cases[8];
        for (LaneCase& x : cases) {
            x.c = factor();
            x.d = divisor();
            const u64 r = rng() % 6;
            x.t = r == 0 ? x.d : r == 1 ? x.d - 1 : r == 2 ? x.d + 1 : r == 3 ? 0 : rng() % (x.d + 1);
        }
        const LaneResult got = divide_in_lanes(cases);
        for (int l = 0; l < 8; ++l) {
            const LaneCase& x = cases[l];
            const bool within = x.c < kFactor && x.d != 0 && x.d < kDivisor && x.t <= x.d;
            ASSERT_EQ(got.taken[l], within) << "c = " << x.c << ", t = " << x.t << ", d = " << x.d;
            if (within) {
                const rust::divop::QuotRem want = rust::divop::div_rem(static_cast<u128>(x.c) * x.t, x.d);
                ASSERT_EQ(got.q[l], want.q) << "c = " << x.c << ", t = " << x.t << ", d = " << x.d;
                ASSERT_EQ(got.r[l], want.r) << "c = " << x.c << ", t = " << x.t << ", d = " << x.d;
            }
        }
    }
}

#endif

}  // namespace
