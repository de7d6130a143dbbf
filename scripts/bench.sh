#!/usr/bin/env bash
# Sets up and builds everything, then runs the benchmarks: the conversions,
# then the throughput of `mirabex serve`.
#
#   scripts/bench.sh            # the full run: a few minutes, up to ~10 GB of memory
#   scripts/bench.sh --quick    # seconds: checks that every case still runs
#   BULK_MEGABYTES=1000 scripts/bench.sh   # to-json on a 1 GB file instead of 60 MB
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/setup.sh
python="$repo/.cache/py315/sysroot/usr/bin/python3.15"
PYTHONPATH="$repo/build/python" "$python" bench/bench.py "$@"
PYTHONPATH="$repo/build/python" "$python" bench/serve_bench.py "$@"
# to-json on one big file: --jobs 1 and 2, the engine before, peak memory.
# BULK_MEGABYTES=1000 for the 1 GB run.
quick=()
for argument in "$@"; do [ "$argument" = --quick ] && quick=(--quick); done
"$python" bench/bulk_bench.py "${quick[@]}" --megabytes "${BULK_MEGABYTES:-60}"
