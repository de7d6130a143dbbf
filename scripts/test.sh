#!/usr/bin/env bash
# Sets up everything on a fresh Debian 12 machine and runs every test:
# the C++ core tests, plain and under AddressSanitizer + UBSan.
#
#   scripts/test.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
start=$(date +%s)

step() { printf '\n== %s\n' "$*"; }

step "host packages"
scripts/install_host_packages.sh
step "CPython 3.15"
scripts/provision_python.sh

for flavour in release asan; do
  step "build ($flavour)"
  scripts/build.sh "$flavour"
  dir=build; [ "$flavour" = asan ] && dir=build-asan
  step "C++ tests ($flavour)"
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
done

step "all tests passed in $(( $(date +%s) - start )) s"
