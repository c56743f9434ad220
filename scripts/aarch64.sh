#!/usr/bin/env bash
# The numeric core on a CPU without the x87 format: cross-builds the C++ unit
# tests and the engine digest for 64-bit Arm (where long double is binary128, so
# the automatic engine choice must fall to the soft engine), runs both under
# qemu-user, and compares the digest with a native x86-64 build's, which uses
# the x87 engine. The two engines must agree bit for bit on the same stream of
# operations. The Arm unit tests include engine_sides, the soft engine against
# MPFR.
#
# Usage: bash scripts/aarch64.sh [ROUNDS]
#   ROUNDS: the engine digest's round count on both sides (default 2000000, the
#   program's own: 10 to 20 s under emulation, 1 s natively, on two cores).
# Installs what it needs (root: multiarch arm64 libraries, the cross compiler,
# qemu-user; meson and ninja in .venv-aarch64). Builds in build/aarch64-cross and
# build/aarch64-native. Exits non-zero when a build fails, a unit test fails, an
# engine is not the one expected, or the digests differ.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
rounds=${1:-2000000}
cross=$root/build/aarch64-cross
native=$root/build/aarch64-native
logs=$root/build/aarch64-logs
triplet=aarch64-linux-gnu
qemu=(qemu-aarch64 -L /usr/$triplet)

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"
# shellcheck source=scripts/cross_checks.sh
source "$root/scripts/cross_checks.sh"

# Installs packages of a foreign architecture (named NAME:ARCH), adding that
# architecture to dpkg first; ensure_debian_packages then refreshes the package
# lists, which the new architecture needs, before installing what is missing.
ensure_foreign_packages() {  # ensure_foreign_packages ARCH PACKAGE...
    local arch=$1
    shift
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        echo "adding the $arch architecture to dpkg"
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo=sudo
        $sudo dpkg --add-architecture "$arch" || return 1
    fi
    ensure_debian_packages "$@"
}

start=$SECONDS
mkdir -p "$logs"
banner "aarch64: toolchain"
# The build machine's own packages by their qualified names: with arm64 copies
# installed, dpkg finds a bare multiarch name (libgtest-dev) ambiguous.
native_arch=$(dpkg --print-architecture)
ensure_debian_packages g++ pkg-config "libgtest-dev:$native_arch" g++-$triplet qemu-user || exit 1
ensure_foreign_packages arm64 libmpfr-dev:arm64 libgmp-dev:arm64 libgtest-dev:arm64 || exit 1
# meson and ninja at the versions the test command pins.
grep -E '^(meson|ninja)==' requirements/test.txt >"$logs/requirements.txt"
ensure_venv "$root/.venv-aarch64" python3 "$logs/requirements.txt" || exit 1
export PATH=$root/.venv-aarch64/bin:$PATH

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

# The engine is left to the automatic choice on both sides: it must pick x87
# here and soft on Arm, and the digests' first lines say which one ran.
banner "aarch64: cross build (engine auto)"
build "$cross" "$logs/cross-build.log" core_tests engine_digest engine_sides -- \
    --cross-file "$root/scripts/cross/aarch64-linux.ini" -Dengine=auto -Dunit_tests=enabled -Dmodule=disabled
cross_ok=$?
record "cross build" $cross_ok
if [ $cross_ok -eq 0 ]; then
    file -b "$cross/core_tests" 2>/dev/null | cut -d, -f1-2
fi

banner "x86-64: native build of the engine digest (engine auto)"
build "$native" "$logs/native-build.log" engine_digest -- \
    -Dengine=auto -Dunit_tests=enabled -Dmodule=disabled
native_ok=$?
record "native build" $native_ok

if [ $cross_ok -eq 0 ]; then
    banner "aarch64: C++ unit tests under qemu"
    "${qemu[@]}" "$cross/core_tests" --gtest_brief=1 >"$logs/core_tests.out" 2>&1
    status=$?
    if [ -x "$cross/engine_sides" ]; then
        "${qemu[@]}" "$cross/engine_sides" --gtest_brief=1 >>"$logs/core_tests.out" 2>&1 || status=$?
    fi
    gtest_summary "$logs/core_tests.out"
    record "unit tests, aarch64" $status
fi

if [ $cross_ok -eq 0 ] && [ $native_ok -eq 0 ]; then
    banner "engine digest, $rounds rounds"
    t0=$SECONDS
    arm=$(digest_of aarch64 soft "$rounds" "${qemu[@]}" "$cross/engine_digest")
    arm_ok=$?
    record "aarch64 picks soft" $arm_ok
    echo "aarch64 (qemu), engine soft: $arm ($((SECONDS - t0)) s)"
    x86=$(digest_of x86-64 x87 "$rounds" "$native/engine_digest")
    x86_ok=$?
    record "x86-64 picks x87" $x86_ok
    echo "x86-64, engine x87: $x86"
    compare_digests "engine digest, aarch64 = x86-64" "aarch64 engine digest (soft)" "$arm" $arm_ok \
        "x86-64, x87" "$x86" $x86_ok
fi

banner "aarch64: summary"
[ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
echo "time: $((SECONDS - start)) s"
echo "aarch64: $passed passed, $failed failed"
[ $failed -eq 0 ]
