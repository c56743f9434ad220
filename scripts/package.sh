#!/usr/bin/env bash
# Builds the source distribution and the wheel into dist/ (the wheel from the
# source distribution, so a file missing from it fails the build), installs the
# wheel into a fresh virtual environment and runs a smoke test there.
# The source distribution holds the committed files only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/package

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"
ensure_debian_packages g++ pkg-config >&2
ensure_venv "$root/.venv-package" python3 requirements/package.txt >&2

if [ -n "$(git status --porcelain --untracked-files=normal 2>/dev/null)" ]; then
    echo "note: uncommitted changes are not in the source distribution" >&2
fi

rm -rf "$root/dist" "$work"
mkdir -p "$work"
echo "building the source distribution and the wheel"
"$root/.venv-package/bin/python" -m build --outdir "$root/dist" "$root" >"$work/build.log" 2>&1 \
    || { tail -n 40 "$work/build.log"; exit 1; }
ls -l "$root/dist"

echo "installing the wheel into a fresh virtual environment"
python3 -m venv "$work/venv"
"$work/venv/bin/pip" install -q "$root"/dist/rust-*.whl

version=$(sed -n "s/^ *version: '\(.*\)',$/\1/p" "$root/meson.build" | head -n 1)
echo "smoke test"
cd "$work"
"$work/venv/bin/python" - "$version" <<'PY'
import importlib.metadata
import pathlib
import sys

import numpy as np

import rust

assert importlib.metadata.version("rust") == sys.argv[1], importlib.metadata.version("rust")
assert rust.__all__ == ["forward_int", "forward_float", "inverse_int", "inverse_float"]
xp = np.array([0, 4], dtype=np.uint64)
x = np.array([1, 2, 3], dtype=np.uint64)
assert rust.forward_int(x, xp, np.array([0, 10], dtype=np.int64)).tolist() == [2, 5, 8]
assert rust.forward_float(x, xp, np.array([0.0, 1.0])).tolist() == [0.25, 0.5, 0.75]
assert rust.inverse_int(np.array([5], dtype=np.int64), xp,
                        np.array([0, 10], dtype=np.int64), "ffill").tolist() == [2]
assert rust.inverse_float(np.array([0.3]), xp, np.array([0.0, 1.0]),
                          method="bfill").tolist() == [2]
here = pathlib.Path(rust.__file__).parent
stubs = [here / "rust.pyi", here / "rust-stubs" / "__init__.pyi"]
assert all(p.is_file() for p in stubs), stubs
assert stubs[0].read_bytes() == stubs[1].read_bytes()
print(f"rust {sys.argv[1]} from {rust.__file__}: four functions and the stubs OK")
PY
