// The integer tie-point table: search, monotonicity flags, fill rules, and the
// orders each direction tolerates.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "panic.hpp"
#include "piecewise/interp.hpp"
#include "piecewise/interp_error.hpp"
#include "schemes/method.hpp"
#include "piecewise/sequence.hpp"
#include "differential.hpp"
#include "sequences.hpp"
#include "extended/fpu_scope.hpp"
#include "schemes/float.hpp"
#include "schemes/integer.hpp"
#include <cmath>
#include <random>

namespace {

using u64 = std::uint64_t;
using i64 = std::int64_t;
using rust::InterpError;
using rust::Method;
using rust::Outcome;
using rust::Sequence;
using Table = rust::Interp<u64, i64>;

constexpr u64 kMaxU = std::numeric_limits<u64>::max();
constexpr u64 kHalf = u64{1} << 63;
constexpr i64 kMin = std::numeric_limits<i64>::min();
constexpr i64 kMaxI = std::numeric_limits<i64>::max();
constexpr InterpError OOB = InterpError::OutOfBounds;
constexpr InterpError NF = InterpError::NotFound;
constexpr InterpError NSI = InterpError::NotStrictlyIncreasing;
using differential::kMethods;

Table make(const std::vector<u64>& xp, const std::vector<i64>& fp) {
    return Table(to_sequence(xp), to_sequence(fp));
}

// An expected query result: a value, or a failure kind.
template <class T>
struct Want {
    Want(T v) : value(v) {}  // NOLINT: implicit, so tables can mix values and errors
    Want(InterpError e) : error(e), is_error(true) {}  // NOLINT
    T value{};
    InterpError error{};
    bool is_error = false;
};

const char* name(InterpError e) {
    switch (e) {
        case InterpError::OutOfBounds: return "OutOfBounds";
        case InterpError::NotFound: return "NotFound";
        case InterpError::NotStrictlyIncreasing: return "NotStrictlyIncreasing";
    }
    return "?";
}

template <class T>
testing::AssertionResult matches(const Outcome<T>& got, const Want<T>& want) {
    if (got.has_value() && !want.is_error && got.value == want.value) {
        return testing::AssertionSuccess();
    }
    if (!got.has_value() && want.is_error && *got.error == want.error) {
        return testing::AssertionSuccess();
    }
    auto out = testing::AssertionFailure() << "got ";
    got.has_value() ? out << got.value : out << name(*got.error);
    out << ", want ";
    want.is_error ? out << name(want.error) : out << want.value;
    return out;
}

// An inverse query's expected results under Exact, Nearest, Ffill and Bfill.
struct InverseRow {
    i64 f;
    Want<u64> exact, nearest, ffill, bfill;
};

void expect_inverse_rows(const Table& t, std::span<const InverseRow> rows) {
    for (const InverseRow& r : rows) {
        EXPECT_TRUE(matches(t.inverse(r.f, Method::Exact), r.exact)) << "f=" << r.f << " Exact";
        EXPECT_TRUE(matches(t.inverse(r.f, Method::Nearest), r.nearest)) << "f=" << r.f << " Nearest";
        EXPECT_TRUE(matches(t.inverse(r.f, Method::Ffill), r.ffill)) << "f=" << r.f << " Ffill";
        EXPECT_TRUE(matches(t.inverse(r.f, Method::Bfill), r.bfill)) << "f=" << r.f << " Bfill";
    }
}

// ---- search ----------------------------------------------------------------

TEST(Search, SmallTablesAtBothEndsAndInside) {
    struct Row {
        std::vector<u64> s;
        u64 q;
        bool found;
        std::size_t index;
    };
    const Row kRows[] = {
        // s                        q          found  index
        {{10},                      9,         false, 0},
        {{10},                      10,        true,  0},
        {{10},                      11,        false, 1},
        {{10, 20},                  5,         false, 0},
        {{10, 20},                  10,        true,  0},
        {{10, 20},                  15,        false, 1},
        {{10, 20},                  20,        true,  1},
        {{10, 20},                  25,        false, 2},
        {{10, 20, 30},              15,        false, 1},
        {{10, 20, 30},              25,        false, 2},
        {{10, 20, 30},              30,        true,  2},
        {{10, 20, 30},              31,        false, 3},
        // unsigned order: 2^63 and above are the largest positions
        {{0, kHalf, kMaxU},         kHalf - 1, false, 1},
        {{0, kHalf, kMaxU},         kHalf,     true,  1},
        {{0, kHalf, kMaxU},         kMaxU - 1, false, 2},
        {{0, kHalf, kMaxU},         kMaxU,     true,  2},
        {{0, kHalf, kMaxU},         0,         true,  0},
    };
    for (const Row& r : kRows) {
        const rust::SearchResult got = rust::search(to_sequence(r.s), r.q);
        EXPECT_EQ(got.found, r.found) << "q=" << r.q << " size=" << r.s.size();
        EXPECT_EQ(got.index, r.index) << "q=" << r.q << " size=" << r.s.size();
    }
}

TEST(Search, SignedValues) {
    const Sequence<i64> s{kMin, -5, 3, kMaxI};
    struct Row {
        i64 q;
        bool found;
        std::size_t index;
    };
    constexpr Row kRows[] = {
        // q          found  index
        {kMin,        true,  0},
        {-6,          false, 1},
        {-1,          false, 2},
        {3,           true,  2},
        {4,           false, 3},
        {kMaxI,       true,  3},
    };
    for (const Row& r : kRows) {
        const rust::SearchResult got = rust::search(s, r.q);
        EXPECT_EQ(got.found, r.found) << "q=" << r.q;
        EXPECT_EQ(got.index, r.index) << "q=" << r.q;
    }
}

// Every size up to 40, every query between and around the elements, against a
// linear count: the halving loop must land on the right element for odd and
// even sizes alike.
TEST(Search, EverySizeMatchesLinearCount) {
    for (std::size_t n = 1; n <= 40; ++n) {
        Sequence<u64> s = Sequence<u64>::uninitialised(n);
        for (std::size_t i = 0; i < n; ++i) {
            s.fill_data()[i] = 3 * i + 1;
        }
        for (u64 q = 0; q <= 3 * n + 1; ++q) {
            std::size_t below = 0;
            for (std::size_t i = 0; i < n; ++i) {
                below += s[i] < q ? 1 : 0;
            }
            const bool present = q % 3 == 1 && q < 3 * n + 1;
            const rust::SearchResult got = rust::search(s, q);
            ASSERT_EQ(got.found, present) << "n=" << n << " q=" << q;
            ASSERT_EQ(got.index, below) << "n=" << n << " q=" << q;
        }
    }
}

// ---- flags -----------------------------------------------------------------

TEST(Interp, Flags) {
    struct Row {
        std::vector<u64> xp;
        std::vector<i64> fp;
        bool xp_increasing, fp_increasing;
    };
    const Row kRows[] = {
        // xp                        fp                        xp_inc fp_inc
        {{},                         {},                       true,  true},
        {{7},                        {-3},                     true,  true},
        {{0, kMaxU},                 {-5, 3},                  true,  true},
        {{kMaxU, 0},                 {3, -5},                  false, false},
        {{kHalf - 1, kHalf},         {-1, 0},                  true,  true},   // across the sign bit
        {{kHalf, kHalf - 1},         {0, -1},                  false, false},  // a signed reading would say true for xp
        {{0, kHalf},                 {kMin, kMaxI},            true,  true},
        {{4, 4},                     {3, 3},                   false, false},  // repeats are not increasing
        {{5, 1, 2, 3, 4},            {2, 1, 3, 4, 5},          false, false},  // first pair out of order
        {{1, 2, 3, 4, 4},            {1, 2, 3, 4, 3},          false, false},  // last pair out of order
        {{1, 2, 3, 4, 5},            {1, 2, 3, 4, 5},          true,  true},
    };
    for (const Row& r : kRows) {
        const Table t = make(r.xp, r.fp);
        EXPECT_EQ(t.xp_increasing(), r.xp_increasing) << "size=" << r.xp.size();
        EXPECT_EQ(t.fp_increasing(), r.fp_increasing) << "size=" << r.xp.size();
    }
}

TEST(Interp, LengthMismatchPanicsWithMessage) {
    const std::vector<std::pair<std::vector<u64>, std::vector<i64>>> kCases = {
        {{1, 2}, {1}},
        {{}, {1}},
        {{1}, {}},
    };
    for (const auto& [xp, fp] : kCases) {
        try {
            make(xp, fp);
            ADD_FAILURE() << "no panic for lengths " << xp.size() << " and " << fp.size();
        } catch (const rust::Panic& p) {
            EXPECT_EQ(std::string(p.what()), "xp and fp must have same length");
        }
    }
}

// ---- forward and inverse on an ordered table ------------------------------

// Three tie points with different slopes, so a query sent to the wrong segment
// gives a different answer.
TEST(Interp, ForwardEveryRegion) {
    const Table t = make({10, 20, 30}, {-4, 0, 40});
    struct Row {
        u64 x;
        Want<i64> want;
    };
    const Row kRows[] = {
        // x       want
        {0,        OOB},
        {9,        OOB},
        {10,       -4},
        {11,       -4},  // -3.6
        {12,       -3},  // -3.2
        {15,       -2},
        {20,       0},
        {21,       4},
        {25,       20},
        {29,       36},
        {30,       40},
        {31,       OOB},
        {kMaxU,    OOB},
    };
    for (const Row& r : kRows) {
        EXPECT_TRUE(matches(t.forward(r.x), r.want)) << "x=" << r.x;
    }
}

TEST(Interp, InverseFillRulesByMethod) {
    const Table t = make({10, 20, 30}, {-4, 0, 40});
    const InverseRow kRows[] = {
        // f        Exact  Nearest  Ffill  Bfill      exact position
        {kMin,      OOB,   10,      OOB,   10},
        {-5,        OOB,   10,      OOB,   10},
        {-4,        10,    10,      10,    10},
        {-3,        NF,    12,      12,    13},    // 12.5
        {-2,        15,    15,      15,    15},
        {-1,        NF,    18,      17,    18},    // 17.5
        {0,         20,    20,      20,    20},
        {1,         NF,    20,      20,    21},    // 20.25
        {20,        25,    25,      25,    25},
        {30,        NF,    28,      27,    28},    // 27.5
        {39,        NF,    30,      29,    30},    // 29.75
        {40,        30,    30,      30,    30},
        {41,        OOB,   30,      30,    OOB},
        {kMaxI,     OOB,   30,      30,    OOB},
    };
    expect_inverse_rows(t, kRows);
}

// ---- degenerate tables -----------------------------------------------------

TEST(Interp, OnePointTable) {
    const Table t = make({10}, {5});
    EXPECT_TRUE(matches(t.forward(10), Want<i64>(5)));
    EXPECT_TRUE(matches(t.forward(9), Want<i64>(OOB)));
    EXPECT_TRUE(matches(t.forward(11), Want<i64>(OOB)));
    const InverseRow kRows[] = {
        // f   Exact  Nearest  Ffill  Bfill
        {4,    OOB,   10,      OOB,   10},
        {5,    10,    10,      10,    10},
        {6,    OOB,   10,      10,    OOB},
    };
    expect_inverse_rows(t, kRows);
}

// An empty table has no first position to fill with, so Nearest and Bfill below
// it report OutOfBounds like the other methods instead of reading xp[0].
TEST(Interp, EmptyTable) {
    const Table t = make({}, {});
    for (const u64 x : {u64{0}, kHalf, kMaxU}) {
        EXPECT_TRUE(matches(t.forward(x), Want<i64>(OOB))) << "x=" << x;
    }
    for (const Method m : kMethods) {
        for (const i64 f : {kMin, i64{0}, kMaxI}) {
            EXPECT_TRUE(matches(t.inverse(f, m), Want<u64>(OOB))) << "f=" << f << " method=" << int(m);
        }
    }
}

// ---- orders each direction tolerates ---------------------------------------

TEST(Interp, UnorderedPositionsFailEveryForwardQueryEvenExactHits) {
    const Table t = make({0, 10, 5}, {0, 4, 8});
    for (const u64 x : {u64{0}, u64{3}, u64{5}, u64{10}, u64{11}, kMaxU}) {
        EXPECT_TRUE(matches(t.forward(x), Want<i64>(NSI))) << "x=" << x;
    }
    // the inverse direction only needs fp in order; segment 10 -> 5 gives 7.5
    EXPECT_TRUE(matches(t.inverse(4, Method::Exact), Want<u64>(10)));
    EXPECT_TRUE(matches(t.inverse(6, Method::Exact), Want<u64>(NF)));
    EXPECT_TRUE(matches(t.inverse(6, Method::Nearest), Want<u64>(8)));
    EXPECT_TRUE(matches(t.inverse(6, Method::Ffill), Want<u64>(7)));
    EXPECT_TRUE(matches(t.inverse(6, Method::Bfill), Want<u64>(8)));
}

TEST(Interp, RepeatedValuesFailEveryInverseQuery) {
    const Table t = make({0, 10}, {3, 3});
    for (const Method m : kMethods) {
        for (const i64 f : {i64{2}, i64{3}, i64{4}}) {
            EXPECT_TRUE(matches(t.inverse(f, m), Want<u64>(NSI))) << "f=" << f << " method=" << int(m);
        }
    }
    for (u64 x = 0; x <= 10; ++x) {
        EXPECT_TRUE(matches(t.forward(x), Want<i64>(3))) << "x=" << x;
    }
}

TEST(Interp, ForwardAcceptsValuesOutOfOrder) {
    const Table t = make({0, 10, 20}, {0, 10, 5});
    EXPECT_TRUE(matches(t.forward(15), Want<i64>(8)));  // 7.5 to the even neighbour
    EXPECT_TRUE(matches(t.forward(10), Want<i64>(10)));
    EXPECT_TRUE(matches(t.forward(19), Want<i64>(6)));  // 5.5 to the even neighbour
    EXPECT_TRUE(matches(t.inverse(5, Method::Nearest), Want<u64>(NSI)));
}

TEST(Interp, InverseAcceptsDecreasingPositions) {
    const Table t = make({20, 10}, {0, 4});
    const InverseRow kRows[] = {
        // f   Exact  Nearest  Ffill  Bfill      exact position
        {-1,   OOB,   20,      OOB,   20},    // below: the first position, not the smallest
        {1,    NF,    18,      17,    18},    // 17.5, rounded by numeric value
        {3,    NF,    12,      12,    13},    // 12.5
        {5,    OOB,   10,      10,    OOB},   // above: the last position
    };
    expect_inverse_rows(t, kRows);
    EXPECT_TRUE(matches(t.forward(15), Want<i64>(NSI)));
}

TEST(Interp, InverseAcceptsRepeatedPositions) {
    const Table t = make({7, 7, 7}, {0, 4, 9});
    for (const Method m : kMethods) {
        for (const i64 f : {i64{1}, i64{4}, i64{6}}) {
            EXPECT_TRUE(matches(t.inverse(f, m), Want<u64>(7))) << "f=" << f << " method=" << int(m);
        }
    }
}

// ---- many queries in one pass ------------------------------------------------

// The batch walks start each search from the previous answer and reuse a
// segment's setup; they must answer exactly as one query at a time does, stop at
// the same first failure, and leave earlier results in place.
template <class Q, class R>
testing::AssertionResult agrees(const differential::Comparison<Q, R>& c) {
    if (c.ok()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << c.describe();
}

// Queries drawn at random, then in sorted runs (the common case), descending,
// or scattered.
template <class T, class Draw>
std::vector<T> query_sequence(std::mt19937_64& rng, std::size_t count, Draw draw) {
    constexpr differential::Shape kOrders[] = {differential::Shape::UnevenSorted, differential::Shape::Descending,
                                               differential::Shape::Random};
    std::vector<T> q(count);
    for (T& v : q) {
        v = draw();
    }
    differential::arrange(q, kOrders[rng() % 3]);
    return q;
}

TEST(Interp, BatchMatchesSingleQueriesOnIntegerTables) {
    std::mt19937_64 rng(77);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = rng() % 12;
        std::vector<u64> xp(n);
        std::vector<i64> fp(n);
        const u64 span = round % 2 == 0 ? 1000 : kMaxU;
        for (std::size_t i = 0; i < n; ++i) {
            xp[i] = rng() % span;
            fp[i] = static_cast<i64>(rng() % (round % 3 == 0 ? 50 : kMaxU));
        }
        if (rng() % 4 != 0) {
            std::sort(xp.begin(), xp.end());
            std::sort(fp.begin(), fp.end());
        }
        const Table table = make(xp, fp);
        const auto xs = query_sequence<u64>(rng, 200, [&] { return n != 0 && rng() % 3 == 0 ? xp[rng() % n] : rng() % span; });
        EXPECT_TRUE(agrees(differential::forward(table, table, xs))) << "round " << round;
        for (const Method m : kMethods) {
            const auto fs = query_sequence<i64>(rng, 200, [&] {
                return n != 0 && rng() % 3 == 0 ? fp[rng() % n] : static_cast<i64>(rng() % (round % 3 == 0 ? 60 : kMaxU));
            });
            EXPECT_TRUE(agrees(differential::inverse(table, table, fs, m))) << "round " << round;
        }
    }
}

TEST(Interp, BatchMatchesSingleQueriesOnFloatTables) {
    const rust::FpuScope scope;
    std::mt19937_64 rng(78);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = rng() % 8;
        std::vector<u64> xp(n);
        std::vector<double> fp(n);
        for (std::size_t i = 0; i < n; ++i) {
            xp[i] = rng() % 100000;
            fp[i] = unit(rng) * 1e6;
        }
        std::sort(xp.begin(), xp.end());
        std::sort(fp.begin(), fp.end());
        if (n > 1 && round % 5 == 0) {
            fp[rng() % n] = std::nan("");  // unordered: inverse fails, forward may meet it
        }
        rust::Interp<u64, double> table(to_sequence(xp), to_sequence(fp));
        // Tie points often: an exact hit returns the stored value (NaN included)
        // where the segment arithmetic would round or fail.
        const auto xs = query_sequence<u64>(rng, 100, [&] { return n != 0 && rng() % 3 == 0 ? xp[rng() % n] : rng() % 100000; });
        EXPECT_TRUE(agrees(differential::forward(table, table, xs))) << "round " << round;
        for (const Method m : kMethods) {
            const auto fs = query_sequence<double>(rng, 100, [&] { return n != 0 && rng() % 3 == 0 ? fp[rng() % n] : unit(rng) * 1.2e6; });
            EXPECT_TRUE(agrees(differential::inverse(table, table, fs, m))) << "round " << round;
        }
    }
}

}  // namespace
