#!/bin/sh
# The main job: installs what is missing, builds, and runs the setup program
# under Wine (code page 932) against an emulated PsPC, with the sample runtime
# packages, to whatever end the program comes to: the reset notice after an
# install, or the message of a refusal.
#
# The device takes the real route: the desktop's connection manager (pspclink)
# listens, the emulated device calls it in from an address of its own as a
# PsPC on its cable does, and setup.exe's rapi.dll asks the manager for the
# device and opens RAPI to it. --direct takes the short route instead: rapi.dll
# dials the emulator's RAPI port (PSPC_RAPI_ENDPOINT), no manager.
#
#   scripts/demo.sh [options]
#
#   --language JPN|ENG   device language (default JPN)
#   --version V          device version text (default 1.12.00)
#   --store-bytes N      device store capacity, K and M suffixes (default 8M)
#   --link RATE          serial (115200 baud, a PsPC's cradle), usb (the speed of
#                        USB 1.1, for trying rates) or unlimited (default), to
#                        watch the transfer at a real link's speed
#   --choose WHAT        the packages the headless run ticks: mfc, vb, both (default)
#                        or none (it presses Cancel); with a display you choose
#   --packages DIR       a package folder of your own (with English\ or Japanese\,
#                        each holding MFC\, VB\, ADO\) instead of the samples
#   --direct             no connection manager: rapi.dll dials the device's RAPI port
#   --port N             with --direct: the device's RAPI port (default 990; 0: any free
#                        port); a device that calls in serves RAPI on 990, as a PsPC does
#   --address A          the calling device's own address (default: the first of
#                        127.0.0.2, 127.0.0.3, ... whose port 990 is free)
#   --image DIR          the device image (default <output>/device, made afresh)
#   --reuse-image        serve an existing --image as it is instead of refusing it
#   --output DIR         where the run, the pictures and the device go (default build/demo)
#   --headless           no display even when there is one: pictures instead
#   --keep               leave the device attached afterwards (and the manager running,
#                        so that `pspclink status` shows the device)
#   --skip-build         use what is built (for tests of this script)
#
# With a display ($DISPLAY reachable) the dialogs appear on it, to click
# through. Without one the run is headless under Xvfb: it follows whatever
# the program shows and answers as a person would. Every dialog state and
# every message is pictured in <output>/pictures, each message's caption and
# text printed. A refused device ends the run with its message; a choice
# that does not fit the free storage is shown, then cancelled.
#
# The line before the last says which device attached and how; the last line
# says what happened: "demo: installed MFC and VB (12 files),
# reset notice shown", "demo: refused: device version 1.30.00 is 1.3 or
# higher", "demo: cancelled", ... The exit status is 0 when the program was
# followed to an end of its own choosing (a refusal is one: the program did
# what it should), and not 0 when the run failed (the line says why).
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

language=JPN
version=1.12.00
store=8M
link=unlimited
choose=both
packages=
port=990
port_given=0
direct=0
address=
image=
reuse=0
out=build/demo
headless=0
keep=0
build=1

usage() { sed -n '2,/^[^#]/ s/^# \{0,1\}//p' "$0"; }
die() { echo "demo: $*" >&2; exit 1; }
need_value() { [ $# -ge 2 ] || die "$1 needs a value (see --help)"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --language) need_value "$@"; language=$2; shift 2 ;;
    --version) need_value "$@"; version=$2; shift 2 ;;
    --store-bytes) need_value "$@"; store=$2; shift 2 ;;
    --link) need_value "$@"; link=$2; shift 2 ;;
    --choose) need_value "$@"; choose=$2; shift 2 ;;
    --packages) need_value "$@"; packages=$2; shift 2 ;;
    --port) need_value "$@"; port=$2; port_given=1; shift 2 ;;
    --direct) direct=1; shift ;;
    --address) need_value "$@"; address=$2; shift 2 ;;
    --image) need_value "$@"; image=$2; shift 2 ;;
    --reuse-image) reuse=1; shift ;;
    --output) need_value "$@"; out=$2; shift 2 ;;
    --headless) headless=1; shift ;;
    --keep) keep=1; shift ;;
    --skip-build) build=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) die "unknown option $1 (see --help)" ;;
  esac
done
case "$language" in JPN) folder=Japanese ;; ENG) folder=English ;;
  *) die "--language must be JPN or ENG (the setup program refuses other devices)" ;; esac
case "$link" in serial|usb|unlimited) ;; *) die "--link must be serial, usb or unlimited" ;; esac
case "$choose" in mfc|vb|both|none) ;; *) die "--choose must be mfc, vb, both or none" ;; esac
if [ $direct -eq 0 ] && [ $port_given -eq 1 ]; then
  die "--port is for --direct: a device that calls the manager in serves RAPI on port 990, as a PsPC does"
fi
if [ $direct -eq 1 ] && [ -n "$address" ]; then
  die "--address is for a device that calls in; with --direct the device listens on 127.0.0.1"
fi

if [ $build -eq 1 ]; then
  scripts/setup.sh
  echo "== building"
  cmake --preset native >/dev/null
  cmake --build --preset native --target pspcemu pspclink setup-headless sample-packages >/dev/null
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target setup rapi_dll uidriver >/dev/null
fi
command -v wine >/dev/null 2>&1 ||
  die "Wine is not installed. Run scripts/setup.sh as root: it installs Debian's wine and wine64."
pspcemu=build/native/bin/pspcemu
pspclink=build/native/bin/pspclink
for program in "$pspcemu" "$pspclink" build/native/bin/setup-headless build/win64/bin/setup.exe build/win64/bin/rapi.dll \
               build/win64/bin/uidriver.exe; do
  [ -e "$program" ] || die "$program is missing: build first (run this script without --skip-build)"
done

# ---- the packages
if [ -z "$packages" ]; then
  packages=build/native/samples
  [ -d "$packages/$folder" ] || die "the sample packages are missing: build first"
else
  [ -d "$packages" ] || die "no package folder $packages"
  if [ ! -d "$packages/$folder" ]; then
    die "$packages has no $folder folder. A device of language $language is given the packages of
      $packages/$folder/MFC, $packages/$folder/VB and $packages/$folder/ADO.
      Make that folder, or choose the other language with --language."
  fi
  for group in MFC VB ADO; do
    [ -d "$packages/$folder/$group" ] || echo "demo: note: $packages/$folder/$group is missing; that package installs nothing"
  done
fi

# ---- the run folder: the program, the stand-in rapi.dll and the packages side by side
mkdir -p "$out"
run="$out/run"
rm -rf "$run"
mkdir -p "$run"
cp build/win64/bin/setup.exe build/win64/bin/rapi.dll "$run/"
for lang in English Japanese; do [ -d "$packages/$lang" ] && cp -r "$packages/$lang" "$run/"; done

# ---- the device
if [ -z "$image" ]; then
  image="$out/device"
  own_image=1
else
  own_image=0
fi
if [ -S "$image/console.sock" ]; then
  # An earlier run left this device attached (--keep): detach it first. A
  # socket left by an emulator that was killed is replaced by the next one.
  "$pspcemu" console "$image" quit >/dev/null 2>&1 || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -S "$image/console.sock" ] || break; sleep 0.2; done
  rm -f "$image/link.port"
fi
if [ -e "$image" ] && [ $own_image -eq 0 ] && [ $reuse -eq 0 ]; then
  die "$image is in the way: it already exists. Add --reuse-image to serve that device as it is,
      or choose another --image folder (or leave --image out: the demo then makes its own)."
fi
if [ $reuse -eq 0 ] || [ ! -e "$image" ]; then
  "$pspcemu" init "$image" --force --language "$language" --version "$version" --store-bytes "$store" >/dev/null
fi
# The device as it is (a reused image keeps its own identity).
"$pspcemu" status "$image" >"$out/status.txt"
free_before=$(sed -n 's/^store .* bytes, \([0-9]*\) free.*/\1/p' "$out/status.txt")
device_version=$(sed -n 's/^version  *//p' "$out/status.txt")
device_language=$(sed -n 's/^language  *//p' "$out/status.txt")

server=
manager=
stop_server() {
  [ -n "$server" ] || return 0
  kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true
}
stop_all() {
  stop_server
  [ -n "$manager" ] || return 0
  kill "$manager" 2>/dev/null || true; wait "$manager" 2>/dev/null || true
}
# serve ARGS...: attaches the device with these serve options; whether it
# listened (its output in serve.log).
serve() {
  rm -f "$image/link.port"
  "$pspcemu" serve "$image" --link "$link" "$@" >"$out/serve.log" 2>&1 &
  server=$!
  for _ in $(seq 1 100); do
    [ -s "$image/link.port" ] && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  stop_server
  return 1
}
[ $keep -eq 1 ] || trap stop_all EXIT
device_name=$(sed -n 's/^device  *//p' "$out/status.txt")

if [ $direct -eq 1 ]; then
  if ! serve --port "$port"; then
    cat "$out/serve.log" >&2
    die "the emulated device could not attach. If the port is busy, choose another with --port N (or --port 0)."
  fi
  link_port=$(cat "$image/link.port")
  export PSPC_RAPI_ENDPOINT="127.0.0.1:$link_port"
  attached="device ${device_name:-PsPC} ($device_language, version $device_version) reached directly on $PSPC_RAPI_ENDPOINT (--direct), no connection manager"
  echo "== an emulated PsPC ($device_language, version $device_version) is attached on $PSPC_RAPI_ENDPOINT, link $link"
else
  # The desktop's connection manager, with a channel folder of this run's
  # own: a manager the user runs for a real device is left alone. A manager
  # an earlier run left running (--keep) is stopped first.
  channel=$(realpath -m "$out/link")
  if [ -s "$out/pspclink.pid" ]; then
    earlier=$(cat "$out/pspclink.pid")
    if grep -q pspclink "/proc/$earlier/cmdline" 2>/dev/null; then
      kill "$earlier" 2>/dev/null || true
      for _ in $(seq 1 50); do kill -0 "$earlier" 2>/dev/null || break; sleep 0.1; done
    fi
  fi
  rm -f "$channel/call.port" "$channel/channel" "$out/pspclink.pid"
  unset PSPC_RAPI_ENDPOINT
  export PSPCLINK_DIR="$channel"
  "$pspclink" serve --listen 127.0.0.1:0 >"$out/pspclink.out" 2>&1 &
  manager=$!
  echo "$manager" >"$out/pspclink.pid"
  for _ in $(seq 1 100); do
    [ -s "$channel/call.port" ] && [ -s "$channel/channel" ] && break
    kill -0 "$manager" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$channel/channel" ]; then
    cat "$out/pspclink.out" >&2
    die "the connection manager did not start (its output above)"
  fi
  manager_port=$(cat "$channel/call.port")
  # The device serves RAPI on port 990 of its own address, as a PsPC on its
  # cable does; on loopback each device takes an address of its own.
  if [ -n "$address" ]; then
    candidates=$address
  else
    candidates=$(seq -f '127.0.0.%g' 2 40)
  fi
  called=no
  for candidate in $candidates; do
    if serve --call "127.0.0.1:$manager_port" --address "$candidate"; then
      address=$candidate called=yes
      break
    fi
    [ -z "${address:-}" ] && grep -q 'uses this port' "$out/serve.log" && continue
    break
  done
  if [ $called = no ]; then
    cat "$out/serve.log" >&2
    die "the emulated device could not attach (its output above). Try --direct, which needs no port below 1024."
  fi
  # The manager names the device once it has introduced itself.
  for _ in $(seq 1 100); do
    "$pspclink" status >"$out/pspclink-status.txt" 2>&1 && grep -q '^device:' "$out/pspclink-status.txt" && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q '^device:' "$out/pspclink-status.txt"; then
    cat "$out/serve.log" "$channel/pspclink.log" >&2
    die "the emulated device called, but the connection manager does not show it (the logs above)"
  fi
  field() { sed -n "s/^$1: *//p" "$out/pspclink-status.txt"; }
  attached="device $(field device) ($(field platform), Windows CE $(field 'OS version' | cut -d' ' -f1), $device_language, version $device_version) called in to pspclink from $(field address); rapi.dll found it through the manager"
  echo "== an emulated PsPC ($device_language, version $device_version) called in to the connection manager pspclink"
  echo "   from $address, link $link; the manager as setup.exe's rapi.dll sees it:"
  sed 's/^/     /' "$out/pspclink-status.txt"
  echo "   manager log: $channel/pspclink.log"
fi
echo "   device image: $image; packages: $packages/$folder"

# ---- the run
display_ok=0
if [ $headless -eq 0 ] && [ -n "${DISPLAY:-}" ] && command -v xdpyinfo >/dev/null 2>&1 &&
   xdpyinfo >/dev/null 2>&1; then
  display_ok=1
fi
status=0
summary="$out/summary.txt"
rm -f "$summary"
if [ $display_ok -eq 1 ]; then
  echo "== setup.exe is on your display ($DISPLAY): choose the packages and follow it to the end"
  [ "$choose" = both ] || echo "demo: note: --choose is for the headless run (--headless); here you choose"
  (cd "$run" && PSPC_WINE_GRAPHICS=x11 "$top/scripts/wine-run.sh" setup.exe) || status=$?
  echo "setup.exe ended with exit code $status on your display; the device as it now is: above" >"$summary"
else
  pictures="$out/pictures"
  rm -rf "$pictures"
  mkdir -p "$pictures"
  # Xvfb takes the first display number it can listen on and names it once
  # it is ready: no guess from lock files, which another machine's view of
  # /tmp (a container, a chroot) may not show.
  rm -f "$out/xvfb.display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$out/xvfb.display" >"$out/xvfb.log" 2>&1 &
  xvfb=$!
  for _ in $(seq 1 100); do
    [ -s "$out/xvfb.display" ] && break
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.1
  done
  screen=$(head -n 1 "$out/xvfb.display" 2>/dev/null || true)
  case "$screen" in
    '' | *[!0-9]*) cat "$out/xvfb.log" >&2; die "the virtual screen (Xvfb) did not start (its output above)" ;;
  esac
  case "$choose" in
    none) chosen="Cancel is pressed in the selection" ;;
    both) chosen="both packages are chosen" ;;
    *) chosen="$(echo "$choose" | tr a-z A-Z) is chosen" ;;
  esac
  echo "== no display: setup.exe runs headless on a virtual screen (:$screen); $chosen"
  # Wine's own services start now, detached from this script's output, and
  # are ended with the virtual screen.
  x11prefix="$top/build/wineprefix-x11"
  DISPLAY=":$screen" PSPC_WINE_GRAPHICS=x11 scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1 || true
  slow=--slow-copy
  [ "$link" = unlimited ] || slow=
  build/native/bin/setup-headless --run-folder "$(realpath "$run")" --display ":$screen" \
    --image "$(realpath "$image")" --output "$(realpath "$pictures")" --runner "$top/scripts/wine-run.sh" \
    --uidriver "$top/build/win64/bin/uidriver.exe" ${PSPC_RAPI_ENDPOINT:+--endpoint "$PSPC_RAPI_ENDPOINT"} --choose "$choose" \
    --device-version "$device_version" --device-language "$device_language" --summary "$summary" \
    $slow || status=$?
  WINEPREFIX="$x11prefix" wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true
  echo "   pictures of every dialog state and message: $pictures"
fi

# ---- what happened on the device
free_after=$("$pspcemu" status "$image" | sed -n 's/^store .* bytes, \([0-9]*\) free.*/\1/p')
echo
echo "== the device now"
echo "-- files in \\Windows"
"$pspcemu" ls "$image" '\Windows'
echo "-- registry values the setup wrote"
"$pspcemu" reg "$image"
echo "-- free storage: $free_before bytes before, $free_after bytes after"
echo "-- every call the setup made on the link: $image/oplog.jsonl (readable: $pspcemu log $image)"
if [ $keep -eq 1 ]; then
  echo
  if [ $direct -eq 1 ]; then
    echo "The device stays attached on $PSPC_RAPI_ENDPOINT. Stop it with: $pspcemu console $image quit"
  else
    echo "The device stays attached, called in to the connection manager. See it with:"
    echo "  PSPCLINK_DIR=$channel $pspclink status"
    echo "Stop both with: $pspcemu console $image quit; kill $manager"
  fi
fi
echo
echo "demo: $attached"
if [ -s "$summary" ]; then
  echo "demo: $(cat "$summary")"
else
  echo "demo: failed: setup-headless ended with status $status without saying what happened (see above)"
fi
exit $status
