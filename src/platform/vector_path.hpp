// The instruction-set path a call runs on: the portable one, or AVX-512 lanes.
//
// Chosen once per call, here, and carried down as a type, so that the code
// below it (the walk, its routes, the segments' runs) is compiled once for
// each path, and the portable path holds no test for the other.
#pragma once

#include <concepts>

#include "platform/cpu.hpp"

// A build may leave the vector path out (RUST_VECTOR_DISABLED), so that the
// portable one can be measured and tested on a CPU that has AVX-512.
#if defined(__x86_64__) && !(defined(RUST_VECTOR_DISABLED) && RUST_VECTOR_DISABLED)
#include <immintrin.h>
#define RUST_HAVE_LANES 1
#endif

// A test build may run the lanes through plain C++ stand-ins for the AVX-512
// instructions (RUST_EMULATE_LANES), so that the vector path is tested on
// every CPU, with or without AVX-512 (RUST_LANES_EMULATED). The code of the
// lanes then needs no instruction set of its own.
#if defined(RUST_HAVE_LANES) && defined(RUST_EMULATE_LANES) && RUST_EMULATE_LANES
#define RUST_LANES_EMULATED 1
#endif

#if defined(RUST_LANES_EMULATED)
#include "platform/emulated_lanes.hpp"
#define RUST_LANES_TARGET(features)
#else
// The instruction sets a function of the lanes is compiled for, called only
// on the lane path, where the CPU has them.
#define RUST_LANES_TARGET(features) gnu::target(features)
#endif

namespace rust {

// Every CPU's path, always built: it gives the results the lanes give.
struct PortablePath {
    static constexpr bool kLanes = false;
};

// The path of CPUs with AVX-512 F and DQ, in builds that have it
// (RUST_HAVE_LANES): a call on it takes the portable steps too, wherever the
// lanes do not fit.
struct LanePath {
    static constexpr bool kLanes = true;
};

template <class P>
concept VectorPath = std::same_as<P, PortablePath> || std::same_as<P, LanePath>;

namespace detail {

// Whether the CPU has every vector instruction the lanes use: true wherever
// they are emulated.
inline bool cpu_has_lanes() noexcept {
#if defined(RUST_LANES_EMULATED)
    return true;
#elif defined(RUST_HAVE_LANES)
    return platform::cpu_has_avx512_f_dq();
#else
    return false;
#endif
}

// Set once per process from the CPU's features.
inline bool& lanes_switch() noexcept {
    static bool on = cpu_has_lanes();
    return on;
}

}  // namespace detail

// Turns the vector path off (or back on where the CPU has it), so that tests
// can run both paths on one machine. Not thread-safe; tests only.
inline void enable_lanes(bool on) noexcept { detail::lanes_switch() = on && detail::cpu_has_lanes(); }

// use(path) for the path this call runs on: the one place that asks.
template <class Use>
decltype(auto) with_vector_path(Use&& use) {
#if defined(RUST_HAVE_LANES)
    if (detail::lanes_switch()) {
        return use(LanePath{});
    }
#endif
    return use(PortablePath{});
}

}  // namespace rust
