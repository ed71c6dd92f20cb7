#!/usr/bin/env bash
# The one way to set up databases on a MariaDB server, as root without a
# password: the information database, the host's user, and tenants (schema
# from db/sql/tenant.sql, optionally the demo rows of db/sql/demo.sql, a user
# of its own with rights on that schema alone, its row in `schemas`).
#
#   scripts/tenant.sh info PORT INFO_DB
#       the information database, made or brought up to date; its rows stay
#   scripts/tenant.sh host-user PORT INFO_DB USER PASSWORD
#       the host's user (made anew): it may only read and stamp the tenant rows
#   scripts/tenant.sh tenant PORT INFO_DB SCHEMA USER PASSWORD TOKEN [--demo]
#       the tenant made anew: whatever had its schema, user, name or token goes first
#   scripts/tenant.sh demo STATE PORT
#       information database, host user kelvo_host and demo tenant kelvo_demo,
#       once: the passwords and the token are made on first use and kept in
#       STATE (host.password, tenant.password, demo.token); a server that holds
#       the demo tenant already is left as it is
#
# KELVO_DB_HOST names the server's address (default 127.0.0.1),
# KELVO_ACCOUNT_HOST the host part of the users made (default 127.0.0.1),
# KELVO_DB_CLIENT the client program (default mariadb).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
server=${KELVO_DB_HOST:-127.0.0.1}
account_host=${KELVO_ACCOUNT_HOST:-127.0.0.1}
client=${KELVO_DB_CLIENT:-mariadb}

usage() { sed -n '/^#   /,/^$/p' "$0" | sed -n 's/^#   //p' >&2; exit 2; }
fail() { echo "tenant.sh: $*" >&2; exit 1; }
# Values reach SQL text only when they cannot end a quote or a name.
name() { [[ $1 =~ ^[A-Za-z0-9_]{1,64}$ ]] || fail "'$1' is not a name of letters, digits and '_'"; }
word() { [[ $1 =~ ^[A-Za-z0-9_.-]{1,191}$ ]] || fail "'$1' is not a word of letters, digits, '_', '.' and '-'"; }
[[ $account_host =~ ^[A-Za-z0-9_.%-]{1,255}$ ]] || fail "'$account_host' is not an account host"

sql() { "$client" --no-defaults -h"$server" -P"$port" -uroot "$@"; }

info() { # INFO_DB
  name "$1"
  sql -e "CREATE DATABASE IF NOT EXISTS \`$1\`"
  sql "$1" <"$root/db/sql/info.sql"
}

host_user() { # INFO_DB USER PASSWORD
  name "$1"; name "$2"; word "$3"
  sql -e "CREATE OR REPLACE USER '$2'@'$account_host' IDENTIFIED BY '$3';
          GRANT SELECT, UPDATE ON \`$1\`.* TO '$2'@'$account_host';"
}

tenant() { # INFO_DB SCHEMA USER PASSWORD TOKEN [--demo]
  name "$1"; name "$2"; name "$3"; word "$4"; word "$5"
  local demo=
  case "${6:-}" in --demo) demo=$root/db/sql/demo.sql ;; "") ;; *) usage ;; esac
  # One client run, which stops at the first statement that fails: test
  # suites make many tenants, and each run of the client costs a connection.
  {
    printf 'DROP DATABASE IF EXISTS `%s`; CREATE DATABASE `%s`; USE `%s`;\n' "$2" "$2" "$2"
    cat "$root/db/sql/tenant.sql" ${demo:+"$demo"}
    printf "CREATE OR REPLACE USER '%s'@'%s' IDENTIFIED BY '%s';\n" "$3" "$account_host" "$4"
    printf "GRANT SELECT, INSERT, UPDATE, DELETE, EXECUTE ON \`%s\`.* TO '%s'@'%s';\n" "$2" "$3" "$account_host"
    printf "DELETE FROM \`%s\`.\`schemas\` WHERE name = '%s' OR token = '%s';\n" "$1" "$2" "$5"
    printf "INSERT INTO \`%s\`.\`schemas\` (token, name, user, pass, status) VALUES ('%s', '%s', '%s', '%s', 1);\n" \
      "$1" "$5" "$2" "$3" "$(printf %s "$4" | base64 -w0)"
  } | sql
}

secret() { head -c 18 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 20; }
remember() { # file: the value kept there, made on first use
  [ -s "$1" ] || { secret >"$1"; chmod 600 "$1"; }
  cat "$1"
}

demo() { # STATE
  local info_db=kelvo_info tenant_db=kelvo_demo
  mkdir -p "$1"
  local host_pass tenant_pass token
  host_pass=$(remember "$1/host.password")
  tenant_pass=$(remember "$1/tenant.password")
  token=$(remember "$1/demo.token")
  [ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name = '$tenant_db'")" = 0 ] || return 0
  echo "== loading the information database and the demo tenant"
  info "$info_db"
  host_user "$info_db" kelvo_host "$host_pass"
  tenant "$info_db" "$tenant_db" kelvo_demo "$tenant_pass" "$token" --demo
}

command=${1:-}
[ $# -ge 3 ] || usage
case "$command" in
  info) [ $# = 3 ] || usage; port=$2; info "$3" ;;
  host-user) [ $# = 5 ] || usage; port=$2; host_user "$3" "$4" "$5" ;;
  tenant) [ $# = 7 ] || [ $# = 8 ] || usage; port=$2; shift 2; tenant "$@" ;;
  demo) [ $# = 3 ] || usage; port=$3; demo "$2" ;;
  *) usage ;;
esac
