#!/usr/bin/env bash
# End-to-end test on the local Galera cluster of scripts/cluster.sh (started
# here when it is not running, and stopped again at the end then). A tenant of
# its own is made for the run; kelvo-cluster-check (tests/cluster/) drives
# terminals through the three hosts, SQL producers through the three nodes and
# pairs of the same entrance through two hosts at once, stops node 3 a third
# into the run and starts it again, and checks every answer and marker. This
# script then checks that node 3 came back by incremental state transfer, that
# each stored entrance was announced once, and that the nodes hold the same rows.
#
#   scripts/cluster-test.sh               a 40 s run (about 1.5 min in all on a running cluster)
#   RUN_SECONDS=20 scripts/cluster-test.sh
# Loopback only; bounded in time (the check gives up after 5 min).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVO_BUILD_DIR:-$root/build}
dir=$root/.run/cluster
seconds=${RUN_SECONDS:-40}
schema=kelvo_ctest
began=$(date +%s)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target kelvo-cluster-check >/dev/null

started_here=
if ! "$root/scripts/cluster.sh" status >/dev/null 2>&1; then
  "$root/scripts/cluster.sh" start
  started_here=1
fi
finish() {
  [ -n "$started_here" ] && "$root/scripts/cluster.sh" stop >/dev/null || true
}
trap finish EXIT
trap 'exit 130' INT TERM

port() { cat "$dir/ports/$1"; }
sql() { mariadb --no-defaults -h127.0.0.1 -P"$(port sql1)" -uroot "$@"; }

# A fresh tenant and token for this run (the hosts cache a tenant by token).
token=ctest-$(date +%s)-$RANDOM
password=$(head -c 12 /dev/urandom | base64 | tr -dc 'A-Za-z0-9')
"$root/scripts/tenant.sh" tenant "$(port sql1)" kelvo_info "$schema" "$schema" "$password" "$token"

# Certification conflicts of the run: transactions that failed certification
# here, and local ones aborted for a write that won elsewhere.
conflicts() {
  local total=0 n v
  for n in 1 2 3; do
    v=$(mariadb --no-defaults -h127.0.0.1 -P"$(port sql$n)" -uroot -N -e "SELECT SUM(VARIABLE_VALUE) FROM
        information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN ('WSREP_LOCAL_CERT_FAILURES', 'WSREP_LOCAL_BF_ABORTS')")
    total=$((total + v))
  done
  echo "$total"
}
conflicts_before=$(conflicts)
# The nodes hand every certification failure to the client (also the
# restarted node 3): the worker's own retry must absorb them all.
export KELVO_CLUSTER_RETRY_AUTOCOMMIT=0
retry_before=$(sql -N -e 'SELECT @@global.wsrep_retry_autocommit')
nodes_set() { for n in 1 2 3; do mariadb --no-defaults -h127.0.0.1 -P"$(port sql$n)" -uroot -e "SET GLOBAL $1"; done; }
nodes_set "wsrep_retry_autocommit = 0"
log3=$dir/node3/error.log
log3_from=$(($(stat -c %s "$log3") + 1))
# The hosts' logs from here on: they name a token by its first 6 characters only.
host_logs_from=()
for n in 1 2 3; do host_logs_from+=($(($(stat -c %s "$dir/host$n.log") + 1))); done
status=0
timeout 300 "$build/bin/kelvo-cluster-check" --token "$token" --schema "$schema" --seconds "$seconds" \
  --cluster-script "$root/scripts/cluster.sh" \
  --host "http://127.0.0.1:$(port host1)/kelvo" --node "$(port sql1)" \
  --host "http://127.0.0.1:$(port host2)/kelvo" --node "$(port sql2)" \
  --host "http://127.0.0.1:$(port host3)/kelvo" --node "$(port sql3)" || status=1

nodes_set "wsrep_retry_autocommit = $retry_before"
fail() { echo "FAIL: $*"; status=1; }
# (node 3's counters start again from 0 when it restarts: a lower bound)
echo "certification conflicts during the run (all retried): at least $(($(conflicts) - conflicts_before))"
# Node 3 came back with the writes it missed, not with a full copy.
if tail -c +"$log3_from" "$log3" | grep -q 'IST received'; then
  echo "node 3 rejoined by incremental state transfer: $(tail -c +"$log3_from" "$log3" | grep -m1 -o 'IST received.*')"
else
  fail "node 3 did not rejoin by incremental state transfer (see $log3)"
fi

# Each stored entrance was announced once, by the host that stored it.
rows=$(sql -N "$schema" -e 'SELECT COUNT(*) FROM inters_data')
announced=$(for n in 1 2 3; do tail -c +"${host_logs_from[n - 1]}" "$dir/host$n.log"; done |
  grep -c "recordCreated tbl=inters_data .*token=${token:0:6}…" || true)
echo "entrances stored $rows, announced $announced"
[ "$rows" = "$announced" ] || fail "$rows entrances stored, $announced announced"

# The three nodes hold the same rows.
sums=()
for n in 1 2 3; do
  sums+=("$(mariadb --no-defaults -h127.0.0.1 -P"$(port sql$n)" -uroot -N "$schema" \
    -e 'SET SESSION wsrep_sync_wait = 1; SELECT COUNT(*) FROM term INTO @caught_up;
        CHECKSUM TABLE term, term_sync, people, people_term, inters_data' | cut -f2 | tr '\n' ' ')")
done
echo "table checksums: node 1 ${sums[0]}| node 2 ${sums[1]}| node 3 ${sums[2]}"
[ "${sums[0]}" = "${sums[1]}" ] && [ "${sums[1]}" = "${sums[2]}" ] || fail "the nodes differ"

[ "$status" = 0 ] && sql -e "DROP DATABASE $schema; DELETE FROM kelvo_info.\`schemas\` WHERE name = '$schema';
                             DROP USER '$schema'@'127.0.0.1';"
echo "cluster test $([ "$status" = 0 ] && echo passed || echo FAILED) in $(($(date +%s) - began)) s"
exit $status
