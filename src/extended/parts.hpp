// The sign, significand and exponent of an extended value, as both engines read them.
#pragma once

#include <cstdint>

namespace rust::detail {

// A non-zero value is (negative ? -1 : 1) * m * 2^(e - 64) with 2^63 <= m: the
// significand read as the binary fraction 0.m, in [1/2, 1), times 2^e. Zero has
// zero = true and every other field 0; its sign is never kept.
struct F80Parts {
    bool zero;
    bool negative;
    std::uint64_t m;
    std::int32_t e;

    friend bool operator==(const F80Parts&, const F80Parts&) = default;
};

}  // namespace rust::detail
