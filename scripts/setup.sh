#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent: a second run installs nothing and fetches nothing.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
third_party="$here/build/third_party"

packages=(
  cmake ninja-build pkg-config dpkg-dev python3
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb x11-utils imagemagick
  g++ libzstd-dev zstd googletest libcli11-dev libutf8proc-dev libmd-dev
  clang libfuzzer-14-dev
  nsis gnuplot-nox bsdutils time
  osslsigncode strace icoutils openssl python3-pefile
  linux-perf  # profiles of the launcher and of Wine's server for bench/ findings
)

# Node and npm make and test the npm packages: a machine's own Node is kept,
# Debian's is installed where there is none.
command -v npm >/dev/null || packages+=(nodejs npm)
# The Node example's addon is built against Node-API's headers.
[ -f /usr/include/node/node_api.h ] || packages+=(libnode-dev)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done

# apt-get source needs source entries; derive them from the machine's own
# Debian binary entries rather than naming any mirror here.
src_list=/etc/apt/sources.list.d/veskar-debian-src.sources
need_update=0
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -q 'debian-archive-keyring' "$f" || continue
    sed -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' "$f" >> "$tmp"
    printf '\n' >> "$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed -E 's/^deb /deb-src /' > /etc/apt/sources.list.d/veskar-debian-src.list || true
  fi
  [ -s "$tmp" ] && as_root install -m 644 "$tmp" "$src_list"
  rm -f "$tmp"
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ] || [ ! -d "$third_party/zstd" ] || [ ! -d "$third_party/utf8proc" ]; then
  as_root apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Sources built into the launcher and both packers (zstd, utf8proc) come
# from Debian's own source packages: fetch_source SOURCE_PACKAGE FOLDER FILE_THAT_MUST_EXIST
fetch_source() {
  local package=$1 folder=$third_party/$2 check=$3
  [ -f "$folder/$check" ] && return 0
  rm -rf "$folder-fetch"
  mkdir -p "$folder-fetch"
  # Not every mirror serves the sources of every update: take the newest
  # version that can be fetched.
  local fetched=0 v
  for v in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -rV); do
    if (cd "$folder-fetch" && apt-get source -qq --download-only "$package=$v" >/dev/null 2>&1); then
      fetched=1; break
    fi
    rm -f "$folder-fetch"/*
  done
  [ $fetched = 1 ] || { echo "setup: could not fetch the $package source package" >&2; exit 1; }
  (cd "$folder-fetch" && dpkg-source -x --no-check ./*.dsc src >/dev/null)
  rm -rf "$folder"
  mv "$folder-fetch/src" "$folder"
  rm -rf "$folder-fetch"
}
fetch_source libzstd zstd lib/zstd.h
fetch_source utf8proc utf8proc utf8proc.h
echo "setup: ready"
