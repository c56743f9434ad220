"""A million calls on every path of the four functions, each path in turn: the
resident and the virtual memory of the process must not grow by 1 MiB or more
over them, and no reference count of what the calls touch may change (CPython).
Outputs of over 2 MiB, mapped from the kernel rather than taken from the C
allocator, are soaked with fewer calls: each one is a megabyte-sized leak.

    python soak_leaks.py [CALLS]      (default 1000000 per path)

Prints one line per path (calls, growth) and exits non-zero if any path leaks."""
import gc
import os
import sys

import numpy as np
from numpy.lib.stride_tricks import as_strided

import rust

LIMIT = 2**20
CPYTHON = sys.implementation.name == "cpython"

X = np.arange(17, dtype=np.uint64)       # 17 results: a leaked output is 136 bytes a call
XP = np.array([0, 16], dtype=np.uint64)
FP = np.array([-160, 160], dtype=np.int64)
FPF = np.array([-1.0, 1.0])
F = np.arange(-160, 161, 20, dtype=np.int64)
FF = np.linspace(-1.0, 1.0, 17)
FF_BETWEEN = FF[1:-1] + 1 / 64            # between whole positions
STRIDED = np.repeat(X[::-1], 3)[::-3]  # X again, through a stride of -24 bytes
X_OUT = np.array([3, 17], dtype=np.uint64)
XP_UNORDERED = np.array([0, 16, 8], dtype=np.uint64)
FP3 = np.array([-160, 0, 160], dtype=np.int64)
FP_FLAT = np.array([5, 5], dtype=np.int64)
FPF_NAN = np.array([-1.0, np.nan])
FPF_INF = np.array([-1.0, np.inf])
FF_NAN = np.array([0.5, np.nan])
HUGE_X = as_strided(X[:1], shape=(2**40,), strides=(0,))
LARGE_X = as_strided(X[5:6], shape=(300000,), strides=(0,))         # a 2.4 MB output
LARGE_X_OUT = as_strided(X_OUT[1:], shape=(300000,), strides=(0,))
NEAREST = "".join(["near", "est"])  # not interned: its count is its own
SURROGATE = "ffill\udcff"
WRONG_METHOD = "".join(["Near", "est"])


def panic_type():
    try:
        rust.forward_int(X[:0], XP, FP[:1])
    except BaseException as e:  # noqa: B036
        return type(e)


PANIC = panic_type()

# name: (call, the exception it must raise, or None for a result)
PATHS = {
    "forward_int": (lambda: rust.forward_int(X, XP, FP), None),
    "forward_float": (lambda: rust.forward_float(X, XP, FPF), None),
    "inverse_int": (lambda: rust.inverse_int(F, XP, FP, NEAREST), None),
    "inverse_float": (lambda: rust.inverse_float(FF, XP, FPF, method="ffill"), None),
    "strided query": (lambda: rust.forward_int(STRIDED, XP, FP), None),
    "empty query": (lambda: rust.inverse_float(FF[:0], XP, FPF), None),
    "binding": (lambda: rust.forward_int(X, XP, fp=FP, x=X), TypeError),
    "refused array": (lambda: rust.inverse_int(F, XP, FPF), TypeError),
    "method not str": (lambda: rust.inverse_int(F, XP, FP, 1.5), TypeError),
    "method unknown": (lambda: rust.inverse_float(FF, XP, FPF, WRONG_METHOD), ValueError),
    "method unencodable": (lambda: rust.inverse_int(F, XP, FP, SURROGATE), UnicodeEncodeError),
    "x out of bounds": (lambda: rust.forward_int(X_OUT, XP, FP), IndexError),
    "xp not increasing": (lambda: rust.forward_float(X, XP_UNORDERED, FPF[[0, 1, 1]]), ValueError),
    "f out of bounds": (lambda: rust.inverse_int(F * 2, XP, FP), KeyError),
    "f not found": (lambda: rust.inverse_float(FF_BETWEEN, XP, FPF), KeyError),
    "fp not increasing": (lambda: rust.inverse_int(F, XP, FP_FLAT), ValueError),
    "output too large": (lambda: rust.forward_int(HUGE_X, XP, FP), MemoryError),
    "large output": (lambda: rust.forward_int(LARGE_X, XP, FP), None),
    "large output, failure": (lambda: rust.forward_float(LARGE_X_OUT, XP, FPF), IndexError),
    "panic: lengths": (lambda: rust.inverse_int(F, XP, FP3, "bfill"), PANIC),
    "panic: nan or inf": (lambda: rust.inverse_float(FF_NAN, XP, FPF), PANIC),
    "panic: not finite, forward": (lambda: rust.forward_float(X, XP, FPF_NAN), PANIC),
    "panic: not finite, inverse": (lambda: rust.inverse_float(FF, XP, FPF_INF, "nearest"), PANIC),
}

WATCHED = [X, XP, FP, FPF, F, FF, FF_BETWEEN, STRIDED, X_OUT, XP_UNORDERED, FP3, FP_FLAT, FPF_NAN, FPF_INF, FF_NAN,
           HUGE_X, LARGE_X, LARGE_X_OUT, NEAREST, SURROGATE, WRONG_METHOD, PANIC, X.dtype, FP.dtype, FPF.dtype]


# Paths whose calls cost a millisecond: fewer calls.
FEWER = {"large output": 3000, "large output, failure": 3000}


def memory_bytes():
    """Resident and virtual size of the process."""
    with open("/proc/self/statm") as f:
        size, resident = f.read().split()[:2]
    page = os.sysconf("SC_PAGE_SIZE")
    return int(resident) * page, int(size) * page


def runner(call, expected):
    if expected is None:
        def once():
            call()
    else:
        def once():
            try:
                call()
            except expected:
                pass
    return once


def check_outcome(call, expected):
    try:
        r = call()
    except BaseException as e:  # noqa: B036
        assert expected is not None and type(e) is expected, repr(e)
        return
    assert expected is None, "no %s" % expected.__name__
    assert type(r) is np.ndarray


def soak(name, calls):
    call, expected = PATHS[name]
    calls = min(calls, FEWER.get(name, calls))
    check_outcome(call, expected)
    once = runner(call, expected)
    for _ in range(min(calls, 100000)):  # warm-up: free lists, one-time objects
        once()
    gc.collect()
    counts = [sys.getrefcount(o) for o in WATCHED] if CPYTHON else None
    before = memory_bytes()
    for _ in range(calls):
        once()
    gc.collect()
    growth = [a - b for a, b in zip(memory_bytes(), before)]
    changed = []
    if CPYTHON:
        after = [sys.getrefcount(o) for o in WATCHED]
        changed = [repr(WATCHED[i])[:40] for i in range(len(WATCHED)) if after[i] != counts[i]]
    return calls, growth, changed


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
    failures = 0
    for name in PATHS:
        made, (resident, virtual), changed = soak(name, calls)
        bad = resident >= LIMIT or virtual >= LIMIT or changed
        failures += bool(bad)
        print("%-28s %8d calls  growth: resident %9d, virtual %9d bytes%s" % (
            name, made, resident, virtual, "  reference counts changed: %s" % changed if changed else ""))
    print("leak soak: %d paths, %d calls each (the %d large-output paths: %d), %d leaking" % (
        len(PATHS), calls, len(FEWER), min(calls, *FEWER.values()), failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
