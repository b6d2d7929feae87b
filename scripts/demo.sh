#!/usr/bin/env bash
# The demo: builds an installer for a demo patch from generated game files, lays out a demo game
# folder at version 1.1.0.0, runs the installer under Wine and reports what happened.
# On a display (DISPLAY set, not CI) you play the user yourself; otherwise it runs headless and
# the UI driver answers every box with OK. It runs the shipped 32-bit installer: natively where
# the kernel runs 32-bit code, else emulated by qemu-i386 (scripts/i386-emulation.sh; minutes
# instead of seconds), else the 64-bit twin; it says which. It exits non-zero, saying why, unless
# the installer ran, the dialog was seen, the version was written and every file matches.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ -n "${QPATCH_I386_EMULATION:-}" ] || bash scripts/bootstrap.sh
archs=$(scripts/probe-arch.sh --explain) || { echo "demo: no Windows architecture can run here" >&2; exit 1; }
wine=(scripts/wine-run.sh)
scale=1
if [[ " $archs " == *" win32 "* ]]; then
  tree=windows arch="the 32-bit installer (i686) under 32-bit Wine, native"
elif [ -n "${QPATCH_I386_EMULATION:-}" ] && scripts/probe-arch.sh --emulated >/dev/null; then
  tree=windows arch="the 32-bit installer (i686) under 32-bit Wine, EMULATED by qemu-i386: this kernel runs no 32-bit code"
  export QPATCH_WINE_EMULATED=1
  wine=(scripts/wine-run.sh --session scripts/wine-run.sh)
  scale=${QPATCH_TIMEOUT_SCALE:-10}
  scale=${scale%%.*}
elif [ -z "${QPATCH_I386_EMULATION:-}" ] && { scripts/i386-emulation.sh "$root/scripts/demo.sh" "$@"; code=$?; [ $code != 125 ]; }; then
  exit $code
else
  tree=windows64 arch="the 64-bit twin (x86-64) under 64-bit Wine: this kernel runs no 32-bit code and cannot emulate it"
fi
echo "== building (publisher's tool, installer, UI driver); running $arch"
QPATCH_TARGETS=patchtool scripts/build.sh release >/dev/null
QPATCH_TARGETS="installer uidriver uidriver_hook" scripts/build.sh "$tree" >/dev/null

work="$root/build/demo"
rm -rf "$work"
mkdir -p "$work"
echo "== generating the demo game in two versions (1.1.0.0 and 1.1.0.1)"
python3 tools/demo/make_demo_game.py "$work/versions"

game="$work/game"
cp -r "$work/versions/old" "$game"
mkdir -p "$game/Update"
echo "== building the patch and its installer with the publisher's tool"
build/release/tools/patchtool/patchtool build \
  --old "$work/versions/old" --new "$work/versions/new" \
  --target 1.1.0.1 --op = --base 1.1.0.0 \
  --description "《Tolvar二》v1.1.0.0 升级到 v1.1.0.1" \
  --out "$work/patch" --installer "$game/Update/patch.exe" \
  --stub "build/$tree/resources/qpatch-stub.exe"
echo
build/release/tools/patchtool/patchtool inspect "$game/Update/patch.exe"

echo
echo "== game folder: $game"
echo "version before: $(grep -a VERSION "$game/Bin/game.ini" | tr -d '\r')"
export QPATCH_BUILD_DIR="$root/build/$tree"
export LANG=${DEMO_LANG:-zh_CN.UTF-8}
problems=()
if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
  echo "running the installer on your display; answer its dialogs"
  set +e; "${wine[@]}" "$game/Update/patch.exe"; code=$?; set -e
  echo "exit code: $code"
  [ "$code" = 0 ] || problems+=("the installer exited with $code")
else
  echo "running the installer headless; the UI driver answers every box with OK"
  echo "events:"
  cp "build/$tree/tools/uidriver/uidriver.exe" "build/$tree/tools/uidriver/uidriver_hook.dll" "$work/"
  set +e
  "${wine[@]}" "$work/uidriver.exe" --timeout $((300 * scale)) "$game/Update/patch.exe" >"$work/events.jsonl"
  set -e
  # The events are printed as they were seen; what is missing comes back as one problem a line.
  while IFS= read -r line; do problems+=("$line"); done < <(python3 - "$work/events.jsonl" <<'EOF'
import json, sys
dialog_seen, exit_code = False, None
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    try:
        e = json.loads(line)
    except ValueError:
        continue
    kind = e.get("event")
    if kind == "dialog" and not dialog_seen:
        dialog_seen = True
        print("  progress dialog opened:", e.get("caption"), "|", e.get("info", "").strip(), file=sys.stderr)
    elif kind == "dialog_closed":
        print("  progress dialog closed by itself, bar at", e.get("finalPos"), "of 100", file=sys.stderr)
    elif kind == "msgbox":
        print("  message box:", e.get("caption"), "|", e.get("text"), "| icon", e.get("icon"),
              "| answered", e.get("answer"), file=sys.stderr)
    elif kind == "exit":
        exit_code = e.get("code")
        print("  installer exit code:", exit_code, file=sys.stderr)
if exit_code is None:
    print("the installer did not run to its end (the UI driver saw no exit)")
elif exit_code != 0:
    print("the installer exited with %s" % exit_code)
if not dialog_seen:
    print("the progress dialog was never seen")
EOF
)
fi
after=$(grep -a VERSION "$game/Bin/game.ini" | tr -d '\r' || true)
echo "version after:  $after"
[ "$after" = "VERSION=1.1.0.1" ] || problems+=("the version was not written (game.ini says '$after')")
echo
echo "files of the new version, as found in the game folder:"
differs=0
while read -r f; do
  if cmp -s "$work/versions/new/$f" "$game/$f"; then state="matches 1.1.0.1"; else state="DIFFERS"; differs=$((differs + 1)); fi
  printf '  %-32s %10d bytes  %s\n' "${f#./}" "$(stat -c %s "$game/$f" 2>/dev/null || echo 0)" "$state"
done < <(cd "$work/versions/new" && find . -type f | sort)
[ "$differs" = 0 ] || problems+=("$differs file(s) differ from the new version")

echo
if [ ${#problems[@]} -gt 0 ]; then
  printf 'demo FAILED: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "demo passed: the patch installed by $arch (build/$tree); every file matches 1.1.0.1"
