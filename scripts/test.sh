#!/usr/bin/env bash
# Builds the module and runs every test: the C++ unit tests of the numeric core
# with each arithmetic engine (and once with the two-word 128-bit integer, once
# with the AVX-512 lanes emulated), then the pytest suite on each row of the
# matrix (CPython with NumPy 2 and with NumPy 1.26, the MPFR-engine build, the
# soft-engine build with the portable path only, the build with the lanes
# emulated, PyPy with NumPy 1.26). Runs every row, prints each runner's summary,
# and exits non-zero if any row failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/test
mkdir -p "$work"

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"
ensure_debian_packages g++ pkg-config libgtest-dev libmpfr-dev pypy3 pypy3-dev pypy3-venv
ensure_venv "$root/.venv" python3 requirements/test.txt
ensure_venv "$root/.venv-numpy1" python3 requirements/test-numpy1.txt
ensure_venv "$root/.venv-pypy" pypy3 requirements/test-pypy.txt


# C++ unit tests of one build: unit_row NAME TITLE [meson options...]. Runs
# core_tests, and engine_sides where the build has it.
unit_row() {
    local name=$1 title=$2 status=0
    shift 2
    banner "C++ unit tests, $title"
    local dir=$work/unit-$name
    if [ ! -f "$dir/build.ninja" ]; then
        PATH=$root/.venv/bin:$PATH meson setup "$dir" -Dunit_tests=enabled "$@" >"$work/unit-$name.log" 2>&1 || status=$?
    fi
    [ $status -eq 0 ] && { PATH=$root/.venv/bin:$PATH ninja -C "$dir" >>"$work/unit-$name.log" 2>&1 || status=$?; }
    if [ $status -eq 0 ]; then
        "$dir/core_tests" --gtest_brief=1 || status=$?
        if [ -x "$dir/engine_sides" ]; then
            "$dir/engine_sides" --gtest_brief=1 || status=$?
        fi
    else
        tail -n 40 "$work/unit-$name.log"
    fi
    record "unit-$name" $status
}

# Once per engine (each build also compares the soft and x87 engines' schemes
# with MPFR's in one binary, engine_sides).
for engine in x87 mpfr soft; do
    unit_row "$engine" "$engine engine" -Dengine=$engine
done
# Once more with the two-word 128-bit integer, which compilers without one of
# their own (MSVC) build, on the soft engine they use.
unit_row portable-wide "soft engine, two-word 128-bit integer" -Dengine=soft -Dportable_wide=true -Dmodule=disabled
# And with the AVX-512 kernels run through stand-ins for their instructions,
# so that the vector path is tested whether or not this CPU has AVX-512.
unit_row emulated-lanes "x87 engine, AVX-512 lanes emulated" -Demulate_lanes=true -Dmodule=disabled

# The three engines on millions of random operations of every kind, digested.
banner "engine agreement, C++"
engine_digests=()
for engine in x87 mpfr soft; do
    out=$("$work/unit-$engine/engine_digest" 2>&1) || out="failed: $out"
    echo "$out"
    # The first line names the engine; the digest line must match.
    engine_digests+=("$(grep '^digest:' <<<"$out")")
done
[[ "${engine_digests[0]}" == digest:* ]] && [ "${engine_digests[0]}" = "${engine_digests[1]}" ] &&
    [ "${engine_digests[0]}" = "${engine_digests[2]}" ]
record "engine agreement, C++" $?

# Wheels: one per engine for CPython, one for PyPy, each built as `pip install .` would.
build_wheel() {  # build_wheel VENV OUTDIR [pip args...]
    local venv=$1 dir=$2
    shift 2
    rm -rf "$dir" && mkdir -p "$dir"
    "$venv/bin/pip" wheel -q --no-deps -w "$dir" "$@" "$root" >"$dir.log" 2>&1 || { tail -n 40 "$dir.log"; return 1; }
}
run_pytest() {  # run_pytest NAME VENV WHEELDIR
    local name=$1 venv=$2 wheels=$3 status=0
    banner "pytest: $name"
    "$venv/bin/pip" install -q --force-reinstall --no-deps "$wheels"/*.whl || status=$?
    if [ $status -eq 0 ]; then
        (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python") || status=$?
    fi
    record "$name" $status
}

banner "building wheels"
build_wheel "$root/.venv" "$work/wheel-x87" -Csetup-args=-Dengine=x87 && x87=1 || x87=0
build_wheel "$root/.venv" "$work/wheel-mpfr" -Csetup-args=-Dengine=mpfr && mpfr=1 || mpfr=0
# The soft engine with the portable path only, as on CPUs other than x86-64:
# the pytest suite then covers the portable integer kernels on any CPU.
build_wheel "$root/.venv" "$work/wheel-soft" -Csetup-args=-Dengine=soft -Csetup-args=-Dvector=disabled && soft=1 || soft=0
build_wheel "$root/.venv-pypy" "$work/wheel-pypy" && pypy=1 || pypy=0
# The vector path through stand-ins for its instructions: the pytest suite and
# the module's digest then cover it on CPUs without AVX-512 too.
build_wheel "$root/.venv" "$work/wheel-emulated" -Csetup-args=-Demulate_lanes=true && emulated=1 || emulated=0

if [ $x87 -eq 1 ]; then
    run_pytest "CPython, NumPy 2, x87 engine" "$root/.venv" "$work/wheel-x87"
    run_pytest "CPython, NumPy 1.26, x87 engine" "$root/.venv-numpy1" "$work/wheel-x87"
else record "wheel-x87" 1; fi
if [ $mpfr -eq 1 ]; then
    run_pytest "CPython, NumPy 2, MPFR engine" "$root/.venv" "$work/wheel-mpfr"
else record "wheel-mpfr" 1; fi
if [ $soft -eq 1 ]; then
    run_pytest "CPython, NumPy 2, soft engine, portable path" "$root/.venv" "$work/wheel-soft"
else record "wheel-soft" 1; fi
if [ $pypy -eq 1 ]; then
    run_pytest "PyPy, NumPy 1.26, x87 engine" "$root/.venv-pypy" "$work/wheel-pypy"
else record "wheel-pypy" 1; fi
if [ $emulated -eq 1 ]; then
    run_pytest "CPython, NumPy 2, x87 engine, AVX-512 lanes emulated" "$root/.venv" "$work/wheel-emulated"
else record "wheel-emulated" 1; fi

# The float workload through the module must give the same bits on every build
# and interpreter: every engine, NumPy 2 and 1.26, CPython and PyPy.
digest_row() {  # digest_row LABEL VENV WHEELDIR: prints and keeps one digest line
    local label=$1 venv=$2 wheels=$3 out=""
    if "$venv/bin/pip" install -q --force-reinstall --no-deps "$wheels"/*.whl; then
        out=$(cd "$work" && "$venv/bin/python" "$root/tests/engine_digest.py" 2>&1) || out="failed: $out"
    else
        out="failed: the wheel did not install"
    fi
    echo "$label: $out"
    digests+=("$out")
}
if [ $x87 -eq 1 ] || [ $mpfr -eq 1 ] || [ $soft -eq 1 ] || [ $pypy -eq 1 ] || [ $emulated -eq 1 ]; then
    banner "engine and interpreter agreement, through the module"
    digests=()
    # MPFR and soft first: .venv is left with the default engine installed.
    [ $mpfr -eq 1 ] && digest_row "CPython, NumPy 2, MPFR engine" "$root/.venv" "$work/wheel-mpfr"
    [ $soft -eq 1 ] && digest_row "CPython, NumPy 2, soft engine, portable path" "$root/.venv" "$work/wheel-soft"
    [ $emulated -eq 1 ] && digest_row "CPython, NumPy 2, x87 engine, AVX-512 lanes emulated" "$root/.venv" "$work/wheel-emulated"
    if [ $x87 -eq 1 ]; then
        digest_row "CPython, NumPy 2, x87 engine" "$root/.venv" "$work/wheel-x87"
        digest_row "CPython, NumPy 1.26, x87 engine" "$root/.venv-numpy1" "$work/wheel-x87"
    fi
    [ $pypy -eq 1 ] && digest_row "PyPy, NumPy 1.26, x87 engine" "$root/.venv-pypy" "$work/wheel-pypy"
    # A wheel that failed to build is recorded above; the rows that ran must agree.
    status=0
    [ ${#digests[@]} -ge 2 ] && [[ "${digests[0]}" =~ ^[0-9a-f]{64}\  ]] || status=1
    for d in "${digests[@]}"; do
        [ "$d" = "${digests[0]}" ] || status=1
    done
    record "engine and interpreter agreement, module" $status
fi

# The benchmark's own data and goal summary, against exact Python integers (with
# the module as installed in .venv).
banner "benchmark checks"
(cd "$work" && "$root/.venv/bin/python" "$root/bench/test_bench.py" 2>&1 | tail -n 3)
record "benchmark checks" "${PIPESTATUS[0]}"

# The distribution as users get it: sdist, a wheel built from it, a fresh install.
banner "packaging"
bash "$root/scripts/package.sh" >"$work/package.log" 2>&1
status=$?
tail -n 3 "$work/package.log"
record "packaging" $status

banner "summary"
[ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
echo "matrix: $passed passed, $failed failed"
[ $failed -eq 0 ]
