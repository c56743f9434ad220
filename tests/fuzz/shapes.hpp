// Input shapes shared by the native fuzz targets: numbers from the regions
// where the core's boundaries sit.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>

#include <fuzzer/FuzzedDataProvider.h>

namespace fuzz_shapes {

using u64 = std::uint64_t;
using i64 = std::int64_t;

constexpr u64 kTop = ~u64{0};
constexpr u64 kHalf = u64{1} << 63;

// One of the options, as the input picks it (one byte for up to 256 options).
template <class T, std::size_t N>
T pick(FuzzedDataProvider& in, const T (&options)[N]) {
    static_assert(N >= 1 && N <= 256);
    return options[in.ConsumeIntegralInRange<int>(0, static_cast<int>(N) - 1)];
}

inline u64 small(FuzzedDataProvider& in) { return in.ConsumeIntegralInRange<u64>(0, 40); }

// The regions of the integers (in the order of uint64, or of int64 with its top
// bit inverted) where boundaries sit.
enum class Region {
    Anywhere,
    Bottom,     // 0, or INT64_MIN
    Top,        // 2^64 - 1, or INT64_MAX
    FromHalf,   // 2^63 and up, or 0 and up as i64
    BelowHalf,  // below 2^63, or -1 and down as i64
    Short,      // below 2^16
};
constexpr Region kRegions[] = {Region::Anywhere, Region::Bottom,    Region::Top,
                               Region::FromHalf, Region::BelowHalf, Region::Short};

// An integer from one of those regions (near an edge: within 40 of it).
inline u64 interesting_order(FuzzedDataProvider& in) {
    switch (pick(in, kRegions)) {
        case Region::Anywhere: return in.ConsumeIntegral<u64>();
        case Region::Bottom: return small(in);
        case Region::Top: return kTop - small(in);
        case Region::FromHalf: return kHalf + small(in);
        case Region::BelowHalf: return kHalf - 1 - small(in);
        case Region::Short: break;
    }
    return in.ConsumeIntegral<std::uint16_t>();
}

inline double special_double(FuzzedDataProvider& in) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kMinSub = std::numeric_limits<double>::denorm_min();
    constexpr double kMinNorm = std::numeric_limits<double>::min();
    constexpr double kMaxD = std::numeric_limits<double>::max();
    static const double kSpecial[] = {
        std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
        kInf, -kInf, 0.0, -0.0, kMinSub, -kMinSub, 3 * kMinSub, kMinNorm - kMinSub, kMinNorm, -kMinNorm,
        kMaxD, -kMaxD, 1.0, -1.0, 0.5, 0x1p53, 0x1p53 + 2, 0x1p63, 0x1p64, -0x1p64, 1e300, -1e-300,
    };
    return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
}

// The kinds of doubles drawn.
enum class DoubleKind {
    AnyBits,      // any pattern, NaN payloads too
    Special,      // one of special_double()'s
    SmallScaled,  // a small integer times a small power of two: segments whose
                  // answers are often exact or exact ties
    Uniform,      // FuzzedDataProvider's own, over the finite range
    WideScaled,   // a 64-bit integer times any power of two, subnormals to overflow
};
constexpr DoubleKind kDoubleKinds[] = {DoubleKind::AnyBits, DoubleKind::Special, DoubleKind::SmallScaled,
                                       DoubleKind::Uniform, DoubleKind::WideScaled};

inline double interesting_double(FuzzedDataProvider& in) {
    switch (pick(in, kDoubleKinds)) {
        case DoubleKind::AnyBits: return std::bit_cast<double>(in.ConsumeIntegral<u64>());
        case DoubleKind::Special: return special_double(in);
        case DoubleKind::SmallScaled:
            return std::ldexp(static_cast<double>(in.ConsumeIntegralInRange<int>(-64, 64)),
                              in.ConsumeIntegralInRange<int>(-8, 8));
        case DoubleKind::Uniform: return in.ConsumeFloatingPoint<double>();
        case DoubleKind::WideScaled: break;
    }
    return std::ldexp(static_cast<double>(in.ConsumeIntegral<i64>()), in.ConsumeIntegralInRange<int>(-1100, 1000));
}

}  // namespace fuzz_shapes
