#!/usr/bin/env bash
# Runs the whole Windows-side suite ROUNDS times in a row (default 3) while busy loops, one per
# core at normal priority, keep every core occupied:  stress-tests.sh [ROUNDS]
# Not part of the test command: it shows that no test depends on how fast a thread or a process
# runs. The suite is the one the test command runs on this kernel: the 32-bit build's, with the
# twin's unit tests, where the kernel runs 32-bit code; else the twin's, then the witness (the
# 32-bit installer emulated). Each round's result and time are printed; the exit code is 1 when
# any round failed. The trees must have been built (scripts/test.sh does it).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
rounds=${1:-3}
archs=$(scripts/probe-arch.sh) || { echo "stress-tests: no Windows architecture runs here" >&2; exit 1; }
export QPATCH_WINE_ARCHS=$archs
unset DISPLAY
jobs=${QPATCH_TEST_JOBS:-$(( $(nproc) + 1 ))}

loops=()
for _ in $(seq "$(nproc)"); do
  ( while :; do :; done ) &
  loops+=($!)
done
trap 'kill "${loops[@]}" 2>/dev/null' EXIT
echo "stress-tests: $(nproc) busy loops, $rounds rounds, ctest -j $jobs, architectures: $archs"

suite() {
  if [[ " $archs " == *" win32 "* ]]; then
    QPATCH_BUILD_DIR=$root/build/windows ctest --test-dir build/windows -j "$jobs" -LE campaign --output-on-failure &&
      QPATCH_BUILD_DIR=$root/build/windows64 ctest --test-dir build/windows64 -j "$jobs" -L unit --output-on-failure
  else
    QPATCH_BUILD_DIR=$root/build/windows64 ctest --test-dir build/windows64 -j "$jobs" -LE campaign --output-on-failure &&
      QPATCH_BUILD_DIR=$root/build/windows QPATCH_WINE_EMULATED=1 QPATCH_TIMEOUT_SCALE=${QPATCH_TIMEOUT_SCALE:-10} \
        scripts/i386-emulation.sh scripts/wine-run.sh --session \
        env -C tests/e2e PYTHONDONTWRITEBYTECODE=1 python3 -m unittest -v test_witness
  fi
}

status=0
results=()
for round in $(seq "$rounds"); do
  start=$SECONDS
  echo "== round $round of $rounds"
  if suite; then verdict=green; else verdict=FAILED; status=1; fi
  results+=("round $round: $verdict ($((SECONDS - start)) s)")
done
for tree in windows windows64; do
  [ -f "build/$tree/wine-arch" ] && QPATCH_BUILD_DIR=$root/build/$tree scripts/wine-run.sh --kill-server 2>/dev/null
done
echo
echo "== stress-tests summary (load: $(nproc) busy loops)"
printf '  %s\n' "${results[@]}"
exit $status
