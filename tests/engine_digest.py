"""Prints one digest of the float functions' results over a fixed workload.

The test command runs it against the build of each arithmetic engine, and on
each interpreter and NumPy line it tests: equal digests mean they all agree bit
for bit on every element. The workload comes from Python's own generator, whose
sequence is the same on every interpreter, and not from NumPy's, whose streams
may change between NumPy releases.
"""
import hashlib
import random

import numpy as np

import rust

METHODS = (None, "nearest", "ffill", "bfill")


def tables(rng):
    """Random float tables over many magnitudes, both signs, with increasing fp."""
    for scale in (1e-310, 1e-300, 1e-20, 1e-3, 1.0, 1e3, 1e20, 1e300):
        for n in (2, 3, 17, 200):
            xp = np.unique(np.array([rng.getrandbits(64) for _ in range(n)], dtype=np.uint64))
            fp = np.sort(np.array([rng.gauss(0.0, 1.0) for _ in range(len(xp))]) * scale)
            fp = np.unique(fp)
            xp = xp[: len(fp)]
            if len(xp) >= 2:
                yield xp, fp


def main():
    rng = random.Random(20261207)
    digest = hashlib.sha256()
    count = 0
    for xp, fp in tables(rng):
        lo, hi = int(xp[0]), int(xp[-1])
        x = np.array([rng.randint(lo, hi) for _ in range(4000)], dtype=np.uint64)
        digest.update(rust.forward_float(x, xp, fp).tobytes())
        # Queries spread over the whole value range, tie values included.
        lo, hi = fp[0], fp[-1]
        f = np.concatenate([lo + (hi - lo) * np.array([rng.random() for _ in range(4000)]), fp])
        f = np.clip(f, lo, hi)
        for method in METHODS[1:]:
            digest.update(rust.inverse_float(f, xp, fp, method).tobytes())
        count += len(x) + 3 * len(f)
    print(f"{digest.hexdigest()} over {count} elements")


if __name__ == "__main__":
    main()
