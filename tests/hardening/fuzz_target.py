"""One fuzz execution: arguments for one of the four functions decoded from the
fuzzer's bytes, the call, and the checks of its outcome.

Every outcome must be a well-formed result array or one of the documented
exceptions with one of the documented messages. Beyond that, integer calls on
valid arguments are compared with the exact reference of the integer tests,
and every call whose arrays are views is compared with the same call on
contiguous copies."""
import os
import re
import sys
import warnings

import numpy as np
from numpy.lib.stride_tricks import as_strided

import rust

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from reference import Failure, forward_one, inverse_one  # noqa: E402

U64_MAX = 2**64 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
HUGE = 2**40  # elements: 8 TiB, more than any allocation can get

# The address sanitizer aborts on a failed operator new (the copies of xp and
# fp) instead of throwing std::bad_alloc: huge tie arrays only without it.
with open("/proc/self/maps") as _maps:
    UNDER_ASAN = "libasan" in _maps.read()


def _panic_type():
    try:
        rust.forward_int(np.zeros(0, np.uint64), np.zeros(1, np.uint64), np.zeros(0, np.int64))
    except BaseException as e:  # noqa: B036
        return type(e)


PanicException = _panic_type()
assert PanicException.__module__ + "." + PanicException.__qualname__ == "pyo3_runtime.PanicException"


class Bytes:
    """Decisions read from the fuzzer's bytes; zeros once they run out."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk + b"\0" * (n - len(chunk))

    def int(self, lo, hi):
        span = hi - lo + 1
        width = max(1, (span.bit_length() + 7) // 8)
        return lo + int.from_bytes(self.take(width), "little") % span

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]

    def chance(self, one_in):
        return self.int(0, one_in - 1) == one_in - 1  # never once the bytes run out


POSITION_EDGES = [0, 1, 2, 3, 5, 8, 10, 100, 2**32, 2**53 + 1, 2**63 - 1, 2**63, U64_MAX - 1, U64_MAX]
INT_EDGES = [0, 1, -1, 2, -2, 3, 7, -10, 100, 2**31, -(2**53), I64_MIN, I64_MIN + 1, I64_MAX - 1, I64_MAX]
FLOAT_EDGES = [0.0, -0.0, 0.1, 0.5, 1.0, -1.0, 1 / 3, 3.0, 1e300, -1e300, 5e-324, -5e-324,
               2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
               2.0**63, 2.0**64, float("inf"), float("-inf"), float("nan")]


def scalar(b, kind):
    """One element: a position, an int64 value or a float64 value."""
    if kind == "u8":
        return b.pick(POSITION_EDGES) if b.chance(2) else b.int(0, U64_MAX if b.chance(3) else 40)
    if kind == "i8":
        return b.pick(INT_EDGES) if b.chance(2) else b.int(I64_MIN, I64_MAX) if b.chance(3) else b.int(-40, 40)
    if b.chance(2):
        return b.pick(FLOAT_EDGES)
    if b.chance(2):
        return float(b.int(-40, 40)) / b.pick([1, 2, 3, 7, 10])
    return np.frombuffer(b.take(8), dtype="<f8")[0].item()  # any pattern, NaN payloads too


def near(b, kind, ties):
    """A query element, mostly at or between tie elements."""
    if not ties or b.chance(4):
        return scalar(b, kind)
    t = b.pick(ties)
    if b.chance(2):
        return t
    if kind == "f8":
        u = b.pick(ties)
        if np.isfinite(t) and np.isfinite(u):
            w = b.int(0, 16) / 16
            return t + (u - t) * w
        return t
    lo, hi = min(t, b.pick(ties)), max(t, b.pick(ties))
    return b.int(lo, hi)


def table(b, value_kind):
    n = b.pick([0, 1, 2, 2, 3, 3, 4, 5, 8, 17])
    xp = [scalar(b, "u8") for _ in range(n)]
    fp = [scalar(b, value_kind) for _ in range(n + (b.int(-1, 1) if b.chance(12) else 0))]
    order = b.int(0, 3)
    if order <= 1:
        xp = sorted(set(xp))
    if order in (0, 2) and value_kind != "f8":
        fp = sorted(set(fp))
    elif order in (0, 2):
        fp = sorted(v for v in fp if v == v)
    m = min(len(xp), len(fp))
    if not b.chance(12):
        xp, fp = xp[:m], fp[:m]
    return xp, fp


# Other dtypes, and other names of the three native ones (accepted where they fit).
WRONG_DTYPES = ["i1", "u1", "i2", "u2", "i4", "u4", "f2", "f4", "g", "c16", "?", "O", "S8", "U2",
                "m8[s]", "M8[s]", "i8", "u8", "f8", ">i8", ">u8", ">f8", "q", "Q", "l", "L", "d",
                [("a", "<u8")], [("a", "<f8")]]


class Sub(np.ndarray):
    pass


class Str(str):
    pass


def layout(b, values, dtype, small=False):
    """An argument holding `values`: mostly an array of the required dtype in
    some layout, sometimes something that must be refused."""
    base = np.array(values, dtype=dtype)
    n = len(base)
    k = b.int(0, 30)
    if k <= 8 or k > 23:
        return base
    if k == 9:
        return list(values)
    if k == 10:
        return b.pick([None, 0, 1.5, "x", values[0] if values else 7, (1, 2), {}, b"\0" * 8])
    if k == 11:
        return np.array(values[0] if values else 0, dtype=dtype)
    if k == 12:
        return base.reshape(1, n) if b.chance(2) else np.stack([base, base])
    if k == 13:
        want = b.pick(WRONG_DTYPES)
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            try:
                return base.astype(want)
            except (TypeError, ValueError, OverflowError):
                return np.zeros(n, dtype=want)
    if k == 14:
        return base.astype(base.dtype.newbyteorder())
    if k == 15:  # a field of a packed record: odd stride, unaligned
        pad, tail = b.int(0, 9), b.int(0, 3)
        rec = np.zeros(n, dtype=[("pad", "u1", (pad,)), ("v", dtype), ("tail", "u1", (tail,))])
        rec["v"] = base
        return rec["v"]
    if k == 16:  # a negative stride, possibly with gaps
        step = b.int(1, 4)
        room = np.zeros(max(n, 1) * step, dtype=dtype)
        view = room[::-step][:n]
        view[:] = base
        return view
    if k == 17:  # the same element over and over, perhaps very many times
        one = base[:1] if n else np.zeros(1, dtype=dtype)
        length = HUGE if b.chance(8) and not small else b.int(0, 40)
        return as_strided(one, shape=(length,), strides=(0,), writeable=False)
    if k == 18:
        ro = base.copy()
        ro.flags.writeable = False
        return ro
    if k == 19:  # any byte stride, either sign, over a byte buffer
        stride = b.pick([1, 3, 9, 12, 15, 16, 24, -1, -7, -8, -9, -17])
        if abs(stride) < 8 and n > 1:
            stride = 8 * (1 if stride > 0 else -1) + stride
        buf = np.zeros(max(n, 1) * abs(stride) + 16, dtype=np.uint8)
        start = 3 + (abs(stride) * (n - 1) if stride < 0 and n else 0)
        view = np.ndarray((n,), dtype=dtype, buffer=buf, offset=start, strides=(stride,))
        view[:] = base
        return view
    if k == 20:
        return base.view(Sub)
    if k == 21:
        return np.ma.masked_array(base, mask=[i % 2 == 0 for i in range(n)])
    if k == 22:
        return np.broadcast_to(base[:1], (b.int(0, 5),)) if n else base
    return base[::-1][::-1] if b.chance(2) else base[: b.int(0, n)]


METHODS = [None, "nearest", "ffill", "bfill", "Nearest", "", "near", "nearest\0", "bfill ",
           Str("ffill"), np.str_("nearest"), "\ud800", "ffill\udcff", b"bfill", 1, 1.5, [], object()]

SIGNATURES = {
    "forward_int": (("x", "xp", "fp"), "u8", "i8"),
    "forward_float": (("x", "xp", "fp"), "u8", "f8"),
    "inverse_int": (("f", "xp", "fp", "method"), "i8", "i8"),
    "inverse_float": (("f", "xp", "fp", "method"), "f8", "f8"),
}

BINDING = re.compile(r"^(forward|inverse)_(int|float)\(\) (takes .* positional arguments? but \d+ were given"
                     r"|got multiple values for argument '[^']+'|got an unexpected keyword argument '[^']+'"
                     r"|missing \d required positional arguments?: .*)$")
TABLE_MESSAGES = {
    IndexError: {"x out of bounds"},
    KeyError: {"f out of bounds", "f not found"},
    ValueError: {"xp must be strictly increasing", "fp must be strictly increasing",
                 "method must be either None, 'nearest', 'ffill' or 'bfill'"},
}
PANIC_MESSAGES = {"xp and fp must have same length", "nan or inf encountered",
                  "assertion failed: value.is_finite()"}


def accepted(obj, kind):
    return (isinstance(obj, np.ndarray) and obj.ndim == 1 and obj.dtype == np.dtype(kind)
            and obj.dtype.isnative)


def contiguous(obj):
    return np.ascontiguousarray(obj).view(np.ndarray)


def reference(name, query, xp, fp, method):
    """The exact outcome of an integer call, from the integer tests' reference."""
    one = forward_one if name == "forward_int" else inverse_one
    out = []
    for q in query:
        try:
            out.append(one(q, xp, fp) if name == "forward_int" else one(q, xp, fp, method))
        except Failure as e:
            return e.outcome
    return out


def outcome(call, args, kwargs):
    try:
        r = call(*args, **kwargs)
    except BaseException as e:  # noqa: B036 - the panic type derives from BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return e
    return r


def describe(o):
    if isinstance(o, BaseException):
        return (type(o), o.args)
    return (o.dtype.str, o.view(np.uint64).tolist())


def one_input(data):
    b = Bytes(data)
    name = b.pick(list(SIGNATURES))
    params, query_kind, value_kind = SIGNATURES[name]
    xp, fp = table(b, value_kind)
    ties = xp if name.startswith("forward") else [v for v in fp if not isinstance(v, float) or v == v]
    query = [near(b, query_kind, ties) for _ in range(b.pick([0, 1, 2, 3, 5, 9]))]
    values = [layout(b, query, query_kind), layout(b, xp, "u8", UNDER_ASAN), layout(b, fp, value_kind, UNDER_ASAN)]
    if len(params) == 4:
        values.append(b.pick(METHODS))
    # Positional, keyword or mixed; sometimes a binding error on purpose.
    cut = b.int(0, len(values))
    args, kwargs = values[:cut], dict(zip(params[cut:], values[cut:]))
    if len(params) == 4 and "method" in kwargs and b.chance(3):
        del kwargs["method"]  # omitted: None
    if b.chance(20):  # break the binding on purpose, one of several ways
        how = b.int(0, 3)
        if how == 0:
            args, kwargs = list(values) + [None] * b.int(1, 2), {}
        elif how == 1:
            kwargs[b.pick(["bogus", "X", "f" if name.startswith("forward") else "x", "\ud800"])] = 1
        elif how == 2 and args:
            kwargs[params[0]] = args[0]
        elif kwargs:
            kwargs.pop(b.pick(list(kwargs)))
    bad_binding = (len(args) > len(params) or any(k not in params for k in kwargs)
                   or any(k in params[:len(args)] for k in kwargs)
                   or any(p not in kwargs for p in params[len(args):3]))

    snapshots = [v.tobytes() if isinstance(v, np.ndarray) and v.size < 2**20 else None for v in values]
    call = getattr(rust, name)
    got = outcome(call, args, kwargs)
    check(name, params, query_kind, value_kind, args, kwargs, bad_binding, got)
    for v, before in zip(values, snapshots):
        if before is not None:
            assert v.tobytes() == before, "an input changed"


def check(name, params, query_kind, value_kind, args, kwargs, bad_binding, got):
    if bad_binding:
        assert type(got) is TypeError and BINDING.match(got.args[0]), describe(got)
        return
    bound = dict(zip(params, args))
    bound.update(kwargs)
    kinds = (query_kind, "u8", value_kind)
    for p, kind in zip(params, kinds):
        if not accepted(bound[p], kind):
            message = "argument '%s': '%s' object cannot be converted to 'PyArray<T, D>'" % (
                p, type(bound[p]).__qualname__)
            assert type(got) is TypeError and got.args == (message,), (p, describe(got))
            return
    query, xp, fp = (bound[p] for p in params[:3])
    method = bound.get("method")
    if method is not None:
        if not isinstance(method, str):
            message = "argument 'method': '%s' object cannot be converted to 'PyString'" % type(method).__qualname__
            assert type(got) is TypeError and got.args == (message,), describe(got)
            return
        try:
            method.encode("utf-8")
        except UnicodeEncodeError:
            assert type(got) is UnicodeEncodeError, describe(got)
            return
        if method not in ("nearest", "ffill", "bfill"):
            assert type(got) is ValueError and got.args == (
                "method must be either None, 'nearest', 'ffill' or 'bfill'",), describe(got)
            return
    # The tie arrays are copied, then their lengths compared, then the output
    # allocated.
    if max(len(xp), len(fp)) >= HUGE:
        assert type(got) is MemoryError, describe(got)
        return
    if len(xp) != len(fp):
        assert type(got) is PanicException and got.args == ("xp and fp must have same length",), describe(got)
        return
    if len(query) >= HUGE:
        assert type(got) is MemoryError, describe(got)
        return

    # Only the table's answers remain.
    if isinstance(got, BaseException):
        if type(got) is PanicException:
            assert len(got.args) == 1 and got.args[0] in PANIC_MESSAGES, got.args
            assert got.args[0] != "xp and fp must have same length"
            assert value_kind == "f8", "a panic from an integer table"
        else:
            assert type(got) in TABLE_MESSAGES and len(got.args) == 1, describe(got)
            assert got.args[0] in TABLE_MESSAGES[type(got)], describe(got)
    else:
        r = got
        assert type(r) is np.ndarray and r.shape == (len(query),) and r.strides == (8,), (type(r), r.shape)
        want = {"forward_int": "i8", "forward_float": "f8"}.get(name, "u8")
        assert r.dtype == np.dtype(want) and r.dtype.isnative
        assert r.flags.writeable and not r.flags.owndata
        assert type(r.base).__name__ == "PySliceContainer"
        for a in (query, xp, fp):
            assert not np.may_share_memory(r, a)

    # The same call on contiguous copies gives the same outcome.
    plain = [contiguous(a) for a in (query, xp, fp)]
    if any(a is not p and not (type(a) is np.ndarray and a.flags.c_contiguous) for a, p in zip((query, xp, fp), plain)):
        again = outcome(getattr(rust, name), plain + ([method] if len(params) == 4 else []), {})
        assert describe(again) == describe(got), (describe(again), describe(got))

    # Integer tables: the exact reference.
    if value_kind == "i8":
        expected = reference(name, *(p.tolist() for p in plain), method)
        if isinstance(expected, tuple):
            assert describe(got) == (expected[0], (expected[1],)), (describe(got), expected)
        else:
            assert not isinstance(got, BaseException), (describe(got), expected)
            assert got.tolist() == expected, (got.tolist(), expected)
