#!/bin/sh
# The serial cable's handshake over a pseudo-terminal pair made by socat: the
# emulator plays the device's end (pspcemu cable); the desktop's end is the
# connect command of the pppd options pspc-attach writes, run as pppd
# runs it, with the line on its standard input and output. pppd itself cannot
# run here (no PPP in the kernel), and the link stops where PPP would start.
#   handshake_check.sh <pspcemu> <pspc-attach> <work folder>
set -eu
pspcemu=$1
attach=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
case_name=setup
fail() {
  echo "FAIL ($case_name): $*"
  for log in "$work"/*.log; do [ -e "$log" ] && { echo "== $log"; cat "$log"; }; done
  exit 1
}
command -v socat >/dev/null || fail "socat is missing (scripts/setup.sh installs it)"
[ -x /usr/sbin/chat ] || fail "chat is missing: Debian's ppp package (scripts/setup.sh installs it)"

socat_pid=
stop_socat() { [ -z "$socat_pid" ] || { kill "$socat_pid" 2>/dev/null || true; wait "$socat_pid" 2>/dev/null || true; }; }
trap stop_socat EXIT

# A fresh pair for each case, so nothing said in one is heard in the next:
# $device_end and $desktop_end name its two ends.
pty_pair() {
  stop_socat
  # Gone before the new socat starts: its log is the new one's alone.
  rm -f "$work/socat.log"
  socat -d -d pty,raw,echo=0 pty,raw,echo=0 2>"$work/socat.log" &
  socat_pid=$!
  tries=0
  until grep -q 'starting data transfer loop' "$work/socat.log" 2>/dev/null; do
    kill -0 "$socat_pid" 2>/dev/null || fail "socat ended"
    tries=$((tries + 1))
    [ $tries -lt 600 ] || fail "socat made no pseudo-terminal pair within 60 s"
    sleep 0.1
  done
  device_end=$(sed -n 's/.* PTY is //p' "$work/socat.log" | sed -n 1p)
  desktop_end=$(sed -n 's/.* PTY is //p' "$work/socat.log" | sed -n 2p)
  [ -c "$device_end" ] && [ -c "$desktop_end" ] || fail "socat named no pair"
}

# The connect command of the options pspc-attach writes for a port, as
# pppd reads its word: the outer quotes gone, a backslash quoting the next.
connect_command() {
  "$attach" --print-options "$@" >"$work/options.txt" || fail "pspc-attach --print-options failed"
  sed -n 's/^connect "\(.*\)"$/\1/p' "$work/options.txt" | sed 's/\\\(.\)/\1/g'
}

# The desktop's end: a command on the line as pppd runs it, in the background.
desktop() {
  timeout 120 sh -c "$1" <"$desktop_end" >"$desktop_end" 2>"$work/desktop.log" &
  desktop_pid=$!
}

case_name="the device calls, the desktop answers"
pty_pair
connect=$(connect_command --wait 60 "$desktop_end")
[ -n "$connect" ] || fail "the options hold no connect command"
desktop "$connect"
status=0
timeout 120 "$pspcemu" cable "$device_end" --timeout 60 >"$work/device.log" 2>&1 || status=$?
[ $status -eq 0 ] || fail "pspcemu cable ended with $status, not 0"
# The answer is the word and nothing more: no line end after it.
grep -q 'the desktop answered on .* (heard 12 bytes: "CLIENTSERVER"); a real device starts PPP now' \
  "$work/device.log" || fail "the device did not hear the answer alone"
status=0
wait "$desktop_pid" || status=$?
[ $status -eq 0 ] || fail "the desktop's chat ended with $status, not 0"
grep -q 'CLIENT' "$work/desktop.log" || fail "chat's log does not show the device's call"

case_name="the desktop answers the wrong word"
pty_pair
desktop "$(printf '%s\n' "$connect" | sed 's/CLIENTSERVER/CLIENTSERVEX/')"
status=0
timeout 120 "$pspcemu" cable "$device_end" --timeout 10 >"$work/device.log" 2>&1 || status=$?
[ $status -eq 1 ] || fail "pspcemu cable ended with $status, not 1"
grep -q 'no "CLIENTSERVER" from the desktop on .* within 10 s (heard 12 bytes: "CLIENTSERVEX")' "$work/device.log" ||
  fail "the device's message does not say what it heard instead of the answer"
wait "$desktop_pid" || true

case_name="nobody answers"
pty_pair
status=0
timeout 120 "$pspcemu" cable "$device_end" --timeout 2 >"$work/device.log" 2>&1 || status=$?
[ $status -eq 1 ] || fail "pspcemu cable ended with $status, not 1"
grep -q 'no "CLIENTSERVER" from the desktop on .* within 2 s (heard nothing)' "$work/device.log" ||
  fail "the device's message does not say it heard nothing"

# chat's status 3 is its time-out: pppd then ends with its own 8, which
# pspc-attach explains as a device that did not call.
case_name="the device does not call"
pty_pair
desktop "$(connect_command --wait 2 "$desktop_end")"
status=0
wait "$desktop_pid" || status=$?
[ $status -eq 3 ] || fail "the desktop's chat ended with $status, not 3 (its time-out)"

echo "the serial handshake: answered, a wrong answer and none refused by the device, a silent device by the desktop"
