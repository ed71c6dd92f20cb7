#!/usr/bin/env bash
# Download benchmark: starts a private MariaDB, fills one tenant with 1,000
# terminals, 20,000 persons and 100,000 pending markers, and prints the median
# time per request of GET "sync" (plain and forced), DELETE "sync" and GET
# "person" through the worker beside a minimal client that sends the same
# statements, then the plan of every handler statement. Stops the server.
#
#   bench/bench_sync.sh                 200 requests per kind and side
#   ROUNDS=500 bench/bench_sync.sh
# KELVO_BUILD_DIR names another build folder (default: build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVO_BUILD_DIR:-$root/build}
rounds=${ROUNDS:-200}

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target bench_sync >/dev/null

dbdir=$(mktemp -d /tmp/kelvo-bench-sync.XXXXXX)
cleanup() {
  "$root/scripts/mariadb.sh" stop "$dbdir" || true
  rm -rf "$dbdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$("$root/scripts/mariadb.sh" start "$dbdir")
export KELVO_TEST_DB_HOST=127.0.0.1
export KELVO_TEST_DB_PORT=$port
echo "private MariaDB on 127.0.0.1:$port; $(nproc) cores; build $(basename "$build")"
"$build/bin/bench_sync" --rounds "$rounds" --explain
