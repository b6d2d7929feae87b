#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build tree.
#   wine-run.sh PROGRAM.exe [ARGS...]
# The build tree is found from QPATCH_BUILD_DIR or by walking up from the current folder to
# CMakeCache.txt. With QPATCH_WINE_USER set (and running as root), the program runs as that
# unprivileged user with a prefix of its own, so that access rights behave as on Windows.
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
  export WINEPREFIX="$build/wineprefix-$user"
  if [ ! -d "$WINEPREFIX" ]; then
    mkdir -p "$WINEPREFIX"; chown "$user" "$WINEPREFIX"
  fi
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
exec "${run[@]}" "$@"
