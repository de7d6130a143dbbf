#!/usr/bin/env bash
# Runs the Python test suite against the module built with AddressSanitizer
# and UndefinedBehaviorSanitizer, the sanitizer runtimes preloaded into the
# (uninstrumented) interpreter. Any memory error or undefined behaviour
# fails the run. Leaks are reported by LeakSanitizer; a leak fails the run
# when any frame of its allocation stack is in the module: the ones
# without such a frame are the interpreter's own.
#
#   scripts/sanitize_python.sh [pytest arguments]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/build.sh asan >/dev/null

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=1:log_path=$logs/asan:abort_on_error=0:halt_on_error=1"
export LSAN_OPTIONS="exitcode=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export MIRABEX_SANITIZED=1
status=0
PYTHONPATH="$repo/build-asan/python:$repo/python" "$repo/.cache/py315/sysroot/usr/bin/python3.15" \
  -m pytest tests/python -q -p no:cacheprovider -m "not slow" "$@" || status=$?
unset LD_PRELOAD

if grep -l "runtime error" "$logs"/ubsan* >/dev/null 2>&1; then
  cat "$logs"/ubsan*
  echo "sanitize: undefined behaviour found" >&2
  exit 1
fi
if grep -l "ERROR: AddressSanitizer" "$logs"/asan* >/dev/null 2>&1; then
  cat "$logs"/asan*
  echo "sanitize: memory error found" >&2
  exit 1
fi
# One report per leak: a blank line ends each stack.
ours=$(cat "$logs"/asan* 2>/dev/null | awk 'BEGIN { RS = "" } /leak of/ && /mirabex(_bulk)?\.cpython|mirabex::/' || true)
if [ -n "$ours" ]; then
  printf '%s\n' "$ours"
  echo "sanitize: the module leaks memory" >&2
  exit 1
fi
interpreter=$(cat "$logs"/asan* 2>/dev/null | grep -c "leak of" || true)
echo "sanitize: no memory errors, no undefined behaviour, no leaks in the module" \
     "($interpreter leak reports from the interpreter itself, none with a frame in the module)"
exit "$status"
