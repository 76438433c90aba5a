#!/usr/bin/env bash
# One soak run: the core CORE, copied into RUN_DIR with the hostile soak
# plugins of PLUGIN_DIR in its plugins/, under soak_parent (PARENT), which
# stops it after a while. Fails on a non-zero exit of the core (a sanitizer
# report makes one), a sanitizer report, a block the core still lists when it
# exits ("leaked by plugins": the plugins release everything they keep before
# their Close returns), a plugin that did not close, or a run that did not
# show the core's level-0 lines at the end (so the leak report would have
# been seen).
#
# Usage: tests/soak/soak.sh CORE PARENT PLUGIN_DIR RUN_DIR
# Environment (all optional):
#   SOAK_SECONDS  length of the run before the stop (120)
#   SOAK_EVENTS   stop earlier once the plugins have had this many events accepted
#   SOAK_STOP     packet (the parent's stop packet, the default) or signal (SIGTERM)
#   SOAK_PROFILE  chaos (the default) or fast (mostly small events, for long runs)
#   SOAK_SEED     the plugins' and the parent's random seed (default: from the clock)
#   SOAK_THROTTLING  1 turns the core's memory watch on (off by default)
set -uo pipefail

if [ $# -ne 4 ]; then
  sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 2
fi
core=$(realpath "$1") parent=$(realpath "$2") plugins=$(realpath "$3") run=$(realpath -m "$4")
seconds=${SOAK_SECONDS:-120}
events=${SOAK_EVENTS:-0}
stop=${SOAK_STOP:-packet}
throttling=${SOAK_THROTTLING:-0}
export SOAK_PROFILE=${SOAK_PROFILE:-chaos}
export SOAK_SEED=${SOAK_SEED:-$(date +%s)}
plugin_count=4 # soak0..soak3; soak4 is refused

rm -rf "$run"
mkdir -p "$run/plugins"
cp "$core" "$run/dvrcore"
for slot in 0 1 2 3 4; do
  ln -s "$plugins/soak$slot.so" "$run/plugins/soak$slot.so"
done
# The core shows its level-0 lines (the leak report is one); the soak
# plugins start at their own default, 95. The memory watch is off unless
# asked for: a sanitizer's own memory keeps the core above its limit for the
# whole run, which would drop every frame and keep the block cache empty.
cat >"$run/core.xml" <<EOF
<Qarn>
    <Memory Throttling="$throttling" />
    <Modules>
        <Module>
            <Plugin ID="-2147483648" LogLevel="0" />
        </Module>
    </Modules>
</Qarn>
EOF

limit="$seconds s"
[ "$events" = 0 ] || limit="$limit or $events events"
echo "soak: $SOAK_PROFILE profile, seed $SOAK_SEED, $limit, stop by $stop," \
  "memory watch $([ "$throttling" = 0 ] && echo off || echo on), in $run"
cd "$run" || exit 1
"$parent" --seconds "$seconds" --events "$events" --stop "$stop" --seed "$SOAK_SEED" \
  --log soak.log "$run/dvrcore"
status=$?
log=$run/soak.log
if [ ! -f "$log" ]; then
  echo "soak: FAILED: soak_parent exited with status $status and wrote no log"
  exit 1
fi

failures=()
[ "$status" -eq 0 ] || failures+=("soak_parent exited with status $status")
if grep -aqE 'ERROR: (AddressSanitizer|LeakSanitizer)|WARNING: ThreadSanitizer|runtime error:|SUMMARY: [A-Za-z]+Sanitizer' "$log"; then
  failures+=("sanitizer report")
fi
if grep -aq 'leaked by plugins' "$log"; then
  failures+=("the core listed blocks at exit: $(grep -ac 'leaked by plugins' "$log") lines")
fi
grep -aq 'successfully started core version' "$log" || failures+=("the core never said it started")
closed=$(grep -acE 'soak[0-9]: closed: .*holding 0$' "$log")
[ "$closed" -eq "$plugin_count" ] || failures+=("$closed of $plugin_count plugins closed")
marks=$(grep -acE 'plugin soak[0-9]\.so unload returned 77 error 0' "$log")
[ "$marks" -eq "$plugin_count" ] ||
  failures+=("$marks of $plugin_count unload lines: the core's level-0 lines were not all shown at the end")

echo "soak: the core's last status report (once a minute):"
grep -aoE '(core event queue size|Top - ).*' "$log" | tail -2 | sed 's/^/  /'
echo "soak: the plugins at their close:"
grep -aoE 'soak[0-9]: closed: .*' "$log" | sed 's/^/  /'
if [ ${#failures[@]} -eq 0 ]; then
  echo "soak: passed (no sanitizer report, no block left in the core's table, clean exit)"
  exit 0
fi
echo "soak: the end of $log:"
tail -c 20000 "$log" | tr -c '[:print:]\n\t' '?' | tail -60
if grep -aqE 'Sanitizer|runtime error:' "$log"; then
  echo "soak: the first sanitizer report:"
  grep -aE -m1 -A60 'ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:' "$log" |
    tr -c '[:print:]\n\t' '?'
fi
printf 'soak: FAILED: %s\n' "${failures[@]}"
exit 1
