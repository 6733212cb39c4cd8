#!/bin/sh
# The benchmark: builds what it needs and prints every figure side by side in
# one run (the table of docs/performance.md). Arguments go to pspc-bench, e.g.
#   scripts/bench.sh --sections link,rapi      only those parts
#   scripts/bench.sh --quick                   smaller sizes, for a quick look
# The emulator and pspc-bench come from the native-release preset (optimised,
# no sanitizers); setup.exe, rapi.dll, uidriver.exe and the Windows benchmark
# programs from the win64 preset. Wine runs in a prefix of the benchmark's own,
# so that a test run on the same machine neither disturbs it nor is disturbed.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset native-release >/dev/null
cmake --build --preset native-release --parallel 2 --target pspc-bench pspclink
cmake --preset win64 >/dev/null
cmake --build --preset win64 --parallel 2 --target bench_link bench_rapi bench_attach setup rapi_dll uidriver

export PSPC_WINEPREFIX="$PWD/build/wineprefix-bench"
export WINEPREFIX="$PSPC_WINEPREFIX" WINEDEBUG=-all
scripts/make-wineprefix.sh "$PSPC_WINEPREFIX"
# One Wine server for the whole run (unless one already serves this prefix),
# and Wine's own services started before anything is timed: no figure pays
# for Wine starting up.
if wineserver -p 2>/dev/null; then trap 'wineserver -k 2>/dev/null || true' EXIT; fi
scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1
build/native-release/bin/pspc-bench "$@"
