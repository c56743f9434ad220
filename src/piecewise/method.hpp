// The fill method of an inverse query, and the failure kinds of one query.
#pragma once

#include <cstdint>

namespace rust {

// How an inverse query is answered when the value falls between two whole
// positions (inside a segment) or outside the table.
enum class Method : std::uint8_t {
    Exact = 0,    // only a whole position that matches exactly
    Nearest = 1,  // round to nearest, ties to even; fill on both sides
    Ffill = 2,    // round down; fill above the last value
    Bfill = 3,    // round up; fill below the first value
};

// The failure of one query, in the order the boundary documents them.
enum class InterpError : std::uint8_t {
    OutOfBounds = 0,
    NotFound = 1,  // inverse only
    NotStrictlyIncreasing = 2,
};

}  // namespace rust
