#!/usr/bin/env bash
# Sets up everything on a fresh Debian 12 machine, builds the module and runs
# the demo: a few real HL7 messages converted, validated and rebuilt.
#
#   scripts/demo.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/setup.sh
PYTHONPATH="$repo/build/python" exec "$repo/.cache/py315/sysroot/usr/bin/python3.15" examples/demo.py
