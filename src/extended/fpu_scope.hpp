// The x87 control word that the extended arithmetic needs, held for one call.
#pragma once

#include <cstdint>

#include "extended/engine.hpp"

namespace rust {

#if !RUST_F80_ENGINE_X87

// The MPFR and soft engines round by their own rule and read no floating-point
// state. The empty constructor body keeps a held scope from counting as an
// unused variable.
class FpuScope {
public:
    FpuScope() noexcept {}
    FpuScope(const FpuScope&) = delete;
    FpuScope& operator=(const FpuScope&) = delete;
};

#else

// Sets the x87 control word to the engine's (X87Engine::kNearestWord: 64-bit
// precision, round to nearest with ties to even, every exception masked), and
// gives the caller's word back when the scope ends, on every way out. The x87
// engine's arithmetic rounds by this word, so every F80 operation must run
// inside a scope; hold one around a whole loop, not per element (it saves and
// restores the caller's word, and fldcw is a microcoded instruction).
//
// The two control-word instructions clobber memory, so loads after the
// constructor and stores before the destructor stay on their side of it. Keep
// a loop's operands and results in memory across the scope's ends.
class FpuScope {
public:
    FpuScope() noexcept : saved_(load()) {
        store(detail::X87Engine::kStored<detail::X87Engine::kNearestWord>);
        // Raised for the whole call (see X87Engine::raise_inexact); what
        // clears it to watch a block of steps raises it again after.
        detail::X87Engine::raise_inexact();
    }

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
    // Bits 0-5 mask the six exceptions.
    static constexpr std::uint16_t kExceptionMasks = 0x003F;

    static std::uint16_t load() noexcept {
        std::uint16_t cw;
        __asm__ volatile("fnstcw %0" : "=m"(cw) : : "memory");
        return cw;
    }

    // By reference: the engine's word is read from where it is kept (see
    // X87Engine::kStored).
    static void store(const std::uint16_t& cw) noexcept { __asm__ volatile("fldcw %0" : : "m"(cw) : "memory"); }

    std::uint16_t saved_;
};

#endif

}  // namespace rust
