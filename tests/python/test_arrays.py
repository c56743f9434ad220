"""Which arrays are accepted, how any layout is read, and what a result array is."""
import gc

import numpy as np
import pytest

import rust
from conftest import I64_MAX, I64_MIN, U64_MAX, array_error, i64, raises_exactly, u64


class Subarray(np.ndarray):
    pass


class Holder:
    class Nested:
        pass


# ---------------------------------------------------------------------------
# Acceptance

# A small valid call of each integer function: its parameters and required dtypes.
GOOD = {
    "forward_int": (("x", "xp", "fp"), (u64([1]), u64([0, 2]), i64([0, 2]))),
    "inverse_int": (("f", "xp", "fp"), (i64([1]), u64([0, 2]), i64([0, 2]))),
}


def refused(want):
    """Objects refused where a one-dimensional array of dtype `want` is required."""
    native = np.dtype(want)
    return [
        [1, 2], (1, 2), 7, None, memoryview(b"\0" * 16), Holder.Nested(),
        np.array(5, dtype=native),                               # zero-dimensional
        np.zeros((2, 2), dtype=native),                          # two-dimensional
        np.zeros((1, 1), dtype=native),
        np.zeros(2, dtype="i8" if want == "u8" else "u8"),       # other signedness
        np.zeros(2, dtype=native.newbyteorder()),                # byte-swapped
        np.zeros(2, dtype=want[0] + "4"),                        # other size
        np.zeros(2, dtype="f8"),
        np.zeros(2, dtype="m8[s]"),                              # 8-byte integers of another kind
        np.zeros(2, dtype=[("a", native)]),                      # records of one field
        np.zeros(2, dtype=native).view(Subarray).reshape(1, 2),  # a subclass, but 2-d
    ]


REFUSALS = [
    (name, slot, obj)
    for name, (_, good) in sorted(GOOD.items())
    for slot in range(3)
    for obj in refused(good[slot].dtype.str[1:])
]


@pytest.mark.parametrize("name, slot, obj", REFUSALS)
def test_refused_argument(name, slot, obj):
    params, good = GOOD[name]
    args = list(good)
    args[slot] = obj
    message = array_error(params[slot], type(obj).__qualname__)
    raises_exactly(TypeError, message, getattr(rust, name), *args)
    raises_exactly(TypeError, message, getattr(rust, name), **dict(zip(params, args)))


def test_refused_type_names_are_qualified():
    raises_exactly(TypeError, array_error("x", "Holder.Nested"), rust.forward_int,
                   Holder.Nested(), u64([0]), i64([0]))
    raises_exactly(TypeError, array_error("fp", "NoneType"), rust.inverse_int, i64([0]), u64([0]), None)


@pytest.mark.parametrize(
    "name,            param, obj",
    [
        ("forward_float", "x",   [1]),
        ("forward_float", "xp",  np.zeros(2, dtype="i8")),
        ("forward_float", "fp",  np.zeros(2, dtype="i8")),
        ("inverse_float", "f",   np.zeros(2, dtype="f4")),
        ("inverse_float", "fp",  np.zeros(2, dtype=">f8")),
    ],
)
def test_float_functions_refuse_like_the_integer_ones(name, param, obj):
    args = {"xp": u64([0, 2]), "fp": np.array([0.0, 2.0])}
    if name == "forward_float":
        args["x"] = u64([1])
    else:
        args["f"] = np.array([1.0])
    args[param] = obj
    raises_exactly(TypeError, array_error(param, type(obj).__qualname__), getattr(rust, name), **args)


@pytest.mark.parametrize("u, i", [("Q", "q"), ("L", "l"), ("<u8", "<i8"), ("=u8", "=i8")])
def test_other_names_of_the_native_types_are_accepted(u, i):
    xp, fp = np.array([0, 4], dtype=u), np.array([0, 10], dtype=i)
    assert rust.forward_int(np.array([1, 3], dtype=u), xp, fp).tolist() == [2, 8]
    assert rust.inverse_int(np.array([5], dtype=i), xp, fp).tolist() == [2]


# ---------------------------------------------------------------------------
# Layouts: any view reads as its contiguous copy does


def packed_field(values, dtype, pad):
    """A field of a packed structured array: byte stride 8 + pad, at an address
    that is not a multiple of 8."""
    rec = np.zeros(len(values), dtype=[("pad", "u1", (pad,)), ("v", dtype)])
    rec["v"] = values
    return rec["v"]


def layouts(values, dtype):
    """Views of several layouts, each holding `values`."""
    n = len(values)
    base = np.array(values, dtype=dtype)
    spread, spread_back = np.zeros(3 * n, dtype=dtype), np.zeros(3 * n, dtype=dtype)
    spread[::3], spread_back[::3] = base, base[::-1]
    readonly = base.copy()
    readonly.flags.writeable = False
    return {
        "contiguous": base,
        "stride 24": spread[::3],
        "stride -8": np.array(values[::-1], dtype=dtype)[::-1],
        "stride -24": spread_back[::3][::-1],
        "packed stride 9": packed_field(values, dtype, 1),
        "packed stride 13": packed_field(values, dtype, 5),
        "packed stride -11": packed_field(values[::-1], dtype, 3)[::-1],
        "read-only": readonly,
        "subclass": base.view(Subarray),
        "masked array": np.ma.masked_array(base),
    }


LAYOUTS = list(layouts([1], "u8"))

# Tables spanning the whole position range, queries at and between tie points.
CASES = {
    "forward_int": ([0, 3, 7, 50, 99, 100, 2**63, U64_MAX - 1, 5, 5],
                    [0, 7, 100, U64_MAX], [I64_MIN, 3, -40, I64_MAX], None),
    "inverse_int": ([I64_MIN, -3, -2, 0, 39, 40, 41, I64_MAX, 12, 12],
                    [90, 7, 0, U64_MAX], [I64_MIN, -3, 40, I64_MAX], "nearest"),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("slot", [0, 1, 2], ids=["query", "xp", "fp"])
@pytest.mark.parametrize("name", ["forward_int", "inverse_int"])
def test_any_layout_reads_as_its_contiguous_copy(name, slot, layout):
    query, xp, fp, method = CASES[name]
    args = [(u64 if name == "forward_int" else i64)(query), u64(xp), i64(fp)]
    extra = () if method is None else (method,)
    expected = getattr(rust, name)(*args, *extra).tolist()
    args[slot] = layouts(args[slot].tolist(), args[slot].dtype)[layout]
    assert getattr(rust, name)(*args, *extra).tolist() == expected


@pytest.mark.parametrize("layout", LAYOUTS)
def test_short_tie_arrays_of_any_layout(layout):
    xp, fp = layouts([42], "u8")[layout], layouts([-9], "i8")[layout]
    assert rust.forward_int(u64([42, 42]), xp, fp).tolist() == [-9, -9]
    assert rust.inverse_int(i64([-9]), xp, fp).tolist() == [42]
    xp, fp = layouts([], "u8")[layout], layouts([], "i8")[layout]
    raises_exactly(IndexError, "x out of bounds", rust.forward_int, u64([42]), xp, fp)


def test_zero_stride_arrays():
    x = np.broadcast_to(np.uint64(3), (5,))
    assert x.strides == (0,)
    assert rust.forward_int(x, u64([0, 4]), i64([0, 10])).tolist() == [8] * 5
    f = np.lib.stride_tricks.as_strided(i64([5]), shape=(4,), strides=(0,))
    assert rust.inverse_int(f, u64([0, 4]), i64([0, 10])).tolist() == [2] * 4
    # A broadcast xp repeats one position, so it is not increasing.
    xp = np.broadcast_to(np.uint64(3), (2,))
    raises_exactly(ValueError, "xp must be strictly increasing", rust.forward_int, u64([3]), xp, i64([1, 2]))


def test_same_array_for_query_and_tie_points():
    a = u64([0, 5, 9])
    assert rust.forward_int(a, a, i64([-1, 0, 1])).tolist() == [-1, 0, 1]
    v = i64([-4, 2, 8])
    assert rust.inverse_int(v, u64([3, 1, 2]), v).tolist() == [3, 1, 2]


# Descending queries are answered a block of 32768 at a time, each block from
# its last query, and turned round in place: every answer stays at its query,
# in whole blocks and a partial last one, where the queries rise after falling
# (the rest answered in order), and read through a negative stride.
@pytest.mark.parametrize("shape", ["falling", "falling, then rising", "negative stride", "equal, then falling"])
@pytest.mark.parametrize("name", ["forward_int", "forward_float", "inverse_int", "inverse_float"])
def test_descending_queries_keep_their_answers_in_place(name, shape):
    rng = np.random.default_rng(7)
    xp = np.unique(rng.integers(0, 2**40, size=5000, dtype=np.uint64))
    fp = np.cumsum(rng.integers(1, 2**20, size=len(xp))).astype(np.int64)
    x = np.sort(rng.integers(xp[0], xp[-1], size=80000, dtype=np.uint64, endpoint=True))[::-1].copy()
    if shape == "falling, then rising":
        x[50000:] = np.sort(x[50000:])
    elif shape == "equal, then falling":
        x[:40000] = x[0]
    if name.endswith("_float"):
        fp = fp.astype(np.float64) * 0.5
    queries = x
    if name.startswith("inverse"):
        queries = (rust.forward_int if name == "inverse_int" else rust.forward_float)(x, xp, fp)

    def fn(q, xp, fp):
        return getattr(rust, name)(q, xp, fp, *(() if name.startswith("forward") else ("nearest",)))
    if shape == "negative stride":
        queries = queries[::-1].copy()[::-1]
    expected = [fn(queries[i:i + 1], xp, fp).item() for i in range(0, len(queries), 97)]
    assert fn(queries, xp, fp)[::97].tolist() == expected


def test_inputs_are_left_unchanged():
    x, xp, fp = u64([1, 2, 3]), u64([0, 4]), i64([0, 10])
    rust.forward_int(x, xp, fp)
    with pytest.raises(IndexError):
        rust.forward_int(u64([9]), xp, fp)
    assert (x.tolist(), xp.tolist(), fp.tolist()) == ([1, 2, 3], [0, 4], [0, 10])


# ---------------------------------------------------------------------------
# Result arrays


@pytest.mark.parametrize("name", ["forward_int", "inverse_int"])
@pytest.mark.parametrize("n", [0, 1, 5])
def test_result_array_properties(name, n):
    xp, fp = u64([0, 4]), i64([-10, 10])
    if name == "forward_int":
        inputs = (u64([0, 1, 2, 3, 4][:n]), xp, fp)
        result = rust.forward_int(*inputs)
    else:
        inputs = (i64([-10, -5, 0, 5, 10][:n]), xp, fp)
        result = rust.inverse_int(*inputs, method="ffill")
    assert type(result) is np.ndarray
    assert result.dtype == (np.int64 if name == "forward_int" else np.uint64)
    assert result.dtype.isnative
    assert result.shape == (n,) and result.strides == (8,)
    assert result.flags.c_contiguous and result.flags.writeable
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    for a in inputs:
        assert not np.shares_memory(result, a)
    result[:] = 1  # writeable in fact, not only by flag
    assert result.tolist() == [1] * n


def test_results_of_two_calls_are_independent():
    x, xp, fp = u64([1, 2, 3]), u64([0, 4]), i64([0, 10])
    a, b = rust.forward_int(x, xp, fp), rust.forward_int(x, xp, fp)
    assert a.base is not b.base and type(a.base) is type(b.base)
    assert not np.shares_memory(a, b)
    a[:] = 99
    assert b.tolist() == [2, 5, 8]


def test_result_outlives_its_inputs():
    x, xp, fp = u64(range(0, 1000, 3)), u64([0, 1000]), i64([I64_MIN, I64_MAX])
    expected = rust.forward_int(x, xp, fp).tolist()
    result = rust.forward_int(x, xp, fp)
    del x, xp, fp
    gc.collect()
    junk = [u64(range(1000)) for _ in range(50)]  # reuse the freed memory
    assert result.tolist() == expected
    del junk


def test_view_of_a_result_outlives_the_result():
    result = rust.inverse_int(i64([0, 5, 10]), u64([0, 4]), i64([0, 10]), "nearest")
    view = result[1:]
    del result
    gc.collect()
    junk = [i64(range(100)) for _ in range(50)]
    assert view.tolist() == [2, 4]
    del junk
