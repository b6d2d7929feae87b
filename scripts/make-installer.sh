#!/usr/bin/env bash
# Builds an installer executable from a patch directory:
#   scripts/make-installer.sh [--arch x86|x64] [--no-checksum] PATCH_DIR OUTPUT.exe
# A thin wrapper over `patchtool pack` (tools/patchtool/README.md), which writes the directory
# into the payload-free installer of a windows build tree exactly as `patchtool build` does:
# each file becomes its resource byte for byte, whatever is absent is left out, chunks after a gap
# are embedded but never applied (it warns about them), and --no-checksum leaves out the checksum
# record. Exit codes: 0 success, 1 a failure, 2 a bad command line or a directory that is no
# patch directory.
# The stub comes from QPATCH_BUILD_DIR, else build/windows for --arch x86 (the default: the
# shipped 32-bit installer) or build/windows64 for --arch x64 (the 64-bit twin, for testing where
# 32-bit code cannot run); the tool is QPATCH_PATCHTOOL, else the native tree's. Either is built
# when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: make-installer.sh [--arch x86|x64] [--no-checksum] PATCH_DIR OUTPUT.exe"
arch=x86
pack_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=${2:-}; shift 2 || shift ;;
    --arch=*) arch=${1#--arch=}; shift ;;
    --no-checksum) pack_options+=(--no-checksum); shift ;;
    *) break ;;
  esac
done
case "$arch" in
  x86) tree=windows toolchain=mingw-i686 ;;
  x64) tree=windows64 toolchain=mingw-x86_64 ;;
  *) echo "make-installer: --arch is x86 or x64, not '$arch'" >&2; exit 2 ;;
esac
patch_dir=${1:?$usage}
output=${2:?$usage}
build=${QPATCH_BUILD_DIR:-$root/build/$tree}
[ -d "$patch_dir" ] || { echo "make-installer: no such directory: $patch_dir" >&2; exit 2; }

stub="$build/resources/qpatch-stub.exe"
if [ ! -f "$stub" ]; then
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$build" --target installer >/dev/null
fi
patchtool=${QPATCH_PATCHTOOL:-$root/build/native/tools/patchtool/patchtool}
if [ ! -x "$patchtool" ]; then
  QPATCH_TARGETS=patchtool "$root/scripts/build.sh" native >/dev/null
fi
exec "$patchtool" pack "${pack_options[@]}" --stub "$stub" "$patch_dir" "$output"
