# Shared set-up for the project's scripts: system packages, interpreters, venvs.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

log() { printf '== %s\n' "$*" >&2; }

# Installs the Debian packages the build and the C++ tests need, if missing.
ensure_system_packages() {
    local need=()
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
    done
    if [ "${#need[@]}" -gt 0 ]; then
        log "installing ${need[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
    fi
}

# Prints the path of a working interpreter for version $1 (e.g. 3.8), or nothing.
find_python() {
    local v="$1" cand
    for cand in "$(command -v "python$v" 2>/dev/null || true)" \
                "$HOME"/.pyenv/versions/"$v".*/bin/"python$v" \
                /usr/local/bin/"python$v" /usr/bin/"python$v"; do
        [ -n "$cand" ] && [ -x "$cand" ] || continue
        if "$cand" -c 'import sys, venv' >/dev/null 2>&1; then
            echo "$cand"
            return 0
        fi
    done
    return 0
}

# The newest CPython 3 on the machine.
find_newest_python() {
    local minor p
    for minor in $(seq 20 -1 8); do
        p="$(find_python "3.$minor")"
        if [ -n "$p" ]; then
            echo "$p"
            return 0
        fi
    done
    command -v python3
}

# Creates (once) a venv in $1 from interpreter $2 and installs the project into it.
venv_with_project() {
    local dir="$1" py="$2"
    shift 2
    if [ ! -x "$dir/bin/python" ]; then
        log "creating $dir from $py"
        "$py" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip
    fi
    log "building and installing varn_fileformat into $dir"
    local extras="${1:-}"
    [ $# -gt 0 ] && shift
    "$dir/bin/python" -m pip install -q "$ROOT$extras" "$@"
}
