#!/usr/bin/env bash
# Builds the Debian package and tries it the way an operator would, in a
# pristine Debian 12 root (debootstrap --variant=minbase) under chroot:
# installs it with mariadb-server, starts a MariaDB there (socket only, no
# port), runs kelvo-admin init and tenant add, starts the command line of
# kelvo-host.service as the unit would (its user, its configuration), and
# registers a terminal, synchronises and stores an entrance with kelvo-term.
# Everything it started is stopped and the root removed on every way out.
# Needs root and the Debian mirror that apt uses; takes minutes, so it is
# not part of scripts/test.sh.
#
#   scripts/package-test.sh
# KELVO_PACKAGE_BUILD_DIR names the build folder (default: build-package, tests off).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVO_PACKAGE_BUILD_DIR:-$root/build-package}
[ "$(id -u)" -eq 0 ] || { echo "package-test.sh needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
started=$(date +%s)
step() { echo "== [$(( $(date +%s) - started )) s] $*"; }

"$root/scripts/deps.sh" debootstrap

step "building the package in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 >/dev/null
rm -f "$build"/kelvo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kelvo_*.deb)
echo "$deb"
if command -v lintian >/dev/null; then
  step "lintian (errors fail the test; warnings are listed)"
  lint_status=0
  report=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1) || lint_status=$?
  echo "$report" | grep -v 'root privileges' || true
  [ "$lint_status" -eq 0 ] || { echo "lintian found errors" >&2; exit 1; }
fi

work=$(mktemp -d /var/tmp/kelvo-package-test.XXXXXX)
target=$work/root
host_pid=
db_pid=
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  for pid in $host_pid $db_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  for m in dev proc; do
    mountpoint -q "$target/$m" 2>/dev/null && { umount "$target/$m" || umount -l "$target/$m" || true; }
  done
  # Never crosses into a mount that is still there.
  rm -rf --one-file-system "$work" || true
  step "done (exit $status)"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
mirror=${mirror:-http://deb.debian.org/debian}
step "debootstrap --variant=minbase bookworm from $mirror"
debootstrap --variant=minbase bookworm "$target" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log" >&2; exit 1; }
mount -t proc proc "$target/proc"
mount --bind /dev "$target/dev"
cp /etc/resolv.conf "$target/etc/resolv.conf"
# As in a container image: package scripts start no services.
printf '#!/bin/sh\nexit 101\n' >"$target/usr/sbin/policy-rc.d"
chmod 755 "$target/usr/sbin/policy-rc.d"
in_root() { chroot "$target" "$@"; }

step "apt-get install the package and mariadb-server"
cp "$deb" "$target/tmp/"
in_root apt-get update -qq >/dev/null
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "/tmp/$(basename "$deb")" mariadb-server >"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log" >&2; exit 1; }
in_root dpkg -L kelvo | grep -E 'bin/|\.so|\.sql|\.conf|\.service'
in_root stat -c '%U:%G %a %n' /etc/kelvo/kelvo-host.conf

step "starting MariaDB in the root (socket only)"
in_root install -d -o mysql -g mysql /run/mysqld
chroot "$target" /usr/sbin/mariadbd --user=mysql --skip-networking --socket=/run/mysqld/mysqld.sock \
  >"$work/mariadb.log" 2>&1 &
db_pid=$!
for _ in $(seq 1 300); do
  in_root mariadb -e 'SELECT 1' >/dev/null 2>&1 && break
  kill -0 "$db_pid" 2>/dev/null || { cat "$work/mariadb.log" >&2; exit 1; }
  sleep 0.1
done
in_root mariadb -e 'SELECT VERSION()'

step "kelvo-admin init and tenant add, configured as the README says"
conf=$target/etc/kelvo/kelvo-host.conf
sed -i 's|^;admin-db = mysql://root@localhost$|admin-db = mysql://root@localhost|; s|^;listen = .*|listen = 127.0.0.1:0|' "$conf"
admin() { in_root kelvo-admin --config /etc/kelvo/kelvo-host.conf "$@"; }
admin init | tee "$work/init.out"
info_line=$(grep '^info-db = ' "$work/init.out")
sed -i "s|^;info-db = .*|$info_line|" "$conf"
admin init
admin tenant add acme | tee "$work/add.out"
token=$(tail -n1 "$work/add.out")

step "starting the unit's ExecStart as its user"
unit=$target/lib/systemd/system/kelvo-host.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
user=$(sed -n 's/^User=//p' "$unit")
group=$(sed -n 's/^Group=//p' "$unit")
echo "chroot --userspec=$user:$group ROOT $exec_start"
# shellcheck disable=SC2086  # the unit's command line, split as systemd splits it
chroot --userspec="$user:$group" "$target" $exec_start >"$work/host.log" 2>&1 &
host_pid=$!
address=
for _ in $(seq 1 100); do
  address=$(sed -n 's/^listening on //p' "$work/host.log")
  [ -n "$address" ] && break
  kill -0 "$host_pid" 2>/dev/null || { cat "$work/host.log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$address" ] || { echo "kelvo-host did not start" >&2; cat "$work/host.log" >&2; exit 1; }
cat "$work/host.log"

step "a terminal registers, synchronises and clocks in through http://$address/kelvo"
term() { in_root kelvo-term --url "http://$address/kelvo" --token "$token" "$@"; }
expect() { # status, then the command: the first line must name that status
  local want=$1 first
  shift
  first=$(term "$@" | tee "$work/term.out" | head -n1)
  echo "kelvo-term $* -> $first"
  [ "$first" = "HTTP $want" ] || { cat "$work/term.out" >&2; exit 1; }
}
expect "201 Created" register 1001 door1 in
expect "200 OK" sync 1.1001 --force --ack
expect "201 Created" entrance 1.1001 refId=1 uid=1 iid=1 type=in
expect "208 Already Reported" entrance 1.1001 refId=1 uid=1 iid=1 type=in
admin terminals acme
admin tenant list
for _ in $(seq 1 50); do grep -q 'info: recordCreated tbl=inters_data id=1 ' "$work/host.log" && break; sleep 0.1; done
grep 'info: recordCreated' "$work/host.log"
grep -q "plug-in /usr/lib/.*/kelvo/libkelvo.so" "$work/host.log" || { echo "the host did not load the installed plug-in" >&2; exit 1; }
echo "package test passed in $(( $(date +%s) - started )) s"
