#!/bin/sh
# Runs one test command against a device emulator of its own:
#   with-emulator.sh --pspcemu PATH [--runner PATH] [--direct] [--manager PATH]
#                    [--language ENG|JPN] [--version X.YY.ZZ] -- COMMAND [ARGS...]
# Makes a fresh device image in a temporary folder, serves it on a free port,
# and runs COMMAND through the Wine runner (or directly with --direct) with
#   PSPC_RAPI_ENDPOINT     127.0.0.1:<link port>, where rapi.dll connects
#   PSPC_EMULATOR_CONSOLE  127.0.0.1:<relay port>, for plug/unplug/faults (see
#                          the relay below)
#   PSPC_EMULATOR_IMAGE    the image folder
#   PSPC_EMULATOR_LANGUAGE, PSPC_EMULATOR_VERSION  the identity it was made with
# With --manager, PATH is the connection manager (pspclink), serving with
# pings a second apart and the device's password; the device (with that
# password) calls it from 127.0.3.N, the first such address whose port 990 is
# free, and serves RAPI there, and rapi.dll takes the manager route:
#   PSPCLINK_DIR               the manager's channel folder (its log is there)
#   PSPC_RAPI_ENDPOINT         not set
# The emulator, the relay and the manager are stopped and the folder removed
# however the command ends.
set -u

here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
pspcemu=
manager=
runner="$here/../../scripts/wine-run.sh"
direct=0
language=JPN
version=1.12.00
while [ $# -gt 0 ]; do
  case "$1" in
    --pspcemu) pspcemu=$2; shift 2 ;;
    --runner) runner=$2; shift 2 ;;
    --direct) direct=1; shift ;;
    --manager) manager=$2; shift 2 ;;
    --language) language=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "with-emulator: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ $# -eq 0 ]; then
  echo "with-emulator: no command given" >&2
  exit 2
fi
if [ ! -x "$pspcemu" ]; then
  echo "with-emulator: no emulator at '$pspcemu' (build the native preset first)" >&2
  exit 1
fi
if ! command -v socat >/dev/null 2>&1; then
  echo "with-emulator: socat is missing (scripts/setup.sh installs it)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/pspc-test.XXXXXX") || exit 1
image="$work/image"
server=
relay=
manager_pid=
cleanup() {
  for process in $relay $server $manager_pid; do
    kill "$process" 2>/dev/null
    wait "$process" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

password=
if [ -n "$manager" ]; then
  (umask 077 && echo "kagi 2.11" >"$work/password")
  password="--password-file $work/password"
fi
# shellcheck disable=SC2086 # $password is two words or none
if ! "$pspcemu" init "$image" --language "$language" --version "$version" $password >"$work/init.log" 2>&1; then
  echo "with-emulator: could not make a device image:" >&2
  cat "$work/init.log" >&2
  exit 1
fi

# A port file counts once it holds a whole number.
port_in() {
  [ -f "$1" ] || return 1
  p=$(cat "$1" 2>/dev/null)
  case "$p" in '' | *[!0-9]*) return 1 ;; esac
  echo "$p"
}
# await WHAT PID LOG COMMAND...: until COMMAND prints a port, while the
# process PID (which writes LOG) still runs; 10 s at the most.
await() {
  what=$1 pid=$2 log=$3
  shift 3
  tries=0
  until port=$("$@") && [ -n "$port" ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "with-emulator: the $what stopped before it listened:" >&2
      cat "$log" >&2
      exit 1
    fi
    tries=$((tries + 1))
    if [ $tries -gt 200 ]; then
      echo "with-emulator: the $what did not listen within 10 s" >&2
      cat "$log" >&2
      exit 1
    fi
    sleep 0.05
  done
}
relay_port() { sed -n 's/.* listening on AF=2 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/relay.log"; }

if [ -z "$manager" ]; then
  "$pspcemu" serve "$image" --port 0 >"$work/serve.log" 2>&1 &
  server=$!
else
  # shellcheck disable=SC2086
  PSPCLINK_DIR="$work/channel" PSPCLINK_PING_INTERVAL_MS=1000 "$manager" serve --listen 127.0.0.1:0 $password \
    >"$work/manager.log" 2>&1 &
  manager_pid=$!
  await "connection manager" "$manager_pid" "$work/manager.log" port_in "$work/channel/call.port"
  call_port=$port
  first=$(($$ % 250))
  for try in $(seq 0 249); do
    "$pspcemu" serve "$image" --port 990 --address "127.0.3.$(((first + try) % 250 + 2))" \
      --call "127.0.0.1:$call_port" >"$work/serve.log" 2>&1 &
    server=$!
    until [ -f "$image/link.port" ] || ! kill -0 "$server" 2>/dev/null; do sleep 0.05; done
    [ -f "$image/link.port" ] && break
    # It ended: on to the next address when another test's device has this one.
    wait "$server" 2>/dev/null
    grep -q "in use" "$work/serve.log" || break
  done
fi
# The console socket is open before the link port file is written.
await emulator "$server" "$work/serve.log" port_in "$image/link.port"
link_port=$port

# The emulator's console is a Unix-domain socket in the image folder,
# and Winsock under Wine has no Unix-domain sockets: the Windows test programs
# cannot reach it. For them alone, socat relays a loopback TCP port to the
# socket. The relay belongs to this harness, not to the emulator (which opens
# no TCP port but the RAPI link), and lives only as long as this throwaway
# device. socat picks a free port and names it in its log.
socat -d -d TCP4-LISTEN:0,bind=127.0.0.1,fork "UNIX-CONNECT:$image/console.sock" 2>"$work/relay.log" &
relay=$!
await "control relay" "$relay" "$work/relay.log" relay_port
control_port=$port

if [ -n "$manager" ]; then
  export PSPCLINK_DIR="$work/channel"
  unset PSPC_RAPI_ENDPOINT
else
  export PSPC_RAPI_ENDPOINT="127.0.0.1:$link_port"
fi
export PSPC_EMULATOR_CONSOLE="127.0.0.1:$control_port"
export PSPC_EMULATOR_IMAGE="$image"
export PSPC_EMULATOR_LANGUAGE="$language"
export PSPC_EMULATOR_VERSION="$version"

if [ $direct -eq 1 ]; then
  "$@"
else
  "$runner" "$@"
fi
status=$?
if [ $status -ne 0 ] && [ -s "$work/serve.log" ]; then
  echo "--- emulator output ---" >&2
  tail -n 50 "$work/serve.log" >&2
fi
if [ $status -ne 0 ] && [ -n "$manager" ]; then
  echo "--- connection manager output ---" >&2
  tail -n 50 "$work/manager.log" >&2
fi
exit $status
