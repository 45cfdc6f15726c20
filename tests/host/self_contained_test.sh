#!/usr/bin/env bash
# The Linux packer needs nothing but the C library:
#
#   self_contained_test.sh PACKER KIT
#
# ldd names only the C library's files, and inside a root that holds those
# files, the packer and the kit and nothing else (no /proc, no /tmp), entered
# with chroot, it packs a launcher identical to the one packed outside.
# Exits 77 (skipped) without the kit or where chroot is not allowed.
set -euo pipefail
packer=$1 kit=$2
[ -f "$kit/veskar-launcher-console.exe" ] || { echo "skipped: no launcher kit in $kit (build the windows preset)"; exit 77; }

libraries=$(ldd "$packer" | awk '$1 != "linux-vdso.so.1" { print ($3 ~ /^\// ? $3 : $1) }')
for library in $libraries; do
  case "$(basename "$library")" in
    libc.so.* | ld-linux-x86-64.so.* | libm.so.* | libpthread.so.* | libdl.so.* | librt.so.*) ;;
    *) echo "FAIL: veskar-pack needs $library, which is not the C library's"; exit 1 ;;
  esac
done

root=$(mktemp -d -t veskar-root.XXXXXX)
trap 'rm -rf "$root"' EXIT
for library in $libraries; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
mkdir -p "$root/bin" "$root/kit" "$root/app/data"
cp "$packer" "$root/bin/veskar-pack"
cp "$kit"/* "$root/kit/"
# A program entry needs only to be a Windows program: the kit's launcher is one.
cp "$kit/veskar-launcher-console.exe" "$root/app/tool.exe"
printf 'naïve ☃\n' > "$root/app/data/notes.txt"

arguments=(--kit /kit build --quiet --dir /app --app-exe tool.exe --app-arg '{APP_DIR}\data\notes.txt')
chroot / true 2>/dev/null || { echo "skipped: chroot is not allowed here"; exit 77; }
chroot "$root" /bin/veskar-pack "${arguments[@]}" -o /inside.exe
# verify needs no kit: it runs without /proc, where the packer cannot find itself.
verdict=$(chroot "$root" /bin/veskar-pack verify /inside.exe | head -n1)
[ "$verdict" = "'/inside.exe': attached data intact: 2 records, $(cat "$root/app/tool.exe" "$root/app/data/notes.txt" | wc -c) bytes of files, checksum correct" ] ||
  { echo "FAIL: verify inside the root said: $verdict"; exit 1; }
(cd "$root" && "$packer" --kit kit build --quiet --dir app --app-exe tool.exe --app-arg '{APP_DIR}\data\notes.txt' -o outside.exe)
cmp "$root/inside.exe" "$root/outside.exe" || { echo "FAIL: the packer in the bare root made another launcher"; exit 1; }
echo "self-contained packer: needs only $(echo $libraries | xargs -n1 basename | tr '\n' ' ')and packs in a bare root"
