#!/usr/bin/env bash
# Dependencies point one way: stream/ <- format/, delta/ <- payload/ <- app/; the tools and the
# benchmarks use the four below app/, never app/ (the installer's run state and start-up).
# Inside the publisher's tool: cli/ -> builder/, check/ -> format/, pe/ -> host/, where builder/ and
# check/ never include each other, pe/ never includes format/, and only cli/ prints.
# Fails, naming the lines, when a folder includes from one above it.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
status=0
check() {  # FOLDER PATTERN_OF_FORBIDDEN_INCLUDES
  if grep -rnE "^\s*#\s*include\s+\"($2)/" "$1"; then
    echo "FAIL: $1/ includes from $2/" >&2
    status=1
  fi
}
check stream 'format|delta|payload|app|tools'
check format 'delta|payload|app|tools'
check delta 'format|payload|app|tools'
check payload 'app|tools'
check app 'tools'
check tools 'app'
check bench 'app'
tool=tools/patchtool
check $tool/host "$tool/(cli|builder|check|format|pe)"
check $tool/pe "$tool/(cli|builder|check|format)"
check $tool/format "$tool/(cli|builder|check)"
check $tool/builder "$tool/(cli|check)"
check $tool/check "$tool/(cli|builder)"
# The library returns its words through a Report; the console is cli/'s alone.
if grep -rnE '(^|[^sn])printf\s*\(|\b(puts|fputs|putchar|fputc|fwrite)\s*\([^)]*\b(stdout|stderr)\b|\b(stdout|stderr)\b' \
    $tool --include=*.cpp --include=*.h | grep -v "^$tool/cli/"; then
  echo "FAIL: $tool/ prints outside cli/" >&2
  status=1
fi
# No two modules (x.h with x.cpp) include each other, directly or through others.
python3 tests/check_include_cycles.py || status=1
exit $status
