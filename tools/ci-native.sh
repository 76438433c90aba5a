#!/usr/bin/env bash
# CI run: the whole native test suite in build-native/, a debug build with the
# standard library's checked containers and iterators (_GLIBCXX_ASSERTIONS),
# so an out-of-range index aborts the test instead of reading past a buffer.
# Installs what is missing first; safe to run again.
source "$(dirname "$0")/ci-lib.sh"
tools/install-deps.sh
BUILD_TYPE=Debug ci_configure_build build-native -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS
ci_run_ctest build-native --timeout 300
