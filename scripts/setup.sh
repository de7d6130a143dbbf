#!/usr/bin/env bash
# Everything a run needs on a fresh Debian 12 machine: the host packages,
# CPython 3.15 in .cache/py315, and the release build of the module. Quiet
# unless something fails.
#
#   scripts/setup.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for step in install_host_packages.sh provision_python.sh "build.sh release"; do
  # shellcheck disable=SC2086  # the build step carries its flavour
  if ! "$repo/scripts/"$step >"$log" 2>&1; then
    cat "$log" >&2
    echo "setup: scripts/$step failed" >&2
    exit 1
  fi
done
