"""Faults from outside the module: a broken or impostor NumPy when its array API
is loaded, and outputs too large to allocate. Each case runs in a process of its
own, so the one-time state (the API table above all) starts empty."""
import datetime
import json
import os
import subprocess
import sys
import textwrap

import pytest

import rust

CAPSULE_PREFIX = "Failed to access NumPy array API capsule: "

# Run first in every child: arrays are made with the real NumPy, which is then
# taken out of sys.modules; the next import of "numpy" finds the impostor that
# the case wrote to FAKE (first on sys.path). `restore()` brings the real one back.
PRELUDE = r"""
import builtins, importlib, json, os, sys
import numpy as np
import rust

FAKE = sys.argv[1]
real_core = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
builtins.REAL_ARRAY_API = importlib.import_module(real_core + ".multiarray")._ARRAY_API

X = np.array([1, 3], dtype=np.uint64)
XP = np.array([0, 4], dtype=np.uint64)
FP = np.array([0, 10], dtype=np.int64)
FPF = np.array([0.0, 1.0])

REAL = {k: m for k, m in sys.modules.items() if k == "numpy" or k.startswith("numpy.")}
for k in REAL:
    del sys.modules[k]
sys.path.insert(0, FAKE)


def restore():
    sys.path.remove(FAKE)
    for k in [k for k in sys.modules if k == "numpy" or k.startswith("numpy.")]:
        del sys.modules[k]
    sys.modules.update(REAL)


def outcome(call):
    try:
        r = call()
    except Exception as e:
        return ["ordinary", type(e).__name__, str(e)]
    except BaseException as e:
        return [type(e).__module__ + "." + type(e).__qualname__] + list(e.args)
    return ["ok", r.tolist()]


def calls():
    return [outcome(lambda: rust.forward_int(X, XP, FP)),
            outcome(lambda: rust.inverse_float(FPF, XP, FPF, "nearest"))]
"""

VERSION_PARSER = '''
class NumpyVersion:
    def __init__(self, version):
        self.major = int(version.split(".")[0])
'''


def write_tree(root, files):
    for rel, text in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(textwrap.dedent(text))


def impostor(version, layout, capsule="builtins.REAL_ARRAY_API", parser=VERSION_PARSER):
    """The files of a fake numpy package: its version, one core layout
    ("_core" or "core") whose multiarray module holds `capsule` as _ARRAY_API
    (None: no such attribute), and numpy.lib with `parser` as NumpyVersion."""
    files = {
        "numpy/__init__.py": "__version__ = %r\n" % version,
        "numpy/lib/__init__.py": parser,
        "numpy/%s/__init__.py" % layout: "",
        "numpy/%s/multiarray.py" % layout: "import builtins, datetime\n"
        + ("" if capsule is None else "_ARRAY_API = %s\n" % capsule),
    }
    return files


def child(*args):
    """Runs `python -c ARGS...` with this module importable; returns the last
    line of its output, read as JSON."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(rust.__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    proc = subprocess.run([sys.executable, "-c", *args], env=env, capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_child(tmp_path, files, body):
    write_tree(str(tmp_path / "fake"), files)
    return child(PRELUDE + textwrap.dedent(body), str(tmp_path / "fake"))


EXPECTED_OK = [["ok", [2, 8]], ["ok", [0, 4]]]

# First calls against the impostor, then against the real NumPy again.
FAIL_THEN_RESTORE = """
first = calls()
restore()
print(json.dumps([first, calls()]))
"""


def assert_capsule_panic(outcomes, *fragments):
    for o in outcomes:
        assert o[0] == "pyo3_runtime.PanicException" and len(o) == 2, o
        assert o[1].startswith(CAPSULE_PREFIX), o
        for fragment in fragments:
            assert fragment in o[1], (fragment, o[1])


BROKEN = {
    "no _ARRAY_API": (impostor("2.1.0", "_core", capsule=None), ["AttributeError", "_ARRAY_API"]),
    "_ARRAY_API not a capsule": (impostor("2.1.0", "_core", capsule="42"), ["ValueError"]),
    "capsule of another name": (impostor("2.1.0", "_core", capsule="datetime.datetime_CAPI"),
                                ["ValueError"]),
    "no multiarray module": ({"numpy/__init__.py": "__version__ = '2.1.0'\n",
                              "numpy/lib/__init__.py": VERSION_PARSER}, ["ModuleNotFoundError"]),
    "numpy fails to import": ({"numpy/__init__.py": "raise ImportError('broken install')\n"},
                              ["ImportError", "broken install"]),
    "version unparsable": (impostor("two", "_core"), ["ValueError"]),
    "major version 256": (impostor("256.0", "_core"), ["ValueError"]),
    "major version -1": (impostor("-1.0", "core"), ["ValueError"]),
    "no NumpyVersion": (impostor("2.1.0", "_core", parser=""), ["AttributeError", "NumpyVersion"]),
}


@pytest.mark.parametrize("case", list(BROKEN))
def test_broken_numpy_raises_panic_and_keeps_nothing(tmp_path, case):
    if case == "capsule of another name" and type(getattr(datetime, "datetime_CAPI", None)).__name__ != "PyCapsule":
        pytest.skip("this interpreter's datetime has no C API capsule")
    files, fragments = BROKEN[case]
    first, then = run_child(tmp_path, files, FAIL_THEN_RESTORE)
    assert_capsule_panic(first, *fragments)
    # Nothing of the failed attempt was kept: the real NumPy now serves.
    assert then == EXPECTED_OK


# The layout of the core follows the major version: an impostor offering the
# real table under one layout only is used when its version names that layout.
@pytest.mark.parametrize(
    "version, layout, works",
    [
        ("2.0.0", "_core", True),
        ("1.26.0", "core", True),
        ("2.0.0", "core", False),     # would need numpy._core
        ("1.26.0", "_core", False),   # would need numpy.core
    ],
)
def test_core_layout_follows_the_major_version(tmp_path, version, layout, works):
    body = """
    first = calls()
    imported = sorted(k for k in sys.modules if k.endswith("multiarray"))
    restore()
    print(json.dumps([first, imported]))
    """
    first, imported = run_child(tmp_path, impostor(version, layout), body)
    wanted = "numpy._core" if version.startswith("2") else "numpy.core"
    if works:
        assert first == EXPECTED_OK
        assert imported == [wanted + ".multiarray"]
    else:
        assert_capsule_panic(first, "ModuleNotFoundError", wanted)
        assert imported == []


# ---------------------------------------------------------------------------
# Outputs and copies too large to allocate

MEMORY_CHILD = r"""
import gc, json, sys
import numpy as np
from numpy.lib.stride_tricks import as_strided
import rust

def huge(a):
    return as_strided(a[:1], shape=(2**40,), strides=(0,))

def resident_and_virtual():
    with open("/proc/self/statm") as f:
        fields = f.read().split()
    return int(fields[1]) * 4096, int(fields[0]) * 4096

x = np.arange(17, dtype=np.uint64)
xp = np.array([0, 16], dtype=np.uint64)
fp = np.array([-100, 100], dtype=np.int64)
fpf = np.array([-1.0, 1.0])
f = np.arange(-16, 17, 2, dtype=np.int64)
ff = np.linspace(-1, 1, 17)
name, slot, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
call = getattr(rust, name)
args = {"forward_int": [x, xp, fp], "forward_float": [x, xp, fpf],
        "inverse_int": [f, xp, fp, "nearest"], "inverse_float": [ff, xp, fpf, "nearest"]}[name]
good = call(*args).tolist()
original = list(args)
args[slot] = huge(args[slot])
# The tie arrays must stay of equal length, or the length check comes first.
if slot == 1:
    args[2] = huge(args[2])

def attempt():
    try:
        call(*args)
    except MemoryError as e:
        return e.args
    raise AssertionError("no MemoryError")

assert attempt() == ()
for _ in range(1000):
    attempt()
gc.collect()
before = resident_and_virtual()
for _ in range(repeats):
    attempt()
gc.collect()
after = resident_and_virtual()
print(json.dumps([after[0] - before[0], after[1] - before[1],
                  call(*original).tolist() == good]))
"""


def overcommit_refuses_huge_maps():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() != "1"
    except OSError:
        return False


def under_address_sanitizer():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


@pytest.mark.skipif(not overcommit_refuses_huge_maps(), reason="the kernel would grant 8 TiB")
@pytest.mark.parametrize("slot", [0, 1], ids=["query", "tie arrays"])
@pytest.mark.parametrize("name", ["forward_int", "forward_float", "inverse_int", "inverse_float"])
def test_too_large_to_allocate_raises_memory_error_and_leaks_nothing(name, slot):
    if slot == 1 and under_address_sanitizer():
        pytest.skip("the address sanitizer aborts on a failed operator new instead of throwing")
    # 100000 failed calls: copies of 17 elements left behind each time would
    # add up to megabytes.
    resident, virtual, next_call_fine = child(MEMORY_CHILD, name, str(slot), "100000")
    assert next_call_fine
    if not under_address_sanitizer():  # its allocator keeps freed memory in quarantine
        assert resident < 2**20, "resident memory grew by %d bytes" % resident
        assert virtual < 2**20, "virtual memory grew by %d bytes" % virtual
