// Which optional instruction sets the running CPU offers, asked once by the code that dispatches on them.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#include <intrin.h>
#endif

namespace rust::platform {

// Whether the CPU offers AVX-512 Foundation (512-bit integer and binary64
// lanes, mask registers) and DQ (64-bit integer multiplies and conversions in
// those lanes), and the operating system saves their registers. False on other
// CPUs. One question for the pair: the callers need both.
inline bool cpu_has_avx512_f_dq() noexcept {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    // The compiler's runtime reads CPUID and the OS's register state once.
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0;
#elif defined(_MSC_VER) && defined(_M_X64)
    int regs[4];
    __cpuid(regs, 1);
    // OSXSAVE (leaf 1, ecx bit 27): XGETBV is usable and says which register
    // files the OS saves; AVX-512 needs SSE, AVX, opmask and both ZMM halves.
    if ((regs[2] & (1 << 27)) == 0 || (_xgetbv(0) & 0xE6) != 0xE6) {
        return false;
    }
    __cpuid(regs, 0);
    if (regs[0] < 7) {
        return false;
    }
    __cpuidex(regs, 7, 0);
    constexpr int kF = 1 << 16, kDQ = 1 << 17;  // leaf 7, ebx
    return (regs[1] & (kF | kDQ)) == (kF | kDQ);
#else
    return false;
#endif
}

}  // namespace rust::platform
