#!/usr/bin/env bash
# The extension module itself on 64-bit Arm: cross-builds it against Debian's
# arm64 Python 3.11 and NumPy's aarch64 wheel, runs it under qemu-user with
# that interpreter, compares its float digest (tests/engine_digest.py) with a
# native x86-64 module's, and runs a smoke subset of the pytest suite there.
#
# Usage: bash scripts/aarch64_module.sh
# Installs what it needs (root: the cross compiler and qemu-user; meson, ninja
# and NumPy for the native side in .venv-aarch64-module). The arm64 interpreter
# and its libraries are unpacked from Debian's packages into a folder, not
# installed; NumPy (at the version of requirements/test.txt) and pytest come
# as wheels from the package index. Everything is under build/aarch64-module.
# Exits non-zero when a build fails, the digests differ or a test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/aarch64-module
sysroot=$work/sysroot
site=$work/site
logs=$work/logs
triplet=aarch64-linux-gnu
numpy_version=$(sed -n 's/^numpy==//p' requirements/test.txt)
pytest_version=$(sed -n 's/^pytest==//p' requirements/test.txt)
# The pytest files that need nothing beyond NumPy and pytest.
smoke=(test_integer.py test_arrays.py test_binding.py)

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"

start=$SECONDS
mkdir -p "$logs"
banner "aarch64 module: toolchain"
ensure_debian_packages g++ pkg-config g++-$triplet qemu-user || exit 1
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "adding the arm64 architecture to dpkg"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo dpkg --add-architecture arm64 && $sudo apt-get update -qq >/dev/null || exit 1
fi
grep -E '^(numpy|meson|ninja)==' requirements/test.txt >"$logs/requirements.txt"
ensure_venv "$root/.venv-aarch64-module" python3 "$logs/requirements.txt" || exit 1
venv=$root/.venv-aarch64-module
export PATH=$venv/bin:$PATH

# Debian's arm64 interpreter with the libraries it and the module load,
# unpacked once.
if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
    echo "unpacking Debian's arm64 Python 3.11"
    packages=(python3.11 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11
              libpython3.11-dev libc6 libgcc-s1 libstdc++6 libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5
              libssl3 libsqlite3-0 libuuid1 libncursesw6 libtinfo6 libreadline8 libcrypt1 libnsl2
              libtirpc3 libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0 libcom-err2 libkeyutils1
              libdb5.3)
    rm -rf "$work/debs" "$sysroot" && mkdir -p "$work/debs" "$sysroot"
    (cd "$work/debs" && apt-get download "${packages[@]/%/:arm64}") >"$logs/download.log" 2>&1 ||
        { tail -n 20 "$logs/download.log"; exit 1; }
    for deb in "$work/debs"/*.deb; do
        dpkg -x "$deb" "$sysroot" || exit 1
    done
fi
# NumPy's aarch64 wheel and pytest's, unpacked once.
if [ ! -d "$site/numpy" ]; then
    echo "unpacking NumPy $numpy_version for aarch64 and pytest $pytest_version"
    rm -rf "$work/wheels" "$site" && mkdir -p "$work/wheels" "$site"
    pip download -q --platform manylinux_2_28_aarch64 --python-version 3.11 --only-binary=:all: \
        -d "$work/wheels" "numpy==$numpy_version" "pytest==$pytest_version" >"$logs/wheels.log" 2>&1 ||
        { tail -n 20 "$logs/wheels.log"; exit 1; }
    for wheel in "$work/wheels"/*.whl; do
        python -m zipfile -e "$wheel" "$site" || exit 1
    done
fi

# The arm64 interpreter under qemu, with the unpacked wheels on its path: meson
# asks it for its headers, extension suffix and NumPy's headers.
python_arm=$work/python3.11
cat >"$python_arm" <<EOF
#!/bin/sh
PYTHONPATH="$site\${PYTHONPATH:+:\$PYTHONPATH}" exec qemu-aarch64 -L "$sysroot" "$sysroot/usr/bin/python3.11" "\$@"
EOF
chmod +x "$python_arm"
# Its headers by pkg-config, from its own folder: its recorded include path
# is the build machine's /usr/include, where the x86-64 headers are. Debian's
# pyconfig.h picks the one of the target by a path below the folder's include
# directory, which is searched last, so that it cannot hide the C library's.
printf "[binaries]\npython = '%s'\n[properties]\npkg_config_libdir = ['%s']\nsys_root = '%s'\n" \
    "$python_arm" "$sysroot/usr/lib/$triplet/pkgconfig" "$sysroot" >"$logs/python.ini"
printf "[built-in options]\ncpp_args = ['-idirafter', '%s']\n" "$sysroot/usr/include" >>"$logs/python.ini"

build() {  # build DIR LOG MESON-OPTION...: configures once, then builds incrementally
    local dir=$1 log=$2
    shift 2
    if [ ! -f "$dir/build.ninja" ]; then
        meson setup "$dir" "$@" >"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
    fi
    ninja -C "$dir" >>"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
    grep -m1 'arithmetic engine:' "$dir/meson-logs/meson-log.txt" || true
}

banner "aarch64: cross build of the module"
build "$work/cross" "$logs/cross-build.log" --cross-file "$root/scripts/cross/aarch64-linux.ini" \
    --cross-file "$logs/python.ini" -Dmodule=enabled -Dunit_tests=disabled
cross_ok=$?
record "module, cross build" $cross_ok
[ $cross_ok -eq 0 ] && file -b "$work"/cross/rust.*.so | cut -d, -f1-2

banner "x86-64: native build of the module"
build "$work/native" "$logs/native-build.log" -Dunit_tests=disabled
native_ok=$?
record "module, native build" $native_ok

if [ $cross_ok -eq 0 ] && [ $native_ok -eq 0 ]; then
    banner "float digest through the module"
    t0=$SECONDS
    arm=$(cd "$logs" && PYTHONPATH="$work/cross" "$python_arm" "$root/tests/engine_digest.py" 2>&1)
    arm_ok=$?
    echo "aarch64 (qemu): $arm ($((SECONDS - t0)) s)"
    x86=$(cd "$logs" && PYTHONPATH="$work/native" python "$root/tests/engine_digest.py" 2>&1)
    x86_ok=$?
    echo "x86-64: $x86"
    echo "aarch64 module digest: ${arm%% *} (x86-64: ${x86%% *})"
    [ $arm_ok -eq 0 ] && [ $x86_ok -eq 0 ] && [[ "$arm" =~ ^[0-9a-f]{64} ]] && [ "$arm" = "$x86" ]
    same=$?
    [ $same -ne 0 ] && echo "the digests differ"
    record "module digest, aarch64 = x86-64" $same
fi

if [ $cross_ok -eq 0 ]; then
    banner "aarch64: pytest smoke subset under qemu"
    (cd "$logs" && PYTHONPATH="$work/cross" "$python_arm" -m pytest -q -p no:cacheprovider \
        "${smoke[@]/#/$root/tests/python/}") >"$logs/pytest.out" 2>&1
    status=$?
    tail -n 15 "$logs/pytest.out"
    record "pytest smoke, aarch64" $status
fi

banner "aarch64 module: summary"
[ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
echo "time: $((SECONDS - start)) s"
echo "aarch64 module: $passed passed, $failed failed"
[ $failed -eq 0 ]
