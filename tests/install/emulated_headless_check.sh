#!/bin/sh
# The installed pspc-setup, run by an ordinary user from a folder of theirs,
# installs the sample packages on an emulated device that called in to the
# installed pspclink, without a display; the device is kept for the next run
# and made anew with --fresh.
#   emulated_headless_check.sh CMAKE BUILD_DIR
set -eu
. "$(dirname "$0")/installed.sh"
image=$home/.local/share/pspc-setup/device
# installs OPTIONS...: a run that must end with the packages installed.
installs() {
  status=0
  (cd "$home" && as_user pspc-setup --emulated --headless "$@") >"$work/run.out" 2>&1 || status=$?
  cat "$work/run.out"
  [ $status -eq 0 ] || fail "pspc-setup $* ended with $status"
  tail -n 1 "$work/run.out" | grep -q '^pspc-setup: installed MFC and VB ([0-9]* files), reset notice shown$' ||
    fail "the summary of pspc-setup $* does not say the packages were installed"
  grep -q 'called in from 127\.0\.0\.' "$work/run.out" || fail "the emulated device did not call in"
}
# marked: whether the device holds the file the test put there.
marked() { as_user "$prefix/bin/pspcemu" ls "$image" '\' | grep -q 'marker.txt'; }

installs
grep -q '"op":"CeWriteFile"' "$image/oplog.jsonl" || fail "the device's op log shows no file written"
echo mark >"$work/marker.txt"
chmod 644 "$work/marker.txt"
as_user "$prefix/bin/pspcemu" put "$image" "$work/marker.txt" '\marker.txt' >/dev/null
installs
marked || fail "the next run did not keep the device"
installs --fresh
! marked || fail "--fresh kept the old device"
# Nothing written into the package folder (the installed samples).
[ -z "$(find "$prefix/share/pspc-setup/samples" -newer "$work/install.log" -print -quit)" ] ||
  fail "the run wrote into the package folder"
echo "the installed pspc-setup installed the samples on an emulated device, kept it and made it anew, as an ordinary user"
