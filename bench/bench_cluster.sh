#!/usr/bin/env bash
# Requests per second through HAProxy on the local Galera cluster of
# scripts/cluster.sh with 1, 2 and 3 hosts (each host on its own node), beside
# one host on a single plain MariaDB server, all in one run on this machine;
# then the cluster's three hosts with the nodes' causal waits switched off, and
# with them set per session only (init_connect), to show what they cost.
# Each run: wrk for DURATION seconds, CONNECTIONS connections, GET "sync" and
# POST "entrance" of 200 terminals picked at random. Beside each figure: the
# CPU time per request of the database servers, the hosts and HAProxy, and the
# certification conflicts (failed certifications plus aborted local writes).
#
#   bench/bench_cluster.sh                  5 s per run, 8 connections (about 2 min in all)
#   DURATION=10 CONNECTIONS=16 bench/bench_cluster.sh
# Starts the cluster when it is not running (and stops it again at the end).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVO_BUILD_DIR:-$root/build}
cluster=$root/.run/cluster
duration=${DURATION:-5}
connections=${CONNECTIONS:-8}
terminals=200
schema=kelvo_bench

"$root/scripts/deps.sh" wrk haproxy
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target kelvo-host kelvo kelvo-term >/dev/null

work=$(mktemp -d /tmp/kelvo-bench-cluster.XXXXXX)
started_cluster=
pids=()
cleanup() {
  for p in ${pids[@]+"${pids[@]}"}; do kill -TERM "$p" 2>/dev/null || true; done
  "$root/scripts/mariadb.sh" stop "$work/db" || true
  if [ -s "$cluster/ports/sql1" ]; then # the cluster's nodes as they were
    for n in 1 2 3; do node_sql "$n" -e "SET GLOBAL wsrep_sync_wait = $sync_wait_before, GLOBAL init_connect = ''" 2>/dev/null || true; done
  fi
  [ -n "$started_cluster" ] && "$root/scripts/cluster.sh" stop >/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port_of() { cat "$cluster/ports/$1"; }
node_sql() { local n=$1; shift; mariadb --no-defaults -h127.0.0.1 -P"$(port_of "sql$n")" -uroot "$@"; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

if ! "$root/scripts/cluster.sh" status >/dev/null 2>&1; then
  "$root/scripts/cluster.sh" start >/dev/null
  started_cluster=1
fi
sync_wait_before=$(node_sql 1 -N -e 'SELECT @@global.wsrep_sync_wait')

# The demo data and 200 more terminals in a tenant of the benchmark's own,
# on the server at PORT, registered in its information database INFO.
load_tenant() { # port info-db token
  "$root/scripts/tenant.sh" tenant "$1" "$2" "$schema" "$schema" benchpw "$3" --demo
  mariadb --no-defaults -h127.0.0.1 -P"$1" -uroot "$schema" -e "INSERT INTO term (tid, vornID, status, name, type)
    SELECT seq, 5000 + seq, 1, 'Bench', 'DSK' FROM seq_10_to_$((terminals + 9))"
}

# Plain server: one MariaDB, one host.
port=$("$root/scripts/mariadb.sh" start "$work/db")
"$root/scripts/tenant.sh" info "$port" bench_info
token=bench-$(date +%s)
load_tenant "$port" bench_info "$token"
load_tenant "$(port_of sql1)" kelvo_info "$token"

plain_host_port=$(free_port)
"$build/bin/kelvo-host" --listen "127.0.0.1:$plain_host_port" --threads 2 \
  --info-db "mysql://root@127.0.0.1:$port/bench_info" >"$work/plain-host.out" 2>"$work/plain-host.err" &
pids+=($!)
plain_host_pid=$!
for _ in $(seq 1 100); do grep -q '^listening on' "$work/plain-host.out" 2>/dev/null && break; sleep 0.1; done

# One HAProxy per set of hosts, as cluster.sh configures it (header case kept).
start_lb() { # name host-ports...
  local name=$1 lb_port
  shift
  lb_port=$(free_port)
  {
    printf 'global\n  maxconn 2000\n  h1-case-adjust pragma Pragma\n  h1-case-adjust content-type Content-type\n'
    printf 'defaults\n  mode http\n  timeout connect 2s\n  timeout client 30s\n  timeout server 30s\n'
    printf 'frontend f\n  bind 127.0.0.1:%s\n  default_backend b\nbackend b\n  balance roundrobin\n' "$lb_port"
    printf '  option h1-case-adjust-bogus-server\n'
    for p in "$@"; do printf '  server h%s 127.0.0.1:%s\n' "$p" "$p"; done
  } >"$work/$name.cfg"
  haproxy -D -f "$work/$name.cfg" -p "$work/$name.pid"
  pids+=("$(cat "$work/$name.pid")")
  echo "$lb_port"
}
lb_plain=$(start_lb plain "$plain_host_port")
lb1=$(start_lb one "$(port_of host1)")
lb2=$(start_lb two "$(port_of host1)" "$(port_of host2)")
lb3=$(start_lb three "$(port_of host1)" "$(port_of host2)" "$(port_of host3)")

# Requests spread over the 200 terminals; entrances with reference ids of their own.
hashes=$(for i in $(seq 10 $((terminals + 9))); do printf '"%s",' "$(printf '%s.%s' "$i" $((5000 + i)) | base64 | tr '+/=' '-_@')"; done)
cat >"$work/requests.lua" <<LUA
local hashes = { ${hashes%,} }
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("base", (os.time() % 1000) * 4000000 + threads * 1000000)
end
local n = 0
local method = "GET"
function init(args)
  method = args[1] or "GET"
end
function request()
  n = n + 1
  local term = hashes[math.random(#hashes)]
  if method == "POST" then
    local body = string.format('{"refId":%d,"uid":1,"iid":1,"type":"in"}', base + n)
    return wrk.format("POST", "/kelvo/entrance/" .. term, nil, body)
  end
  return wrk.format("GET", "/kelvo/sync/" .. term)
end
LUA

cpu_ms() { # pids... → their CPU time so far in ms
  local total=0 p
  for p in "$@"; do
    [ -r "/proc/$p/stat" ] && total=$((total + $(awk '{ print $14 + $15 }' "/proc/$p/stat")))
  done
  echo $((total * 1000 / $(getconf CLK_TCK)))
}
conflicts() {
  local total=0 n
  for n in 1 2 3; do
    total=$((total + $(node_sql "$n" -N -e "SELECT SUM(VARIABLE_VALUE) FROM information_schema.GLOBAL_STATUS
      WHERE VARIABLE_NAME IN ('WSREP_LOCAL_CERT_FAILURES', 'WSREP_LOCAL_BF_ABORTS')")))
  done
  echo "$total"
}
db_pids=("$(cat "$work/db/mariadbd.pid")" "$(cat "$cluster/node1/server.pid")" "$(cat "$cluster/node2/server.pid")" "$(cat "$cluster/node3/server.pid")")
host_pids=("$plain_host_pid" "$(cat "$cluster/host1.pid")" "$(cat "$cluster/host2.pid")" "$(cat "$cluster/host3.pid")")
lb_pids=("$(cat "$work/plain.pid")" "$(cat "$work/one.pid")" "$(cat "$work/two.pid")" "$(cat "$work/three.pid")")

printf '\n%-34s %8s %7s %7s %8s %6s | %-23s %9s\n' "run (${duration} s, c=$connections)" "req/s" "p50 ms" "p99 ms" \
  "requests" "errors" "CPU ms/request: db host lb" "conflicts"
run() { # label lb-port method
  local db0 host0 lb0 c0 args=()
  [ "$3" = POST ] && args=(-H "Content-type: application/json" -s "$work/requests.lua") || args=(-s "$work/requests.lua")
  db0=$(cpu_ms "${db_pids[@]}"); host0=$(cpu_ms "${host_pids[@]}"); lb0=$(cpu_ms "${lb_pids[@]}"); c0=$(conflicts)
  wrk -t2 -c"$connections" -d"${duration}s" --latency -H "Pragma: token = $token" ${args[@]+"${args[@]}"} \
    "http://127.0.0.1:$2/kelvo" -- "$3" >"$work/wrk.txt" 2>&1 || true
  awk -v label="$1" -v db=$(($(cpu_ms "${db_pids[@]}") - db0)) -v host=$(($(cpu_ms "${host_pids[@]}") - host0)) \
      -v lb=$(($(cpu_ms "${lb_pids[@]}") - lb0)) -v conflicts=$(($(conflicts) - c0)) '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /^ +50%/ { p50 = ms($2) } /^ +99%/ { p99 = ms($2) }
    /requests in/ { n = $1 } /Requests\/sec/ { rps = $2 } /Non-2xx/ { bad = $NF }
    END { d = n > 0 ? n : 1
          printf "%-34s %8.0f %7.2f %7.2f %8d %6d | %6.2f %6.2f %6.2f %9d\n", label, rps, p50, p99, n, bad, db / d, host / d, lb / d, conflicts }' \
    "$work/wrk.txt"
}
for method in GET POST; do
  what=$([ "$method" = GET ] && echo "GET sync" || echo "POST entrance")
  run "$what: plain server, 1 host" "$lb_plain" "$method"
  run "$what: cluster, 1 host" "$lb1" "$method"
  run "$what: cluster, 2 hosts" "$lb2" "$method"
  run "$what: cluster, 3 hosts" "$lb3" "$method"
done

# The cost of the causal waits: off, then per session of the tenant's users only.
for n in 1 2 3; do node_sql "$n" -e "SET GLOBAL wsrep_sync_wait = 0"; done
run "GET sync: 3 hosts, sync_wait 0" "$lb3" GET
run "POST entrance: 3 hosts, sync_wait 0" "$lb3" POST
for n in 1 2 3; do node_sql "$n" -e "SET GLOBAL init_connect = 'SET SESSION wsrep_sync_wait = 7'"; done
run "GET sync: 3 hosts, per session 7" "$lb3" GET
run "POST entrance: 3 hosts, per session 7" "$lb3" POST
for n in 1 2 3; do node_sql "$n" -e "SET GLOBAL wsrep_sync_wait = $sync_wait_before, GLOBAL init_connect = ''"; done
run "GET sync: 3 hosts, node-wide $sync_wait_before again" "$lb3" GET
echo
echo "nodes' wsrep_sync_wait during the cluster runs: $sync_wait_before unless the label says otherwise"
kill -0 "$plain_host_pid" 2>/dev/null || { echo "the plain server's host died" >&2; exit 1; }


# The causal wait alone: one session on node 2 runs the same statement 1,000
# times with the wait off and on, in turns (figures per statement).
statement_us() { # sync-wait statement
  local file=$work/statements.sql began
  { echo "SET SESSION wsrep_sync_wait = $1;"; for _ in $(seq 1 1000); do echo "$2;"; done; } >"$file"
  began=$(date +%s%N)
  node_sql 2 -N "$schema" <"$file" >/dev/null
  echo $((($(date +%s%N) - began) / 1000000))
}
echo
echo "one statement on node 2, 1,000 times, µs each (wait off / on, two turns):"
for s in "SELECT syn, status, flags FROM term WHERE tid = 1" "UPDATE term SET online = UNIX_TIMESTAMP() WHERE tid = 1"; do
  printf '  %-58s %5s / %5s   %5s / %5s\n' "$s" "$(statement_us 0 "$s")" "$(statement_us 7 "$s")" "$(statement_us 0 "$s")" "$(statement_us 7 "$s")"
done
node_sql 1 -e "DROP DATABASE $schema; DELETE FROM kelvo_info.\`schemas\` WHERE name = '$schema'; DROP USER '$schema'@'127.0.0.1'"
