"""A recording's sample indices and its int64 nanosecond timestamps, both ways.

The recording runs at 3 kHz (a period of 333333.33... ns, not a whole number of
nanoseconds) for 1000 s, stops for 12.5 s, and resumes for another 1000 s.
Four tie points describe it.
"""
import numpy as np

import rust

T0 = np.datetime64("2026-03-14T09:26:53.589793238", "ns").astype(np.int64)
SECOND = 1_000_000_000

# Sample positions and their times: samples 0 to 3,000,000 span exactly 1000 s;
# after the gap, samples 3,000,001 to 6,000,001 span another 1000 s.
XP = np.array([0, 3_000_000, 3_000_001, 6_000_001], dtype=np.uint64)
FP = np.array(
    [T0, T0 + 1000 * SECOND, T0 + 1012_500_000_000, T0 + 2012_500_000_000],
    dtype=np.int64,
)


def iso(ns):
    return str(np.datetime64(int(ns), "ns"))


def show(rows, header):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    line = "  ".join([header[0].ljust(widths[0])]
                     + [h.rjust(w) for h, w in zip(header[1:], widths[1:])])
    print(line)
    print("-" * len(line))
    for row in rows:
        cells = [str(row[0]).ljust(widths[0])]
        cells += [str(c).rjust(w) for c, w in zip(row[1:], widths[1:])]
        print("  ".join(cells))
    print()


def forward_demo():
    print("Sample index -> timestamp (int64 ns)")
    x = np.array([1, 2, 1_500_000, 3_000_000, 3_000_001, 4_500_002], dtype=np.uint64)
    exact = rust.forward_int(x, XP, FP)
    approx = np.interp(x.astype(np.float64), XP.astype(np.float64), FP.astype(np.float64))
    rows = [
        (int(i), iso(t), int(t), int(a) - int(t))
        for i, t, a in zip(x, exact, approx.astype(np.int64))
    ]
    show(rows, ("sample", "timestamp", "forward_int (ns)", "numpy.interp error (ns)"))


def inverse_demo():
    print("Timestamp -> sample index, by fill method")
    f = np.array(
        [
            FP[0],  # the first sample, exactly
            FP[0] + 1_000_000,  # 1 ms in: 3 whole samples
            FP[0] + 500_000,  # 1.5 samples in: not a sample time
            FP[1] + 5 * SECOND,  # in the gap
            FP[0] - 1,  # before the recording
        ],
        dtype=np.int64,
    )
    labels = ("first sample", "+1 ms", "+0.5 ms", "in the gap", "before start")
    methods = (None, "nearest", "ffill", "bfill")
    rows = []
    for label, value in zip(labels, f):
        cells = [label, iso(value)]
        for method in methods:
            try:
                cells.append(int(rust.inverse_int(np.array([value]), XP, FP, method)[0]))
            except KeyError as e:
                cells.append(f"KeyError({e.args[0]!r})")
        rows.append(cells)
    show(rows, ("query", "timestamp", "None", "nearest", "ffill", "bfill"))


def round_trip_demo():
    x = np.arange(0, 6_000_002, 7, dtype=np.uint64)
    t = rust.forward_int(x, XP, FP)
    t_float = np.interp(x.astype(np.float64), XP.astype(np.float64), FP.astype(np.float64))
    err = np.abs(t_float.astype(np.int64) - t)
    print(f"{len(x):,} samples, every 7th of the recording:")
    print(f"  timestamps off by 1 ns or more with numpy.interp: {np.count_nonzero(err):,} "
          f"(up to {int(err.max())} ns); with forward_int: exact")
    # Every third sample falls on a whole nanosecond, so its timestamp maps back
    # to exactly that sample, and rounding down must give it again.
    x = np.arange(0, 3_000_001, 3, dtype=np.uint64)
    t = rust.forward_int(x, XP, FP)
    back = rust.inverse_int(t, XP, FP, "ffill")
    back_float = np.floor(np.interp(t.astype(np.float64), FP.astype(np.float64),
                                    XP.astype(np.float64)))
    print(f"{len(x):,} samples on whole nanoseconds, found again from their timestamps "
          f"by rounding down ('ffill'):")
    print(f"  wrong with numpy.interp: {np.count_nonzero(back_float.astype(np.uint64) != x):,}; "
          f"with inverse_int: {np.count_nonzero(back != x):,}")


if __name__ == "__main__":
    print("A recording at 3 kHz: 1000 s, a gap of 12.5 s, another 1000 s. Tie points:")
    show([(int(x), iso(t), int(t)) for x, t in zip(XP, FP)], ("sample", "timestamp", "int64 ns"))
    forward_demo()
    inverse_demo()
    round_trip_demo()
