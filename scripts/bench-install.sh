#!/usr/bin/env bash
# Installs a large game-like payload end to end under Wine and measures it against the limit on the
# same data; also reports the installer's peak memory for each payload size.
#   scripts/bench-install.sh [SIZE_MB...]     (default: 110 and 30)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
scripts/build.sh release >/dev/null
scripts/build.sh windows >/dev/null
[ $# -gt 0 ] || set -- 110 30
exec python3 bench/bench_install.py "$@"
