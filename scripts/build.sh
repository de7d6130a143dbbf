#!/usr/bin/env bash
# Configures and builds one flavour of the project.
#
#   scripts/build.sh            # build/       release with debug info
#   scripts/build.sh asan       # build-asan/  AddressSanitizer + UBSan, debug
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-release}
python="$repo/.cache/py315/sysroot/usr/bin/python3.15"

case "$flavour" in
  release) dir="$repo/build"; options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir="$repo/build-asan"; options=(-DCMAKE_BUILD_TYPE=Debug -DMIRABEX_SANITIZE=ON) ;;
  *) echo "usage: $0 [release|asan]" >&2; exit 2 ;;
esac

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$dir" "${generator[@]}" "${options[@]}" -DPython3_EXECUTABLE="$python"
fi
cmake --build "$dir" -j "$(nproc)"
