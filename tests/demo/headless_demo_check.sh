#!/bin/sh
# The main job's headless run, checked: the emulated device calls in to the
# connection manager and setup.exe finds it there; the run ends with 0, leaves
# a picture of every dialog state (none of them a plain fill), prints the reset
# notice as it reads, says which device attached and how and, in its last line,
# what it installed, and the device holds the twelve sample files byte for byte
# and the values of both registration tables. Kept attached (--keep), the
# device is what `pspclink status` shows until it is stopped.
#   headless_demo_check.sh <source folder> <work folder>
set -eu
top=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$top"
pspcemu=build/native/bin/pspcemu

pspclink=build/native/bin/pspclink
image="$work/device"
stop_kept() {
  "$pspcemu" console "$image" quit >/dev/null 2>&1 || true
  [ ! -s "$work/pspclink.pid" ] || kill "$(cat "$work/pspclink.pid")" 2>/dev/null || true
}
trap stop_kept EXIT
if ! scripts/demo.sh --skip-build --headless --keep --output "$work" >"$work/demo.log" 2>&1; then
  cat "$work/demo.log"
  echo "FAIL: the main job did not end with 0"
  exit 1
fi
fail() { echo "FAIL: $*"; cat "$work/demo.log"; exit 1; }

how=$(tail -n 2 "$work/demo.log" | head -n 1)
case "$how" in
  "demo: device PsPC (Palm PC, Windows CE 2.11, JPN, version 1.12.00) called in to pspclink from 127.0.0."*"; rapi.dll found it through the manager") ;;
  *) fail "the line before the last is '$how'" ;;
esac
PSPCLINK_DIR="$work/link" "$pspclink" status >"$work/status.txt" 2>&1 || fail "pspclink status failed: $(cat "$work/status.txt")"
grep -q '^device: *PsPC$' "$work/status.txt" || fail "pspclink status of the kept run does not show the device: $(cat "$work/status.txt")"
grep -q 'attached: PsPC at 127\.0\.0\.' "$work/link/pspclink.log" || fail "the manager's log has no attach"
stop_kept

for picture in 1-selection-probing 2-selection-ready 3-selection-both-ticked 4-transfer 5-reset-notice; do
  file="$work/pictures/$picture.png"
  [ -s "$file" ] || fail "no picture $file"
  colours=$(identify -format '%k' "$file")
  [ "$colours" -gt 2 ] || fail "$file is blank ($colours colours)"
done

grep -qF '操作を続行するためにﾊﾟｰﾑｻｲｽﾞPCのﾘｾｯﾄﾎﾞﾀﾝを押してください。' "$work/demo.log" || fail "the reset notice is not printed"
last=$(tail -n 1 "$work/demo.log")
[ "$last" = "demo: installed MFC and VB (12 files), reset notice shown" ] || fail "its last line is '$last'"

count=0
for group in MFC VB ADO; do
  for sample in build/native/samples/Japanese/$group/*; do
    name=$(basename "$sample")
    "$pspcemu" cat "$image" "\\Windows\\$name" >"$work/copy" || fail "\\Windows\\$name is not on the device"
    cmp -s "$work/copy" "$sample" || fail "\\Windows\\$name differs from $sample"
    count=$((count + 1))
  done
done
[ $count -eq 12 ] || fail "expected 12 sample files, checked $count"

"$pspcemu" reg "$image" >"$work/registry.txt"
values=$(grep -c '=REG_SZ:' "$work/registry.txt" || true)
[ "$values" -eq 40 ] || fail "expected the 40 values of both registration tables, found $values"
for line in '"ROMversion"=REG_SZ:"8200" (10 bytes)' '@=REG_SZ:"VBCE.ProjectRun" (32 bytes)' \
            '"InprocServer32"=REG_SZ:"adoce.dll" (20 bytes)' '@=REG_SZ:"" (2 bytes)'; do
  grep -qF "$line" "$work/registry.txt" || fail "the registry lacks $line"
done
grep -q 'free storage: [0-9]* bytes before, [0-9]* bytes after' "$work/demo.log" || fail "no storage summary"
echo "the headless main job: 5 pictures, 12 files byte for byte, 40 registry values"
rm -rf "$work"
