"""Shared helpers for the Python tests of the `rust` module."""
import numpy as np
import pytest

import rust

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)
I64_MAX = 2**63 - 1

# Every accepted value of `method`, in the order of the fill kinds.
METHODS = (None, "nearest", "ffill", "bfill")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running checks (deselect with -m 'not slow')")


def array_error(param, type_name):
    """The message of an argument refused as an array."""
    return "argument '%s': '%s' object cannot be converted to 'PyArray<T, D>'" % (param, type_name)


def u64(values):
    """A contiguous uint64 array of positions."""
    return np.array(list(values), dtype=np.uint64)


def i64(values):
    """A contiguous int64 array of values."""
    return np.array(list(values), dtype=np.int64)


def panic_exception_type():
    """The PanicException type. It is not an attribute of the module, so it is
    taken from a failure that always raises it: tie arrays of different lengths."""
    try:
        rust.forward_int(u64([]), u64([0]), i64([]))
    except BaseException as e:  # noqa: B036 - it derives from BaseException on purpose
        return type(e)
    raise AssertionError("tie arrays of different lengths did not raise")


@pytest.fixture(scope="session")
def PanicException():
    return panic_exception_type()


def raises_exactly(exc_type, message, func, *args, **kwargs):
    """Call func and check that it raises exactly exc_type (not a subclass) with
    the message as its only argument."""
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type, (type(info.value), info.value)
    assert info.value.args == (message,)
    return info.value
