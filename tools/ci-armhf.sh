#!/usr/bin/env bash
# CI run: the cross build for the device (Debian armhf, 32-bit little-endian
# ARM) in build-armhf/, and the whole test suite run under user-mode emulation
# (qemu-arm) through CTest. The 32-bit record layouts are checked at compile
# time in this build. Installs the cross compiler, qemu and the armhf -dev
# packages through multiarch when missing; safe to run again.
source "$(dirname "$0")/ci-lib.sh"

armhf_packages=(
  qemu-user g++-arm-linux-gnueabihf
  libboost-system-dev:armhf libboost-filesystem-dev:armhf
  libtinyxml-dev:armhf libwxgtk3.2-dev:armhf libgtest-dev:armhf
)
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "adding the armhf architecture"
  "${sudo[@]}" dpkg --add-architecture armhf
  # install-deps.sh updates the package lists before it installs anything.
fi
tools/install-deps.sh "${armhf_packages[@]}"

ci_configure_build build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Emulation is many times slower than the host: allow for it.
ci_run_ctest build-armhf --timeout 1200
