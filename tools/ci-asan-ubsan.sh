#!/usr/bin/env bash
# CI run: the whole native test suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/. Any report (out-of-bounds access,
# use after free, leak, undefined behaviour) fails the test that caused it.
# Installs what is missing first; safe to run again. The soak run
# (tools/ci-soak.sh) reuses this build.
source "$(dirname "$0")/ci-lib.sh"
tools/install-deps.sh
ci_build_asan -DDVR_SOAK=OFF
ci_asan_environment
ci_run_ctest build-asan --timeout 600
