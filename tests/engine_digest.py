"""Prints one digest of the float functions' results over a fixed workload.

The test command runs it against the build of each arithmetic engine: equal
digests mean the engines agree bit for bit on every element.
"""
import hashlib

import numpy as np

import rust

METHODS = (None, "nearest", "ffill", "bfill")


def tables(rng):
    """Random float tables over many magnitudes, both signs, with increasing fp."""
    for scale in (1e-310, 1e-300, 1e-20, 1e-3, 1.0, 1e3, 1e20, 1e300):
        for n in (2, 3, 17, 200):
            xp = np.unique(rng.integers(0, 2**64 - 1, size=n, dtype=np.uint64, endpoint=True))
            fp = np.sort(rng.standard_normal(len(xp)) * scale)
            fp = np.unique(fp)
            xp = xp[: len(fp)]
            if len(xp) >= 2:
                yield xp, fp


def main():
    rng = np.random.default_rng(20261207)
    digest = hashlib.sha256()
    count = 0
    for xp, fp in tables(rng):
        x = rng.integers(int(xp[0]), int(xp[-1]), size=4000, dtype=np.uint64, endpoint=True)
        digest.update(rust.forward_float(x, xp, fp).tobytes())
        # Queries spread over the whole value range, tie values included.
        lo, hi = fp[0], fp[-1]
        f = np.concatenate([lo + (hi - lo) * rng.random(4000), fp])
        f = np.clip(f, lo, hi)
        for method in METHODS[1:]:
            digest.update(rust.inverse_float(f, xp, fp, method).tobytes())
        count += len(x) + 3 * len(f)
    print(f"{digest.hexdigest()} over {count} elements")


if __name__ == "__main__":
    main()
