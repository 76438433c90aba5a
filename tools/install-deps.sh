#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those that are missing.
# Usage: tools/install-deps.sh [extra-package ...]
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-system-dev libboost-filesystem-dev
  libtinyxml-dev
  libcap-dev
  libwxgtk3.2-dev
  googletest libgtest-dev libbenchmark-dev
  "$@"
)

# A plain name means the machine's own architecture (or "all"): once a foreign
# architecture such as armhf is added, dpkg-query lists every architecture's
# instance of a multiarch package under that name.
native_arch=$(dpkg --print-architecture)
is_installed() {
  case $1 in
    *:*) [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ] ;;
    *) dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$1" 2>/dev/null |
         grep -Eq "^($native_arch|all) installed$" ;;
  esac
}

missing=()
for package in "${packages[@]}"; do
  is_installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}"
# A list that fails to download (a mirror in the middle of a sync) does not
# stop the install by itself: the install below says whether what is needed
# could still be found.
"${sudo[@]}" apt-get update -qq || echo "install-deps: some package lists could not be updated"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
