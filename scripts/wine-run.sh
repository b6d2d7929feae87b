#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build tree.
#   wine-run.sh PROGRAM.exe [ARGS...]
# The build tree is found from QPATCH_BUILD_DIR or by walking up from the current folder to
# CMakeCache.txt. With QPATCH_WINE_USER set (and running as root), the program runs as that
# unprivileged user with a prefix of its own under /tmp, so that access rights behave as on
# Windows; the program and the files it touches must be where that user may go.
# Without a display, the program runs inside a private Xvfb.
set -euo pipefail

find_build_dir() {
  local d
  d=$(pwd)
  while [ "$d" != "/" ]; do
    [ -f "$d/CMakeCache.txt" ] && { echo "$d"; return; }
    d=$(dirname "$d")
  done
  pwd
}
build=${QPATCH_BUILD_DIR:-$(find_build_dir)}

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
user=${QPATCH_WINE_USER:-}
if [ -n "$user" ] && [ "$(id -u)" = 0 ]; then
  # The user may not be allowed into the build tree (a checkout under /root, say): its prefix
  # lives under /tmp, one per build tree.
  export WINEPREFIX="/tmp/qpatch-wine-$user-$(printf '%s' "$build" | md5sum | cut -c1-12)"
  run=(runuser -u "$user" -- env HOME="$WINEPREFIX" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all
       WINEDLLOVERRIDES="$WINEDLLOVERRIDES" DISPLAY="${DISPLAY:-}" LANG="${LANG:-}" LC_ALL="${LC_ALL:-}"
       wine)
else
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
  run=(wine)
fi

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-ac -screen 0 1024x768x24" "$0" "$@"  # -ac: the unprivileged user may connect
fi

# A new prefix is made once, under a lock: Wine draws its own window frames (there is no window
# manager on Xvfb, and without them dialogs and boxes would have no caption in screenshots).
prepare_prefix() {
  "${run[@]}" wineboot -i >/dev/null 2>&1
  "${run[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  touch "$WINEPREFIX/.qpatch-ready"
}
if [ ! -f "$WINEPREFIX/.qpatch-ready" ]; then
  mkdir -p "$WINEPREFIX"
  [ -n "$user" ] && [ "$(id -u)" = 0 ] && chown "$user" "$WINEPREFIX"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  [ -f "$WINEPREFIX/.qpatch-ready" ] || prepare_prefix
  flock -u 9
  exec 9>&-
fi
# Wine needs a current folder its user can enter.
if [ -n "$user" ] && [ "$(id -u)" = 0 ] && ! runuser -u "$user" -- test -x . 2>/dev/null; then
  cd /tmp
fi
exec "${run[@]}" "$@"
