// The query walk against the one-query answers: every route of forward_into and
// inverse_into (searches from the previous answer, runs inside one segment,
// stepped evenly spaced runs, batched searches of scattered queries) on random
// tables and query streams shaped to reach each of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "differential.hpp"
#include "divop/lanes.hpp"
#include "extended/fpu_scope.hpp"
#include "panic.hpp"
#include "piecewise/interp.hpp"
#include "piecewise/search_batch.hpp"
#include "platform/vector_path.hpp"
#include "schemes/float.hpp"
#include "schemes/integer.hpp"
#include "sequences.hpp"

namespace {

using u64 = std::uint64_t;
using i64 = std::int64_t;
using rust::Method;
using rust::Sequence;
using differential::Shape;
using differential::Streams;

constexpr u64 kMaxU = std::numeric_limits<u64>::max();
constexpr i64 kMinI = std::numeric_limits<i64>::min();
constexpr i64 kMaxI = std::numeric_limits<i64>::max();
using differential::kMethods;

// Increasing keys with gaps of every size, the type's extremes included.
template <class K>
std::vector<K> increasing(std::mt19937_64& rng, std::size_t n) {
    std::vector<u64> raw(n);
    const int style = static_cast<int>(rng() % 3);
    for (u64& r : raw) {
        r = style == 0 ? rng() % (n * 64 + 1) : style == 1 ? rng() : rng() % 1000;
    }
    if (n >= 2 && rng() % 3 == 0) {
        raw[0] = 0;
        raw[1] = kMaxU;  // the widest segment: divisors above 2^63
    }
    std::sort(raw.begin(), raw.end());
    raw.erase(std::unique(raw.begin(), raw.end()), raw.end());
    std::vector<K> keys;
    for (const u64 r : raw) {
        // Signed keys in offset form, so that the extremes appear.
        keys.push_back(static_cast<K>(std::is_signed_v<K> ? r ^ (u64{1} << 63) : r));
    }
    return keys;
}

std::vector<i64> any_values(std::mt19937_64& rng, std::size_t n) {
    std::vector<i64> v(n);
    for (i64& x : v) {
        const u64 r = rng() % 6;
        x = r == 0 ? kMinI : r == 1 ? kMaxI : r == 2 ? static_cast<i64>(rng() % 2000) - 1000 : static_cast<i64>(rng());
    }
    return v;
}

std::vector<u64> any_positions(std::mt19937_64& rng, std::size_t n) {
    std::vector<u64> v(n);
    for (u64& x : v) {
        const u64 r = rng() % 4;
        x = r == 0 ? kMaxU : r == 1 ? rng() % 100 : rng();
    }
    return v;
}

// Each test runs with the vector path as the CPU allows, and with it off.
class Walk : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { rust::enable_lanes(GetParam()); }
    void TearDown() override { rust::enable_lanes(true); }
};

INSTANTIATE_TEST_SUITE_P(VectorPath, Walk, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "AsTheCpuAllows" : "Off"; });

// The streams are the shapes their names promise, so that a walk test over a
// shape reaches what it is aimed at (the shapes with no rule here: Stepped,
// Random, FewToASegment).
TEST(Streams, EachShapeIsWhatItsNameSays) {
    using Queries = std::vector<u64>;
    const std::vector<u64> keys = {10, 20, 35, 1000, 1010};
    const auto near = [&](u64 q, u64 k, u64 by) { return q - k <= by || k - q <= by; };
    const auto all = [](const Queries& q, auto&& each) { return std::all_of(q.begin(), q.end(), each); };
    const auto ascending = [](const Queries& q) { return std::is_sorted(q.begin(), q.end()); };
    struct Row {
        Shape shape;
        std::function<bool(const Queries&)> holds;
    };
    const Row kRows[] = {
        {Shape::EvenlySpaced, [&](const Queries& q) {
             for (std::size_t i = 2; i < q.size(); ++i) {
                 if (q[i] - q[i - 1] != q[1] - q[0]) {
                     return false;
                 }
             }
             return true;
         }},
        {Shape::UnevenSorted, ascending},
        {Shape::Descending, [](const Queries& q) { return std::is_sorted(q.rbegin(), q.rend()); }},
        {Shape::Dense, [&](const Queries& q) {
             // Inside the two segments from a key, or within 999 past the last two keys.
             for (std::size_t i = 0; i < keys.size(); ++i) {
                 const u64 top = i + 2 < keys.size() ? keys[i + 2] : keys[i] + 999;
                 if (all(q, [&](u64 v) { return keys[i] <= v && v <= top; })) {
                     return ascending(q);
                 }
             }
             return false;
         }},
        {Shape::Ties, [&](const Queries& q) {
             return std::adjacent_find(q.begin(), q.end(), std::greater_equal<>()) == q.end() &&
                    all(q, [&](u64 v) { return std::binary_search(keys.begin(), keys.end(), v); });
         }},
        {Shape::NearTies, [&](const Queries& q) {
             return all(q, [&](u64 v) { return std::any_of(keys.begin(), keys.end(), [&](u64 k) { return near(v, k, 2); }); });
         }},
        {Shape::Outside, [&](const Queries& q) {
             return all(q, [&](u64 v) { return near(v, keys.front(), 3) ? v < keys.front() : near(v, keys.back(), 3) && v > keys.back(); });
         }},
        {Shape::Repeated, [](const Queries& q) { return std::adjacent_find(q.begin(), q.end(), std::not_equal_to<>()) == q.end(); }},
        {Shape::Special, [&](const Queries& q) {
             return all(q, [](u64 v) { return v <= 1 || v >= kMaxU - 1 || v - (u64{1} << 63) + 1 <= 1; });
         }},
    };
    std::mt19937_64 rng(3);
    for (int draw = 0; draw < 50; ++draw) {
        for (const Row& r : kRows) {
            const Queries q = Streams<u64>(rng, keys).make(r.shape, 1 + rng() % 40);
            EXPECT_FALSE(q.empty()) << differential::name(r.shape);
            EXPECT_TRUE(r.holds(q)) << differential::name(r.shape) << " draw " << draw;
        }
    }
}

// forward_into() against the loop of forward() calls.
template <class F>
::testing::AssertionResult walk_matches(const rust::Interp<u64, F>& table, const std::vector<u64>& x) {
    const auto c = differential::forward(table, table, x);
    if (c.ok()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "forward: " << c.describe();
}

// inverse_into() under every method against the loop of inverse() calls.
template <class F>
::testing::AssertionResult walk_matches(const rust::Interp<u64, F>& table, const std::vector<F>& f) {
    for (const Method m : kMethods) {
        const auto c = differential::inverse(table, table, f, m);
        if (!c.ok()) {
            return ::testing::AssertionFailure() << "inverse (method " << static_cast<int>(m) << "): " << c.describe();
        }
    }
    return ::testing::AssertionSuccess();
}

// n numbers (fewer where an increasing sequence would pass 2^64) whose steps
// are mostly small, some just below bound and some just past it; increasing,
// or now rising and now falling (modulo 2^64).
std::vector<u64> lane_sized(std::mt19937_64& rng, std::size_t n, u64 bound, bool both_ways) {
    std::vector<u64> v;
    u64 at = rng() % 3 == 0 ? 0 : rng();
    for (std::size_t i = 0; i < n; ++i) {
        v.push_back(at);
        const u64 r = rng() % 40;
        const u64 step = r == 0    ? bound + rng() % 3
                         : r < 4  ? bound - 1 - rng() % 8
                         : r < 12 ? 1 + rng() % bound
                                  : 1 + rng() % 1000;
        const u64 next = both_ways && rng() % 2 == 0 ? at - step : at + step;
        if (!both_ways && next < at) {
            break;
        }
        at = next;
    }
    return v;
}

// The same numbers as int64 in offset form (0 the smallest), keeping their order.
std::vector<i64> as_signed(const std::vector<u64>& v) {
    std::vector<i64> out;
    for (const u64 u : v) {
        out.push_back(static_cast<i64>(u ^ (u64{1} << 63)));
    }
    return out;
}

// Values and positions for such tables: the changes across segments mostly
// within the vector division's bound on factors, rising and falling.
std::vector<i64> lane_sized_values(std::mt19937_64& rng, std::size_t n) {
    return as_signed(lane_sized(rng, n, rust::divop::kLaneFactorBound, true));
}

std::vector<u64> lane_sized_positions(std::mt19937_64& rng, std::size_t n) {
    return lane_sized(rng, n, rust::divop::kLaneFactorBound, true);
}

TEST_P(Walk, IntegerRoutesGiveTheOneQueryAnswers) {
    std::mt19937_64 rng(20261207);
    // The edge shapes draw from an engine of their own, so that each set of
    // shapes can grow without changing the other's streams.
    std::mt19937_64 edges(20261208);
    for (int table = 0; table < 400; ++table) {
        const std::size_t n = std::vector<std::size_t>{0, 1, 2, 3, 5, 40, 300}[rng() % 7];
        // Forward: increasing positions (now and then one out of order), values in any order.
        std::vector<u64> xp = increasing<u64>(rng, n);
        std::vector<i64> fp = any_values(rng, xp.size());
        if (xp.size() >= 3 && rng() % 10 == 0) {
            std::swap(xp[1], xp[2]);
        }
        const rust::Interp<u64, i64> fwd(to_sequence(xp), to_sequence(fp));
        // Inverse: increasing values, positions in any order.
        std::vector<i64> fi = increasing<i64>(rng, n);
        const rust::Interp<u64, i64> inv(to_sequence(any_positions(rng, fi.size())), to_sequence(fi));
        // Segments whose factor and divisor are mostly within the vector
        // division's bounds, some just inside them and some just past.
        const std::vector<u64> lx = lane_sized(rng, n, rust::divop::kLaneDivisorBound, false);
        const rust::Interp<u64, i64> lane_fwd(to_sequence(lx), to_sequence(lane_sized_values(rng, lx.size())));
        const std::vector<i64> lf = as_signed(lane_sized(rng, n, rust::divop::kLaneDivisorBound, false));
        const rust::Interp<u64, i64> lane_inv(to_sequence(lane_sized_positions(rng, lf.size())), to_sequence(lf));
        Streams<u64> xs(rng, xp);
        Streams<i64> fs(rng, fi);
        Streams<u64> lxs(rng, lx);
        Streams<i64> lfs(rng, lf);
        for (const Shape shape : Streams<u64>::kShapes) {
            const std::size_t count = 1 + rng() % 300;
            const char* at = differential::name(shape);
            ASSERT_TRUE(walk_matches(fwd, xs.make(shape, count))) << "table " << table << " " << at;
            ASSERT_TRUE(walk_matches(inv, fs.make(shape, count))) << "table " << table << " " << at;
            ASSERT_TRUE(walk_matches(lane_fwd, lxs.make(shape, count))) << "table " << table << " " << at;
            ASSERT_TRUE(walk_matches(lane_inv, lfs.make(shape, count))) << "table " << table << " " << at;
        }
        for (const Shape shape : Streams<u64>::kEdgeShapes) {
            const std::size_t count = 1 + edges() % 300;
            const char* at = differential::name(shape);
            ASSERT_TRUE(walk_matches(fwd, Streams<u64>(edges, xp).make(shape, count))) << "table " << table << " " << at;
            ASSERT_TRUE(walk_matches(inv, Streams<i64>(edges, fi).make(shape, count))) << "table " << table << " " << at;
            ASSERT_TRUE(walk_matches(lane_fwd, Streams<u64>(edges, lx).make(shape, count)))
                << "table " << table << " " << at;
            ASSERT_TRUE(walk_matches(lane_inv, Streams<i64>(edges, lf).make(shape, count)))
                << "table " << table << " " << at;
        }
    }
}

TEST_P(Walk, IntegerQueriesAFewToASegment) {
    std::mt19937_64 rng(41);
    for (int table = 0; table < 40; ++table) {
        const std::size_t n = 200 + rng() % 1500;
        std::vector<u64> xp = increasing<u64>(rng, n);
        const rust::Interp<u64, i64> fwd(to_sequence(xp), to_sequence(any_values(rng, xp.size())));
        ASSERT_TRUE(walk_matches(fwd, Streams<u64>(rng, xp).make(Shape::FewToASegment, 0))) << "table " << table;

        // Values a few apart make some quotients whole and others not, so that
        // Exact fails now and then inside a batch.
        std::vector<i64> fi = increasing<i64>(rng, n);
        if (table % 2 == 0) {
            for (std::size_t i = 0; i < fi.size(); ++i) {
                fi[i] = static_cast<i64>(i * (1 + rng() % 4)) * 3 - 1000;
            }
            std::sort(fi.begin(), fi.end());
            fi.erase(std::unique(fi.begin(), fi.end()), fi.end());
        }
        const rust::Interp<u64, i64> inv(to_sequence(any_positions(rng, fi.size())), to_sequence(fi));
        ASSERT_TRUE(walk_matches(inv, Streams<i64>(rng, fi).make(Shape::FewToASegment, 0))) << "table " << table;

        // Segments whose factor and divisor are mostly within the vector
        // division's bounds, some just inside them and some just past.
        const std::vector<u64> x = lane_sized(rng, n, rust::divop::kLaneDivisorBound, false);
        const rust::Interp<u64, i64> lane_fwd(to_sequence(x), to_sequence(lane_sized_values(rng, x.size())));
        ASSERT_TRUE(walk_matches(lane_fwd, Streams<u64>(rng, x).make(Shape::FewToASegment, 0))) << "table " << table;
        const std::vector<i64> f = as_signed(lane_sized(rng, n, rust::divop::kLaneDivisorBound, false));
        const rust::Interp<u64, i64> lane_inv(to_sequence(lane_sized_positions(rng, f.size())), to_sequence(f));
        ASSERT_TRUE(walk_matches(lane_inv, Streams<i64>(rng, f).make(Shape::FewToASegment, 0))) << "table " << table;
    }
}

// Sorted values a few to a segment, all with whole positions (each segment
// rises by its slope s >= 2 per position) but one, which lies past the first
// fifth of the queries, where the walk has long left the segments' own runs:
// Exact fails there, on falling positions as well as rising ones.
TEST_P(Walk, IntegerExactFailsAmongQueriesAFewToASegment) {
    std::mt19937_64 rng(77);
    for (int table = 0; table < 100; ++table) {
        const std::size_t n = 50 + rng() % 400;
        const bool falling = table % 2 == 1;
        std::vector<u64> xp(n);
        std::vector<i64> fp(n);
        std::vector<i64> f;
        u64 x = 100000 + rng() % 1000;
        i64 value = static_cast<i64>(rng() % 1000) - 500;
        for (std::size_t i = 0; i < n; ++i) {
            const u64 length = 2 + rng() % 20;
            const i64 slope = 2 + static_cast<i64>(rng() % 3);
            std::vector<i64> inside;
            for (u64 c = rng() % 5; i > 0 && c > 0; --c) {
                inside.push_back(fp[i - 1] + slope * static_cast<i64>(1 + rng() % (length - 1)));
            }
            std::sort(inside.begin(), inside.end());
            f.insert(f.end(), inside.begin(), inside.end());
            x = i == 0 ? x : falling ? x - length : x + length;
            value = i == 0 ? value : value + slope * static_cast<i64>(length);
            xp[i] = x;
            fp[i] = value;
        }
        ASSERT_GT(f.size(), 20U);
        // Not a multiple of the slope from the segment's first value; below the
        // segment's last value, as slopes are at least 2.
        f[f.size() / 5 + rng() % (f.size() - f.size() / 5)] += 1;
        const rust::Interp<u64, i64> inv(to_sequence(xp), to_sequence(fp));
        ASSERT_TRUE(walk_matches(inv, f)) << "table " << table;
    }
}

// Many sorted queries on a segment where every m-th value has a whole
// position (values m apart per position), all of them such values but one:
// Exact fails there, inside a group the vector division answers at once, and
// the other methods go on past it.
TEST_P(Walk, IntegerExactRunsFailAtTheirOddQuery) {
    std::mt19937_64 rng(2026);
    for (int table = 0; table < 200; ++table) {
        const i64 m = 1 + static_cast<i64>(rng() % 5);
        const u64 x0 = rng() % 1000;
        const u64 length = 100 + rng() % 100000;
        const bool falling = rng() % 2 == 0;
        const std::vector<u64> xp = {falling ? x0 + length : x0, falling ? x0 : x0 + length};
        const i64 f0 = static_cast<i64>(rng() % 1000) - 500;
        const std::vector<i64> fp = {f0, f0 + m * static_cast<i64>(length)};
        const rust::Interp<u64, i64> inv(to_sequence(xp), to_sequence(fp));
        std::vector<i64> f(40 + rng() % 200);
        for (i64& v : f) {
            v = f0 + m * static_cast<i64>(1 + rng() % (length - 1));
        }
        std::sort(f.begin(), f.end());
        if (m > 1) {
            f[16 + rng() % (f.size() - 16)] += 1;  // no whole position there
        }
        ASSERT_TRUE(walk_matches(inv, f)) << "table " << table;
    }
}

// Float tables: NaN and infinities among the values and the queries, signed
// zeros and subnormals; internal failures must come from the same query with
// the same message.
double any_double(std::mt19937_64& rng) {
    const double specials[] = {0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
                               -1.7976931348623157e308, std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), std::nan("")};
    const u64 r = rng() % 8;
    if (r == 0) {
        return specials[rng() % 10];
    }
    if (r == 1) {
        return std::bit_cast<double>(rng());
    }
    return static_cast<double>(static_cast<i64>(rng() % 20001) - 10000) / (1 + rng() % 7);
}

TEST_P(Walk, FloatRoutesGiveTheOneQueryAnswers) {
    std::mt19937_64 rng(7);
    std::mt19937_64 edges(8);  // the edge shapes' own, as in the integer walks
    [[maybe_unused]] const rust::FpuScope scope;
    for (int table = 0; table < 300; ++table) {
        const std::size_t n = std::vector<std::size_t>{0, 1, 2, 3, 8, 60}[rng() % 6];
        const std::vector<u64> xp = increasing<u64>(rng, n);
        std::vector<double> fp(xp.size());
        for (double& v : fp) {
            v = rng() % 10 == 0 ? any_double(rng) : static_cast<double>(rng() % 1000) / 8;
        }
        const rust::Interp<u64, double> fwd(to_sequence(xp), to_sequence(fp));
        std::vector<double> fi;
        for (std::size_t i = 0; i < n; ++i) {
            fi.push_back(any_double(rng));
        }
        std::sort(fi.begin(), fi.end());
        fi.erase(std::unique(fi.begin(), fi.end()), fi.end());
        const rust::Interp<u64, double> inv(to_sequence(any_positions(rng, fi.size())), to_sequence(fi));
        Streams<u64> xs(rng, xp);
        // Each shape's forward queries, and inverse queries drawn near the
        // values, ascending where the shape is.
        for (const Shape shape : {Shape::EvenlySpaced, Shape::Stepped, Shape::UnevenSorted, Shape::Descending,
                                  Shape::Random}) {
            const std::size_t count = 1 + rng() % 200;
            ASSERT_TRUE(walk_matches(fwd, xs.make(shape, count))) << "table " << table << " " << differential::name(shape);

            std::vector<double> f;
            for (std::size_t i = 0; i < count; ++i) {
                f.push_back(!fi.empty() && rng() % 3 != 0 ? fi[rng() % fi.size()] + (rng() % 3) * 0.5 - 0.5
                                                         : any_double(rng));
            }
            const bool ascending = shape == Shape::EvenlySpaced || shape == Shape::Stepped || shape == Shape::UnevenSorted;
            differential::arrange(f, ascending ? Shape::UnevenSorted : Shape::Random);
            ASSERT_TRUE(walk_matches(inv, f)) << "table " << table << " " << differential::name(shape);
        }
        for (const Shape shape : Streams<u64>::kEdgeShapes) {
            ASSERT_TRUE(walk_matches(fwd, Streams<u64>(edges, xp).make(shape, 1 + edges() % 200)))
                << "table " << table << " " << differential::name(shape);
        }
    }
}

// Scattered queries on tables just below, at and just above the size up to
// which the batched search runs a few queries side by side, and on one well
// above it (searched in lockstep); calls whose last batch leaves a few
// queries over, which are searched one at a time.
TEST_P(Walk, ScatteredQueriesEitherSideOfTheChainedSearch) {
    std::mt19937_64 rng(20261209);
    [[maybe_unused]] const rust::FpuScope scope;
    constexpr std::size_t kChainedKeys = rust::kChainedBytes / sizeof(u64);
    for (const std::size_t n : {kChainedKeys - 1, kChainedKeys, kChainedKeys + 1, 3 * kChainedKeys}) {
        std::vector<u64> xp(n);
        std::vector<i64> fi(n);
        std::vector<double> ff(n);
        for (std::size_t i = 0; i < n; ++i) {
            xp[i] = 3 * i + rng() % 3;
            fi[i] = static_cast<i64>(5 * i + rng() % 5) - static_cast<i64>(2 * n);
            ff[i] = static_cast<double>(fi[i]) * 0.25;
        }
        std::vector<double> fp(n);
        for (double& v : fp) {
            v = static_cast<double>(rng() % 100000) / 8;
        }
        const rust::Interp<u64, i64> fwd(to_sequence(xp), to_sequence(any_values(rng, n)));
        const rust::Interp<u64, i64> inv(to_sequence(any_positions(rng, n)), to_sequence(fi));
        const rust::Interp<u64, double> fwd_float(to_sequence(xp), to_sequence(fp));
        const rust::Interp<u64, double> inv_float(to_sequence(any_positions(rng, n)), to_sequence(ff));
        for (std::size_t remainder = 0; remainder < rust::kChains; remainder += 3) {
            const std::size_t count = 40 * rust::kChains + remainder;
            const std::string at = "n " + std::to_string(n) + " count " + std::to_string(count);
            ASSERT_TRUE(walk_matches(fwd, Streams<u64>(rng, xp).make(Shape::Random, count))) << at;
            ASSERT_TRUE(walk_matches(inv, Streams<i64>(rng, fi).make(Shape::Random, count))) << at;
            ASSERT_TRUE(walk_matches(fwd_float, Streams<u64>(rng, xp).make(Shape::Random, count))) << at;
            std::vector<double> f;
            for (std::size_t i = 0; i < count; ++i) {
                f.push_back(ff[rng() % n] + static_cast<double>(rng() % 3) * 0.125);
            }
            ASSERT_TRUE(walk_matches(inv_float, f)) << at;
        }
    }
}

// Sorted queries a few to a segment of a large float table, which go eight
// at a time through the lanes where the CPU has them: the lanes must answer a
// tie point with its own value, and leave the segments they refuse (opposite
// signs, magnitudes past their range, non-finite values, wide segments) to
// the one-query answer, failures included.
TEST_P(Walk, FloatQueriesAFewToASegment) {
    std::mt19937_64 rng(43);
    [[maybe_unused]] const rust::FpuScope scope;
    for (int table = 0; table < 60; ++table) {
        const std::size_t n = 200 + rng() % 1500;
        const std::vector<u64> xp = increasing<u64>(rng, n);
        std::vector<double> fp(xp.size());
        for (std::size_t i = 0; i < fp.size(); ++i) {
            const auto signed_small = static_cast<double>(static_cast<i64>(rng() % 2001) - 1000);
            switch (table % 4) {
                case 0: fp[i] = static_cast<double>(i) * 3.25 + static_cast<double>(rng() % 1000) / 7; break;
                case 1: fp[i] = std::ldexp(signed_small, static_cast<int>(rng() % 1800) - 900); break;
                case 2: fp[i] = static_cast<double>(xp[i] >> 12) * 0.5; break;
                default: fp[i] = rng() % 50 == 0 ? any_double(rng) : signed_small / 8;
            }
        }
        const rust::Interp<u64, double> fwd(to_sequence(xp), to_sequence(fp));
        ASSERT_TRUE(walk_matches(fwd, Streams<u64>(rng, xp).make(Shape::FewToASegment, 0))) << "table " << table;
    }
}

// The same for inverse queries, under every method: positions below 2^53
// (the lanes' range) rising, falling or repeated, some about 2^52, and some
// past 2^53; values whose quotients are whole (so that Exact finds some),
// real-valued, or rising by steps of many magnitudes (so that their
// differences round); queries inside each segment, on its right end, and NaN
// now and then.
TEST_P(Walk, FloatInverseQueriesAFewToASegment) {
    std::mt19937_64 rng(47);
    [[maybe_unused]] const rust::FpuScope scope;
    for (int table = 0; table < 60; ++table) {
        const std::size_t n = 200 + rng() % 1500;
        std::vector<u64> xp(n);
        // Some tables lie about 2^52, where binary64 steps are 1 and halves
        // fall between them.
        u64 x = table % 4 == 3 ? (u64{1} << 52) + (u64{1} << 18) : rng() % (u64{1} << 40);
        for (u64& p : xp) {
            p = x;
            const u64 step = rng() % 5 == 0 ? 0 : 1 + rng() % 5000;
            x = table % 3 == 1 ? x - std::min(x, step) : x + step;
        }
        if (table % 5 == 4) {
            xp[rng() % n] = (u64{1} << 53) + rng() % 1000;
        }
        std::vector<double> fp(n);
        double v = static_cast<double>(static_cast<i64>(rng() % 2001) - 1000);
        for (std::size_t i = 0; i < n; ++i) {
            switch (table % 3) {
                case 0: v += 0.5 * static_cast<double>(1 + rng() % 64); break;
                case 1: v += 3.25 * (0.5 + static_cast<double>(rng() % 1000) / 1000); break;
                default: v += std::ldexp(static_cast<double>(1 + rng() % 1000), static_cast<int>(rng() % 60) - 30);
            }
            fp[i] = v;
        }
        std::vector<double> f;
        for (std::size_t i = 1; i < n; ++i) {
            const double lo = fp[i - 1];
            const double hi = fp[i];
            std::vector<double> inside;
            for (u64 m = rng() % 6; m > 0; --m) {
                const u64 r = rng() % 16;
                const double t = static_cast<double>(1 + rng() % 255) / 256;
                inside.push_back(r == 0 ? hi : r == 1 ? std::nextafter(hi, lo) : lo + (hi - lo) * t);
            }
            std::sort(inside.begin(), inside.end());
            f.insert(f.end(), inside.begin(), inside.end());
            if (rng() % 300 == 0) {
                f.push_back(std::nan(""));
            }
        }
        const rust::Interp<u64, double> inv(to_sequence(xp), to_sequence(fp));
        ASSERT_TRUE(walk_matches(inv, f)) << "table " << table;
    }
}

// Quotients at the top of the positions, 2^64 - 1, where the run of a float
// segment checks wholeness from the converted floor: it must find them exact,
// or not, as a single query does.
TEST_P(Walk, FloatExactRunAtTheTopOfThePositions) {
    [[maybe_unused]] const rust::FpuScope scope;
    const rust::Interp<u64, double> inv(Sequence<u64>{kMaxU, kMaxU, kMaxU - 6}, Sequence<double>{0.0, 1.0, 2.0});
    const std::vector<double> f = {0.25, 0.5, 0.75, 1.25, 1.5};
    for (const Method m : kMethods) {
        const auto c = differential::inverse(inv, inv, f, m);
        EXPECT_TRUE(c.ok()) << "method " << static_cast<int>(m) << ": " << c.describe();
        EXPECT_GT(c.one.done, 0U) << "method " << static_cast<int>(m);
    }
}

// Every call checks its whole searched sequence: each pair broken in turn
// (equal, decreasing, and for float64 a NaN or -0.0 before +0.0), at every
// place of sequences long enough for the vector blocks and their tail.
template <class T>
bool increasing_on_this_path(const Sequence<T>& s) {
    return rust::with_vector_path([&](auto path) { return rust::detail::strictly_increasing(path, s); });
}

template <class T>
void expect_each_broken_pair_found(const std::vector<T>& good, const std::vector<T>& breakers) {
    ASSERT_TRUE(increasing_on_this_path(to_sequence(good)));
    for (std::size_t p = 1; p < good.size(); ++p) {
        for (const T b : breakers) {
            std::vector<T> bad = good;
            bad[p] = b == T{} ? bad[p - 1] : b;  // T{} stands for a repeat of the element before
            if (bad[p] > bad[p - 1]) {
                continue;
            }
            ASSERT_FALSE(increasing_on_this_path(to_sequence(bad))) << "pair at " << p;
        }
    }
}

TEST_P(Walk, OrderCheckFindsEveryPairOutOfOrder) {
    for (const std::size_t n : {2, 33, 97, 130}) {
        std::vector<u64> positions(n);
        std::vector<i64> values(n);
        std::vector<double> floats(n);
        for (std::size_t i = 0; i < n; ++i) {
            // Positions across 2^63 (a signed compare would see them fall),
            // values across zero.
            positions[i] = (u64{1} << 63) - n / 2 + i;
            values[i] = static_cast<i64>(i) - static_cast<i64>(n / 2);
            floats[i] = static_cast<double>(values[i]) * 0.5;
        }
        expect_each_broken_pair_found<u64>(positions, {u64{0}, 1});
        expect_each_broken_pair_found<i64>(values, {i64{0}, kMinI});
        expect_each_broken_pair_found<double>(floats, {0.0, -1e300, std::nan("")});
        // -0.0 then +0.0 is not increasing.
        std::vector<double> zeros = {-1.0, -0.0, 0.0, 1.0};
        zeros.resize(n < 4 ? 4 : n, 0.0);
        for (std::size_t i = 4; i < zeros.size(); ++i) {
            zeros[i] = static_cast<double>(i);
        }
        EXPECT_FALSE(increasing_on_this_path(to_sequence(zeros)));
    }
}

}  // namespace
