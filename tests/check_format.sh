#!/usr/bin/env bash
# Every C and C++ file of the checkout is in the house style (.clang-format): clang-format
# would change nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
