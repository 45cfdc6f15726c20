#!/usr/bin/env bash
# The release archives as users unpack them:
#
#   release_archives_test.sh WINE_RUN WINDOWS_BUILD STAGE HELLO_APP_FOLDER
#
# The Windows zip is one folder holding veskar-pack.exe (needing no DLL
# beyond Windows' own), the kit and the CMake package; its veskar-pack.exe,
# run under Wine from the unpacked folder with no options pointing anywhere,
# packs the example and the launcher runs. The Linux tar.gz holds the Linux
# packer with the same kit; it packs the same launcher byte for byte.
set -euo pipefail
wine_run=$1 windows_build=$2 stage=$3 app=$4
[ -f "$stage/host-build.txt" ] || { echo "no host build recorded in $stage: build the host preset first"; exit 1; }
host_build=$(head -n1 "$stage/host-build.txt")
scratch=$(mktemp -d -t veskar-release.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

kit_files=(lib/veskar-onefile/veskar-launcher.exe lib/veskar-onefile/veskar-launcher-console.exe
           lib/veskar-onefile/launcher.manifest lib/veskar-onefile/veskar.ico
           lib/cmake/VeskarOnefile/VeskarOnefileConfig.cmake lib/cmake/VeskarOnefile/VeskarOnefileFunctions.cmake)

# unpack <build> <archive pattern> <folder>: runs cpack there and unpacks the one archive it makes.
unpack() {
  (cd "$1" && cpack -B "$scratch/$3-archive" > "$scratch/$3-cpack.log" 2>&1) ||
    { echo "cpack failed in $1:"; cat "$scratch/$3-cpack.log"; exit 1; }
  local archives=("$scratch/$3-archive"/$2)
  [ -f "${archives[0]}" ] || { echo "cpack made no $2"; exit 1; }
  mkdir -p "$scratch/$3" && (cd "$scratch/$3" && cmake -E tar xf "${archives[0]}")
  local top=("$scratch/$3"/*)
  [ "${#top[@]}" = 1 ] && [ -d "${top[0]}" ] || fail "$2 does not unpack into one folder"
  unpacked=${top[0]}
}

unpack "$windows_build" 'VeskarOnefile-*-windows-x64.zip' windows
windows=$unpacked
for file in bin/veskar-pack.exe "${kit_files[@]}"; do
  [ -f "$windows/$file" ] || fail "the zip lacks $file"
done
[ ! -e "$windows/bin/veskar-pack" ] || fail "the zip holds the Linux packer"
imports=$(x86_64-w64-mingw32-objdump -p "$windows/bin/veskar-pack.exe" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
for dll in $imports; do
  case "$dll" in
    kernel32.dll | msvcrt.dll | shell32.dll | user32.dll | advapi32.dll | bcrypt.dll) ;;
    *) fail "veskar-pack.exe needs $dll, which Windows does not have" ;;
  esac
done

cp -a "$app" "$scratch/app"
cd "$scratch"
if ! "$wine_run" "$windows/bin/veskar-pack.exe" build --quiet --dir app --app-library hello.dll -o hello.exe > build.out 2>&1; then
  fail "the unpacked veskar-pack.exe could not pack: $(cat build.out)"
fi
status=0
"$wine_run" hello.exe --exit 4 > run.out 2>&1 || status=$?
[ "$status" = 4 ] && grep -qF 'hello: returning 4' run.out || fail "the launcher ran with status $status: $(cat run.out)"

unpack "$host_build" 'VeskarOnefile-*-linux-x86_64.tar.gz' linux
linux=$unpacked
for file in bin/veskar-pack "${kit_files[@]}"; do
  [ -f "$linux/$file" ] || fail "the tar.gz lacks $file"
done
[ ! -e "$linux/bin/veskar-pack.exe" ] || fail "the tar.gz holds the Windows packer"
"$linux/bin/veskar-pack" build --quiet --dir app --app-library hello.dll -o hello-linux.exe
cmp hello.exe hello-linux.exe > /dev/null || fail "the two archives' packers made different launchers"

[ "$failures" = 0 ] && echo "release archives: all checks passed"
exit $((failures > 0))
