#!/usr/bin/env bash
# Configures and builds one flavour of the project.
#
#   scripts/build.sh            # build/       release with debug info
#   scripts/build.sh asan       # build-asan/  AddressSanitizer + UBSan, debug
#   scripts/build.sh tsan       # build-tsan/  ThreadSanitizer, C++ tests only
#   scripts/build.sh pydebug    # build-pydebug/  the module for the debug interpreter
#   scripts/build.sh fuzz       # build-fuzz/  libFuzzer targets (clang++), nothing else
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-release}
python="$repo/.cache/py315/sysroot/usr/bin/python3.15"

case "$flavour" in
  release) dir="$repo/build"; options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir="$repo/build-asan"; options=(-DCMAKE_BUILD_TYPE=Debug -DMIRABEX_SANITIZE=ON) ;;
  pydebug) dir="$repo/build-pydebug"; python="$repo/.cache/py315/sysroot/usr/bin/python3.15d"
           options=(-DCMAKE_BUILD_TYPE=Debug -DMIRABEX_BUILD_TESTS=OFF) ;;
  tsan)    dir="$repo/build-tsan"
           options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRABEX_TSAN=ON -DMIRABEX_BUILD_EXTENSION=OFF) ;;
  fuzz)    dir="$repo/build-fuzz"
           options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DMIRABEX_FUZZ=ON
                    -DMIRABEX_BUILD_EXTENSION=OFF -DMIRABEX_BUILD_TESTS=OFF) ;;
  *) echo "usage: $0 [release|asan|tsan|pydebug|fuzz]" >&2; exit 2 ;;
esac

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$dir" "${generator[@]}" "${options[@]}" -DPython3_EXECUTABLE="$python"
fi
cmake --build "$dir" -j "$(nproc)"
