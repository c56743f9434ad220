"""Which arrays are accepted, how any layout is read, and what a result array is."""
import gc

import numpy as np
import pytest

import rust
from conftest import I64_MAX, I64_MIN, U64_MAX, i64, raises_exactly, u64


def array_error(param, type_name):
    return "argument '%s': '%s' object cannot be converted to 'PyArray<T, D>'" % (param, type_name)


class Subarray(np.ndarray):
    pass


class Holder:
    class Nested:
        pass


# A small valid call of each integer function, whose argument `slot` is replaced.
GOOD = {
    "forward_int": (u64([1]), u64([0, 2]), i64([0, 2])),
    "inverse_int": (i64([1]), u64([0, 2]), i64([0, 2])),
}
PARAMS = {"forward_int": ("x", "xp", "fp"), "inverse_int": ("f", "xp", "fp")}
WANTS = {"forward_int": ("u8", "u8", "i8"), "inverse_int": ("i8", "u8", "i8")}

# Objects that are never arrays of one dimension, with their type's qualified name.
NOT_VECTORS = [
    ([1, 2],                                  "list"),
    ((1, 2),                                  "tuple"),
    (7,                                       "int"),
    (None,                                    "NoneType"),
    (memoryview(b"\0" * 16),                  "memoryview"),
    (Holder.Nested(),                         "Holder.Nested"),
]


def wrong_arrays(want):
    """Arrays refused where dtype `want` ("u8" or "i8") is required."""
    other = "i8" if want == "u8" else "u8"
    native = np.dtype(want)
    return [
        np.array(5, dtype=native),                               # zero-dimensional
        np.zeros((2, 2), dtype=native),                          # two-dimensional
        np.zeros((1, 1), dtype=native),
        np.zeros(2, dtype=other),                                # other signedness
        np.zeros(2, dtype=native.newbyteorder()),                # byte-swapped
        np.zeros(2, dtype="u4" if want == "u8" else "i4"),       # other size
        np.zeros(2, dtype="f8"),
        np.zeros(2, dtype="m8[s]"),                              # 8-byte integer of another kind
        np.zeros(2, dtype=[("a", native)]),                      # structured record of one field
        np.zeros(2, dtype=bool),
        np.zeros(2, dtype=native).view(Subarray).reshape(1, 2),  # subclass, but 2-d
    ]


REFUSALS = []
for _name in ("forward_int", "inverse_int"):
    for _slot in range(3):
        for _obj, _type_name in NOT_VECTORS:
            REFUSALS.append((_name, _slot, _obj, _type_name))
        for _arr in wrong_arrays(WANTS[_name][_slot]):
            REFUSALS.append((_name, _slot, _arr, type(_arr).__qualname__))


@pytest.mark.parametrize("name, slot, obj, type_name", REFUSALS)
def test_refused_argument(name, slot, obj, type_name):
    args = list(GOOD[name])
    args[slot] = obj
    message = array_error(PARAMS[name][slot], type_name)
    raises_exactly(TypeError, message, getattr(rust, name), *args)
    # The same by keyword.
    kwargs = dict(zip(PARAMS[name], args))
    raises_exactly(TypeError, message, getattr(rust, name), **kwargs)


@pytest.mark.parametrize(
    "name,            param, obj",
    [
        ("forward_float", "x",  [1]),
        ("forward_float", "xp", np.zeros(2, dtype="i8")),
        ("forward_float", "fp", np.zeros(2, dtype="i8")),
        ("inverse_float", "f",  np.zeros(2, dtype="f4")),
        ("inverse_float", "fp", np.zeros(2, dtype=">f8")),
    ],
)
def test_float_functions_refuse_like_the_integer_ones(name, param, obj):
    args = {"x": u64([1]), "xp": u64([0, 2]), "fp": np.array([0.0, 2.0])}
    if name == "inverse_float":
        args = {"f": np.array([1.0]), "xp": args["xp"], "fp": args["fp"]}
    args[param] = obj
    raises_exactly(TypeError, array_error(param, type(obj).__qualname__), getattr(rust, name), **args)


@pytest.mark.parametrize("code", ["Q", "L", "<u8", "=u8"])
def test_other_names_of_uint64_are_accepted(code):
    x = np.array([1, 3], dtype=code)
    xp = np.array([0, 4], dtype=code)
    assert rust.forward_int(x, xp, i64([0, 10])).tolist() == [2, 8]
    assert rust.inverse_int(i64([5]), xp, i64([0, 10])).tolist() == [2]


@pytest.mark.parametrize("code", ["q", "l", "<i8", "=i8"])
def test_other_names_of_int64_are_accepted(code):
    fp = np.array([0, 10], dtype=code)
    assert rust.forward_int(u64([1, 3]), u64([0, 4]), fp).tolist() == [2, 8]
    assert rust.inverse_int(np.array([5], dtype=code), u64([0, 4]), fp).tolist() == [2]


# ---------------------------------------------------------------------------
# Layouts: any view reads as its contiguous copy does


def packed_field(values, dtype, offset_bytes=1):
    """A field of a packed structured array: byte stride 8 + offset_bytes, and
    the data address is not a multiple of 8."""
    rec = np.zeros(len(values), dtype=[("pad", "u1", (offset_bytes,)), ("v", dtype)])
    rec["v"] = values
    return rec["v"]


def layouts(values, dtype):
    """Views of several layouts, each holding `values`."""
    n = len(values)
    base = np.array(values, dtype=dtype)
    spread = np.zeros(3 * n, dtype=dtype)
    spread[::3] = base
    spread_backwards = np.zeros(3 * n, dtype=dtype)
    spread_backwards[::3] = base[::-1]
    backwards = np.array(values[::-1], dtype=dtype)
    readonly = base.copy()
    readonly.flags.writeable = False
    out = {
        "contiguous": base,
        "every third": spread[::3],
        "reversed storage": backwards[::-1],
        "reversed every third": spread_backwards[::3][::-1],
        "packed field stride 9": packed_field(values, dtype, 1),
        "packed field stride 13": packed_field(values, dtype, 5),
        "packed field reversed": packed_field(values[::-1], dtype, 3)[::-1],
        "read-only": readonly,
        "subclass": base.view(Subarray),
        "masked array": np.ma.masked_array(base),
    }
    return out


def view_is_a_layout_of(view, values):
    assert view.tolist() == values.tolist()
    return view


LAYOUT_NAMES = list(layouts([1, 2], "u8"))

F_TABLE_XP = [0, 7, 100, U64_MAX]
F_TABLE_FP = [I64_MIN, 3, -40, I64_MAX]
F_QUERY = [0, 3, 7, 50, 99, 100, 2**63, U64_MAX - 1, 5, 5]

I_TABLE_XP = [90, 7, 0, U64_MAX]
I_TABLE_FP = [I64_MIN, -3, 40, I64_MAX]
I_QUERY = {
    None: [I64_MIN, -3, 40, I64_MAX, 40, -3],
    "nearest": [I64_MIN, -3, -2, 0, 39, 40, 41, I64_MAX, 12, 12],
}


@pytest.mark.parametrize("layout", LAYOUT_NAMES)
@pytest.mark.parametrize("which", ["query", "xp", "fp"])
def test_forward_reads_any_layout(layout, which):
    args = [u64(F_QUERY), u64(F_TABLE_XP), i64(F_TABLE_FP)]
    expected = rust.forward_int(*args)
    slot = ["query", "xp", "fp"].index(which)
    args[slot] = view_is_a_layout_of(layouts(args[slot].tolist(), args[slot].dtype)[layout], args[slot])
    assert rust.forward_int(*args).tolist() == expected.tolist()


@pytest.mark.parametrize("layout", LAYOUT_NAMES)
@pytest.mark.parametrize("which", ["query", "xp", "fp"])
@pytest.mark.parametrize("method", [None, "nearest"])
def test_inverse_reads_any_layout(layout, which, method):
    args = [i64(I_QUERY[method]), u64(I_TABLE_XP), i64(I_TABLE_FP)]
    expected = rust.inverse_int(*args, method=method)
    slot = ["query", "xp", "fp"].index(which)
    args[slot] = view_is_a_layout_of(layouts(args[slot].tolist(), args[slot].dtype)[layout], args[slot])
    assert rust.inverse_int(*args, method=method).tolist() == expected.tolist()


@pytest.mark.parametrize("layout", LAYOUT_NAMES)
@pytest.mark.parametrize("n", [0, 1])
def test_short_tie_arrays_of_any_layout(layout, n):
    xp = layouts([42][:n], "u8")[layout]
    fp = layouts([-9][:n], "i8")[layout]
    if n == 0:
        raises_exactly(IndexError, "x out of bounds", rust.forward_int, u64([42]), xp, fp)
    else:
        assert rust.forward_int(u64([42, 42]), xp, fp).tolist() == [-9, -9]
        assert rust.inverse_int(i64([-9]), xp, fp).tolist() == [42]


def test_zero_stride_query():
    x = np.broadcast_to(np.uint64(3), (5,))
    assert x.strides == (0,)
    assert rust.forward_int(x, u64([0, 4]), i64([0, 10])).tolist() == [8] * 5
    f = np.lib.stride_tricks.as_strided(i64([5]), shape=(4,), strides=(0,))
    assert rust.inverse_int(f, u64([0, 4]), i64([0, 10])).tolist() == [2] * 4


def test_zero_stride_tie_points_are_not_increasing():
    # A broadcast xp repeats one position: read as such, it is not increasing.
    xp = np.broadcast_to(np.uint64(3), (2,))
    raises_exactly(ValueError, "xp must be strictly increasing", rust.forward_int, u64([3]), xp, i64([1, 2]))


def test_same_array_for_query_and_tie_points():
    a = u64([0, 5, 9])
    assert rust.forward_int(a, a, i64([-1, 0, 1])).tolist() == [-1, 0, 1]
    v = i64([-4, 2, 8])
    assert rust.inverse_int(v, u64([3, 1, 2]), v).tolist() == [3, 1, 2]
    # The same array for all three parameters of inverse_int is refused at xp.
    raises_exactly(TypeError, array_error("xp", "ndarray"), rust.inverse_int, v, v, v)


def test_inputs_are_left_unchanged():
    x, xp, fp = u64([1, 2, 3]), u64([0, 4]), i64([0, 10])
    copies = [a.copy() for a in (x, xp, fp)]
    rust.forward_int(x, xp, fp)
    with pytest.raises(IndexError):
        rust.forward_int(u64([9]), xp, fp)
    for a, c in zip((x, xp, fp), copies):
        assert a.tolist() == c.tolist()
        assert a.flags.writeable


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
    assert result.ndim == 1 and result.shape == (n,)
    assert result.strides == (8,)
    assert result.flags.c_contiguous
    assert result.flags.writeable
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    for a in inputs:
        assert not np.shares_memory(result, a)
        assert result.base is not a
    result[:] = 1  # writeable in fact, not only by flag
    assert result.tolist() == [1] * n


def test_results_of_two_calls_are_independent():
    x, xp, fp = u64([1, 2, 3]), u64([0, 4]), i64([0, 10])
    a = rust.forward_int(x, xp, fp)
    b = rust.forward_int(x, xp, fp)
    assert a is not b and a.base is not b.base
    assert type(a.base) is type(b.base)
    assert not np.shares_memory(a, b)
    a[:] = 99
    assert b.tolist() == [2, 5, 8]
    assert x.tolist() == [1, 2, 3]


def test_result_outlives_its_inputs():
    x, xp, fp = u64(range(0, 1000, 3)), u64([0, 1000]), i64([I64_MIN, I64_MAX])
    expected = rust.forward_int(x, xp, fp).tolist()
    result = rust.forward_int(x, xp, fp)
    del x, xp, fp
    gc.collect()
    junk = [u64(range(1000)) for _ in range(50)]  # reuse the freed memory
    assert result.tolist() == expected
    del junk


def test_view_of_result_outlives_the_result():
    result = rust.inverse_int(i64([0, 5, 10]), u64([0, 4]), i64([0, 10]), "nearest")
    view = result[1:]
    del result
    gc.collect()
    junk = [i64(range(100)) for _ in range(50)]
    assert view.tolist() == [2, 4]
    del junk
