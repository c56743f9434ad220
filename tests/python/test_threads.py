"""Many Python threads calling the four functions at once get what one thread
gets, including the very first calls of a process, which make the one-time
state (NumPy's API table, the exception and container types) while NumPy's
version query lets other threads run."""
import os
import subprocess
import sys
import threading

import rust

# The workload, shared with the child process below: every function on success
# and on failure paths, over several layouts. Run as a script it prints the
# outcomes of all calls made by many threads at once from a fresh start.
WORKLOAD = r'''
import random
import sys
import threading

import numpy as np

import rust


def workload(seed):
    rng = random.Random(seed)
    calls = []
    for _ in range(30):
        n = rng.randint(1, 6)
        xp = np.array(sorted(rng.sample(range(0, 2**20), n)), dtype=np.uint64)
        fp = np.array(sorted(rng.sample(range(-2**40, 2**40), n)), dtype=np.int64)
        fpf = fp.astype(np.float64) / 7.0
        x = np.array([rng.randint(0, 2**20) for _ in range(8)], dtype=np.uint64)
        f = np.array([rng.randint(-2**40, 2**40) for _ in range(8)], dtype=np.int64)
        method = rng.choice([None, "nearest", "ffill", "bfill", "Nearest"])
        calls += [
            (rust.forward_int, (x, xp, fp)),
            (rust.forward_int, (x[::-1], xp, fp[::-1][::-1])),
            (rust.forward_float, (x, xp, fpf)),
            (rust.inverse_int, (f, xp, fp, method)),
            (rust.inverse_float, (f.astype(np.float64) / 7.0, xp, fpf, method)),
            (rust.inverse_float, (np.array([np.nan]), xp, fpf)),
            (rust.forward_float, (x, xp[:1], fpf)),
        ]
    return calls


def outcome(call, args):
    try:
        r = call(*args)
    except BaseException as e:
        return (type(e).__name__, e.args, id(type(e)))
    return (r.dtype.str, r.view(np.uint64).tolist(), id(type(r.base)))


def run_all(calls):
    return [outcome(c, a) for c, a in calls]


def together(threads, rounds, calls):
    """Each thread runs the calls `rounds` times, all starting at once."""
    barrier = threading.Barrier(threads)
    results = [None] * threads

    def body(k):
        barrier.wait()
        results[k] = [run_all(calls) for _ in range(rounds)]

    workers = [threading.Thread(target=body, args=(k,)) for k in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return results


if __name__ == "__main__":
    sys.setswitchinterval(1e-6)
    calls = workload(int(sys.argv[1]))
    results = together(16, 3, calls)
    single = run_all(calls)
    same = all(r == single for per_thread in results for r in per_thread)
    print("same" if same else "differ")
'''

namespace = {}
exec(compile(WORKLOAD, "<workload>", "exec"), namespace)


def test_threads_see_what_one_thread_sees():
    calls = namespace["workload"](1)
    single = namespace["run_all"](calls)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        results = namespace["together"](8, 5, calls)
    finally:
        sys.setswitchinterval(old)
    for per_thread in results:
        for r in per_thread:
            assert r == single


def test_first_calls_of_a_process_from_many_threads():
    # Fresh processes: the threads race through the one-time initialisations.
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(rust.__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    for seed in range(3):
        proc = subprocess.run([sys.executable, "-c", WORKLOAD, str(seed)], env=env,
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split() == ["same"]

