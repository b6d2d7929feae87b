#!/usr/bin/env bash
# The demo: builds an installer for a demo patch from generated game files, lays out a demo game
# folder at version 1.1.0.0, runs the installer under Wine and reports what happened.
# On a display (DISPLAY set, not CI) you play the user yourself; otherwise it runs headless and
# the UI driver answers every box with OK.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
echo "== building (publisher's tool, installer, UI driver)"
scripts/build.sh release >/dev/null
scripts/build.sh windows >/dev/null

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
  --stub build/windows/resources/qpatch-stub.exe
echo
build/release/tools/patchtool/patchtool inspect "$game/Update/patch.exe"

echo
echo "== game folder: $game"
echo "version before: $(grep -a VERSION "$game/Bin/game.ini" | tr -d '\r')"
export QPATCH_BUILD_DIR="$root/build/windows"
export LANG=${DEMO_LANG:-zh_CN.UTF-8}
if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
  echo "running the installer on your display; answer its dialogs"
  set +e; scripts/wine-run.sh "$game/Update/patch.exe"; code=$?; set -e
  echo "exit code: $code"
else
  echo "running the installer headless; the UI driver answers every box with OK"
  echo "events:"
  cp build/windows/tools/uidriver/uidriver.exe build/windows/tools/uidriver/uidriver_hook.dll "$work/"
  set +e
  scripts/wine-run.sh "$work/uidriver.exe" --timeout 300 "$game/Update/patch.exe" | tee "$work/events.jsonl" |
    python3 -c '
import json, sys
dialog_seen = False
for line in sys.stdin:
    try:
        e = json.loads(line)
    except ValueError:
        continue
    kind = e.get("event")
    if kind == "dialog" and not dialog_seen:
        dialog_seen = True
        print("  progress dialog opened:", e.get("caption"), "|", e.get("info", "").strip())
    elif kind == "dialog_closed":
        print("  progress dialog closed by itself, bar at", e.get("finalPos"), "of 100")
    elif kind == "msgbox":
        print("  message box:", e.get("caption"), "|", e.get("text"), "| icon", e.get("icon"),
              "| answered", e.get("answer"))
    elif kind == "exit":
        print("  installer exit code:", e.get("code"))'
  set -e
fi
echo "version after:  $(grep -a VERSION "$game/Bin/game.ini" | tr -d '\r')"
echo
echo "files of the new version, as found in the game folder:"
(cd "$work/versions/new" && find . -type f | sort) | while read -r f; do
  if cmp -s "$work/versions/new/$f" "$game/$f"; then state="matches 1.1.0.1"; else state="DIFFERS"; fi
  printf '  %-32s %10d bytes  %s\n' "${f#./}" "$(stat -c %s "$game/$f" 2>/dev/null || echo 0)" "$state"
done
