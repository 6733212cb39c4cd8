#!/bin/sh
# The installed pspc-setup refuses what it cannot run with, before anything
# starts, each time saying what to do.
#   refusals_check.sh CMAKE BUILD_DIR
set -eu
. "$(dirname "$0")/installed.sh"
# refuses STATUS MESSAGE ARGUMENTS...: run in the user's home, without a display.
refuses() {
  expected=$1 message=$2
  shift 2
  status=0
  (cd "$home" && as_user pspc-setup "$@") >"$work/out.txt" 2>&1 || status=$?
  [ $status -eq "$expected" ] || { cat "$work/out.txt"; fail "pspc-setup $* ended with $status, not $expected"; }
  grep -qF -- "$message" "$work/out.txt" || { cat "$work/out.txt"; fail "pspc-setup $* does not say '$message'"; }
}
mkdir -p "$home/empty" "$home/packages/Japanese/MFC"
refuses 2 "--fresh makes a new emulated device: it goes with --emulated" --fresh --headless
refuses 2 "unknown option --bogus" --bogus
refuses 1 "there is no display (DISPLAY is not set)" --emulated
refuses 1 "holds no packages" --headless "$home/empty"
refuses 1 "there is no folder" --headless "$home/missing"
refuses 1 "systemctl --user start pspclink" --headless "$home/packages"
# Nothing was made for the user by a refused run but its log folder.
[ ! -e "$home/.local/share/pspc-setup/wine" ] || fail "a refused run made a Wine prefix"
echo "pspc-setup refuses a lone --fresh, an unknown option, a missing display, a folder without packages and a missing manager"
