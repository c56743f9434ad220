"""Helpers shared by the float64 tests: arrays from bit patterns, and the outcome
of a call as plain data (result bits, or the exception's qualified type and
arguments), so that results compare bit for bit, NaN payloads and zero signs
included."""
import struct

import numpy as np

import reference

PANIC = "pyo3_runtime.PanicException"


def qualified(exc_type):
    return exc_type.__module__ + "." + exc_type.__qualname__


def as_outcome(failure):
    """A reference failure, (type, message), as outcome() reports it."""
    exc_type, message = failure
    return (qualified(exc_type), (message,))


OUT_X = as_outcome(reference.OUT_X)
OUT_F = as_outcome(reference.OUT_F)
NOT_FOUND = as_outcome(reference.NOT_FOUND)
XP_ORDER = as_outcome(reference.XP_ORDER)
FP_ORDER = as_outcome(reference.FP_ORDER)
NAN_OR_INF = (PANIC, ("nan or inf encountered",))
NOT_FINITE = (PANIC, ("assertion failed: value.is_finite()",))

NAN = float("nan")
INF = float("inf")
F64_MAX = 1.7976931348623157e308
F64_MIN_NORMAL = 2.2250738585072014e-308
F64_TINY = 5e-324  # 2**-1074, the smallest subnormal


def bits(value):
    """The binary64 bit pattern of a Python float (not for NaN payloads)."""
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


def f64(values):
    """A contiguous float64 array of Python floats."""
    return np.array(list(values), dtype=np.float64)


def f64_bits(patterns):
    """A float64 array holding exactly these bit patterns; no Python float is
    made on the way, so signalling NaNs and payloads survive."""
    return np.array(list(patterns), dtype=np.uint64).view(np.float64)


def outcome(call, *args):
    """The result as a list of 64-bit patterns, or (qualified type, args) of the
    exception raised. The panic type must stay out of reach of `except Exception`."""
    try:
        result = call(*args)
    except BaseException as e:  # noqa: B036 - the panic type derives from BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        name = qualified(type(e))
        if name == PANIC:
            assert not isinstance(e, Exception)
        return (name, e.args)
    assert type(result) is np.ndarray and result.ndim == 1, (type(result), result.shape)
    assert result.dtype in (np.float64, np.uint64), result.dtype
    return result.view(np.uint64).tolist()
