#!/usr/bin/env bash
# Load benchmark of kelvo-host on loopback: requests per second and latency
# percentiles of GET "sync" and POST "entrance" through the host (wrk), side
# by side with the same statements sent straight to MariaDB by
# kelvo-bench-direct (one connection per request, same concurrency), cheap
# requests (GET sync, a 404 that needs no worker) while one request is held on
# a row lock, beside the same runs with nothing held, and the host's memory
# before, between and after 100,000 requests.
#
#   bench/bench_host.sh                  10 s per run, 8 connections, 2 threads
#   DURATION=5 CONNECTIONS=16 THREADS=4 bench/bench_host.sh
# KELVO_BUILD_DIR names another build folder (default: build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVO_BUILD_DIR:-$root/build}
duration=${DURATION:-10}
connections=${CONNECTIONS:-8}
host_threads=${THREADS:-2}
total_requests=${TOTAL_REQUESTS:-100000}

"$root/scripts/deps.sh" wrk
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target kelvo-host kelvo kelvo-bench-direct >/dev/null

work=$(mktemp -d /tmp/kelvo-bench.XXXXXX)
host_pid=
cleanup() {
  [ -n "$host_pid" ] && kill -TERM "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null || true
  "$root/scripts/mariadb.sh" stop "$work/db" || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$("$root/scripts/mariadb.sh" start "$work/db")
sql() { mariadb --no-defaults -h127.0.0.1 -P"$port" -uroot "$@"; }
sql -e "CREATE DATABASE bench_info; CREATE DATABASE bench_tenant;
        CREATE USER 'bench'@'127.0.0.1' IDENTIFIED BY 'benchpw';
        GRANT ALL ON bench_tenant.* TO 'bench'@'127.0.0.1';"
sql bench_info <"$root/db/sql/info.sql"
sql bench_tenant <"$root/db/sql/tenant.sql"
sql bench_tenant <"$root/db/sql/demo.sql"
token=bench-token
sql bench_info -e "INSERT INTO \`schemas\` (token, name, user, pass) VALUES ('$token', 'bench_tenant', 'bench', '$(printf benchpw | base64)')"

"$build/bin/kelvo-host" --listen 127.0.0.1:0 --threads "$host_threads" \
  --info-db "mysql://root@127.0.0.1:$port/bench_info" >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
for _ in $(seq 1 100); do grep -q '^listening on' "$work/host.out" 2>/dev/null && break; sleep 0.1; done
address=$(sed -n 's/^listening on //p' "$work/host.out")
[ -n "$address" ] || { cat "$work/host.err" >&2; echo "kelvo-host did not start" >&2; exit 1; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$host_pid/status" 2>/dev/null || echo "(host gone)"; }

# Terminal 1 / Vorn ID 1001 of the demo data; its hash is the safe Base64 of "1.1001".
term_hash=MS4xMDAx
cat >"$work/entrance.lua" <<'LUA'
-- Every request a new entrance: a reference id of its own per thread and request.
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("base", (os.time() % 1000) * 4000000 + threads * 1000000)
end
local n = 0
function request()
  n = n + 1
  local body = string.format('{"refId":%d,"uid":1,"iid":1,"type":"in"}', base + n)
  return wrk.format("POST", nil, nil, body)
end
LUA

# wrk → "rps p50 p90 p99 requests non2xx" (latencies in ms).
run_wrk() { # path-under-/kelvo (or /PATH outside it) extra-args...
  local path=$1; shift
  case "$path" in /*) ;; *) path=/kelvo/$path ;; esac
  wrk -t2 -c"$connections" -d"${duration}s" --latency -H "Pragma: token = $token" "$@" "http://$address$path" >"$work/wrk.txt"
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /^ +50%/ { p50 = ms($2) } /^ +90%/ { p90 = ms($2) } /^ +99%/ { p99 = ms($2) }
    /requests in/ { n = $1 } /Requests\/sec/ { rps = $2 } /Non-2xx/ { bad = $NF }
    END { printf "%s %s %s %s %s %s\n", rps, p50, p90, p99, n, bad + 0 }' "$work/wrk.txt"
}
run_direct() { # sync|entrance → "rps p50 p90 p99 requests failures"
  "$build/bin/kelvo-bench-direct" "$1" 127.0.0.1 "$port" bench_tenant bench benchpw "$connections" "$duration" |
    awk '{ print $8, $10, $12, $14, $2, $4 }'
}

rss_start=$(rss)
plain_404=$(run_wrk "/nothere")
printf '\n%-22s %10s %9s %9s %9s %9s %7s\n' "run (${duration} s, c=$connections)" "req/s" "p50 ms" "p90 ms" "p99 ms" "requests" "errors"
report() { # label "rps p50 p90 p99 n bad"
  read -r rps p50 p90 p99 n bad <<<"$2"
  printf '%-22s %10s %9s %9s %9s %9s %7s\n' "$1" "$rps" "$p50" "$p90" "$p99" "$n" "$bad"
}
report "host 404" "$plain_404"
host_sync=$(run_wrk "sync/$term_hash");                           report "host GET sync" "$host_sync"
direct_sync=$(run_direct sync);                                   report "direct sync" "$direct_sync"
host_entr=$(run_wrk "entrance/$term_hash" -s "$work/entrance.lua" -H "Content-type: application/json"); report "host POST entrance" "$host_entr"
direct_entr=$(run_direct entrance);                               report "direct entrance" "$direct_entr"
rss_runs=$(rss)

# Cheap requests while a slow one runs: a client of the benchmark holds terminal 2's row, so
# that one GET sync of terminal 2 holds a worker (its UPDATE waits for the lock) for the runs.
sql bench_tenant -e "START TRANSACTION; SELECT tid FROM term WHERE tid = 2 FOR UPDATE;
                     SELECT SLEEP($((duration * 2 + 10)))" >/dev/null &
lock_pid=$!
for _ in $(seq 1 50); do
  [ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE trx_mysql_thread_id <> CONNECTION_ID()")" -ge 1 ] && break
  sleep 0.2
done
# Terminal 2 / Vorn ID 1002: "2.1002".
curl -s -o /dev/null -m $((duration * 2 + 20)) -H "Pragma: token = $token" "http://$address/kelvo/sync/Mi4xMDAy" &
slow_pid=$!
for _ in $(seq 1 50); do
  [ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE trx_state = 'LOCK WAIT'")" -ge 1 ] && break
  sleep 0.2
done
held_sync=$(run_wrk "sync/$term_hash");                           report "GET sync, 1 held" "$held_sync"
held_404=$(run_wrk "/nothere");                                   report "404, 1 held" "$held_404"
kill "$lock_pid" 2>/dev/null || true
wait "$slow_pid" 2>/dev/null || true

ratio() { awk -v a="${1%% *}" -v b="${2%% *}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo
echo "host/direct throughput: sync $(ratio "$host_sync" "$direct_sync"), entrance $(ratio "$host_entr" "$direct_entr")"

# Memory over a long run: keep-alive GET sync until $total_requests were served (bounded to 20 rounds).
served=0
rounds=0
while [ "$served" -lt "$total_requests" ] && [ "$rounds" -lt 20 ]; do
  served=$((served + $(run_wrk "sync/$term_hash" | awk '{ print $5 }')))
  rounds=$((rounds + 1))
  [ "$served" -ge 20000 ] && [ -z "${rss_20k:-}" ] && rss_20k=$(rss)
done
sleep 2 # one sweep of released connections
rss_end=$(rss)
echo "host RSS: start ${rss_start} kB, after the runs ${rss_runs} kB, after ~20k more ${rss_20k:-?} kB, after $served more requests ${rss_end} kB"
kill -0 "$host_pid" 2>/dev/null || { echo "kelvo-host died:" >&2; tail -n 5 "$work/host.err" >&2; exit 1; }
echo "entrances announced: $(grep -c 'recordCreated tbl=inters_data' "$work/host.err" || true)"
