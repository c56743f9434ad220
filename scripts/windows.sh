#!/usr/bin/env bash
# The numeric core on 64-bit Windows: cross-builds the C++ unit tests and the
# engine digest with MinGW-w64, with the 128-bit integer in two 64-bit words
# (the type MSVC builds, having no 128-bit integer of its own) and the float
# engine that Windows uses, runs both under wine, and compares the digest with
# a native x86-64 build's, which uses the x87 engine. The two must agree bit
# for bit on the same stream of operations.
#
# Usage: bash scripts/windows.sh [ROUNDS]
#   ROUNDS: the engine digest's round count on both sides (default 2000000,
#   the program's own).
# Installs what it needs (root: the MinGW-w64 cross compiler, wine, GoogleTest's
# sources; meson and ninja in .venv-windows). GoogleTest is cross-built from
# Debian's sources into build/windows-gtest; the builds are in
# build/windows-cross and build/windows-native. Exits non-zero when a build
# fails, a unit test fails, the engine is not the one expected, or the digests
# differ.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
rounds=${1:-2000000}
# The float engine of Windows builds: MSVC's long double is binary64, so the
# x87 engine cannot serve there, and GNU MPFR is not part of its toolchain.
engine=soft
cross=$root/build/windows-cross
native=$root/build/windows-native
gtest=$root/build/windows-gtest
logs=$root/build/windows-logs
host=x86_64-w64-mingw32
# A wine prefix of its own, made on first use; no display, no Mono or Gecko.
export WINEPREFIX=$root/build/windows-wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"
# shellcheck source=scripts/cross_checks.sh
source "$root/scripts/cross_checks.sh"
# shellcheck source=scripts/gtest.sh
source "$root/scripts/gtest.sh"

# Runs a Windows program; wine's own notes (a new prefix, no 32-bit loader)
# are dropped, and Windows line ends are made Unix ones.
run_windows() {  # run_windows PROGRAM [ARGS...]
    local status
    # A program started while the wine server of the one before is shutting
    # down can find its connection reset ("wine client error: recvmsg"):
    # wait until that server is gone.
    wineserver -w 2>/dev/null || true
    wine "$@" 2> >(grep -v '^wine: ' >&2) | tr -d '\r'
    status=${PIPESTATUS[0]}
    return "$status"
}

start=$SECONDS
mkdir -p "$logs"
banner "windows: toolchain"
# wine itself (the launcher) is a package of every architecture.
ensure_debian_packages g++ pkg-config libgtest-dev g++-mingw-w64-x86-64-posix wine:all wine64 || exit 1
# meson and ninja at the versions the test command pins.
grep -E '^(meson|ninja)==' requirements/test.txt >"$logs/requirements.txt"
ensure_venv "$root/.venv-windows" python3 "$logs/requirements.txt" || exit 1
export PATH=$root/.venv-windows/bin:$PATH
if ! build_gtest "$gtest" "$host-g++-posix" "$host-ar" >"$logs/gtest-build.log" 2>&1; then
    tail -n 40 "$logs/gtest-build.log"
    record "GoogleTest, cross-built" 1
fi
# The GoogleTest just built, by a cross file of its own: its path is this tree's.
printf "[properties]\npkg_config_libdir = ['%s']\n" "$gtest/pkgconfig" >"$logs/gtest.ini"

build() {  # build DIR LOG TARGET... -- MESON-OPTION...: configures once, then builds incrementally
    local dir=$1 log=$2 targets=()
    shift 2
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        targets+=("$1")
        shift
    done
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        meson setup "$dir" "$@" >"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
    fi
    ninja -C "$dir" "${targets[@]}" >>"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
    grep -m1 'arithmetic engine:' "$dir/meson-logs/meson-log.txt" || true
}

banner "windows: cross build ($engine engine, two-word 128-bit integer)"
build "$cross" "$logs/cross-build.log" core_tests.exe engine_digest.exe -- \
    --cross-file "$root/scripts/cross/$host.ini" --cross-file "$logs/gtest.ini" \
    -Dengine=$engine -Dportable_wide=true -Dunit_tests=enabled -Dmodule=disabled
cross_ok=$?
record "cross build" $cross_ok
if [ $cross_ok -eq 0 ]; then
    file -b "$cross/core_tests.exe" 2>/dev/null | cut -d, -f1
fi

banner "x86-64: native build of the engine digest (x87 engine)"
build "$native" "$logs/native-build.log" engine_digest -- \
    -Dengine=x87 -Dunit_tests=enabled -Dmodule=disabled
native_ok=$?
record "native build" $native_ok

if [ $cross_ok -eq 0 ]; then
    banner "windows: C++ unit tests under wine"
    run_windows "$cross/core_tests.exe" --gtest_brief=1 >"$logs/core_tests.out" 2>&1
    status=$?
    gtest_summary "$logs/core_tests.out"
    record "unit tests, windows" $status
fi

if [ $cross_ok -eq 0 ] && [ $native_ok -eq 0 ]; then
    banner "engine digest, $rounds rounds"
    t0=$SECONDS
    win=$(digest_of windows $engine "$rounds" run_windows "$cross/engine_digest.exe")
    win_ok=$?
    record "windows runs the $engine engine" $win_ok
    echo "windows (wine): $win ($((SECONDS - t0)) s)"
    x86=$(digest_of x86-64 x87 "$rounds" "$native/engine_digest")
    x86_ok=$?
    record "x86-64 runs the x87 engine" $x86_ok
    echo "x86-64: $x86"
    compare_digests "engine digest, windows = x86-64" "windows engine digest" "$win" $win_ok \
        "x86-64" "$x86" $x86_ok
fi

banner "windows: summary"
[ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
echo "time: $((SECONDS - start)) s"
echo "windows: $passed passed, $failed failed"
[ $failed -eq 0 ]
