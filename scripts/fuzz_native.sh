#!/usr/bin/env bash
# Coverage-guided fuzzing of the numeric core alone (no interpreter) with
# libFuzzer, under AddressSanitizer and UndefinedBehaviorSanitizer. The targets
# are in tests/fuzz/:
#   divisor        Divisor and div_rem against exact 128-bit division, the
#                  rounding rules against their plain statements, and the
#                  two-word 128-bit integer and word division against the
#                  compiler's own;
#   divisor_wide   the same source with the two-word integer in place of the
#                  compiler's (RUST_PORTABLE_WIDE=1), as MSVC builds the core;
#   interp_walks   Interp's batch walks against the one-query functions in a loop;
#   interp_walks_emulated
#                  the same source with the AVX-512 lanes run through stand-ins
#                  for their instructions (RUST_EMULATE_LANES=1), so that the
#                  vector path is fuzzed on any CPU;
#   float_engines  the float64 schemes and walks, x87 and soft engines against
#                  the MPFR engine.
#
# Usage: bash scripts/fuzz_native.sh [--long] [--only TARGET] [--plant SRC] [SECONDS]
#   SECONDS per target: 60 by default, 600 with --long.
#   --only TARGET runs one target.
#   --plant SRC builds against another copy of the core's sources (a fault
#   planted in it); the corpus then starts from the seeds alone and is not kept.
# Prints "native fuzz: TARGET: N executions, 0 findings" per target. Exits 1 on
# any finding, after the input's path and the end of the report, and 2 when a
# target could not be built or run.
# Binaries, logs and the working corpus (which grows from run to run) are in
# build/fuzz-native/.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/fuzz-native
seconds=60
only=""
src=$root/src
planted=0
while [ $# -gt 0 ]; do
    case $1 in
        --long) seconds=600 ;;
        --only) only=${2:?--only needs a target}; shift ;;
        --plant) src=$(cd "$2" && pwd) || exit 2; planted=1; shift ;;
        [0-9]*) seconds=$1 ;;
        *) echo "usage: $0 [--long] [--only TARGET] [--plant SRC] [SECONDS]" >&2; exit 2 ;;
    esac
    shift
done
targets=(divisor divisor_wide interp_walks interp_walks_emulated float_engines)
[ -n "$only" ] && targets=("$only")

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"
# -fsanitize=fuzzer needs the runtime package of the compiler's own version.
ensure_debian_packages clang libmpfr-dev libgmp-dev || exit 2
clang_major=$(clang -dumpversion | cut -d. -f1)
ensure_debian_packages "libclang-rt-$clang_major-dev" || exit 2

if [ $planted -eq 1 ]; then
    out=$work/planted/$(basename "$(dirname "$src")")
else
    out=$work
fi
bin=$out/bin
logs=$out/logs
mkdir -p "$bin" "$logs" "$out/obj"

flags=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -std=c++20 -O1 -g
       -Wall -Wextra -Werror -I"$src")
fuzz=$root/tests/fuzz

# Rebuilt when a source (the core's, the targets' and the test helpers they
# share, this script) is newer.
stale() {  # stale BINARY
    [ ! -x "$1" ] || [ -n "$(find "$src" "$fuzz" "$root/tests/cpp" "$root/scripts/fuzz_native.sh" -newer "$1" -type f -print -quit)" ]
}

# The source file and seed corpus of a target: its own, but for variants of one
# source built with other macros.
source_of() {  # source_of TARGET
    case $1 in
        divisor_wide) echo divisor ;;
        interp_walks_emulated) echo interp_walks ;;
        *) echo "$1" ;;
    esac
}

build() {  # build TARGET: the binary, or the compiler's messages and status 1
    local target=$1 log=$logs/$1-build.log
    stale "$bin/$target" || return 0
    case $target in
        float_engines)
            # Each engine in its own translation unit; the MPFR and soft ones
            # with the core's namespace renamed, so all sets of classes link together.
            clang++ "${flags[@]}" -c -DENGINE_SIDE=x87 "$fuzz/engine_side.cpp" -o "$out/obj/side_x87.o" \
                >"$log" 2>&1 &&
            clang++ "${flags[@]}" -c -DENGINE_SIDE=mpfr -DRUST_ENGINE_MPFR=1 -Drust=rust_mpfr \
                "$fuzz/engine_side.cpp" -o "$out/obj/side_mpfr.o" >>"$log" 2>&1 &&
            clang++ "${flags[@]}" -c -DENGINE_SIDE=soft -DRUST_ENGINE_SOFT=1 -Drust=rust_soft \
                "$fuzz/engine_side.cpp" -o "$out/obj/side_soft.o" >>"$log" 2>&1 &&
            clang++ "${flags[@]}" "$fuzz/float_engines.cpp" "$out/obj/side_x87.o" "$out/obj/side_mpfr.o" \
                "$out/obj/side_soft.o" -lmpfr -lgmp -o "$bin/$target" >>"$log" 2>&1
            ;;
        divisor_wide)
            clang++ "${flags[@]}" -DRUST_PORTABLE_WIDE=1 "$fuzz/divisor.cpp" -o "$bin/$target" >"$log" 2>&1
            ;;
        interp_walks_emulated)
            clang++ "${flags[@]}" -DRUST_EMULATE_LANES=1 -Wno-psabi "$fuzz/interp_walks.cpp" -o "$bin/$target" \
                >"$log" 2>&1
            ;;
        *)
            clang++ "${flags[@]}" "$fuzz/$target.cpp" -o "$bin/$target" >"$log" 2>&1
            ;;
    esac || { tail -n 30 "$log"; return 1; }
}

status=0
broken=0
for target in "${targets[@]}"; do
    if [ ! -f "$fuzz/$(source_of "$target").cpp" ]; then
        echo "native fuzz: $target: no such target"
        broken=1
        continue
    fi
    if ! build "$target"; then
        echo "native fuzz: $target: build failed (log: $logs/$target-build.log)"
        broken=1
        continue
    fi
    corpus=$out/corpus/$target
    crashes=$out/crashes/$target
    [ $planted -eq 1 ] && rm -rf "$corpus"
    rm -rf "$crashes"
    mkdir -p "$corpus" "$crashes"
    cp -n "$fuzz/corpus/$(source_of "$target")"/* "$corpus"/ 2>/dev/null
    log=$logs/$target.log
    start=$SECONDS
    UBSAN_OPTIONS=print_stacktrace=1 "$bin/$target" -max_total_time="$seconds" -timeout=60 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus" >"$log" 2>&1
    code=$?
    took=$((SECONDS - start))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ -z "$runs" ]; then
        # A crash can end the run before the final figures: the last progress line.
        runs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
    fi
    findings=$(find "$crashes" -type f | wc -l)
    if [ $code -ne 0 ] || [ "$findings" -ne 0 ]; then
        [ "$findings" -eq 0 ] && findings=1
        echo "native fuzz: $target: ${runs:-0} executions, $findings findings (after $took s, exit $code)"
        find "$crashes" -type f -printf '  input: %p\n'
        # The report without libFuzzer's progress lines and its own frames.
        grep -vE '^#[0-9]|^(INFO|MS|NOTE):|NEW_FUNC|^\s*$|# Uses:|dictionary|^0x|^\\|Combine libFuzzer|stat::|in fuzzer::|in __sanitizer_print_stack_trace|libc\.so|in _start|__libc_start' \
            "$log" | tail -n 30 | sed 's/^/  /'
        status=1
    elif [ -z "$runs" ]; then
        echo "native fuzz: $target: no executions counted (log: $log)"
        broken=1
    else
        echo "native fuzz: $target: $runs executions, 0 findings"
    fi
done
[ $broken -eq 1 ] && exit 2
exit $status
