#!/usr/bin/env bash
# Installs what is missing, builds, and runs the core with the example plugins
# (build/plugins/) in the foreground until Ctrl-C, or for the given number of
# seconds. It runs in the build directory, where the plugins write their files.
# Usage: tools/run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
cd "${BUILD_DIR:-build}"
if [ $# -ge 1 ]; then
  status=0
  timeout --foreground -s INT "$1" ./dvrcore || status=$?
  # 124: the time ran out and the core stopped on the SIGINT, as asked.
  [ "$status" -eq 124 ] && status=0
  exit "$status"
fi
exec ./dvrcore
