// Hints to the optimiser and the memory system that change no result: unreachable paths and prefetches.
#pragma once

#include <exception>

#include "platform/attributes.hpp"

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace rust::platform {

// Tells the optimiser that control never gets here; reaching it is undefined
// behaviour, so callers state only what their own checks have made impossible.
[[noreturn]] RUST_ALWAYS_INLINE void unreachable() noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_unreachable();
#elif defined(_MSC_VER)
    __assume(false);
#else
    std::terminate();
#endif
}

// Starts loading the cache line of p for reading, to stay in all cache levels;
// a no-op where the compiler offers no prefetch.
RUST_ALWAYS_INLINE void prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
    (void)p;
#endif
}

}  // namespace rust::platform
