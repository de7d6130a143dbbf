#!/usr/bin/env bash
# Reference-leak and debug-interpreter checks: builds the module for
# CPython's debug build (python3.15d, with sys.gettotalrefcount and the
# interpreter's own consistency assertions), shows that the total reference
# count stays flat over rounds of every member on success and failure, and
# runs the Python suite under that interpreter.
#
#   scripts/refleak.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
debug_python="$repo/.cache/py315/sysroot/usr/bin/python3.15d"
scripts/provision_python.sh >/dev/null
scripts/build.sh pydebug >/dev/null

export PYTHONPATH="$repo/build-pydebug/python:$repo/python"
"$debug_python" tests/refleak/refleak.py
"$debug_python" tests/refleak/refleak_bulk.py
"$debug_python" -m pytest tests/python -q -p no:cacheprovider -m "not slow"
