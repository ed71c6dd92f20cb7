#!/usr/bin/env bash
# A three-node Galera cluster on loopback with one kelvo-host per node and
# HAProxy in front of the hosts, all under .run/cluster (data folders, ports,
# state transfer addresses, logs, passwords). The information database and the
# demo tenant are loaded once, through the first node, by
# scripts/tenant.sh demo, exactly as scripts/run.sh loads them.
#
#   scripts/cluster.sh start           build, start what is not running, print the URL and the token
#   scripts/cluster.sh stop            stop HAProxy, the hosts and the nodes (last node stops last)
#   scripts/cluster.sh status          each node's wsrep state, each host's health
#   scripts/cluster.sh stop-node N     stop node N (1..3) alone; its host stays and answers errors
#   scripts/cluster.sh start-node N    start node N again; it rejoins by incremental state transfer
# KELVO_CLUSTER_LISTEN names HAProxy's address (default 127.0.0.1:8090),
# KELVO_CLUSTER_SYNC_WAIT the nodes' wsrep_sync_wait (default 7: reads,
# updates, deletes and inserts wait until the node has applied every write
# the cluster committed before they began), KELVO_CLUSTER_RETRY_AUTOCOMMIT how
# often a node itself runs again an autocommit statement that failed
# certification (default 1), KELVO_BUILD_DIR the build folder.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVO_BUILD_DIR:-$root/build}
dir=$root/.run/cluster
listen=${KELVO_CLUSTER_LISTEN:-127.0.0.1:8090}
sync_wait=${KELVO_CLUSTER_SYNC_WAIT:-7}
nodes=(1 2 3)
# As root the servers run as mysql: the state transfer's rsync daemon would
# otherwise drop to nobody and could not write the joiner's files.
server_user=$(id -un)
[ "$(id -u)" = 0 ] && id mysql >/dev/null 2>&1 && server_user=mysql
info_db=kelvo_info

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# A port of ours, chosen once and kept in .run/cluster/ports/NAME.
port_of() {
  local file=$dir/ports/$1
  [ -s "$file" ] || { mkdir -p "$dir/ports"; free_port >"$file"; }
  cat "$file"
}
sql_on() { # node, then mariadb arguments
  local n=$1
  shift
  mariadb --no-defaults -h127.0.0.1 -P"$(port_of "sql$n")" -uroot --connect-timeout=2 "$@"
}
alive() { [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }
wsrep() { sql_on "$1" -N -e "SHOW STATUS LIKE '$2'" 2>/dev/null | cut -f2; }

write_config() {
  local n=$1 peers=
  for m in "${nodes[@]}"; do peers+="${peers:+,}127.0.0.1:$(port_of "galera$m")"; done
  mkdir -p "$dir/node$n"
  # Buffers sized for a 2-core machine that runs three servers; durability
  # comes from the other nodes, so the log is flushed once a second.
  cat >"$dir/node$n/my.cnf" <<EOF
[mariadbd]
datadir=$dir/node$n/data
socket=$dir/node$n/mariadbd.sock
pid-file=$dir/node$n/mariadbd.pid
log-error=$dir/node$n/error.log
port=$(port_of "sql$n")
bind-address=127.0.0.1
user=$server_user
skip-name-resolve
max-connections=500
innodb-buffer-pool-size=64M
innodb-log-file-size=32M
innodb-flush-log-at-trx-commit=2
binlog-format=ROW
default-storage-engine=InnoDB
innodb-autoinc-lock-mode=2
wsrep-on=ON
wsrep-provider=/usr/lib/galera/libgalera_smm.so
wsrep-cluster-name=kelvo
wsrep-cluster-address=gcomm://$peers
wsrep-node-name=node$n
wsrep-node-address=127.0.0.1:$(port_of "galera$n")
wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:$(port_of "galera$n");ist.recv_addr=127.0.0.1:$(port_of "ist$n");gcache.size=64M"
wsrep-sst-method=rsync
wsrep-sst-receive-address=127.0.0.1:$(port_of "sst$n")
wsrep-auto-increment-control=ON
wsrep-sync-wait=$sync_wait
wsrep-retry-autocommit=${KELVO_CLUSTER_RETRY_AUTOCOMMIT:-1}
EOF
}

# Waits until node n is Synced (a joiner first receives the state).
wait_synced() {
  local n=$1
  for _ in $(seq 1 600); do
    [ "$(wsrep "$n" wsrep_local_state_comment)" = Synced ] && return 0
    alive "$dir/node$n/server.pid" ||
      { echo "node $n ended; see $dir/node$n/error.log" >&2; tail -n 20 "$dir/node$n/error.log" >&2; return 1; }
    sleep 0.2
  done
  echo "node $n did not reach Synced within 120 s; see $dir/node$n/error.log" >&2
  return 1
}

start_node() { # n [bootstrap]
  local n=$1 extra=()
  alive "$dir/node$n/server.pid" && return 0
  write_config "$n"
  if [ ! -d "$dir/node$n/data/mysql" ]; then
    mkdir -p "$dir/node$n/data"
    chown -R "$server_user:" "$dir/node$n"
    mariadb-install-db --no-defaults --datadir="$dir/node$n/data" --user="$server_user" \
      --auth-root-authentication-method=normal --skip-test-db >"$dir/node$n/install.log" 2>&1 ||
      { cat "$dir/node$n/install.log" >&2; return 1; }
  fi
  [ "${2:-}" = bootstrap ] && extra=(--wsrep-new-cluster)
  echo "== node $n on 127.0.0.1:$(port_of "sql$n")${extra:+ (new cluster)}"
  setsid mariadbd --defaults-file="$dir/node$n/my.cnf" ${extra[@]+"${extra[@]}"} >/dev/null 2>&1 </dev/null &
  echo $! >"$dir/node$n/server.pid"
  wait_synced "$n"
}

stop_node() {
  local n=$1 pid
  alive "$dir/node$n/server.pid" || return 0
  pid=$(cat "$dir/node$n/server.pid")
  echo "== stopping node $n"
  kill "$pid"
  for _ in $(seq 1 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && { echo "node $n does not stop (pid $pid)" >&2; return 1; }
  rm -f "$dir/node$n/server.pid"
}

# The node to start a new cluster from: the one that stopped last (Galera
# marks it safe_to_bootstrap); after a crash of all three, node 1.
bootstrap_node() {
  for n in "${nodes[@]}"; do
    grep -qs '^safe_to_bootstrap: 1' "$dir/node$n/data/grastate.dat" && { echo "$n"; return; }
  done
  [ -f "$dir/node1/data/grastate.dat" ] && sed -i 's/^safe_to_bootstrap: 0/safe_to_bootstrap: 1/' "$dir/node1/data/grastate.dat"
  echo 1
}

start_host() {
  local n=$1 log=$dir/host$n.log
  alive "$dir/host$n.pid" && return 0
  local address=127.0.0.1:$(port_of "host$n")
  # Emptied here, not only by the host's own redirection: the wait below must
  # not read the line of the host before, should it run before the redirection.
  : >"$dir/host$n.out"
  setsid "$build/bin/kelvo-host" --listen "$address" --threads 2 \
    --info-db "mysql://kelvo_host:$(cat "$dir/host.password")@127.0.0.1:$(port_of "sql$n")/$info_db" \
    >"$dir/host$n.out" 2>>"$log" </dev/null &
  echo $! >"$dir/host$n.pid"
  # A loaded machine may take its time: up to 2 minutes.
  for _ in $(seq 1 1200); do grep -q '^listening on' "$dir/host$n.out" 2>/dev/null && break; sleep 0.1; done
  grep -q '^listening on' "$dir/host$n.out" || { tail -n 5 "$log" >&2; echo "host $n did not start" >&2; return 1; }
  echo "== host $n on http://$address/kelvo (node $n)"
}

write_haproxy() {
  local token hash
  token=$(cat "$dir/demo.token")
  hash=$(printf 1.1001 | base64 | tr '+/=' '-_@') # the demo's terminal 1
  # A host is in service while it answers a read of the demo terminal's
  # interruption types with 200: that needs the host, its node and the tenant.
  # HAProxy writes header names in lower case; the worker finds the token and
  # the content type by the names as terminals write them.
  cat >"$dir/haproxy.cfg" <<EOF
global
  maxconn 2000
  pidfile $dir/haproxy.pid
  h1-case-adjust pragma Pragma
  h1-case-adjust content-type Content-type
defaults
  mode http
  timeout connect 2s
  timeout client 30s
  timeout server 30s
  option http-keep-alive
  retries 2
  option redispatch
frontend kelvo
  bind $listen
  default_backend hosts
backend hosts
  balance roundrobin
  option h1-case-adjust-bogus-server
  option httpchk
  http-check send meth GET uri /kelvo/inters/$hash hdr Pragma "token = $token"
  http-check expect status 200
  default-server inter 1s fall 2 rise 2
EOF
  for n in "${nodes[@]}"; do
    echo "  server host$n 127.0.0.1:$(port_of "host$n") check" >>"$dir/haproxy.cfg"
  done
}

start_all() {
  "$root/scripts/deps.sh" galera-4 rsync haproxy
  echo "== building in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 2 --target kelvo-host kelvo-term kelvo >/dev/null
  mkdir -p "$dir"
  chmod 711 "$dir" # the servers' user passes through to its node folders
  local first running=
  for n in "${nodes[@]}"; do alive "$dir/node$n/server.pid" && running=$n; done
  if [ -n "$running" ]; then
    first=$running
  else
    first=$(bootstrap_node)
    start_node "$first" bootstrap
  fi
  for n in "${nodes[@]}"; do [ "$n" = "$first" ] || start_node "$n"; done
  "$root/scripts/tenant.sh" demo "$dir" "$(port_of "sql$first")"
  for n in "${nodes[@]}"; do start_host "$n"; done
  if ! alive "$dir/haproxy.pid"; then
    write_haproxy
    haproxy -D -f "$dir/haproxy.cfg" || { echo "HAProxy did not start on $listen" >&2; return 1; }
  fi
  local url=http://$listen/kelvo
  echo "$url" >"$dir/url"
  cat <<EOT

The cluster serves the demo tenant through HAProxy on $url
  token: $(cat "$dir/demo.token")
  export KELVO_URL=$url KELVO_TOKEN=$(cat "$dir/demo.token")
  $build/bin/kelvo-term sync 1.1001 --force
scripts/cluster.sh status    nodes and hosts;  scripts/cluster.sh stop    stops everything
EOT
}

stop_pidfile() {
  local file=$1 pid
  alive "$file" || { rm -f "$file"; return 0; }
  pid=$(cat "$file")
  kill -TERM "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  rm -f "$file"
}

stop_all() {
  stop_pidfile "$dir/haproxy.pid"
  for n in "${nodes[@]}"; do stop_pidfile "$dir/host$n.pid"; done
  # One after the other, so that the last one may start the cluster again.
  for n in 3 2 1; do stop_node "$n"; done
  echo "== stopped"
}

status() {
  local rc=0 token
  token=$(cat "$dir/demo.token" 2>/dev/null || true)
  for n in "${nodes[@]}"; do
    if alive "$dir/node$n/server.pid"; then
      printf 'node %s  127.0.0.1:%s  %s, cluster size %s, ready %s, sync_wait %s\n' "$n" "$(port_of "sql$n")" \
        "$(wsrep "$n" wsrep_local_state_comment)" "$(wsrep "$n" wsrep_cluster_size)" "$(wsrep "$n" wsrep_ready)" \
        "$(sql_on "$n" -N -e 'SELECT @@global.wsrep_sync_wait' 2>/dev/null)"
    else
      printf 'node %s  stopped\n' "$n"; rc=1
    fi
  done
  for n in "${nodes[@]}"; do
    local url=http://127.0.0.1:$(port_of "host$n")/kelvo answer
    if alive "$dir/host$n.pid"; then
      answer=$("$build/bin/kelvo-term" --url "$url" --token "$token" --timeout 5 get inters 1.1001 2>&1 | head -n 1) || rc=1
      printf 'host %s  %s  %s\n' "$n" "$url" "$answer"
    else
      printf 'host %s  stopped\n' "$n"; rc=1
    fi
  done
  if alive "$dir/haproxy.pid"; then echo "haproxy  $(cat "$dir/url")"; else echo "haproxy  stopped"; rc=1; fi
  return $rc
}

node_arg() {
  case "${1:-}" in 1 | 2 | 3) echo "$1" ;; *) echo "usage: $0 stop-node|start-node 1|2|3" >&2; exit 2 ;; esac
}

case "${1:-}" in
  start) start_all ;;
  stop) stop_all ;;
  status) status ;;
  stop-node) stop_node "$(node_arg "${2:-}")" ;;
  start-node) start_node "$(node_arg "${2:-}")" ;;
  *) echo "usage: $0 start|stop|status|stop-node N|start-node N" >&2; exit 2 ;;
esac
