#!/usr/bin/env bash
# A fuzz target's smoke run, which fails on a fault and when the target is blind:
#   scripts/fuzz-smoke.sh TARGET SECONDS SOURCE...
# The run starts from the seed corpus (fuzz/corpus/<name>) alone. It passes when libFuzzer finds
# no fault, when its final coverage exceeds what the seeds alone give (it learns from feedback),
# and when each SOURCE (a path suffix such as format/descriptor.cpp) has covered, instrumented code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=$1
seconds=$2
shift 2
name=$(basename "$target")
seeds="$root/fuzz/corpus/$name"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$seeds"
findings="$(dirname "$target")/smoke-findings-$name"

fail() {
  echo "FAIL $name: $*" >&2
  exit 1
}

"$target" -runs=0 "$seeds" >"$work/seeds.log" 2>&1 || fail "the seeds alone fail: $(tail -30 "$work/seeds.log")"
seed_cov=$(sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p' "$work/seeds.log" | tail -1)

mkdir -p "$findings"
if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -print_pcs=1 -artifact_prefix="$findings/" \
    "$work/corpus" "$seeds" >"$work/run.log" 2>&1; then
  tail -60 "$work/run.log" >&2
  fail "a fault; the input is in $findings"
fi
rmdir "$findings" 2>/dev/null || true
final_cov=$(grep -o 'cov: [0-9]*' "$work/run.log" | tail -1 | cut -d' ' -f2)
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/run.log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/run.log")
echo "$name: $runs inputs in ${seconds}s ($rate/s), coverage $seed_cov from the seeds, $final_cov at the end"
[ "${final_cov:-0}" -gt "${seed_cov:-0}" ] || fail "coverage never rose above the seeds' $seed_cov"

# Covered functions of the final corpus; libFuzzer leaves out files under /usr/include, so the
# new edges the run reported count as well.
"$target" -runs=0 -print_coverage=1 "$work/corpus" "$seeds" >"$work/coverage.log" 2>&1 ||
  fail "the coverage run failed"
for source in "$@"; do
  grep -Eqh "^(COVERED_FUNC:|\s*NEW_PC:).* (.*/)?$source:[0-9]+" "$work/coverage.log" "$work/run.log" ||
    fail "no covered code in $source: its library is not instrumented or never reached"
done
