#!/usr/bin/env bash
# Hardening checks of the module, beyond the test matrix of scripts/test.sh:
#
#   1. sanitizers: the module and the C++ unit tests built with AddressSanitizer
#      and UndefinedBehaviorSanitizer, for each arithmetic engine; the unit tests
#      run with leak detection, the whole pytest suite runs against the
#      instrumented module (its resident-memory soak aside: the sanitizer's
#      allocator keeps freed memory in quarantine);
#   2. valgrind memcheck over a run of the four functions on their success and
#      failure paths: no error record and no definite leak with the module in
#      its stack;
#   3. leak soak: a million calls on each of the 21 paths (results, every
#      ordinary failure, every internal failure, an output too large to
#      allocate): resident growth under 1 MiB and no reference count changed;
#   4. fuzzing: atheris over the four functions with any kind of argument,
#      guided by the coverage of the Python decoder (pure-Python mode: the
#      native code is not instrumented), checked against the documented
#      outcomes, an exact reference for integer tables and contiguous copies;
#      then its corpus and unguided random inputs against the sanitized module;
#   5. native fuzzing: libFuzzer targets on the C++ core alone, built with clang
#      under the sanitizers (scripts/fuzz_native.sh): the divisions, the query
#      walk against one query at a time, and the x87 and soft engines against
#      MPFR;
#   6. aarch64: the C++ core's unit tests and engine digest cross-built for
#      64-bit Arm (which takes the soft engine) and run under qemu-user, the
#      digest compared with x86-64's (scripts/aarch64.sh);
#   7. Windows: the same unit tests and digest cross-built for 64-bit Windows
#      with MinGW-w64, with the two-word 128-bit integer and the soft engine
#      (as an MSVC build has them), run under wine, the digest compared with
#      x86-64's (scripts/windows.sh);
#   8. clang with libc++ (the toolchain family of macOS): the module and the
#      unit tests built with warnings as errors, the unit tests and the pytest
#      suite run against that build (scripts/clang.sh);
#   9. the module on aarch64: cross-built against Debian's arm64 Python and
#      NumPy's aarch64 wheel, run under qemu-user, its float digest compared
#      with the x86-64 module's, and a smoke subset of the pytest suite run
#      there (scripts/aarch64_module.sh).
#
# Usage: bash scripts/harden.sh [--long]
#   --long fuzzes for 15 minutes guided and 2 million random inputs (instead of
#   60 seconds and 200000), each native target for 10 minutes (instead of 1),
#   and soaks 3 million calls per path.
# Prints the figures of each check and exits non-zero on any finding. Work files
# and reports are kept in build/harden/ (the fuzz corpus grows from run to run).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/harden
logs=$work/logs
long=0
[ "${1:-}" = "--long" ] && long=1

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"
ensure_debian_packages g++ pkg-config libgtest-dev libmpfr-dev valgrind
mkdir -p "$work" "$logs"
# The test suite's packages and the fuzzer, recreated when either list changes.
cat requirements/test.txt requirements/harden.txt >"$work/requirements.txt"
ensure_venv "$root/.venv-harden" python3 "$work/requirements.txt" || exit 1
py=$root/.venv-harden/bin/python
export PATH=$root/.venv-harden/bin:$PATH

figures=()
start=$SECONDS

build() {  # build DIR [meson options...]: configures once, then builds incrementally
    local dir=$1
    shift
    local log=$logs/$(basename "$dir")-build.log
    if [ ! -f "$dir/build.ninja" ]; then
        meson setup "$dir" "$@" >"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
    fi
    ninja -C "$dir" >>"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
}

# AddressSanitizer writes its reports to files (child processes included);
# UndefinedBehaviorSanitizer, loaded with the module, ignores log_path and
# writes to standard error, so every instrumented run's output is kept too
# (pytest with --capture=sys, which leaves file descriptor 2 alone).
asan_runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
sanitizer_env() {  # sanitizer_env NAME LEAKS: the environment of one instrumented run
    echo "ASAN_OPTIONS=detect_leaks=$2:allocator_may_return_null=1:log_path=$logs/sanitizer-$1"
    echo "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
}
sanitized() {  # sanitized NAME COMMAND...: runs it, and records it as failed on a non-zero exit or any report
    local name=$1 status=0 reports f
    shift
    rm -f "$logs"/sanitizer-"$name".*
    "$@" 2>&1 | tee "$logs/$name.out"
    status=${PIPESTATUS[0]}
    reports=$(grep -cE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$logs/$name.out")
    for f in "$logs"/sanitizer-"$name".*; do
        [ -e "$f" ] || continue
        reports=$((reports + $(grep -cE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$f")))
        cat "$f"
    done
    figures+=("$name: exit $status, sanitizer reports $reports")
    [ "$status" -eq 0 ] && [ "$reports" -eq 0 ]
    record "$name" $?
}

# ---------------------------------------------------------------------------
for engine in x87 mpfr; do
    dir=$work/asan-$engine
    banner "AddressSanitizer + UndefinedBehaviorSanitizer, $engine engine"
    if ! build "$dir" -Dengine=$engine -Dunit_tests=enabled -Db_sanitize=address,undefined \
            -Db_lundef=false -Dbuildtype=debugoptimized; then
        record "asan build, $engine" 1
        continue
    fi
    sanitized "unit-$engine" env $(sanitizer_env "unit-$engine" 1) "$dir/core_tests" --gtest_brief=1
    # The resident-memory soak of test_leaks.py measures the sanitizer's
    # quarantine, not the module: it runs on the plain build (leak soak below).
    sanitized "pytest-$engine" env -C "$work" LD_PRELOAD="$asan_runtime" $(sanitizer_env "pytest-$engine" 0) \
        PYTHONPATH="$dir" "$py" -m pytest -q -p no:cacheprovider --capture=sys -k "not memory_flat" \
        "$root/tests/python"
done

# ---------------------------------------------------------------------------
banner "module build without instrumentation"
plain=$work/plain
build "$plain" -Dbuildtype=debugoptimized
plain_ok=$?
record "plain build" $plain_ok

if [ $plain_ok -eq 0 ]; then
    banner "valgrind memcheck"
    status=0
    (cd "$work" && PYTHONMALLOC=malloc PYTHONPATH="$plain" valgrind --tool=memcheck --leak-check=full \
        --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
        --xml=yes --xml-file="$logs/valgrind.xml" "$py" "$root/tests/hardening/valgrind_workload.py") || status=$?
    if [ $status -eq 0 ]; then
        "$py" "$root/tests/hardening/valgrind_report.py" "$logs/valgrind.xml" | tee "$logs/valgrind.txt"
        status=${PIPESTATUS[0]}
        figures+=("$(tail -n 1 "$logs/valgrind.txt")")
    fi
    record "valgrind" $status

    banner "leak soak"
    calls=1000000
    [ $long -eq 1 ] && calls=3000000
    status=0
    (cd "$work" && PYTHONPATH="$plain" "$py" "$root/tests/hardening/soak_leaks.py" $calls) | tee "$logs/soak.txt"
    status=${PIPESTATUS[0]}
    figures+=("$(tail -n 1 "$logs/soak.txt")")
    record "leak soak" $status

    banner "fuzzing, guided (atheris)"
    seconds=60
    [ $long -eq 1 ] && seconds=900
    mkdir -p "$work/corpus" "$work/crashes"
    status=0
    (cd "$work" && PYTHONPATH="$plain" "$py" "$root/tests/hardening/fuzz.py" -max_total_time=$seconds \
        -timeout=60 -print_final_stats=1 -artifact_prefix="$work/crashes/" "$work/corpus") \
        >"$logs/fuzz.log" 2>&1 || status=$?
    grep -vE '^#[0-9]|^"|^(INFO|MS):|^\s*$' "$logs/fuzz.log" | tail -n 40
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/fuzz.log")
    figures+=("fuzz, guided: ${runs:-0} executions in $seconds s, corpus $(ls "$work/corpus" | wc -l) inputs, exit $status")
    [ -n "$runs" ]
    record "fuzz, guided" $((status + $?))
fi

if [ -x "$work/asan-x87/core_tests" ]; then
    banner "fuzzing under the sanitizers: corpus replay and random inputs"
    random_runs=200000
    [ $long -eq 1 ] && random_runs=2000000
    seed=$RANDOM
    sanitized "fuzz-replay" env -C "$work" LD_PRELOAD="$asan_runtime" $(sanitizer_env fuzz-replay 0) \
        PYTHONPATH="$work/asan-x87" "$py" "$root/tests/hardening/fuzz.py" --replay "$work/corpus"
    sanitized "fuzz-random" env -C "$work" LD_PRELOAD="$asan_runtime" $(sanitizer_env fuzz-random 0) \
        PYTHONPATH="$work/asan-x87" "$py" "$root/tests/hardening/fuzz.py" --random $random_runs $seed
    figures+=("$(tail -n 1 "$logs/fuzz-replay.out"); $(tail -n 1 "$logs/fuzz-random.out") (seed $seed)")
fi

# ---------------------------------------------------------------------------
banner "native fuzzing (libFuzzer)"
bash "$root/scripts/fuzz_native.sh" $([ $long -eq 1 ] && echo --long) | tee "$logs/fuzz-native.txt"
record "native fuzz" "${PIPESTATUS[0]}"
mapfile -t native < <(grep '^native fuzz:' "$logs/fuzz-native.txt")
figures+=("${native[@]}")

# ---------------------------------------------------------------------------
banner "aarch64 under qemu-user"
bash "$root/scripts/aarch64.sh" | tee "$logs/aarch64.txt"
status=${PIPESTATUS[0]}
figures+=("$(grep '^aarch64 engine digest' "$logs/aarch64.txt" || echo 'aarch64: no digest')")
record "aarch64" $status

# ---------------------------------------------------------------------------
banner "Windows under wine"
bash "$root/scripts/windows.sh" | tee "$logs/windows.txt"
status=${PIPESTATUS[0]}
figures+=("$(grep '^windows engine digest:' "$logs/windows.txt" || echo 'windows: no digest')")
record "windows" $status

# ---------------------------------------------------------------------------
banner "clang with libc++"
bash "$root/scripts/clang.sh" | tee "$logs/clang.txt"
status=${PIPESTATUS[0]}
figures+=("$(grep '^clang + libc++:' "$logs/clang.txt" || echo 'clang + libc++: no tally')")
record "clang + libc++" $status

# ---------------------------------------------------------------------------
banner "the module on aarch64 under qemu-user"
bash "$root/scripts/aarch64_module.sh" | tee "$logs/aarch64-module.txt"
status=${PIPESTATUS[0]}
figures+=("$(grep '^aarch64 module digest:' "$logs/aarch64-module.txt" || echo 'aarch64 module: no digest')")
record "aarch64 module" $status

# ---------------------------------------------------------------------------
banner "summary"
printf '%s\n' "${figures[@]}"
[ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
echo "time: $((SECONDS - start)) s"
echo "harden: $passed passed, $failed failed"
[ $failed -eq 0 ]
