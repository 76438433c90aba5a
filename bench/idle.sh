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

# Reads the counters of process $1 into $work/$2: the wall time, the clock
# ticks of user and system time, the sum of the threads' run times in ns (or
# "-"), then a line per thread: ID, context switches, name.
sample() {
  local pid=$1 task ns=0 switches
  {
    echo "$EPOCHREALTIME"
    awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat"
    for task in /proc/$pid/task/*; do
      [ -r "$task/schedstat" ] || { ns=-; break; }
      read -r run _ <"$task/schedstat" && ns=$((ns + run))
    done
    echo "$ns"
    for task in /proc/$pid/task/*; do
      switches=$(awk '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print n }' \
        "$task/status" 2>/dev/null) || continue
      printf '%s\t%s\t%s\n' "${task##*/}" "$switches" "$(cat "$task/comm")"
    done
  } >"$work/$2"
}

# Prints the key=value lines for process $1 between samples $2 and $3.
report() {
  local status=/proc/$1/status
  awk -v hz="$(getconf CLK_TCK)" -F'\t' '
    FNR == 1 { wall[FILENAME] = $1 } FNR == 2 { ticks[FILENAME] = $1 }
    FNR == 3 { ns[FILENAME] = $1 }
    FNR > 3 { if (FILENAME == ARGV[1]) before[$1] = $2
              else { after[$1] = $2; name[$1] = $3 } }
    END {
      a = ARGV[1]; b = ARGV[2]; window = wall[b] - wall[a]
      printf "window_s=%.1f\n", window
      printf "cpu_pct=%.4f\n", 100 * (ticks[b] - ticks[a]) / hz / window
      if (ns[a] != "-" && ns[b] != "-")
        printf "cpu_pct_schedstat=%.4f\n", 100 * (ns[b] - ns[a]) / 1e9 / window
      for (t in after) {
        d = after[t] - (t in before ? before[t] : 0); total += d
        by = by (by == "" ? "" : ",") name[t] "/" t ":" sprintf("%.1f", d / window)
      }
      printf "wakeups_per_s=%.1f\n", total / window
      printf "wakeups_by_thread=%s\n", by
    }' "$work/$2" "$work/$3"
  awk '/^VmRSS:/ { print "rss_kib=" $2 } /^VmHWM:/ { print "hwm_kib=" $2 }
       /^RssAnon:/ { print "rss_anon_kib=" $2 } /^RssFile:/ { print "rss_file_kib=" $2 }
       /^Threads:/ { print "threads=" $2 }' "$status"
  awk '/^Pss:/ { print "pss_kib=" $2 }' "/proc/$1/smaps_rollup" 2>/dev/null || true
  rss_breakdown "$1"
}

# Resident memory by kind of mapping, from /proc/$1/smaps. Unnamed mappings
# of exactly the default stack size are thread stacks; those starting on a
# 64 MiB boundary are malloc's per-thread arenas.
rss_breakdown() {
  awk -v exe="$(readlink "/proc/$1/exe")" -v stack_kib="$(ulimit -s)" '
    function kind(start) {
      if (path == exe) return "exe"
      if (path ~ /\/plugins\/[^\/]*\.so$/) return "plugins"
      if (path ~ /\.so[.0-9]*$/) return "libs"
      if (path == "[heap]") return "heap"
      if (path == "[stack]") return "main_stack"
      if (path ~ /^\//) return "other_files"
      if (path != "") return "other_anon"
      if (size == stack_kib) return "thread_stacks"
      # 64 MiB boundary: the low 26 bits of the start address are zero.
      start = substr(range, 1, index(range, "-") - 1)
      if (substr(start, length(start) - 5) == "000000" &&
          substr(start, length(start) - 6, 1) ~ /[048c]/) return "arenas"
      return "other_anon"
    }
    /^[0-9a-f]+-[0-9a-f]+ / { range = $1; path = $6 }
    /^Size:/ { size = $2 }
    /^Rss:/ { k = kind(); rss[k] += $2
              if (path ~ /^\//) { n = path; sub(/.*\//, "", n); file[n] += $2 } }
    END {
      split("exe libs plugins other_files heap main_stack thread_stacks arenas other_anon", order)
      for (i = 1; i <= 9; ++i) printf "rss_%s_kib=%d\n", order[i], rss[order[i]]
      top = ""
      for (count = 0; count < 6; ++count) {
        best = ""; for (n in file) if (best == "" || file[n] > file[best]) best = n
        if (best == "") break
        top = top (top == "" ? "" : ",") best ":" file[best]; delete file[best]
      }
      print "rss_top_files=" top
    }' "/proc/$1/smaps"
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
"$build/dvrparent" --packet 0x05000000:0x102 ./dvrcore >parent.out 2>&1 &
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
report "$core" before after
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
