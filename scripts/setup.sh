# Shared set-up of the project's commands: Debian packages and virtual environments.
# Sourced, not run.

# Installs the Debian packages that are missing (needs root, as on the project's machines).
ensure_debian_packages() {
    local missing=() native pkg
    native=$(dpkg --print-architecture)
    for pkg in "$@"; do
        # A bare name is the build machine's own package: once a foreign copy of
        # a multiarch package is installed too, dpkg finds the bare name ambiguous.
        [[ $pkg == *:* ]] || pkg=$pkg:$native
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq >/dev/null && \
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Creates (or re-creates, when its pinned requirements changed) a virtual environment.
ensure_venv() {  # ensure_venv DIR PYTHON REQUIREMENTS
    local dir=$1 python=$2 req=$3
    if [ -x "$dir/bin/python" ] && cmp -s "$req" "$dir/.requirements"; then
        return 0
    fi
    echo "creating $dir from $req"
    rm -rf "$dir"
    "$python" -m venv "$dir" && "$dir/bin/pip" install -q -r "$req" && cp "$req" "$dir/.requirements"
}

# A tally of checks for the closing line "NAME: N passed, M failed".
passed=0
failed=0
failures=()
record() {  # record NAME STATUS
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$1")
    fi
}
banner() { printf '\n==== %s ====\n' "$*"; }
