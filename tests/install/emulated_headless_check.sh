#!/bin/sh
# The installed pspc-setup, run by an ordinary user from a folder of theirs,
# installs the sample packages on an emulated device that called in to the
# installed pspclink, without a display.
#   emulated_headless_check.sh CMAKE BUILD_DIR
set -eu
. "$(dirname "$0")/installed.sh"
status=0
(cd "$home" && as_user pspc-setup --emulated --headless) >"$work/run.out" 2>&1 || status=$?
cat "$work/run.out"
[ $status -eq 0 ] || fail "pspc-setup ended with $status"
tail -n 1 "$work/run.out" | grep -q '^pspc-setup: installed MFC and VB ([0-9]* files), reset notice shown$' ||
  fail "the summary does not say the packages were installed"
grep -q 'called in from 127\.0\.0\.' "$work/run.out" || fail "the emulated device did not call in"
image=$home/.local/share/pspc-setup/device
grep -q '"op":"CeWriteFile"' "$image/oplog.jsonl" || fail "the device's op log shows no file written"
# Nothing written into the package folder (the installed samples).
[ -z "$(find "$prefix/share/pspc-setup/samples" -newer "$work/install.log" -print -quit)" ] ||
  fail "the run wrote into the package folder"
echo "the installed pspc-setup installed the samples on an emulated device, as an ordinary user"
