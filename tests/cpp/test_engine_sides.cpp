// The float64 schemes and walks on every engine built in, against the MPFR engine, bit for bit.
//
// Each engine is a copy of the core compiled in its own translation unit
// (tests/fuzz/engine_side.cpp, the core's namespace renamed), so that the soft
// engine's integer forms, the x87 engine's hardware and MPFR meet in one
// binary. MPFR at 64 bits is the oracle: it rounds each step by its own,
// independent code. The inputs aim at what the integer forms tell apart:
// segments where every step is exact and where one is not, ties of the
// quotient's rounding, sums of opposite signs, values of every magnitude.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "../fuzz/engine_side.hpp"

namespace {

using u64 = std::uint64_t;
using engine_side::Result;
using engine_side::Side;

constexpr u64 kMax = std::numeric_limits<u64>::max();

// The engines compared with MPFR: soft always, x87 where the build has it.
std::vector<const Side*> sides() {
    std::vector<const Side*> s = {&engine_side::soft};
#if defined(ENGINE_SIDES_X87) && ENGINE_SIDES_X87
    s.push_back(&engine_side::x87);
#endif
    return s;
}

class Inputs {
public:
    explicit Inputs(u64 seed) : gen_(seed) {}

    u64 bits() { return gen_(); }
    u64 below(u64 n) { return gen_() % n; }

    // Small positions (quotients often exact or ties), positions near 2^63 and
    // 2^64, and positions of every width.
    u64 position() {
        switch (below(4)) {
            case 0: return below(25);
            case 1: return (u64{1} << 63) - 8 + below(16);
            case 2: return kMax - below(16);
            default: return bits() >> below(64);
        }
    }

    // Whole numbers and halves (every step exact), small integers times a
    // power of two, any finite binary64, subnormals, zeros of both signs.
    double value() {
        switch (below(6)) {
            case 0: return (static_cast<double>(static_cast<std::int64_t>(below(1U << 24))) - (1 << 23)) * 0.5;
            case 1: return std::ldexp(static_cast<double>(static_cast<int>(below(33)) - 16), static_cast<int>(below(9)) - 4);
            case 2: return std::ldexp(static_cast<double>(bits() >> 11), static_cast<int>(below(200)) - 150);
            case 3: return std::bit_cast<double>(bits() >> 12 | (bits() & (u64{1} << 63)));  // subnormal
            case 4: return below(2) == 0 ? 0.0 : -0.0;
            default: {
                u64 b;
                do {
                    b = bits();
                } while (((b >> 52) & 0x7FF) == 0x7FF);
                return std::bit_cast<double>(b);
            }
        }
    }

    // Strictly between finite lo < hi where there is room: k of m of the way,
    // a few representable steps from either end, or a random mean.
    double inside(double lo, double hi) {
        switch (below(3)) {
            case 0: {
                const int m = 2 + static_cast<int>(below(23));
                const int k = 1 + static_cast<int>(below(static_cast<u64>(m - 1)));
                return lo + (hi - lo) * k / m;
            }
            case 1: {
                double v = below(2) == 0 ? lo : hi;
                const double towards = v == lo ? hi : lo;
                for (int i = 1 + static_cast<int>(below(3)); i > 0; --i) {
                    v = std::nextafter(v, towards);
                }
                return v;
            }
            default: {
                const double t = static_cast<double>(bits() >> 11) * 0x1p-53;
                return lo * (1 - t) + hi * t;
            }
        }
    }

private:
    std::mt19937_64 gen_;
};

void expect_same(const Result& side, const Result& oracle, const char* name, const char* what, int i) {
    ASSERT_EQ(side.panicked, oracle.panicked) << name << " " << what << " case " << i;
    ASSERT_EQ(side.message, oracle.message) << name << " " << what << " case " << i;
    ASSERT_EQ(side.error, oracle.error) << name << " " << what << " case " << i;
    ASSERT_EQ(side.bits, oracle.bits) << std::hex << name << " " << what << " case " << std::dec << i;
    ASSERT_EQ(side.out, oracle.out) << name << " " << what << " case " << i;
}

TEST(EngineSides, ForwardSchemeMatchesMpfr) {
    Inputs in(20261207);
    for (int i = 0; i < 200000; ++i) {
        u64 x0 = in.position();
        u64 x1 = in.position();
        if (x0 > x1) {
            std::swap(x0, x1);
        }
        if (x1 - x0 < 2) {
            x1 <= kMax - 2 ? x1 = x0 + 2 : x0 = x1 - 2;
        }
        const u64 x = in.below(4) == 0 ? (in.below(2) == 0 ? x0 + 1 : x1 - 1) : x0 + 1 + in.below(x1 - x0 - 1);
        const double f0 = in.value();
        const double f1 = in.below(8) == 0 ? -f0 : in.value();
        const Result oracle = engine_side::mpfr.forward(x, x0, x1, f0, f1);
        for (const Side* side : sides()) {
            expect_same(side->forward(x, x0, x1, f0, f1), oracle, side->name, "forward", i);
        }
    }
}

// Real-valued end values a few binades apart, of one sign or of opposite
// signs, over spans too wide for every step to be exact: the segment forms
// that round each step, one query at a time and in runs, forward and inverse.
// Where the quotient lies just off a binary64 value (forward) or a half or
// whole position (inverse), a shortcut that skipped a rounding would land on
// the neighbouring result; many queries per segment meet such quotients.
TEST(EngineSides, RealValuedSegmentsMatchMpfr) {
    Inputs in(2026);
    for (int i = 0; i < 400; ++i) {
        const u64 span = 2 + (in.bits() >> in.below(64)) % (u64{1} << (8 + in.below(50)));
        const u64 x0 = in.below(2) == 0 ? in.below(1000) : in.bits() % (kMax - span);
        const u64 x1 = x0 + span;
        const auto real = [&](int e) {
            return std::ldexp(1.0 + static_cast<double>(in.bits() >> 12) * 0x1p-52, e);
        };
        const int e = static_cast<int>(in.below(80)) - 40;
        const double f0 = (in.below(2) == 0 ? -1 : 1) * real(e);
        const double f1 = (in.below(6) == 0 ? -1 : 1) * std::copysign(real(e + static_cast<int>(in.below(7)) - 3), f0);
        std::vector<u64> xq(1000);
        for (u64& x : xq) {
            x = x0 + 1 + in.below(span - 1);
        }
        std::sort(xq.begin(), xq.end());
        const std::vector<u64> xp = {x0, x1};
        const std::vector<double> fp = {f0, f1};
        const Result oracle = engine_side::mpfr.walk(xp, fp, xq, {}, -1);
        for (const Side* side : sides()) {
            expect_same(side->walk(xp, fp, xq, {}, -1), oracle, side->name, "walk", i);
            for (std::size_t k = 0; k < xq.size(); k += 10) {
                expect_same(side->forward(xq[k], x0, x1, f0, f1), engine_side::mpfr.forward(xq[k], x0, x1, f0, f1),
                            side->name, "forward", i);
            }
        }
        // The same segment the other way, its values increasing, by every method.
        const std::vector<double> fi = {std::min(f0, f1), std::max(f0, f1)};
        const std::vector<u64> xi = f0 < f1 ? xp : std::vector<u64>{x1, x0};
        std::vector<double> fq(1000);
        for (double& f : fq) {
            f = in.inside(fi[0], fi[1]);
        }
        std::sort(fq.begin(), fq.end());
        for (int method = 0; method < 4; ++method) {
            const Result inverse_oracle = engine_side::mpfr.walk(xi, fi, {}, fq, method);
            for (const Side* side : sides()) {
                expect_same(side->walk(xi, fi, {}, fq, method), inverse_oracle, side->name, "inverse walk", i);
            }
        }
    }
}

TEST(EngineSides, InverseSchemeMatchesMpfr) {
    Inputs in(7);
    int asked = 0;
    for (int i = 0; i < 200000; ++i) {
        // Positions in either order, or equal.
        const u64 x0 = in.position();
        const u64 x1 = in.below(4) == 0 ? x0 + in.below(3) : in.position();
        double f0 = in.value();
        double f1 = in.value();
        if (f1 < f0) {
            std::swap(f0, f1);
        }
        const double f = in.inside(f0, f1);
        if (!(f0 < f && f < f1)) {
            continue;  // no room strictly inside: not a query a table asks
        }
        ++asked;
        const int method = static_cast<int>(in.below(4));
        const Result oracle = engine_side::mpfr.inverse(f, x0, x1, f0, f1, method);
        for (const Side* side : sides()) {
            expect_same(side->inverse(f, x0, x1, f0, f1, method), oracle, side->name, "inverse", i);
        }
    }
    EXPECT_GT(asked, 150000);
}

// Tables whose segments take the soft engine's exact forms (halves, small
// spans) and its step-by-step ones (real values, wide spans), walked by sorted,
// evenly spaced and scattered queries, tie points among them.
TEST(EngineSides, WalksMatchMpfr) {
    Inputs in(11);
    for (int i = 0; i < 3000; ++i) {
        const std::size_t n = 2 + in.below(40);
        std::vector<u64> xp(n);
        std::vector<double> fp(n);
        const u64 spacing = u64{1} << in.below(40);
        const int kind = static_cast<int>(in.below(3));
        u64 x = in.below(1000);
        double f = kind == 2 ? in.value() : -static_cast<double>(in.below(1000));
        for (std::size_t k = 0; k < n; ++k) {
            xp[k] = x;
            fp[k] = f;
            x += 1 + in.below(spacing);
            switch (kind) {
                case 0: f += 0.5 * static_cast<double>(1 + in.below(10)); break;
                case 1: f += std::ldexp(0.5 + static_cast<double>(in.bits() >> 11) * 0x1p-53, static_cast<int>(in.below(40)) - 20); break;
                default: f = std::nextafter(f, INFINITY) + std::fabs(f) * static_cast<double>(in.below(100)) * 1e-3; break;
            }
        }
        if (!std::isfinite(fp.back())) {
            continue;
        }
        std::vector<u64> xq;
        std::vector<double> fq;
        const std::size_t count = 1 + in.below(200);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t s = 1 + in.below(n - 1);
            if (in.below(8) == 0) {
                xq.push_back(xp[s]);
                fq.push_back(fp[s]);
            } else {
                xq.push_back(xp[s - 1] + in.below(xp[s] - xp[s - 1]));
                fq.push_back(in.inside(fp[s - 1], fp[s]));
            }
        }
        switch (in.below(3)) {
            case 0:
                std::sort(xq.begin(), xq.end());
                std::sort(fq.begin(), fq.end());
                break;
            case 1: {  // evenly spaced over the table
                const u64 step = (xp.back() - xp.front()) / count;
                const double fstep = (fp.back() - fp.front()) / static_cast<double>(count);
                for (std::size_t k = 0; k < count; ++k) {
                    xq[k] = xp.front() + step * k;
                    fq[k] = std::min(fp.front() + fstep * static_cast<double>(k), fp.back());
                }
                break;
            }
            default:
                break;
        }
        for (int method = -1; method < 4; ++method) {
            const Result oracle = engine_side::mpfr.walk(xp, fp, xq, fq, method);
            for (const Side* side : sides()) {
                expect_same(side->walk(xp, fp, xq, fq, method), oracle, side->name, "walk", i);
            }
        }
    }
}

// Inverse queries whose quotients lie at and around the places where one
// method's position turns into the next: whole positions, halves, and the
// quarters between (where a form may decide a position without rounding the
// quotient), a few representable steps to either side. Segments of halves
// (every step exact), of real values, and of positions about 2^59 to 2^63; runs
// of sorted queries on one segment and each query alone.
TEST(EngineSides, InverseQuotientsNearRoundingEdgesMatchMpfr) {
    Inputs in(59);
    for (int i = 0; i < 1500; ++i) {
        const int kind = static_cast<int>(in.below(3));
        const u64 span = 1 + in.below(kind == 0 ? 64 : u64{1} << in.below(40));
        const u64 x0 = kind == 2 ? (u64{1} << (59 + in.below(5))) - span / 2 : in.below(1000);
        const u64 x1 = x0 + span;
        double f0;
        double f1;
        if (kind == 0) {
            f0 = 0.5 * (static_cast<double>(in.below(2000)) - 1000);
            f1 = f0 + 0.5 * static_cast<double>(1 + in.below(span * 4));
        } else {
            f0 = std::ldexp(1.0 + static_cast<double>(in.bits() >> 12) * 0x1p-52, static_cast<int>(in.below(60)) - 30);
            f1 = f0 * (1.0 + std::ldexp(1.0 + static_cast<double>(in.bits() >> 12) * 0x1p-52,
                                         -static_cast<int>(in.below(30))));
            if (in.below(4) == 0) {  // the same magnitudes below zero
                const double below = -f1;
                f1 = -f0;
                f0 = below;
            }
        }
        // Positions in either order against the values.
        const bool falling = in.below(2) == 0;
        const std::vector<u64> xp = falling ? std::vector<u64>{x1, x0} : std::vector<u64>{x0, x1};
        const std::vector<double> fp = {f0, f1};
        std::vector<double> fq;
        for (int q = 0; q < 40; ++q) {
            // A position k + j / 8 of the segment and its value, then a few
            // steps from it.
            const double t = (static_cast<double>(in.below(span)) + static_cast<double>(in.below(8)) / 8) /
                             static_cast<double>(span);
            double f = f0 + (f1 - f0) * t;
            const int steps = static_cast<int>(in.below(7)) - 3;
            for (int k = 0; k < std::abs(steps); ++k) {
                f = std::nextafter(f, steps < 0 ? -INFINITY : INFINITY);
            }
            if (f0 < f && f < f1) {
                fq.push_back(f);
            }
        }
        std::sort(fq.begin(), fq.end());
        for (int method = 0; method < 4; ++method) {
            const Result oracle = engine_side::mpfr.walk(xp, fp, {}, fq, method);
            for (const Side* side : sides()) {
                expect_same(side->walk(xp, fp, {}, fq, method), oracle, side->name, "inverse walk", i);
                for (const double f : fq) {
                    expect_same(side->inverse(f, xp[0], xp[1], f0, f1, method),
                                engine_side::mpfr.inverse(f, xp[0], xp[1], f0, f1, method), side->name, "inverse",
                                i);
                }
            }
        }
    }
}

}  // namespace
