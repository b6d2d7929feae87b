#!/usr/bin/env bash
# Runs COMMAND on a private X server of its own and ends the server afterwards:
#   with-display.sh COMMAND [ARGS...]
# Every caller that needs a display comes here, so that all windows are drawn alike: one
# 1280x1024 screen at 24 bits, no window manager, any local client admitted (-ac: the
# unprivileged test user is not the one who started it), no TCP. The server picks a free display
# number itself and reports it (-displayfd), so parallel callers never race for one.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: with-display.sh COMMAND [ARGS...]" >&2; exit 2; }
report=$(mktemp -u /tmp/qpatch-display.XXXXXX)
mkfifo "$report"
Xvfb -displayfd 3 -ac -screen 0 1280x1024x24 -nolisten tcp 3>"$report" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -f "$report"' EXIT
read -r -t 60 number <"$report" || { echo "with-display: Xvfb did not start" >&2; exit 1; }
rm -f "$report"
export DISPLAY=:$number
code=0
"$@" || code=$?
exit $code
