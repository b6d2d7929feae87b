#!/usr/bin/env bash
# Kills the installer at N random moments of one installation and runs it again each time; every
# game folder must then equal a clean installation:  heal-campaign.sh N [SEED] [BUILD_DIR]
# (default seed 1, build tree build/windows, or build/windows64 where 32-bit code cannot run).
# The seed is printed, so a failing point can be run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
points=${1:?number of kill points}
seed=${2:-1}
if [ -n "${3:-}" ]; then
  build=$3
elif [[ " $("$root/scripts/probe-arch.sh") " == *" win32 "* ]]; then
  build=$root/build/windows
else
  build=$root/build/windows64
fi
[ -f "$build/wine-arch" ] || { echo "heal-campaign: $build is not a Windows build tree (scripts/build.sh windows)" >&2; exit 2; }
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-ac -screen 0 1280x1024x24" "$0" "$points" "$seed" "$build"
fi
cd "$root/tests/e2e"
exec env QPATCH_SOURCE_DIR="$root" QPATCH_BUILD_DIR="$build" QPATCH_ARTIFACTS="$build/artifacts" \
  UIDRIVER="$build/tools/uidriver/uidriver.exe" FAKEAPP="$build/tests/e2e/e2e_fakeapp.exe" \
  PLANTED_DLL="$build/tests/e2e/e2e_planted.dll" PYTHONDONTWRITEBYTECODE=1 \
  HEAL_POINTS="$points" HEAL_SEED="$seed" python3 -m unittest -v test_heal.Campaign
