#!/usr/bin/env bash
# Configures and builds one tree:  scripts/build.sh native|windows|windows64|release [BUILD_DIR]
#   native:    host clang with AddressSanitizer + UndefinedBehaviorSanitizer, fuzz targets
#   windows:   MinGW-w64 i686, the shipped installer and the Windows-side tests (run through Wine)
#   windows64: MinGW-w64 x86_64, the same programs for 64-bit Wine (kernels without 32-bit code)
#   release:   host clang, optimised, no sanitizers: the publisher's tool and the benchmarks
#              (`bench` is another name for it)
# QPATCH_TARGETS, when set, builds only those targets (e.g. installer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:?native, windows, windows64 or release}
[ "$tree" = bench ] && tree=release
dir=${2:-$root/build/$tree}
case "$tree" in
  native)  args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug) ;;
  windows) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release) ;;
  windows64) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release) ;;
  release) args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release
                 -DQPATCH_SANITIZE=OFF -DQPATCH_FUZZ=OFF -DQPATCH_BENCH=ON) ;;
  *) echo "unknown tree: $tree" >&2; exit 2 ;;
esac
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja "${args[@]}" >/dev/null
fi
cmake --build "$dir" ${QPATCH_TARGETS:+--target $QPATCH_TARGETS}
