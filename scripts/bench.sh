#!/usr/bin/env bash
# Sets up and builds everything, then runs the benchmark.
#
#   scripts/bench.sh            # the full run: a few minutes, up to ~10 GB of memory
#   scripts/bench.sh --quick    # seconds: checks that every case still runs
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/setup.sh
PYTHONPATH="$repo/build/python" exec "$repo/.cache/py315/sysroot/usr/bin/python3.15" bench/bench.py "$@"
