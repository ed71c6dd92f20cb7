#!/usr/bin/env bash
# Makes sure the Debian packages that the build, the tests and the main job
# need are installed. As root it installs what is missing; otherwise it prints
# the apt-get line to run and fails.
#   scripts/deps.sh [extra packages...]
set -euo pipefail

packages=(cmake make g++ pkg-config qtbase5-dev libqt5sql5-mysql libmariadb-dev mariadb-server mariadb-client libboost-dev "$@")
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# The package scripts must not start a system server: ours is private.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && created_policy=1
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
[ "$created_policy" = 1 ] && rm -f "$policy"
exit 0
