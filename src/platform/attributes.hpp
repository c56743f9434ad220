// Function attributes the optimiser needs, spelled for each compiler family.
#pragma once

// GCC and clang (clang-cl included) take the GNU spellings; MSVC has its own
// for noinline and forced inlining, and nothing for cold, which is only a
// layout hint, so it is left out there rather than warned about.
#if defined(__GNUC__) || defined(__clang__)
#define RUST_NOINLINE [[gnu::noinline]]
#define RUST_COLD [[gnu::cold]]
#define RUST_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define RUST_NOINLINE __declspec(noinline)
#define RUST_COLD
#define RUST_ALWAYS_INLINE __forceinline
#else
#define RUST_NOINLINE
#define RUST_COLD
#define RUST_ALWAYS_INLINE inline
#endif
