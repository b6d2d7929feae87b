#!/usr/bin/env bash
# Builds an installer executable from a patch directory:
#   scripts/make-installer.sh [--arch x86|x64] [--no-checksum] PATCH_DIR OUTPUT.exe
# PATCH_DIR may hold descriptor.txt (resource QPATCH 2000) and chunk files NNNN.bin (resource
# QPATCH NNNN, NNNN from 1601 to 1999); each file becomes its resource byte for byte, and whatever
# is absent is left out (an empty directory gives an installer without any QPATCH resource).
# The installer applies chunks from 1601 up to the first missing id: chunks after a gap are
# embedded but never applied, and the command warns about them.
# With a descriptor the installer also gets a version resource (the target version, the
# description) and a checksum record of the descriptor and the chunks it applies, against which it
# checks itself before writing anything; --no-checksum leaves the record out (the installer then
# runs unchecked, as one built before records existed).
# The installer's code comes from a windows build tree: QPATCH_BUILD_DIR, else build/windows for
# --arch x86 (the default: the shipped 32-bit installer) or build/windows64 for --arch x64 (the
# 64-bit twin, for testing where 32-bit code cannot run); it is configured and built when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: make-installer.sh [--arch x86|x64] [--no-checksum] PATCH_DIR OUTPUT.exe"
arch=x86
extras_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=${2:-}; shift 2 || shift ;;
    --arch=*) arch=${1#--arch=}; shift ;;
    --no-checksum) extras_options+=(--no-checksum); shift ;;
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

link_file="$build/installer-link.txt"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if [ ! -f "$link_file" ] || [ ! -f "$(sed -n 's/^icon=//p' "$link_file")" ]; then
  cmake --build "$build" --target installer >/dev/null
fi
[ -f "$link_file" ] || { echo "make-installer: $link_file missing: the installer cannot be built yet" >&2; exit 1; }

compiler="" windres="" resources="" icon="" manifest=""
flags=() libraries=() system=()
while IFS= read -r line; do
  key=${line%%=*} value=${line#*=}
  case "$key" in
    compiler) compiler=$value ;;
    windres) windres=$value ;;
    resources) resources=$value ;;
    icon) icon=$value ;;
    manifest) manifest=$value ;;
    flag) flags+=("$value") ;;
    library) libraries+=("$value") ;;
    system) system+=("$value") ;;
  esac
done <"$link_file"
for lib in "${libraries[@]}"; do
  [ -f "$lib" ] || cmake --build "$build" --target installer >/dev/null
done

ids=()
# Every input is copied under plain names into a private folder, so that no path of the caller
# (spaces, quotes) ever reaches the resource compiler or its preprocessor.
work=$(mktemp -d "${TMPDIR:-/tmp}/qpatch-installer.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$resources/installer.rc" "$resources/resource.h" "$manifest" "$work/"
cp "$icon" "$work/qpatch.ico"
{
  echo '#include "installer.rc"'
  echo 'LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL'
  if [ -f "$patch_dir/descriptor.txt" ]; then
    cp "$patch_dir/descriptor.txt" "$work/descriptor.bin"
    echo '2000 QPATCH "descriptor.bin"'
  fi
  for chunk in "$patch_dir"/*.bin; do
    [ -f "$chunk" ] || continue
    name=$(basename "$chunk" .bin)
    [[ "$name" =~ ^[0-9]+$ ]] || { echo "make-installer: not a chunk id: $chunk" >&2; exit 2; }
    id=$((10#$name))
    if [ "$id" -lt 1601 ] || [ "$id" -gt 1999 ]; then
      echo "make-installer: chunk ids run from 1601 to 1999: $chunk" >&2; exit 2
    fi
    ids+=("$id")
    cp "$chunk" "$work/chunk$id.bin"
    echo "$id QPATCH \"chunk$id.bin\""
  done
  python3 "$root/scripts/installer_extras.py" "$patch_dir" "$work" "${extras_options[@]}"
} >"$work/patch.rc"

expected=1601 skipped=()
for id in $(printf '%s\n' "${ids[@]}" | sort -n); do
  [ "$id" -eq "$expected" ] && expected=$((id + 1)) || skipped+=("$id")
done
if [ ${#skipped[@]} -gt 0 ]; then
  echo "make-installer: warning: chunk $expected is missing, so chunks ${skipped[*]} will never be applied" >&2
fi

(cd "$work" && "$windres" -I. -i patch.rc -O coff -o patch.o)
"$compiler" "${flags[@]}" -o "$work/installer.exe" "$work/patch.o" \
  -Wl,--start-group "${libraries[@]}" -Wl,--end-group "${system[@]}"
cp "$work/installer.exe" "$output"
