#!/bin/sh
# Makes a Wine prefix for the project: initialised once, with the null graphics
# driver so dialogs work without a display. Idempotent.
set -eu
prefix=$(realpath -m "$1")
if [ -f "$prefix/system.reg" ] && grep -q '"Graphics"="null"' "$prefix/user.reg" 2>/dev/null; then
  exit 0
fi
mkdir -p "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No display is needed or wanted while the prefix is made.
env -u DISPLAY wineboot -i >/dev/null 2>&1 || true
env -u DISPLAY wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
grep -q '"Graphics"="null"' "$prefix/user.reg" || { echo "could not configure the Wine prefix $prefix" >&2; exit 1; }
