"""Exact, reproducible conversion between integer sample positions and
coordinate values through a table of tie points, over NumPy arrays.

A table is two one-dimensional arrays of equal length: ``xp``, the tie
positions (uint64), and ``fp``, the values at those positions (int64 or
float64). Between neighbouring tie points the value is linear in the position.

Failures of a query raise ``IndexError``/``KeyError``/``ValueError``; argument
errors raise ``TypeError``. Broken internal contracts (``xp`` and ``fp`` of
different lengths, NaN or infinity inside float arithmetic) raise
``PanicException``, which derives from ``BaseException``, not ``Exception``.
"""

from typing import Literal, Optional

import numpy as np
from numpy.typing import NDArray

__all__ = ["forward_int", "forward_float", "inverse_int", "inverse_float"]

def forward_int(
    x: NDArray[np.uint64], xp: NDArray[np.uint64], fp: NDArray[np.int64]
) -> NDArray[np.int64]:
    """Values at positions ``x`` on an int64 table, computed exactly.

    Between two tie points the exact rational value is rounded to the nearest
    integer, halves to the even neighbour. A position equal to a tie position
    gives its value unchanged.

    Raises:
        TypeError: an argument is not a one-dimensional array of its dtype
            (``x``, ``xp``: uint64; ``fp``: int64).
        IndexError: "x out of bounds": a position lies outside the table.
        ValueError: "xp must be strictly increasing" (only when ``x`` is
            not empty).
        PanicException: "xp and fp must have same length".
    """

def forward_float(
    x: NDArray[np.uint64], xp: NDArray[np.uint64], fp: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Values at positions ``x`` on a float64 table, reproducibly.

    Each arithmetic step is rounded to a 64-bit significand (to nearest, ties
    to even) and the result is truncated toward zero to float64: one tenth of
    the way from 0.0 to 1.0 gives 0.09999999999999999. A position equal to a
    tie position gives its value bit for bit.

    Raises:
        TypeError: an argument is not a one-dimensional array of its dtype
            (``x``, ``xp``: uint64; ``fp``: float64).
        IndexError: "x out of bounds": a position lies outside the table.
        ValueError: "xp must be strictly increasing" (only when ``x`` is
            not empty).
        PanicException: "xp and fp must have same length"; "assertion failed:
            value.is_finite()" when a position falls between two tie points
            one of which holds NaN or infinity.
    """

def inverse_int(
    f: NDArray[np.int64],
    xp: NDArray[np.uint64],
    fp: NDArray[np.int64],
    method: Optional[Literal["nearest", "ffill", "bfill"]] = None,
) -> NDArray[np.uint64]:
    """Positions of values ``f`` on an int64 table, computed exactly.

    ``method`` decides a value between two whole positions: ``None`` accepts
    only an exact whole position, "nearest" rounds to nearest (halves to
    even), "ffill" rounds down, "bfill" rounds up. Below the first tie value
    "nearest" and "bfill" give the first position; above the last, "nearest"
    and "ffill" give the last position.

    Raises:
        TypeError: an argument is not a one-dimensional array of its dtype
            (``f``, ``fp``: int64; ``xp``: uint64), or ``method`` is not a str.
        ValueError: an unknown ``method`` string; "fp must be strictly
            increasing" (only when ``f`` is not empty).
        KeyError: "f out of bounds" (outside the table and not filled by the
            method); "f not found" (``method=None`` and no whole position).
        PanicException: "xp and fp must have same length".
    """

def inverse_float(
    f: NDArray[np.float64],
    xp: NDArray[np.uint64],
    fp: NDArray[np.float64],
    method: Optional[Literal["nearest", "ffill", "bfill"]] = None,
) -> NDArray[np.uint64]:
    """Positions of values ``f`` on a float64 table, reproducibly.

    Computed with each step rounded to a 64-bit significand; the position is
    then rounded by ``method`` as in :func:`inverse_int`.

    Raises:
        TypeError: an argument is not a one-dimensional array of its dtype
            (``f``, ``fp``: float64; ``xp``: uint64), or ``method`` is not a str.
        ValueError: an unknown ``method`` string; "fp must be strictly
            increasing" (only when ``f`` is not empty; NaN in a table of two or
            more entries makes it so).
        KeyError: "f out of bounds"; "f not found".
        PanicException: "xp and fp must have same length"; "nan or inf
            encountered" for a NaN query; "assertion failed: value.is_finite()"
            for a value between an infinite end of the table and its neighbour.
    """
