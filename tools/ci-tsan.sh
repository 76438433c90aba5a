#!/usr/bin/env bash
# CI run: the whole native test suite built with ThreadSanitizer in build-tsan/.
# A data race, a lock-order inversion or a misuse of a mutex fails the test
# that caused it. Installs what is missing first; safe to run again.
source "$(dirname "$0")/ci-lib.sh"
tools/install-deps.sh
ci_configure_build build-tsan -DDVR_SANITIZE=thread
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/sanitizer/tsan.supp"
ci_run_ctest build-tsan --timeout 600
