#!/usr/bin/env bash
# Builds the trees and runs every test: native unit tests under sanitizers, fuzz smoke runs, and
# the Windows-side unit and end-to-end tests under Wine inside Xvfb.
# The Windows-side suite runs on the shipped 32-bit build where the kernel runs 32-bit code, and on
# its 64-bit twin (build/windows64) where it does not; with both possible, the twin's unit tests
# run as well. Checks that need no execution always run against the 32-bit installer. Where the
# kernel runs no 32-bit code, the witness follows: the shipped 32-bit installer itself, emulated
# by qemu-i386 (the demo patch end to end, a start-up refusal, a damaged package); it fails when
# emulation cannot be set up. QPATCH_FORCE_EMULATION=1 makes this kernel count as such a kernel.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh || exit 1

archs=$(scripts/probe-arch.sh --explain) || {
  echo "test: neither 32-bit nor 64-bit Windows programs can run here (see above)" >&2
  exit 1
}
# Tests run in parallel: each Windows-side test has a Wine prefix and an X display of its own.
jobs=${QPATCH_TEST_JOBS:-$(( $(nproc) + 1 ))}
export QPATCH_WINE_ARCHS=$archs
if [[ " $archs " == *" win32 "* ]]; then suite_tree=windows; else suite_tree=windows64; fi

scripts/build.sh native || exit 1
if [ "$suite_tree" = windows ]; then
  scripts/build.sh windows || exit 1
else
  # its image is checked; the witness runs it under the UI driver, on the demo patch too
  QPATCH_TARGETS="installer uidriver uidriver_hook" scripts/build.sh windows || exit 1
  scripts/build.sh release || exit 1
fi
scripts/build.sh windows64 || exit 1

# Tests that depend on access rights run as an unprivileged user (root bypasses read-only under Wine).
if [ "$(id -u)" = 0 ] && ! id qpatch-tester >/dev/null 2>&1; then
  useradd --system --no-create-home --shell /usr/sbin/nologin qpatch-tester
fi

# No display is shared: every test that needs one starts its own (scripts/with-display.sh).
unset DISPLAY
stop_wine() {
  for tree in windows windows64; do
    [ -f "$root/build/$tree/wine-arch" ] && QPATCH_BUILD_DIR="$root/build/$tree" scripts/wine-run.sh --kill-server 2>/dev/null
  done
}
trap stop_wine EXIT

status=0
summary=()
run() {  # run LABEL CTEST_ARGS...
  local label=$1 start=$SECONDS
  shift
  echo "== $label"
  if ctest -j "$jobs" "$@" --output-on-failure; then
    summary+=("passed  $label ($((SECONDS - start)) s)")
  else
    summary+=("FAILED  $label ($((SECONDS - start)) s)")
    status=1
  fi
}
wine_tree() {  # wine_tree TREE LABEL CTEST_ARGS...
  local tree=$1 label=$2
  shift 2
  QPATCH_BUILD_DIR="$root/build/$tree" run "$label" --test-dir "build/$tree" "$@"
}

# The witness: COMMAND under qemu-i386 against the shipped 32-bit build, its time in the summary.
emulated() {  # emulated LABEL COMMAND...
  local label="$1, EMULATED by qemu-i386" start=$SECONDS
  shift
  echo "== $label"
  if QPATCH_BUILD_DIR="$root/build/windows" QPATCH_WINE_EMULATED=1 \
     QPATCH_TIMEOUT_SCALE=${QPATCH_TIMEOUT_SCALE:-10} \
     scripts/i386-emulation.sh scripts/wine-run.sh --session "$@"; then
    summary+=("passed  $label ($((SECONDS - start)) s)")
  else
    summary+=("FAILED  $label ($((SECONDS - start)) s)")
    status=1
  fi
}
witness() {
  local why
  if ! why=$(scripts/i386-emulation.sh scripts/probe-arch.sh --emulated 2>&1 >/dev/null); then
    summary+=("FAILED  witness: the 32-bit installer (i686) cannot run emulated here: $(tail -1 <<<"$why")")
    status=1
    return
  fi
  emulated "witness prefix: 64-bit Wine prefix for emulated 32-bit Wine (once per machine)" \
    scripts/wine-run.sh --prepare
  emulated "witness demo: the 32-bit installer (i686) under 32-bit Wine, the demo patch end to end" \
    env CI=1 scripts/demo.sh
  emulated "witness refusals: the 32-bit installer (i686) under 32-bit Wine, misplaced, damaged, a modded delta base, a delta killed and healed" \
    env -C tests/e2e PYTHONDONTWRITEBYTECODE=1 python3 -m unittest -v test_witness
}

run "native tests (x86-64 Linux, ASan/UBSan, fuzz smoke runs)" --test-dir build/native
if [ "$suite_tree" = windows ]; then
  wine_tree windows "windows tests: the 32-bit installer under 32-bit Wine (i686), native"
  wine_tree windows64 "windows64 unit tests: the 64-bit twin under 64-bit Wine (x86-64), native" -L unit
else
  run "windows static checks: the 32-bit installer, not run (this kernel runs no 32-bit code)" \
    --test-dir build/windows -L static
  wine_tree windows64 "windows64 tests: the 64-bit twin under 64-bit Wine (x86-64), native, in place of the 32-bit build"
  witness
fi

echo
echo "== summary (Windows architectures this kernel runs: $archs)"
printf '  %s\n' "${summary[@]}"
exit $status
