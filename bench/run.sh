#!/usr/bin/env bash
# Benchmarks the module against numpy.interp, numpy.searchsorted and pandas, timed by pyperf:
#   bash bench/run.sh [--vector disabled] [--engine x87|mpfr|soft] [--quick | --goal]
#                     [--only forward_int,inverse_float] [--values half|real] [--out DIR]
#   bash bench/run.sh --compare A.json B.json [--pyperf]
# --vector disabled builds the module with the portable path only (the AVX-512
# kernels left out), --engine with another engine for the float arithmetic; the
# report names the build and the CPU.
# Creates .venv-bench from requirements/bench.txt (again when that file changes),
# installs the module from this checkout into it with `pip install .`, and runs
# the bench package (bench/__main__.py) with the given arguments. A run writes
# its results file, bench/results/results.json (pyperf's JSON, every value with
# its metadata), and the report made from it, results.md and speed.png; a full
# run also copies those two to bench/. --goal only prints the goal summary (the
# ratios to numpy.interp being worked towards), in a few minutes, and writes
# nothing unless given --out. --compare prints two results files side by side
# (from two commits or two CPUs; --pyperf adds pyperf's compare_to) and builds
# nothing.
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

# Comparing two results files needs no module.
if [ "${1:-}" = --compare ]; then
    cd "$caller"
    exec "$venv/bin/python" "$root/bench/__main__.py" "$@"
fi

# The build options are this script's; the rest go to the bench package.
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

# __main__.py puts the checkout's root on sys.path, where no `rust` lies, so the
# installed module is the one imported; pyperf's workers run the same file.
cd "$caller"
exec "$venv/bin/python" "$root/bench/__main__.py" --build "$build" "${bench_args[@]}"
