// The fill method of an inverse query: how a value between two whole positions,
// or outside the table, is answered.
#pragma once

#include <cstdint>

namespace rust {

enum class Method : std::uint8_t {
    Exact = 0,    // only a whole position that matches exactly
    Nearest = 1,  // round to nearest, ties to even; fill on both sides
    Ffill = 2,    // round down; fill above the last value
    Bfill = 3,    // round up; fill below the first value
};

}  // namespace rust
