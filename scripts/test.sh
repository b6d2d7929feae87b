#!/usr/bin/env bash
# Builds the trees and runs every test: native unit tests under sanitizers, fuzz smoke runs, and
# the Windows-side unit and end-to-end tests under Wine inside Xvfb (the steps: scripts/suite.sh).
# The Windows-side suite runs on the shipped 32-bit build where the kernel runs 32-bit code, and on
# its 64-bit twin (build/windows64) where it does not; with both possible, the twin's unit tests
# run as well. Checks that need no execution always run against the 32-bit installer. Where the
# kernel runs no 32-bit code, the witness runs beside the rest: the shipped 32-bit installer
# itself, emulated by qemu-i386 (scripts/witness.sh); it fails when emulation cannot be set up.
# QPATCH_FORCE_EMULATION=1 makes this kernel count as such a kernel.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/suite.sh
trap suite_finish EXIT
fail() { suite_summary "test: stopped"; exit 1; }
suite_part "bootstrap: what the suite needs installed" bash scripts/bootstrap.sh || fail
suite_choose || exit 1
suite_witness_early || fail
suite_part "build: native, windows, windows64 trees" suite_build || fail
suite_native
suite_windows
suite_summary "summary (Windows architectures this kernel runs: $suite_archs)"
exit $suite_status
