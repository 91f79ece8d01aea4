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
    local extras="${1:-}"
    [ $# -gt 0 ] && shift
    # Rebuild only when the sources, the build files or the install options
    # changed since the last install into this venv.
    local stamp
    stamp="$( { find "$ROOT/src" "$ROOT/python" "$ROOT/CMakeLists.txt" "$ROOT/pyproject.toml" \
                  -type f -print0 2>/dev/null | sort -z | xargs -0 sha1sum; \
                printf '%s\n' "$extras" "$@"; } | sha1sum | cut -d' ' -f1)"
    if [ -f "$dir/.varn-install-stamp" ] && [ "$(cat "$dir/.varn-install-stamp")" = "$stamp" ]; then
        log "varn_fileformat in $dir is up to date"
        return 0
    fi
    log "building and installing varn_fileformat into $dir"
    rm -f "$dir/.varn-install-stamp"
    "$dir/bin/python" -m pip install -q "$ROOT$extras" "$@"
    echo "$stamp" > "$dir/.varn-install-stamp"
}
