#!/usr/bin/env bash
# zlib_agreement.sh HOST_DIGEST RUNNER WINDOWS_DIGEST: the host's zlib and the installer's deflate
# every setting a recipe may record to the same bytes (tests/delta/deflate_digest.cpp).
set -euo pipefail
host=$("$1") || { echo "the host's deflate_digest failed" >&2; exit 1; }
windows=$("$2" "$3" | tr -d '\r') || { echo "the Windows deflate_digest failed" >&2; exit 1; }
if [ "$host" != "$windows" ]; then
  echo "the two zlibs differ:" >&2
  diff <(echo "$host") <(echo "$windows") | head -20 >&2
  exit 1
fi
echo "$(echo "$host" | head -1), $(($(echo "$host" | wc -l) - 1)) settings: the same bytes on both sides"
