#!/usr/bin/env bash
# Runs a Windows program under Wine with the build tree's private prefix.
# The prefix is created once (so Wine never reports its creation on a
# program's stderr), has the crash debugger switched off (a crash must end the
# program, not wait on a dialog) and keeps its server running between runs.
set -eu
: "${VESKAR_WINEPREFIX:=$(cd "$(dirname "$0")/.." && pwd)/build/wineprefix}"
export WINEPREFIX="$VESKAR_WINEPREFIX"
export WINEDEBUG=-all
# A prefix's server keeps the display of its first program: display tests use
# a prefix of their own and name their X server in VESKAR_DISPLAY.
if [ -n "${VESKAR_DISPLAY:-}" ]; then export DISPLAY="$VESKAR_DISPLAY"; else unset DISPLAY; fi
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/.veskar-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.veskar-ready" ]; then
      rm -rf "$WINEPREFIX"
      wineboot -i >/dev/null 2>&1
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.veskar-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
wineserver -p 2>/dev/null || true
exec wine "$@"
