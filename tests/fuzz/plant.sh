#!/usr/bin/env bash
# Shows that each native fuzz target finds a fault: plants one small fault in a
# private copy of the core's sources, fuzzes that copy with the target that
# should notice, and reports whether (and how fast) it did. The real sources
# are never touched.
#
# Usage: bash tests/fuzz/plant.sh [--src DIR] [SECONDS] [NAME...]
#   DIR: the sources to copy (default src/); SECONDS: the most each may take
#   (default 300); NAME: only these plants (default all, listed below).
# Exits non-zero when a plant could not be made or was not found.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
src=$root/src
seconds=300
[ "${1:-}" = "--src" ] && { src=$(cd "$2" && pwd) || exit 2; shift 2; }
[[ "${1:-}" =~ ^[0-9]+$ ]] && { seconds=$1; shift; }

# name | target | the text (found once in all the sources) | what it becomes
plants=(
    "tie-rounds-up|divisor|(qr.r > rest)|(qr.r >= rest)"
    "no-second-correction|divisor|if (r >= norm_) [[unlikely]]|if (r > norm_) [[unlikely]]"
    "segment-run-past-top|interp_walks|if (!(lo < x && x < hi))|if (!(lo < x && x <= hi))"
    "gallop-window-short|interp_walks|const std::size_t end = lo + step - 1 < n ? lo + step : n;|const std::size_t end = lo + step - 1 < n ? lo + step - 1 : n;"
    "mpfr-round-ties-away|float_engines|unary<mpfr_roundeven>|unary<mpfr_round>"
)

# Replaces the one occurrence of $2 under directory $1 by $3 and prints the
# file's path, or fails when the text occurs other than once.
replace_once() {
    python3 -c '
import pathlib, sys
root, old, new = sys.argv[1:]
found = [(p, p.read_text()) for p in sorted(pathlib.Path(root).rglob("*")) if p.is_file()]
found = [(p, text) for p, text in found if old in text]
count = sum(text.count(old) for _, text in found)
if count != 1:
    sys.exit(f"{count} occurrences of {old!r}, expected 1")
path, text = found[0]
path.write_text(text.replace(old, new))
print(path.relative_to(root))
' "$@"
}

status=0
for plant in "${plants[@]}"; do
    IFS='|' read -r name target from to <<<"$plant"
    if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
        continue
    fi
    copy=$root/build/fuzz-native/planted-$name
    rm -rf "$copy"
    mkdir -p "$copy"
    cp -r "$src" "$copy/src"
    if ! file=$(replace_once "$copy/src" "$from" "$to"); then
        echo "plant $name: could not be made (the sources changed?)"
        status=1
        continue
    fi
    echo "plant $name: $file: '$from' -> '$to'"
    bash "$root/scripts/fuzz_native.sh" --plant "$copy/src" --only "$target" "$seconds"
    case $? in
        0) echo "plant $name: NOT found by $target in $seconds s"; status=1 ;;
        1) echo "plant $name: found by $target" ;;
        *) echo "plant $name: $target could not be built or run"; status=1 ;;
    esac
done
exit $status
