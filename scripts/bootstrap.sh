#!/usr/bin/env bash
# Installs what this project needs on a Debian 12 machine. Idempotent: quick when all is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang clang-format libclang-rt-14-dev python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  lzma-dev googletest libgtest-dev libbenchmark-dev zlib1g-dev libz-mingw-w64-dev libdivsufsort-dev
  wine wine32:i386 wine64 fonts-wine xvfb xauth x11-utils
  fonts-wqy-microhei fonts-wqy-zenhei imagemagick osslsigncode openssl xz-utils
  locales procps qemu-user-static dpkg-dev
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

# Sources of Debian's packages that Debian builds for the host only, compiled by the MinGW trees:
# libdivsufsort (the delta encoder, cmake/divsufsort.cmake) and zlib (the installer's deflater,
# cmake/zlib.cmake, built small and without gzip). Each is fetched through an apt configuration of
# this script's own, a deb-src line for the mirror the machine uses with lists and cache outside
# /etc/apt and /var/lib/apt, and unpacked outside the clone (QPATCH_SOURCES_DIR/PACKAGE); the
# machine's apt setup is left as it was. Quick when unpacked already.
sources_dir=${QPATCH_SOURCES_DIR:-/var/cache/qpatch}
# fetch_source PACKAGE VERSION: VERSION as apt names it ("" for the release's own).
fetch_source() {
  local package=$1 version=$2 dir=$sources_dir/$1
  local wanted=${version:-release}
  ready() { [ "$(cat "$dir/source/.qpatch-version" 2>/dev/null)" = "$wanted" ]; }
  ready && return 0
  [ "$(id -u)" = 0 ] || { echo "bootstrap: $package's sources are missing in $dir; run as root" >&2; exit 1; }
  mkdir -p "$dir"
  exec 8>"$dir/.lock"
  flock 8  # another bootstrap may be fetching them right now
  ready && { exec 8>&-; return 0; }
  # The machine's Debian mirror and release, as apt reads them from /etc/apt/sources.list(.d).
  . /etc/os-release
  # A suite is named by its code name (bookworm) or its class (stable), which its index resolves.
  local mirror
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(CODENAME) $(COMPONENT)' 'Identifier: Packages' |
    awk -v release="$VERSION_CODENAME" '($2 == release || $3 == release) && $4 == "main" && !n++ { print $1 }')
  [ -n "$mirror" ] || { echo "bootstrap: no source of Debian $VERSION_CODENAME main in /etc/apt/sources.list(.d)" >&2; exit 1; }
  local apt_dir=$dir/apt
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'deb-src %s %s %s main\n' "$([ -f "$keyring" ] && echo "[signed-by=$keyring]")" "$mirror" \
    "$VERSION_CODENAME" >"$apt_dir/sources.list"
  local private=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
                 -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)
  download=$(mktemp -d "$dir/download.XXXXXX")
  trap 'rm -rf "$download" "${pin:-}"' EXIT
  # A mirror caught mid-sync fails now and then, as above: try again.
  local attempt
  for attempt in 1 2 3 4; do
    apt-get "${private[@]}" update -qq &&
      (cd "$download" && apt-get "${private[@]}" source --download-only -qq "$package${version:+=$version}") && break
    [ $attempt -lt 4 ] || { echo "bootstrap: fetching $package's sources failed $attempt times" >&2; exit 1; }
    sleep $(( attempt * 20 ))
  done
  # apt checked the files against the mirror's signed index; dpkg-source applies Debian's patches.
  dpkg-source --no-check -x "$download"/"$package"_*.dsc "$download/source" >/dev/null
  echo "$wanted" >"$download/source/.qpatch-version"
  rm -rf "$dir/source"
  mv "$download/source" "$dir/source"
  rm -rf "$download"
  trap 'rm -f "${pin:-}"' EXIT
  exec 8>&-
}
fetch_source libdivsufsort "$(dpkg-query -W -f='${source:Version}' libdivsufsort-dev)"
# The release's zlib: the host's zlib1g-dev may carry a later Debian revision (a fix outside the
# library), so the version that counts, zlib's own, is compared when the trees are configured.
fetch_source zlib ""
exit 0
