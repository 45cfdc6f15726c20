#!/usr/bin/env bash
# A launcher whose TEMP is a nearly full disk: a small tmpfs (mounting needs
# root; skipped otherwise). DiskFull.* in launch_tests checks that the
# launcher says the disk is full, ends with status 2 and leaves the disk as
# empty as it found it.
#
#   disk_full_test.sh WINE_RUN LAUNCH_TESTS_EXE
set -euo pipefail
wine_run=$1 tests=$2
disk=$(mktemp -d "${TMPDIR:-/tmp}/veskar-full.XXXXXX")
cleanup() { umount "$disk" 2>/dev/null || true; rm -rf "$disk"; }
trap cleanup EXIT
if [ "$(id -u)" != 0 ] || ! mount -t tmpfs -o size=8m veskar-full "$disk" 2>/dev/null; then
  echo "skipped: mounting a small disk needs root"
  exit 77
fi
# The test program starts the launcher itself (a Windows-side TEMP) and
# checks what it says and leaves.
VESKAR_SMALL_DISK=$("$wine_run" winepath -w "$disk") "$wine_run" "$tests" --gtest_filter='DiskFull.*'
