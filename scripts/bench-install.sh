#!/usr/bin/env bash
# Times the installer from process start to exit under Wine against the limit on the same data and a
# trivial GUI program, interleaved in rounds; also reports the installer's peak memory.
#   scripts/bench-install.sh [--arch x86|x64] [--rounds N] [--overwrite] [--strace] [--phases] [--cold-desktop] [PAYLOAD...]
#   (PAYLOAD: tiny | dlls:COUNT | game:SIZE_MB | dir:PATH | delta:PAIR | archive:PAIR; default tiny dlls:300 game:30 game:110)
# x86 (the shipped installer) is the default where the kernel runs 32-bit code, else x64 (the twin).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
arch=x86
scripts/probe-arch.sh | grep -qw win32 || arch=x64
case "${1:-}" in
  --arch) arch=${2:?--arch x86|x64}; shift 2 ;;
  --arch=*) arch=${1#--arch=}; shift ;;
esac
case "$arch" in
  x86) tree=windows ;;
  x64) tree=windows64 ;;
  *) echo "bench-install: --arch is x86 or x64" >&2; exit 2 ;;
esac
echo "installer architecture: $arch (build/$tree)"
scripts/build.sh release >/dev/null
scripts/build.sh "$tree" >/dev/null
export QPATCH_WINDOWS_TREE=$tree
# Without a display the installer's dialog cannot open and it ends at once, having written nothing.
if [ -z "${DISPLAY:-}" ]; then
  exec scripts/with-display.sh python3 bench/bench_install.py "$@"
fi
python3 bench/bench_install.py "$@"
