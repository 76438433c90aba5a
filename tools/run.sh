#!/usr/bin/env bash
# Installs what is missing, builds, and runs the core with the example plugins
# (build/plugins/) in the foreground until Ctrl-C, or for the given number of
# seconds. The core runs under the parent stand-in (dvrparent), which turns
# Ctrl-C into the stop packet and asks the camera for its frame counts every
# ten seconds. It runs in the build directory, where the plugins write their
# files.
# Usage: tools/run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
# Only what runs: the core, the stand-in, the example plugins and the
# inspector (tools/test.sh builds the rest).
BUILD_TARGETS="dvrcore dvrparent dvrinspect camera recorder logsink metrics" tools/build.sh
cd "${BUILD_DIR:-build}"
# 0x05000000 is the camera's target (its ID 0x00500000 shifted left by 4);
# command 256 asks it for its frame counts.
parent=(./dvrparent --every 10 --packet 0x05000000:256 ./dvrcore)
if [ $# -ge 1 ]; then
  status=0
  timeout --foreground -s INT "$1" "${parent[@]}" || status=$?
  # 124: the time ran out and the core stopped on the SIGINT, as asked.
  [ "$status" -eq 124 ] && status=0
  exit "$status"
fi
exec "${parent[@]}"
