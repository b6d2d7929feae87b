#!/usr/bin/env bash
# Installs what this project needs on a Debian 12 machine. Idempotent: quick when all is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang clang-format libclang-rt-14-dev python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  lzma-dev googletest libgtest-dev libbenchmark-dev zlib1g-dev libdivsufsort-dev
  wine wine32:i386 wine64 fonts-wine xvfb xauth x11-utils
  fonts-wqy-microhei fonts-wqy-zenhei imagemagick osslsigncode openssl xz-utils
  locales procps qemu-user-static
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "bootstrap: missing packages (${missing[*]}); run as root" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails an update now and then ("File has unexpected size"): try again.
  # With the security suite's index missing for i386 only, the amd64 half of a multi-arch library
  # would be taken from it and the i386 half could not match: then this install prefers the
  # release's own versions, which exist for both architectures.
  pin=$(mktemp)
  trap 'rm -f "$pin"' EXIT
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 90\n' >"$pin"
  for attempt in 1 2 3 4; do
    prefer=()
    if ! apt-get update -qq; then
      echo "bootstrap: apt-get update reported a failure (attempt $attempt); preferring the release's versions" >&2
      prefer=(-o "Dir::Etc::Preferences=$pin")
    fi
    apt-get "${prefer[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null && break
    [ $attempt -lt 4 ] || { echo "bootstrap: apt-get failed $attempt times" >&2; exit 1; }
    sleep $(( attempt * 20 ))
  done
fi

# Chinese locales, so that Wine picks the simplified or traditional resources.
for loc in zh_CN zh_TW; do
  if ! locale -a 2>/dev/null | grep -qi "^${loc}\.utf8$"; then
    [ "$(id -u)" = 0 ] || continue
    grep -q "^${loc}.UTF-8 UTF-8" /etc/locale.gen 2>/dev/null || echo "${loc}.UTF-8 UTF-8" >> /etc/locale.gen
    regen=1
  fi
done
if [ -n "${regen:-}" ]; then locale-gen >/dev/null; fi
exit 0
