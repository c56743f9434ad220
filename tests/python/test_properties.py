"""Properties over random tables and queries: any layout of an argument reads
as its contiguous copy; the inverse undoes the forward map on tables whose
segments are exact; results follow the order of the table and stay between the
tie values around them."""
import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from numpy.lib.stride_tricks import as_strided  # noqa: E402

import rust  # noqa: E402


U64_MAX = 2**64 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1

def outcome(call, *args):
    """The result's dtype and 64-bit patterns, or the exception's type and arguments."""
    try:
        r = call(*args)
    except BaseException as e:  # noqa: B036 - the panic type derives from BaseException
        return type(e), e.args
    return r.dtype.str, r.view(np.uint64).tolist()


positions = st.integers(0, U64_MAX)
values = st.integers(I64_MIN, I64_MAX)
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([0.0, -0.0, 5e-324, 1.0])


@st.composite
def tables(draw, value, ordered_fp=False, min_size=0):
    """Tie points: xp strictly increasing (mostly), fp of `value`."""
    xp = sorted(draw(st.sets(positions, min_size=min_size, max_size=8)))
    if draw(st.integers(0, 9)) == 0:
        xp = draw(st.permutations(xp))
    fp = draw(st.lists(value, min_size=len(xp), max_size=len(xp)))
    if ordered_fp:
        fp = sorted(set(fp))
        xp = xp[: len(fp)]
    return xp, fp


# Layouts of a one-dimensional array, each a function of its contiguous copy.

def spread(a, step):
    room = np.zeros(max(len(a), 1) * abs(step), dtype=a.dtype)
    view = room[::step][: len(a)] if step > 0 else room[::step][: len(a)]
    view[:] = a
    return view


def packed(a, pad, reverse):
    rec = np.zeros(len(a), dtype=[("pad", "u1", (pad,)), ("v", a.dtype)])
    rec["v"] = a[::-1] if reverse else a
    return rec["v"][::-1] if reverse else rec["v"]


def read_only(a):
    b = a.copy()
    b.flags.writeable = False
    return b


LAYOUTS = {
    "stride 16": lambda a: spread(a, 2),
    "stride -8": lambda a: spread(a, -1),
    "stride -24": lambda a: spread(a, -3),
    "packed, stride 9": lambda a: packed(a, 1, False),
    "packed, stride -15": lambda a: packed(a, 7, True),
    "read-only": read_only,
}


def zero_stride(a):
    """The first element of `a` repeated as often as `a` is long (tie arrays keep
    their lengths equal), as a zero-stride view and as its copy."""
    view = as_strided(a[:1], shape=a.shape, strides=(0,)) if len(a) else a
    return view, np.ascontiguousarray(view)


FUNCTIONS = {
    "forward_int": (np.uint64, np.int64, values, positions),
    "forward_float": (np.uint64, np.float64, floats, positions),
    "inverse_int": (np.int64, np.int64, values, values),
    "inverse_float": (np.float64, np.float64, floats, floats),
}


@settings(max_examples=60, deadline=None)
@given(data=st.data())
@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_views_read_as_their_contiguous_copies(name, data):
    query_type, value_type, value, query = FUNCTIONS[name]
    xp, fp = data.draw(tables(value, ordered_fp=name.startswith("inverse")))
    pool = [v for v in (xp if name.startswith("forward") else fp)]
    q = data.draw(st.lists(st.sampled_from(pool) | query if pool else query, max_size=10))
    args = [np.array(q, dtype=query_type), np.array(xp, dtype=np.uint64), np.array(fp, dtype=value_type)]
    extra = [] if name.startswith("forward") else [data.draw(st.sampled_from([None, "nearest", "ffill", "bfill"]))]
    call = getattr(rust, name)
    slot = data.draw(st.integers(0, 2))
    if data.draw(st.booleans()):
        view = LAYOUTS[data.draw(st.sampled_from(list(LAYOUTS)))](args[slot])
        copy = args[slot]
    else:
        view, copy = zero_stride(args[slot])
    assert np.ascontiguousarray(view).tobytes() == copy.tobytes()
    with_view = list(args)
    with_view[slot] = view
    with_copy = list(args)
    with_copy[slot] = copy
    assert outcome(call, *with_view, *extra) == outcome(call, *with_copy, *extra)


@st.composite
def exact_tables(draw, max_value):
    """fp = a * xp + b with a whole slope a >= 1: every segment is exact, and
    every fp is within (-max_value, max_value)."""
    a = draw(st.integers(1, 1000))
    b = draw(st.integers(-max_value // 2, max_value // 2))
    limit = (max_value // 2) // a
    xp = sorted(draw(st.sets(st.integers(0, limit), min_size=2, max_size=8)))
    return a, b, xp


@settings(max_examples=150, deadline=None)
@given(table=exact_tables(2**62), data=st.data())
def test_inverse_int_undoes_forward_int_on_exact_tables(table, data):
    a, b, xp = table
    x = data.draw(st.lists(st.integers(xp[0], xp[-1]), min_size=1, max_size=20))
    xp_a, fp_a = np.array(xp, dtype=np.uint64), np.array([a * v + b for v in xp], dtype=np.int64)
    f = rust.forward_int(np.array(x, dtype=np.uint64), xp_a, fp_a)
    assert f.tolist() == [a * v + b for v in x]
    for method in (None, "nearest", "ffill", "bfill"):
        assert rust.inverse_int(f, xp_a, fp_a, method).tolist() == x


@settings(max_examples=150, deadline=None)
@given(table=exact_tables(2**32), data=st.data())
def test_inverse_float_undoes_forward_float_on_exact_tables(table, data):
    # Values and positions below 2^32: every product and sum of the segment
    # formulas fits in 64 bits, so only the exact quotient remains.
    a, b, xp = table
    x = data.draw(st.lists(st.integers(xp[0], xp[-1]), min_size=1, max_size=20))
    xp_a, fp_a = np.array(xp, dtype=np.uint64), np.array([float(a * v + b) for v in xp])
    f = rust.forward_float(np.array(x, dtype=np.uint64), xp_a, fp_a)
    assert f.tolist() == [float(a * v + b) for v in x]
    for method in (None, "nearest", "ffill", "bfill"):
        assert rust.inverse_float(f, xp_a, fp_a, method).tolist() == x


def segment_of(xp, q):
    """The index i with xp[i] < q < xp[i + 1], or None for a tie point."""
    for i in range(len(xp) - 1):
        if xp[i] < q < xp[i + 1]:
            return i
    return None


@settings(max_examples=200, deadline=None)
@given(table=tables(values, min_size=2), data=st.data())
def test_forward_int_stays_between_neighbouring_tie_values_and_follows_their_order(table, data):
    xp, fp = table
    if any(a >= b for a, b in zip(xp, xp[1:])):
        xp = sorted(set(xp))
        fp = fp[: len(xp)]
    x = sorted(data.draw(st.lists(st.integers(xp[0], xp[-1]), min_size=1, max_size=30)))
    r = rust.forward_int(np.array(x, dtype=np.uint64), np.array(xp, dtype=np.uint64),
                         np.array(fp, dtype=np.int64)).tolist()
    for q, v in zip(x, r):
        i = segment_of(xp, q)
        if i is None:
            assert v == fp[xp.index(q)]
        else:
            assert min(fp[i], fp[i + 1]) <= v <= max(fp[i], fp[i + 1])
    # On each segment the results move with the tie values.
    for (q0, v0), (q1, v1) in zip(zip(x, r), zip(x[1:], r[1:])):
        i, j = segment_of(xp, q0), segment_of(xp, q1)
        if i is not None and i == j:
            assert (v1 - v0) * (fp[i + 1] - fp[i]) >= 0
    if fp == sorted(fp):
        assert r == sorted(r)


@settings(max_examples=200, deadline=None)
@given(table=tables(values, ordered_fp=True, min_size=2), data=st.data(),
       method=st.sampled_from(["nearest", "ffill", "bfill"]))
def test_inverse_int_follows_the_order_of_increasing_tables(table, data, method):
    xp, fp = table
    if len(fp) < 2:
        return
    f = sorted(data.draw(st.lists(st.integers(fp[0], fp[-1]), min_size=1, max_size=30)))
    r = rust.inverse_int(np.array(f, dtype=np.int64), np.array(xp, dtype=np.uint64),
                         np.array(fp, dtype=np.int64), method).tolist()
    for q, p in zip(f, r):
        i = segment_of(fp, q)
        if i is None:
            assert p == xp[fp.index(q)]
        else:
            assert min(xp[i], xp[i + 1]) <= p <= max(xp[i], xp[i + 1])
    if xp == sorted(xp):
        assert r == sorted(r)
    elif xp == sorted(xp, reverse=True):
        assert r == sorted(r, reverse=True)
