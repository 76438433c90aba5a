#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those that are missing.
# Usage: tools/install-deps.sh [extra-package ...]
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-system-dev libboost-filesystem-dev
  libtinyxml-dev
  libwxgtk3.2-dev
  googletest libgtest-dev libbenchmark-dev
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
