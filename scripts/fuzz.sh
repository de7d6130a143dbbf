#!/usr/bin/env bash
# Builds the fuzz targets (build-fuzz/) and runs each one in turn for a
# while, starting from its corpus in fuzz/corpus/<target>/. New inputs go to
# build-fuzz/fuzz-scratch/<target>/, logs to build-fuzz/fuzz-logs/; inputs
# that crash a target are kept in fuzz/regressions/<target>/, where the C++
# tests replay them. Fails when any target crashed.
#
#   scripts/fuzz.sh                  # 60 s per target
#   scripts/fuzz.sh 600              # or FUZZ_SECONDS=600 scripts/fuzz.sh
#   FUZZ_TARGETS="escape assembly" scripts/fuzz.sh
#   FUZZ_RUNS=1000000 scripts/fuzz.sh 7200   # stop each target after that
#                                            # many executions
#   FUZZ_MINIMISE=1 scripts/fuzz.sh  # then replace each corpus by the
#                                    # smallest set with the same coverage
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
targets=${FUZZ_TARGETS:-hl7_records validation escape json_reader assembly message_stream json_writer}
build="$repo/build-fuzz"

# Long enough for several segments (lines are parsed one by one), and for
# the validator's limit of 65536 bytes per field.
declare -A max_len=([hl7_records]=4096 [validation]=80000 [escape]=4096
                    [json_reader]=16384 [assembly]=4096 [message_stream]=8192 [json_writer]=4096)
declare -A dict=([hl7_records]=hl7 [validation]=hl7 [escape]=hl7
                 [json_reader]=json [assembly]=assembly [message_stream]=hl7 [json_writer]=hl7)
# Whole sample messages as further seeds, read but never written.
declare -A samples=([hl7_records]="$repo/tests/data/corpus" [validation]="$repo/tests/data/corpus"
                     [message_stream]="$repo/tests/data/corpus")

if ! output=$("$repo/scripts/build.sh" fuzz 2>&1); then
  echo "$output" >&2
  exit 1
fi

# "#123 DONE cov: 690 ft: 3130 corp: 29/66Kb ..." -> "29/66Kb"
corpus_size() { grep -Eo 'corp: [0-9]+/[0-9]+[A-Za-z]*' "$1" | tail -n 1 | cut -d' ' -f2; }

# Keeps the inputs that reach new edges. Edges only: also telling apart how
# often each edge ran keeps several times as many inputs.
minimise() {
  local target=$1 corpus="$repo/fuzz/corpus/$1" fresh="$build/fuzz-merged/$1"
  rm -rf "$fresh" && mkdir -p "$fresh"
  "$build/fuzz/fuzz_$target" -merge=1 -use_counters=0 -max_len="${max_len[$target]}" \
    "$fresh" "$corpus" "$build/fuzz-scratch/$target" >"$build/fuzz-logs/$target.merge.log" 2>&1
  rm -rf "$corpus" && mv "$fresh" "$corpus"
}

crashed=()
printf '%-12s %12s %8s %14s  %s\n' target executions seconds corpus result
for target in $targets; do
  scratch="$build/fuzz-scratch/$target"
  crashes="$repo/fuzz/regressions/$target"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$scratch" "$crashes" "$build/fuzz-logs"
  start=$(date +%s)
  result=ok
  seeds=("$repo/fuzz/corpus/$target")
  if [ -n "${samples[$target]:-}" ]; then seeds+=("${samples[$target]}"); fi
  # The scratch folder comes first: libFuzzer writes new inputs there.
  "$build/fuzz/fuzz_$target" "$scratch" "${seeds[@]}" \
    -dict="$repo/fuzz/${dict[$target]}.dict" -max_len="${max_len[$target]}" \
    -max_total_time="$seconds" -runs="${FUZZ_RUNS:--1}" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$crashes/" >"$log" 2>&1 || result="CRASHED, see $log"
  executions=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo '?')
  printf '%-12s %12s %8s %14s  %s\n' "$target" "$executions" "$(($(date +%s) - start))" \
    "$(corpus_size "$log")" "$result"
  if [ "$result" != ok ]; then
    crashed+=("$target")
    printf '  %s\n' "$crashes"/*
  else
    rmdir "$crashes" 2>/dev/null || true
    if [ "${FUZZ_MINIMISE:-0}" = 1 ]; then minimise "$target"; fi
  fi
done
rmdir "$repo/fuzz/regressions" 2>/dev/null || true

if [ ${#crashed[@]} -gt 0 ]; then
  echo "crashed: ${crashed[*]} (inputs in fuzz/regressions/)" >&2
  exit 1
fi
