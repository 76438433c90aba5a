#!/usr/bin/env bash
# The metrics plugin's cost under the recorder load: recorder_load_bench with
# and without --plugin plugins/metrics.so, each REPETITIONS times per
# configuration, the two interleaved (each pair in random order) so that a
# disturbance of the machine falls on both alike. The plugin serves /metrics
# on a free port and a scraper GETs it once a second throughout, so its
# serving is in the process's CPU time.
#
# Usage: bench/plugin_cost.sh BUILD_DIR CSV [REPETITIONS [SECONDS [CONFIG...]]]
#   CONFIG: CAMERASxPRODUCERS; 64x1 and 256x1 by default. The rows go to CSV
#   (recorder_load_bench --csv), the benchmark's report to standard error,
#   key=value lines (commit, date, load averages, scrapes, runs that failed)
#   to standard output.
set -euo pipefail
[ $# -ge 2 ] || { sed -n '2,/^set -e/{s/^# \{0,1\}//p}' "$0" >&2; exit 2; }
build=$1 csv=$2 repetitions=${3:-5} seconds=${4:-10}
shift $(($# < 4 ? $# : 4))
configs=("$@")
[ $# -gt 0 ] || configs=(64x1 256x1)
bench=$build/bench/recorder_load_bench plugin=$build/plugins/metrics.so
if [ ! -x "$bench" ] || [ ! -f "$plugin" ]; then
  echo "$bench or $plugin is not built" >&2
  exit 1
fi

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export DVR_METRICS_LISTEN=127.0.0.1:$port
scrapes=$(mktemp)
trap 'kill "$scraper" 2>/dev/null; rm -f "$scrapes"' EXIT
while sleep 1; do
  curl -sf -o /dev/null --max-time 1 "http://$DVR_METRICS_LISTEN/metrics" && echo >>"$scrapes"
done &
scraper=$!

echo "commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
echo "load_before=$(cut -d' ' -f1-3 /proc/loadavg)"
failed=0
for config in "${configs[@]}"; do
  for ((i = 0; i < repetitions; i++)); do
    for with in $(shuf -e 0 1); do
      args=(--cameras "${config%x*}" --producers "${config#*x}" --seconds "$seconds" --csv "$csv")
      [ "$with" = 0 ] || args+=(--plugin "$plugin")
      "$bench" "${args[@]}" >&2 || failed=$((failed + 1))
    done
  done
done
echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)"
echo "scrapes=$(wc -l <"$scrapes")"
echo "repetitions=$repetitions"
echo "seconds=$seconds"
echo "failed_runs=$failed"
[ "$failed" -eq 0 ]
