#!/usr/bin/env bash
# The test command: installs what is missing, builds, starts a private MariaDB
# server in a temporary folder on a free loopback port, runs the whole suite
# with ctest, then builds again with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the suite under them. The server is
# stopped on every way out.
#
#   scripts/test.sh              both runs (what CI does)
#   scripts/test.sh --plain      the ordinary build only
#   scripts/test.sh --sanitize   the sanitizer build only
#   extra arguments after -- go to ctest (e.g. -- -R tst_codec)
# KELVO_BUILD_DIR names another build folder (default: build, build-asan).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${KELVO_BUILD_DIR:-$root/build}
runs=(plain sanitize)
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --plain) runs=(plain) ;;
    --sanitize) runs=(sanitize) ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

"$root/scripts/deps.sh" clang-format

# Every C++ file as the repository's .clang-format writes it.
unformatted=$(cd "$root" && git ls-files -- '*.cpp' '*.h' 2>/dev/null |
  while read -r f; do clang-format --style=file "$f" | cmp -s - "$f" || echo "$f"; done)
if [ -n "$unformatted" ]; then
  echo "not formatted with .clang-format (run clang-format -i --style=file on them):" >&2
  echo "$unformatted" >&2
  exit 1
fi

jobs=$(nproc 2>/dev/null || echo 2)

build() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

dbdir=$(mktemp -d /tmp/kelvo-testdb.XXXXXX)
cleanup() {
  "$root/scripts/mariadb.sh" stop "$dbdir" || true
  rm -rf "$dbdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for run in "${runs[@]}"; do
  if [ "$run" = plain ]; then
    build "$build_dir"
  else
    build "$build_dir-asan" -DKELVO_SANITIZE=ON
  fi
done

port=$("$root/scripts/mariadb.sh" start "$dbdir")
export KELVO_TEST_DB_HOST=127.0.0.1
export KELVO_TEST_DB_PORT=$port
echo "test MariaDB server on 127.0.0.1:$port ($dbdir)"

status=0
for run in "${runs[@]}"; do
  if [ "$run" = plain ]; then
    echo "== tests"
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" ${ctest_args[@]+"${ctest_args[@]}"} || status=1
  else
    echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
    ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir "$build_dir-asan" --output-on-failure -j "$jobs" ${ctest_args[@]+"${ctest_args[@]}"} || status=1
  fi
done
exit $status
