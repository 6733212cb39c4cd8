#!/bin/sh
# pspc-attach's order against a device that calls once, the moment its
# link is up: the manager must be listening by then. pppd cannot run here (no
# PPP in the kernel); tests/serial/pppd_standin.sh stands in for it and has an
# emulated device call the desktop's address once, before it even says the
# link is up. Cases: pspclink listens on an address the machine does not have
# yet (the cable's, before PPP); the once-calling device is attached.
#   attach_order_check.sh <pspcemu> <pspclink> <pspc-attach> <pppd stand-in> <work folder>
set -eu
pspcemu=$1
pspclink=$2
attach=$3
standin=$4
work=$5
rm -rf "$work"
mkdir -p "$work"
case_name=setup
attach_pid=
socat_pid=
fail() {
  echo "FAIL ($case_name): $*"
  for file in "$work"/*.out "$work"/*/pspclink.log "$work"/*/oplog.jsonl; do
    [ -e "$file" ] && { echo "== $file"; cat "$file"; }
  done
  exit 1
}
cleanup() {
  # The stand-in first: pspc-attach waits for its pppd to end.
  [ ! -s "$work/standin.pid" ] || kill -TERM "$(cat "$work/standin.pid")" 2>/dev/null || true
  [ -z "$attach_pid" ] || { kill -TERM "$attach_pid" 2>/dev/null || true; wait "$attach_pid" 2>/dev/null || true; }
  [ -z "$socat_pid" ] || { kill "$socat_pid" 2>/dev/null || true; wait "$socat_pid" 2>/dev/null || true; }
}
trap cleanup EXIT
# until_true SECONDS COMMAND...: true once the command is, false after so long.
until_true() {
  limit=$(($1 * 10))
  shift
  tenths=0
  until "$@"; do
    tenths=$((tenths + 1))
    [ $tenths -lt $limit ] || return 1
    sleep 0.1
  done
}
status_has() { PSPCLINK_DIR=$1 "$pspclink" status 2>/dev/null | grep -qF -- "$2"; }

case_name="pspclink listens on an address that does not exist yet"
PSPCLINK_DIR=$work/freebind "$pspclink" serve --listen 192.0.2.1:0 >"$work/freebind.out" 2>&1 &
manager=$!
until_true 30 status_has "$work/freebind" "manager:     listening on 192.0.2.1:" || fail "it does not listen"
kill -TERM $manager
wait $manager || fail "it ended with $?"

# A serial port for the options: one end of a pseudo-terminal pair.
socat -d -d pty,raw,echo=0 pty,raw,echo=0 2>"$work/socat.out" &
socat_pid=$!
until_true 60 grep -q 'starting data transfer loop' "$work/socat.out" || fail "socat made no pseudo-terminal pair"
port=$(sed -n 's/.* PTY is //p' "$work/socat.out" | sed -n 1p)

case_name="the once-calling device is attached"
"$pspcemu" init "$work/device" >/dev/null
export PSPCLINK_DIR="$work/link" XDG_STATE_HOME="$work/state" PSPC_ATTACH_PPPD="$standin" PSPC_STANDIN_WORK="$work"
export PSPC_STANDIN_IMAGE="$work/device" PSPC_STANDIN_PSPCEMU="$pspcemu"
sh "$attach" --addresses 127.0.131.1:127.0.131.129 "$port" >"$work/attach.out" 2>&1 &
attach_pid=$!
until_true 60 status_has "$work/link" "address:     127.0.131.129" ||
  fail "the device's one call was not taken ($(grep -o '"op":"[a-z-]*"' "$work/device/oplog.jsonl" | tr '\n' ' '))"

case_name="the device ends the link"
kill -USR1 "$(cat "$work/standin.pid")"
status=0
wait "$attach_pid" || status=$?
attach_pid=
rm -f "$work/standin.pid"
[ $status -eq 0 ] || fail "pspc-attach ended with $status"
grep -qF "pspc-attach: the device ended the link" "$work/attach.out" || fail "the end is not told"
! grep -q "was locked" "$work/attach.out" || fail "a device that took no password is said to be locked"
until_true 30 sh -c "! test -e '$work/link/channel'" || fail "the pspclink it started still runs"

echo "the manager listens before the link: the once-calling device attached"
