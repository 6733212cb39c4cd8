#!/bin/sh
# Static checks over one build tree's sources, as its compile commands build
# them: cppcheck over every source (the product and its tests), clang-tidy with
# the repository's .clang-tidy over the product (emulator, connection manager,
# rapi.dll, setup.exe and the tools; the protocol headers through the files
# that include them) and over the tests' shared harness (tests/support).
#
#   scripts/static-checks.sh cppcheck   <build-dir>
#   scripts/static-checks.sh clang-tidy <build-dir>
#
# Both fail on any finding. A finding that is wrong is suppressed where it is,
# with a comment saying why (cppcheck-suppress / NOLINT), never here.
#
# clang-tidy takes seconds a file, so a clean result is remembered, keyed by
# everything of ours that decides it: the tool, its configuration and the
# compiler, the file's compile command (with the checkout's own folder taken
# out, so that a key is the same in every clone), and the file and every
# header of the project it includes (as the build recorded them; the
# system's headers by their paths, which carry the toolchain's version). The
# keys are remembered under <build-dir>/static-checks/, and the repository
# carries the keys of its own clean state in
# tests/static/clang-tidy-clean.<linux|windows>, so that a fresh clone checks
# nothing anew. Those carried keys are kept current by this check itself:
# when the tree's keys are not exactly the carried ones (a source changed and
# its new keys were not committed), it checks what changed, writes the keys
# of the now clean tree into that file and fails, saying so. The run that
# follows passes; commit the file with the change. `--record` writes them
# without failing.
set -eu
top=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd)
tool=${1:-}
build=${2:-}
record=no
[ "${3:-}" = --record ] && record=yes
if [ -z "$build" ] || [ ! -f "$build/compile_commands.json" ]; then
  echo "usage: static-checks.sh cppcheck|clang-tidy <build-dir with compile_commands.json> [--record]" >&2
  exit 2
fi
build=$(CDPATH= cd -- "$build" && pwd)
commands="$build/compile_commands.json"
jobs=${PSPC_STATIC_JOBS:-2}

# The project's own sources in this tree; GoogleTest's are not ours.
sources() {
  sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$commands" | grep "^$top/" | sort -u
}

windows=no
grep -q 'mingw32' "$commands" && windows=yes
tree=linux
[ $windows = yes ] && tree=windows

case "$tool" in
cppcheck)
  set -- --enable=warning,performance,portability --inline-suppr --error-exitcode=1 --quiet \
    --library=googletest -i /usr "-j$jobs"
  # MinGW's headers are not given to cppcheck; it knows the Win32 API from
  # its own library and checks the configuration the compiler builds.
  [ $windows = yes ] && set -- "$@" --library=windows -D_WIN32 -DWIN32 -D_WIN64 -U__linux__
  cppcheck --project="$commands" "$@"
  echo "cppcheck: no finding in $(sources | wc -l) files of $build"
  ;;
clang-tidy)
  cache="$build/static-checks/clang-tidy"
  known="$top/tests/static/clang-tidy-clean.$tree"
  keys="$build/static-checks/clang-tidy-keys.$tree"
  mkdir -p "$cache"
  rm -f "$keys"
  compiler=$(sed -n 's/^ *"command": "\([^ ]*\) .*/\1/p' "$commands" | head -n 1)
  common=$( { clang-tidy --version; "$compiler" --version; cat "$top/.clang-tidy"; } | sha256sum | cut -d' ' -f1)
  # clang parses for the MinGW target with MinGW's C++ library and Win32
  # headers; its own intrinsics stand in for GCC's.
  extra=""
  if [ $windows = yes ]; then
    extra="--extra-arg=--target=x86_64-w64-mingw32"
    for dir in $(echo | "$compiler" -E -x c++ - -v 2>&1 |
                 sed -n '/#include <...> search starts here/,/End of search list/s/^ \(\/.*\)/\1/p' |
                 grep -E '/include/c\+\+|/include$' | grep -v '/lib/gcc/[^/]*/[^/]*/include$'); do
      extra="$extra --extra-arg=-isystem$dir"
    done
  fi
  up=$(realpath --relative-to="$build" "$top")
  export top up build commands cache known keys common extra
  sources | grep -E "^$top/(emulator|pspclink|rapi|setup|tools|tests/support)/.*\.(c|cpp)\$" | xargs -r -P "$jobs" -n 1 sh -c '
    file=$1
    command=$(grep -F -B 1 "\"file\": \"$file\"" "$commands" | head -n 1)
    object=$(printf "%s\n" "$command" | sed -n "s/.* -o \([^ ]*\) .*/\1/p")
    # The file and the headers the compiler read for it, as the build
    # recorded them (paths relative to the build folder); without that
    # record the file is checked every time.
    deps=$(ninja -C "$build" -t deps "$object" 2>/dev/null | sed -n "s/^    //p")
    if [ -n "$deps" ]; then
      # The build records paths as the compiler was given them: absolute,
      # or relative to the build folder when ccache made them so.
      key=$( { echo "$common"; printf "%s\n" "$command" | sed "s|$top/|@top@/|g";
               echo "$deps" | sed "s|^$up/|@top@/|; s|^$top/|@top@/|";
               echo "$deps" | grep -v "^/" | (cd "$build" && xargs -r cat);
               echo "$deps" | grep "^$top/" | xargs -r cat; } | sha256sum | cut -d" " -f1)
      echo "$key" >>"$keys"
      [ -e "$cache/$key" ] && exit 0
      grep -qxF "$key" "$known" 2>/dev/null && exit 0
    else
      key=""
    fi
    if out=$(clang-tidy -p "$build" --quiet $extra "$file" 2>&1); then
      [ -z "$key" ] || touch "$cache/$key"
    else
      printf "%s\n" "$out" | grep -v "^[0-9]* warnings\{0,1\} generated" >&2
      exit 1
    fi' sh || { echo "clang-tidy: findings above (files of $build)" >&2; exit 1; }
  echo "clang-tidy: no finding in $(sources | grep -cE "^$top/(emulator|pspclink|rapi|setup|tools|tests/support)/.*\.(c|cpp)\$") files of $build"
  sort -u "$keys" -o "$keys"
  if ! cmp -s "$keys" "$known"; then
    cp "$keys" "$known"
    if [ $record = no ]; then
      echo "clang-tidy: the keys carried in $known were not this tree's (a source changed since they were" >&2
      echo "recorded); the tree is clean and its $(wc -l <"$known") keys are recorded there now: commit that file" >&2
      exit 1
    fi
  fi
  [ $record = no ] || echo "clang-tidy: $(wc -l <"$known") keys of clean files recorded in $known"
  ;;
*)
  echo "static-checks.sh: unknown check '$tool' (cppcheck or clang-tidy)" >&2
  exit 2
  ;;
esac
