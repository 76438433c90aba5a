#!/usr/bin/env bash
# The metrics plugin's cost: recorder_load_bench --compare with the plugin
# while /metrics is scraped once a second (on a free port), so its serving is
# in the process's CPU time.
# Usage: bench/plugin_cost.sh BUILD_DIR CSV [REPETITIONS [SECONDS]]   (5, 10)
#   Rows to CSV, the benchmark's report to standard error, key=value lines to
#   standard output.
set -euo pipefail
[ $# -ge 2 ] || { sed -n '2,/^set -e/{s/^# \{0,1\}//p}' "$0" >&2; exit 2; }
build=$1 csv=$2 repetitions=${3:-5} seconds=${4:-10}
bench=$build/bench/recorder_load_bench plugin=$build/plugins/metrics.so
if [ ! -x "$bench" ] || [ ! -f "$plugin" ]; then
  echo "$bench or $plugin is not built" >&2
  exit 1
fi

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export DVR_METRICS_LISTEN=127.0.0.1:$port
scrapes=$(mktemp)
trap 'kill "$scraper" 2>/dev/null; rm -f "$scrapes" "$scrapes.report"' EXIT
while sleep 1; do
  curl -sf -o /dev/null --max-time 1 "http://$DVR_METRICS_LISTEN/metrics" && echo >>"$scrapes"
done &
scraper=$!

echo "commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
echo "load_before=$(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" --compare "$repetitions" --plugin "$plugin" --seconds "$seconds" --csv "$csv" |
  tee "$scrapes.report" >&2 || true
# Each run that passed its checks says so; two configurations, two runs a pair.
failed=$((4 * repetitions - $(grep -c '^    checks:' "$scrapes.report" || true)))
echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)"
echo "scrapes=$(wc -l <"$scrapes")"
echo "repetitions=$repetitions"
echo "seconds=$seconds"
echo "failed_runs=$failed"
[ "$failed" -eq 0 ]
