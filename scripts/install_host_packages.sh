#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, skipping those present.
# Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libbenchmark-dev libboost-json1.81-dev
  clang libclang-rt-14-dev
  ca-certificates
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "host packages: all present"
  exit 0
fi

echo "host packages: installing ${missing[*]}"
run_as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
export DEBIAN_FRONTEND=noninteractive
if ! run_as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
  run_as_root apt-get update -qq
  run_as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
