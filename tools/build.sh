#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR) with any extra CMake arguments.
# BUILD_TARGETS="a b" builds only those targets (and what they need).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
targets=()
[ -z "${BUILD_TARGETS:-}" ] || read -ra targets <<<"--target $BUILD_TARGETS"
cmake --build "$build_dir" -j"${JOBS:-2}" "${targets[@]}"
