// Exact interpolation on one integer segment: worked rows and a differential
// check against a reference that works with signed values, not offset forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>

#include "schemes/method.hpp"
#include "schemes/integer.hpp"

namespace {

using u64 = std::uint64_t;
using i64 = std::int64_t;
__extension__ typedef __int128 i128;
__extension__ typedef unsigned __int128 u128;
using Scheme = rust::Scheme<u64, i64>;
using rust::Method;

constexpr i64 kMin = std::numeric_limits<i64>::min();
constexpr i64 kMaxI = std::numeric_limits<i64>::max();
constexpr u64 kMaxU = std::numeric_limits<u64>::max();
constexpr std::optional<u64> none = std::nullopt;

TEST(IntegerForward, WorkedRows) {
    struct Row {
        u64 x0, x1;
        i64 f0, f1;
        u64 x;
        i64 value;
    };
    constexpr Row kRows[] = {
        //  x0  x1     f0    f1     x                    value     exact value
        {0, 4,     0,    10,    1,                   2},   // 2.5 -> even
        {0, 4,     0,    10,    2,                   5},
        {0, 4,     0,    10,    3,                   8},   // 7.5 -> even
        {0, 4,     -10,  0,     1,                   -8},  // -7.5 -> even
        {0, 4,     -10,  0,     3,                   -2},  // -2.5 -> even
        {0, 4,     0,    -10,   1,                   -2},  // -2.5, falling segment
        {0, 3,     0,    1,     1,                   0},   // 1/3
        {0, 3,     0,    1,     2,                   1},   // 2/3
        {0, 2,     kMin, kMaxI, 1,                   0},   // -0.5 across the whole int64 range
        {0, kMaxU, 0,    1,     0x8000000000000000,  1},   // just above one half
        {0, kMaxU, 0,    1,     0x7FFFFFFFFFFFFFFF,  0},   // just below one half
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(testing::Message() << "x0=" << r.x0 << " x1=" << r.x1 << " f0=" << r.f0
                                        << " f1=" << r.f1 << " x=" << r.x);
        EXPECT_EQ(Scheme::forward(r.x, r.x0, r.x1, r.f0, r.f1), r.value);
    }
}

TEST(IntegerInverse, WorkedRows) {
    struct Row {
        u64 x0, x1;
        i64 f0, f1, f;
        std::optional<u64> exact;
        u64 nearest, ffill, bfill;
    };
    constexpr Row kRows[] = {
        //  x0  x1     f0    f1     f    exact                nearest              ffill                bfill                   exact position
        {10, 20,    0,    4,     1,   none,                12,                  12,                  13},                  // 12.5
        {10, 20,    0,    4,     2,   15,                  15,                  15,                  15},
        {10, 20,    0,    4,     3,   none,                18,                  17,                  18},                  // 17.5
        {20, 10,    0,    4,     1,   none,                18,                  17,                  18},                  // 17.5, decreasing positions
        {0,  10,    -3,   3,     -2,  none,                2,                   1,                   2},                   // 5/3
        {0,  10,    -3,   3,     1,   none,                7,                   6,                   7},                   // 20/3
        {0,  1,     kMin, kMaxI, 0,   none,                1,                   0,                   1},                   // just above one half
        {0,  1,     kMin, kMaxI, -1,  none,                0,                   0,                   1},                   // just below one half
        {0,  kMaxU, kMin, kMaxI, 0,   0x8000000000000000,  0x8000000000000000,  0x8000000000000000,  0x8000000000000000},  // divisor 2^64 - 1
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(testing::Message() << "x0=" << r.x0 << " x1=" << r.x1 << " f0=" << r.f0
                                        << " f1=" << r.f1 << " f=" << r.f);
        EXPECT_EQ(Scheme::inverse(r.f, r.x0, r.x1, r.f0, r.f1, Method::Exact), r.exact);
        EXPECT_EQ(Scheme::inverse(r.f, r.x0, r.x1, r.f0, r.f1, Method::Nearest), r.nearest);
        EXPECT_EQ(Scheme::inverse(r.f, r.x0, r.x1, r.f0, r.f1, Method::Ffill), r.ffill);
        EXPECT_EQ(Scheme::inverse(r.f, r.x0, r.x1, r.f0, r.f1, Method::Bfill), r.bfill);
    }
}

TEST(IntegerForward, EqualValuesGiveThatValueEverywhere) {
    for (const i64 f : {kMin, kMin + 1, i64{-1}, i64{0}, i64{7}, kMaxI}) {
        for (const u64 x : {u64{1}, u64{2}, u64{0x8000000000000000}, kMaxU - 2}) {
            EXPECT_EQ(Scheme::forward(x, 0, kMaxU - 1, f, f), f) << "f=" << f << " x=" << x;
        }
        EXPECT_EQ(Scheme::forward(6, 5, 7, f, f), f) << "f=" << f;
    }
}

// base + slope * t / d as whole + rem / d with 0 <= rem < d, where 0 <= t < d < 2^64
// and |slope| < 2^64. slope * t can need 129 bits, so split the slope first:
// slope = k*d + s with 0 <= s < d, then s * t < 2^128 and k * t fits comfortably.
struct Mixed {
    i128 whole;
    u128 rem;
};

Mixed affine(i128 base, i128 slope, u64 t, u64 d) {
    i128 k = slope / static_cast<i128>(d);
    i128 s = slope % static_cast<i128>(d);
    if (s < 0) {
        s += d;
        k -= 1;
    }
    const u128 st = static_cast<u128>(s) * t;
    return {base + k * static_cast<i128>(t) + static_cast<i128>(st / d), st % d};
}

i128 round_half_even(Mixed m, u64 d) {
    const u128 twice = 2 * m.rem;  // below 2^65
    if (twice > d || (twice == d && (m.whole % 2) != 0)) {
        return m.whole + 1;
    }
    return m.whole;
}

// Operands biased toward the ends of their ranges and toward zero.
u64 edgy_position(std::mt19937_64& rng) {
    const u64 small = rng() % 4;
    switch (rng() % 5) {
        case 0: return small;
        case 1: return kMaxU - small;
        case 2: return 0x8000000000000000 + small - 2;
        case 3: return rng() % 1000;
        default: return rng();
    }
}

i64 edgy_value(std::mt19937_64& rng) {
    const i64 small = static_cast<i64>(rng() % 4);
    switch (rng() % 5) {
        case 0: return kMin + small;
        case 1: return kMaxI - small;
        case 2: return small - 2;
        case 3: return static_cast<i64>(rng() % 2001) - 1000;
        default: return static_cast<i64>(rng());
    }
}

TEST(IntegerForward, MatchesSignedReference) {
    std::mt19937_64 rng(7001);
    for (int i = 0; i < 100000; ++i) {
        u64 p[3] = {edgy_position(rng), edgy_position(rng), edgy_position(rng)};
        std::sort(p, p + 3);
        if (p[0] == p[1] || p[1] == p[2]) {
            continue;
        }
        const u64 x0 = p[0], x = p[1], x1 = p[2];
        const i64 f0 = edgy_value(rng), f1 = edgy_value(rng);
        const u64 d = x1 - x0;
        const i128 want = round_half_even(affine(f0, static_cast<i128>(f1) - f0, x - x0, d), d);
        ASSERT_EQ(static_cast<i128>(Scheme::forward(x, x0, x1, f0, f1)), want)
            << "x0=" << x0 << " x1=" << x1 << " f0=" << f0 << " f1=" << f1 << " x=" << x;
    }
}

TEST(IntegerInverse, MatchesSignedReference) {
    std::mt19937_64 rng(7002);
    for (int i = 0; i < 100000; ++i) {
        i64 v[3] = {edgy_value(rng), edgy_value(rng), edgy_value(rng)};
        std::sort(v, v + 3);
        if (v[0] == v[1] || v[1] == v[2]) {
            continue;
        }
        const i64 f0 = v[0], f = v[1], f1 = v[2];
        const u64 x0 = edgy_position(rng);
        const u64 x1 = rng() % 8 == 0 ? x0 : edgy_position(rng);  // equal positions are allowed
        const auto d = static_cast<u64>(static_cast<i128>(f1) - f0);
        const auto t = static_cast<u64>(static_cast<i128>(f) - f0);
        const Mixed m = affine(x0, static_cast<i128>(x1) - static_cast<i128>(x0), t, d);
        const auto exact = m.rem == 0 ? std::optional<u64>(static_cast<u64>(m.whole)) : none;
        const auto nearest = static_cast<u64>(round_half_even(m, d));
        const auto ffill = static_cast<u64>(m.whole);
        const auto bfill = static_cast<u64>(m.whole + (m.rem != 0 ? 1 : 0));
        SCOPED_TRACE(testing::Message() << "x0=" << x0 << " x1=" << x1 << " f0=" << f0 << " f1=" << f1
                                        << " f=" << f);
        ASSERT_EQ(Scheme::inverse(f, x0, x1, f0, f1, Method::Exact), exact);
        ASSERT_EQ(Scheme::inverse(f, x0, x1, f0, f1, Method::Nearest), nearest);
        ASSERT_EQ(Scheme::inverse(f, x0, x1, f0, f1, Method::Ffill), ffill);
        ASSERT_EQ(Scheme::inverse(f, x0, x1, f0, f1, Method::Bfill), bfill);
    }
}

}  // namespace
