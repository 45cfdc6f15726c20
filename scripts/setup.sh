#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent: a second run installs nothing and fetches nothing.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
third_party="$here/build/third_party"

packages=(
  cmake ninja-build pkg-config dpkg-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb x11-utils imagemagick
  g++ libzstd-dev zstd googletest libcli11-dev
  nsis gnuplot-nox bsdutils time
)

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

if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ] || [ ! -d "$third_party/zstd" ]; then
  as_root apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# zstd's decoder for the Windows side is built from Debian's own source package.
if [ ! -f "$third_party/zstd/lib/zstd.h" ]; then
  rm -rf "$third_party/zstd-fetch"
  mkdir -p "$third_party/zstd-fetch"
  # Not every mirror serves the sources of every update: take the newest
  # version that can be fetched.
  fetched=0
  for v in $(apt-cache showsrc libzstd | sed -n 's/^Version: //p' | sort -rV); do
    if (cd "$third_party/zstd-fetch" && apt-get source -qq --download-only "libzstd=$v" >/dev/null 2>&1); then
      fetched=1; break
    fi
    rm -f "$third_party/zstd-fetch"/*
  done
  [ $fetched = 1 ] || { echo "setup: could not fetch the libzstd source package" >&2; exit 1; }
  (cd "$third_party/zstd-fetch" && dpkg-source -x --no-check ./*.dsc src >/dev/null)
  rm -rf "$third_party/zstd"
  mv "$third_party/zstd-fetch/src" "$third_party/zstd"
  rm -rf "$third_party/zstd-fetch"
fi
echo "setup: ready"
