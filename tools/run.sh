#!/usr/bin/env bash
# Installs what is missing, builds, and runs the core in the foreground until
# Ctrl-C, or for the given number of seconds.
# Usage: tools/run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
if [ $# -ge 1 ]; then
  exec timeout --foreground -s INT "$1" ./build/dvrcore
fi
exec ./build/dvrcore
