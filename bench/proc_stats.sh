# Reading a process's counters from /proc, for bench/idle.sh (sourced).
# PROC is where they are read (/proc), CLOCK_TICKS the unit of utime and
# stime (getconf CLK_TCK), STACK_KIB a thread stack's size (ulimit -s) and
# now() the wall time in seconds: the tests hand in their own.
PROC=${PROC:-/proc}
CLOCK_TICKS=${CLOCK_TICKS:-$(getconf CLK_TCK)}
STACK_KIB=${STACK_KIB:-$(ulimit -s)}
now() { echo "$EPOCHREALTIME"; }

# Reads the counters of process $1 into file $2: the wall time, the clock
# ticks of user and system time, the sum of the threads' run times in ns (or
# "-"), then a line per thread: ID, context switches, name.
sample() {
  local pid=$1 task ns=0 switches
  {
    now
    awk '{ sub(/.*\) /, ""); print $12 + $13 }' "$PROC/$pid/stat"
    for task in "$PROC/$pid"/task/*; do
      [ -r "$task/schedstat" ] || { ns=-; break; }
      read -r run _ <"$task/schedstat" && ns=$((ns + run))
    done
    echo "$ns"
    for task in "$PROC/$pid"/task/*; do
      switches=$(awk '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print n }' \
        "$task/status" 2>/dev/null) || continue
      printf '%s\t%s\t%s\n' "${task##*/}" "$switches" "$(cat "$task/comm")"
    done
  } >"$2"
}

# Prints the key=value lines of the window between sample files $1 and $2:
# its length, the CPU shares, the wake-ups per second.
report_window() {
  awk -v hz="$CLOCK_TICKS" -F'\t' '
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
    }' "$1" "$2"
}

# Prints the key=value lines of process $1's memory now.
report_memory() {
  awk '/^VmRSS:/ { print "rss_kib=" $2 } /^VmHWM:/ { print "hwm_kib=" $2 }
       /^RssAnon:/ { print "rss_anon_kib=" $2 } /^RssFile:/ { print "rss_file_kib=" $2 }
       /^Threads:/ { print "threads=" $2 }' "$PROC/$1/status"
  awk '/^Pss:/ { print "pss_kib=" $2 }' "$PROC/$1/smaps_rollup" 2>/dev/null || true
  rss_breakdown "$1"
}

# Resident memory by kind of mapping, from $PROC/$1/smaps. Unnamed mappings
# of exactly the default stack size are thread stacks; those starting on a
# 64 MiB boundary are malloc's per-thread arenas.
rss_breakdown() {
  awk -v exe="$(readlink "$PROC/$1/exe")" -v stack_kib="$STACK_KIB" '
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
    }' "$PROC/$1/smaps"
}
