"""Peak extra memory of one call, each measured in a fresh child process.

Each measured call runs in a fresh child process (glibc's mmap threshold fixed,
so large blocks are mapped and returned rather than recycled); the child resets
its peak RSS (VmHWM, by writing 5 to /proc/self/clear_refs) just before the call
and reports the peak minus the RSS just before it.

    python -m bench.memory JOB     (the child; JOB is the JSON the parent passes)
"""

from __future__ import annotations

import gc
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import time

from bench import cases, data
from bench.regimes import fmt_count

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read_status_kib(field: str) -> int:
    with open("/proc/self/status") as fh:
        return int(re.search(rf"^{field}:\s+(\d+) kB", fh.read(), re.M).group(1))


def child(arg: str) -> None:
    """Runs in a fresh process: one call on saved data, prints its peak extra memory."""
    job = json.loads(arg)
    data.VALUES = job["values"]
    table, q = data.load(job["dir"])
    name = job["name"]
    fn, _ = cases.build_calls(table, q, [name])[name]
    gc.collect()
    gc.disable()

    rss0 = read_status_kib("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        how = "VmHWM"
    except OSError:
        how = "ru_maxrss"
    max0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = fn()
    peak = read_status_kib("VmHWM") if how == "VmHWM" else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if how == "ru_maxrss":  # only growth past the earlier peak shows: a lower bound
        rss0 = max0
    del result
    print(json.dumps({"extra_bytes": max(0, peak - rss0) * 1024, "how": how}))


def measure(n_queries: int, jobs: list[tuple[int, str, list[str]]], tmp: str, log) -> list[dict]:
    """jobs: (table size, order, names); one fresh process per call."""
    rows = []
    env = dict(os.environ)
    env["MALLOC_MMAP_THRESHOLD_"] = "65536"
    env["MALLOC_TRIM_THRESHOLD_"] = "131072"
    env["PYTHONPATH"] = ROOT + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    for n, order, names in jobs:
        t0 = time.monotonic()
        table = data.Table(n)
        q = data.Queries(table, n_queries, order)
        d = os.path.join(tmp, f"mem-{n}-{order}")
        data.save(table, q, d)
        del q
        for name in names:
            job = json.dumps({"dir": d, "name": name, "values": data.VALUES})
            proc = subprocess.run([sys.executable, "-m", "bench.memory", job], capture_output=True, text=True,
                                  env=env, cwd=ROOT)
            row = {"N": n_queries, "n": n, "order": order, "name": name}
            if proc.returncode != 0:
                lines = proc.stderr.strip().splitlines() or ["no output"]
                row.update(extra_bytes=None, how="failed: " + lines[-1])
            else:
                row.update(json.loads(proc.stdout.strip().splitlines()[-1]))
            rows.append(row)
        shutil.rmtree(d)
        log(f"memory N={fmt_count(n_queries):>4} n={fmt_count(n):>4} {order:6}: {len(names)} calls "
            f"in {time.monotonic() - t0:5.1f} s")
    return rows


if __name__ == "__main__":
    child(sys.argv[1])
