// The float64 segment schemes: worked segments, every fill method, the finite checks, the host's FPU mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "schemes/float.hpp"

namespace {

using rust::Method;
using FloatScheme = rust::Scheme<std::uint64_t, double>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr auto kNone = std::nullopt;

// Hides a constant from the optimiser, so that the arithmetic runs at run time
// under the control word in force instead of being folded at compile time.
template <class T>
T opaque(T v) {
    __asm__ volatile("" : "+m"(v));
    return v;
}

std::uint64_t forward_bits(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
    return std::bit_cast<std::uint64_t>(
        FloatScheme::forward(opaque(x), opaque(x0), opaque(x1), opaque(f0), opaque(f1)));
}

std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                     Method m) {
    return FloatScheme::inverse(opaque(f), opaque(x0), opaque(x1), opaque(f0), opaque(f1), m);
}

struct ForwardCase {
    const char* why;
    std::uint64_t x, x0, x1;
    double f0, f1;
    std::uint64_t bits;
};

const ForwardCase kForward[] = {
    {"a tenth of the way truncates below 0.1",  1, 0, 10, 0.0, 1.0,                       0x3FB9999999999999},
    {"the same going down",                     1, 0, 10, 0.0, -1.0,                      0xBFB9999999999999},
    {"the sum passes 2^1024 in F80 only",       1, 0, 2, 1e308, 1.7e308,                  0x7FE807E25B31820B},  // 1.35e308
    {"a quarter of the smallest normal",        1, 0, 4, 0.0, 2.2250738585072014e-308,    0x0004000000000000},
    {"the same, negative",                      1, 0, 4, 0.0, -2.2250738585072014e-308,   0x8004000000000000},
    {"-2^-1076 is below 2^-1074: +0.0",         3, 0, 4, -5e-324, 0.0,                    0x0000000000000000},
    // (2^64 - 2) / (2^64 - 1) rounds to 1 - 2^-64 in F80, then truncates to 1 - 2^-53
    {"positions at the top of the range",       kMax - 1, 0, kMax, 0.0, 1.0,              0x3FEFFFFFFFFFFFFF},
    // Segments whose result depends on the order of the rounded steps; the bits
    // come from an exact rational evaluation of each step. f0 + (f1 - f0)(x - x0)/d
    // and P/d + Q/d both give other bits here.
    {"step order, products rounded",  4642162055247502274, 989585119216543368, 17318735434607091189U,
     0x1.5795f72509dc5p+2, -0x1.26a423dad7feep+4, 0x3FA8D5D6D5979729},
    {"step order, opposite signs",    9457825184505729155U, 3974032755560168316, 16394177390468797577U,
     0x1.67494fe511a29p-1, -0x1.c66e748a022f4p-1, 0x3EF545E648B1E734},
};

TEST(FloatForward, WorkedSegments) {
    const rust::FpuScope scope;
    for (const ForwardCase& c : kForward) {
        EXPECT_EQ(forward_bits(c.x, c.x0, c.x1, c.f0, c.f1), c.bits) << c.why;
    }
}

struct InverseCase {
    const char* why;
    double f;
    std::uint64_t x0, x1;
    double f0, f1;
    std::optional<std::uint64_t> exact, nearest, ffill, bfill;
};

const InverseCase kInverse[] = {
    // why                                    f     x0  x1  f0   f1     Exact  Nearest Ffill  Bfill
    {"R = 1 + 2^-54: 0.1 is above a tenth",   0.1,  0,  10, 0.0, 1.0,   kNone, 1,      1,     2},
    {"R = 0.5: a tie goes to even 0",         0.25, 0,  1,  0.0, 0.5,   kNone, 0,      0,     1},
    {"R = 1.5: a tie goes to even 2",         0.75, 0,  3,  0.0, 1.5,   kNone, 2,      1,     2},
    {"R = 7.5, positions decreasing",         0.25, 10, 0,  0.0, 1.0,   kNone, 8,      7,     8},
    {"R = 1 exactly",                         1.0,  0,  3,  0.0, 3.0,   1,     1,      1,     1},
    {"R = 2^63 - 1/2 at 64 bits",             0.5,  0,  kMax, 0.0, 1.0, kNone, kTop,   kTop - 1, kTop},
    {"equal positions: R = x0",               0.5,  kMax, kMax, 0.0, 1.0, kMax, kMax,  kMax,  kMax},
    // As for forward: exact rational evaluations of the rounded steps, which
    // x0 + (x1 - x0)(f - f0)/D and P/D + Q/D both miss.
    {"step order, positions decreasing", 0x1.6b560fcdd8780p+25, 11861354204583738242U, 41897474934,
     0x1.7e10b269ceeb6p-27, 0x1.44c0bec389948p+26,
     kNone, 5226064802323385310, 5226064802323385310, 5226064802323385311},
    {"step order, R a whole position",  0x1.61a7239cb9381p+23, 15806332507635138087U, 15970126346341786989U,
     -0x1.2f45e679b98d2p+2, 0x1.73ab4870403c5p+24,
     15884259594409288063U, 15884259594409288063U, 15884259594409288063U, 15884259594409288063U},
    {"step order, f0 below zero",       0x1.d2745c5f37e9cp-26, 6214575979186094936, 12449876757149678799U,
     -0x1.4fab6f2aa48aap-30, 0x1.c20ef17d87f7ep-23,
     kNone, 7053825446141723642, 7053825446141723642, 7053825446141723643},
};

TEST(FloatInverse, WorkedSegmentsEveryMethod) {
    const rust::FpuScope scope;
    for (const InverseCase& c : kInverse) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(inverse(c.f, c.x0, c.x1, c.f0, c.f1, Method::Exact), c.exact);
        EXPECT_EQ(inverse(c.f, c.x0, c.x1, c.f0, c.f1, Method::Nearest), c.nearest);
        EXPECT_EQ(inverse(c.f, c.x0, c.x1, c.f0, c.f1, Method::Ffill), c.ffill);
        EXPECT_EQ(inverse(c.f, c.x0, c.x1, c.f0, c.f1, Method::Bfill), c.bfill);
    }
}

// Each non-finite end value (and query, for the inverse) stops the call. All
// checks carry one message, so only their presence is observable, not their order.
template <class Call>
void expect_not_finite(Call call, const char* where) {
    try {
        call();
        ADD_FAILURE() << "no failure with a non-finite " << where;
    } catch (const rust::Panic& p) {
        EXPECT_STREQ(p.what(), "assertion failed: value.is_finite()") << where;
    }
}

// The x87 one-query forms run the steps unchecked and leave a non-finite
// input to the result's store: the positions include zero weights (a product
// of zero and an infinity), falling and equal ends, and the top of the range.
TEST(FloatSchemes, NonFiniteInputsAreRefused) {
    const rust::FpuScope scope;
    constexpr std::uint64_t kTop = UINT64_MAX;
    const std::pair<std::uint64_t, std::uint64_t> ends[] = {{0, 2}, {2, 0}, {3, 3}, {kTop, 1}, {0, kTop}};
    for (const double bad : {kNan, kInf, -kInf}) {
        expect_not_finite([&] { FloatScheme::forward(1, 0, 2, bad, 1.0); }, "forward f0");
        expect_not_finite([&] { FloatScheme::forward(1, 0, 2, 0.0, bad); }, "forward f1");
        expect_not_finite([&] { FloatScheme::forward(1, 0, 2, bad, bad); }, "forward f0 and f1");
        expect_not_finite([&] { FloatScheme::forward(kTop - 1, 0, kTop, -1.0, bad); }, "forward f1, top");
        for (const Method m : {Method::Exact, Method::Nearest, Method::Ffill, Method::Bfill}) {
            for (const auto& [x0, x1] : ends) {
                expect_not_finite([&] { FloatScheme::inverse(bad, x0, x1, 0.0, 1.0, m); }, "inverse f");
                expect_not_finite([&] { FloatScheme::inverse(0.5, x0, x1, bad, 1.0, m); }, "inverse f0");
                expect_not_finite([&] { FloatScheme::inverse(0.5, x0, x1, 0.0, bad, m); }, "inverse f1");
            }
        }
    }
}

// A segment's end values: halves (every step of the soft engine's whole-number
// form exact), values with full 53-bit significands (its steps one by one),
// opposite signs, and magnitudes far apart; and the ends of binary64, whose
// results are zeros of either sign, subnormal or of the largest magnitude.
double end_value(std::mt19937_64& gen, int kind) {
    constexpr double kEnds[] = {0.0, -0.0, 5e-324, -5e-324, 3e-320, -3e-320, DBL_MAX, -DBL_MAX};
    switch (kind) {
        case 0: return (static_cast<double>(gen() % (1U << 24)) - (1 << 23)) * 0.5;
        case 1: return std::ldexp(static_cast<double>(gen() >> 11), static_cast<int>(gen() % 80) - 60);
        case 2: return kEnds[gen() % std::size(kEnds)];
        default: return std::ldexp(static_cast<double>(gen() >> 11), static_cast<int>(gen() % 400) - 200) *
                        ((gen() & 1) != 0 ? -1.0 : 1.0);
    }
}

// The segments' runs and the one-query schemes (the forms sorted and scattered
// queries take) against FloatSteps, the definition, on the same engine: spans
// from a few positions to 2^64 - 1, every query of a run inside the segment.
TEST(FloatSchemes, SegmentsAndSchemesGiveTheStepsBits) {
    const rust::FpuScope scope;
    std::mt19937_64 gen(5);
    std::vector<std::uint64_t> xs;
    std::vector<double> fs;
    for (int i = 0; i < 3000; ++i) {
        // Below 2^63, so that the span's modulus is never zero.
        const std::uint64_t x0 = gen() >> (1 + gen() % 63);
        const std::uint64_t span = 2 + (gen() >> (1 + gen() % 63)) % (kMax - x0 - 1);
        const std::uint64_t x1 = x0 + span;
        const int kind = static_cast<int>(gen() % 4);
        double f0 = end_value(gen, kind);
        double f1 = end_value(gen, kind);
        SCOPED_TRACE(::testing::Message() << "x0 " << x0 << " x1 " << x1 << " f0 " << f0 << " f1 " << f1);
        xs.clear();
        for (int k = 0; k < 20; ++k) {
            xs.push_back(x0 + 1 + gen() % (span - 1));
        }
        std::sort(xs.begin(), xs.end());
        std::vector<double> out(xs.size());
        const rust::ForwardSegment<std::uint64_t, double> forward(x0, x1, f0, f1);
        auto read_x = [&](std::size_t k) { return xs[k]; };
        ASSERT_EQ(forward.answer_run(rust::PortablePath{}, read_x, 0, xs.size(), x0, x1, out.data()).next, xs.size());
        for (std::size_t k = 0; k < xs.size(); ++k) {
            const std::uint64_t steps = std::bit_cast<std::uint64_t>(rust::FloatSteps::forward(xs[k], x0, x1, f0, f1));
            ASSERT_EQ(std::bit_cast<std::uint64_t>(out[k]), steps) << "x " << xs[k];
            ASSERT_EQ(forward_bits(xs[k], x0, x1, f0, f1), steps) << "x " << xs[k];
        }
        if (f1 < f0) {
            std::swap(f0, f1);
        }
        if (!(f0 < f1)) {
            continue;
        }
        fs.clear();
        for (int k = 0; k < 20; ++k) {
            const double f = f0 + (f1 - f0) * static_cast<double>(gen() >> 11) * 0x1p-53;
            if (f0 < f && f < f1) {
                fs.push_back(f);
            }
        }
        std::sort(fs.begin(), fs.end());
        auto read_f = [&](std::size_t k) { return fs[k]; };
        // Positions in either order: the inverse takes them as given.
        const std::uint64_t p0 = (i & 1) != 0 ? x1 : x0;
        const std::uint64_t p1 = (i & 1) != 0 ? x0 : x1;
        for (const Method m : {Method::Exact, Method::Nearest, Method::Ffill, Method::Bfill}) {
            std::vector<std::uint64_t> positions(fs.size());
            const rust::InverseSegment<std::uint64_t, double> inverse_segment(p0, p1, f0, f1, m);
            const rust::RunEnd end = inverse_segment.answer_run(rust::PortablePath{}, read_f, 0, fs.size(), f0, f1,
                                                                positions.data());
            for (std::size_t k = 0; k < fs.size(); ++k) {
                const std::optional<std::uint64_t> steps = rust::FloatSteps::inverse(fs[k], p0, p1, f0, f1, m);
                ASSERT_EQ(inverse(fs[k], p0, p1, f0, f1, m), steps) << "f " << fs[k];
                if (k < end.next) {
                    ASSERT_EQ(positions[k], steps) << "f " << fs[k];
                } else {
                    // A run stops at the first query without an answer (Exact only).
                    ASSERT_EQ(k, end.next);
                    ASSERT_TRUE(end.failed && !steps.has_value()) << "f " << fs[k];
                    break;
                }
            }
        }
    }
}

// Long runs on segments whose steps are exact (small positions, a slope of a
// few bits) or rounded (positions near 2^63 and above), or whose results
// binary64 holds only now and then (from 2^52 on), or zero: against
// FloatSteps query by query, forward and back. Back, the queries are the
// exact values of positions, some with one query between two positions
// planted among them, where the run stops under Exact. Runs of every length
// around the probe and the blocks that inverse runs of whole positions take
// (forward runs take none, and are checked on the same shapes).
TEST(FloatSchemes, LongRunsGiveTheStepsBits) {
    const rust::FpuScope scope;
    std::mt19937_64 gen(11);
    struct Shape {
        std::uint64_t x0;
        std::uint64_t span;
        double f0, slope;
    };
    const Shape kShapes[] = {
        {0, 1 << 20, 0.0, 0.5},
        {12345, 1 << 24, -1000.5, 1.0},
        {std::uint64_t{1} << 40, 1 << 30, 3.0, 4.0},
        {7, 99999, 1e6, 3.0},
        {(std::uint64_t{1} << 62) - 99, 1 << 20, -5.0, 0.25},
        {kTop, std::uint64_t{1} << 40, 0.0, 0x1p-20},
        {kTop + 12345, 1 << 20, 2.0, 1.0},
        {0, 1 << 10, 0x1p52 - 256, 0.5},
        {99, 1 << 10, 512.0, -1.0},
    };
    const std::size_t kLengths[] = {1, 15, 16, 17, 40, 255, 256, 273, 272, 700};
    for (const Shape& shape : kShapes) {
        const std::uint64_t x0 = shape.x0;
        const std::uint64_t x1 = x0 + shape.span;
        const double f0 = shape.f0;
        const double f1 = f0 + static_cast<double>(shape.span) * shape.slope;
        for (const std::size_t length : kLengths) {
            std::vector<std::uint64_t> xs;
            for (std::size_t k = 0; k < length; ++k) {
                xs.push_back(x0 + 1 + gen() % (shape.span - 1));
            }
            std::vector<double> values(xs.size());
            auto read_x = [&](std::size_t k) { return xs[k]; };
            const rust::ForwardSegment<std::uint64_t, double> forward(x0, x1, f0, f1);
            ASSERT_EQ(forward.answer_run(rust::PortablePath{}, read_x, 0, xs.size(), x0, x1, values.data()).next,
                      xs.size());
            for (std::size_t k = 0; k < xs.size(); ++k) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(values[k]),
                          std::bit_cast<std::uint64_t>(rust::FloatSteps::forward(xs[k], x0, x1, f0, f1)))
                    << "x0 " << x0 << " x " << xs[k] << " length " << length;
            }
            // Back, where the values of positions are exact.
            if (!(f0 < f1) || f1 >= 0x1p52) {
                continue;
            }
            for (int planted = 0; planted < 3; ++planted) {
                std::vector<double> fs;
                for (std::size_t k = 0; k < length; ++k) {
                    const std::uint64_t offset = 1 + gen() % (shape.span - 1);
                    fs.push_back(f0 + static_cast<double>(offset) * shape.slope);
                }
                // A position and a half, at the start, anywhere or at the end.
                if (planted > 0) {
                    const std::size_t at = planted == 2 ? length - 1 : gen() % length;
                    fs[at] = f0 + (static_cast<double>(gen() % (shape.span - 1)) + 1.5) * shape.slope;
                }
                SCOPED_TRACE(::testing::Message() << "x0 " << x0 << " length " << length << " planted " << planted);
                auto read_f = [&](std::size_t k) { return fs[k]; };
                for (const Method m : {Method::Exact, Method::Nearest, Method::Ffill, Method::Bfill}) {
                    std::vector<std::uint64_t> positions(fs.size());
                    const rust::InverseSegment<std::uint64_t, double> segment(x0, x1, f0, f1, m);
                    const rust::RunEnd end =
                        segment.answer_run(rust::PortablePath{}, read_f, 0, fs.size(), f0, f1, positions.data());
                    std::size_t k = 0;
                    for (; k < fs.size(); ++k) {
                        const std::optional<std::uint64_t> steps = rust::FloatSteps::inverse(fs[k], x0, x1, f0, f1, m);
                        if (!steps) {
                            break;
                        }
                        ASSERT_EQ(positions[k], *steps) << "f " << fs[k] << " at " << k;
                    }
                    ASSERT_EQ(end.next, k);
                    ASSERT_EQ(end.failed, k < fs.size());
                }
            }
        }
    }
}

// Segments where the exact quotient lies 1.5 to 1.7 units of 2^-63 (in its
// binade) from a binary64, and the steps' roundings carry the result across
// it: their truncation is not the exact quotient's. Found by a search in exact
// rational arithmetic, which also gave the bits. A run of such queries must
// leave each of them to the steps.
struct EdgeCase {
    std::uint64_t x0, x1, x;
    double f0, f1;
    std::uint64_t bits;
};

const EdgeCase kAcrossTheEdge[] = {
    {1888814023095320186U, 1889198758475111814U, 1888839076815824564U, 0x1.93541fc9c1498p-2, 0x1.bb88f81136962p-1, 0x3FDB2D45CEB87B4C},  // 1.56
    {4079965121920944478U, 4080223939758563880U, 4080007988956524345U, 0x1.24c1b65e0a496p-2, 0x1.4be2a52e07baep+4, 0x400D648F76590015},  // 1.53
    {3594500107573493493U, 3594930883964106308U, 3594826013258795102U, 0x1.c4eac738dc6f1p+1, 0x1.ecbff0883fa38p+3, 0x402905B6A7373E3C},  // 1.67
    {8066424079448876657U, 8067176936043463260U, 8066595053968898996U, 0x1.23d07eb97fb5ep-1, 0x1.ae5ce2fa9f5d4p+2, 0x3FFF7B7062F77CB6},  // 1.58
    {4135630278616515984U, 4136058290635812332U, 4136051396823757482U, 0x1.9d4f78f2a1ebdp+1, 0x1.606eb960f90c4p-3, 0x3FCC544B27F820DD},  // 1.54
};

TEST(FloatForward, ResultsCarriedAcrossATruncationEdge) {
    const rust::FpuScope scope;
    for (const EdgeCase& c : kAcrossTheEdge) {
        EXPECT_EQ(forward_bits(c.x, c.x0, c.x1, c.f0, c.f1), c.bits) << c.x;
        const std::vector<std::uint64_t> xs(32, c.x);
        std::vector<double> values(xs.size());
        auto read = [&](std::size_t k) { return xs[k]; };
        const rust::ForwardSegment<std::uint64_t, double> segment(c.x0, c.x1, c.f0, c.f1);
        rust::with_vector_path([&](auto path) {
            ASSERT_EQ(segment.answer_run(path, read, 0, xs.size(), c.x0, c.x1, values.data()).next, xs.size());
        });
        for (const double v : values) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(v), c.bits) << c.x;
        }
    }
}

// The forward runs' eight-lane form decides most queries itself and leaves
// the rest to the steps; either way each result is the steps' own. The end
// values take in what the lanes refuse (opposite signs, both zero, magnitudes
// past 2^+-800, segments of 2^53 or more) and values by binade edges; the
// queries take in weights of a power of two and one off it, whose products
// end in long runs of equal bits.
TEST(FloatForwardLanes, RunsGiveTheStepsBits) {
#if !defined(RUST_HAVE_LANES)
    GTEST_SKIP() << "no vector path in this build";
#else
    if (!rust::detail::cpu_has_lanes()) {
        GTEST_SKIP() << "no AVX-512 on this CPU";
    }
    const rust::FpuScope scope;
    std::mt19937_64 gen(29);
    const auto sign = [&] { return gen() % 2 == 0 ? 1.0 : -1.0; };
    const auto significand = [&] { return 1.0 + static_cast<double>(gen() >> 12) * 0x1p-52; };
    const auto value = [&]() -> double {
        switch (gen() % 7) {
            case 0: return sign() * significand() * 1000.0;
            case 1: return sign() * std::ldexp(significand(), static_cast<int>(gen() % 1700) - 850);
            case 2: return static_cast<double>(static_cast<std::int64_t>(gen() % (1 << 21)) - (1 << 20)) * 0.5;
            case 3: return sign() * 0.0;
            case 4: return sign() * std::nextafter(std::ldexp(1.0, static_cast<int>(gen() % 64)), gen() % 2 ? 0.0 : kInf);
            case 5: return sign() * std::nextafter(gen() % 2 ? 0x1p-800 : 0x1p800, gen() % 2 ? 0.0 : kInf);
            default: return sign() * std::ldexp(static_cast<double>(gen() >> 11 | 1), -static_cast<int>(gen() % 64));
        }
    };
    const auto width = [&]() -> std::uint64_t {
        const unsigned bits = 2 + static_cast<unsigned>(gen() % 62);
        switch (gen() % 4) {
            case 0: return std::uint64_t{1} << bits;
            case 1: return (std::uint64_t{1} << 53) - 1 + gen() % 3;
            default: return (gen() >> (64 - bits)) | (std::uint64_t{1} << (bits - 1));
        }
    };
    for (int round = 0; round < 4000; ++round) {
        const std::uint64_t w = width();
        const std::uint64_t x0 = gen() % (kMax - w + 1);
        const std::uint64_t x1 = x0 + w;
        const double f0 = value();
        const double f1 = value();
        std::vector<std::uint64_t> xs(16 + gen() % 80);
        for (std::uint64_t& x : xs) {
            const std::uint64_t k = std::uint64_t{1} << (gen() % 63);
            const std::uint64_t offset = gen() % 3 == 0 ? (k + gen() % 3 - 1) % w : gen() % w;
            x = x0 + std::max<std::uint64_t>(offset, 1);
        }
        // Some runs end at a query outside the segment.
        const std::size_t stop = gen() % 4 == 0 ? gen() % xs.size() : xs.size();
        if (stop < xs.size()) {
            xs[stop] = gen() % 2 == 0 ? x1 : x0;
        }
        std::vector<double> values(xs.size());
        auto read = [&](std::size_t k) { return xs[k]; };
        const rust::ForwardSegment<std::uint64_t, double> segment(x0, x1, f0, f1);
        const rust::RunEnd end = segment.answer_run(rust::LanePath{}, read, 0, xs.size(), x0, x1, values.data());
        ASSERT_EQ(end.next, stop);
        ASSERT_FALSE(end.failed);
        for (std::size_t k = 0; k < stop; ++k) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(values[k]),
                      std::bit_cast<std::uint64_t>(rust::FloatSteps::forward(xs[k], x0, x1, f0, f1)))
                << std::hexfloat << "x0 " << x0 << " x1 " << x1 << " x " << xs[k] << " f0 " << f0 << " f1 " << f1;
        }
    }
#endif
}

// The inverse runs' eight-lane form, the same way, under every method: a run
// ends where Exact finds no position, as the steps say. Positions rising,
// falling or equal, below 2^53 or past it, about 2^52 (where halves fall
// between binary64 steps); values whose quotients are whole, halves or
// neither, or of magnitudes past the lanes' range.
TEST(FloatInverseLanes, RunsGiveTheStepsPositions) {
#if !defined(RUST_HAVE_LANES)
    GTEST_SKIP() << "no vector path in this build";
#else
    if (!rust::detail::cpu_has_lanes()) {
        GTEST_SKIP() << "no AVX-512 on this CPU";
    }
    const rust::FpuScope scope;
    std::mt19937_64 gen(31);
    const auto position = [&]() -> std::uint64_t {
        switch (gen() % 4) {
            case 0: return gen() % (std::uint64_t{1} << 40);
            case 1: return (std::uint64_t{1} << 52) + gen() % (std::uint64_t{1} << 20) - (std::uint64_t{1} << 19);
            case 2: return gen() % 1000;
            default: return gen() >> (gen() % 12);
        }
    };
    for (int round = 0; round < 3000; ++round) {
        const std::uint64_t x0 = position();
        const std::uint64_t x1 = gen() % 8 == 0 ? x0 : gen() % 2 == 0 ? position() : x0 + gen() % 100000;
        double f0 = 0.0;
        double f1 = 0.0;
        switch (gen() % 4) {
            case 0:  // whole quotients: the values are the positions' halves
                f0 = static_cast<double>(gen() % 10000) * 0.5;
                f1 = f0 + static_cast<double>(1 + gen() % 10000) * 0.5;
                break;
            case 1:
                f0 = static_cast<double>(static_cast<std::int64_t>(gen() % 2001) - 1000) / 7;
                f1 = f0 + static_cast<double>(1 + gen() % 100000) / 13;
                break;
            case 2:
                f0 = -std::ldexp(1.0 + static_cast<double>(gen() % 1000), static_cast<int>(gen() % 700) - 350);
                f1 = std::ldexp(1.0 + static_cast<double>(gen() % 1000), static_cast<int>(gen() % 700) - 350);
                break;
            default:
                f0 = static_cast<double>(gen() % 1000);
                f1 = std::nextafter(f0, kInf) + static_cast<double>(gen() % 3);
        }
        if (!(std::nextafter(f0, kInf) < f1)) {
            continue;  // no value strictly inside
        }
        std::vector<double> fs(16 + gen() % 80);
        for (double& f : fs) {
            const double t = static_cast<double>(1 + gen() % 4095) / 4096;
            f = std::max(std::nextafter(f0, kInf), std::min(std::nextafter(f1, -kInf), f0 + (f1 - f0) * t));
        }
        auto read = [&](std::size_t k) { return fs[k]; };
        for (const Method m : {Method::Exact, Method::Nearest, Method::Ffill, Method::Bfill}) {
            std::vector<std::uint64_t> positions(fs.size());
            const rust::InverseSegment<std::uint64_t, double> segment(x0, x1, f0, f1, m);
            const rust::RunEnd end = segment.answer_run(rust::LanePath{}, read, 0, fs.size(), f0, f1, positions.data());
            std::size_t k = 0;
            for (; k < fs.size(); ++k) {
                const std::optional<std::uint64_t> steps = rust::FloatSteps::inverse(fs[k], x0, x1, f0, f1, m);
                if (!steps) {
                    break;
                }
                ASSERT_EQ(positions[k], *steps) << std::hexfloat << "x0 " << x0 << " x1 " << x1 << " f0 " << f0
                                                << " f1 " << f1 << " f " << fs[k] << " method " << static_cast<int>(m);
            }
            ASSERT_EQ(end.next, k);
            ASSERT_EQ(end.failed, k < fs.size());
        }
    }
#endif
}

#if defined(__x86_64__) || defined(__i386__)

std::uint16_t control_word() {
    std::uint16_t cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw) : : "memory");
    return cw;
}

void set_control_word(std::uint16_t cw) { __asm__ volatile("fldcw %0" : : "m"(cw) : "memory"); }

std::uint16_t status_word() {
    std::uint16_t sw;
    __asm__ volatile("fnstsw %0" : "=m"(sw) : : "memory");
    return sw;
}

// A caller's unusual floating-point mode for the length of a test: rounding
// upward (x87 and SSE) and the given x87 word bits, given back on every exit.
class CallerMode {
public:
    CallerMode(std::uint16_t clear, std::uint16_t set) : round_(std::fegetround()), cw_(control_word()) {
        std::fesetround(FE_UPWARD);
        set_control_word(static_cast<std::uint16_t>((control_word() & ~clear) | set));
    }
    ~CallerMode() {
        __asm__ volatile("fnclex" ::: "memory");
        set_control_word(cw_);
        std::fesetround(round_);
    }
    CallerMode(const CallerMode&) = delete;
    CallerMode& operator=(const CallerMode&) = delete;

private:
    int round_;
    std::uint16_t cw_;
};

constexpr std::uint16_t kPrecisionControl = 0x0300;
constexpr std::uint16_t kPrecision53 = 0x0200;

TEST(FloatSchemesFpu, ResultsDoNotDependOnTheCallersMode) {
    const CallerMode mode(kPrecisionControl, kPrecision53);
    const std::uint16_t callers = control_word();
    {
        const rust::FpuScope scope;
        for (const ForwardCase& c : kForward) {
            EXPECT_EQ(forward_bits(c.x, c.x0, c.x1, c.f0, c.f1), c.bits) << c.why;
        }
        for (const InverseCase& c : kInverse) {
            EXPECT_EQ(inverse(c.f, c.x0, c.x1, c.f0, c.f1, Method::Nearest), c.nearest) << c.why;
            EXPECT_EQ(inverse(c.f, c.x0, c.x1, c.f0, c.f1, Method::Exact), c.exact) << c.why;
        }
    }
    EXPECT_EQ(control_word(), callers);
#if RUST_F80_ENGINE_X87
    // Without a scope the x87 engine does round by the caller's mode (1/10 to
    // 53 bits, upward), so the check above can fail.
    EXPECT_EQ(forward_bits(1, 0, 10, 0.0, 1.0), 0x3FB999999999999A);
#endif
}

// A caller that unmasks the inexact exception must not inherit the inexact flag
// of the scope's arithmetic: it would fault at the caller's next x87 instruction.
TEST(FloatSchemesFpu, CallerWithUnmaskedInexactGetsNoPendingFlag) {
    constexpr std::uint16_t kPrecisionMask = 0x0020;
    const CallerMode mode(kPrecisionMask, 0);
    const std::uint16_t callers = control_word();
    {
        const rust::FpuScope scope;
        EXPECT_EQ(forward_bits(1, 0, 10, 0.0, 1.0), 0x3FB9999999999999);
    }
    EXPECT_EQ(control_word(), callers);
    EXPECT_EQ(status_word() & kPrecisionMask, 0);
}

#endif

}  // namespace
