"""The module's face: attributes, signatures, argument binding, the method
argument, PanicException, and which failure wins when several are present."""
import inspect

import numpy as np
import pytest

import rust
from conftest import I64_MAX, i64, panic_exception_type, raises_exactly, u64

ALL = ["forward_int", "forward_float", "inverse_int", "inverse_float"]

X = u64([1])
F = i64([1])
XP = u64([0, 2])
FP = i64([0, 2])

METHOD_ERROR = "method must be either None, 'nearest', 'ffill' or 'bfill'"


def array_error(param, type_name):
    return "argument '%s': '%s' object cannot be converted to 'PyArray<T, D>'" % (param, type_name)


# ---------------------------------------------------------------------------
# Module attributes and signatures


def test_all_lists_the_four_functions_in_order():
    assert type(rust.__all__) is list
    assert rust.__all__ == ALL
    for name in ALL:
        assert callable(getattr(rust, name))
        assert getattr(rust, name).__name__ == name


def test_module_docstring_is_empty():
    assert rust.__doc__ == ""


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(rust, "PanicException")
    assert not hasattr(rust, "PySliceContainer")


@pytest.mark.parametrize(
    "name,          text_signature,              params",
    [
        ("forward_int",   "(x, xp, fp)",              ["x", "xp", "fp"]),
        ("forward_float", "(x, xp, fp)",              ["x", "xp", "fp"]),
        ("inverse_int",   "(f, xp, fp, method=None)", ["f", "xp", "fp", "method"]),
        ("inverse_float", "(f, xp, fp, method=None)", ["f", "xp", "fp", "method"]),
    ],
)
def test_signature(name, text_signature, params):
    func = getattr(rust, name)
    assert func.__text_signature__ == text_signature
    # The docstring is the signature block and nothing else.
    assert not func.__doc__
    sig = inspect.signature(func)
    assert str(sig) == text_signature
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        expected_default = None if p.name == "method" else inspect.Parameter.empty
        assert p.default is expected_default


# ---------------------------------------------------------------------------
# Argument binding

BINDING_CASES = [
    # function, positional, keywords, message
    ("forward_int", (X, XP, FP, None), {},
     "forward_int() takes 3 positional arguments but 4 were given"),
    ("forward_float", (X, XP, FP, None, None), {},
     "forward_float() takes 3 positional arguments but 5 were given"),
    ("inverse_int", (F, XP, FP, None, None), {},
     "inverse_int() takes from 3 to 4 positional arguments but 5 were given"),
    ("inverse_float", (F, XP, FP, None, None, None), {},
     "inverse_float() takes from 3 to 4 positional arguments but 6 were given"),
    # Too many positional arguments is found before any keyword is looked at.
    ("forward_int", (X, XP, FP, None), {"bogus": 1},
     "forward_int() takes 3 positional arguments but 4 were given"),
    ("forward_int", (X, XP, FP), {"x": X},
     "forward_int() got multiple values for argument 'x'"),
    ("forward_int", (X, XP), {"fp": FP, "xp": XP},
     "forward_int() got multiple values for argument 'xp'"),
    ("inverse_int", (F, XP, FP, None), {"method": None},
     "inverse_int() got multiple values for argument 'method'"),
    ("forward_int", (X, XP, FP), {"method": None},
     "forward_int() got an unexpected keyword argument 'method'"),
    ("inverse_float", (F, XP, FP), {"x": X},
     "inverse_float() got an unexpected keyword argument 'x'"),
    ("forward_int", (X, XP, FP), {"X": X},
     "forward_int() got an unexpected keyword argument 'X'"),
    ("forward_int", (X, XP, FP), {"\u00e9": 1},
     "forward_int() got an unexpected keyword argument '\u00e9'"),
    # Keywords are taken in the order given; the first error ends binding.
    ("forward_int", (X,), {"bogus": 1, "x": X},
     "forward_int() got an unexpected keyword argument 'bogus'"),
    ("forward_int", (X,), {"x": X, "bogus": 1},
     "forward_int() got multiple values for argument 'x'"),
    # A keyword error is reported before missing arguments.
    ("forward_int", (), {"x": X, "zz": 1},
     "forward_int() got an unexpected keyword argument 'zz'"),
    # Missing arguments: every empty required parameter, in parameter order.
    ("forward_int", (X, XP), {},
     "forward_int() missing 1 required positional argument: 'fp'"),
    ("forward_int", (), {"fp": FP},
     "forward_int() missing 2 required positional arguments: 'x' and 'xp'"),
    ("forward_int", (), {},
     "forward_int() missing 3 required positional arguments: 'x', 'xp', and 'fp'"),
    ("forward_float", (), {},
     "forward_float() missing 3 required positional arguments: 'x', 'xp', and 'fp'"),
    ("inverse_int", (F,), {},
     "inverse_int() missing 2 required positional arguments: 'xp' and 'fp'"),
    ("inverse_int", (), {"xp": XP},
     "inverse_int() missing 2 required positional arguments: 'f' and 'fp'"),
    ("inverse_int", (), {"method": "nearest"},
     "inverse_int() missing 3 required positional arguments: 'f', 'xp', and 'fp'"),
    ("inverse_float", (), {"f": F, "fp": FP},
     "inverse_float() missing 1 required positional argument: 'xp'"),
    # Binding is complete before any argument is converted: the list is not reported.
    ("forward_int", ([1], XP), {},
     "forward_int() missing 1 required positional argument: 'fp'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_CASES)
def test_binding_errors(name, args, kwargs, message):
    raises_exactly(TypeError, message, getattr(rust, name), *args, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((X, XP, FP), {}),
        ((), {"x": X, "xp": XP, "fp": FP}),
        ((), {"fp": FP, "x": X, "xp": XP}),
        ((X,), {"fp": FP, "xp": XP}),
    ],
)
def test_forward_binds_by_position_or_keyword(args, kwargs):
    assert rust.forward_int(*args, **kwargs).tolist() == [1]


# ---------------------------------------------------------------------------
# The method argument

# Tie points 10..20 carry values 0..4: f = 1 lies at 12.5 and f = 3 at 17.5.
M_XP = u64([10, 20])
M_FP = i64([0, 4])
M_F = i64([1, 3])


class StrSubclass(str):
    pass


class StrSubclassWithOddEquality(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class Holder:
    class Nested:
        pass


@pytest.mark.parametrize(
    "method,                                   expected",
    [
        ("nearest",                                [12, 18]),
        ("ffill",                                  [12, 17]),
        ("bfill",                                  [13, 18]),
        (StrSubclass("bfill"),                     [13, 18]),
        # The string's own characters decide, not its __eq__.
        (StrSubclassWithOddEquality("ffill"),      [12, 17]),
        (np.str_("nearest"),                       [12, 18]),
        ("".join(["near", "est"]),                 [12, 18]),
    ],
)
def test_method_by_keyword_and_by_position(method, expected):
    assert rust.inverse_int(M_F, M_XP, M_FP, method).tolist() == expected
    assert rust.inverse_int(M_F, M_XP, M_FP, method=method).tolist() == expected
    assert rust.inverse_int(f=M_F, xp=M_XP, fp=M_FP, method=method).tolist() == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda: rust.inverse_int(M_F, M_XP, M_FP),
        lambda: rust.inverse_int(M_F, M_XP, M_FP, None),
        lambda: rust.inverse_int(M_F, M_XP, M_FP, method=None),
    ],
    ids=["omitted", "positional None", "keyword None"],
)
def test_method_none_or_omitted_is_exact(call):
    raises_exactly(KeyError, "f not found", call)


@pytest.mark.parametrize(
    "method",
    ["Nearest", "NEAREST", "FFILL", "nearest ", " nearest", "neares", "nearestt", "near",
     "", "None", "exact", "nearest\x00", "ffill\x00x", "b\x00fill", "n\u00e9arest", "\u0146earest"],
)
def test_method_unknown_string(method):
    raises_exactly(ValueError, METHOD_ERROR, rust.inverse_int, M_F, M_XP, M_FP, method)
    raises_exactly(ValueError, METHOD_ERROR, rust.inverse_int, M_F, M_XP, M_FP, method=method)


@pytest.mark.parametrize(
    "method,             type_name",
    [
        (1,                  "int"),
        (0,                  "int"),
        (True,               "bool"),
        (1.5,                "float"),
        (b"nearest",         "bytes"),
        (bytearray(b"ffill"), "bytearray"),
        (["nearest"],        "list"),
        (Holder.Nested(),    "Holder.Nested"),
        (np.array("nearest"), "ndarray"),
    ],
)
def test_method_not_a_string(method, type_name):
    message = "argument 'method': '%s' object cannot be converted to 'PyString'" % type_name
    raises_exactly(TypeError, message, rust.inverse_int, M_F, M_XP, M_FP, method)


@pytest.mark.parametrize("method", ["\ud800", "nearest\udfff"])
def test_method_with_lone_surrogate_raises_the_encoding_error(method):
    with pytest.raises(UnicodeEncodeError):
        rust.inverse_int(M_F, M_XP, M_FP, method)


# ---------------------------------------------------------------------------
# PanicException


def test_panic_exception_type(PanicException):
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__qualname__ == "PanicException"
    assert PanicException.__name__ == "PanicException"
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__doc__


def test_panic_exception_passes_through_except_exception(PanicException):
    caught_by_exception = False
    try:
        try:
            rust.inverse_int(F, u64([1, 2, 3]), i64([1, 2]))
        except Exception:
            caught_by_exception = True
    except PanicException as e:
        assert e.args == ("xp and fp must have same length",)
    assert not caught_by_exception


def test_panic_exception_type_is_made_once(PanicException):
    for _ in range(3):
        assert panic_exception_type() is PanicException


# ---------------------------------------------------------------------------
# Which failure wins

LEN_MISMATCH = "xp and fp must have same length"


def test_bad_query_hides_bad_xp():
    raises_exactly(TypeError, array_error("x", "list"), rust.forward_int, [1], [0, 2], FP)
    raises_exactly(TypeError, array_error("f", "ndarray"), rust.inverse_int, X, F, FP)


def test_bad_xp_hides_bad_fp():
    raises_exactly(TypeError, array_error("xp", "ndarray"), rust.forward_int, X, FP, XP)
    raises_exactly(TypeError, array_error("xp", "tuple"), rust.inverse_int, F, (0, 2), [0, 2])


def test_bad_fp_hides_bad_method():
    raises_exactly(TypeError, array_error("fp", "ndarray"), rust.inverse_int, F, XP, XP, 1)
    raises_exactly(TypeError, array_error("fp", "list"), rust.inverse_int, F, XP, [0, 2], "Nearest")


def test_method_type_beats_length_mismatch():
    message = "argument 'method': 'int' object cannot be converted to 'PyString'"
    raises_exactly(TypeError, message, rust.inverse_int, F, u64([0, 1, 2]), FP, 1)


def test_wrong_method_beats_length_mismatch():
    raises_exactly(ValueError, METHOD_ERROR, rust.inverse_int, F, u64([0, 1, 2]), FP, "Nearest")
    raises_exactly(ValueError, METHOD_ERROR, rust.inverse_int, i64([]), u64([0]), i64([]), "x")


@pytest.mark.parametrize("name", ["forward_int", "inverse_int"])
@pytest.mark.parametrize("xp, fp", [([3, 1], [1, 2, 3]), ([], [5]), ([7], [])])
def test_length_mismatch_is_reported_even_for_an_empty_query(PanicException, name, xp, fp):
    query = u64([]) if name == "forward_int" else i64([])
    raises_exactly(PanicException, LEN_MISMATCH, getattr(rust, name), query, u64(xp), i64(fp))


def test_length_mismatch_beats_unordered_tie_points(PanicException):
    # Both would fail, but the table is never built.
    raises_exactly(PanicException, LEN_MISMATCH, rust.forward_int, u64([0]), u64([3, 1]), i64([1, 2, 3]))
    raises_exactly(PanicException, LEN_MISMATCH, rust.inverse_int, i64([0]), u64([1, 2, 3]), i64([3, 3]))


@pytest.mark.parametrize(
    "name,          xp,        fp,       method",
    [
        ("forward_int", [3, 1],    [1, 2],   None),
        ("forward_int", [5, 5],    [1, 2],   None),
        ("forward_int", [],        [],       None),
        ("inverse_int", [1, 2],    [4, 4],   None),
        ("inverse_int", [1, 2],    [I64_MAX, 0], "bfill"),
        ("inverse_int", [],        [],       "nearest"),
    ],
)
def test_empty_query_never_consults_the_table(name, xp, fp, method):
    if name == "forward_int":
        result = rust.forward_int(u64([]), u64(xp), i64(fp))
        assert result.dtype == np.int64
    else:
        result = rust.inverse_int(i64([]), u64(xp), i64(fp), method)
        assert result.dtype == np.uint64
    assert result.shape == (0,)
