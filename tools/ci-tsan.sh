#!/usr/bin/env bash
# CI run: the whole native test suite built with ThreadSanitizer in build-tsan/.
# A data race, a lock-order inversion or a misuse of a mutex fails the test
# that caused it. Installs what is missing first; safe to run again.
source "$(dirname "$0")/ci-lib.sh"
tools/install-deps.sh
# Two compiler warnings are off in this build only, both about third-party
# headers: GCC warns falsely of maybe-uninitialized values inside instrumented
# libstdc++ code (its manual says sanitizers raise that warning's false
# positives), and -Wtsan notes that Boost.Asio's handler fences are invisible
# to ThreadSanitizer; Asio hands every handler over under its scheduler's
# mutex, which ThreadSanitizer does see.
flags="-Wno-maybe-uninitialized -Wno-tsan"
ci_configure_build build-tsan -DDVR_SANITIZE=thread \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/sanitizer/tsan.supp"

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
