# GoogleTest built from Debian's sources (libgtest-dev ships them under
# /usr/src/googletest) with a given compiler, for toolchains that cannot link
# Debian's own libraries: another target system, or another C++ library.
# Sourced, not run.

# Builds libgtest.a and libgtest_main.a into DIR/lib and writes gtest.pc and
# gtest_main.pc into DIR/pkgconfig, for meson's dependency('gtest'). Rebuilt
# only when missing. Compiler flags follow the archiver; the same flags go
# into the .pc files, so that the tests are compiled alike.
build_gtest() {  # build_gtest DIR CXX AR [CXXFLAGS...]
    local dir=$1 cxx=$2 ar=$3
    shift 3
    local src=/usr/src/googletest/googletest
    if [ -f "$dir/pkgconfig/gtest_main.pc" ] && [ -f "$dir/lib/libgtest_main.a" ]; then
        return 0
    fi
    [ -f "$src/src/gtest-all.cc" ] || { echo "GoogleTest sources missing: $src (libgtest-dev)"; return 1; }
    mkdir -p "$dir/obj" "$dir/lib" "$dir/pkgconfig"
    "$cxx" -std=c++20 -O2 "$@" -I"$src/include" -I"$src" -c "$src/src/gtest-all.cc" -o "$dir/obj/gtest-all.o" &&
        "$cxx" -std=c++20 -O2 "$@" -I"$src/include" -I"$src" -c "$src/src/gtest_main.cc" -o "$dir/obj/gtest_main.o" &&
        "$ar" rcs "$dir/lib/libgtest.a" "$dir/obj/gtest-all.o" &&
        "$ar" rcs "$dir/lib/libgtest_main.a" "$dir/obj/gtest_main.o" || return 1
    cat >"$dir/pkgconfig/gtest.pc" <<PC
Name: gtest
Description: GoogleTest, built from /usr/src/googletest
Version: $(dpkg-query -W -f='${Version}' libgtest-dev 2>/dev/null | cut -d- -f1)
Cflags: -isystem $src/include $*
Libs: -L$dir/lib -lgtest
PC
    cat >"$dir/pkgconfig/gtest_main.pc" <<PC
Name: gtest_main
Description: GoogleTest's main(), built from /usr/src/googletest
Version: $(dpkg-query -W -f='${Version}' libgtest-dev 2>/dev/null | cut -d- -f1)
Requires: gtest
Libs: -L$dir/lib -lgtest_main
PC
}
