#!/usr/bin/env bash
# Runs one fuzz target for a bounded time:  scripts/fuzz.sh TARGET [SECONDS]
# Seeds come from fuzz/corpus/<target name>; new inputs go to the corpus that campaigns keep
# (scripts/fuzz-campaign.sh runs every target): $QPATCH_FUZZ_CORPORA/<name>, default build/fuzz-corpora.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=$1
seconds=${2:-60}
name=$(basename "$target")
seeds="$root/fuzz/corpus/$name"
work="${QPATCH_FUZZ_CORPORA:-$root/build/fuzz-corpora}/$name"
mkdir -p "$work"
args=("$work")
[ -d "$seeds" ] && args+=("$seeds")
exec "$target" -max_total_time="$seconds" -print_final_stats=1 "${args[@]}"
