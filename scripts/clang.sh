#!/usr/bin/env bash
# The module and the C++ unit tests built with clang and LLVM's C++ library
# (libc++), the toolchain family of macOS, with warnings as errors (the
# project's default): runs the unit tests, then the pytest suite against that
# module build.
#
# Usage: bash scripts/clang.sh
# Installs what it needs (root: clang 19 and its libc++, GoogleTest's sources; the test
# suite's packages in .venv-clang). GoogleTest is built with libc++ from
# Debian's sources into build/clang-gtest (Debian's own is built against GCC's
# library); the build is in build/clang. Exits non-zero when the build, a unit
# test or a Python test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=$root/build/clang
gtest=$root/build/clang-gtest
logs=$root/build/clang-logs

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"
# shellcheck source=scripts/gtest.sh
source "$root/scripts/gtest.sh"

start=$SECONDS
mkdir -p "$logs"
banner "clang + libc++: toolchain"
# The LLVM of scripts/cross/clang-libcxx.ini.
ensure_debian_packages clang-19 libc++-19-dev libc++abi-19-dev libgtest-dev libmpfr-dev pkg-config || exit 1
ensure_venv "$root/.venv-clang" python3 requirements/test.txt || exit 1
export PATH=$root/.venv-clang/bin:$PATH
if ! build_gtest "$gtest" clang++-19 ar -stdlib=libc++ >"$logs/gtest-build.log" 2>&1; then
    tail -n 40 "$logs/gtest-build.log"
    record "GoogleTest with libc++" 1
fi

banner "clang + libc++: module and unit tests"
status=0
if [ ! -f "$dir/build.ninja" ]; then
    # Our GoogleTest first on pkg-config's path, before Debian's.
    meson setup "$dir" --native-file "$root/scripts/cross/clang-libcxx.ini" \
        -Dpkg_config_path="$gtest/pkgconfig" -Dunit_tests=enabled >"$logs/build.log" 2>&1 || status=$?
fi
[ $status -eq 0 ] && { ninja -C "$dir" >>"$logs/build.log" 2>&1 || status=$?; }
if [ $status -eq 0 ]; then
    grep -m1 'arithmetic engine:' "$dir/meson-logs/meson-log.txt" || true
    # The C++ library each binary loads: libc++, never GCC's.
    for binary in "$dir"/core_tests "$dir"/rust.*.so; do
        libs=$(ldd "$binary" | grep -oE 'lib(c\+\+|stdc\+\+)\.so[^ ]*' | sort -u | tr '\n' ' ')
        echo "$(basename "$binary"): $libs"
        grep -q 'libc++' <<<"$libs" && ! grep -q 'libstdc++' <<<"$libs" || status=1
    done
else
    tail -n 40 "$logs/build.log"
fi
record "clang build" $status

if [ $status -eq 0 ]; then
    banner "clang + libc++: C++ unit tests"
    status=0
    "$dir/core_tests" --gtest_brief=1 | tee "$logs/core_tests.out"
    status=${PIPESTATUS[0]}
    if [ -x "$dir/engine_sides" ]; then
        "$dir/engine_sides" --gtest_brief=1 || status=1
    fi
    record "unit tests, clang" $status
    unit=$(grep -E '^\[  (PASSED|FAILED)  \] [0-9]+ test' "$logs/core_tests.out" | tr -s ' ' | tr '\n' ' ')

    banner "clang + libc++: pytest"
    (cd "$logs" && PYTHONPATH="$dir" python -m pytest -q -p no:cacheprovider "$root/tests/python") \
        >"$logs/pytest.out" 2>&1
    status=$?
    tail -n 15 "$logs/pytest.out"
    record "pytest, clang" $status
    echo "clang + libc++: core_tests ${unit:-no tally}; pytest: $(tail -n 1 "$logs/pytest.out")"
fi

banner "clang + libc++: summary"
[ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
echo "time: $((SECONDS - start)) s"
echo "clang: $passed passed, $failed failed"
[ $failed -eq 0 ]
