"""A short run of the four functions on their success and failure paths, for
memcheck: every kind of argument error, every table failure, every internal
failure, an output too large to allocate, and results of several layouts kept
alive and then dropped."""
import gc

import numpy as np
from numpy.lib.stride_tricks import as_strided

import rust

x = np.arange(0, 41, dtype=np.uint64)
xp = np.array([0, 8, 16, 40], dtype=np.uint64)
fp = np.array([-1000, -3, 77, 2**40], dtype=np.int64)
fpf = np.array([-1e10, -0.3, 7.7, 1e20])
f = np.arange(-1000, 2**40, 2**34, dtype=np.int64)
ff = np.linspace(-1e10, 1e20, 33)
packed = np.zeros(41, dtype=[("pad", "u1", (3,)), ("v", "u8")])
packed["v"] = x
layouts = [x, x[::-1], x[::3], packed["v"], as_strided(x[5:6], shape=(9,), strides=(0,)),
           as_strided(x[5:6], shape=(300000,), strides=(0,))]  # an output mapped from the kernel


def attempt(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except BaseException as e:  # noqa: B036 - the panic type derives from BaseException
        return type(e).__name__


kept = []
for q in layouts:
    kept.append(rust.forward_int(q, xp, fp))
    kept.append(rust.forward_float(q, xp, fpf))
for method in (None, "nearest", "ffill", "bfill"):
    kept.append(attempt(rust.inverse_int, f, xp, fp, method))
    kept.append(attempt(rust.inverse_float, ff, xp, fpf, method=method))
    kept.append(attempt(rust.inverse_float, ff[::-2], xp[::-1], fpf[::-1], method))

failures = [
    (rust.forward_int, (x,), {}),                                   # binding
    (rust.inverse_int, (f, xp, fp, None, None), {}),
    (rust.forward_float, (x, xp), {"fp": fpf, "x": x}),
    (rust.forward_int, ([1, 2], xp, fp), {}),                       # refused arrays
    (rust.forward_int, (x, xp, fpf), {}),
    (rust.inverse_float, (ff.astype(">f8"), xp, fpf), {}),
    (rust.inverse_int, (f, xp, fp, 3), {}),                         # method
    (rust.inverse_int, (f, xp, fp, "Nearest"), {}),
    (rust.inverse_float, (ff, xp, fpf, "ffill\udcff"), {}),
    (rust.forward_int, (x, xp, fp[:3]), {}),                        # lengths
    (rust.forward_int, (x + np.uint64(1), xp, fp), {}),             # table failures
    (rust.forward_float, (x, xp[::-1], fpf), {}),
    (rust.inverse_int, (f + 1, xp, fp), {}),
    (rust.inverse_int, (f, xp, fp[::-1]), {}),
    (rust.inverse_float, (ff * 1e30, xp, fpf, "bfill"), {}),
    (rust.inverse_float, (np.array([0.5, np.nan]), xp, fpf), {}),   # internal failures
    (rust.forward_float, (x, xp, np.array([0.0, np.nan, 1.0, 2.0])), {}),
    (rust.inverse_float, (ff, xp, np.array([-np.inf, 0.0, 1.0, 2.0]), "nearest"), {}),
    (rust.forward_int, (as_strided(x[:1], shape=(2**40,), strides=(0,)), xp, fp), {}),  # too large
]
outcomes = [attempt(call, *args, **kwargs) for call, args, kwargs in failures]
assert all(isinstance(o, str) for o in outcomes), outcomes
print("outcomes:", ", ".join(sorted(set(outcomes))))
print("results kept:", sum(isinstance(k, np.ndarray) for k in kept))
del kept
gc.collect()
