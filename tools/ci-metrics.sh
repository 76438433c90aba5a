#!/usr/bin/env bash
# CI run: the metrics plugin scraped by a real Prometheus server. Installs
# Debian's prometheus package (and curl, python3) when missing, builds the
# core, the parent stand-in and the camera, recorder and metrics plugins
# into build/ (or $BUILD_DIR), and runs the core under the stand-in in a
# scratch directory with only those three plugins. A Prometheus server
# started for this run scrapes /metrics every second; after a few scrapes
# its HTTP API must say that:
#   - the target is up;
#   - the camera's frame rate over the last 10 s is within 10% of its 25 fps;
#   - the recorder is loaded;
# and promtool check metrics must find nothing to say about one scrape. Then a
# second core, given the same address, must log that the port is taken and
# still run and stop cleanly. Both servers listen on 127.0.0.1 only, on ports
# free at the start; everything is stopped on exit and each wait is bounded.
#
# METRICS_SECONDS=N keeps scraping N seconds (15 by default) before the
# queries; METRICS_PLOT=FILE.svg then draws the camera's frame rate and bit
# rate and the core's resident memory from Prometheus's query_range answers
# (tools/metrics_plot.py). Ends with "metrics: passed" or "metrics: FAILED".
source "$(dirname "$0")/ci-lib.sh"

tools/install-deps.sh prometheus curl python3
build=${BUILD_DIR:-build}
BUILD_DIR=$build BUILD_TARGETS="dvrcore dvrparent camera recorder logsink metrics" tools/build.sh

scratch=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do timeout 10 tail --pid="$pid" -f /dev/null || kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "metrics: FAILED: $*"
  for log in core prometheus; do
    [ -s "$scratch/$log.log" ] && { echo "--- $log.log (last lines)"; tail -20 "$scratch/$log.log"; }
  done
  exit 1
}

# Two ports nobody listens on now (the kernel's choice, given back at once).
read -r metrics_port prometheus_port < <(python3 -c '
import socket
socks = [socket.socket() for _ in range(2)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])')

# The core loads the plugins beside its executable: a copy of both in the
# scratch directory, with only the three plugins of this run.
mkdir -p "$scratch/core/plugins" "$scratch/work"
cp "$build/dvrcore" "$scratch/core/"
for plugin in camera recorder metrics; do
  cp "$build/plugins/$plugin.so" "$scratch/core/plugins/"
done
parent=$(realpath "$build/dvrparent")
(cd "$scratch/work" && DVR_METRICS_LISTEN=127.0.0.1:$metrics_port \
  exec timeout -s INT 600 "$parent" -q "$scratch/core/dvrcore") >"$scratch/core.log" 2>&1 &
pids+=($!)

cat >"$scratch/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: dvrcore
    static_configs:
      - targets: ['127.0.0.1:$metrics_port']
EOF
timeout -s INT 600 prometheus --config.file="$scratch/prometheus.yml" \
  --storage.tsdb.path="$scratch/tsdb" --web.listen-address="127.0.0.1:$prometheus_port" \
  --log.level=warn >"$scratch/prometheus.log" 2>&1 &
pids+=($!)
api=http://127.0.0.1:$prometheus_port/api/v1

# wait_for SECONDS COMMAND...: retries COMMAND every half second.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.5
  done
}
wait_for 30 curl -sf "http://127.0.0.1:$metrics_port/metrics" || fail "no /metrics on 127.0.0.1:$metrics_port"
wait_for 60 curl -sf "http://127.0.0.1:$prometheus_port/-/ready" || fail "Prometheus did not become ready"
seconds=${METRICS_SECONDS:-15}
echo "== scraping for $seconds s (core on :$metrics_port, Prometheus on :$prometheus_port)"
start=$(date +%s)
sleep "$seconds"

# query PROMQL: prints the first result's value, or nothing.
query() {
  curl -sf --get "$api/query" --data-urlencode "query=$1" | python3 -c '
import json, sys
result = json.load(sys.stdin)["data"]["result"]
print(result[0]["value"][1] if result else "")'
}
up=$(query 'up{job="dvrcore"}')
echo "up: $up"
[ "$up" = 1 ] || fail "the target is not up ($up)"
fps=$(query 'sum(rate(dvr_video_frames_total{provider="0x00500000"}[10s]))')
echo "camera frame rate over 10 s: $fps fps (configured: 25)"
python3 -c "import sys; sys.exit(not 22.5 <= float('${fps:-0}') <= 27.5)" ||
  fail "the camera's frame rate $fps is not within 10% of 25"
recorder=$(query 'dvr_plugin_loaded{file="recorder.so"}')
echo "recorder loaded: $recorder"
[ "$recorder" = 1 ] || fail "the recorder is not listed as loaded ($recorder)"

curl -sf "http://127.0.0.1:$metrics_port/metrics" >"$scratch/scrape.txt" || fail "a last scrape failed"
findings=$(promtool check metrics <"$scratch/scrape.txt" 2>&1) || fail "promtool: $findings"
[ -z "$findings" ] || fail "promtool check metrics: $findings"
echo "promtool check metrics: nothing to report on $(grep -vc '^#' "$scratch/scrape.txt") samples"

# A second core whose metrics address is taken (by the first): it says so
# through its log (the log sink's file here) and runs and stops as usual.
mkdir -p "$scratch/second/plugins" "$scratch/second/work"
cp "$build/dvrcore" "$scratch/second/"
cp "$build/plugins/metrics.so" "$build/plugins/logsink.so" "$scratch/second/plugins/"
status=0
(cd "$scratch/second/work" && DVR_METRICS_LISTEN=127.0.0.1:$metrics_port \
  exec timeout --preserve-status -k 20 -s INT 3 "$parent" -q "$scratch/second/dvrcore") >/dev/null 2>&1 ||
  status=$?
busy="metrics: cannot listen on 127.0.0.1:$metrics_port: Address already in use"
grep -F "$busy" "$scratch/second/work/dvrcore.log" || fail "a taken port was not reported (\"$busy\")"
[ "$status" -eq 0 ] || fail "the core with a taken metrics port exited with status $status"

if [ -n "${METRICS_PLOT:-}" ]; then
  end=$(date +%s)
  plot=()
  # range TITLE UNIT PROMQL: one panel of the plot, from the whole run.
  range() {
    local file=$scratch/panel${#plot[@]}.json
    curl -sf --get "$api/query_range" --data-urlencode "query=$3" --data-urlencode "start=$start" \
      --data-urlencode "end=$end" --data-urlencode step=1 >"$file" || fail "query_range $3"
    plot+=("$1" "$2" "$file")
  }
  range "Camera 0x00500000: video frames per second (rate over 5 s)" "frames/s" \
    'sum by (frame) (rate(dvr_video_frames_total{provider="0x00500000"}[5s]))'
  range "Camera 0x00500000: bit rate delivered (rate over 5 s)" "kbit/s" \
    'sum by (type) (rate(dvr_event_bytes_total{provider="0x00500000",type=~"video|audio"}[5s])) * 8 / 1000'
  range "Core process (camera, recorder, metrics): resident memory" "MiB" \
    'process_resident_memory_bytes / 2^20'
  python3 tools/metrics_plot.py "${plot[@]}" >"$METRICS_PLOT" || fail "the plot could not be drawn"
  echo "plot: $METRICS_PLOT"
fi
echo "metrics: passed"
