#!/usr/bin/env bash
# The witness: the shipped 32-bit installer (build/windows) run under qemu-i386, for kernels that
# run no 32-bit code (docs/testing.md):
#   witness.sh [--prepare] [CASES...]
# Runs the cases of tests/e2e/test_witness.py (CASES as unittest names them, default its classes)
# side by side, one lane each, on one display, in the emulated Wine prefix made once per machine.
# Every run of the installer starts two emulated Wine processes of about a minute of processor
# time each, so two lanes keep two cores busy. --prepare only makes the prefix. Each lane's output
# is printed when it ends; the exit code is 1 when a lane failed, 125 when emulation cannot be set
# up. Needs the windows tree's installer, uidriver and uidriver_hook, and the native tree's
# patchtool and qdelta (scripts/suite.sh builds them). QPATCH_FORCE_EMULATION=1 emulates on a
# kernel that runs 32-bit code as well.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ -z "${QPATCH_I386_EMULATION:-}" ]; then
  export QPATCH_BUILD_DIR=$root/build/windows QPATCH_WINE_EMULATED=1
  export QPATCH_TIMEOUT_SCALE=${QPATCH_TIMEOUT_SCALE:-10}
  exec scripts/i386-emulation.sh scripts/wine-run.sh --session "$0" "$@"
fi
scripts/probe-arch.sh --emulated >/dev/null || exit 125
if [ "${1:-}" = --prepare ]; then
  exec scripts/wine-run.sh --prepare
fi
if [ -z "${DISPLAY:-}" ]; then
  exec scripts/with-display.sh "$0" "$@"
fi

lanes=("$@")
[ ${#lanes[@]} -gt 0 ] || lanes=(test_witness.Refusals test_witness.DemoPatch)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
pids=()
for i in "${!lanes[@]}"; do
  (cd tests/e2e && PYTHONDONTWRITEBYTECODE=1 exec python3 -m unittest -v "${lanes[$i]}") >"$logs/$i" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!lanes[@]}"; do
  wait "${pids[$i]}" || status=1
  echo "-- witness lane: ${lanes[$i]}"
  cat "$logs/$i"
done
exit $status
