#!/usr/bin/env bash
# Runs a Windows program under Wine with the build tree's private prefix.
# The prefix is created once (so Wine never reports its creation on a
# program's stderr), has the crash debugger switched off (a crash must end the
# program, not wait on a dialog) and keeps its server running between runs.
set -eu
: "${VESKAR_WINEPREFIX:=$(cd "$(dirname "$0")/.." && pwd)/build/wineprefix}"
export WINEPREFIX="$VESKAR_WINEPREFIX"
# A test may ask for a trace channel (VESKAR_WINEDEBUG=-all,+file).
export WINEDEBUG="${VESKAR_WINEDEBUG:--all}"
# A prefix's server keeps the display of its first program: display tests use
# a prefix of their own and name their X server in VESKAR_DISPLAY.
if [ -n "${VESKAR_DISPLAY:-}" ]; then export DISPLAY="$VESKAR_DISPLAY"; else unset DISPLAY; fi
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Wine's server and its system services outlive the program that started
# them. They must not inherit the caller's descriptors: a build tool that
# waits for its command's output pipe to close would wait for ever.
detached() {
  (
    for fd in /proc/self/fd/*; do
      fd=${fd##*/}
      [ "$fd" -gt 2 ] 2>/dev/null && eval "exec $fd>&-"
    done
    exec "$@"
  ) </dev/null >/dev/null 2>&1
}
if [ ! -f "$WINEPREFIX/.veskar-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.veskar-ready" ]; then
      rm -rf "$WINEPREFIX"
      detached wineboot -i
      detached wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /t REG_SZ /d '' /f
      wineserver -w
      touch "$WINEPREFIX/.veskar-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# A server that was not running yet is started here, with the services a
# first program brings up, so that neither holds on to our descriptors.
if detached wineserver -p; then
  detached wine cmd.exe /c exit
fi
exec wine "$@"
