#!/usr/bin/env bash
# The npm packages as a developer meets them, with no network:
#
#   npm_test.sh WINE_RUN NPM_DIR VERSION HELLO_APP_FOLDER
#
# Installed offline into an empty folder, the bin, the API (its cases with
# Node's test runner) and the Windows package's veskar-pack.exe pack the
# example alike, and the launcher runs under Wine.
set -euo pipefail
wine_run=$1 npm_dir=$2 version=$3 app=$4
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d -t veskar-npm.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir "$scratch/project"
cd "$scratch/project"
echo '{ "private": true }' > package.json
# A cache of its own: nothing can come from an earlier install.
npm install --offline --no-audit --no-fund --cache "$scratch/cache" \
  "$npm_dir/veskar-onefile-$version.tgz" "$npm_dir/veskar-onefile-linux-x64-$version.tgz" > install.log 2>&1 ||
  fail "the offline install failed: $(cat install.log)"
[ ! -e node_modules/@veskar-onefile/win32-x64 ] || fail "the Windows package was installed on Linux"

npx --offline veskar-pack --help > help.out 2>&1 || fail "npx veskar-pack --help failed: $(cat help.out)"
grep -q '^veskar-pack: build a single-file Windows launcher' help.out || fail "unexpected help: $(head -3 help.out)"
cp -a "$app" app
npx --offline veskar-pack build --quiet --dir app --app-library hello.dll -o bin.exe
node -e "require('veskar-onefile').pack({ dir: 'app', appLibrary: 'hello.dll', output: 'api.exe' })
  .then((r) => console.log(r.output), (e) => { console.error(e.message); process.exit(1); })" > api.out
[ "$(cat api.out)" = "$PWD/api.exe" ] || fail "pack() resolved with $(cat api.out)"
cmp bin.exe api.exe || fail "the bin and the API packed different launchers"
status=0
"$wine_run" api.exe --exit 4 > run.out 2>&1 || status=$?
[ "$status" = 4 ] && grep -qF 'hello: returning 4' run.out || fail "the launcher ran with status $status: $(cat run.out)"

VESKAR_ONEFILE_MODULE="$PWD/node_modules/veskar-onefile" VESKAR_TEST_APP="$PWD/app" \
  node --test "$here/npm_api_test.js"

mkdir windows
tar -xzf "$npm_dir/veskar-onefile-win32-x64-$version.tgz" -C windows
"$wine_run" windows/package/bin/veskar-pack.exe build --quiet --dir app --app-library hello.dll -o windows.exe > windows.out 2>&1 ||
  fail "the Windows package's packer failed: $(cat windows.out)"
cmp bin.exe windows.exe || fail "the Windows package's packer made another launcher"
echo "npm packages: installed offline, packed with the bin, the API and veskar-pack.exe, ran under Wine"
