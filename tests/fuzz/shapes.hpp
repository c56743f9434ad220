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

inline u64 small(FuzzedDataProvider& in) { return in.ConsumeIntegralInRange<u64>(0, 40); }

// An integer from one of the regions where boundaries sit: anywhere, near zero
// of either signedness, near both ends.
inline u64 interesting_order(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: return in.ConsumeIntegral<u64>();
        case 1: return small(in);                       // bottom: 0 or INT64_MIN
        case 2: return kTop - small(in);                // top: 2^64 - 1 or INT64_MAX
        case 3: return kHalf + small(in);               // 2^63, or 0 as i64
        case 4: return kHalf - 1 - small(in);           // below 2^63, or -1 as i64
        default: return in.ConsumeIntegral<std::uint16_t>();
    }
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

inline double interesting_double(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: return std::bit_cast<double>(in.ConsumeIntegral<u64>());  // NaN payloads too
        case 1: return special_double(in);
        // Small integers times a power of two: segments whose answers are
        // often exact or exact ties.
        case 2: return std::ldexp(static_cast<double>(in.ConsumeIntegralInRange<int>(-64, 64)),
                                  in.ConsumeIntegralInRange<int>(-8, 8));
        case 3: return in.ConsumeFloatingPoint<double>();
        default: return std::ldexp(static_cast<double>(in.ConsumeIntegral<i64>()),
                                   in.ConsumeIntegralInRange<int>(-1100, 1000));
    }
}

}  // namespace fuzz_shapes
