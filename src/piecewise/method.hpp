// Transitional: the fill method now lives in schemes/method.hpp and the failure
// kinds in piecewise/interp_error.hpp.
#pragma once

#include "piecewise/interp_error.hpp"
#include "schemes/method.hpp"
