#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build tree.
#   wine-run.sh PROGRAM.exe [ARGS...]
#   wine-run.sh --kill-server        (ends the Wine server of the tree's prefix)
#   wine-run.sh --prepare            (makes the prefix if it is not ready, runs nothing)
#   wine-run.sh --persist            (starts the prefix's server to stay until --kill-server, so
#                                     that a test's many runs skip Wine's start-up of services)
#   wine-run.sh --session COMMAND... (emulated mode: COMMAND's runs share the prefix; see below)
# The build tree is found from QPATCH_BUILD_DIR or by walking up from the current folder to
# CMakeCache.txt. Its file wine-arch (win32 or win64) names the Wine to use: the 32-bit loader
# and server, or the 64-bit ones; both are named by path, never looked up on PATH.
# With QPATCH_WINE_USER set (and running as root), the program runs as that unprivileged user
# with a prefix of its own under /tmp, so that access rights behave as on Windows; the program
# and the files it touches must be where that user may go.
# Without a display, the program runs on a private one (scripts/with-display.sh).
# QPATCH_WINE_ARCHS, when set, is what scripts/probe-arch.sh printed (the test command probes
# once; a probe costs a second).
# With QPATCH_WINE_SLOT=NAME, the program runs in a prefix of its own, BUILD/wineprefixes/NAME,
# copied from the tree's prefix once: tests that run in parallel then share no Wine server.
# With QPATCH_WINE_EMULATED=1, a win32 tree's programs run where the kernel runs no 32-bit code:
# inside scripts/i386-emulation.sh, the 32-bit loader is emulated by qemu and talks to the native
# 64-bit server in a 64-bit prefix (32-bit Wine in a 32-bit prefix made under emulation was seen
# to hang). That prefix costs minutes to make, so it lives outside the clone, once per machine
# (QPATCH_WITNESS_PREFIX, default /var/cache/qpatch/wine-witness). Every test command using it runs as one
# --session: at its end, and on --kill-server, the prefix's server is ended unless another
# session still holds the prefix.
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

arch=$(cat "$build/wine-arch" 2>/dev/null) || { echo "wine-run: $build is not a Windows build tree (no wine-arch)" >&2; exit 2; }
emulated=${QPATCH_WINE_EMULATED:-}
case "$arch${emulated:+-emulated}" in
  win32) loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver32 prefix_arch=win32 ;;
  win64) loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64 prefix_arch=win64 ;;
  win32-emulated) loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver64 prefix_arch=win64 ;;
  *) echo "wine-run: cannot run $arch${emulated:+ emulated}: tree $build" >&2; exit 2 ;;
esac
if [ -n "$emulated" ]; then
  "$(dirname "$0")/probe-arch.sh" --emulated >/dev/null || { echo "wine-run: 32-bit Wine cannot run emulated here" >&2; exit 126; }
elif ! grep -qw "$arch" <<<"${QPATCH_WINE_ARCHS:-$("$(dirname "$0")/probe-arch.sh")}"; then
  echo "wine-run: cannot run $arch programs on this machine; use the other build tree" >&2
  "$(dirname "$0")/probe-arch.sh" --explain >/dev/null
  exit 126
fi
export WINELOADER=$loader WINESERVER=$server WINEARCH=$prefix_arch

export WINEDEBUG=-all
# Wine takes the code page of file names from the locale: UTF-8 names need a UTF-8 one.
case "$(locale charmap 2>/dev/null)" in
  UTF-8) ;;
  *) export LANG=C.UTF-8; unset LC_ALL LC_CTYPE ;;
esac
# QPATCH_DLL_OVERRIDES adds overrides, as a test that plants DLLs needs (uxtheme=n,b, say).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${QPATCH_DLL_OVERRIDES:+;$QPATCH_DLL_OVERRIDES}"
user=${QPATCH_WINE_USER:-}
if [ -n "$emulated" ]; then
  # Inside the emulation's user namespace no other user exists.
  [ -z "$user" ] || { echo "wine-run: QPATCH_WINE_USER cannot be combined with emulation" >&2; exit 2; }
  export WINEPREFIX=${QPATCH_WITNESS_PREFIX:-/var/cache/qpatch/wine-witness}
  mkdir -p "$(dirname "$WINEPREFIX")"
  run=("$loader")
elif [ -n "$user" ] && [ "$(id -u)" = 0 ]; then
  # The user may not be allowed into the build tree (a checkout under /root, say): its prefix
  # lives under /tmp, one per build tree.
  export WINEPREFIX="/tmp/qpatch-wine-$user-$(printf '%s' "$build" | md5sum | cut -c1-12)"
  run=(runuser -u "$user" -- env HOME="$WINEPREFIX" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all
       WINEDLLOVERRIDES="$WINEDLLOVERRIDES" DISPLAY="${DISPLAY:-}" LANG="${LANG:-}" LC_ALL="${LC_ALL:-}"
       WINELOADER="$loader" WINESERVER="$server" WINEARCH="$arch" "$loader")
else
  # Always the tree's own: a WINEPREFIX of the caller's shell may be of the other architecture.
  export WINEPREFIX=$build/wineprefix
  run=("$loader")
fi
slot=
if [ -n "${QPATCH_WINE_SLOT:-}" ] && [ -z "$emulated" ] && [ -z "$user" ]; then
  slot=$build/wineprefixes/$QPATCH_WINE_SLOT
fi

if [ "${1:-}" = --session ]; then
  shift
  code=0
  flock -s -o "$WINEPREFIX.sessions" "$@" || code=$?
  flock -n -x -o "$WINEPREFIX.sessions" "$server" -k 2>/dev/null || true
  exit $code
fi
if [ "${1:-}" = --kill-server ]; then
  if [ -n "$slot" ]; then
    [ -d "$slot" ] && WINEPREFIX=$slot "$server" -k 2>/dev/null
    exit 0
  fi
  if [ -z "$emulated" ] && [ -z "$user" ]; then
    for each in "$build"/wineprefixes/*/; do
      [ -d "$each" ] && WINEPREFIX=${each%/} "$server" -k 2>/dev/null
    done
  fi
  [ -d "$WINEPREFIX" ] || exit 0
  if [ -n "$emulated" ]; then
    flock -n -x -o "$WINEPREFIX.sessions" "$server" -k 2>/dev/null || true
    exit 0
  fi
  if [ -n "$user" ] && [ "$(id -u)" = 0 ]; then
    runuser -u "$user" -- env WINEPREFIX="$WINEPREFIX" "$server" -k 2>/dev/null
  else
    "$server" -k 2>/dev/null
  fi
  exit 0
fi

if [ -z "${DISPLAY:-}" ]; then
  exec "$(dirname "$0")/with-display.sh" "$0" "$@"
fi

# A new prefix is made once, under a lock: Wine draws its own window frames (there is no window
# manager on Xvfb, and without them dialogs and boxes would have no caption in screenshots).
# Wine links the Chinese dialog fonts to SimSun and PMingLiU, which Linux lacks: without a
# replacement every caption, box text and button is drawn as empty boxes.
# The ready marker comes last, after every step succeeded; a prefix left half-made (marked as
# being made, never ready) is made again from nothing.
prepare_prefix() {
  local boot=("${run[@]}")
  [ -z "$emulated" ] || boot=(/usr/lib/wine/wine64)  # only the prefix's 32-bit half is emulated
  touch "$WINEPREFIX/.qpatch-making"
  "${boot[@]}" wineboot -i >/dev/null 2>&1 || return 1
  "${boot[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || return 1
  # A program that crashes ends at once: no debugger attaches and no crash box waits for a click,
  # so a crash fails its test in seconds instead of at the test's timeout.
  local view
  for view in 32 64; do
    "${boot[@]}" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
      /reg:$view >/dev/null 2>&1 || true  # a 32-bit prefix has one view only
  done
  "${boot[@]}" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
  # The caption buttons are drawn with Marlett; Wine does not find Debian's copy by itself.
  if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || return 1
    [ -n "$user" ] && [ "$(id -u)" = 0 ] && chown "$user" "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf"
  fi
  local font
  for font in SimSun PMingLiU 'MS Song' NSimSun MingLiU; do
    "${boot[@]}" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d 'WenQuanYi Micro Hei' /f \
      >/dev/null 2>&1 || return 1
  done
  # The registry reaches the disk when the server ends; a shared prefix must not depend on luck.
  [ -z "$emulated" ] || "$server" -w
  rm -f "$WINEPREFIX/.qpatch-making"
  touch "$WINEPREFIX/.qpatch-ready"
}
if [ ! -f "$WINEPREFIX/.qpatch-ready" ]; then
  mkdir -p "$WINEPREFIX"
  [ -n "$user" ] && [ "$(id -u)" = 0 ] && chown "$user" "$WINEPREFIX"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.qpatch-ready" ]; then
    if [ -f "$WINEPREFIX/.qpatch-making" ]; then
      "$server" -k 2>/dev/null || true
      find "$WINEPREFIX" -mindepth 1 -delete
    fi
    [ -z "$emulated" ] || echo "wine-run: making $WINEPREFIX, once for this machine (minutes: half of it is emulated)" >&2
    prepare_prefix || { echo "wine-run: making the Wine prefix $WINEPREFIX failed" >&2; exit 1; }
  fi
  flock -u 9
  exec 9>&-
fi

# A slot's prefix is a copy of the tree's, made while no server runs in that one (its registry is
# on disk then). The copy shares the prefix's program files by hard links (Wine only reads them)
# and has its own registry and everything else.
copy_prefix() {  # copy_prefix FROM TO
  local copy=$2.making
  rm -rf "$copy" "$2"
  cp -al "$1" "$copy" || return 1
  find "$copy" -type f ! -iregex '.*\.\(dll\|exe\|drv\|sys\|ocx\|cpl\|acm\|ax\|tlb\|ds\|nls\|msstyles\|ttf\|ttc\|fon\)' \
    -printf '%P\0' | while IFS= read -r -d '' file; do
      cp -a --remove-destination "$1/$file" "$copy/$file" || exit 1
    done || return 1
  mv "$copy" "$2"
}
if [ -n "$slot" ] && [ ! -f "$slot/.qpatch-ready" ]; then
  mkdir -p "$(dirname "$slot")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$slot/.qpatch-ready" ]; then
    "$server" -k 2>/dev/null || true
    "$server" -w 2>/dev/null || true
    copy_prefix "$WINEPREFIX" "$slot" || { echo "wine-run: copying the Wine prefix to $slot failed" >&2; exit 1; }
  fi
  flock -u 9
  exec 9>&-
fi
[ -z "$slot" ] || export WINEPREFIX=$slot
[ "${1:-}" != --prepare ] || exit 0
if [ "${1:-}" = --persist ]; then
  "$server" -p
  exec "${run[@]}" wineboot  # the services start now, once
fi
# Wine needs a current folder its user can enter.
if [ -n "$user" ] && [ "$(id -u)" = 0 ] && ! runuser -u "$user" -- test -x . 2>/dev/null; then
  cd /tmp
fi
exec "${run[@]}" "$@"
