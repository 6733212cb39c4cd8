#!/bin/sh
# Stands in for pppd under pspc-attach in the tests (PSPC_ATTACH_PPPD),
# where no PPP can run: called as pppd is ("file OPTIONS"), it reads the link's
# addresses from the options, has the emulated device (pspcemu serve
# $PSPC_STANDIN_IMAGE) call the desktop's address once from its own, as a
# strict device does the moment its link is up, and says what pppd says once
# the link is up: the device's call has been made by then, the worst order a
# real link can bring. It ends as pppd ends: SIGUSR1 is the device ending the
# link (status 0), SIGTERM stops it (5). Its process id is in
# $PSPC_STANDIN_WORK/standin.pid, the device's words in device.out there.
set -eu
options=$2
work=$PSPC_STANDIN_WORK
pair=$(grep -E '^[0-9.]+:[0-9.]+$' "$options")
desktop=${pair%%:*}
device=${pair#*:}
port=$(grep -v '^#' "$options" | sed -n 1p)
echo $$ >"$work/standin.pid"
ending=
trap 'ending=0' USR1
trap 'ending=5' TERM

oplog=$PSPC_STANDIN_IMAGE/oplog.jsonl
calls() { cat "$oplog" 2>/dev/null | grep -c '"op":"call' || true; }
before=$(calls)
"$PSPC_STANDIN_PSPCEMU" serve "$PSPC_STANDIN_IMAGE" --call "$desktop" --address "$device" --call-once \
  >"$work/device.out" 2>&1 &
emulator=$!
tries=0
while [ "$(calls)" = "$before" ]; do
  kill -0 $emulator 2>/dev/null || { echo "the emulated device ended" >&2; exit 1; }
  tries=$((tries + 1))
  [ $tries -lt 600 ] || { echo "the emulated device made no call within 60 s" >&2; exit 1; }
  sleep 0.1
done
echo "Serial connection established."
echo "Using interface ppp0"
echo "Connect: ppp0 <--> $port"
echo "local  IP address $desktop"
echo "remote IP address $device"

while [ -z "$ending" ]; do sleep 0.1; done
kill $emulator 2>/dev/null || true
wait $emulator 2>/dev/null || true
[ "$ending" -ne 0 ] || echo "LCP terminated by peer"
exit "$ending"
