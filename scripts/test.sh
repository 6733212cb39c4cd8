#!/bin/sh
# Every test of the project, from a clean clone: installs what is missing,
# builds the three builds (native, win64, win32) and runs one CTest over all of
# them. The win64 tests run under Wine; the win32 build is only checked.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh --packages-only

# The Wine prefix is made while the builds run (nothing runs Wine during them):
# Wine mostly waits meanwhile.
mkdir -p build
scripts/make-wineprefix.sh build/wineprefix >build/make-wineprefix.log 2>&1 &
prefix_maker=$!
for preset in native win64 win32; do
  echo "== building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
wait $prefix_maker || { cat build/make-wineprefix.log; echo "test: the Wine prefix could not be made" >&2; exit 1; }

# One CTest run, so one closing line, over the three build trees.
cat > build/CTestTestfile.cmake <<'CTEST'
subdirs("native")
subdirs("win64")
subdirs("win32")
CTEST

# A Wine server kept up for the whole run spares every test its start-up.
# Wine's own services are started here, away from CTest: started by a test,
# they would inherit its output pipe and CTest would wait on it for ever.
# One already kept up for this prefix (by a developer, say) serves as well.
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
if wineserver -p 2>/dev/null; then trap 'wineserver -k 2>/dev/null || true' EXIT; fi
scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1
ctest --test-dir build --output-on-failure -j 2 "$@"
