#!/usr/bin/env bash
# Sets up and builds everything, then runs the benchmarks: the conversions,
# then the throughput of `mirabex serve`.
#
#   scripts/bench.sh            # the full run: a few minutes, up to ~10 GB of memory
#   scripts/bench.sh --quick    # seconds: checks that every case still runs
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/setup.sh
python="$repo/.cache/py315/sysroot/usr/bin/python3.15"
PYTHONPATH="$repo/build/python" "$python" bench/bench.py "$@"
PYTHONPATH="$repo/build/python" "$python" bench/serve_bench.py "$@"
