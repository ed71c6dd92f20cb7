#!/usr/bin/env bash
# Private MariaDB server in a folder of our own, on a loopback port that is free.
# Never touches the system server, its socket or port 3306.
#
#   scripts/mariadb.sh start DIR     create DIR on first use, start the server, print its port
#   scripts/mariadb.sh stop DIR      stop the server of DIR (waits until it is gone)
#   scripts/mariadb.sh port DIR      the port of the running server of DIR
set -euo pipefail

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop|port DIR" >&2; exit 2; }

free_port() {
  if command -v python3 >/dev/null 2>&1; then
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' && return 0
  fi
  # Without python: a random high port that nothing answers on.
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

start() {
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if [ -f "$dir/mariadbd.pid" ] && kill -0 "$(cat "$dir/mariadbd.pid")" 2>/dev/null; then
    cat "$dir/port"
    return 0
  fi
  if [ ! -d "$dir/data/mysql" ]; then
    mkdir -p "$dir/data"
    mariadb-install-db --no-defaults --datadir="$dir/data" --user="$(id -un)" \
      --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 ||
      { cat "$dir/install.log" >&2; echo "mariadb-install-db failed" >&2; return 1; }
  fi
  local port
  port=$(free_port)
  echo "$port" >"$dir/port"
  mariadbd --no-defaults --datadir="$dir/data" --user="$(id -un)" \
    --bind-address=127.0.0.1 --port="$port" --socket="$dir/mariadbd.sock" \
    --pid-file="$dir/mariadbd.pid" --log-error="$dir/error.log" --skip-name-resolve \
    --max-connections=1000 --innodb-buffer-pool-size=256M --innodb-flush-log-at-trx-commit=2 \
    --innodb-log-file-size=128M >/dev/null 2>&1 &
  for _ in $(seq 1 300); do
    if mariadb --no-defaults -h127.0.0.1 -P"$port" -uroot -e 'SELECT 1' >/dev/null 2>&1; then
      echo "$port"
      return 0
    fi
    sleep 0.1
  done
  echo "MariaDB did not start; see $dir/error.log" >&2
  tail -n 20 "$dir/error.log" >&2 || true
  return 1
}

stop() {
  [ -f "$dir/mariadbd.pid" ] || return 0
  local pid
  pid=$(cat "$dir/mariadbd.pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$dir/mariadbd.pid"
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  port) cat "$dir/port" ;;
  *) echo "unknown command $cmd" >&2; exit 2 ;;
esac
