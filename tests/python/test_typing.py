"""The type stubs: they match the module, accept typed use and reject misuse.

mypy runs in a subprocess on the files under tests/typing. When the module is
installed from a wheel, mypy finds the installed stubs; in a development build
it is pointed at the stub in the source tree.
"""
import os
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import rust

pytest.importorskip("mypy", reason="mypy is not installed in this environment")

ROOT = Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"
SOURCE_STUB_DIR = ROOT / "src" / "module"


def installed_stubs():
    """The stub package installed beside the module, or None."""
    stubs = Path(rust.__file__).parent / "rust-stubs" / "__init__.pyi"
    return stubs if stubs.is_file() else None


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    """One mypy cache for the module's runs: NumPy's stubs are analysed once."""
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(tmp_path, cache_dir, *args, module="mypy"):
    env = dict(os.environ)
    if installed_stubs() is None:
        env["MYPYPATH"] = str(SOURCE_STUB_DIR)
    cmd = [sys.executable, "-m", module]
    if module == "mypy":
        cmd += ["--cache-dir", str(cache_dir), "--no-error-summary",
                "--show-error-codes", "--strict"]
    proc = subprocess.run(cmd + list(args), cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


def test_stub_matches_the_module(tmp_path, cache_dir):
    # Names, __all__, parameter names, kinds and defaults against the runtime.
    rc, out = run_mypy(tmp_path, cache_dir, "rust", module="mypy.stubtest")
    assert rc == 0, out


def test_typed_usage_checks_cleanly(tmp_path, cache_dir):
    rc, out = run_mypy(tmp_path, cache_dir, str(TYPING / "usage.py"))
    assert rc == 0, out


def test_misuse_is_rejected_line_by_line(tmp_path, cache_dir):
    path = TYPING / "misuse.py"
    marked = {i for i, line in enumerate(path.read_text().splitlines(), 1)
              if "# rejected:" in line}
    rc, out = run_mypy(tmp_path, cache_dir, str(path))
    flagged = {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error:", out)}
    assert rc == 1, out
    assert flagged == marked, out


def test_typed_usage_runs():
    runpy.run_path(str(TYPING / "usage.py"), run_name="__main__")
