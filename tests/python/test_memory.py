"""Result memory as the interpreter sees it: tracemalloc counts a result's buffer
while the array lives and nothing once it is gone, whether the call succeeded or
failed; PyPy's collector frees results as often as NumPy arrays of the same size."""
import os
import platform
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import rust
from conftest import I64_MAX, I64_MIN, U64_MAX, i64, panic_exception_type, u64

CPYTHON = platform.python_implementation() == "CPython"
if CPYTHON:
    import tracemalloc  # PyPy has none: there the memory is pressure on its collector
cpython_only = pytest.mark.skipif(not CPYTHON, reason="tracemalloc traces CPython's allocations only")

N = 1 << 20  # results of 8 MiB, far above anything else a call allocates
XP = u64([0, 2**40, U64_MAX])
FP_INT = i64([I64_MIN, 0, I64_MAX])
FP_FLOAT = np.array([-1.0, 0.0, 1.0])
SHORT = u64([0, 10])

# Queries are made before tracing starts, so the only block of N * 8 bytes traced
# during a call is the call's own output.
X = np.arange(N, dtype=np.uint64)
F_INT = rust.forward_int(X, XP, FP_INT)
F_FLOAT = rust.forward_float(X, XP, FP_FLOAT)
F_NAN = F_FLOAT.copy()
F_NAN[-1] = np.nan
# N elements over a single stored one: no memory for the output can be had.
X_HUGE = np.broadcast_to(np.uint64(0), (2**59,))

SUCCEEDING = {
    "forward_int":   lambda: rust.forward_int(X, XP, FP_INT),
    "forward_float": lambda: rust.forward_float(X, XP, FP_FLOAT),
    "inverse_int":   lambda: rust.inverse_int(F_INT, XP, FP_INT, "nearest"),
    "inverse_float": lambda: rust.inverse_float(F_FLOAT, XP, FP_FLOAT, "ffill"),
}

# (call, exception type, whether the output buffer was made before the failure)
FAILING = {
    # Elements past the table fail in the loop, after the buffer was made.
    "index_error":  (lambda: rust.forward_int(X, SHORT, i64([0, 10])),           IndexError, True),
    "key_error":    (lambda: rust.inverse_int(F_INT, SHORT, i64([0, 10])),       KeyError, True),
    # The panic of the last element, with every earlier one written.
    "panic":        (lambda: rust.inverse_float(F_NAN, XP, FP_FLOAT, "bfill"),   panic_exception_type(), True),
    "memory_error": (lambda: rust.forward_int(X_HUGE, XP, FP_INT),               MemoryError, False),
}


@pytest.fixture
def tracing():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def traced():
    return tracemalloc.get_traced_memory()[0]


def outputs_traced():
    return [t for t in tracemalloc.take_snapshot().traces if t.size == N * 8]


@cpython_only
@pytest.mark.parametrize("call", SUCCEEDING.values(), ids=SUCCEEDING.keys())
def test_tracemalloc_counts_a_result_while_it_lives(call, tracing):
    before = traced()
    result = call()
    assert traced() - before >= result.nbytes
    [trace] = outputs_traced()
    # Filed under the Python line that made it, as NumPy's own arrays are.
    assert trace.traceback[0].filename == __file__
    # The buffer lives as long as any array over it.
    view = result[1::2]
    del result
    assert len(outputs_traced()) == 1
    del view
    assert outputs_traced() == []
    assert traced() - before < N


@cpython_only
@pytest.mark.parametrize("elements", [(32 << 20) // 8, (32 << 20) // 8 + 1], ids=["32 MiB", "32 MiB + 8"])
def test_large_results_mapped_on_their_own_are_traced_too(elements, tracing):
    # From 32 MiB on, results get memory of their own from the kernel, released
    # by another route than the allocator's.
    x = np.broadcast_to(np.uint64(5), (elements,))
    result = rust.forward_int(x, XP, FP_INT)
    assert [t.size for t in tracemalloc.take_snapshot().traces if t.size >= elements * 8] == [elements * 8]
    assert result[0] == result[-1] == rust.forward_int(u64([5]), XP, FP_INT)[0]
    del result
    assert [t for t in tracemalloc.take_snapshot().traces if t.size >= elements * 8] == []


@cpython_only
@pytest.mark.parametrize("call, exc_type, made", FAILING.values(), ids=FAILING.keys())
def test_a_failing_call_leaves_nothing_traced(call, exc_type, made, tracing):
    before = traced()
    tracemalloc.reset_peak()
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type
    # The buffer was counted while the call ran, and released before it returned.
    assert (tracemalloc.get_traced_memory()[1] - before >= N * 8) == made
    assert outputs_traced() == []
    assert traced() - before < N


# The two loops of the PyPy test, in an interpreter of its own: resident memory
# then grows from a heap that no earlier test left freed blocks in, which the
# first loop would reuse and the second outgrow. Prints each loop's peak growth.
PEAKS = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[2])
    import numpy as np
    import rust
    from resident import peak_growth

    calls = int(sys.argv[1])
    x = np.arange(32768, dtype=np.uint64)
    a = x.view(np.int64)
    xp = np.array([0, 2**40, 2**64 - 1], np.uint64)
    fp = np.array([-2**63, 0, 2**63 - 1], np.int64)
    print(peak_growth(lambda: np.add(a, a), calls), peak_growth(lambda: rust.forward_int(x, xp, fp), calls))
""")


@pytest.mark.skipif(CPYTHON, reason="CPython frees each result when its last reference goes")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="resident memory is read from /proc")
def test_pypy_collects_results_as_often_as_numpy_arrays():
    # PyPy frees arrays only when its collector runs, which it paces by the memory
    # reported to it: results that go unreported are freed only as often as the
    # small objects around them fill the nursery, and pile up meanwhile. How far
    # memory grows before a collection depends on how PyPy sizes its heap and
    # nursery on the machine, so the results are held to NumPy's own arrays of
    # the same size in the same interpreter: reported alike, paced alike.
    calls, size = 4000, 32768 * 8
    here = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.run([sys.executable, "-c", PEAKS, str(calls), here], capture_output=True, text=True, check=True)
    numpy_peak, rust_peak = map(int, run.stdout.split())
    mib = 1 << 20
    # NumPy's loop is collected at all: far below what 4,000 arrays would hold.
    assert numpy_peak < calls * size // 4, numpy_peak / mib
    # Collections come when the memory reported since the last one passes a share
    # of the heap, which drifts by a few MiB between loops; unreported results
    # double the peak at least.
    assert rust_peak < numpy_peak * 3 // 2 + 4 * mib, (rust_peak / mib, numpy_peak / mib)
