#!/usr/bin/env bash
# Instructions per routed event: runs route_events (one thread: N events of
# 64 bytes posted, then delivered to three subscribers) under callgrind with
# N and with 2N events, and divides the difference of the two instruction
# counts by N. The set-up and tear-down common to both runs cancel out, so
# what is left is one event's cost from the event entry (checks, the copy of
# its data, the queue) to its delivery to all three subscribers and the
# release of its block.
# Usage: bench/callgrind.sh [--events N] [BUILD_DIR]
#        (N 20000, build-release/ from the checkout's top)
# Prints key=value lines; needs valgrind (tools/install-deps.sh valgrind).
set -euo pipefail
cd "$(dirname "$0")/.."

events=20000
build=build-release
while [ $# -gt 0 ]; do
  case $1 in
    --events) events=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/{s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    *) build=$1; shift ;;
  esac
done
driver=$build/bench/route_events
[ -x "$driver" ] || { echo "callgrind: $driver not built" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "callgrind: valgrind is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The total instruction count (Ir) of one run of the driver with $1 events.
instructions() {
  local out=$work/callgrind.$1
  valgrind --tool=callgrind --callgrind-out-file="$out" "$driver" "$1" 64 \
    >"$work/driver.$1.log" 2>"$work/valgrind.$1.log" ||
    { cat "$work/valgrind.$1.log" >&2; return 1; }
  awk '/^(summary|totals):/ { total = $2 } END { print total }' "$out"
}

small=$(instructions "$events")
large=$(instructions $((2 * events)))
echo "events=$events"
echo "instructions_${events}=$small"
echo "instructions_$((2 * events))=$large"
awk -v a="$small" -v b="$large" -v n="$events" \
  'BEGIN { printf "instructions_per_event=%.1f\n", (b - a) / n }'
