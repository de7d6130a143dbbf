#!/usr/bin/env bash
# Unpack CPython 3.15 (Debian sid binary packages) and the Python tools the
# project uses into a private root under .cache/, without touching the system.
#
#   scripts/provision_python.sh          # idempotent; prints what it does
#
# Result: .cache/py315/sysroot/usr/bin/python3.15, runnable like any program
# (its ELF interpreter and RPATH point into the sysroot), with pytest and
# hypothesis importable from its dist-packages.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache="$repo/.cache/py315"
apt_root="$cache/apt"
sysroot="$cache/sysroot"
tools="$cache/tools"
debs="$apt_root/archives"
python="$sysroot/usr/bin/python3.15"
debug_python="$sysroot/usr/bin/python3.15d"  # the debug build (sys.gettotalrefcount)

# Interpreter, headers, and the pure-Python packages of the test and bench
# tooling. Their dependencies are resolved by apt.
packages=(
  python3.15 libpython3.15-dev libstdc++6
  python3.15-dbg libpython3.15-dbg
  python3-pytest python3-pluggy python3-iniconfig python3-packaging
  python3-pygments python3-hypothesis python3-sortedcontainers
  python3-dateutil python3-pytest-run-parallel python3-hl7
  python3-pip python3-wheel python3-scikit-build-core python3-pathspec
  python3-pyproject-metadata
  python3-mypy python3-mypy-extensions python3-typing-extensions
  python3-ast-serialize python3-librt python3-psutil
  python3-tqdm python3-dask python3-distributed
  python3-orjson python3-msgspec
)
# Bump when the package list or the unpacking changes, to force a rebuild.
recipe_version=6

say() { printf 'provision: %s\n' "$*"; }

host_archive_uri() {
  apt-get indextargets --format '$(REPO_URI)' \
    'Codename: bookworm' 'Created-By: Packages' | head -n 1
}

apt_private() {
  apt-get \
    -o Dir="$apt_root" \
    -o Dir::State="$apt_root/state" \
    -o Dir::State::Lists="$apt_root/lists" \
    -o Dir::State::status="$apt_root/status" \
    -o Dir::Cache="$apt_root/cache" \
    -o Dir::Etc::SourceList="$apt_root/sources.list" \
    -o Dir::Etc::SourceParts=/nonexistent \
    -o Dir::Etc::trusted=/etc/apt/trusted.gpg \
    -o Dir::Etc::TrustedParts=/etc/apt/trusted.gpg.d \
    -o Dir::Cache::archives="$debs" \
    -o APT::Install-Recommends=false \
    -o Acquire::Languages=none \
    -o Acquire::Check-Valid-Until=false \
    -o Debug::NoLocking=true \
    -o APT::Sandbox::User=root \
    "$@"
}

prepare_apt_tree() {
  mkdir -p "$apt_root/lists/partial" "$debs/partial" "$apt_root/state" "$apt_root/cache" \
    "$apt_root/etc/apt/preferences.d" "$apt_root/etc/apt/apt.conf.d"
  : >"$apt_root/status"
  local uri
  uri=$(host_archive_uri)
  [ -n "$uri" ] || { echo "provision: cannot find the host's Debian archive URI" >&2; exit 1; }
  printf 'deb %s sid main\n' "$uri" >"$apt_root/sources.list"
}

download_packages() {
  # A day-old package index is fine: the archive here is a frozen snapshot.
  if [ -z "$(find "$apt_root/lists" -name '*_Packages*' -mtime -1 2>/dev/null | head -n 1)" ]; then
    say "updating the sid package index"
    apt_private update -qq
  fi
  say "downloading ${#packages[@]} packages and their dependencies (cached in $debs)"
  apt_private --download-only -y -qq install "${packages[@]}" >/dev/null
}

# sid's own patchelf (0.18) writes binaries that segfault; Debian 12's works.
fetch_patchelf() {
  if [ ! -x "$tools/usr/bin/patchelf" ]; then
    say "fetching Debian 12's patchelf"
    mkdir -p "$tools"
    (cd "$tools" && apt-get -o APT::Sandbox::User=root download -qq patchelf && dpkg-deb -x patchelf_*.deb "$tools")
  fi
}

unpack_sysroot() {
  say "unpacking into $sysroot"
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  local deb
  for deb in "$debs"/*.deb; do
    case "$(basename "$deb")" in
      # apt drags in sid's default interpreter; we only want 3.15.
      python3.14_*|python3.14-*|libpython3.14*) continue ;;
    esac
    dpkg-deb -x "$deb" "$sysroot"
  done
}

patch_interpreters() {
  say "pointing the interpreters at the sysroot's loader and libraries"
  local loader="$sysroot/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2"
  [ -e "$loader" ] || loader="$sysroot/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2"
  local binary
  for binary in "$python" "$debug_python"; do
    "$tools/usr/bin/patchelf" --set-interpreter "$loader" \
      --force-rpath --set-rpath '$ORIGIN/../lib/x86_64-linux-gnu' "$binary"
  done
}

# Debian's pyconfig.h includes the arch-specific header by this path; CMake's
# FindPython3 only adds the generic include folder, so make the path resolve.
# The debug folder links the release headers, and a header reached through
# a link may include the release pyconfig.h: point both names there at the
# debug configuration.
link_arch_headers() {
  local arch="$sysroot/usr/include/python3.15/x86_64-linux-gnu"
  local debug_arch="$sysroot/usr/include/python3.15d/x86_64-linux-gnu"
  mkdir -p "$arch" "$debug_arch"
  ln -sfn ../../x86_64-linux-gnu/python3.15 "$arch/python3.15"
  ln -sfn ../../x86_64-linux-gnu/python3.15d "$debug_arch/python3.15d"
  ln -sfn ../../x86_64-linux-gnu/python3.15d "$debug_arch/python3.15"
}

# An installation from Debian's packages compiles every module to bytecode
# (py3compile); an unpacked tree has none, so each start of the interpreter
# would compile again what it imports (0.2 s of the command line's
# start-up).
compile_bytecode() {
  say "compiling the modules to bytecode, as an installation does"
  "$python" -m compileall -q -j 0 "$sysroot/usr/lib/python3.15" \
    "$sysroot/usr/lib/python3/dist-packages" >/dev/null \
    || say "some modules did not compile; they are compiled when imported"
}

check_interpreters() {
  "$python" -c 'import sys, ssl, json, sqlite3, pytest, hypothesis; print("provision: ready:", sys.executable, sys.version.split()[0])'
  "$debug_python" -c 'import sys, json; assert hasattr(sys, "gettotalrefcount"); print("provision: ready:", sys.executable, "(debug build)")'
}

stamp="$cache/.provisioned-$recipe_version"
if [ -f "$stamp" ] && [ -x "$python" ] && "$python" -c 'import pytest' 2>/dev/null; then
  say "already provisioned: $python"
  exit 0
fi

start=$(date +%s)
prepare_apt_tree
download_packages
fetch_patchelf
unpack_sysroot
patch_interpreters
link_arch_headers
compile_bytecode
check_interpreters
touch "$stamp"
say "done in $(( $(date +%s) - start )) s"
