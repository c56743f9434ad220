#!/usr/bin/env bash
# Benchmarks the module against numpy.interp, numpy.searchsorted and pandas:
#   bash bench/run.sh [--vector disabled] [--engine x87|mpfr|soft] [--quick | --goal]
#                     [--only forward_int,inverse_float] [--values half|real] [--out DIR]
# --vector disabled builds the module with the portable path only (the AVX-512
# kernels left out), --engine with another engine for the float arithmetic; the
# report names the build.
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

# The build options are this script's; the rest go to bench.py.
setup_args=()
options=()
bench_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --vector|--engine)
            [ $# -ge 2 ] || { echo "$1 needs a value" >&2; exit 2; }
            setup_args+=("-Csetup-args=-D${1#--}=$2")
            options+=("${1#--} $2")
            shift 2 ;;
        *) bench_args+=("$1"); shift ;;
    esac
done
build="default build"
[ ${#options[@]} -gt 0 ] && build=$(IFS=,; echo "${options[*]}")

echo "installing the module (pip install . ${setup_args[*]})"
mkdir -p "$root/bench/results"
if ! "$venv/bin/pip" install -q --force-reinstall --no-deps "${setup_args[@]}" "$root" >"$root/bench/results/install.log" 2>&1; then
    tail -n 40 "$root/bench/results/install.log"
    exit 1
fi

# The script's own folder leads sys.path, so the installed module is the one imported.
cd "$caller"
exec "$venv/bin/python" "$root/bench/bench.py" --build "$build" "${bench_args[@]}"
