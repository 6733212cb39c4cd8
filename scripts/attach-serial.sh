#!/bin/sh
# The serial cable: brings up the link to a palm-size PC in a serial cradle
# and the connection manager the device calls, so that the setup program can
# reach the device.
#
#   scripts/attach-serial.sh [options] PORT [SPEED]
#
#   PORT                  the cradle's serial port: /dev/ttyUSB0 (a USB-serial
#                         adapter), /dev/ttyS0 (a built-in port); ttyUSB0 will do
#   SPEED                 the line's speed in baud, as the device's PC connection
#                         is set: 115200 (default), 57600, 38400, 19200 or 9600
#   --wait SECONDS        how long to wait for the device's call (default 120)
#   --addresses D:R       the desktop's and the device's address on the link
#                         (default 192.168.131.N+1 and 192.168.131.N+129, N the
#                         port's number, plus 120 for a ttyS port)
#   --no-crtscts          no RTS/CTS flow control, for a cable without those lines
#   --password-file FILE  the device's password, for the pspclink this script starts
#   --debug               pppd logs every packet of the negotiation
#   --print-options       print the pppd command, its options and the pspclink
#                         command, and stop: checks nothing, runs nothing
#
# The device calls with "CLIENT" and the desktop answers "CLIENTSERVER": that
# is pppd's connect step, done by chat. PPP follows, with the two addresses,
# and the device calls the desktop's address on port 5679 the moment its link
# is up, perhaps once only: the connection manager listens before pppd starts.
# A pspclink already running for you (pspclink status answers) takes the call
# when it listens on the desktop's address or on every address; otherwise the
# script starts one on the desktop's address, port 5679, giving the password
# to the device's address. The options are written to
# build/serial/<port>.options and pppd's log to build/serial/<port>.log (begun
# afresh each run, shown as it grows). pppd needs root: the script runs it
# with sudo unless it runs as root itself. Ctrl-C ends the link and the
# pspclink started here. docs/serial-cable.md tells the whole story, with what
# to do when the link does not come up.
#
# For tests only: PSPC_ATTACH_PPPD names a program run in pppd's place, with
# pppd's arguments (and without the checks of pppd, chat and /dev/ppp); it
# stands for the link as pppd would bring it up.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
pppd=${PSPC_ATTACH_PPPD:-/usr/sbin/pppd}
chat=/usr/sbin/chat
pspclink=$top/build/native/bin/pspclink

port=
speed=115200
wait_s=120
addresses=
flow=crtscts
password_file=
debug=0
print=0

usage() { sed -n '2,/^[^#]/ s/^# \{0,1\}//p' "$0"; }
die() { echo "attach-serial: $*" >&2; exit 1; }
usage_error() { echo "attach-serial: $* (see --help)" >&2; exit 2; }
need_value() { [ $# -ge 2 ] || usage_error "$1 needs a value"; }
positional=0
while [ $# -gt 0 ]; do
  case "$1" in
    --wait) need_value "$@"; wait_s=$2; shift 2 ;;
    --addresses) need_value "$@"; addresses=$2; shift 2 ;;
    --no-crtscts) flow=nocrtscts; shift ;;
    --password-file) need_value "$@"; password_file=$2; shift 2 ;;
    --debug) debug=1; shift ;;
    --print-options) print=1; shift ;;
    -h|--help) usage; exit 0 ;;
    -*) usage_error "unknown option $1" ;;
    *)
      positional=$((positional + 1))
      case $positional in
        1) port=$1 ;;
        2) speed=$1 ;;
        *) usage_error "one port and one speed at most, not '$1' as well" ;;
      esac
      shift ;;
  esac
done
[ -n "$port" ] || usage_error "which serial port? such as /dev/ttyUSB0"
case "$speed" in
  9600|19200|38400|57600|115200) ;;
  *) usage_error "the speed is the device's: 115200, 57600, 38400, 19200 or 9600, not '$speed'" ;;
esac
case "$wait_s" in
  ''|*[!0-9]*|0) usage_error "--wait takes a number of seconds, not '$wait_s'" ;;
esac

# The port as pppd will name it: its path behind any link (/dev/serial/by-id/...).
case "$port" in */*) ;; *) port=/dev/$port ;; esac
[ -e "$port" ] && port=$(readlink -f "$port")
# The options file takes the path as one word, quoted by nothing.
case "$port" in
  *[!A-Za-z0-9/._:+-]*) die "the port's path '$port' has characters an options file cannot hold" ;;
esac
name=${port##*/}

# The link's addresses: one pair for each port, so two cradles can be up at
# once without their addresses meeting.
if [ -z "$addresses" ]; then
  number=$(printf '%s\n' "$name" | sed -n 's/^[^0-9]*0*\([0-9][0-9]*\)$/\1/p')
  number=${number:-0}
  case "$name" in ttyS*) number=$((number + 120)) ;; esac
  [ $((number + 129)) -le 254 ] ||
    die "no address pair for port number $number of $port: give the pair with --addresses DESKTOP:DEVICE"
  addresses=192.168.131.$((number + 1)):192.168.131.$((number + 129))
fi
octet='\(25[0-5]\|2[0-4][0-9]\|1[0-9][0-9]\|[1-9]\{0,1\}[0-9]\)'
address="$octet\.$octet\.$octet\.$octet"
printf '%s\n' "$addresses" | grep -q "^$address:$address\$" ||
  usage_error "--addresses takes two IPv4 addresses, the desktop's and the device's: D:R, not '$addresses'"
desktop=${addresses%%:*}
device=${addresses#*:}
[ "$desktop" != "$device" ] || usage_error "--addresses needs two different addresses"

folder=$top/build/serial
options=$folder/$name.options
log=$folder/$name.log

# pppd reads the options file's words with a backslash quoting the next
# character, and runs the connect command through a shell: chat gets
# CLIENTSERVER\c, and "\c" at the end of a reply sends it without a line end.
options_text() {
  cat <<EOF
# pppd options for a palm-size PC in a serial cradle on $port, written by
# scripts/attach-serial.sh. Used as: pppd file $options
$port
$speed
# The device calls with "CLIENT" and waits for "CLIENTSERVER", no line end;
# PPP starts after it. chat waits $wait_s s for the call, then pppd gives up.
connect "$chat -V -t $wait_s CLIENT 'CLIENTSERVER\\\\c'"
# The desktop's address and the device's; the device calls the desktop's.
$addresses
ms-dns $desktop
# Every control character may cross a direct cable as it is.
asyncmap 0
# A link to the device alone: no default route; the device does not log in;
# the cradle has no modem lines to follow. The port is locked while in use.
nodefaultroute
noauth
local
$flow
lock
# A device that stops answering (cable pulled, switched off) ends the link;
# while data comes, the device is known to be there.
lcp-echo-interval 5
lcp-echo-failure 3
lcp-echo-adaptive
# In the foreground: attach-serial.sh shows the log and ends pppd on Ctrl-C;
# the link's name gives pppd's process id in /var/run/ppp-pspc-$name.pid.
nodetach
linkname pspc-$name
EOF
  [ $debug -eq 0 ] || echo debug
}

# The manager this script starts: on the desktop's address, which exists only
# once the link is up (pspclink may listen on it before), giving the password
# to the device's address alone.
set -- serve --listen "$desktop:5679" --device "$device"
[ -z "$password_file" ] || set -- "$@" --password-file "$password_file"

if [ $print -eq 1 ]; then
  echo "pppd file $options"
  echo "$pspclink $*"
  echo "--- $options"
  options_text
  exit 0
fi

# What the link needs from this machine, each missing piece with what to do.
if [ -z "${PSPC_ATTACH_PPPD:-}" ]; then
  [ -x "$pppd" ] && [ -x "$chat" ] ||
    die "pppd and chat are missing: install Debian's ppp package (sudo apt-get install ppp)"
  [ -c /dev/ppp ] || die "this kernel has no PPP support: /dev/ppp is missing.
  Load it with: sudo modprobe ppp_async   (it brings ppp_generic, which makes /dev/ppp)
  A kernel without PPP modules (containers, some build machines) cannot carry the
  serial link at all; the emulated device, which calls over TCP, needs none."
fi
# pppd reads /etc/ppp/options first: there, usepeerdns would make the device's
# name server the desktop's own (pppd writes it into the resolver's files).
peerdns=$(grep -n '^[[:space:]]*usepeerdns' /etc/ppp/options 2>/dev/null | head -n 1 || true)
[ -z "$peerdns" ] || die "/etc/ppp/options asks for the peer's name servers (line ${peerdns%%:*}: ${peerdns#*:}):
  the device would become the desktop's name server. Put a # before that line
  (sudo nano /etc/ppp/options) and run this script again."
[ -e "$port" ] || die "there is no $port: is the cradle's adapter plugged in?
  ls /dev/ttyUSB* /dev/ttyS* lists the ports; sudo dmesg | tail names the one a new adapter got."
[ -c "$port" ] || die "$port is not a serial port (not a character device)"
if [ ! -r "$port" ] || [ ! -w "$port" ]; then
  group=$(stat -c %G "$port")
  die "you may not read and write $port ($(stat -c '%A %U:%G' "$port")).
  Serial ports belong to the group $group: sudo adduser $(id -un) $group
  then log out and in again (a new group counts from the next login)."
fi
if [ "$(id -u)" -eq 0 ] || [ -n "${PSPC_ATTACH_PPPD:-}" ]; then
  as_root=
elif command -v sudo >/dev/null 2>&1; then
  as_root=sudo
else
  die "pppd needs root to make the network link: run this script as root, or install sudo"
fi
[ -z "$password_file" ] || [ -r "$password_file" ] || die "cannot read the password file $password_file"

[ -x "$pspclink" ] || die "$pspclink is not built: cmake --preset native && cmake --build --preset native"

mkdir -p "$folder"
options_text >"$options.tmp"
mv "$options.tmp" "$options"
echo "attach-serial: pppd options in $options"

if [ -n "$as_root" ]; then
  echo "attach-serial: pppd needs root: sudo asks for your password"
  sudo -v || die "sudo refused: pppd cannot run"
fi

pid_file=/var/run/ppp-pspc-$name.pid
status_file=$folder/$name.status
rm -f "$status_file"
runner=
manager_pid=

# wait_pppd TENTHS: true once pppd has ended, false when it still runs after
# so many tenths of a second.
wait_pppd() {
  tenths=0
  while [ ! -s "$status_file" ]; do
    [ $tenths -lt "$1" ] || return 1
    sleep 0.1
    tenths=$((tenths + 1))
  done
}

# Ends what this script started. pppd ends by itself on Ctrl-C (it hears it
# too) and on its own failures; otherwise it is told to, as root when it runs
# as root: sudo does not pass on a signal from its own process group.
finish() {
  trap - INT TERM EXIT
  if [ -n "$runner" ]; then
    if ! wait_pppd 50 && [ -r "$pid_file" ]; then
      $as_root kill -TERM "$(cat "$pid_file")" 2>/dev/null || true
    fi
    if wait_pppd 150; then
      wait "$runner" 2>/dev/null || true
    else
      echo "attach-serial: pppd still runs: $as_root kill $(cat "$pid_file" 2>/dev/null || echo "<pppd's process id>")" >&2
    fi
  fi
  [ -z "$manager_pid" ] || { kill -TERM "$manager_pid" 2>/dev/null || true; wait "$manager_pid" 2>/dev/null || true; }
}
trap finish EXIT
trap 'echo "attach-serial: stopping"; exit 130' INT TERM

# where_manager: the "manager:" line of pspclink status (listening on A:P;
# log L), or nothing while no manager answers.
where_manager() { "$pspclink" status 2>/dev/null | sed -n 's/^manager: *//p'; }

# The manager listens before pppd starts: the device may call the moment its
# link is up, and only once.
where=$(where_manager)
if [ -n "$where" ]; then
  listening=${where#listening on }
  listening=${listening%%;*}
  case "$listening" in
    "$desktop:5679"|"0.0.0.0:5679") ;;
    *) die "a pspclink of yours runs, listening on $listening, where the device does not call ($desktop:5679).
  Stop it (kill the pspclink serve process), then run this script again: it starts one on $desktop:5679." ;;
  esac
  echo "attach-serial: the running pspclink (listening on $listening) takes the device's call"
  [ -z "$password_file" ] || echo "attach-serial: --password-file is for a pspclink started here; the running one keeps its own"
else
  "$pspclink" "$@" &
  manager_pid=$!
  # Listening once status answers: the channel file is written after the bind.
  until where=$(where_manager) && [ -n "$where" ]; do
    if ! kill -0 "$manager_pid" 2>/dev/null; then
      wait "$manager_pid" 2>/dev/null || true
      manager_pid=
      die "pspclink could not start: its words stand above"
    fi
    sleep 0.1
  done
  echo "attach-serial: pspclink listens on $desktop:5679 for the device's call; pspclink status shows the device once it calls"
fi
manager_log=${where#*; log }
# The manager's log from here on is this run's: a "locked:" line in it says
# why the device may end the link.
manager_log_start=1
[ ! -f "$manager_log" ] || manager_log_start=$(($(wc -c <"$manager_log") + 1))

# Begun afresh: the "local  IP address" line of an earlier run is not this one's.
: >"$log"
# pppd's log (chat's words among it) on the terminal and in the log file; its
# exit status in the status file once it ends.
( status=0; $as_root "$pppd" file "$options" 2>&1 || status=$?; echo $status >"$status_file" ) | tee -i -a "$log" &
runner=$!

# The device's last word on its password in this run, when it ended locked:
# the manager's "locked:" line, unless an attach or an unlock came after it.
locked_line() {
  [ -r "$manager_log" ] || return 0
  tail -c "+$manager_log_start" "$manager_log" | grep -E ' (attached|locked|unlocked): ' | tail -n 1 |
    grep ' locked: ' || true
}

explain() {
  case $1 in
    0) echo "the device ended the link" ;;
    5) echo "the link was stopped" ;;
    4) echo "the kernel has no PPP support: sudo modprobe ppp_async" ;;
    6) echo "$port is locked by another program (its lock file is in /var/lock):
  another pppd, a terminal program or ModemManager holds it" ;;
    7) echo "pppd could not open $port" ;;
    8) echo "the device did not call: no \"CLIENT\" came on $port within $wait_s s.
  Is the device in its cradle, its PC connection set to this serial port at $speed baud?
  Start this script first, then the connection on the device (--wait gives more time)." ;;
    10) echo "the device called but PPP did not come up: the device's speed must be $speed;
  a cable without the RTS/CTS lines needs --no-crtscts (--debug shows the negotiation)" ;;
    15) echo "the device stopped answering: the cable pulled, or the device switched off or asleep" ;;
    16) echo "the line hung up" ;;
    *) echo "pppd ended with status $1: see $log" ;;
  esac
}

# ended: pppd's end, said, with the device's refusal of its password first
# when that is why it ended the link.
ended() {
  wait "$runner" || true # the rest of pppd's log first
  status=$(cat "$status_file")
  locked=$(locked_line)
  if [ -n "$locked" ]; then
    echo "attach-serial: the device was locked when the link ended; the manager logged:
  ${locked#* * }
  Correct the password file (its first line, chmod 600), run this script again, then
  start the connection on the device: the file is read afresh for every call." >&2
  fi
  case $status in
    0|5) echo "attach-serial: $(explain "$status")" ;;
    *) die "$(explain "$status")" ;;
  esac
}

echo "attach-serial: waiting up to $wait_s s for the device on $port at $speed baud: start the PC connection on the device"
# pppd logs the desktop's address once the link is up and the address is set.
until [ -s "$status_file" ] || grep -q '^local  IP address' "$log"; do sleep 0.1; done
if [ -s "$status_file" ] && ! grep -q '^local  IP address' "$log"; then
  wait "$runner" || true
  die "$(explain "$(cat "$status_file")")"
fi
echo "attach-serial: the link is up: desktop $desktop, device $device"
echo "attach-serial: Ctrl-C ends the link"

while [ ! -s "$status_file" ]; do
  if [ -n "$manager_pid" ] && ! kill -0 "$manager_pid" 2>/dev/null; then
    manager_pid=
    die "pspclink ended; the link goes down with it"
  fi
  sleep 0.5
done
ended
