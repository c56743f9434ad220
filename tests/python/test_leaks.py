"""Nothing of a call outlives it: resident memory over a million calls on each
path, reference counts of what a call touches, and a process without NumPy."""
import gc
import os
import platform
import subprocess
import sys
import textwrap

import pytest

import rust
from conftest import i64, panic_exception_type, u64
from resident import resident_bytes

CPYTHON = platform.python_implementation() == "CPython"

X = u64(range(0, 17))          # 17 results per call: a leaked buffer is 136 bytes
XP = u64([0, 16])
FP = i64([-100, 100])
F = i64(range(-80, 81, 10))    # values between whole positions: "f not found" without a method
X_OUT = u64([3, 17])
FP_LONG = i64([0, 1, 2])
METHOD = "".join(["near", "est"])  # not interned: its count is its own


PANIC = panic_exception_type()

# Each path is one call that succeeds, or that raises the one type expected.
PATHS = {
    "forward_ok":          (lambda: rust.forward_int(X, XP, FP),              ()),
    "inverse_ok":          (lambda: rust.inverse_int(F, XP, FP, METHOD),      ()),
    "empty_ok":            (lambda: rust.inverse_int(F[:0], XP, FP),          ()),
    "forward_index_error": (lambda: rust.forward_int(X_OUT, XP, FP),          IndexError),
    "inverse_key_error":   (lambda: rust.inverse_int(F, XP, FP),              KeyError),
    "refused_array":       (lambda: rust.forward_int(X, XP, XP),              TypeError),
    "bad_method":          (lambda: rust.inverse_int(F, XP, FP, "Nearest"),   ValueError),
    "panic":               (lambda: rust.forward_int(X, XP, FP_LONG),         PANIC),
}

# A million calls on the three main paths; fewer on the others, still enough to
# show a leak of a dozen bytes per call.
CALLS = {"forward_ok": 1000000, "forward_index_error": 1000000, "panic": 1000000}


def path(name):
    call, expected = PATHS[name]

    def one():
        try:
            call()
        except expected:
            pass

    return one


# CPython frees each result when its last reference goes; PyPy frees objects made
# by C code only at a collection, so there the calls run in batches between
# collections, lest its heap grow with garbage that is not yet freed.
BATCH = 1000000 if CPYTHON else 25000


def run(one, calls):
    while calls > 0:
        n = min(BATCH, calls)
        for _ in range(n):
            one()
        gc.collect()
        calls -= n


@pytest.mark.slow
@pytest.mark.parametrize("name", PATHS)
def test_a_million_calls_keep_memory_flat(name):
    one = path(name)
    run(one, 100000)  # warm-up: caches, free lists, the one-time objects
    before = resident_bytes()
    run(one, CALLS.get(name, 300000))
    growth = resident_bytes() - before
    assert growth < 4 * 2**20, "resident memory grew by %d bytes" % growth


@pytest.mark.skipif(not CPYTHON, reason="reference counts are exact on CPython only")
@pytest.mark.parametrize("name", PATHS)
def test_calls_return_every_reference(name):
    one = path(name)
    watched = [X, XP, FP, F, X_OUT, FP_LONG, METHOD, PANIC, type(rust.forward_int(X, XP, FP).base),
               X.dtype, FP.dtype]  # the built-in descriptors are shared singletons
    one()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(1000):
        one()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.skipif(not CPYTHON, reason="reference counts are exact on CPython only")
def test_result_holds_no_reference_to_inputs():
    before = [sys.getrefcount(o) for o in (X, XP, FP)]
    results = [rust.forward_int(X, XP, FP) for _ in range(100)]
    assert [sys.getrefcount(o) for o in (X, XP, FP)] == before
    assert len(results) == 100


# ---------------------------------------------------------------------------
# A process where NumPy cannot be imported

HIDDEN_NUMPY = textwrap.dedent(
    r"""
    import sys

    class HideNumpy:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise ImportError("numpy is hidden")
            return None

    hider = HideNumpy()
    sys.meta_path.insert(0, hider)

    import rust
    assert "numpy" not in sys.modules
    assert rust.__all__ == ["forward_int", "forward_float", "inverse_int", "inverse_float"]

    def panic_message(call):
        try:
            call()
        except Exception as e:
            raise AssertionError("ordinary exception %r" % (e,))
        except BaseException as e:
            assert type(e).__module__ + "." + type(e).__qualname__ == "pyo3_runtime.PanicException"
            assert len(e.args) == 1
            return e.args[0]
        raise AssertionError("no failure")

    # Binding comes first and needs no NumPy.
    try:
        rust.forward_int([1])
    except TypeError as e:
        assert e.args == ("forward_int() missing 2 required positional arguments: 'xp' and 'fp'",)

    # Every call retries the import, and fails the same way.
    for call in (lambda: rust.forward_int([1], [0, 2], [0, 2]),
                 lambda: rust.inverse_int([1], [0, 2], [0, 2], "nearest"),
                 lambda: rust.forward_int(1, 2, 3)):
        message = panic_message(call)
        assert message.startswith("Failed to access NumPy array API capsule: "), message

    sys.meta_path.remove(hider)
    import numpy as np

    x = np.array([1, 3], dtype=np.uint64)
    xp = np.array([0, 4], dtype=np.uint64)
    fp = np.array([0, 10], dtype=np.int64)
    assert rust.forward_int(x, xp, fp).tolist() == [2, 8]
    assert rust.inverse_int(np.array([5], dtype=np.int64), xp, fp).tolist() == [2]
    try:
        rust.forward_int([1], xp, fp)
    except TypeError as e:
        assert "'list'" in e.args[0], e.args
    print("done")
    """
)


def test_import_and_first_calls_without_numpy():
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(rust.__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    proc = subprocess.run([sys.executable, "-c", HIDDEN_NUMPY], env=env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "done"
