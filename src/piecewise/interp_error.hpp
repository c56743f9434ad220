// The failure kinds of one query, and a query's answer: a value or its failure.
#pragma once

#include <cstdint>
#include <optional>

namespace rust {

// In the order the boundary documents them.
enum class InterpError : std::uint8_t {
    OutOfBounds = 0,
    NotFound = 1,  // inverse only
    NotStrictlyIncreasing = 2,
};

template <class T>
struct Outcome {
    T value{};
    std::optional<InterpError> error;

    static Outcome ok(T v) noexcept { return {v, std::nullopt}; }
    static Outcome fail(InterpError e) noexcept { return {T{}, e}; }
    bool has_value() const noexcept { return !error.has_value(); }
};

}  // namespace rust
