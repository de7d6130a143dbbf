#!/usr/bin/env bash
# Sets up everything on a fresh Debian 12 machine and runs every test:
# the C++ core tests (plain, under ASan + UBSan, and the concurrency tests
# under ThreadSanitizer), the type stub against the built module and the
# examples under mypy, then the Python suite against the built module,
# including a wheel built and installed into a fresh virtual environment,
# the command line and the batch example, once more against the module built
# with AddressSanitizer + UBSan, and under CPython's debug build with a
# reference-leak check; last, the benchmark's quick mode and a short fuzzing
# run of every fuzz target.
#
#   scripts/test.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
python="$repo/.cache/py315/sysroot/usr/bin/python3.15"
start=$(date +%s)

step() { printf '\n== %s\n' "$*"; }

step "host packages"
scripts/install_host_packages.sh
step "CPython 3.15"
scripts/provision_python.sh

for flavour in release asan tsan; do
  step "build ($flavour)"
  scripts/build.sh "$flavour"
done

step "C++ tests"
./build/tests/cpp/core_tests --gtest_brief=1
step "C++ tests under AddressSanitizer + UBSan"
./build-asan/tests/cpp/core_tests --gtest_brief=1
step "C++ tests under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/cpp/core_tests --gtest_brief=1

step "type stub against the built module (stubtest)"
PYTHONPATH="$repo/build/python" "$python" -m mypy.stubtest mirabex --mypy-config-file pyproject.toml
step "mypy: examples, the command line and the MLLP server"
"$python" -m mypy examples python/mirabex_cli.py python/mirabex_mllp

step "Python tests"
PYTHONPATH="$repo/build/python:$repo/python" "$python" -m pytest tests/python -q -p no:cacheprovider

step "Python tests under AddressSanitizer + UBSan"
scripts/sanitize_python.sh

step "reference leaks, and the Python tests under the debug interpreter"
scripts/refleak.sh

step "benchmark, quick mode (a smoke test: asserts nothing about speed)"
scripts/bench.sh --quick

step "fuzzing, ${FUZZ_SECONDS:-20} s per target"
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

step "all tests passed in $(( $(date +%s) - start )) s"
