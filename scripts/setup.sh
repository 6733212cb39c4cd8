#!/bin/sh
# Installs what the project needs from Debian's packages and makes the
# project's own Wine prefix. Safe to run again: it installs only what is missing.
# --packages-only leaves the prefix to the caller (the test command makes it
# while it builds).
set -eu
cd "$(dirname "$0")/.."

# clang and libclang-rt-14-dev (libFuzzer's runtime) build the requests fuzzer;
# cppcheck and clang-tidy are the static checks; socat relays the emulator's
# console socket to the Windows tests under Wine (tests/windows/with-emulator.sh)
# and makes the pseudo-terminal pair of the serial cable's tests; ppp (pppd and
# chat) carries the serial cable (tools/commands/pspc-attach); groff-base renders
# the manual pages in their test.
packages="cmake ninja-build g++ googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 xvfb xauth x11-utils imagemagick fonts-ipafont-gothic fonts-wine procps socat ppp groff-base
  clang libclang-rt-14-dev cppcheck clang-tidy"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then sudo=sudo; else
      echo "setup: these packages are missing and installing them needs root:$missing" >&2
      exit 1
    fi
  else
    sudo=""
  fi
  echo "setup: installing$missing"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

[ "${1:-}" = --packages-only ] || scripts/make-wineprefix.sh build/wineprefix
