#!/bin/sh
# The pppd options pspc-attach writes: the port and its speed, the link's
# addresses, the connect command, a link that takes no default route; its
# refusals of what it cannot use; and pppd's own reading of the options.
#   options_check.sh <pspc-attach> <work folder>
set -eu
attach=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
out=$work/options.txt
# Its work files go to the user's state folder: here, the test's own.
export XDG_STATE_HOME="$work/state"
case_name=
fail() { echo "FAIL ($case_name): $*"; cat "$out"; exit 1; }

# print NAME ARGUMENTS...: the printed command lines and options, in $out.
print() {
  case_name=$1
  shift
  status=0
  "$attach" --print-options "$@" >"$out" 2>&1 || status=$?
  [ $status -eq 0 ] || fail "pspc-attach --print-options ended with $status"
}
has() { grep -qxF -- "$1" "$out" || fail "no line '$1'"; }
lacks() { ! grep -qx -- "$1" "$out" || fail "a line '$1'"; }
# refuses NAME MESSAGE ARGUMENTS...: exit status 2 and the message.
refuses() {
  case_name=$1
  message=$2
  shift 2
  status=0
  "$attach" --print-options "$@" >"$out" 2>&1 || status=$?
  [ $status -eq 2 ] || fail "ended with $status, not 2"
  grep -qF -- "$message" "$out" || fail "does not say '$message'"
}

print "a USB-serial adapter at the default speed" /dev/ttyUSB0
options=$(sed -n 's/^pppd file //p' "$out")
[ "$options" = "$work/state/pspc-attach/ttyUSB0.options" ] || fail "pppd reads '$options'"
has "--- $options"
has "/dev/ttyUSB0"
has "115200"
has "192.168.131.1:192.168.131.129"
has "ms-dns 192.168.131.1"
has "connect \"/usr/sbin/chat -V -t 120 CLIENT 'CLIENTSERVER\\\\c'\""
for option in nodefaultroute noauth local crtscts lock nodetach "asyncmap 0"; do has "$option"; done
lacks "defaultroute"
lacks "nocrtscts"
grep -q '^/.*/build/native/bin/pspclink serve --listen 192.168.131.1:5679 --device 192.168.131.129$' "$out" ||
  fail "pspclink does not listen on the desktop's address, giving the password to the device's"

print "a built-in port, slower, on a cable without RTS/CTS" ttyS1 19200 --no-crtscts --wait 30
has "/dev/ttyS1"
has "19200"
has "192.168.131.122:192.168.131.250"
has "nocrtscts"
lacks "crtscts"
has "connect \"/usr/sbin/chat -V -t 30 CLIENT 'CLIENTSERVER\\\\c'\""

print "addresses of the user's own, a password file" --addresses 10.1.2.3:10.1.2.4 \
  --password-file '/home/a user/pw' /dev/ttyUSB3
has "10.1.2.3:10.1.2.4"
has "ms-dns 10.1.2.3"
grep -q "pspclink serve --listen 10.1.2.3:5679 --device 10.1.2.4 --password-file /home/a user/pw\$" "$out" ||
  fail "the password file is not handed to pspclink"

refuses "no port" "which serial port?"
refuses "a speed no device runs at" "not '230400'" /dev/ttyUSB0 230400
refuses "a third argument" "one port and one speed at most" /dev/ttyUSB0 115200 extra
refuses "a malformed address pair" "two IPv4 addresses" --addresses 10.1.2.3 /dev/ttyUSB0
refuses "an address out of range" "two IPv4 addresses" --addresses 10.1.2.3:10.1.2.256 /dev/ttyUSB0
refuses "one address for both ends" "two different addresses" --addresses 10.1.2.3:10.1.2.3 /dev/ttyUSB0
refuses "a wait of nothing" "--wait takes a number of seconds" --wait 0 /dev/ttyUSB0
refuses "an unknown option" "unknown option --fast" --fast /dev/ttyUSB0
case_name="a port number with no address pair"
status=0
"$attach" --print-options /dev/ttyUSB200 >"$out" 2>&1 || status=$?
[ $status -eq 1 ] && grep -qF -- "--addresses DESKTOP:DEVICE" "$out" || fail "not refused with what to do"

# pppd reads the options as they are written: status 2 is its refusal of an
# option; here it stops at the missing kernel support (4), or, where the kernel
# has PPP, after checking them (0: dryrun). /dev/null stands in for the port.
# It takes noauth from root alone.
case_name="pppd reads the options"
if [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/pppd ]; then
  print "$case_name" /dev/null
  sed '1,/^--- /d' "$out" >"$work/null.options"
  status=0
  /usr/sbin/pppd file "$work/null.options" dryrun >"$out" 2>&1 || status=$?
  [ $status -eq 0 ] || [ $status -eq 4 ] || fail "pppd ended with $status, not 0 or 4"
  echo "pppd read the options (status $status)"
else
  echo "pppd's own reading of the options skipped: it takes them from root alone"
fi

echo "the pppd options: port, speed, addresses, connect command, no default route; bad input refused"
