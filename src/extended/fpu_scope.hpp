// The x87 control word that the extended arithmetic needs, held for one call.
#pragma once

#include <cstdint>

namespace rust {

#if defined(RUST_ENGINE_MPFR) && RUST_ENGINE_MPFR

// The MPFR engine rounds by its own rule and reads no floating-point state. The
// empty constructor body keeps a held scope from counting as an unused variable.
class FpuScope {
public:
    FpuScope() noexcept {}
    FpuScope(const FpuScope&) = delete;
    FpuScope& operator=(const FpuScope&) = delete;
};

#else

// Sets the x87 control word to 64-bit precision, round to nearest (ties to
// even) and every exception masked, and gives the caller's word back when the
// scope ends, on every way out. The x87 engine's arithmetic rounds by this word,
// so every F80 operation must run inside a scope; hold one around a whole loop,
// not per element (fldcw is a microcoded instruction).
//
// The two control-word instructions clobber memory, so loads after the
// constructor and stores before the destructor stay on their side of it. Keep
// a loop's operands and results in memory across the scope's ends.
namespace detail {

inline std::uint16_t load_control_word() noexcept {
    std::uint16_t cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw) : : "memory");
    return cw;
}

inline void store_control_word(std::uint16_t cw) noexcept { __asm__ volatile("fldcw %0" : : "m"(cw) : "memory"); }

}  // namespace detail

class FpuScope {
public:
    FpuScope() noexcept : saved_(load()) { store(static_cast<std::uint16_t>((saved_ & ~kMask) | kOurs)); }

    ~FpuScope() {
        // Our masked arithmetic leaves sticky flags (inexact at least); a flag
        // whose exception the caller's word unmasks would fault at the caller's
        // next x87 instruction, so they are cleared before that word returns.
        if ((saved_ & kExceptionMasks) != kExceptionMasks) {
            __asm__ volatile("fnclex" ::: "memory");
        }
        store(saved_);
    }

    FpuScope(const FpuScope&) = delete;
    FpuScope& operator=(const FpuScope&) = delete;

private:
    // Bits 0-5 mask the six exceptions; bits 8-9 are precision control (11 = 64
    // bits); bits 10-11 are rounding control (00 = nearest, ties to even).
    static constexpr std::uint16_t kExceptionMasks = 0x003F;
    static constexpr std::uint16_t kMask = 0x0F3F;
    static constexpr std::uint16_t kOurs = 0x033F;

    static std::uint16_t load() noexcept { return detail::load_control_word(); }
    static void store(std::uint16_t cw) noexcept { detail::store_control_word(cw); }

    std::uint16_t saved_;
};

// Inside an FpuScope: the rounding control (bits 10-11) replaced for a block
// of hardware conversions, the rest of the scope's word kept, and the scope's
// own rounding put back when this ends.
class RoundingOverride {
public:
    enum class Control : std::uint16_t { Nearest = 0x0000, Down = 0x0400, Up = 0x0800, TowardZero = 0x0C00 };

    explicit RoundingOverride(Control rc) noexcept : saved_(detail::load_control_word()) {
        detail::store_control_word(static_cast<std::uint16_t>((saved_ & ~kRoundingBits) | static_cast<std::uint16_t>(rc)));
    }
    ~RoundingOverride() { detail::store_control_word(saved_); }
    RoundingOverride(const RoundingOverride&) = delete;
    RoundingOverride& operator=(const RoundingOverride&) = delete;

private:
    static constexpr std::uint16_t kRoundingBits = 0x0C00;
    std::uint16_t saved_;
};

#endif

}  // namespace rust
