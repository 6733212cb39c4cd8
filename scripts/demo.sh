#!/bin/sh
# The main job: puts an emulated PsPC on the desktop's RAPI link and shows
# what a desktop program does to it through rapi.dll.
#
#   scripts/demo.sh [--keep] [--language JPN|ENG] [--version X.YY.ZZ] [--store-bytes N]
#
#   --keep   leave the device attached (serving) afterwards; stop it with
#            build/native/bin/pspcemu control build/demo/device quit
set -eu
cd "$(dirname "$0")/.."

keep=0
language=JPN
version=1.12.00
store=8M
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) keep=1; shift ;;
    --language) language=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --store-bytes) store=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

scripts/setup.sh
echo "== building"
cmake --preset native >/dev/null && cmake --build --preset native --target pspcemu >/dev/null
cmake --preset win64 >/dev/null && cmake --build --preset win64 >/dev/null

pspcemu=build/native/bin/pspcemu
out=build/demo
image=$out/device
mkdir -p "$out"
# A running demo device from an earlier --keep run gives up its image first.
if [ -f "$image/control.port" ]; then "$pspcemu" control "$image" quit >/dev/null 2>&1 || true; sleep 0.5; fi
"$pspcemu" init "$image" --force --language "$language" --version "$version" --store-bytes "$store"

"$pspcemu" serve "$image" --port 0 >"$out/serve.log" 2>&1 &
server=$!
for _ in $(seq 1 100); do [ -s "$image/link.port" ] && break; sleep 0.1; done
[ -s "$image/link.port" ] || { cat "$out/serve.log" >&2; exit 1; }
if [ $keep -eq 0 ]; then trap 'kill $server 2>/dev/null; wait $server 2>/dev/null' EXIT; fi
export PSPC_RAPI_ENDPOINT="127.0.0.1:$(cat "$image/link.port")"
# Wine's own services start now, detached from this script's output.
scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1

echo
echo "== the device, attached on $PSPC_RAPI_ENDPOINT"
"$pspcemu" status "$image"

echo
echo "== a desktop program (cetool.exe, under Wine) copies a file and writes a registry value through rapi.dll"
scripts/wine-run.sh build/win64/bin/cetool.exe put README.md '\My Documents\README.txt'
scripts/wine-run.sh build/win64/bin/cetool.exe regset HKLM 'Software\PsPC Demo' Greeting 'Hello from the desktop'

echo
echo "== what the device holds now"
"$pspcemu" ls "$image" '\' -R
"$pspcemu" reg "$image" | grep -A1 'PsPC Demo'
echo
echo "== the op log (every call the desktop made), last 8 records of $image/oplog.jsonl"
"$pspcemu" log "$image" --tail 8

if [ $keep -eq 1 ]; then
  echo
  echo "The device stays attached on $PSPC_RAPI_ENDPOINT (emulator pid $server)."
  echo "Stop it with: $pspcemu control $image quit"
fi
