"""Chunked evaluation with dask.array.map_blocks: the same bits as one call, and
the same exception when a chunk fails."""
import numpy as np
import pytest

import rust
from conftest import I64_MAX, I64_MIN, U64_MAX, panic_exception_type

da = pytest.importorskip("dask.array", reason="dask is not installed in this environment")

# Uneven chunks, including a chunk of one element, so that chunk edges fall
# inside segments and on tie points.
CHUNKS = ((7, 1, 250, 42, 300),)
N = sum(CHUNKS[0])

XP = np.array([0, 10, 1_000, 1_003, 2**40, U64_MAX], dtype=np.uint64)
FP_INT = np.array([I64_MIN, -7, 0, 1_000_000_007, 2**62, I64_MAX], dtype=np.int64)
FP_FLOAT = np.array([-1e300, -0.1, 0.0, 3.3, 1e15, 2.5e300], dtype=np.float64)


def mapped(func, query, *args, **kwargs):
    dtype = np.int64 if func is rust.forward_int else (
        np.float64 if func is rust.forward_float else np.uint64)
    return da.from_array(query, chunks=CHUNKS).map_blocks(func, *args, dtype=dtype, **kwargs)


def chunked(func, query, *args, **kwargs):
    return mapped(func, query, *args, **kwargs).compute(scheduler="threads", num_workers=4)


def positions(rng):
    """Positions inside the table: tie points, their neighbours, random ones."""
    picks = [XP, XP[1:] - 1, XP[:-1] + 1,
             rng.integers(0, U64_MAX, N, dtype=np.uint64, endpoint=True),
             rng.integers(0, 2_000, N, dtype=np.uint64)]
    return rng.permutation(np.concatenate(picks))[:N]


def assert_same_bits(chunk_result, whole):
    assert chunk_result.dtype == whole.dtype
    assert chunk_result.tobytes() == whole.tobytes()


@pytest.mark.parametrize("func, fp", [(rust.forward_int, FP_INT),
                                      (rust.forward_float, FP_FLOAT)])
def test_forward_chunks_match_one_call(func, fp):
    x = positions(np.random.default_rng(1))
    whole = func(x, XP, fp)
    assert_same_bits(chunked(func, x, xp=XP, fp=fp), whole)
    # The table may also travel as positional arguments.
    assert_same_bits(chunked(func, x, XP, fp), whole)


@pytest.mark.parametrize("method", ["nearest", "ffill", "bfill"])
@pytest.mark.parametrize("func, forward, fp", [
    (rust.inverse_int, rust.forward_int, FP_INT),
    (rust.inverse_float, rust.forward_float, FP_FLOAT),
])
def test_inverse_chunks_match_one_call(func, forward, fp, method):
    rng = np.random.default_rng(2)
    # Values of positions (exact and rounded ones) and arbitrary values in range.
    values = forward(positions(rng), XP, fp)
    if fp.dtype == np.int64:
        extra = rng.integers(I64_MIN, I64_MAX, N, dtype=np.int64, endpoint=True)
    else:
        extra = rng.uniform(-2.0, 4.0, N) * 10.0 ** rng.integers(-3, 300, N)
    f = rng.permutation(np.concatenate([values, values + 1, extra]))[:N].astype(fp.dtype)
    f = np.clip(f, fp[0], fp[-1])
    whole = func(f, XP, fp, method)
    assert_same_bits(chunked(func, f, xp=XP, fp=fp, method=method), whole)


def failing_cases():
    """(function, query, keyword arguments) whose failure lies in a late chunk."""
    x = np.zeros(N, dtype=np.uint64)
    f_int = np.zeros(N, dtype=np.int64)
    f_float = np.zeros(N, dtype=np.float64)
    late = N - 5  # in the last chunk; the earlier chunks all succeed
    x_out = x.copy()
    x_out[late] = 11
    f_out = f_int.copy()
    f_out[late] = 11
    f_between = f_int.copy()
    f_between[late] = 1
    f_nan = f_float.copy()
    f_nan[late] = np.nan
    short = np.array([0, 10], dtype=np.uint64)
    return [
        (rust.forward_int, x_out, dict(xp=short, fp=np.array([0, 10], dtype=np.int64)),
         IndexError, "x out of bounds"),
        (rust.inverse_int, f_out, dict(xp=short, fp=np.array([0, 10], dtype=np.int64)),
         KeyError, "f out of bounds"),
        (rust.inverse_int, f_between, dict(xp=short, fp=np.array([0, 4], dtype=np.int64)),
         KeyError, "f not found"),
        (rust.forward_float, x, dict(xp=np.array([5, 0], dtype=np.uint64),
                                     fp=np.array([0.0, 1.0])),
         ValueError, "xp must be strictly increasing"),
        (rust.inverse_float, f_nan, dict(xp=short, fp=np.array([0.0, 1.0]), method="bfill"),
         panic_exception_type(), "nan or inf encountered"),
    ]


@pytest.mark.parametrize("func, query, kwargs, exc_type, message", failing_cases(),
                         ids=lambda v: getattr(v, "__name__", None))
def test_a_failing_chunk_raises_the_same_exception(func, query, kwargs, exc_type, message):
    with pytest.raises(BaseException) as direct:
        func(query, **kwargs)
    with pytest.raises(BaseException) as via_dask:
        chunked(func, query, **kwargs)
    assert type(direct.value) is exc_type
    assert type(via_dask.value) is exc_type
    assert via_dask.value.args == direct.value.args == (message,)


# The same maps on a cluster of two worker processes: tables and chunks travel
# pickled, results and exceptions come back pickled.
@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed", reason="distributed is not installed in this environment")
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                       host="127.0.0.1", dashboard_address=None)
    client = distributed.Client(cluster, set_as_default=False)
    yield client
    client.close()
    cluster.close()


@pytest.mark.parametrize("func, fp, method", [
    (rust.forward_int, FP_INT, None),
    (rust.forward_float, FP_FLOAT, None),
    (rust.inverse_int, FP_INT, "nearest"),
    (rust.inverse_float, FP_FLOAT, "bfill"),
], ids=lambda v: getattr(v, "__name__", None))
def test_cluster_chunks_match_one_call(client, func, fp, method):
    query = positions(np.random.default_rng(3))
    kwargs = dict(xp=XP, fp=fp)
    if method is not None:
        forward = rust.forward_int if fp.dtype == np.int64 else rust.forward_float
        query = forward(query, XP, fp)
        kwargs["method"] = method
    whole = func(query, **kwargs)
    assert_same_bits(mapped(func, query, **kwargs).compute(scheduler=client), whole)


@pytest.mark.parametrize("func, query, kwargs, exc_type, message", failing_cases()[:-1],
                         ids=lambda v: getattr(v, "__name__", None))
def test_a_failing_chunk_on_the_cluster_raises_the_same_exception(client, func, query, kwargs,
                                                                  exc_type, message):
    with pytest.raises(BaseException) as on_cluster:
        mapped(func, query, **kwargs).compute(scheduler=client)
    assert type(on_cluster.value) is exc_type
    assert on_cluster.value.args == (message,)


def panic_from_cluster(client):
    func, query, kwargs, exc_type, message = failing_cases()[-1]
    # Fetched as the future's exception, not raised by compute(): the client
    # raises a failed result inside its event loop, where an exception that is
    # not an Exception escapes the loop, and compute() then never returns.
    future = client.compute(mapped(func, query, **kwargs))
    arrived = future.exception()  # waits for the result
    assert future.status == "error"
    return arrived, exc_type, message


def test_a_panicking_chunk_reaches_the_client_as_a_panic(client):
    arrived, exc_type, message = panic_from_cluster(client)
    # The type is found by name where it can be imported, and "pyo3_runtime"
    # cannot be (the module makes the type, not a module of that name), so the
    # worker pickles the class itself: the client gets a copy of it.
    assert type(arrived).__module__ == "pyo3_runtime"
    assert type(arrived).__qualname__ == "PanicException"
    assert type(arrived).__bases__ == (BaseException,)
    assert arrived.args == (message,)


@pytest.mark.xfail(strict=True, reason="the class arrives as a copy made by the pickler")
def test_a_panicking_chunk_reaches_the_client_as_the_module_panic_type(client):
    arrived, exc_type, _ = panic_from_cluster(client)
    assert type(arrived) is exc_type
