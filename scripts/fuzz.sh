#!/usr/bin/env bash
# Runs one fuzz target for a bounded time:  scripts/fuzz.sh TARGET [SECONDS]
# Seeds come from fuzz/corpus/<target name>; new inputs go to a scratch corpus beside the binary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=$1
seconds=${2:-60}
name=$(basename "$target")
seeds="$root/fuzz/corpus/$name"
work="$(dirname "$target")/corpus-$name"
mkdir -p "$work"
args=("$work")
[ -d "$seeds" ] && args+=("$seeds")
exec "$target" -max_total_time="$seconds" -print_final_stats=1 "${args[@]}"
