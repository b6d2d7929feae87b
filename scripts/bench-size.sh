#!/usr/bin/env bash
# The size benchmark on real game data (fetched once from Debian's packages, never by the tests):
#   scripts/bench-size.sh [--block-size SIZE]... [--threads N] [--level L] [--no-baselines] SET...
#   (SET: freedoom | openarena | binaries | a folder)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
command -v zstd >/dev/null || apt-get install -y -qq --no-install-recommends zstd >/dev/null
scripts/build.sh release >/dev/null
QPATCH_TARGETS=installer scripts/build.sh windows >/dev/null
exec python3 bench/bench_size.py "$@"
