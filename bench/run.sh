#!/usr/bin/env bash
# Measures the core and writes docs/performance.md with its latency plot:
# installs what is missing, builds a Release tree in build-release/ without
# the tests, runs each measurement (a footprint needs the armhf cross compiler
# and qemu-arm) and bench/report.py. What cannot run is reported as "not
# measured" and the rest goes on; raw results in build-release/bench-results/.
# Usage: bench/run.sh [--quick | --plugin-cost]
#   --quick: shorter windows and fewer runs; $RECORDER_LOAD_ARGS adds arguments
#   --plugin-cost: only the metrics plugin's cost, into its section of the page
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0 only=
case ${1:-} in
  --quick) quick=1 ;;
  --plugin-cost) only=plugin-cost ;;
  "") ;;
  *) sed -n '2,/^set -e/{s/^# \{0,1\}//p}' "$0"; exit 2 ;;
esac
idle_window=10 idle_repeat=7 startup_runs=11 callgrind_events=20000 seconds=10 repetitions=5
sustained_events=10000000
[ $quick -eq 0 ] || { idle_window=3; idle_repeat=2; startup_runs=3; callgrind_events=5000; seconds=2
  repetitions=1; sustained_events=100000; }

tools/install-deps.sh libzmq3-dev valgrind python3
export BUILD_DIR=build-release BUILD_TYPE=Release
tools/build.sh -DDVR_BUILD_TESTS=OFF -DDVR_BUILD_BENCH=ON -DDVR_BUILD_EXAMPLES=ON
build=$BUILD_DIR bench=$BUILD_DIR/bench
results=$build/bench-results${only:+-$only}
rm -rf "$results"
mkdir -p "$results"
cut -d' ' -f1-3 /proc/loadavg >"$results/load-before.txt"  # the page shows the load

failed=()
# step NAME COMMAND...: standard output to $results/NAME, standard error to
# NAME.log; on failure the output is removed, so the page says "not measured".
step() {
  local name=$1
  shift
  echo "== $name"
  if "$@" >"$results/$name" 2>"$results/$name.log"; then
    case $name in *.txt) cat "$results/$name" ;; *) echo "   output in $results/$name" ;; esac
  else
    echo "   $name failed (exit $?); see $results/$name.log" >&2
    tail -5 "$results/$name.log" >&2 || true
    rm -f "$results/$name"
    failed+=("$name")
  fi
}

# The armhf tree for the footprint, when the cross tools are there.
armhf_build() {
  command -v arm-linux-gnueabihf-g++ >/dev/null && command -v qemu-arm >/dev/null ||
    { echo "footprint: the armhf cross compiler or qemu-arm is missing: not measured" >&2; return 1; }
  cmake -S . -B build-armhf-bench -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
    -DCMAKE_BUILD_TYPE=Release -DDVR_BUILD_TESTS=OFF -DDVR_BUILD_BENCH=OFF \
    -DDVR_BUILD_EXAMPLES=ON >&2 &&
    cmake --build build-armhf-bench -j2 --target dvrcore camera recorder logsink >&2 &&
    python3 bench/core_runs.py footprint --parent-build "$build" build-armhf-bench
}

if [ -n "$only" ]; then
  step plugin_cost.txt python3 bench/core_runs.py plugin-cost --csv "$results/plugin_cost.csv" \
    --repetitions 10 "$build"
  python3 bench/report.py "$results" --page docs/performance.md --only plugin-cost
  echo "wrote the metrics plugin's section of docs/performance.md"
  exit ${#failed[@]}
fi

# Repeated cases run interleaved in random order, so that a disturbance of
# the machine falls on all alike; the page takes the medians.
step event_bus.out "$bench/event_bus_bench" --benchmark_format=json \
  --benchmark_out="$results/event_bus.json" --benchmark_repetitions="$repetitions" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
sustained() {  # each queue in a process of its own
  "$bench/event_bus_bench" --sustained "$sustained_events" dvrcore &&
    "$bench/event_bus_bench" --sustained "$sustained_events" bare | grep '^bare_'
}
step sustained.txt sustained
# shellcheck disable=SC2086 # split on purpose
step recorder_load.out "$bench/recorder_load_bench" --csv "$results/recorder_load.csv" \
  --histogram "$results/recorder_load_histogram.csv" --seconds "$seconds" ${RECORDER_LOAD_ARGS:-}
step recorder_compare.out "$bench/recorder_load_bench" --compare "$repetitions" \
  --seconds "$seconds" --csv "$results/recorder_compare.csv" \
  --histogram "$results/recorder_load_histogram.csv"
step idle.txt python3 bench/core_runs.py idle --window "$idle_window" --repeat "$idle_repeat" "$build"
step startup.txt python3 bench/core_runs.py startup --plugins 32 --runs "$startup_runs" "$build"
step callgrind.txt python3 bench/core_runs.py callgrind --events "$callgrind_events" "$build"
step footprint.txt armhf_build
step plugin_cost.txt python3 bench/core_runs.py plugin-cost --csv "$results/plugin_cost.csv" \
  --repetitions "$repetitions" --seconds "$seconds" "$build"

note=
[ $quick -eq 0 ] || note="A quick run (\`bench/run.sh --quick\`): shorter windows and fewer runs."
python3 bench/report.py "$results" --page docs/performance.md \
  --plot docs/performance-latency.svg --note "$note"
echo "wrote docs/performance.md and docs/performance-latency.svg"
[ ${#failed[@]} -eq 0 ] || echo "not measured: ${failed[*]}" >&2
