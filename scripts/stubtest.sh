#!/usr/bin/env bash
# Checks the .pyi stubs against the importable velmar: every class, function,
# signature and attribute a stub declares must exist at run time in that form,
# and everything public at run time must be in a stub. Differences that are
# right are listed, each with its reason, in stubtest-allowlist.txt.
#   scripts/stubtest.sh [PYTHON] [--src]
# PYTHON (default python3) must have mypy. Without --src it checks the
# velmar that PYTHON imports (the installed one); with --src, the in-place
# build under src/ (scripts/dev-build.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-python3}
[ "${2:-}" = "--src" ] && export PYTHONPATH="$top/src${PYTHONPATH:+:$PYTHONPATH}"
# Run from an empty folder: mypy leaves its cache in the current one, and
# there no source tree shadows the installed package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$py" -m mypy.stubtest velmar \
    --mypy-config-file "$top/pyproject.toml" \
    --allowlist "$top/scripts/stubtest-allowlist.txt"
