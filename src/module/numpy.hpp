// NumPy's C array API, reached through a table loaded on first use.
#pragma once

#include "module/python.hpp"

// Every translation unit shares one API table pointer, filled by numpy_api().
#define PY_ARRAY_UNIQUE_SYMBOL rust_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The few functions used exist in NumPy 1.x and 2.x alike, at the same indices.
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#ifndef RUST_NUMPY_DEFINES_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/ndarrayobject.h>

namespace rust::np {

// Makes NumPy's array API table usable, loading it on the first call in the
// process: the core module is chosen by NumPy's major version ("numpy._core"
// from 2 on, "numpy.core" before), and its multiarray module's "_ARRAY_API"
// capsule gives the table. Throws Panic "Failed to access NumPy array API
// capsule: ..." when that fails; nothing is kept then, so the next call retries.
void load_api();

}  // namespace rust::np
