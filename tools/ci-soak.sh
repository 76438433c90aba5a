#!/usr/bin/env bash
# CI run: the soak run of the real core with hostile plugins (tests/soak/),
# about two minutes under AddressSanitizer + UndefinedBehaviorSanitizer
# (stopped by SIGTERM) and about one under ThreadSanitizer (stopped by the
# parent's stop packet), in the sanitizer builds of tools/ci-asan-ubsan.sh and
# tools/ci-tsan.sh: after those, only the soak plugins and their parent are
# built. Each run is a CTest test (label soak) and fails on a sanitizer
# report, a block left in the core's table at exit, or an unclean exit.
# Installs what is missing first; safe to run again.
#
#   tools/ci-soak.sh                   the two sanitizer runs
#   tools/ci-soak.sh --release EVENTS  one Release run (build-soak-release/) of the fast
#                                      mix until the plugins have had EVENTS events
#                                      accepted (at most an hour), with the core's
#                                      resident size at start and at the stop
#
# SOAK_SEED=N repeats the plugins' and the parent's random choices of a run
# (the threads still interleave differently).
source "$(dirname "$0")/ci-lib.sh"
tools/install-deps.sh
export CI_TARGETS=soak_run

if [ "${1:-}" = --release ]; then
  events=${2:-100000000}
  # A tree of its own: bench/run.sh configures build-release/ without tests.
  build=build-soak-release
  echo "== configuring and building $build (Release)"
  cmake -S . -B $build -DCMAKE_BUILD_TYPE=Release -DDVR_BUILD_TESTS=ON -DDVR_SOAK=ON >/dev/null
  cmake --build $build -j"${JOBS:-2}" --target soak_run
  started=$SECONDS
  SOAK_PROFILE=fast SOAK_EVENTS=$events SOAK_SECONDS=3600 SOAK_THROTTLING=1 tests/soak/soak.sh \
    $build/dvrcore $build/tests/soak/soak_parent $build/tests/soak/plugins $build/tests/soak/run
  status=$?
  echo "release soak: $((SECONDS - started)) s in all, exit $status"
  exit "$status"
fi

status=0
ci_build_asan -DDVR_SOAK=ON
(ci_asan_environment && SOAK_SECONDS=120 SOAK_STOP=signal ci_run_ctest build-asan -L soak) ||
  status=1
# The stop packet rather than a signal: GCC 12's ThreadSanitizer runtime now
# and then never runs the handler of a signal that arrives while the thread
# it lands on is busy (see tools/ci-tsan.sh).
ci_build_tsan -DDVR_SOAK=ON
(ci_tsan_environment && SOAK_SECONDS=60 SOAK_STOP=packet ci_run_ctest build-tsan -L soak) ||
  status=1
exit "$status"
