#!/usr/bin/env bash
# Runs the Windows-side suite ROUNDS times in a row (default 3) while busy loops, one per core at
# normal priority, keep every core occupied:  stress-tests.sh [ROUNDS]
# Not part of the test command: it shows that no test depends on how fast a thread or a process
# runs. The suite is the test command's own (scripts/suite.sh suite_windows): the 32-bit build's,
# with the twin's unit tests, where the kernel runs 32-bit code; else the twin's with the witness
# (the 32-bit installer emulated) beside it. Each round's result and time are printed; the exit
# code is 1 when any round failed. The trees must have been built (scripts/test.sh does it).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
rounds=${1:-3}
source scripts/suite.sh
suite_choose 2>/dev/null || { echo "stress-tests: no Windows architecture runs here" >&2; exit 1; }

loops=()
for _ in $(seq "$(nproc)"); do
  ( while :; do :; done ) &
  loops+=($!)
done
trap 'kill "${loops[@]}" 2>/dev/null; suite_finish' EXIT
echo "stress-tests: $(nproc) busy loops, $rounds rounds, ctest -j $suite_jobs, architectures: $suite_archs"

status=0
results=()
for round in $(seq "$rounds"); do
  start=$SECONDS
  echo "== round $round of $rounds"
  suite_reset
  suite_windows
  suite_summary "round $round"
  if [ "$suite_status" = 0 ]; then verdict=green; else verdict=FAILED; status=1; fi
  results+=("round $round: $verdict ($((SECONDS - start)) s)")
done
echo
echo "== stress-tests summary (load: $(nproc) busy loops)"
printf '  %s\n' "${results[@]}"
exit $status
