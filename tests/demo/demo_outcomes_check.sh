#!/bin/sh
# The main job's headless run when the program says no, checked: a device of a
# refused version, a store too small for the choice, and Cancel. Each run ends
# with 0 (the program did what it should), prints the program's message in
# readable Japanese, leaves its picture, installs nothing, and says what
# happened in its last line. These runs take the short route (--direct): the
# device listens and rapi.dll dials it.
#   demo_outcomes_check.sh <source folder> <work folder>
set -eu
top=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$top"
pspcemu=build/native/bin/pspcemu

# run NAME EXPECTED-LAST-LINE DEMO-OPTIONS...: runs the demo into $work/NAME.
run() {
  name=$1
  summary=$2
  shift 2
  out="$work/$name"
  log="$out.log"
  status=0
  scripts/demo.sh --skip-build --headless --direct --port 0 --output "$out" "$@" >"$log" 2>&1 || status=$?
  [ $status -eq 0 ] || fail "ended with $status, not 0"
  last=$(tail -n 1 "$log")
  [ "$last" = "demo: $summary" ] || fail "its last line is '$last', not 'demo: $summary'"
  # Only the device tool and its data file: the program installed nothing.
  files=$("$pspcemu" ls "$out/device" '\Windows' | wc -l)
  [ "$files" -eq 2 ] || fail "\\Windows holds $files files, not the 2 of a fresh device"
}
fail() { echo "FAIL ($name): $*"; cat "$log"; exit 1; }

# the program's message: printed as it reads, and pictured
expect_message() {
  grep -qF "$1" "$log" || fail "the message '$1' is not printed"
  picture="$out/pictures/$2.png"
  [ -s "$picture" ] || fail "no picture $picture"
  colours=$(identify -format '%k' "$picture")
  [ "$colours" -gt 2 ] || fail "$picture is blank ($colours colours)"
}

run version-refused "refused: device version 1.30.00 is 1.3 or higher" --version 1.30.00
expect_message 'ﾊﾟｰﾑｻｲｽﾞPCのﾊﾞｰｼﾞｮﾝが正しくありません。' 2-device-refused
[ ! -e "$out/pictures/2-selection-ready.png" ] || fail "the selection became usable for a refused device"

# 1 MiB holds VB or MFC alone (867 and 832 KB with ADO), not both (1,370 KB).
run storage-refused "refused: not enough free storage for MFC and VB (1,370 KB needed, 1,021 KB free); cancelled" \
  --store-bytes 1M
expect_message 'ﾊﾟｰﾑｻｲｽﾞPCのﾃﾞｰﾀ記憶用ﾒﾓﾘが不足しています。' 4-not-enough-storage
grep -q 'pressed Cancel' "$log" || fail "the refused choice was not cancelled"
[ ! -e "$out/pictures/4-transfer.png" ] || fail "a transfer ran"

run cancelled "cancelled" --choose none
how=$(tail -n 2 "$log" | head -n 1)
case "$how" in
  "demo: device PsPC (JPN, version 1.12.00) reached directly on 127.0.0.1:"*" (--direct), no connection manager") ;;
  *) fail "the line before the last is '$how'" ;;
esac
[ -s "$out/pictures/2-selection-ready.png" ] || fail "no picture of the selection before Cancel"
[ ! -e "$out/pictures/3-selection-both-ticked.png" ] || fail "packages were ticked"

echo "the headless main job says no as the program does: a refused version, too little storage, Cancel"
rm -rf "$work"
