#!/usr/bin/env bash
# Builds both trees and runs every test: native unit tests under sanitizers, fuzz smoke runs,
# and the Windows-side unit and end-to-end tests under Wine inside Xvfb.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh || exit 1

scripts/build.sh native || exit 1
scripts/build.sh windows || exit 1

# Tests that depend on access rights run as an unprivileged user (root bypasses read-only under Wine).
if [ "$(id -u)" = 0 ] && ! id qpatch-tester >/dev/null 2>&1; then
  useradd --system --no-create-home --shell /usr/sbin/nologin qpatch-tester
fi

# One X server for the whole Windows-side run.
display=:$(( 90 + RANDOM % 100 ))
Xvfb "$display" -ac -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null' EXIT
export DISPLAY=$display
sleep 1

export QPATCH_BUILD_DIR="$root/build/windows"
scripts/wine-run.sh cmd /c exit 0 >/dev/null 2>&1  # makes the prefix once, before tests run in parallel

status=0
echo "== native tests"
ctest --test-dir build/native --output-on-failure || status=1
echo "== windows tests (Wine)"
ctest --test-dir build/windows --output-on-failure || status=1
WINEPREFIX="$QPATCH_BUILD_DIR/wineprefix" wineserver -k 2>/dev/null
exit $status
