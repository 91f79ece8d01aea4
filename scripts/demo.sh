#!/usr/bin/env bash
# Builds and installs the project (once), converts a CSV file (the bundled
# sample when none is given) losslessly, shows the file, reads it back and
# checks every cell, then shows what compress_csv makes of the same file.
source "$(dirname "$0")/lib.sh"
ensure_system_packages g++ cmake zlib1g-dev libzstd-dev libbz2-dev liblzma-dev libssl-dev
PY="$(find_newest_python)"
# pandas and pyarrow to read the file back as a DataFrame.
venv_with_project "$ROOT/.venv/demo" "$PY" "[pandas]"
exec "$ROOT/.venv/demo/bin/python" "$ROOT/scripts/demo.py" "$@"
