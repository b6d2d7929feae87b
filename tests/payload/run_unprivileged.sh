#!/usr/bin/env bash
# Runs a Windows test program under Wine as the unprivileged user qpatch-tester, from a scratch
# folder under /tmp that the user owns:  run_unprivileged.sh BUILD_DIR PROGRAM.exe [ARGS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
program=$2
shift 2
user=qpatch-tester
# The user may connect to the display: with-display.sh's admits any local client.
if [ -z "${DISPLAY:-}" ]; then
  exec "$root/scripts/with-display.sh" "$0" "$build" "$program" "$@"
fi
if [ "$(id -u)" = 0 ] && ! id "$user" >/dev/null 2>&1; then
  useradd --system --no-create-home "$user"
fi
scratch=$(mktemp -d /tmp/qpatch-payload.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cp "$program" "$scratch/"
[ "$(id -u)" = 0 ] && chown -R "$user" "$scratch"
cd "$scratch"
QPATCH_BUILD_DIR="$build" QPATCH_WINE_USER="$user" "$root/scripts/wine-run.sh" \
  "./$(basename "$program")" "$@"
