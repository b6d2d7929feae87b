#!/usr/bin/env bash
# A delta patch made by one build of patchtool is inspected and verified by the other, each way:
# the host's tool and the Windows one (under Wine, scripts/wine-run.sh; QPATCH_BUILD_DIR names its
# tree). Both tools run in the work folder on the same relative paths.
# In a 32-bit tree, the 32-bit tool also refuses a delta over its address space's limit, naming the
# file and leaving nothing behind (sparse files: nothing is written to disk).
#   cross_tool_test.sh HOST_PATCHTOOL WINDOWS_PATCHTOOL.exe STUB.exe
set -u
host=$1 windows=$2 stub=$3
wine_run=$(cd "$(dirname "$0")/../../scripts" && pwd)/wine-run.sh
demo=$(cd "$(dirname "$0")/../../tools/demo" && pwd)
if [ ! -x "$host" ]; then
  echo "FAIL no host patchtool at $host: build the native tree first (scripts/build.sh native)"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

# A recompiled library (24 bytes inserted every 8 KiB, shifting all that follows): only a delta
# sends it cheaply. "wrong" is the new folder with one byte of it changed. Beside it a zip pack
# with one member edited and all compressed again at another level: its delta goes through the
# members, each tool proving with its own zlib what the other's deflates again.
python3 - "$demo" <<'EOF'
import os, random, sys
sys.path.insert(0, sys.argv[1])
from make_demo_game import text_table, zip_pack
rng = random.Random(33)
old = rng.randbytes(256 * 1024)
new = b"".join(old[at:at + 8192] + rng.randbytes(24) for at in range(0, len(old), 8192))
wrong = bytearray(new)
wrong[100000] ^= 1
members = [("quest%d.txt" % i, text_table(rng, 800)) for i in range(4)]
edited = members[:1] + [(members[1][0], members[1][1] + b"dragon")] + members[2:]
packs = {"old": zip_pack(members, 6), "new": zip_pack(edited, 9), "wrong": zip_pack(edited, 9)}
for folder, data in (("old", old), ("new", new), ("wrong", bytes(wrong))):
    os.makedirs(folder + "/Bin")
    with open(folder + "/Bin/code.dll", "wb") as f:
        f.write(data)
    with open(folder + "/Bin/scripts.pk3", "wb") as f:
        f.write(packs[folder])
    with open(folder + "/Bin/game.ini", "wb") as f:
        f.write(b"[GAME]\r\nVERSION=1.1.0.0\r\n")
EOF
cp "$stub" stub.exe

tool() {  # tool host|windows ARGS...
  local which=$1
  shift
  if [ "$which" = host ]; then "$host" "$@"; else "$wine_run" "$windows" "$@"; fi
}
check() {  # check NAME COMMAND...: the command must succeed
  local name=$1 output
  shift
  if output=$("$@" 2>&1); then echo "ok   $name"; else echo "FAIL $name: $output"; failures=$((failures + 1)); fi
}

for maker in host windows; do
  reader=$([ $maker = host ] && echo windows || echo host)
  check "$maker tool builds a delta patch" tool $maker build --old old --new new --target 1.1.0.1 \
    --base 1.1.0.0 --description d --level 1 --out patch-$maker --installer setup-$maker.exe --stub stub.exe
  listing=$(tool $reader inspect setup-$maker.exe 2>&1)
  if [ $? -eq 0 ] && grep -q '^  delta  Bin/code.dll ' <<<"$listing" &&
     grep -A1 '^  delta  Bin/scripts.pk3 ' <<<"$listing" | grep -q 'through compressed streams'; then
    echo "ok   $reader tool inspects the $maker tool's installer and lists its deltas, one through a pack's members"
  else
    echo "FAIL $reader tool inspecting the $maker tool's installer: $listing"; failures=$((failures + 1))
  fi
  check "$reader tool verifies the $maker tool's installer" \
    tool $reader verify --patch setup-$maker.exe --old old --new new
  output=$(tool $reader verify --patch setup-$maker.exe --old old --new wrong 2>&1)
  if [ $? -eq 1 ] && grep -q 'Bin/code.dll differs from byte 100000 ' <<<"$output"; then
    echo "ok   $reader tool finds where the $maker tool's result differs from a wrong one"
  else
    echo "FAIL $reader tool verifying the $maker tool's installer against a wrong result: $output"
    failures=$((failures + 1))
  fi
done

if [ "$(cat "$QPATCH_BUILD_DIR/wine-arch")" = win32 ]; then
  mkdir -p large/old/Bin large/new/Bin
  cp old/Bin/game.ini large/old/Bin/ && cp old/Bin/game.ini large/new/Bin/
  truncate -s 600M large/old/Bin/big.pak && truncate -s 500M large/new/Bin/big.pak  # shrunk: whole or delta
  output=$(tool windows build --old large/old --new large/new --target 1.1.0.1 --base 1.1.0.0 \
    --description d --level 1 --out large/out 2>&1)
  if [ $? -eq 1 ] && grep -qE 'cannot encode the delta of large.new.Bin.big\.pak: the base and the new file hold 1100 MiB together, more than the 1024 MiB' <<<"$output" \
     && [ "$(ls large)" = "$(printf 'new\nold')" ]; then
    echo "ok   the 32-bit tool refuses a delta of 1100 MiB, naming the file, and leaves nothing"
  else
    echo "FAIL the 32-bit tool on a delta of 1100 MiB: $output; left: $(ls large)"; failures=$((failures + 1))
  fi
fi

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures != 0))
