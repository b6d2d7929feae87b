#!/usr/bin/env bash
# The size benchmark on real game data (fetched once from Debian's packages, never by the tests):
#   scripts/bench-size.sh [--block-size SIZE]... [--threads N] [--level L] [--no-baselines] SET...
#   (SET: freedoom | openarena | binaries | a folder)
# and the delta benchmark on pairs of real consecutive versions, beside bsdiff, zstd and xz:
#   scripts/bench-size.sh delta [--hdiffz PATH] [--threads N] [PAIR...]
#   (PAIR: esbuild | freedoom1 | freedoom2 | insertion; fetched once into build/bench-size/delta)
# and whole-game updates beside HDiffPatch's directory patch and xz:
#   scripts/bench-size.sh tree [--hdiffz PATH] [--tool-before PATCHTOOL] [PAIR | OLD:NEW]...
#   (PAIR: freeciv | 7kaa | xmoto | cdda | lincity; fetched once into build/bench-size)
# and compressed archives (zip, jar) of two consecutive versions, the same tools beside patchtool:
#   scripts/bench-size.sh archives [--hdiffz PATH] [--threads N] [PAIR...]
#   (PAIR: triplea | closure | lang3 | spring; fetched once into build/bench-size/archives)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
command -v zstd >/dev/null || apt-get install -y -qq --no-install-recommends zstd >/dev/null
if [ "${1:-}" = delta ]; then
  command -v bsdiff >/dev/null || apt-get install -y -qq --no-install-recommends bsdiff >/dev/null
  QPATCH_TARGETS=qdelta scripts/build.sh release >/dev/null
  exec python3 bench/bench_delta.py "${@:2}"
fi
scripts/build.sh release >/dev/null
QPATCH_TARGETS=installer scripts/build.sh windows >/dev/null
if [ "${1:-}" = archives ]; then
  command -v bsdiff >/dev/null || apt-get install -y -qq --no-install-recommends bsdiff >/dev/null
  exec python3 bench/bench_archives.py "${@:2}"
fi
if [ "${1:-}" = tree ]; then
  exec python3 bench/bench_tree.py "${@:2}"
fi
exec python3 bench/bench_size.py "$@"
