#!/usr/bin/env bash
# CI run: the cross build for the device (Debian armhf, 32-bit little-endian
# ARM) in build-armhf/, and the whole test suite run under user-mode emulation
# (qemu-arm) through CTest. The 32-bit record layouts are checked at compile
# time in this build. Installs the cross compiler, qemu and the armhf -dev
# packages through multiarch when missing; safe to run again. When those
# packages cannot be installed it compiles the plugin headers and examples
# for armhf instead and reports the suite as skipped.
source "$(dirname "$0")/ci-lib.sh"

if ! ci_install_armhf libgtest-dev:armhf; then
  # Nothing this project controls: say so, check what the cross compiler can
  # check alone, and count the suite as skipped rather than failed.
  ci_armhf_header_checks
  echo "armhf: SKIPPED: the armhf packages could not be installed (see apt's messages above);"
  echo "armhf: only the plugin headers and example plugins were compiled for armhf"
  exit 0
fi

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
