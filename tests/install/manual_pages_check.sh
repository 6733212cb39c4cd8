#!/bin/sh
# Each installed command has a manual page that renders without a warning
# and names every option its --help names.
#   manual_pages_check.sh CMAKE BUILD_DIR
set -eu
. "$(dirname "$0")/installed.sh"
for command in pspclink pspcemu pspc-attach pspc-setup; do
  page=$prefix/share/man/man1/$command.1
  [ -f "$page" ] || fail "no manual page for $command"
  ! grep -n '@[A-Z_]*@' "$page" || fail "$command.1 keeps a placeholder"
  groff -man -Tutf8 -ww -z "$page" >"$work/groff.out" 2>&1 || fail "groff refused $command.1"
  [ ! -s "$work/groff.out" ] || { cat "$work/groff.out"; fail "groff warns of $command.1"; }
  as_user "$command" --help >"$work/help.txt" 2>&1 || fail "$command --help ended with $?"
  sed 's/\\-/-/g' "$page" >"$work/page.txt"
  for option in $(grep -o -- '--[a-z][a-z-]*' "$work/help.txt" | sort -u); do
    grep -qF -- "$option" "$work/page.txt" || fail "$command --help names $option, its manual page does not"
  done
done
grep -qx "ExecStart=$prefix/bin/pspclink serve" "$prefix/lib/systemd/user/pspclink.service" ||
  fail "the user unit does not start the installed pspclink"
echo "four manual pages render without warnings and name every option of --help; the user unit names $prefix/bin"
