#!/usr/bin/env bash
# Dependencies point one way: stream/ <- payload/ <- app/, and tools/ may use all three.
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
check stream 'payload|app|tools'
check payload 'app|tools'
check app 'tools'
exit $status
