"""The caller's floating-point environment survives calls that fail inside the
float arithmetic, where the module has switched the x87 control word: every way
out gives the caller's word back, and the SSE control register is untouched.
(Calls that succeed under a changed rounding mode or precision are checked in
test_float.py.)"""
import ctypes
import ctypes.util
import platform

import numpy as np
import pytest

import rust
from float_helpers import outcome

if platform.machine().lower() not in ("x86_64", "amd64"):
    pytest.skip("the x87 control word exists on x86-64 only", allow_module_level=True)

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))


class FEnv(ctypes.Structure):
    # glibc's fenv_t on x86-64: the x87 environment (28 bytes) and MXCSR.
    _fields_ = [("control", ctypes.c_uint16), ("rest", ctypes.c_uint16 * 13), ("mxcsr", ctypes.c_uint32)]


def u64(v):
    return np.array(v, dtype=np.uint64)


def f64(v):
    return np.array(v, dtype=np.float64)


NAN, INF = float("nan"), float("inf")
XP, FP = u64([0, 10, 20]), f64([0.0, 1.0, 3.0])

# Calls that end inside the element loop, each in its own way.
FAILING = {
    "forward, non-finite end value": (rust.forward_float, u64([1, 5]), XP, f64([0.0, NAN, 1.0])),
    "forward, out of bounds": (rust.forward_float, u64([5, 21]), XP, FP),
    "forward, xp not increasing": (rust.forward_float, u64([5]), u64([0, 10, 5]), FP),
    "inverse, NaN query": (rust.inverse_float, f64([0.5, NAN]), XP, FP, "nearest"),
    "inverse, infinite end value": (rust.inverse_float, f64([0.5]), XP, f64([0.0, INF, 5.0]), "ffill"),
    "inverse, not found": (rust.inverse_float, f64([0.5, 0.25]), XP, FP),
    "inverse, out of bounds": (rust.inverse_float, f64([0.5, 4.0]), XP, FP, "bfill"),
    "inverse, fp not increasing": (rust.inverse_float, f64([0.5]), XP, f64([0.0, 1.0, 1.0])),
}

# Control words of a caller (every exception masked): rounding up, down or
# toward zero, at 64-, 53- or 24-bit precision.
CONTROL_WORDS = {"up": 0x0B7F, "down, 53-bit": 0x067F, "toward zero, 24-bit": 0x0C7F}


def environment():
    env = FEnv()
    assert LIBM.fegetenv(ctypes.byref(env)) == 0
    return env


@pytest.mark.parametrize("word", list(CONTROL_WORDS.values()), ids=list(CONTROL_WORDS))
@pytest.mark.parametrize("case", list(FAILING))
def test_failing_call_gives_the_callers_word_back(case, word):
    call = FAILING[case]
    expected = outcome(*call)
    assert isinstance(expected, tuple), "the call was meant to fail"
    saved = environment()
    changed = environment()
    changed.control = word
    changed.mxcsr = (saved.mxcsr & ~0x6000) | 0x4000  # SSE rounding: up
    assert LIBM.fesetenv(ctypes.byref(changed)) == 0
    try:
        got = outcome(*call)
        seen = environment()
    finally:
        LIBM.fesetenv(ctypes.byref(saved))
    assert got == expected
    assert (hex(seen.control), hex(seen.mxcsr & 0xFFC0)) == (hex(word), hex(changed.mxcsr & 0xFFC0))
