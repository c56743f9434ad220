# Checks shared by the commands that run the core on another platform (under
# qemu or wine) and hold its results to the x86-64 build's. Sourced, not run;
# uses setup.sh's record.

# A GoogleTest log's failures in full, then the runner's closing lines.
gtest_summary() {  # gtest_summary LOG
    grep -vE '^Running main|^\[==========\]|^\[  PASSED  \]' "$1" | tail -n 60
    grep -E '^\[==========\].* ran\.|^\[  (PASSED|FAILED)  \] [0-9]+ test' "$1"
}

# The digest line holds the round count and the result tallies as well as the
# hash, so equal lines mean the same work gave the same bits.
digest_of() {  # digest_of NAME EXPECTED-ENGINE ROUNDS COMMAND...: prints the digest line, or fails
    local name=$1 expected=$2 rounds=$3 out
    shift 3
    out=$("$@" "$rounds" 2>&1) || { echo "$name: engine_digest failed: $out" >&2; return 1; }
    if ! grep -qx "engine: $expected" <<<"$out"; then
        echo "$name: expected the $expected engine, got: $(head -n 1 <<<"$out")" >&2
        return 1
    fi
    grep -m1 '^digest:' <<<"$out"
}

# Prints "LABEL: HASH (X86-LABEL: HASH)" and records, as NAME, whether both
# digests were obtained and are equal.
compare_digests() {  # compare_digests NAME LABEL DIGEST OK X86-LABEL X86-DIGEST X86-OK
    local name=$1 label=$2 digest=$3 ok=$4 x86_label=$5 x86=$6 x86_ok=$7 same
    hash_of() { sed -n 's/.* hash=\([0-9a-f]*\)$/\1/p' <<<"$1"; }
    echo "$label: $(hash_of "$digest") ($x86_label: $(hash_of "$x86"))"
    [ "$ok" -eq 0 ] && [ "$x86_ok" -eq 0 ] && [ -n "$digest" ] && [ "$digest" = "$x86" ]
    same=$?
    [ $same -ne 0 ] && echo "the digests differ"
    record "$name" $same
}
