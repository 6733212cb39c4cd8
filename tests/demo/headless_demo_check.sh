#!/bin/sh
# The main job's headless run, checked: it ends with 0, leaves a picture of
# every dialog state (none of them a plain fill), prints the reset notice as it
# reads, says in its last line what it installed, and the device holds the
# twelve sample files byte for byte and the values of both registration tables.
#   headless_demo_check.sh <source folder> <work folder>
set -eu
top=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$top"
pspcemu=build/native/bin/pspcemu

if ! scripts/demo.sh --skip-build --headless --port 0 --output "$work" >"$work/demo.log" 2>&1; then
  cat "$work/demo.log"
  echo "FAIL: the main job did not end with 0"
  exit 1
fi
fail() { echo "FAIL: $*"; cat "$work/demo.log"; exit 1; }

for picture in 1-selection-probing 2-selection-ready 3-selection-both-ticked 4-transfer 5-reset-notice; do
  file="$work/pictures/$picture.png"
  [ -s "$file" ] || fail "no picture $file"
  colours=$(identify -format '%k' "$file")
  [ "$colours" -gt 2 ] || fail "$file is blank ($colours colours)"
done

grep -qF '操作を続行するためにﾊﾟｰﾑｻｲｽﾞPCのﾘｾｯﾄﾎﾞﾀﾝを押してください。' "$work/demo.log" || fail "the reset notice is not printed"
last=$(tail -n 1 "$work/demo.log")
[ "$last" = "demo: installed MFC and VB (12 files), reset notice shown" ] || fail "its last line is '$last'"

image="$work/device"
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
