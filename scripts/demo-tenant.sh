#!/usr/bin/env bash
# Loads the information database and the demo tenant into a MariaDB server
# once: the schemas, the demo rows, a user for the hosts and one for the
# tenant, and the tenant's row in `schemas`. The passwords and the token are
# made on first use and kept in STATE (host.password, tenant.password,
# demo.token); a server that already holds the demo tenant is left as it is.
#
#   scripts/demo-tenant.sh STATE PORT      server on 127.0.0.1:PORT, user root
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
state=${1:?usage: $0 STATE PORT}
port=${2:?usage: $0 STATE PORT}
info_db=kelvo_info
tenant_db=kelvo_demo

sql() { mariadb --no-defaults -h127.0.0.1 -P"$port" -uroot "$@"; }
secret() { head -c 18 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 20; }
remember() { # file: the value kept there, made on first use
  [ -s "$1" ] || { secret >"$1"; chmod 600 "$1"; }
  cat "$1"
}

mkdir -p "$state"
host_pass=$(remember "$state/host.password")
tenant_pass=$(remember "$state/tenant.password")
token=$(remember "$state/demo.token")

[ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name = '$tenant_db'")" = 0 ] || exit 0
echo "== loading the information database and the demo tenant"
sql -e "CREATE DATABASE IF NOT EXISTS \`$info_db\`; CREATE DATABASE \`$tenant_db\`;"
sql "$info_db" <"$root/db/sql/info.sql"
sql "$tenant_db" <"$root/db/sql/tenant.sql"
sql "$tenant_db" <"$root/db/sql/demo.sql"
# The host reads and stamps the tenant rows; each tenant has a user of its own.
sql -e "CREATE OR REPLACE USER 'kelvo_host'@'127.0.0.1' IDENTIFIED BY '$host_pass';
        GRANT SELECT, UPDATE ON \`$info_db\`.* TO 'kelvo_host'@'127.0.0.1';
        CREATE OR REPLACE USER 'kelvo_demo'@'127.0.0.1' IDENTIFIED BY '$tenant_pass';
        GRANT SELECT, INSERT, UPDATE, DELETE, EXECUTE ON \`$tenant_db\`.* TO 'kelvo_demo'@'127.0.0.1';"
sql "$info_db" -e "INSERT INTO \`schemas\` (token, name, user, pass, status)
                   VALUES ('$token', '$tenant_db', 'kelvo_demo', '$(printf %s "$tenant_pass" | base64)', 1);"
