#!/usr/bin/env bash
# Incremental in-place build for development: the extensions land next to
# their sources, so `PYTHONPATH=src pytest` runs against them.
#   scripts/dev-build.sh NAME [TARGET...]   (NAME picks the build folder)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
name=${1:-dev}; shift || true
# The interpreter to build for: $PYTHON, else the active virtual environment,
# else the project's .venv, else python3.
py=${PYTHON:-}
[ -z "$py" ] && [ -n "${VIRTUAL_ENV:-}" ] && py="$VIRTUAL_ENV/bin/python"
[ -z "$py" ] && [ -x "$top/.venv/bin/python" ] && py="$top/.venv/bin/python"
[ -z "$py" ] && py=$(command -v python3)

bdir="$top/build/inplace-$name"
# Configure again each time: a module whose source has just been written
# is only picked up by a fresh configure (it is quick).
"$py" -m cmake -S "$top" -B "$bdir" -G Ninja -DVELMAR_INPLACE=ON \
    -DPython_EXECUTABLE="$py" -DCMAKE_MAKE_PROGRAM="$("$py" -c 'import ninja,os;print(os.path.join(ninja.BIN_DIR,"ninja"))')" >/dev/null
"$py" -m cmake --build "$bdir" ${1:+--target "$@"}
