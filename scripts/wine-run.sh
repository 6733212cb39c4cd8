#!/bin/sh
# Runs a Windows program under the project's own Wine prefix, headless, with the
# desktop code page of the product's users (932, Japanese). CTest uses this as
# the emulator for the win64 build's tests.
here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
export WINEPREFIX="${PSPC_WINEPREFIX:-$here/../build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export LC_ALL="${PSPC_WINE_LOCALE:-ja_JP.UTF-8}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$here/make-wineprefix.sh" "$WINEPREFIX" >&2 || exit 1
fi
exec wine "$@"
