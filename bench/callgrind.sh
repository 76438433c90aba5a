#!/usr/bin/env bash
# Instructions per routed event: runs route_events (one thread: N events of
# 64 bytes posted, then delivered to three subscribers) under callgrind with
# N and with 2N events and divides the difference of the two instruction
# counts by N, so the set-up and tear-down cancel out: one event's cost from
# the event entry to its last delivery and the release of its block. The same
# with --bare for the bare queue.
# Usage: bench/callgrind.sh [--events N] [BUILD_DIR]   (20000, build-release/)
# Prints key=value lines; needs valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."

events=20000 build=build-release
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

# instructions N [--bare]: the total instruction count (Ir) of one run.
instructions() {
  local out=$work/callgrind.$1${2:-}
  valgrind --tool=callgrind --callgrind-out-file="$out" "$driver" ${2:-} "$1" 64 \
    >/dev/null 2>"$work/valgrind.log" || { cat "$work/valgrind.log" >&2; return 1; }
  awk '/^(summary|totals):/ { total = $2 } END { print total }' "$out"
}

echo "events=$events"
for prefix in "" bare_; do
  small=$(instructions "$events" ${prefix:+--bare})
  large=$(instructions $((2 * events)) ${prefix:+--bare})
  echo "${prefix}instructions_${events}=$small"
  echo "${prefix}instructions_$((2 * events))=$large"
  awk -v a="$small" -v b="$large" -v n="$events" -v key="${prefix}instructions_per_event" \
    'BEGIN { printf "%s=%.1f\n", key, (b - a) / n }'
done
