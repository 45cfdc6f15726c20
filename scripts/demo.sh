#!/usr/bin/env bash
# The first thing to run: installs what is missing, builds both halves and
# runs the example application (examples/hello) from its single launcher .exe
# under Wine, showing what the application sees and the status it ends with.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
# The host build comes first: the Windows build packs its launchers with the
# packer it makes.
cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset windows >/dev/null
# Only what the demo runs: the launcher kit and the example's launchers.
cmake --build --preset windows --target hello hello-splash

hello_dir="$root/build/windows/examples/hello"
launcher="$hello_dir/hello.exe"
arguments=("two words" "" "naïve ☃" 'a"quote' --exit 7)

# With a splash image built in, show it on a virtual display of our own, with
# a Wine prefix of its own: a prefix's server keeps the display it first had.
xvfb_pid=
display_prefix="$root/build/wineprefix-display"
display_fd_file=
finish() {
  if [ -n "$xvfb_pid" ]; then
    WINEPREFIX="$display_prefix" wineserver -k 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  [ -z "$display_fd_file" ] || rm -f "$display_fd_file"
}
trap finish EXIT

if [ -f "$hello_dir/hello-splash.exe" ] && command -v Xvfb >/dev/null; then
  # Xvfb picks a free display number itself and writes it to the given fd.
  display_fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_fd_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$display_fd_file" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -s "$display_fd_file" ]; then
    export VESKAR_DISPLAY=":$(head -n1 "$display_fd_file")"
    export VESKAR_WINEPREFIX="$display_prefix"
    launcher="$hello_dir/hello-splash.exe"
  else
    echo "demo: no virtual display could be started; running without the splash"
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  fi
fi

printf '\n== Running %s' "${launcher#"$root"/}"
printf ' [%s]' "${arguments[@]}"
printf '\n   (under Wine; a display of its own: %s)\n\n' "${VESKAR_DISPLAY:-none}"
output=$(mktemp)
status=0
cmake/wine-run.sh "$launcher" "${arguments[@]}" | tee "$output" || status=${PIPESTATUS[0]}
printf '\n== The launcher ended with exit status %d (the application chose it with --exit).\n' "$status"
library=$(sed -n 's/^library path = \[\(.*\)\]\r\{0,1\}$/\1/p' "$output")
rm -f "$output"
if [ -n "$library" ]; then
  unpacked=$(cmake/wine-run.sh winepath -u "${library%\\*}" 2>/dev/null || true)
  if [ -n "$unpacked" ] && [ ! -e "$unpacked" ]; then
    printf '   Its unpack directory %s is gone again.\n' "${library%\\*}"
  else
    printf '   Its unpack directory %s is still there.\n' "${library%\\*}"
  fi
fi
