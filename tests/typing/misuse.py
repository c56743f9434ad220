"""Calls that a type checker must reject: each line marked `# rejected`.

Only type-checked, never run.
"""
import numpy as np
from numpy.typing import NDArray

import rust

x = np.array([1, 2], dtype=np.uint64)
xp = np.array([0, 4], dtype=np.uint64)
fp = np.array([0, 10], dtype=np.int64)
fpf = np.array([0.0, 1.0], dtype=np.float64)
f = np.array([5], dtype=np.int64)
ff = np.array([0.5], dtype=np.float64)

rust.forward_int([1, 2], xp, fp)  # rejected: a list, not an array
rust.forward_int(f, xp, fp)  # rejected: int64 positions
rust.forward_int(x, xp, fpf)  # rejected: float64 table in the int function
rust.forward_float(x, xp, fp)  # rejected: int64 table in the float function
rust.inverse_float(ff, f, fpf)  # rejected: int64 tie positions
rust.inverse_int(ff, xp, fp)  # rejected: float64 query in the int function
rust.inverse_float(f, xp, fpf)  # rejected: int64 query in the float function
rust.inverse_int(f, xp, fp, "Nearest")  # rejected: method names are lower case
rust.inverse_float(ff, xp, fpf, method="pad")  # rejected: unknown method
rust.forward_int(x, xp, fp, method="nearest")  # rejected: forward takes no method
rust.forward_int(x, xp)  # rejected: missing fp
positions: NDArray[np.int64] = rust.inverse_int(f, xp, fp)  # rejected: positions are uint64
values: NDArray[np.float64] = rust.forward_int(x, xp, fp)  # rejected: int64 values
rust.PanicException  # rejected: not an attribute of the module
