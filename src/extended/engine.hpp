// The one place that picks the arithmetic engine behind F80, from the build's macro.
#pragma once

// RUST_ENGINE_MPFR=1 or RUST_ENGINE_SOFT=1 names an engine; neither means x87.
// Exactly one of RUST_F80_ENGINE_X87, _MPFR and _SOFT is defined to 1 below,
// for the code that must be left out on the other engines (the x87 control
// word, the hardware's stores); everything else asks F80Engine.
#if defined(RUST_ENGINE_MPFR) && RUST_ENGINE_MPFR && defined(RUST_ENGINE_SOFT) && RUST_ENGINE_SOFT
#error "RUST_ENGINE_MPFR and RUST_ENGINE_SOFT both set: pick one engine"
#endif

#if defined(RUST_ENGINE_MPFR) && RUST_ENGINE_MPFR
#define RUST_F80_ENGINE_MPFR 1
#include "extended/f80_mpfr.hpp"
#elif defined(RUST_ENGINE_SOFT) && RUST_ENGINE_SOFT
#define RUST_F80_ENGINE_SOFT 1
#include "extended/f80_soft.hpp"
#else
#define RUST_F80_ENGINE_X87 1
#include "extended/f80_x87.hpp"
#endif

namespace rust::detail {

#if RUST_F80_ENGINE_MPFR
using F80Engine = MpfrEngine;
#elif RUST_F80_ENGINE_SOFT
using F80Engine = SoftEngine;
#else
using F80Engine = X87Engine;
#endif

}  // namespace rust::detail
