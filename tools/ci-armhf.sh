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
status=0
ci_run_ctest build-armhf --timeout 600 || status=$?

# Closing note: the GoogleTest cases that skipped themselves, each with the
# reason it printed; those that cannot run under user-mode emulation say so.
[ -f Testing/Temporary/LastTest.log ] && awk '
  / Skipped$/ { reason = ""; inskip = 1; next }
  inskip && /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ {
    name = $0; sub(/^\[  SKIPPED \] /, "", name); sub(/ \([0-9]+ ms\)$/, "", name)
    names[++count] = name; reasons[count] = reason; inskip = 0; next
  }
  inskip && NF { reason = reason (reason == "" ? "" : " ") $0 }
  END {
    for (i = 1; i <= count; i++) if (reasons[i] ~ /emulation/) emulated++
    printf "skipped test cases: %d, of which %d cannot run under qemu-user emulation\n",
           count, emulated
    for (i = 1; i <= count; i++) printf "  %s: %s\n", names[i], reasons[i]
  }' Testing/Temporary/LastTest.log
exit "$status"
