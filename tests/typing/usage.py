"""Typed use of the module: type-checks under `mypy --strict` and runs."""
from typing import Literal, Optional

import numpy as np
from numpy.typing import NDArray

import rust

Method = Optional[Literal["nearest", "ffill", "bfill"]]

xp: NDArray[np.uint64] = np.array([0, 4, 8], dtype=np.uint64)
fp_int: NDArray[np.int64] = np.array([0, 10, 30], dtype=np.int64)
fp_float: NDArray[np.float64] = np.array([0.0, 1.0, 3.0], dtype=np.float64)


def timestamps(samples: NDArray[np.uint64]) -> NDArray[np.int64]:
    return rust.forward_int(samples, xp, fp_int)


def samples_at(values: NDArray[np.int64], method: Method = None) -> NDArray[np.uint64]:
    return rust.inverse_int(values, xp, fp_int, method)


def distances(samples: NDArray[np.uint64]) -> NDArray[np.float64]:
    return rust.forward_float(samples, xp=xp, fp=fp_float)


def samples_near(values: NDArray[np.float64]) -> NDArray[np.uint64]:
    return rust.inverse_float(f=values, xp=xp, fp=fp_float, method="nearest")


def main() -> None:
    x = np.arange(9, dtype=np.uint64)
    t = timestamps(x)
    assert samples_at(t, "nearest").tolist() == x.tolist()
    for method in (None, "ffill", "bfill"):
        assert samples_at(np.array([10, 20], dtype=np.int64), method).tolist() == [4, 6]
    assert samples_near(distances(x)).tolist() == x.tolist()


if __name__ == "__main__":
    main()
