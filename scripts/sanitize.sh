#!/usr/bin/env bash
# Build every extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into a scratch virtual environment and run the whole test suite under them.
# Python itself is not instrumented, so the sanitizer runtime is preloaded and
# Python's own allocator is switched off (PYTHONMALLOC=malloc) so that ASan
# sees every allocation. Leak detection is off: the interpreter deliberately
# keeps objects alive at exit; leaks are measured by tests/test_leaks.py.
#   scripts/sanitize.sh [PYTHON] [pytest args...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-${PYTHON:-python3}}
shift || true
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip
# Unstripped, so that a report names our functions and lines.
"$work/venv/bin/python" -m pip install -q \
  -Ccmake.define.VELMAR_SANITIZE=ON -Cinstall.strip=false -Cbuild-dir="$work/build" "$top[test]"
asan=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
cxx=$(g++ -print-file-name=libstdc++.so.6)
for runtime in "$asan" "$ubsan" "$cxx"; do
  [ -f "$runtime" ] || { echo "sanitize.sh: $runtime not found (install gcc's sanitizer runtimes)" >&2; exit 1; }
done
# The sgp4 package's own SGP4 copies the satellite number onto itself
# (strcpy with the same source and target inside sgp4init). Harmless, but
# ASan reports any overlapping strcpy; silence exactly that library's string
# calls and nothing of ours.
cat > "$work/asan.supp" <<'EOF'
interceptor_via_lib:vallado_cpp
EOF
cd "$top/tests"
# --capture=sys: a report is written to file descriptor 2 just before the
# process aborts; pytest's default capture of that descriptor would swallow it.
LD_PRELOAD="$asan:$ubsan:$cxx" PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1:suppressions="$work/asan.supp" \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:report_error_type=1 \
VELMAR_SANITIZED=1 \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys -x "$@"
