#!/bin/sh
# Makes a Wine prefix for the project, initialised once. Idempotent.
#   make-wineprefix.sh PREFIX [null|x11]
# null (the default): no display at all; dialogs and message boxes still work,
#   as the tests need. x11: real windows on $DISPLAY, inside a 1024x768 Wine
#   virtual desktop, so that captions are drawn where no window manager runs.
set -eu
prefix=$(realpath -m "$1")
driver=${2:-null}
case "$driver" in null|x11) ;; *) echo "make-wineprefix: driver must be null or x11" >&2; exit 2 ;; esac

# Wine draws the caption buttons (the close box) with glyphs of its Marlett
# font, from Debian's fonts-wine; this Wine does not find the font where the
# package puts it, only in the prefix's own Fonts folder. Without it every
# close box shows the letter "r".
install_marlett() {
  fonts="$prefix/drive_c/windows/Fonts"
  if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ -d "$fonts" ] && [ ! -f "$fonts/marlett.ttf" ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
  fi
}

if [ -f "$prefix/system.reg" ] && grep -q "\"Graphics\"=\"$driver\"" "$prefix/user.reg" 2>/dev/null; then
  install_marlett
  exit 0
fi
mkdir -p "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No display is needed or wanted while the prefix is made.
env -u DISPLAY wineboot -i >/dev/null 2>&1 || true
env -u DISPLAY wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$driver" /f >/dev/null 2>&1
if [ "$driver" = x11 ]; then
  env -u DISPLAY wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  env -u DISPLAY wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
fi
wineserver -w
install_marlett
grep -q "\"Graphics\"=\"$driver\"" "$prefix/user.reg" || { echo "could not configure the Wine prefix $prefix" >&2; exit 1; }
