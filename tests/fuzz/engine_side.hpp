// One arithmetic engine's float64 schemes and walks behind plain functions, so
// that two engines, each in its own translation unit, meet in one fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Nothing here names the core's own types: the MPFR side is compiled with its
// namespace renamed, and these declarations must mean the same on both sides.
namespace engine_side {

// One call's outcome: a Panic's message, a failure, or a value's bits.
struct Result {
    bool panicked = false;
    std::string message;
    int error = -1;          // a walk's InterpError, or 0 for an inverse scheme that found nothing
    std::uint64_t bits = 0;  // a float64's bits, or a position
    std::vector<std::uint64_t> out;  // a walk's outputs, when it succeeded

    friend bool operator==(const Result&, const Result&) = default;
};

struct Side {
    const char* name;
    // Scheme<std::uint64_t, double>::forward; bits are the result's.
    Result (*forward)(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1);
    // Scheme<std::uint64_t, double>::inverse; method is Method's number.
    Result (*inverse)(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1, int method);
    // Interp<std::uint64_t, double>::forward_into over xq when method < 0, else
    // inverse_into over fq with that method.
    Result (*walk)(const std::vector<std::uint64_t>& xp, const std::vector<double>& fp,
                   const std::vector<std::uint64_t>& xq, const std::vector<double>& fq, int method);
};

// Each side is defined only where its copy is linked in: x87 on x86 only.
extern const Side x87;
extern const Side mpfr;
extern const Side soft;

}  // namespace engine_side
