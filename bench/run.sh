#!/usr/bin/env bash
# Benchmarks the module against numpy.interp, numpy.searchsorted and pandas:
#   bash bench/run.sh [--quick | --goal] [--only forward_int,inverse_float] [--out DIR]
# Creates .venv-bench from requirements/bench.txt (again when that file changes),
# installs the module from this checkout into it with `pip install .`, and runs
# bench/bench.py with the given arguments. A full run writes its raw output to
# bench/results/ and the table and plot to bench/results.md and bench/speed.png;
# --goal only prints the goal summary (the ratios to numpy.interp being worked
# towards), in a few minutes, and writes nothing unless given --out.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD
venv=$root/.venv-bench
req=$root/requirements/bench.txt

if [ ! -x "$venv/bin/python" ] || ! cmp -s "$req" "$venv/.requirements"; then
    echo "creating $venv from $req"
    rm -rf "$venv"
    python3 -m venv "$venv"
    "$venv/bin/pip" install -q -r "$req"
    cp "$req" "$venv/.requirements"
fi

echo "installing the module (pip install .)"
mkdir -p "$root/bench/results"
if ! "$venv/bin/pip" install -q --force-reinstall --no-deps "$root" >"$root/bench/results/install.log" 2>&1; then
    tail -n 40 "$root/bench/results/install.log"
    exit 1
fi

# The script's own folder leads sys.path, so the installed module is the one imported.
cd "$caller"
exec "$venv/bin/python" "$root/bench/bench.py" "$@"
