#!/usr/bin/env bash
# A fuzzing campaign: every fuzz target of a native tree in turn, one process at a time.
#   scripts/fuzz-campaign.sh [MINUTES_PER_TARGET] [BUILD_DIR] [TARGET ...]
# Defaults: 30 minutes, build/native, every fuzz_* target of the tree. Naming targets lets two
# campaigns share a machine with two cores, each on its own targets.
# Corpora are kept between campaigns in $QPATCH_FUZZ_CORPORA/<target> (default build/fuzz-corpora),
# seeded from fuzz/corpus/<target>. A faulting input ends its target's run and is kept in
# <corpora>/findings/; add it to fuzz/corpus/<target> with the fix. Each target's log goes to
# <corpora>/logs/, and one summary line per target to the screen and to <corpora>/campaigns.log.
# Exit status: 1 when any target found a fault, 2 when a named target is not in the tree.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-30}
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
build=${2:-$root/build/native}
shift $(( $# < 2 ? $# : 2 ))
corpora=${QPATCH_FUZZ_CORPORA:-$root/build/fuzz-corpora}
mkdir -p "$corpora/logs" "$corpora/findings"
stamp=$(date -u +%Y%m%dT%H%M%SZ)
status=0
shopt -s nullglob
if [ $# -gt 0 ]; then
  targets=()
  for name in "$@"; do targets+=("$build/fuzz/$name"); done
else
  targets=("$build"/fuzz/fuzz_*)
fi
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in $build/fuzz" >&2; exit 2; }

for target in "${targets[@]}"; do
  [ -x "$target" ] && [ -f "$target" ] || { echo "no fuzz target $target" >&2; status=2; continue; }
  name=$(basename "$target")
  corpus="$corpora/$name"
  seeds="$root/fuzz/corpus/$name"
  log="$corpora/logs/$name-$stamp.log"
  mkdir -p "$corpus" "$seeds"
  before=$(ls "$corpora/findings" | wc -l)
  "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$corpora/findings/$name-" "$corpus" "$seeds" >"$log" 2>&1
  rc=$?
  found=$(( $(ls "$corpora/findings" | wc -l) - before ))
  start_cov=$(sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' <<<"$last" | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' <<<"$last" | cut -d' ' -f2)
  corp=$(grep -o 'corp: [0-9]*/[0-9a-zA-Z]*' <<<"$last" | cut -d' ' -f2)
  line="$stamp $name: ${minutes} min, ${runs:-?} executions (${rate:-?}/s), coverage ${start_cov:-?} -> ${cov:-?}, features ${ft:-?}, corpus ${corp:-?}, findings $found"
  if [ $rc -ne 0 ] || [ $found -gt 0 ]; then
    line="$line (exit $rc; see $log)"
    status=1
  fi
  echo "$line" | tee -a "$corpora/campaigns.log"
done
exit $status
