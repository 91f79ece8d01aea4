#!/usr/bin/env bash
# Converts a CSV file (the bundled sample when none is given) and shows the result.
source "$(dirname "$0")/lib.sh"
ensure_system_packages g++ cmake zlib1g-dev libzstd-dev libssl-dev
PY="$(find_newest_python)"
venv_with_project "$ROOT/.venv/demo" "$PY"
exec "$ROOT/.venv/demo/bin/python" "$ROOT/scripts/demo.py" "$@"
