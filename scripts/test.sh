#!/usr/bin/env bash
# Builds the trees and runs every test: native unit tests under sanitizers, fuzz smoke runs, and
# the Windows-side unit and end-to-end tests under Wine inside Xvfb.
# The Windows-side suite runs on the shipped 32-bit build where the kernel runs 32-bit code, and on
# its 64-bit twin (build/windows64) where it does not; with both possible, the twin's unit tests
# run as well. Checks that need no execution always run against the 32-bit installer.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh || exit 1

archs=$(scripts/probe-arch.sh --explain) || {
  echo "test: neither 32-bit nor 64-bit Windows programs can run here (see above)" >&2
  exit 1
}
unit_only='^(e2e_|patchtool_wine_install$|app_make_installer$|static_)'
if [[ " $archs " == *" win32 "* ]]; then suite_tree=windows; else suite_tree=windows64; fi

scripts/build.sh native || exit 1
if [ "$suite_tree" = windows ]; then
  scripts/build.sh windows || exit 1
else
  QPATCH_TARGETS=installer scripts/build.sh windows || exit 1  # only its image is checked
fi
scripts/build.sh windows64 || exit 1

# Tests that depend on access rights run as an unprivileged user (root bypasses read-only under Wine).
if [ "$(id -u)" = 0 ] && ! id qpatch-tester >/dev/null 2>&1; then
  useradd --system --no-create-home --shell /usr/sbin/nologin qpatch-tester
fi

# One X server for the whole Windows-side run.
display=:$(( 90 + RANDOM % 100 ))
Xvfb "$display" -ac -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
stop_wine() {
  for tree in windows windows64; do
    QPATCH_BUILD_DIR="$root/build/$tree" scripts/wine-run.sh --kill-server 2>/dev/null
  done
  kill $xvfb 2>/dev/null
}
trap stop_wine EXIT
export DISPLAY=$display
sleep 1

status=0
summary=()
run() {  # run LABEL CTEST_ARGS...
  local label=$1
  shift
  echo "== $label"
  if ctest "$@" --output-on-failure; then
    summary+=("passed  $label")
  else
    summary+=("FAILED  $label")
    status=1
  fi
}
wine_tree() {  # wine_tree TREE LABEL CTEST_ARGS...
  local tree=$1 label=$2
  shift 2
  export QPATCH_BUILD_DIR="$root/build/$tree"
  scripts/wine-run.sh cmd /c exit 0 >/dev/null 2>&1  # makes the prefix once, before tests run in parallel
  run "$label" --test-dir "build/$tree" "$@"
}

run "native tests (x86-64 Linux, ASan/UBSan, fuzz smoke runs)" --test-dir build/native
if [ "$suite_tree" = windows ]; then
  wine_tree windows "windows tests: the 32-bit installer under 32-bit Wine (i686)"
  wine_tree windows64 "windows64 unit tests: the 64-bit twin under 64-bit Wine (x86-64)" -E "$unit_only"
else
  run "windows static checks: the 32-bit installer, not run (this kernel runs no 32-bit code)" \
    --test-dir build/windows -R '^static_'
  wine_tree windows64 "windows64 tests: the 64-bit twin under 64-bit Wine (x86-64), in place of the 32-bit build"
fi

echo
echo "== summary (Windows architectures this kernel runs: $archs)"
printf '  %s\n' "${summary[@]}"
exit $status
