#!/usr/bin/env bash
# Throughput of kelvo-host on one large tenant (bench/dataset.sql: 1,000
# terminals, 20,000 persons, 100,000 pending markers, 200,000 entrances),
# beside the limit that the design sets, all measured in the same run.
#
# Requests: GET sync with 100 pending markers, GET sync fs with 200 persons,
# POST entrance with a safe Base64 body. Each is measured four ways, in
# interleaved rounds so that drift and noise fall on all of them alike:
#   host            kelvo-host as shipped: one connection per request
#   host kept       kelvo-host --keep-connections (connections kept open)
#   limit           the same statements (captured from the server's query
#                   log) sent straight to MariaDB, a new connection per request
#   limit kept      the same, one connection per client thread kept open
# and the medians of the rounds are printed with the ratios host/limit.
# Then cheap requests (GET sync, a 404 that needs no worker, a request a
# worker answers without a database) are measured, also while one request
# is held on a row lock; from the one without a database, the best ratio
# the host could reach on this machine is printed beside each measured one;
# and each host serves TOTAL_REQUESTS more requests with its memory printed
# before and after.
#
#   bench/bench_host.sh
#   DURATION=5 ROUNDS=3 CONNECTIONS=8 THREADS=4 KEEP=4 bench/bench_host.sh
# KELVO_BUILD_DIR names another build folder (default: build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVO_BUILD_DIR:-$root/build}
duration=${DURATION:-5}
rounds=${ROUNDS:-3}
connections=${CONNECTIONS:-8}
host_threads=${THREADS:-4}
keep=${KEEP:-4}
total_requests=${TOTAL_REQUESTS:-100000}

"$root/scripts/deps.sh" wrk curl
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target kelvo-host kelvo kelvo-term kelvo-bench-direct >/dev/null

work=$(mktemp -d /tmp/kelvo-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  "$root/scripts/mariadb.sh" stop "$work/db" || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$("$root/scripts/mariadb.sh" start "$work/db")
sql() { mariadb --no-defaults -h127.0.0.1 -P"$port" -uroot "$@"; }
token=bench-token
"$root/scripts/tenant.sh" info "$port" bench_info
"$root/scripts/tenant.sh" tenant "$port" bench_info bench_tenant bench benchpw "$token"
echo "loading the data set ..."
sql bench_tenant <"$root/bench/dataset.sql" >/dev/null

start_host() { # name extra-args... → address in $work/name.address
  local name=$1; shift
  "$build/bin/kelvo-host" --listen 127.0.0.1:0 --threads "$host_threads" \
    --info-db "mysql://root@127.0.0.1:$port/bench_info" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  echo $! >"$work/$name.pid"
  for _ in $(seq 1 100); do grep -q '^listening on' "$work/$name.out" 2>/dev/null && break; sleep 0.1; done
  sed -n 's/^listening on //p' "$work/$name.out" >"$work/$name.address"
  [ -s "$work/$name.address" ] || { cat "$work/$name.err" >&2; echo "kelvo-host ($name) did not start" >&2; exit 1; }
}
start_host plain
start_host kept --keep-connections "$keep"
rss() { awk '/^VmRSS/ {print $2}' "/proc/$(cat "$work/$1.pid")/status" 2>/dev/null || echo "(gone)"; }

hash() { printf '%s' "$1" | base64 | tr '+/=' '-_@'; }
sync_path="sync/$(hash 1.100001)"
forced_path="sync/$(hash 2.100002)/fs"
entrance_tid=3
entrance_path="entrance/$(hash $entrance_tid.10000$entrance_tid)"

# The statements one request sends, from the server's query log; the
# connection's character-set set-up is the limit client's own.
capture() { # name kelvo-term-args...
  local name=$1; shift
  sql -e "SET GLOBAL log_output = 'TABLE'; TRUNCATE mysql.general_log; SET GLOBAL general_log = 1;"
  "$build/bin/kelvo-term" --url "http://$(cat "$work/plain.address")/kelvo" --token "$token" "$@" >/dev/null
  sql -e "SET GLOBAL general_log = 0;"
  sql -N --raw -e "SELECT argument FROM mysql.general_log WHERE command_type = 'Query' AND user_host LIKE 'bench%'
                   AND argument NOT LIKE 'SET NAMES%' ORDER BY event_time" >"$work/$name.sql"
}
capture sync sync 1.100001
capture forced sync 2.100002 --force
capture entrance entrance $entrance_tid.10000$entrance_tid refId=999999999 uid=1 iid=1 type=in
sed -i -E 's/999999999/{refId}/g; s/(created|date)="[0-9]+"/\1="{now}"/g' "$work/entrance.sql"

cat >"$work/entrance.lua" <<'LUA'
-- Every request a new entrance, its body safe Base64 as terminals send it.
local alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
local function digit(n) return alphabet:sub(n + 1, n + 1) end
local function safe64(s)
  local out = {}
  for i = 1, #s, 3 do
    local a, b, c = s:byte(i, i + 2)
    local n = a * 65536 + (b or 0) * 256 + (c or 0)
    out[#out + 1] = digit(math.floor(n / 262144) % 64) .. digit(math.floor(n / 4096) % 64)
      .. (b and digit(math.floor(n / 64) % 64) or "@") .. (c and digit(n % 64) or "@")
  end
  return table.concat(out)
end
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("base", (os.time() % 1000) * 4000000 + threads * 1000000 + 1000)
end
local n = 0
function request()
  n = n + 1
  return wrk.format("POST", nil, nil, safe64(string.format('{"refId":%d,"uid":1,"iid":1,"type":"in"}', base + n)))
end
LUA

# One run → "rps p50 p90 p99 requests errors" (latencies in ms).
run_host() { # host path-under-/kelvo (or /PATH outside it) [wrk args]
  local address
  address=$(cat "$work/$1.address")
  local path=$2; shift 2
  case "$path" in /*) ;; *) path=/kelvo/$path ;; esac
  wrk -t2 -c"$connections" -d"${duration}s" --latency -H "Pragma: token = $token" "$@" "http://$address$path" >"$work/wrk.txt"
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /^ +50%/ { p50 = ms($2) } /^ +90%/ { p90 = ms($2) } /^ +99%/ { p99 = ms($2) }
    /requests in/ { n = $1 } /Requests\/sec/ { rps = $2 } /Non-2xx/ { bad = $NF }
    END { printf "%s %s %s %s %s %s\n", rps, p50, p90, p99, n, bad + 0 }' "$work/wrk.txt"
}
run_limit() { # fresh|kept statements
  "$build/bin/kelvo-bench-direct" "$1" "$work/$2.sql" 127.0.0.1 "$port" bench_tenant bench benchpw "$connections" "$duration" |
    awk '{ print $8, $10, $12, $14, $2, $4 }'
}

printf '\n%-9s %-11s %5s %10s %8s %8s %8s %8s %6s\n' request side round req/s p50_ms p90_ms p99_ms requests errors
for round in $(seq 1 "$rounds"); do
  for request in sync forced entrance; do
    case $request in
      sync) path=$sync_path; extra=() ;;
      forced) path=$forced_path; extra=() ;;
      entrance) path=$entrance_path; extra=(-s "$work/entrance.lua") ;;
    esac
    for side in host kept limit limit-kept; do
      case $side in
        host) figures=$(run_host plain "$path" ${extra[@]+"${extra[@]}"}) ;;
        kept) figures=$(run_host kept "$path" ${extra[@]+"${extra[@]}"}) ;;
        limit) figures=$(run_limit fresh "$request") ;;
        limit-kept) figures=$(run_limit kept "$request") ;;
      esac
      echo "$request $side $round $figures" >>"$work/figures"
      printf '%-9s %-11s %5s %10s %8s %8s %8s %8s %6s\n' $request $side $round $figures
    done
  done
done

echo
echo "medians of $rounds rounds (${duration} s each, $connections connections, host --threads $host_threads, --keep-connections $keep):"
awk -v medians="$work/medians" '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { rps[$1 " " $2] = rps[$1 " " $2] " " $4; p99[$1 " " $2] = p99[$1 " " $2] " " $7; err[$1] += $9 }
  END {
    printf "%-9s %10s %10s %12s %12s %10s %12s %9s %9s %7s\n", "request", "host", "limit", "host/limit", "host kept",
      "limit kept", "kept/limit", "p99 host", "p99 lim", "errors"
    split("sync forced entrance", order, " ")
    for (k = 1; k <= 3; k++) {
      r = order[k]
      h = median(rps[r " host"]); l = median(rps[r " limit"]); hk = median(rps[r " kept"]); lk = median(rps[r " limit-kept"])
      printf "%-9s %10.0f %10.0f %12.2f %12.0f %10.0f %12.2f %9.2f %9.2f %7d\n", r, h, l, h / l, hk, lk, hk / lk,
        median(p99[r " host"]), median(p99[r " limit"]), err[r]
      print r, h, l, hk, lk > medians
    }
  }' "$work/figures"

# Cheap requests while a slow one runs: a client of the benchmark holds terminal 4's row, so that
# one GET sync of terminal 4 holds a worker (its UPDATE waits for the lock) during the runs.
echo
printf '%-28s %10s %8s %8s %8s %8s %6s\n' "run (plain host)" req/s p50_ms p90_ms p99_ms requests errors
printf '%-28s %10s %8s %8s %8s %8s %6s\n' "404, nothing held" $(run_host plain /nothere)
# The host's ceiling for any plug-in request on this machine: the queue, a
# worker and its answer, without a database ("Bad path", 400; all counted as errors).
no_database=$(run_host plain /kelvo/x)
printf '%-28s %10s %8s %8s %8s %8s %6s\n' "worker, no database" $no_database
printf '%-28s %10s %8s %8s %8s %8s %6s\n' "GET sync, nothing held" $(run_host plain "$sync_path")
sql bench_tenant -e "START TRANSACTION; SELECT tid FROM term WHERE tid = 4 FOR UPDATE;
                     SELECT SLEEP($((duration * 2 + 10)))" >/dev/null &
lock_pid=$!
for _ in $(seq 1 50); do
  [ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE trx_mysql_thread_id <> CONNECTION_ID()")" -ge 1 ] && break
  sleep 0.2
done
curl -s -o /dev/null -m $((duration * 2 + 20)) -H "Pragma: token = $token" \
  "http://$(cat "$work/plain.address")/kelvo/sync/$(hash 4.100004)" &
slow_pid=$!
for _ in $(seq 1 50); do
  [ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE trx_state = 'LOCK WAIT'")" -ge 1 ] && break
  sleep 0.2
done
printf '%-28s %10s %8s %8s %8s %8s %6s\n' "404, 1 request held" $(run_host plain /nothere)
printf '%-28s %10s %8s %8s %8s %8s %6s\n' "GET sync, 1 request held" $(run_host plain "$sync_path")
kill "$lock_pid" 2>/dev/null || true
wait "$slow_pid" 2>/dev/null || true

# The best ratio the host can reach here: wrk, the host and MariaDB share the
# cores, so a request through the host costs at least what the limit's
# request costs plus what wrk and the host spend on one that needs no
# database, i.e. host/limit <= N / (N + L) with N and L in req/s.
echo
echo "best ratio reachable on this machine (worker without database: ${no_database%% *} req/s):"
awk -v n="${no_database%% *}" '
  BEGIN { printf "%-9s %12s %12s %12s %12s\n", "request", "host/limit", "at most", "kept/limit", "at most" }
  { printf "%-9s %12.2f %12.2f %12.2f %12.2f\n", $1, $2 / $3, n / (n + $3), $4 / $5, n / (n + $5) }' "$work/medians"

echo
# Memory over a long run: keep-alive GET sync until $total_requests were served (at most 40 runs).
for name in plain kept; do
  before=$(rss $name)
  served=0
  runs=0
  while [ "$served" -lt "$total_requests" ] && [ "$runs" -lt 40 ]; do
    served=$((served + $(run_host $name "$sync_path" | awk '{ print $5 }')))
    runs=$((runs + 1))
  done
  sleep 2 # one sweep of released connections
  echo "host ($name) RSS: ${before} kB before, $(rss $name) kB after $served more requests"
  kill -0 "$(cat "$work/$name.pid")" 2>/dev/null || { echo "kelvo-host ($name) died:" >&2; tail -n 5 "$work/$name.err" >&2; exit 1; }
done
