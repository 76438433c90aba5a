#!/usr/bin/env bash
# CI run: the whole native test suite built with ThreadSanitizer in build-tsan/.
# A data race, a lock-order inversion or a misuse of a mutex fails the test
# that caused it. Installs what is missing first; safe to run again. The soak
# run (tools/ci-soak.sh) reuses this build.
source "$(dirname "$0")/ci-lib.sh"
tools/install-deps.sh
ci_build_tsan -DDVR_SOAK=OFF
ci_tsan_environment

# Not run here: the test cases that send a stop signal while the core's main
# thread is still starting or has just logged its start. GCC 12's ThreadSanitizer
# runtime defers a signal that arrives outside a blocking call and now and then
# never runs the handler: tools/sanitizer/tsan_lost_signal.cpp, a plain
# sigaction handler, a pipe and a condition-variable wait with no project code,
# loses SIGINT the same way. Those cases then hang for their whole timeout. Every other run covers
# them, and here the integration tests still stop the core by SIGINT and
# SIGTERM once it runs.
tsan_excluded=(
  CoreProcess.TerminalShowsColouredStartAndStopLines
  'Signals/StopSignal.*'
)
GTEST_FILTER="-$(IFS=:; echo "${tsan_excluded[*]}")"
export GTEST_FILTER

status=0
ci_run_ctest build-tsan --timeout 600 || status=$?
echo "not run under ThreadSanitizer (its runtime can lose a stop signal): ${tsan_excluded[*]}"
exit "$status"
