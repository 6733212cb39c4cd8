#!/bin/sh
# Runs a Windows program under the project's own Wine prefix, with the desktop
# code page of the product's users (932, Japanese). Headless by default (the
# null graphics driver); with PSPC_WINE_GRAPHICS=x11 the windows appear on
# $DISPLAY inside a 1024x768 virtual desktop. CTest uses this as the emulator
# for the win64 build's tests.
here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
graphics="${PSPC_WINE_GRAPHICS:-null}"
if [ "$graphics" = x11 ]; then default_prefix="$here/../build/wineprefix-x11"; else default_prefix="$here/../build/wineprefix"; fi
export WINEPREFIX="${PSPC_WINEPREFIX:-$(realpath -m "$default_prefix")}"
export WINEDEBUG="${WINEDEBUG:--all}"
export LC_ALL="${PSPC_WINE_LOCALE:-ja_JP.UTF-8}"
if ! grep -q "\"Graphics\"=\"$graphics\"" "$WINEPREFIX/user.reg" 2>/dev/null; then
  "$here/make-wineprefix.sh" "$WINEPREFIX" "$graphics" >&2 || exit 1
fi
exec wine "$@"
