#!/usr/bin/env bash
# Builds installers from patch directories with scripts/make-installer.sh and checks their QPATCH
# resources byte for byte under Wine:  test_make_installer.sh BUILD_DIR CHECKER.exe
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 checker=$2
export QPATCH_BUILD_DIR=$build
work=$(mktemp -d "${TMPDIR:-/tmp}/qpatch make installer.XXXXXX")
trap 'rm -rf "$work"' EXIT
windows_path() { echo "Z:${1//\//\\}"; }

check() {  # check NAME EXPECTED_QPATCH_COUNT EXPECTED_RECORD_LINE EXPECTED_VERSION_LINE [OPTION]
  local dir="$work/$1 patch" exe="$work/$1 out/install er.exe"
  mkdir -p "$work/$1 out"
  "$root/scripts/make-installer.sh" ${5:+"$5"} "$dir" "$exe"
  local log
  log=$("$root/scripts/wine-run.sh" "$checker" "$(windows_path "$exe")" "$(windows_path "$dir")" | tr -d '\r')
  echo "$log"
  grep -q "^QPATCH resources: $2\$" <<<"$log" || { echo "FAIL: $1: expected $2 QPATCH resources"; exit 1; }
  grep -qxF "$3" <<<"$log" || { echo "FAIL: $1: expected '$3'"; exit 1; }
  grep -qxF "$4" <<<"$log" || { echo "FAIL: $1: expected '$4'"; exit 1; }
  grep -q '^FAIL' <<<"$log" && exit 1
  return 0
}

# Binary chunks: all 256 byte values, an empty chunk, a gap in the ids, a large chunk.
mkdir -p "$work/full patch"
printf '1.1.0.1 = 1.1.0.0\r\n\xe6\x9b\xb4\xe6\x96\xb0\r\n"quoted" \\ line\r\n' >"$work/full patch/descriptor.txt"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 3 + bytes(range(255, -1, -1)))' \
  >"$work/full patch/1601.bin"
: >"$work/full patch/1602.bin"
head -c 700001 /dev/urandom >"$work/full patch/1605.bin"
printf '\0' >"$work/full patch/1606.bin"
# The record lists the descriptor and 1601-1602, the chunks the installer applies (8 + 3 * 12 bytes).
check full 5 "checksum record: 44 bytes" 'version: 1.1.0.1 1.1.0.1 | 更新 "quoted" \ line | 《Tolvar二》'
cp -r "$work/full patch" "$work/unchecked patch"
check unchecked 5 "checksum record: none" 'version: 1.1.0.1 1.1.0.1 | 更新 "quoted" \ line | 《Tolvar二》' --no-checksum

# Chunks without a descriptor.
mkdir -p "$work/nodesc patch"
printf 'MZ\r\n\x1a\0\xff' >"$work/nodesc patch/1601.bin"
check nodesc 1 "checksum record: none" "version: none"

# An empty directory: no QPATCH resource at all.
mkdir -p "$work/empty patch"
check empty 0 "checksum record: none" "version: none"
# Chunk ids the installer never looks at are refused.
mkdir -p "$work/outside patch"
: >"$work/outside patch/2001.bin"
if "$root/scripts/make-installer.sh" "$work/outside patch" "$work/outside.exe" 2>/dev/null; then
  echo "FAIL: chunk id 2001 accepted"; exit 1
fi
echo "all installers match their patch directories"
