#!/usr/bin/env bash
# Measures the core and writes docs/performance.md with its latency plot
# (docs/performance-latency.svg).
#
# Installs what is missing (the build's packages, and for the measurements
# libzmq3-dev, valgrind and python3), builds a Release tree in build-release/
# without the tests, and runs in turn:
#   event_bus_bench        throughput, Google Benchmark's JSON; then its
#                          sustained load (10^7 events, 10^5 with --quick) on
#                          the bus and the bare reference queue: peak resident
#                          size and event rate
#   recorder_load_bench    latency under a recorder's load (CSV and histogram),
#                          and the same load on the bare reference queue,
#                          when built; $RECORDER_LOAD_ARGS adds arguments
#                          (--quick runs each configuration for 2 s)
#   bench/idle.sh          the idle core: memory, CPU, wake-ups
#   bench/startup.py       start-up time with 32 plugins
#   bench/callgrind.sh     instructions per routed event
#   bench/plugin_cost.sh   the recorder load with and without the metrics
#                          plugin, 64 and 256 cameras, while it is scraped
# then bench/report.py writes the page. What cannot run is reported as "not
# measured" and the rest goes on. The raw results stay in
# build-release/bench-results/.
# Usage: bench/run.sh [--quick | --plugin-cost]
#   --quick: shorter windows and fewer runs
#   --plugin-cost: only the metrics plugin's cost, into its section of the page
#   (its results in build-release/bench-results-plugin-cost/)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0 only=
case ${1:-} in
  --quick) quick=1 ;;
  --plugin-cost) only=plugin-cost ;;  # with 10 repetitions
  "") ;;
  *) sed -n '2,/^set -e/{s/^# \{0,1\}//p}' "$0"; exit 2 ;;
esac
idle_window=30 startup_runs=11 callgrind_events=20000 recorder_load_args= repetitions=5
sustained_events=10000000
[ $quick -eq 0 ] || { idle_window=5; startup_runs=3; callgrind_events=5000
  recorder_load_args="--seconds 2"; repetitions=1; sustained_events=100000; }

tools/install-deps.sh libzmq3-dev valgrind python3
export BUILD_DIR=build-release BUILD_TYPE=Release
tools/build.sh -DDVR_BUILD_TESTS=OFF -DDVR_BUILD_BENCH=ON -DDVR_BUILD_EXAMPLES=ON
build=$BUILD_DIR
results=$build/bench-results${only:+-$only}
rm -rf "$results"
mkdir -p "$results"

# Other work on the machine skews every figure: the page shows the load.
cut -d' ' -f1-3 /proc/loadavg >"$results/load-before.txt"
failed=()
# step NAME COMMAND...: runs a measurement, its standard output to
# $results/NAME, its standard error to $results/NAME.log; a failure is noted
# and its output removed, so the page says "not measured".
step() {
  local name=$1
  shift
  echo "== $name"
  if "$@" >"$results/$name" 2>"$results/$name.log"; then
    case $name in
      *.txt) cat "$results/$name" ;;
      *) echo "   output in $results/$name" ;;
    esac
  else
    echo "   $name failed (exit $?); see $results/$name.log" >&2
    tail -5 "$results/$name.log" >&2 || true
    rm -f "$results/$name"
    failed+=("$name")
  fi
}

# run_bench EXECUTABLE ARGUMENT...: a benchmark that may not be built.
run_bench() {
  local executable=$build/bench/$1
  shift
  if [ ! -x "$executable" ]; then
    echo "${executable##*/} is not built: not measured" >&2
    return 1
  fi
  "$executable" "$@"
}

if [ -n "$only" ]; then
  step plugin_cost.txt bench/plugin_cost.sh "$build" "$results/plugin_cost.csv" 10
  python3 bench/report.py "$results" --page docs/performance.md --only plugin-cost
  echo "wrote the metrics plugin's section of docs/performance.md"
  exit ${#failed[@]}
fi

# Each case several times, the cases interleaved in random order, so that a
# disturbance of the machine falls on all of them alike; the page takes the
# medians.
step event_bus.out run_bench event_bus_bench --benchmark_format=json \
  --benchmark_out="$results/event_bus.json" --benchmark_repetitions="$repetitions" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
step sustained.txt run_bench event_bus_bench --sustained "$sustained_events"
# shellcheck disable=SC2086 # the argument lists are split on purpose
step recorder_load.out run_bench recorder_load_bench --csv "$results/recorder_load.csv" \
  --histogram "$results/recorder_load_histogram.csv" $recorder_load_args ${RECORDER_LOAD_ARGS:-}
# The same load, 64 cameras and one producer, on the bare reference queue:
# what this machine allows any queue of threads. Its rows join the same files.
# shellcheck disable=SC2086
step recorder_load_reference.out run_bench recorder_load_bench --reference --cameras 64 \
  --producers 1 --csv "$results/recorder_load.csv" \
  --histogram "$results/recorder_load_histogram.csv" $recorder_load_args
step idle.txt bench/idle.sh --window "$idle_window" --smaps "$results/idle-smaps.txt" "$build"
step startup.txt python3 bench/startup.py --plugins 32 --runs "$startup_runs" "$build"
step callgrind.txt bench/callgrind.sh --events "$callgrind_events" "$build"
# shellcheck disable=SC2086
step plugin_cost.txt bench/plugin_cost.sh "$build" "$results/plugin_cost.csv" "$repetitions" \
  ${recorder_load_args#--seconds }

note=
[ $quick -eq 0 ] || note="A quick run (\`bench/run.sh --quick\`): shorter windows and fewer runs."
python3 bench/report.py "$results" --page docs/performance.md \
  --plot docs/performance-latency.svg --note "$note"
echo "wrote docs/performance.md and docs/performance-latency.svg"
[ ${#failed[@]} -eq 0 ] || echo "not measured: ${failed[*]}" >&2
