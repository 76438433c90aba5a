#!/usr/bin/env python3
"""Writes the performance page and its latency plot from the results bench/run.sh
collected in one directory; a missing file or case shows as "not measured".
--only plugin-cost rewrites only that section of the page (added at its end
when the page has none) and leaves the plot alone. Standard library only."""
import argparse
import csv
import datetime
import json
import math
import os
import platform
import re
import statistics
from xml.sax.saxutils import escape

from core_runs import command_output, read_text

NOT_MEASURED = "not measured"
SIZES = [0, 64, 65536]
# Smallest dvrcore/bare-loop ratio by (bytes, producers); None: no target.
BARE_TARGETS = {(0, 1): 1.5, (64, 1): 1.5, (65536, 1): 1.2, (65536, 2): 1.2}
ZEROMQ_TARGET = 2.0
P99_TARGET_US = 50
CORE_CPU_TARGET_PCT = 3
CORE_CPU_TARGET_CAMERAS = 64
IDLE_RSS_TARGET_KIB = 6 * 1024
IDLE_CPU_TARGET_PCT = 0.05
IDLE_YARDSTICK_TARGET = 1.3  # the core's scheduler run time against the yardstick's, at most
SUSTAINED_PEAK_TARGET_KIB = 2 * 1024  # the bus's peak above the bare queue's, at most
PLUGIN_COST_TITLE = "## The metrics plugin's cost"
PLUGIN_CORE_CPU_TARGET_PCT = 5  # the core's share with the plugin above without, at most
INSTRUCTIONS_TARGET = 1000  # per routed 64-byte event
COMPARE_TARGET = 1.1  # the bus's core CPU and p50 against the bare queue's, at most
# How the recorder load's figures read on the page, by column of its CSV; "%.1f" if not here.
FORMS = {"events_per_s": "%.0f", "core_cpu_pct": "%.2f", "process_cpu_pct": "%.2f",
         "plugin_write_ns": "%.0f", "plugin_cpu_pct": "%.3f", "others_cpu_pct": "%.0f"}
PLOT = "![Latency by configuration: share of events at or below a latency](performance-latency.svg)"


class Keys(dict):
    """Measured values by name; a missing one reads "?"."""
    def __missing__(self, key):
        return "?"


def prose(text, values=None):
    return text.format_map(Keys(values or {})).split("\n")


def met(good):
    return "met" if good else "**not met**"


def number(value, form="%.1f", scale=1, missing="?"):
    """`value`, a number or its text, divided by `scale` in `form`; `missing`
    when there is none or it is no number."""
    try:
        return form % (float(value) / scale)
    except (TypeError, ValueError):
        return missing


def spread(values, form="%.2f"):
    """The median, and the smallest and largest value in brackets."""
    if not values:
        return NOT_MEASURED
    return "%s (%s–%s)" % tuple(number(v, form) for v in (
        statistics.median(values), min(values), max(values)))


def table(header, align, rows):
    """A Markdown table; `align` has an "l" or an "r" per column."""
    row = lambda cells: "|" + "|".join(" %s " % c if c else " " for c in cells) + "|"  # noqa: E731
    return [row(header), "|" + "|".join("---:" if a == "r" else "---" for a in align) + "|"] + [
        row(cells) for cells in rows]


def section(title, missing=""):
    """A section's maker: `title`, then the lines the decorated function
    returns or, when it returns none, the sentence `missing` ({} for "not
    measured")."""
    def decorate(make):
        return lambda *data: [title, ""] + (make(*data) or prose(missing.format(NOT_MEASURED)))
    return decorate


def read_keys(path):
    """key=value lines of a file; {} when it is missing."""
    return Keys(line.split("=", 1) for line in read_text(path).splitlines() if "=" in line)


def read_csv(path):
    return list(csv.DictReader(read_text(path).splitlines()))


def read_benchmarks(path):
    """{(family, bytes, producers): events per second} of the cases that ran:
    the median where the case was repeated, else its one run."""
    try:
        runs = json.loads(read_text(path)).get("benchmarks", [])
    except ValueError:
        return {}
    found, medians = {}, {}
    for run in runs:
        match = re.match(r"(BM_\w+)/bytes:(\d+)/producers:(\d+)/",
                         run.get("run_name") or run.get("name", ""))
        if not match or run.get("error_occurred") or "items_per_second" not in run:
            continue
        key = (match.group(1), int(match.group(2)), int(match.group(3)))
        if run.get("run_type") != "aggregate":
            found[key] = float(run["items_per_second"])
        elif run.get("aggregate_name") == "median":
            medians[key] = float(run["items_per_second"])
    return {**found, **medians}


def runs_by(rows, key_of, columns, optional=()):
    """Rows grouped by key_of(row), each row's `columns` as numbers (rows
    missing any are left out) and its `optional` ones, NaN when missing."""
    runs = {}
    for r in rows:
        try:
            runs.setdefault(key_of(r), []).append(dict({k: float(r[k]) for k in columns}, **{
                k: float(r.get(k) or "nan") for k in optional}))
        except (KeyError, ValueError):
            continue
    return runs


def machine(results):
    model = next((line.split(":", 1)[1].strip() for line in read_text(
        "/proc/cpuinfo").splitlines() if line.startswith("model name")), "")
    load = lambda path: " ".join(read_text(path).split()[:3]) or "unknown"  # noqa: E731
    commit = command_output(["git", "rev-parse", "--short", "HEAD"]) or "unknown"
    # The page and its plot are what this run rewrites: they do not count.
    if command_output(["git", "status", "--porcelain", "--untracked-files=no", "--", ".",
                       ":!docs/performance.md", ":!docs/performance-latency.svg"]):
        commit += " (with changes not yet committed)"
    return [
        ("Date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
        ("Processors (nproc)", str(len(os.sched_getaffinity(0)))),
        ("CPU", model or "unknown"), ("Kernel", platform.release()),
        ("Compiler", command_output(["c++", "--version"]).split("\n")[0] or "unknown"),
        ("Commit", commit), ("Load average (1, 5, 15 min)", "%s before, %s after" % (
            load(os.path.join(results, "load-before.txt")), load("/proc/loadavg")))]


def judged(value, limit):
    try:
        return met(float(value) <= limit)
    except (TypeError, ValueError):
        return NOT_MEASURED


def verdict(ratio, target):
    if target is None:
        return "—"
    return "≥ %.1f×: %s" % (target, NOT_MEASURED if ratio is None else met(ratio >= target))


def rate(value):
    """Events per second in millions (M) or thousands (k)."""
    big = value is not None and value >= 1e6
    return number(value, "%.2f M" if big else "%.0f k", 1e6 if big else 1e3, NOT_MEASURED)


@section("## Throughput")
def throughput_section(bench):
    rows = []
    for size, producers in sorted({(b, p) for (_, b, p) in bench} |
                                  {(b, p) for b in SIZES for p in (1, 2)}):
        core, bare, zmq = (bench.get((family, size, producers)) for family in (
            "BM_EventBus", "BM_BareQueue", "BM_ZeroMQ"))
        to_bare = core / bare if core and bare else None
        to_zmq = core / zmq if core and zmq else None
        rows.append(["64 KiB" if size == 65536 else "%d B" % size, str(producers), rate(core),
                     rate(bare), rate(zmq) if producers == 1 else "—",
                     number(to_bare, "%.2f×", missing="—"),
                     verdict(to_bare, BARE_TARGETS.get((size, producers))),
                     number(to_zmq, "%.2f×", missing="—"),
                     verdict(to_zmq, ZEROMQ_TARGET if producers == 1 else None)])
    return prose(
        "Events per second (M: millions, k: thousands) to three subscribers (`event_bus_bench`;\n"
        "the median of the repetitions, interleaved in random order) through the event bus,\n"
        "the bare queue doing the same copy and three calls, and ZeroMQ inproc (one producer\n"
        "only). Targets: at least 1.5 times the bare loop at 0 B and 64 B with one producer,\n"
        "1.2 times at 64 KiB; at least twice ZeroMQ.\n") + table(
        ["Size", "Producers", "dvrcore", "bare loop", "ZeroMQ", "dvrcore / bare", "target",
         "dvrcore / ZeroMQ", "target"], "rrrrrrlrl", rows)


@section("## Latency under a recorder's load",
         "Latency {} in this run (`recorder_load_bench` was not built).\n\n" + PLOT)
def latency_section(rows):
    if not rows:
        return []
    cells = [[r.get("queue") or "dvrcore", r.get("cameras", "?"), r.get("producers", "?")] +
             [number(r.get(k), FORMS.get(k, "%.1f")) for k in (
                 "events_per_s", "mbytes_per_s", "p50_us", "p99_us", "p999_us", "max_us",
                 "core_cpu_pct", "process_cpu_pct")] +
             [judged(r.get("p99_us"), P99_TARGET_US),
              judged(r.get("core_cpu_pct"), CORE_CPU_TARGET_PCT)
              if r.get("cameras", "").strip() == str(CORE_CPU_TARGET_CAMERAS) else "—"]
             for r in rows]
    targets = dict(p99=P99_TARGET_US, cpu=CORE_CPU_TARGET_PCT, cameras=CORE_CPU_TARGET_CAMERAS)
    return prose(
        "From a post to its delivery (`recorder_load_bench`). Targets: p99 at most {p99} µs; the\n"
        "core's CPU at most {cpu} % of one core with {cameras} cameras.\n", targets) + table(
        ["Queue", "Cameras", "Producers", "Events/s", "MB/s", "p50 µs", "p99 µs", "p99.9 µs",
         "max µs", "core CPU %", "process CPU %", "p99 ≤ %d µs" % P99_TARGET_US,
         "core CPU ≤ %d %%" % CORE_CPU_TARGET_PCT], "lrrrrrrrrrrll", cells) + prose(
        "\n{plot}\n\nThe plot's y axis counts nines (90 %, 99 %, ...); each curve ends at the top\n"
        "with its largest latency; the bare queue's curves are its first run of the comparison\n"
        "below; the dashed line marks the {p99} µs p99 target.", dict(targets, plot=PLOT))


@section("## The bus beside the bare queue under a recorder's load",
         "The comparison with the bare queue {} in this run.")
def compare_section(rows):
    """Medians of the interleaved runs by configuration."""
    runs = runs_by(rows, lambda r: (int(r["cameras"]), int(r["producers"]),
                                    r.get("queue") or "dvrcore"),
                   ("core_cpu_pct", "p50_us", "p99_us"))
    if not runs:
        return []
    cells = []
    for cameras, producers in sorted({(c, p) for c, p, _ in runs}):
        core, bare = (runs.get((cameras, producers, q), []) for q in ("dvrcore", "bare queue"))
        cells.append(["%d × %d" % (cameras, producers), "%d" % min(len(core), len(bare))])
        for key in ("core_cpu_pct", "p50_us", "p99_us"):
            a, b = (statistics.median([r[key] for r in got]) if got else None
                    for got in (core, bare))
            cells[-1] += [number(v, FORMS.get(key, "%.1f"), missing=NOT_MEASURED) for v in (a, b)]
            if key != "p99_us":
                ratio = a / b if a is not None and b else None
                cells[-1] += ["%.2f×" % ratio, met(ratio <= COMPARE_TARGET)] if ratio else [
                    "—", NOT_MEASURED]
    within = "≤ %.1f×" % COMPARE_TARGET
    return prose(
        "`recorder_load_bench --compare`: the same load on the event bus and on the bare queue,\n"
        "the runs interleaved, each pair in random order; medians. Target: the core's CPU share\n"
        "and p50 within {target} the bare queue's.\n", dict(target="%.1f×" % COMPARE_TARGET)) + (
        table(["Cameras × producers", "Runs each", "Core CPU %, dvrcore", "bare queue", "ratio",
               within, "p50 µs, dvrcore", "bare queue", "ratio", within, "p99 µs, dvrcore",
               "bare queue"], "lrrrrlrrrlrr", cells))


@section("## Sustained load", "Sustained load {} in this run.")
def sustained_section(run):
    if "events" not in run:
        return []
    cells = [[name, NOT_MEASURED, "", "", ""] if key + "_peak_kib" not in run else [
        name, run.get(key + "_events_per_s", "?"), "%s (%s KiB)" % (number(
            run[key + "_peak_kib"], "%.1f MiB", 1024), run[key + "_peak_kib"]),
        run.get(key + "_seconds", "?"), "%s times" % run.get(key + "_waits", "?")]
        for key, name in (("dvrcore", "dvrcore"), ("bare", "bare queue"))]
    lines = prose(
        "{count} events of {low} to {high} KiB (a fixed pseudo-random sequence) from {producers}\n"
        "producer threads to three subscribers (`event_bus_bench --sustained`), {window} events\n"
        "in flight: a producer waits while that many are, and the last subscriber returns from\n"
        "an event only once the producers have posted the {lead} after it, so the delivery loop\n"
        "never sleeps; each queue in a process of its own. Target: the bus's peak at most 2 MiB\n"
        "above the bare queue's.\n", dict(run, count="{:,}".format(int(run["events"])),
                                          low=int(run.get("min_bytes", 0)) // 1024,
                                          high=int(run.get("max_bytes", 0)) // 1024)) + table(
        ["Queue", "Events/s", "Peak resident (VmHWM)", "Seconds",
         "Subscriber waited for the producers"], "lrrrr", cells)
    if "dvrcore_peak_kib" in run and "bare_peak_kib" in run:
        above = int(run["dvrcore_peak_kib"]) - int(run["bare_peak_kib"])
        lines += ["", "The event bus's peak is %+.2f MiB (%+d KiB) beside the bare queue's: "
                  "≤ +2 MiB: %s." % (above / 1024, above,
                                     met(above <= SUSTAINED_PEAK_TARGET_KIB))]
    return lines


@section("## The idle core", "Idle figures {} in this run.")
def idle_section(idle):
    if "rss_kib" not in idle:
        return []
    rss, idle = int(idle["rss_kib"]), Keys(idle)
    mib = lambda key: number(idle.get(key), "%.1f MiB", 1024, NOT_MEASURED)  # noqa: E731
    share = lambda key: [  # noqa: E731
        number(idle.get(key), "%.3f %% of one core", missing=NOT_MEASURED),
        "≤ %.2f %%: %s" % (IDLE_CPU_TARGET_PCT, judged(idle[key], IDLE_CPU_TARGET_PCT))
        if key in idle else ""]
    kinds = {"exe": "Executable", "libs": "Shared libraries", "plugins": "Plugins",
             "other_files": "Other files", "heap": "Heap", "main_stack": "Main stack",
             "thread_stacks": "Thread stacks", "arenas": "malloc arenas",
             "other_anon": "Other anonymous"}
    return prose(
        "The core with the example plugins (camera, recorder, log sink) and the camera\n"
        "stopped by the parent, read from /proc over {window_s} s in {windows} windows, each\n"
        "beside the yardstick (`bench/core_runs.py idle`).\n",
        idle) + table(["Figure", "Value", "Target"], "lrl", [
            ["Resident size (VmRSS)", "%s (%d KiB)" % (mib("rss_kib"), rss),
             "≤ 6 MiB: %s" % met(rss <= IDLE_RSS_TARGET_KIB)],
            ["Peak resident size (VmHWM)", mib("hwm_kib"), ""],
            ["Proportional size (Pss)", mib("pss_kib"), ""],
            ["CPU, utime + stime"] + share("cpu_pct"),
            ["CPU, scheduler run time"] + share("cpu_pct_schedstat"),
            ["Wake-ups (context switches)", "%s per second" % idle["wakeups_per_s"],
             "about 10 (the 100 ms tick)"],
            ["Yardstick: a process that only wakes every 100 ms", "%s of one core, %s wake-ups "
             "per second" % (number(idle.get("reference_cpu_pct"), "%.3f %%",
                                    missing=NOT_MEASURED), idle["reference_wakeups_per_s"]), ""],
            ["CPU against the yardstick (run time, the median of the windows' ratios)",
             "%s (by window: %s)" % (number(idle.get("ratio_median"), "%.2f×",
                                            missing=NOT_MEASURED),
                                     idle["ratio_by_window"].replace(",", ", ")),
             "≤ %.1f×: %s" % (IDLE_YARDSTICK_TARGET, judged(idle["ratio_median"],
                                                             IDLE_YARDSTICK_TARGET))
             if "ratio_median" in idle else ""],
            ["Threads", idle["threads"], ""]]) + prose(
        "\nWake-ups per second by thread (name/ID): {by}.\n\n"
        "utime + stime count clock ticks (10 ms); the scheduler's run time counts nanoseconds\n"
        "and is the one to trust. The yardstick is `bench/sleeper`, run anew in each window.\n\n"
        "Where the resident size goes (KiB):\n", dict(by=idle["wakeups_by_thread"].replace(
            ",", ", "))) + table(list(kinds.values()), "r" * len(kinds), [
                [idle["rss_%s_kib" % kind] for kind in kinds]]) + [
        "", "Largest files (KiB): %s." % idle["rss_top_files"].replace(",", ", ").replace(":", " ")]


@section("## Start-up", "Start-up time {} in this run.")
def startup_section(startup):
    if "startup_median_ms" not in startup:
        return []
    startup = Keys(startup)
    ms = lambda *keys: ["%s ms" % startup["startup_%s_ms" % k] for k in keys]  # noqa: E731
    return prose(
        "From starting the parent stand-in (which starts the core at once) to the core's\n"
        "start line, with {plugins} no-op plugins ({plugins_loaded} loaded), {runs} runs "
        "(`bench/core_runs.py startup`):\n", startup) + table(
        ["", "Median", "Min", "Max"], "lrrr", [
            ["%s plugins" % startup["plugins"]] + ms("median", "min", "max"),
            ["no plugin"] + ms("without_plugins_median", "without_plugins_min") + [""]])


@section("## Instructions per event", "Instructions per event {} in this run.")
def callgrind_section(counts):
    if "instructions_per_event" not in counts:
        return []
    core, bare = float(counts["instructions_per_event"]), counts.get(
        "bare_instructions_per_event")
    lines = prose(
        "Per 64-byte event, from the event entry to its delivery to three subscribers and the\n"
        "release of its block (`bench/core_runs.py callgrind`): the difference of callgrind's\n"
        "counts of `event_bus_bench --route` with {events} and with twice as many events, divided\n"
        "by {events}; the bare queue does the same work (`event_bus_bench --route --bare`).\n",
        counts) + table(["Queue", "Instructions per event", "Target"], "lrl", [
            ["dvrcore", "{:,.1f}".format(core), "≤ {:,}: {}".format(
                INSTRUCTIONS_TARGET, met(core <= INSTRUCTIONS_TARGET))],
            ["bare queue", "{:,.1f}".format(float(bare)) if bare else NOT_MEASURED, ""]])
    if bare:
        lines += ["", "dvrcore takes %.2f× the bare queue's instructions." % (core / float(bare))]
    return lines


@section("## Device footprint", "The device footprint {} in this run (it needs the armhf cross "
         "compiler\nand qemu-arm).")
def footprint_section(keys):
    if "text_bytes" not in keys:
        return []
    kib = lambda key: number(keys.get(key), "%.1f KiB", 1024)  # noqa: E731
    libraries = [item.rsplit(":", 1) for item in keys.get("libraries", "").split(",") if item]
    return prose(
        "The armhf Release build of `dvrcore` (`bench/core_runs.py footprint`): its sections,\n"
        "the shared libraries it needs, directly or not, and its heap a moment after start-up\n"
        "with the example plugins under qemu-arm, read in-process (`mallinfo2`) by a probe\n"
        "plugin loaded last.\n") + table(
        ["Figure", "Value"], "lr", [[s, kib(s + "_bytes")] for s in ("text", "data", "bss")] + [
            ["shared libraries, %d files" % len(libraries), kib("libraries_total_bytes")]] + [
            ["heap after start-up: %s" % name, kib("heap_%s_bytes" % key)] for name, key in
            (("malloc arena", "arena"), ("in use", "in_use"), ("mmapped blocks", "mmapped"))]) + [
        "", "Shared libraries (KiB): %s." % ", ".join(
            "%s %s" % (name, number(size, "%.0f", 1024, size)) for name, size in libraries)]


def plugin_cost_verdict(config, with_, without):
    """Met when both estimates of the plugin's cost are below the target, not
    met when neither is."""
    above = 100 * (statistics.median([r["core_cpu_pct"] for r in with_]) /
                   statistics.median([r["core_cpu_pct"] for r in without]) - 1)
    pairs = sorted(100 * (a["core_cpu_pct"] / b["core_cpu_pct"] - 1)
                   for a, b in zip(with_, without))
    below = (above < PLUGIN_CORE_CPU_TARGET_PCT) + (
        statistics.median(pairs) < PLUGIN_CORE_CPU_TARGET_PCT)
    return ("%s: with the plugin the core's share is %+.1f %% of itself without (the medians; "
            "run pair by run pair %+.1f %%, from %+.1f %% to %+.1f %%): < %d %%: %s." % (
                config, above, statistics.median(pairs), pairs[0], pairs[-1],
                PLUGIN_CORE_CPU_TARGET_PCT, ("**not met**", "**not shown** (the two estimates "
                                             "fall either side)", "met")[below]))


@section(PLUGIN_COST_TITLE, "The metrics plugin's cost {} in this run.")
def plugin_cost_section(rows, keys):
    runs = runs_by(rows, lambda r: ((int(r["cameras"]), int(r["producers"])),
                                    bool(r.get("plugin"))),
                   ("core_cpu_pct", "process_cpu_pct", "p50_us", "p99_us", "plugin_write_ns",
                    "plugin_cpu_pct"), optional=("others_cpu_pct",))
    if not runs:
        return []
    cells, verdicts = [], []
    for config in sorted({c for c, _ in runs}):
        name = "%d × %d" % config
        for loaded in (False, True):
            got = runs.get((config, loaded), [])
            column = lambda k: spread([r[k] for r in got if not math.isnan(r[k])],  # noqa: E731
                                      FORMS.get(k, "%.1f"))
            cells.append([name, "with" if loaded else "without", "%d" % len(got)] + [
                column(k) for k in ("core_cpu_pct", "process_cpu_pct", "p50_us", "p99_us")] + [
                column(k) if loaded else "—" for k in ("plugin_write_ns", "plugin_cpu_pct")] + [
                column("others_cpu_pct")])
        if runs.get((config, True)) and runs.get((config, False)):
            verdicts.append(plugin_cost_verdict(name, runs[(config, True)], runs[(config, False)]))
    return prose(
        "`recorder_load_bench` with and without `--plugin plugins/metrics.so`, the runs of\n"
        "the two interleaved (each pair in random order), {seconds} s windows, while /metrics is\n"
        "scraped once a second ({scrapes} scrapes answered; `bench/core_runs.py plugin-cost`,\n"
        "run by `bench/run.sh --plugin-cost`; commit {commit}, {date}; load average {load_before}\n"
        "before, {load_after} after; {failed_runs} runs failed their checks). The plugin's Writes\n"
        "count as plugins' time, off the core's share; the latencies are the four in-process\n"
        "plugins'. Medians, the smallest and largest run in brackets. Target: the core's share\n"
        "with the plugin less than {target} % above itself without, by the ratio of the medians\n"
        "and by the median of the paired runs' ratios.\n",
        dict(keys, target=PLUGIN_CORE_CPU_TARGET_PCT)) + table(
            ["Cameras × producers", "Metrics plugin", "Runs", "Core CPU %", "Process CPU %",
             "p50 µs", "p99 µs", "Plugin's Write, ns an event", "Plugin's Writes, % of a core",
             "Other processes, % of a core"], "llrrrrrrrr", cells) + [""] + verdicts


def replace_section(text, title, section):
    """The page with the section under `title` replaced, or added at its end."""
    start = text.find(title)
    if start < 0:
        return text.rstrip("\n") + "\n\n" + section
    end = text.find("\n## ", start + len(title))
    return text[:start] + section + (text[end + 1:] if end >= 0 else "")


def plugin_cost(results):
    return plugin_cost_section(read_csv(os.path.join(results, "plugin_cost.csv")),
                               read_keys(os.path.join(results, "plugin_cost.txt")))


def page(results, note):
    path = lambda name: os.path.join(results, name)  # noqa: E731
    lines = ["# Performance", "",
             "Generated by `bench/run.sh` (Release build); run it again to refresh this page.",
             "Every figure below comes from that one run on this machine."]
    lines += (["", note] if note else []) + [""] + table(["Machine", ""], "ll", machine(results))
    for section_lines in (throughput_section(read_benchmarks(path("event_bus.json"))),
                          latency_section(read_csv(path("recorder_load.csv"))),
                          compare_section(read_csv(path("recorder_compare.csv"))),
                          sustained_section(read_keys(path("sustained.txt"))),
                          idle_section(read_keys(path("idle.txt"))),
                          startup_section(read_keys(path("startup.txt"))),
                          callgrind_section(read_keys(path("callgrind.txt"))),
                          footprint_section(read_keys(path("footprint.txt"))),
                          plugin_cost(results)):
        lines += [""] + section_lines
    return "\n".join(lines) + "\n"


WIDTH, HEIGHT, LEFT, RIGHT, TOP, BOTTOM = 760, 440, 70, 220, 30, 50
COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b",
           "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"]
MAX_NINES = 5  # 99.999 %


def nines(fraction):
    """-log10(1 - fraction): 0 at 0, 1 at 90 %, 2 at 99 %; capped at MAX_NINES."""
    if fraction >= 1:
        return MAX_NINES
    return min(MAX_NINES, -math.log10(1 - max(0.0, fraction)))


def label(config):
    """"64x2" reads "64 cameras, 2 producers", "64x1 bare queue" "64 cameras,
    1 producer, bare queue"."""
    match = re.match(r"^(\d+)x(\d+)(?: (.+))?$", config)
    if not match:
        return config
    cameras, producers, queue = match.groups()
    return "%s cameras, %s producer%s%s" % (
        cameras, producers, "" if producers == "1" else "s", ", " + queue if queue else "")


def latency_svg(curves):
    """The latency plot of {config: [(latency_us, cumulative_fraction)]}: a
    curve per configuration, the latency on a logarithmic x axis, the share of
    events at or below it on a y axis of nines (0, 90 %, 99 %, ...), so the tail
    reads as well as the median; a curve ends at the top with its largest
    latency."""
    curves = {c: sorted(p) for c, p in curves.items() if any(x > 0 for x, _ in p)}
    if not curves:
        return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="80" '
                'font-family="sans-serif" font-size="14">\n<rect width="100%%" height="100%%" '
                'fill="white"/>\n<text x="20" y="45">latency not measured in this run</text>\n'
                '</svg>\n' % WIDTH)
    values = [x for points in curves.values() for x, _ in points if x > 0]
    low = math.floor(math.log10(min(values)))
    high = max(math.ceil(math.log10(max(values))), low + 1)
    below_all = [nines(f) for points in curves.values() for _, f in points if f < 1]
    top = max(1, min(MAX_NINES, math.ceil(max(below_all)) if below_all else 3))
    x_of = lambda v: LEFT + (math.log10(max(v, 10 ** low)) - low) / (high - low) * (  # noqa: E731
        WIDTH - LEFT - RIGHT)
    y_of = lambda n: HEIGHT - BOTTOM - min(n, top) / top * (HEIGHT - TOP - BOTTOM)  # noqa: E731
    line = '<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="%s"%s/>'
    text = '<text x="%.1f" y="%.1f"%s>%s</text>'
    middle = (TOP + HEIGHT - BOTTOM) // 2
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
             'font-family="sans-serif" font-size="12">' % (WIDTH, HEIGHT),
             '<rect width="100%" height="100%" fill="white"/>',
             '<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#444"/>'
             % (LEFT, TOP, WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM)]
    for decade in range(low, high + 1):
        x = x_of(10 ** decade)
        parts += [line % (x, TOP, x, HEIGHT - BOTTOM, "#ddd", ""),
                  text % (x, HEIGHT - BOTTOM + 18, ' text-anchor="middle"', "%g" % 10 ** decade)]
    for n in range(top + 1):
        share = "0 %" if n == 0 else ("%." + str(max(0, n - 2)) + "f %%") % (100 - 100 / 10 ** n)
        parts += [line % (LEFT, y_of(n), WIDTH - RIGHT, y_of(n), "#ddd", ""),
                  text % (LEFT - 6, y_of(n) + 4, ' text-anchor="end"', share)]
    parts += [text % ((LEFT + WIDTH - RIGHT) // 2, HEIGHT - 10, ' text-anchor="middle"',
                      "latency (µs, logarithmic)"),
              text % (14, middle, ' text-anchor="middle" transform="rotate(-90 14 %d)"' % middle,
                      "events at or below")]
    if 10 ** low < P99_TARGET_US < 10 ** high:  # the p99 target, dashed
        x = x_of(P99_TARGET_US)
        parts += [line % (x, TOP, x, HEIGHT - BOTTOM, "#444", ' stroke-dasharray="4 3"'),
                  text % (x + 3, TOP + 12, ' font-size="10"', "%g µs" % P99_TARGET_US)]
    for index, (config, points) in enumerate(curves.items()):
        colour, y = COLOURS[index % len(COLOURS)], TOP + 10 + 18 * index
        path = " ".join("%s%.1f,%.1f" % ("L" if i else "M", x_of(x), y_of(nines(f)))
                        for i, (x, f) in enumerate(p for p in points if p[0] > 0))
        parts += ['<path d="%s" fill="none" stroke="%s" stroke-width="1.5"/>' % (path, colour),
                  line % (WIDTH - RIGHT + 12, y, WIDTH - RIGHT + 32, y, colour,
                          ' stroke-width="3"'),
                  text % (WIDTH - RIGHT + 38, y + 4, "", escape(label(config)))]
    return "\n".join(parts + ["</svg>"]) + "\n"


def histogram(results):
    """{config: [(latency_us, cumulative_fraction)]} of recorder_load_bench's curves."""
    runs = runs_by(read_csv(os.path.join(results, "recorder_load_histogram.csv")),
                   lambda r: r["config"], ("latency_us", "cumulative_fraction"))
    return {config: [(p["latency_us"], p["cumulative_fraction"]) for p in points]
            for config, points in runs.items()}


def main():
    parser = argparse.ArgumentParser(description="Writes the performance page.")
    parser.add_argument("results")
    parser.add_argument("--page", default="docs/performance.md")
    parser.add_argument("--plot", default="docs/performance-latency.svg")
    parser.add_argument("--note", default="")
    parser.add_argument("--only", choices=["plugin-cost"])
    options = parser.parse_args()
    if options.only:
        files = {options.page: replace_section(read_text(options.page), PLUGIN_COST_TITLE,
                                               "\n".join(plugin_cost(options.results)) + "\n")}
    else:  # made before either file is opened: the commit line asks git about the page
        files = {options.page: page(options.results, options.note),
                 options.plot: latency_svg(histogram(options.results))}
    for name, text in files.items():
        with open(name, "w", encoding="utf-8") as f:
            f.write(text)


if __name__ == "__main__":
    main()
