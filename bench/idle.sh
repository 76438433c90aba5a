#!/usr/bin/env bash
# The idle core: memory, CPU and wake-ups with the example plugins loaded and
# the camera stopped.
#
# Copies the core and the example plugins of a build into a temporary
# directory and starts the core there under the parent stand-in, which sends
# the camera its stop command (0x102) right after the settings. Once the
# camera has answered "stopped" and the core has logged its start line (the
# log sink's file), it waits SETTLE seconds, then reads /proc at the start and
# the end of a WINDOW-second window:
#   rss_kib, hwm_kib   VmRSS and VmHWM of the core at the end;
#   cpu_pct            (utime + stime) of all its threads over the window, in
#                      per cent of one core (clock-tick resolution);
#   cpu_pct_schedstat  the same from the nanosecond run times in
#                      /proc/PID/task/*/schedstat, when the kernel has them;
#   wakeups_per_s      voluntary and involuntary context switches of all its
#                      threads over the window, per second; per thread in
#                      wakeups_by_thread.
# Then it stops the core with SIGINT to the stand-in (the stop packet) and
# checks that the stand-in exits with 0. Over the same window the yardstick
# bench/sleeper (built beside the benchmarks) wakes every 100 ms and does
# nothing else: reference_cpu_pct and reference_wakeups_per_s are what such
# wake-ups alone cost on this machine. The resident memory is also broken
# down by kind of mapping (rss_*_kib, rss_top_files); with --smaps FILE the
# core's /proc/PID/smaps is copied to FILE.
# Usage: bench/idle.sh [--window S] [--settle S] [--smaps FILE] [BUILD_DIR]
#        (30 s, 3 s, build-release/; paths from the checkout's top).
# Prints key=value lines.
set -euo pipefail
cd "$(dirname "$0")/.."
# The core runs in the caller's locale; this script's numbers in C's (a
# decimal point, not a comma).
core_locale=(env -u LC_ALL)
[ -z "${LC_ALL+set}" ] || core_locale=(env "LC_ALL=$LC_ALL")
export LC_ALL=C
source bench/proc_stats.sh

window=30
settle=3
smaps_out=
build=build-release
while [ $# -gt 0 ]; do
  case $1 in
    --window) window=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --smaps) smaps_out=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/{s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    *) build=$1; shift ;;
  esac
done
build=$(cd "$build" && pwd)
for file in dvrcore dvrparent plugins/camera.so plugins/recorder.so plugins/logsink.so; do
  [ -e "$build/$file" ] || { echo "idle: $build/$file is not built" >&2; exit 1; }
done
[ -z "$smaps_out" ] || smaps_out=$(realpath -m "$smaps_out")

fail() {
  echo "idle: $*" >&2
  [ -f "$work/parent.out" ] && sed 's/^/idle: | /' "$work/parent.out" >&2
  exit 1
}

# Waits (20 s at most) until file $1 contains $2.
wait_for() {
  local deadline=$((SECONDS + 20))
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] && kill -0 "$parent" 2>/dev/null || return 1
    sleep 0.1
  done
}

# The process ID of the child of process $1.
child_of() {
  local children
  children=$(cat "/proc/$1/task/$1/children" 2>/dev/null) ||
    children=$(awk -v p="$1" '{ sub(/.*\) /, ""); if ($2 == p) print FILENAME }' \
      /proc/[0-9]*/stat 2>/dev/null | sed 's,/proc/,,; s,/stat,,')
  echo $children
}

work=$(mktemp -d)
parent=
cleanup() {
  # Only what was started here, by its ID: the stand-in, the core under it,
  # the yardstick.
  if [ -n "$parent" ] && kill -0 "$parent" 2>/dev/null; then
    if [ -n "${core:-}" ]; then kill -KILL "$core" 2>/dev/null || true; fi
    kill -KILL "$parent" 2>/dev/null || true
  fi
  if [ -n "${reference:-}" ]; then kill "$reference" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cp "$build/dvrcore" "$work/"
mkdir "$work/plugins"
cp "$build"/plugins/{camera,recorder,logsink}.so "$work/plugins/"

cd "$work"
"${core_locale[@]}" "$build/dvrparent" --packet 0x05000000:0x102 ./dvrcore >parent.out 2>&1 &
parent=$!
wait_for parent.out "audio frames, stopped" || fail "the camera did not answer its stop command"
wait_for dvrcore.log "successfully started core version" || fail "the core did not start"
core=$(child_of "$parent")
[ -n "$core" ] || fail "no core under the stand-in"
sleep "$settle"

# The yardstick runs over the same window, beside the core.
reference=
if [ -x "$build/bench/sleeper" ]; then
  "$build/bench/sleeper" "$window" >reference.out &
  reference=$!
fi
sample "$core" before
sleep "$window"
sample "$core" after
report_window before after
report_memory "$core"
if [ -n "$reference" ]; then
  wait "$reference" && cat reference.out
  reference=
fi
[ -z "$smaps_out" ] || cp "/proc/$core/smaps" "$smaps_out"

kill -INT "$parent"
status=0
wait "$parent" || status=$?
parent=
echo "exit_status=$status"
[ "$status" -eq 0 ] || fail "the stand-in exited with $status"
