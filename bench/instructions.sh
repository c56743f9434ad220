#!/usr/bin/env bash
# Instructions per element of the float kernels on each engine and CPU family,
# counted under qemu-user (a stable count, unlike a time on a shared machine):
#   bash bench/instructions.sh [N_TIE_POINTS]      (100 by default)
# Builds bench/instructions/walk.cpp three times (x86-64 with the x87 engine,
# x86-64 with the soft engine and the portable path only, 64-bit Arm with the
# soft engine its builds take), runs each case once with one call and once with
# two, and prints the difference per query: one call's instructions, set-up
# included. Installs qemu-user and the aarch64 cross compiler if missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
n=${1:-100}
work=$root/build/instructions
mkdir -p "$work"

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh"
ensure_debian_packages g++ g++-aarch64-linux-gnu qemu-user

flags=(-std=c++20 -O3 -DNDEBUG -static -I"$root/src")
src=$root/bench/instructions/walk.cpp
g++ "${flags[@]}" "$src" -o "$work/walk-x87"
g++ "${flags[@]}" -DRUST_ENGINE_SOFT=1 -DRUST_VECTOR_DISABLED=1 "$src" -o "$work/walk-soft"
aarch64-linux-gnu-g++ "${flags[@]}" -DRUST_ENGINE_SOFT=1 "$src" -o "$work/walk-aarch64"

queries=5000  # kQueries in walk.cpp
per_query() {  # per_query QEMU BINARY ARGS...: instructions of one call, per query
    local qemu=$1 binary=$2 log=$work/qemu.log counts=()
    shift 2
    for calls in 1 2; do
        "$qemu" -d in_asm,exec,nochain -D "$log" "$binary" "$@" "$calls" >/dev/null
        counts+=("$(python3 "$root/bench/instructions/count.py" "$log")")
    done
    rm -f "$log"
    python3 -c "print(f'{(${counts[1]} - ${counts[0]}) / $queries:.1f}')"
}

echo "instructions per query, n = $n tie points, $queries queries (inverse: method \"nearest\")"
printf '%-28s %12s %12s %14s\n' case "x86-64 x87" "x86-64 soft" "aarch64 soft"
for function in forward inverse; do
    for values in half real; do
        for order in even random; do
            args=("$function" "$values" "$order" "$n")
            printf '%-28s %12s %12s %14s\n' "$function $values $order" \
                "$(per_query qemu-x86_64 "$work/walk-x87" "${args[@]}")" \
                "$(per_query qemu-x86_64 "$work/walk-soft" "${args[@]}")" \
                "$(per_query qemu-aarch64 "$work/walk-aarch64" "${args[@]}")"
        done
    done
done
