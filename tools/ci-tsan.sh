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
ci_run_ctest build-tsan --timeout 600
