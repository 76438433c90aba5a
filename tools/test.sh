#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole native test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh
cd build
ctest --output-on-failure -j2 --timeout 300 "$@"
