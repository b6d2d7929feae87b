#!/usr/bin/env bash
# The image checks on an installer that the publisher's tool wrote, since it lays the payload's
# resources out anew:  check_built_installer.sh HOST_PATCHTOOL STUB.exe x86|x64
# The host's own patchtool runs (no Windows program does), so this holds on any machine.
set -u
tool=$1 stub=$2 arch=$3
[ -x "$tool" ] || { echo "FAIL: no host patchtool at $tool (scripts/build.sh native builds it)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/old/Bin" "$work/new/Bin/Data"
printf '[GAME]\r\nVERSION=1.1.0.0\r\n' | tee "$work/old/Bin/game.ini" > "$work/new/Bin/game.ini"
head -c 300000 /dev/urandom > "$work/new/Bin/Data/pack.dat"
"$tool" build --quiet --old "$work/old" --new "$work/new" --target 1.1.0.1 --op = --base 1.1.0.0 \
  --description "image check" --out "$work/patch" --installer "$work/setup.exe" --stub "$stub" || exit 1
exec python3 "$(dirname "$0")/check_image.py" "$work/setup.exe" "$arch" --with-payload
