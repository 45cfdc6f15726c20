#!/usr/bin/env bash
# End to end past 2 GiB, outside the ordinary suite (it writes about 9 GB and
# takes minutes): packs the example application with 2.25 GiB of
# incompressible data, signs the launcher with a throwaway certificate,
# lists and verifies it, changes one byte of its archive in a copy (the
# signature must then fail), and runs it under Wine, which must unpack
# everything, run the application, return its status and remove its folder.
# Needs both builds (scripts/test.sh makes them).
#
#   scripts/big_launcher_test.sh [WORK_DIR]   (default: build/big-launcher)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/build/big-launcher}
pack=$root/build/stage/bin/veskar-pack
app=$root/build/windows/examples/hello/app
[ -x "$pack" ] && [ -f "$app/hello.dll" ] || { echo "big_launcher_test: build the host and windows presets first" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
fail() { echo "big_launcher_test: FAIL: $*" >&2; exit 1; }
step() { echo "big_launcher_test: $*" >&2; }

cp -r "$app" "$work/app"
mkdir -p "$work/app/assets"
for i in 0 1 2 3 4 5 6 7 8; do
  head -c $((256 << 20)) /dev/zero |
    openssl enc -aes-128-ctr -nosalt -K "$(printf %032x $((i + 1)))" -iv 00000000000000000000000000000000 \
      > "$work/app/assets/pack$i.bin"
done
step "packing $(du -sb "$work/app" | cut -f1) bytes"
"$pack" build --quiet --dir "$work/app" --app-library hello.dll -o "$work/big.exe" --level 1
size=$(stat -c %s "$work/big.exe")
[ "$size" -gt $((2 << 30)) ] || fail "the launcher is only $size bytes"

step "signing a launcher of $size bytes"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Veskar big test" 2> /dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Big" -in "$work/big.exe" \
  -out "$work/signed.exe" > /dev/null
rm "$work/big.exe"
osslsigncode verify -in "$work/signed.exe" -CAfile "$work/cert.pem" | grep -q "Signature verification: ok" ||
  fail "the signature does not verify"

step "listing and verifying"
"$pack" list "$work/signed.exe" | grep -q 'assets\\pack8.bin' || fail "list does not show the last file"
"$pack" verify "$work/signed.exe" > "$work/verify.txt" || fail "verify failed: $(cat "$work/verify.txt")"

step "one byte of the archive changed in a copy"
cp "$work/signed.exe" "$work/changed.exe"
printf '\x55' | dd of="$work/changed.exe" bs=1 seek=$((size / 2)) conv=notrunc status=none
if osslsigncode verify -in "$work/changed.exe" -CAfile "$work/cert.pem" > /dev/null 2>&1; then
  fail "the signature still verifies with a changed byte in the archive"
fi
rm "$work/changed.exe"

step "running it under Wine"
export VESKAR_WINEPREFIX="${VESKAR_WINEPREFIX:-$root/build/wineprefix}"
started=$(date +%s)
set +e
"$root/cmake/wine-run.sh" "$work/signed.exe" --exit 7 > "$work/run.txt" 2>&1
status=$?
set -e
[ "$status" = 7 ] || fail "status $status: $(cat "$work/run.txt")"
grep -q "Hello from hello_greeting.dll" "$work/run.txt" || fail "the application did not run: $(cat "$work/run.txt")"
left=$(find "$VESKAR_WINEPREFIX/drive_c/users" -maxdepth 5 -name 'onefile_*' -newer "$work/signed.exe" 2> /dev/null | head -1)
[ -z "$left" ] || fail "the unpack folder $left was left"
echo "big_launcher_test: all checks passed ($size bytes, signed; ran in $(($(date +%s) - started)) s)"
