// libFuzzer target: the float64 schemes and walks on the x87 and soft engines
// against the MPFR engine, bit for bit, Panic messages included. Each engine is
// compiled in its own translation unit (engine_side.cpp) and reached through
// engine_side.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "engine_side.hpp"
#include "shapes.hpp"

namespace {

using u64 = std::uint64_t;
using engine_side::Result;
using fuzz_shapes::interesting_double;
using fuzz_shapes::interesting_order;
using fuzz_shapes::pick;

constexpr double kInf = std::numeric_limits<double>::infinity();

void print(const char* side, const Result& r) {
    std::fprintf(stderr, "  %s: ", side);
    if (r.panicked) {
        std::fprintf(stderr, "Panic \"%s\"\n", r.message.c_str());
        return;
    }
    if (r.error >= 0) {
        std::fprintf(stderr, "failure %d\n", r.error);
        return;
    }
    std::fprintf(stderr, "0x%016llx (%a)", static_cast<unsigned long long>(r.bits), std::bit_cast<double>(r.bits));
    for (std::size_t i = 0; i < r.out.size() && i < 40; ++i) {
        std::fprintf(stderr, " 0x%llx", static_cast<unsigned long long>(r.out[i]));
    }
    std::fputc('\n', stderr);
}

// The engines compared with MPFR's, which is the oracle.
constexpr const engine_side::Side* kSides[] = {&engine_side::x87, &engine_side::soft};

// call(side) on every engine against MPFR; inputs() prints the call's
// arguments, only when there is something to report.
template <class Call, class Inputs>
void compare(Call&& call, const char* what, Inputs&& inputs) {
    const Result oracle = call(engine_side::mpfr);
    for (const engine_side::Side* side : kSides) {
        const Result r = call(*side);
        if (r == oracle) {
            continue;
        }
        std::fprintf(stderr, "float_engines mismatch: %s\n", what);
        inputs();
        print(side->name, r);
        print(engine_side::mpfr.name, oracle);
        __builtin_trap();
    }
}

// Positions: small ones (whose quotients are often exact or ties) or from
// anywhere in 64 bits.
u64 position(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<u64>(0, 24) : interesting_order(in);
}

// Values: small integers times a power of two (exact steps, exact ties) or
// anything, non-finite included.
double value(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) {
        return std::ldexp(static_cast<double>(in.ConsumeIntegralInRange<int>(-16, 16)),
                          in.ConsumeIntegralInRange<int>(-4, 4));
    }
    return interesting_double(in);
}

// Ways to a value strictly between lo < hi, both finite.
enum class Inside {
    Rational,  // k of m of the way, which lands on whole positions of a short segment
    Steps,     // a few representable steps from either end
    Mean,      // a weighted mean of the ends
};
constexpr Inside kInsides[] = {Inside::Rational, Inside::Steps, Inside::Mean};

double inside(FuzzedDataProvider& in, double lo, double hi) {
    switch (pick(in, kInsides)) {
        case Inside::Rational: {
            const int m = in.ConsumeIntegralInRange<int>(2, 24);
            const int k = in.ConsumeIntegralInRange<int>(1, m - 1);
            return lo + (hi - lo) * k / m;
        }
        case Inside::Steps: {
            double v = in.ConsumeBool() ? lo : hi;
            const double towards = v == lo ? hi : lo;
            for (int i = in.ConsumeIntegralInRange<int>(1, 3); i > 0; --i) {
                v = std::nextafter(v, towards);
            }
            return v;
        }
        case Inside::Mean: break;
    }
    const double t = in.ConsumeProbability<double>();
    return lo * (1 - t) + hi * t;
}

// Where a forward query lies in its segment: next to either end, or anywhere inside.
enum class Place { AfterStart, BeforeEnd, Anywhere };
constexpr Place kPlaces[] = {Place::AfterStart, Place::BeforeEnd, Place::Anywhere};

void forward_case(FuzzedDataProvider& in) {
    u64 x0 = position(in);
    u64 x1 = position(in);
    if (x0 > x1) {
        std::swap(x0, x1);
    }
    // The scheme is defined strictly inside a segment: at least two apart.
    if (x1 - x0 < 2) {
        if (x1 <= ~u64{0} - 2) {
            x1 = x0 + 2;
        } else {
            x0 = x1 - 2;
        }
    }
    const u64 span = x1 - x0 - 2;
    u64 x = x0 + 1;
    switch (pick(in, kPlaces)) {
        case Place::AfterStart: break;
        case Place::BeforeEnd: x = x1 - 1; break;
        case Place::Anywhere: x += in.ConsumeIntegralInRange<u64>(0, span); break;
    }
    const double f0 = value(in);
    const double f1 = value(in);
    compare([&](const engine_side::Side& side) { return side.forward(x, x0, x1, f0, f1); }, "Scheme::forward", [&] {
                std::fprintf(stderr, "  x = %llu, x0 = %llu, x1 = %llu, f0 = %a, f1 = %a\n",
                             static_cast<unsigned long long>(x), static_cast<unsigned long long>(x0),
                             static_cast<unsigned long long>(x1), f0, f1);
            });
}

void inverse_case(FuzzedDataProvider& in) {
    // Positions in any order, even equal.
    const u64 x0 = position(in);
    const u64 x1 = in.ConsumeBool() ? x0 + in.ConsumeIntegralInRange<u64>(0, 3) : position(in);
    double f0 = value(in);
    double f1 = value(in);
    if (f1 < f0) {
        std::swap(f0, f1);
    }
    double f;
    if (std::isfinite(f0) && std::isfinite(f1)) {
        if (f0 == f1) {
            f1 = std::nextafter(f1, kInf);
            if (!std::isfinite(f1)) {
                return;
            }
        }
        f = inside(in, f0, f1);
        if (!(f0 < f && f < f1)) {
            return;  // nothing strictly inside: not a query the table asks of a scheme
        }
    } else {
        // An infinite end (or a NaN) fails on both engines, with the same message.
        f = value(in);
    }
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
        f = in.ConsumeBool() ? std::numeric_limits<double>::quiet_NaN() : (in.ConsumeBool() ? kInf : -kInf);
    }
    const int method = in.ConsumeIntegralInRange<int>(0, 3);
    compare([&](const engine_side::Side& side) { return side.inverse(f, x0, x1, f0, f1, method); }, "Scheme::inverse", [&] {
                std::fprintf(stderr, "  f = %a, x0 = %llu, x1 = %llu, f0 = %a, f1 = %a, method %d\n", f,
                             static_cast<unsigned long long>(x0), static_cast<unsigned long long>(x1), f0, f1,
                             method);
            });
}

// Where a walk's query pair lies: inside a segment (falling back to the tie
// point where the segment has no inside), on a tie point (falling back to
// anywhere in an empty table), or anywhere, twice as often.
enum class Query { InsideSegment, TiePoint, Anywhere };
constexpr Query kQueries[] = {Query::InsideSegment, Query::TiePoint, Query::Anywhere, Query::Anywhere};

// A short table, increasing in both columns as a rule, and queries around it.
void walk_case(FuzzedDataProvider& in) {
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    std::vector<u64> xp(n);
    std::vector<double> fp(n);
    for (std::size_t i = 0; i < n; ++i) {
        xp[i] = position(in);
        fp[i] = value(in);
    }
    if (in.ConsumeIntegralInRange<int>(0, 7) != 0) {
        std::sort(xp.begin(), xp.end());
        xp.erase(std::unique(xp.begin(), xp.end()), xp.end());
        // NaN last, so that the order is a strict weak one; a NaN or a repeat
        // left in place makes the table unordered, as it may be.
        std::sort(fp.begin(), fp.end(), [](double a, double b) { return std::isnan(b) ? !std::isnan(a) : a < b; });
        fp.erase(std::unique(fp.begin(), fp.end()), fp.end());
        const std::size_t m = std::min(xp.size(), fp.size());
        xp.resize(m);
        fp.resize(m);
    }
    std::vector<u64> xq;
    std::vector<double> fq;
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 32);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = xp.empty() ? 0 : in.ConsumeIntegralInRange<std::size_t>(0, xp.size() - 1);
        switch (pick(in, kQueries)) {
            case Query::InsideSegment:
                if (i > 0 && xp[i] - xp[i - 1] >= 2 && std::isfinite(fp[i - 1]) && std::isfinite(fp[i]) &&
                    fp[i - 1] < fp[i]) {
                    xq.push_back(xp[i - 1] + 1 + in.ConsumeIntegralInRange<u64>(0, xp[i] - xp[i - 1] - 2));
                    fq.push_back(inside(in, fp[i - 1], fp[i]));
                    break;
                }
                [[fallthrough]];
            case Query::TiePoint:
                if (!xp.empty()) {
                    xq.push_back(xp[i]);
                    fq.push_back(fp[i]);
                    break;
                }
                [[fallthrough]];
            case Query::Anywhere:
                xq.push_back(position(in));
                fq.push_back(value(in));
                break;
        }
    }
    for (int method = -1; method < 4; ++method) {
        compare([&](const engine_side::Side& side) { return side.walk(xp, fp, xq, fq, method); },
                method < 0 ? "forward_into" : "inverse_into", [&] {
                    std::fprintf(stderr, "  method %d\n  xp:", method);
                    for (const u64 x : xp) std::fprintf(stderr, " %llu", static_cast<unsigned long long>(x));
                    std::fprintf(stderr, "\n  fp:");
                    for (const double f : fp) std::fprintf(stderr, " %a", f);
                    std::fprintf(stderr, "\n  queries:");
                    for (std::size_t k = 0; k < xq.size(); ++k) {
                        if (method < 0) {
                            std::fprintf(stderr, " %llu", static_cast<unsigned long long>(xq[k]));
                        } else {
                            std::fprintf(stderr, " %a", fq[k]);
                        }
                    }
                    std::fputc('\n', stderr);
                });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    constexpr void (*kCases[])(FuzzedDataProvider&) = {forward_case, inverse_case, walk_case};
    while (in.remaining_bytes() > 0) {
        pick(in, kCases)(in);
    }
    return 0;
}
