#!/usr/bin/env bash
# Runs one fuzz target of tests/fuzz for a while: installs what is missing
# (clang-14 and its runtime), builds the target in build-fuzz/ and runs it on
# a copy of its seed corpus.
#
# Usage: tools/fuzz.sh TARGET SECONDS [libFuzzer option...]
#   TARGET is the name of tests/fuzz/TARGET_fuzz.cpp, e.g. packet_stream.
#
# The working corpus is build-fuzz/fuzz/TARGET/corpus/: the committed seeds of
# tests/fuzz/corpus/TARGET/ are copied into it and what the fuzzer finds stays
# there for the next run (delete it for a fresh start); nothing is written into
# the source tree. Ends with one line: executions, coverage (libFuzzer's cov
# and ft figures) and the outcome. A finding (crash, failed check, sanitizer
# report, leak, timeout) keeps its input as build-fuzz/fuzz/TARGET/crash-*
# (or leak-*, timeout-*) and the exit status is non-zero; replay it with
#   build-fuzz/tests/fuzz/TARGET_fuzz build-fuzz/fuzz/TARGET/crash-...
source "$(dirname "$0")/ci-lib.sh"

if [ $# -lt 2 ] || [ ! -f "tests/fuzz/$1_fuzz.cpp" ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer option...]" >&2
  echo "targets: $(ls tests/fuzz/*_fuzz.cpp | sed 's|.*/||; s|_fuzz.cpp||' | tr '\n' ' ')" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
# tools/ci-fuzz.sh builds every target first and sets FUZZ_NO_BUILD.
[ -n "${FUZZ_NO_BUILD:-}" ] || ci_fuzz_build "$target"

work=$build_dir/fuzz/$target
mkdir -p "$work/corpus"
if [ -d "tests/fuzz/corpus/$target" ]; then
  cp -n "tests/fuzz/corpus/$target"/* "$work/corpus/" 2>/dev/null || true
fi
options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=30
  -artifact_prefix="$work/")
[ -f "tests/fuzz/$target.dict" ] && options+=(-dict="tests/fuzz/$target.dict")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
log=$work/last-run.log
echo "== fuzzing $target for $seconds s (log: $log)"
set +e
"$build_dir/tests/fuzz/${target}_fuzz" "${options[@]}" "$@" "$work/corpus" >"$log" 2>&1
status=$?
set -e

# libFuzzer's status lines: "#1234 NEW cov: 56 ft: 78 corp: ..." and, at the
# end, "stat::number_of_executed_units: 1234".
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
corpus=$(grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -1)
if [ "$status" -eq 0 ]; then
  echo "fuzz: $target: ${runs:-?} executions in $seconds s, ${coverage:-no coverage line}, ${corpus:-corp: ?}, no findings"
  exit 0
fi
tail -n 60 "$log"
finding=$(grep -oE "(crash|leak|timeout|oom|slow-unit)-[0-9a-f]+" "$log" | tail -1 || true)
echo "fuzz: $target: FINDING after ${runs:-?} executions (${coverage:-no coverage line}), exit $status, input kept: ${finding:+$work/$finding}"
exit 1
