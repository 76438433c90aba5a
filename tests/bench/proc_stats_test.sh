#!/usr/bin/env bash
# Tests of bench/proc_stats.sh (the idle measurement's /proc readings) on a
# made-up /proc tree: the window's CPU shares and wake-ups from two samples,
# and the resident memory by kind of mapping.
# Usage: proc_stats_test.sh [path/to/proc_stats.sh]
set -euo pipefail
export LC_ALL=C
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export PROC=$root/proc CLOCK_TICKS=100 STACK_KIB=8192
source "${1:-$(dirname "$0")/../../bench/proc_stats.sh}"
fake_now=
now() { echo "$fake_now"; }

failures=0
expect() {  # expect OUTPUT LINE: OUTPUT has LINE as one of its lines
  if ! grep -qxF -- "$2" <<<"$1"; then
    echo "FAILED: no line \"$2\" in:" >&2
    sed 's/^/  /' <<<"$1" >&2
    failures=$((failures + 1))
  fi
}

# thread ID, name, run time (ns; "" for none), voluntary and involuntary switches
task() {
  local dir=$PROC/42/task/$1
  mkdir -p "$dir"
  echo "$2" >"$dir/comm"
  if [ -n "$3" ]; then echo "$3 0 0" >"$dir/schedstat"; else rm -f "$dir/schedstat"; fi
  printf 'Name:\t%s\nvoluntary_ctxt_switches:\t%s\nnonvoluntary_ctxt_switches:\t%s\n' \
    "$2" "$4" "$5" >"$dir/status"
}

# utime and stime in clock ticks; the name has a parenthesis and a space.
stat_line() { echo "42 (dvr) core) S 1 42 42 0 -1 4194560 100 0 0 0 $1 $2 0 0 20 0 3 0" >"$PROC/42/stat"; }

test_window() {
  stat_line 150 50
  task 42 dvrcore 1000000 5 1
  task 43 dvrcore-io 2000000 10 0
  fake_now=100.0
  sample 42 "$root/before"
  stat_line 152 50
  task 42 dvrcore 1500000 5 1
  task 43 dvrcore-io 4000000 108 2
  task 44 worker 0 4 1  # started during the window: all its switches count
  fake_now=110.0
  sample 42 "$root/after"
  local out
  out=$(report_window "$root/before" "$root/after")
  expect "$out" "window_s=10.0"
  expect "$out" "cpu_pct=0.2000"
  expect "$out" "cpu_pct_schedstat=0.0250"
  expect "$out" "wakeups_per_s=10.5"
  tr ',' '\n' <<<"$(sed -n 's/^wakeups_by_thread=//p' <<<"$out")" | sort >"$root/threads"
  expect "$(cat "$root/threads")" "dvrcore-io/43:10.0"
  expect "$(cat "$root/threads")" "worker/44:0.5"
  expect "$(cat "$root/threads")" "dvrcore/42:0.0"

  task 44 worker "" 4 1  # a kernel without run times: no such line
  sample 42 "$root/after"
  out=$(report_window "$root/before" "$root/after")
  if grep -q '^cpu_pct_schedstat=' <<<"$out"; then
    echo "FAILED: a CPU share from run times the kernel did not give" >&2
    failures=$((failures + 1))
  fi
}

mapping() {  # range, permissions, path, size and resident KiB
  printf '%s %s 00000000 00:00 0 %s\nSize: %s kB\nRss: %s kB\nPss: 1 kB\n' "$@"
}

test_memory() {
  ln -s /opt/dvr/dvrcore "$PROC/42/exe"
  printf 'VmHWM:\t 7100 kB\nVmRSS:\t 7000 kB\nRssAnon:\t 600 kB\nRssFile:\t 6400 kB\nThreads:\t3\n' \
    >"$PROC/42/status"
  printf 'Rss: 7000 kB\nPss: 4300 kB\n' >"$PROC/42/smaps_rollup"
  {
    mapping 555500000000-555500050000 r-xp /opt/dvr/dvrcore 320 80
    mapping 7f0000000000-7f0000100000 r-xp /usr/lib/x86_64-linux-gnu/libc.so.6 1024 1000
    mapping 7f0000100000-7f0000300000 r-xp /usr/lib/libwx_baseu-3.2.so.0.2.0 2048 2000
    mapping 7f0000300000-7f0000302000 r-xp /tmp/run/plugins/camera.so 8 8
    mapping 7f0000400000-7f0000457000 r--p /usr/lib/locale/C.utf8/LC_CTYPE 348 124
    mapping 555500100000-555500163000 rw-p "[heap]" 396 100
    mapping 7ffd00000000-7ffd00021000 rw-p "[stack]" 132 20
    mapping 7f0001000000-7f0001800000 rw-p "" 8192 12
    mapping 7f0004000000-7f0004021000 rw-p "" 132 16
    mapping 7f0004100000-7f0004121000 rw-p "" 132 4
    mapping 7f0005000000-7f0005002000 r-xp "[vdso]" 8 4
  } >"$PROC/42/smaps"
  local out
  out=$(report_memory 42)
  for line in rss_kib=7000 hwm_kib=7100 rss_anon_kib=600 rss_file_kib=6400 threads=3 \
      pss_kib=4300 rss_exe_kib=80 rss_libs_kib=3000 rss_plugins_kib=8 \
      rss_other_files_kib=124 rss_heap_kib=100 rss_main_stack_kib=20 \
      rss_thread_stacks_kib=12 rss_arenas_kib=16 rss_other_anon_kib=8 \
      rss_top_files=libwx_baseu-3.2.so.0.2.0:2000,libc.so.6:1000,LC_CTYPE:124,dvrcore:80,camera.so:8; do
    expect "$out" "$line"
  done
}

mkdir -p "$PROC/42/task"
test_window
test_memory
if [ "$failures" -ne 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "proc_stats: all passed"
