# The suite's steps, in one place: sourced by scripts/test.sh and scripts/stress-tests.sh, so that
# the stress run is the suite the test command runs. From the checkout's root:
#   source scripts/suite.sh; trap suite_finish EXIT
#   suite_choose           which Windows suite this kernel runs (sets suite_archs, suite_tree)
#   suite_witness_early    where the kernel runs no 32-bit code: builds what the witness needs and
#                          starts it, so that it runs beside the other builds and tests
#   suite_build            the trees the suite needs (a part: suite_part LABEL suite_build)
#   suite_native           the native tests, beside what follows
#   suite_windows          the Windows-side suite: on the 32-bit build where the kernel runs 32-bit
#                          code (and the twin's unit tests), else the 32-bit image's static checks,
#                          the twin's suite and, beside it, the witness; then waits for every part
#                          running beside and prints its output
#   suite_summary TITLE    the parts' results and times; suite_status is 1 when one failed
#   suite_reset            forgets the results (a new round)
# Parts that run beside others write their output to a log printed when they end: the witness is
# emulation, bound by the processor, while the Wine tests mostly wait and the native tests' fuzz
# smoke runs go one at a time.

suite_root=$(pwd)
suite_status=0
suite_summary_lines=()
suite_pending=()   # "pid|label|log|start" of parts running beside
suite_logs=$(mktemp -d)
# Tests run in parallel: each Windows-side test has a Wine prefix and an X display of its own.
suite_jobs=${QPATCH_TEST_JOBS:-$(( $(nproc) + 1 ))}
# No display is shared: every test that needs one starts its own (scripts/with-display.sh).
unset DISPLAY

suite_choose() {
  suite_archs=$(scripts/probe-arch.sh --explain) || {
    echo "test: neither 32-bit nor 64-bit Windows programs can run here (see above)" >&2
    return 1
  }
  export QPATCH_WINE_ARCHS=$suite_archs
  if [[ " $suite_archs " == *" win32 "* ]]; then suite_tree=windows; else suite_tree=windows64; fi
}

suite_build() {
  scripts/build.sh native || return 1
  if [ "$suite_tree" = windows ]; then
    scripts/build.sh windows || return 1
  else
    # the image is checked; the witness runs it under the UI driver
    QPATCH_TARGETS="installer uidriver uidriver_hook" scripts/build.sh windows || return 1
  fi
  scripts/build.sh windows64 || return 1
  # Tests that depend on access rights run as an unprivileged user (root bypasses read-only under Wine).
  if [ "$(id -u)" = 0 ] && ! id qpatch-tester >/dev/null 2>&1; then
    useradd --system --no-create-home --shell /usr/sbin/nologin qpatch-tester
  fi
}

suite_record() {  # suite_record LABEL SECONDS CODE
  if [ "$3" = 0 ]; then
    suite_summary_lines+=("passed  $1 ($2 s)")
  else
    suite_summary_lines+=("FAILED  $1 ($2 s)")
    suite_status=1
  fi
}

suite_part() {  # suite_part LABEL COMMAND...
  local label=$1 start=$SECONDS code=0
  shift
  echo "== $label"
  "$@" || code=$?
  suite_record "$label" $((SECONDS - start)) "$code"
  return $code
}

suite_beside() {  # suite_beside LABEL COMMAND...: runs while what follows runs
  local label=$1 log
  shift
  log=$(mktemp "$suite_logs/part.XXXXXX")
  echo "== $label: started, runs beside what follows"
  (
    start=$SECONDS code=0
    "$@" >"$log" 2>&1 || code=$?
    echo "$code $((SECONDS - start))" >"$log.result"
  ) &
  suite_pending+=("$!|$label|$log")
}

suite_collect() {
  local part pid label log code took
  for part in "${suite_pending[@]}"; do
    IFS='|' read -r pid label log <<<"$part"
    wait "$pid"
    read -r code took <"$log.result" 2>/dev/null || code=1 took=?
    echo "== $label"
    cat "$log"
    suite_record "$label" "$took" "$code"
  done
  suite_pending=()
}

suite_ctest() {  # suite_ctest TREE CTEST_ARGS...
  local tree=$1
  shift
  QPATCH_BUILD_DIR="$suite_root/build/$tree" ctest --test-dir "build/$tree" -j "$suite_jobs" "$@" --output-on-failure
}

suite_native() {
  suite_beside "native tests (x86-64 Linux, ASan/UBSan, fuzz smoke runs)" ctest --test-dir build/native -j "$suite_jobs" --output-on-failure
}

suite_witness() {
  local why
  if ! why=$(scripts/i386-emulation.sh scripts/probe-arch.sh --emulated 2>&1 >/dev/null); then
    suite_summary_lines+=("FAILED  witness: the 32-bit installer (i686) cannot run emulated here: $(tail -1 <<<"$why")")
    suite_status=1
    return
  fi
  suite_beside "witness: the 32-bit installer (i686) under 32-bit Wine, EMULATED by qemu-i386: a damaged package, a modded delta base, the demo patch killed in a delta and healed" \
    scripts/witness.sh
  suite_witness_started=1
}

suite_witness_build() {
  QPATCH_TARGETS="installer uidriver uidriver_hook" scripts/build.sh windows &&
    QPATCH_TARGETS="patchtool qdelta" scripts/build.sh native
}

suite_witness_early() {
  [ "$suite_tree" = windows64 ] || return 0
  suite_part "build: what the witness needs (windows: installer, UI driver; native: patchtool, qdelta)" \
    suite_witness_build || return 1
  suite_witness
}

suite_windows() {
  if [ "$suite_tree" = windows ]; then
    suite_part "windows tests: the 32-bit installer under 32-bit Wine (i686), native" \
      suite_ctest windows -LE campaign
    suite_part "windows64 unit tests: the 64-bit twin under 64-bit Wine (x86-64), native" \
      suite_ctest windows64 -L unit
  else
    [ -n "${suite_witness_started:-}" ] || suite_witness
    suite_part "windows static checks: the 32-bit installer, not run (this kernel runs no 32-bit code)" \
      suite_ctest windows -L static
    suite_part "windows64 tests: the 64-bit twin under 64-bit Wine (x86-64), native, in place of the 32-bit build" \
      suite_ctest windows64 -LE campaign
  fi
  suite_collect
}

suite_reset() {
  suite_status=0
  suite_summary_lines=()
  suite_witness_started=
}

suite_finish() {
  local tree
  suite_collect  # nothing is left running
  for tree in windows windows64; do
    [ -f "$suite_root/build/$tree/wine-arch" ] &&
      QPATCH_BUILD_DIR="$suite_root/build/$tree" scripts/wine-run.sh --kill-server 2>/dev/null
  done
  rm -rf "$suite_logs"
  return 0
}

suite_summary() {  # suite_summary TITLE
  echo
  echo "== $1"
  printf '  %s\n' "${suite_summary_lines[@]}"
}
