// Interpolation on one segment of a float64 table: the segments this build has.
//
// Each evaluates the defined steps in F80, on the build's engine.
#pragma once

#include "extended/f80.hpp"

// Each arithmetic step rounds to 64 significant bits on its own, so the
// steps, their grouping and their order are the result's definition: an
// algebraically equal formula gives different bits. Everything here must run
// inside an FpuScope (see F80). The steps that depend only on the segment are
// done once per run of queries; each is the same operation on the same
// operands whenever it is done, so the result does not depend on when.
#if RUST_F80_ENGINE_SOFT
#include "schemes/float_soft.hpp"
#else
#include "schemes/float_f80.hpp"
#endif
#include "schemes/float_steps.hpp"
