"""The module's face: attributes, signatures, argument binding, the method
argument, PanicException, and which failure wins when several are present."""
import inspect

import numpy as np
import pytest

import rust
from conftest import I64_MAX, array_error, i64, panic_exception_type, raises_exactly, u64

X, F, XP, FP = u64([1]), i64([1]), u64([0, 2]), i64([0, 2])
METHOD_ERROR = "method must be either None, 'nearest', 'ffill' or 'bfill'"
LEN_MISMATCH = "xp and fp must have same length"


def method_type_error(type_name):
    return "argument 'method': '%s' object cannot be converted to 'PyString'" % type_name


# ---------------------------------------------------------------------------
# Module attributes and signatures


def test_module_attributes():
    assert type(rust.__all__) is list
    assert rust.__all__ == ["forward_int", "forward_float", "inverse_int", "inverse_float"]
    for name in rust.__all__:
        assert getattr(rust, name).__name__ == name
    assert not hasattr(rust, "PanicException")


def test_module_docstring_is_empty():
    assert rust.__doc__ == ""


@pytest.mark.parametrize(
    "name,          signature",
    [
        ("forward_int",   "(x, xp, fp)"),
        ("forward_float", "(x, xp, fp)"),
        ("inverse_int",   "(f, xp, fp, method=None)"),
        ("inverse_float", "(f, xp, fp, method=None)"),
    ],
)
def test_signature(name, signature):
    func = getattr(rust, name)
    assert func.__text_signature__ == signature
    assert not func.__doc__  # the docstring is the signature block and nothing else
    sig = inspect.signature(func)
    assert str(sig) == signature
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


# ---------------------------------------------------------------------------
# Argument binding


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
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
        ("forward_int", (X, XP, FP), {"\u00e9": 1},
         "forward_int() got an unexpected keyword argument '\u00e9'"),
        # A name with no UTF-8 form is still only a name that matches nothing.
        ("forward_int", (X, XP, FP), {"\ud800": 1},
         "forward_int() got an unexpected keyword argument '\ud800'"),
        # Keywords are taken in the order given; the first error ends binding,
        # before missing arguments are looked for.
        ("forward_int", (X,), {"bogus": 1, "x": X},
         "forward_int() got an unexpected keyword argument 'bogus'"),
        ("forward_int", (X,), {"x": X, "bogus": 1},
         "forward_int() got multiple values for argument 'x'"),
        ("forward_int", (), {"x": X, "zz": 1},
         "forward_int() got an unexpected keyword argument 'zz'"),
        # Every empty required parameter, in parameter order.
        ("forward_int", (X, XP), {},
         "forward_int() missing 1 required positional argument: 'fp'"),
        ("forward_int", (), {"fp": FP},
         "forward_int() missing 2 required positional arguments: 'x' and 'xp'"),
        ("forward_int", (), {},
         "forward_int() missing 3 required positional arguments: 'x', 'xp', and 'fp'"),
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
    ],
)
def test_binding_errors(name, args, kwargs, message):
    raises_exactly(TypeError, message, getattr(rust, name), *args, **kwargs)


@pytest.mark.parametrize(
    "args,         kwargs",
    [
        ((X, XP, FP),  {}),
        ((),           {"x": X, "xp": XP, "fp": FP}),
        ((),           {"fp": FP, "x": X, "xp": XP}),
        ((X,),         {"fp": FP, "xp": XP}),
    ],
)
def test_forward_binds_by_position_or_keyword(args, kwargs):
    assert rust.forward_int(*args, **kwargs).tolist() == [1]


# ---------------------------------------------------------------------------
# The method argument

# Tie points 10..20 carry values 0..4: f = 1 lies at 12.5 and f = 3 at 17.5.
M_XP, M_FP, M_F = u64([10, 20]), i64([0, 4]), i64([1, 3])


class StrSubclass(str):
    pass


class Holder:
    class Nested:
        pass


@pytest.mark.parametrize(
    "method,                  expected",
    [
        ("nearest",               [12, 18]),
        ("ffill",                 [12, 17]),
        ("bfill",                 [13, 18]),
        (StrSubclass("bfill"),    [13, 18]),
        (np.str_("nearest"),      [12, 18]),
    ],
)
def test_method_by_keyword_and_by_position(method, expected):
    assert rust.inverse_int(M_F, M_XP, M_FP, method).tolist() == expected
    assert rust.inverse_int(M_F, M_XP, M_FP, method=method).tolist() == expected
    assert rust.inverse_int(f=M_F, xp=M_XP, fp=M_FP, method=method).tolist() == expected


@pytest.mark.parametrize(
    "args,                         kwargs",
    [
        ((M_F, M_XP, M_FP),            {}),
        ((M_F, M_XP, M_FP, None),      {}),
        ((M_F, M_XP, M_FP),            {"method": None}),
    ],
)
def test_method_none_or_omitted_is_exact(args, kwargs):
    raises_exactly(KeyError, "f not found", rust.inverse_int, *args, **kwargs)


@pytest.mark.parametrize(
    "method",
    ["Nearest", "FFILL", "nearest ", " nearest", "neares", "nearestt", "", "None",
     "nearest\x00", "b\x00fill", "n\u00e9arest"],
)
def test_method_unknown_string(method):
    raises_exactly(ValueError, METHOD_ERROR, rust.inverse_int, M_F, M_XP, M_FP, method)
    raises_exactly(ValueError, METHOD_ERROR, rust.inverse_int, M_F, M_XP, M_FP, method=method)


@pytest.mark.parametrize(
    "method,                type_name",
    [
        (1,                     "int"),
        (True,                  "bool"),
        (1.5,                   "float"),
        (b"nearest",            "bytes"),
        (Holder.Nested(),       "Holder.Nested"),
        (np.array("nearest"),   "ndarray"),
    ],
)
def test_method_not_a_string(method, type_name):
    raises_exactly(TypeError, method_type_error(type_name), rust.inverse_int, M_F, M_XP, M_FP, method)


@pytest.mark.parametrize("method", ["\ud800", "nearest\udfff"])
def test_method_with_lone_surrogate_raises_the_encoding_error(method):
    with pytest.raises(UnicodeEncodeError):
        rust.inverse_int(M_F, M_XP, M_FP, method)


# ---------------------------------------------------------------------------
# PanicException


def test_panic_exception_type(PanicException):
    assert PanicException.__module__ + "." + PanicException.__qualname__ == "pyo3_runtime.PanicException"
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__doc__
    assert panic_exception_type() is PanicException  # made once, then kept


def test_panic_exception_passes_through_except_exception(PanicException):
    caught_by_exception = False
    with pytest.raises(PanicException) as info:
        try:
            rust.inverse_int(F, u64([1, 2, 3]), i64([1, 2]))
        except Exception:
            caught_by_exception = True
    assert not caught_by_exception
    assert info.value.args == (LEN_MISMATCH,)


# ---------------------------------------------------------------------------
# Which failure wins


def test_bad_query_hides_bad_xp():
    raises_exactly(TypeError, array_error("x", "list"), rust.forward_int, [1], [0, 2], FP)
    raises_exactly(TypeError, array_error("f", "ndarray"), rust.inverse_int, X, F, FP)


def test_bad_xp_hides_bad_fp():
    raises_exactly(TypeError, array_error("xp", "ndarray"), rust.forward_int, X, FP, XP)
    raises_exactly(TypeError, array_error("xp", "tuple"), rust.inverse_int, F, (0, 2), [0, 2])


def test_bad_fp_hides_bad_method():
    raises_exactly(TypeError, array_error("fp", "ndarray"), rust.inverse_int, F, XP, XP, 1)
    raises_exactly(TypeError, array_error("fp", "list"), rust.inverse_int, F, XP, [0, 2], "Nearest")


def test_bad_method_beats_length_mismatch():
    raises_exactly(TypeError, method_type_error("int"), rust.inverse_int, F, u64([0, 1, 2]), FP, 1)
    raises_exactly(ValueError, METHOD_ERROR, rust.inverse_int, F, u64([0, 1, 2]), FP, "Nearest")
    raises_exactly(ValueError, METHOD_ERROR, rust.inverse_int, i64([]), u64([0]), i64([]), "x")


@pytest.mark.parametrize("name", ["forward_int", "inverse_int"])
@pytest.mark.parametrize(
    "query, xp,      fp",
    [
        ([],    [3, 1], [1, 2, 3]),   # reported with an empty query array
        ([],    [],     [5]),
        ([],    [7],    []),
        ([0],   [3, 1], [1, 2, 3]),   # and before the order of the tie points
        ([0],   [1, 2, 3], [3, 3]),
    ],
)
def test_length_mismatch(PanicException, name, query, xp, fp):
    query = u64(query) if name == "forward_int" else i64(query)
    raises_exactly(PanicException, LEN_MISMATCH, getattr(rust, name), query, u64(xp), i64(fp))


@pytest.mark.parametrize(
    "name,          xp,      fp,            method",
    [
        ("forward_int", [3, 1],  [1, 2],        None),
        ("forward_int", [5, 5],  [1, 2],        None),
        ("forward_int", [],      [],            None),
        ("inverse_int", [1, 2],  [4, 4],        None),
        ("inverse_int", [1, 2],  [I64_MAX, 0],  "bfill"),
        ("inverse_int", [],      [],            "nearest"),
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
