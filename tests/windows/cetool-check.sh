#!/bin/sh
# Runs cetool under Wine against the emulator that with-emulator.sh started,
# then checks on the device image itself that the file and the value arrived.
#   cetool-check.sh <pspcemu> <wine runner> <cetool.exe>
set -eu
pspcemu=$1
runner=$2
cetool=$3
image=${PSPC_EMULATOR_IMAGE:?run through with-emulator.sh}
work=$(mktemp -d "${TMPDIR:-/tmp}/cetool-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "cetool-check: $*" >&2
  exit 1
}

# A desktop file of a few 4096-byte chunks and an odd tail.
head -c 10000 /dev/urandom >"$work/source.bin"

"$runner" "$cetool" put "$work/source.bin" '\Windows\cetool.bin' || fail "cetool put failed"
"$pspcemu" cat "$image" '\Windows\cetool.bin' >"$work/copied.bin" || fail "pspcemu cat failed"
cmp "$work/source.bin" "$work/copied.bin" || fail "the copied file differs from its source"

"$runner" "$cetool" regset HKLM 'Software\CetoolCheck' Greeting 'hello device' || fail "cetool regset failed"
"$runner" "$cetool" regset HKCR '.cetool' - 'cetool.file' || fail "cetool regset of a default value failed"
"$pspcemu" reg "$image" >"$work/registry.txt" || fail "pspcemu reg failed"
grep -i 'CetoolCheck' "$work/registry.txt" >/dev/null || fail "the key is not in the registry: $(cat "$work/registry.txt")"
grep 'hello device' "$work/registry.txt" >/dev/null || fail "the value is not in the registry: $(cat "$work/registry.txt")"
grep 'cetool.file' "$work/registry.txt" >/dev/null || fail "the default value is not in the registry"

"$runner" "$cetool" ls '\Windows' >"$work/ls.txt" || fail "cetool ls failed"
grep -E '^ +10000  cetool\.bin\r?$' "$work/ls.txt" >/dev/null || fail "cetool ls does not show the file: $(cat "$work/ls.txt")"

# Failures: a clear message and a non-zero exit code.
if "$runner" "$cetool" put "$work/no-such-file" '\Windows\x.bin' 2>"$work/err.txt"; then fail "put of a missing file succeeded"; fi
grep -q 'cannot open' "$work/err.txt" || fail "no message for a missing desktop file: $(cat "$work/err.txt")"
if "$runner" "$cetool" ls '\No Such Folder' 2>"$work/err.txt"; then fail "ls of a missing folder succeeded"; fi
if "$runner" "$cetool" regset HKXX 'a' b c 2>"$work/err.txt"; then fail "regset with a bad root succeeded"; fi
grep -q 'unknown registry root' "$work/err.txt" || fail "no message for a bad root"
if "$runner" "$cetool" 2>"$work/err.txt"; then fail "no arguments succeeded"; fi
grep -q 'usage' "$work/err.txt" || fail "no usage message"
echo "cetool-check: put, regset and ls work against the emulator"
