#!/usr/bin/env python3
"""Measurements of the built core and benchmarks, from outside; each prints
key=value lines. The core runs under the parent stand-in (dvrparent) in a
directory laid out as on the device, each run ending with SIGINT to the
stand-in (the stop packet), which must exit with 0.

  idle [--window S] [--repeat N] [--settle S] [BUILD]   the example plugins,
      the camera stopped: CPU, wake-ups and memory over N (7) windows of S s
      (10), after 3 s; each window beside the yardstick
  startup [--plugins N] [--runs N] [BUILD]   to the start line with N (32)
      no-op plugins, RUNS (11) times, then without plugins
  footprint [--parent-build BUILD] [ARMHF_BUILD]   the armhf build's sizes,
      libraries and heap under qemu-arm (build-armhf-bench/)
  callgrind [--events N] [BUILD]   instructions per routed event
      (event_bus_bench --route, 20000 events), of the bus and the bare queue
  plugin-cost --csv FILE [--repetitions R] [--seconds S] [BUILD]   the
      metrics plugin's cost: recorder_load_bench --compare R (5) with it, S s
      (10) windows, while /metrics is scraped once a second; rows to FILE
BUILD is build-release/ unless given.
"""
import argparse
import glob
import os
import pty
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

START_LINE = b"successfully started core version"
TIMEOUT_S = 30
ARMHF = "arm-linux-gnueabihf"
ARMHF_LIBRARY_DIRS = ["/usr/lib/" + ARMHF, "/lib/" + ARMHF, "/usr/%s/lib" % ARMHF]


def fail(message):
    sys.exit("core_runs: " + message)


def built(build, *names):
    """The paths of `names` in `build`; fails when one is not there."""
    paths = [os.path.join(build, name) for name in names]
    missing = [path for path in paths if not os.path.exists(path)]
    if missing:
        fail("%s not built" % " and ".join(missing))
    return paths


def read_text(path):
    """The file's text; "" when it cannot be read."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def command_output(words):
    """What the command prints, stripped; "" when it fails."""
    try:
        return subprocess.run(words, capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def lay_out(build, directory, plugins=(), noop_copies=0):
    """dvrcore and, in plugins/, `plugins` and copies of the no-op plugin."""
    shutil.copy2(os.path.join(build, "dvrcore"), directory)
    os.mkdir(os.path.join(directory, "plugins"))
    for plugin in plugins:
        shutil.copy2(plugin, os.path.join(directory, "plugins"))
    noop = os.path.join(build, "bench-plugins", "noop_plugin.so")
    for number in range(noop_copies):
        shutil.copy2(noop, os.path.join(directory, "plugins", "noop_%02d.so" % number))


def read_until(master, pattern, deadline, seen):
    """Reads the terminal into `seen` until `pattern` is in it (None: until the
    end); False at the end or the deadline."""
    while pattern is None or pattern not in seen:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        if not select.select([master], [], [], left)[0]:
            continue
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal's other end is closed: everyone exited
            return False
        if not chunk:
            return False
        seen += chunk
    return True


def wait_for_file(path, text, parent, timeout=TIMEOUT_S):
    """True once file `path` holds `text`, False if the stand-in ends first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and parent.poll() is None:
        if text in read_text(path):
            return True
        time.sleep(0.1)
    return False


def stop(parent):
    """SIGINT to the stand-in; its exit status (killed after TIMEOUT_S)."""
    if parent.poll() is None:
        parent.send_signal(signal.SIGINT)
    try:
        return parent.wait(timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        parent.kill()
        return parent.wait()


def loaded_plugins(directory):
    """How many of the no-op plugins the status file lists."""
    return len(set(re.findall(r"noop_\d+\.so", read_text(os.path.join(directory, "core.xml")))))


# ---- /proc readings; `proc` is /proc but for the tests ----

def sample(proc, pid, now):
    """Wall time, utime + stime ticks, the threads' run time in ns (None
    without schedstat), and per thread ID its context switches and name."""
    with open(os.path.join(proc, str(pid), "stat"), encoding="utf-8") as f:
        fields = f.read().rsplit(") ", 1)[1].split()
    counters = {"wall": now, "ticks": int(fields[11]) + int(fields[12]), "ns": 0, "threads": {}}
    for task in glob.glob(os.path.join(proc, str(pid), "task", "*")):
        schedstat, status, comm = (read_text(os.path.join(task, name))
                                   for name in ("schedstat", "status", "comm"))
        has_ns = schedstat and counters["ns"] is not None
        counters["ns"] = counters["ns"] + int(schedstat.split()[0]) if has_ns else None
        if status and comm:
            counters["threads"][os.path.basename(task)] = (sum(
                int(line.split()[1]) for line in status.splitlines()
                if re.match(r"(non)?voluntary_ctxt_switches:", line)), comm.strip())
    return counters


def report_window(before, after, clock_ticks):
    window = after["wall"] - before["wall"]
    lines = ["window_s=%.1f" % window,
             "cpu_pct=%.4f" % (100 * (after["ticks"] - before["ticks"]) / clock_ticks / window)]
    if before["ns"] is not None and after["ns"] is not None:
        lines.append("cpu_pct_schedstat=%.4f" % (100 * (after["ns"] - before["ns"]) / 1e9 / window))
    total, by = 0, []
    for thread, (switches, name) in sorted(after["threads"].items()):
        done = switches - before["threads"].get(thread, (0, ""))[0]
        total += done
        by.append("%s/%s:%.1f" % (name, thread, done / window))
    return lines + ["wakeups_per_s=%.1f" % (total / window), "wakeups_by_thread=" + ",".join(by)]


def mapping_kind(path, exe, start, size_kib, stack_kib):
    """What a mapping of smaps is: unnamed ones of the default stack size are
    thread stacks, those starting on a 64 MiB boundary malloc's arenas."""
    named = {exe: "exe", "[heap]": "heap", "[stack]": "main_stack"}
    if path in named:
        return named[path]
    if re.search(r"/plugins/[^/]*\.so$", path):
        return "plugins"
    if re.search(r"\.so[.0-9]*$", path):
        return "libs"
    if path:
        return "other_files" if path.startswith("/") else "other_anon"
    if size_kib == stack_kib:
        return "thread_stacks"
    return "arenas" if int(start, 16) % (64 << 20) == 0 else "other_anon"


def report_memory(proc, pid, stack_kib):
    base = os.path.join(proc, str(pid))
    keys = {"VmRSS": "rss_kib", "VmHWM": "hwm_kib", "RssAnon": "rss_anon_kib",
            "RssFile": "rss_file_kib", "Threads": "threads"}
    lines = ["%s=%s" % (keys[k], v.split()[0]) for k, v in (
        line.split(":", 1) for line in read_text(os.path.join(base, "status")).splitlines()
        if ":" in line) if k in keys]
    lines += ["pss_kib=" + line.split()[1] for line in read_text(
        os.path.join(base, "smaps_rollup")).splitlines() if line.startswith("Pss:")]
    exe = os.readlink(os.path.join(base, "exe"))
    kinds = ["exe", "libs", "plugins", "other_files", "heap", "main_stack", "thread_stacks",
             "arenas", "other_anon"]
    rss, files, start, path, size = dict.fromkeys(kinds, 0), {}, "", "", 0
    with open(os.path.join(base, "smaps"), encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
                start, path = words[0].split("-")[0], (words[5] if len(words) > 5 else "")
            elif words[0] == "Size:":
                size = int(words[1])
            elif words[0] == "Rss:":
                rss[mapping_kind(path, exe, start, size, stack_kib)] += int(words[1])
                if path.startswith("/"):
                    name = os.path.basename(path)
                    files[name] = files.get(name, 0) + int(words[1])
    lines += ["rss_%s_kib=%d" % (k, rss[k]) for k in kinds]
    top = sorted(files.items(), key=lambda item: -item[1])[:6]
    return lines + ["rss_top_files=" + ",".join("%s:%d" % item for item in top)]


def under_parent(build, plugins, command, measure):
    """Lays out `build`'s core with `plugins` in a temporary directory, runs
    `command` (the stand-in's) there, prints what measure(directory, parent)
    returns and the stand-in's exit status once it is stopped."""
    with tempfile.TemporaryDirectory(prefix="dvr-core-") as directory:
        lay_out(build, directory, plugins)
        with open(os.path.join(directory, "parent.out"), "w") as out:
            parent = subprocess.Popen(command, cwd=directory, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=out)
        try:
            lines = measure(directory, parent)
        finally:
            status = stop(parent)
    print("\n".join(lines + ["exit_status=%d" % status]))
    if status != 0:
        fail("the stand-in exited with %d" % status)


def examples(build):
    return [os.path.join(build, "plugins", n + ".so") for n in ("camera", "recorder", "logsink")]


def idle(options):
    """The core's CPU over `repeat` windows, each beside a run of the yardstick
    (bench/sleeper) over the same window: the ratio of the two by window and
    its median, which a disturbance of the shared machine moves least."""
    def measure(directory, parent):
        if not wait_for_file(os.path.join(directory, "parent.out"), "audio frames, stopped",
                             parent):
            fail("the camera did not answer its stop command")
        if not wait_for_file(os.path.join(directory, "dvrcore.log"), START_LINE.decode(), parent):
            fail("the core did not start")
        children = read_text("/proc/%d/task/%d/children" % (parent.pid, parent.pid)).split()
        core = int(children[0]) if children else fail("no core under the stand-in")
        time.sleep(options.settle)
        sleeper = os.path.join(options.build, "bench", "sleeper")
        first = before = sample("/proc", core, time.monotonic())
        ratios, references, ticks = [], [], os.sysconf("SC_CLK_TCK")
        for _ in range(options.repeat):
            reference = subprocess.Popen([sleeper, str(options.window)], stdout=subprocess.PIPE,
                                         text=True) if os.access(sleeper, os.X_OK) else None
            time.sleep(options.window)
            after = sample("/proc", core, time.monotonic())
            if reference:
                keys = read_keys(reference.communicate()[0])
                window = read_keys("\n".join(report_window(before, after, ticks)))
                references.append(keys)
                if float(keys.get("reference_cpu_pct", 0)) > 0 and "cpu_pct_schedstat" in window:
                    ratios.append(float(window["cpu_pct_schedstat"]) /
                                  float(keys["reference_cpu_pct"]))
            before = after
        lines = report_window(first, before, ticks)
        lines += report_memory("/proc", core, int(subprocess.check_output(
            ["bash", "-c", "ulimit -s"], text=True)))
        lines.append("windows=%d" % options.repeat)
        for key, form in (("reference_cpu_pct", "%.4f"), ("reference_wakeups_per_s", "%.1f")):
            values = [float(k[key]) for k in references if key in k]
            if values:
                lines.append(("%s=" + form) % (key, statistics.mean(values)))
        if ratios:
            lines += ["ratio_by_window=" + ",".join("%.2f" % r for r in ratios),
                      "ratio_median=%.3f" % statistics.median(ratios)]
        return lines
    under_parent(options.build, examples(options.build), [os.path.join(
        options.build, "dvrparent"), "--packet", "0x05000000:0x102", "./dvrcore"], measure)


def read_keys(text):
    """The key=value lines of `text` as a dict."""
    return dict(line.split("=", 1) for line in text.split() if "=" in line)


def start_once(build, directory):
    """(seconds to the start line or None, exit status, output) of a run."""
    master, slave = pty.openpty()
    seen = bytearray()
    try:
        began = time.perf_counter()
        parent = subprocess.Popen([os.path.join(build, "dvrparent"), "--quiet", "./dvrcore"],
                                  cwd=directory, stdin=subprocess.DEVNULL, stdout=slave,
                                  stderr=slave)
        os.close(slave)
        slave = -1
        started = read_until(master, START_LINE, time.monotonic() + TIMEOUT_S, seen)
        elapsed = time.perf_counter() - began
        parent.send_signal(signal.SIGINT)
        read_until(master, None, time.monotonic() + TIMEOUT_S, seen)
        return (elapsed if started else None), stop(parent), bytes(seen)
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)


def start_times(build, plugins, runs):
    """Milliseconds to the start line by run, and the plugins core.xml lists."""
    times = []
    with tempfile.TemporaryDirectory(prefix="dvr-startup-") as directory:
        lay_out(build, directory, noop_copies=plugins)
        for run in range(runs + 1):
            elapsed, status, output = start_once(build, directory)
            if elapsed is None or status != 0:
                sys.stderr.write(output.decode(errors="replace"))
                fail("run %d with %d plugins %s, exit status %d" % (
                    run, plugins, "did not start" if elapsed is None else "started", status))
            if run > 0:
                times.append(elapsed * 1000)
        return times, loaded_plugins(directory)


def startup(options):
    built(options.build, "bench-plugins/noop_plugin.so")
    times, loaded = start_times(options.build, options.plugins, options.runs)
    if loaded != options.plugins:
        fail("the status file lists %d of the %d plugins" % (loaded, options.plugins))
    baseline, _ = start_times(options.build, 0, options.runs)
    print("plugins=%d\nplugins_loaded=%d\nruns=%d" % (options.plugins, loaded, len(times)))
    print("startup_median_ms=%.1f\nstartup_min_ms=%.1f\nstartup_max_ms=%.1f" % (
        statistics.median(times), min(times), max(times)))
    print("startup_without_plugins_median_ms=%.1f\nstartup_without_plugins_min_ms=%.1f" % (
        statistics.median(baseline), min(baseline)))
    print("exit_status=0")


def needed_libraries(binary, readelf):
    """{soname: path or None} of what `binary` needs, directly or not."""
    found, pending = {}, [binary]
    while pending:
        dynamic = subprocess.check_output([readelf, "-d", pending.pop()], text=True)
        for name in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic):
            if name in found:
                continue
            paths = [os.path.join(d, name) for d in ARMHF_LIBRARY_DIRS
                     if os.path.exists(os.path.join(d, name))]
            found[name] = os.path.realpath(paths[0]) if paths else None
            if paths:
                pending.append(paths[0])
    return found


def footprint(options):
    build = options.build
    tools = {t: shutil.which(t) for t in (ARMHF + "-size", ARMHF + "-readelf", ARMHF + "-gcc",
                                          "qemu-arm")}
    missing = [t for t, path in tools.items() if not path]
    if missing:
        fail("not measured: %s missing" % ", ".join(missing))
    core = os.path.join(build, "dvrcore")
    text, data, bss = subprocess.check_output([tools[ARMHF + "-size"], core],
                                              text=True).split("\n")[1].split()[:3]
    lines = ["text_bytes=%s" % text, "data_bytes=%s" % data, "bss_bytes=%s" % bss]
    libraries = needed_libraries(core, tools[ARMHF + "-readelf"])
    sizes = {n: os.path.getsize(p) for n, p in libraries.items() if p}
    lines.append("libraries=" + ",".join("%s:%s" % (n, sizes.get(n, "missing"))
                                         for n in sorted(libraries)))
    lines.append("libraries_total_bytes=%d" % sum(sizes.values()))
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "heap_probe.c")
    probe_dir = tempfile.TemporaryDirectory(prefix="dvr-probe-")
    probe = os.path.join(probe_dir.name, "zz_heap_probe.so")  # named to load last
    subprocess.check_call([tools[ARMHF + "-gcc"], "-O2", "-Wall", "-Wextra", "-fPIC", "-shared",
                           "-fvisibility=hidden", "-I", os.path.join(os.path.dirname(source), "..",
                                                                     "include"),
                           "-o", probe, source, "-lpthread"])

    def measure(directory, parent):
        written = os.path.join(directory, "heap-probe.txt")
        if not wait_for_file(written, "heap_mmapped_bytes=", parent, timeout=120):
            sys.stderr.write(read_text(os.path.join(directory, "parent.out")))
            fail("the heap probe wrote nothing")
        return lines + read_text(written).split()
    with probe_dir:
        under_parent(build, examples(build) + [probe], [os.path.join(
            options.parent_build, "dvrparent"), "--quiet", "qemu-arm", "-L", "/", "./dvrcore"],
            measure)


def instructions(command, work):
    """The total instruction count (Ir) of `command` run under callgrind."""
    out = os.path.join(work, "callgrind.out")
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + command,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    totals = re.findall(r"^(?:summary|totals): *(\d+)", read_text(out), re.M)
    if run.returncode != 0 or not totals:
        sys.stderr.write(run.stderr)
        fail("%s failed under callgrind" % " ".join(command))
    return int(totals[-1])


def per_event(prefix, events, small, large):
    """The counts of runs with N and 2N events and their difference over N:
    one event's cost from the event entry to its last delivery and the
    release of its block, the set-up and tear-down cancelled out."""
    return ["%sinstructions_%d=%d" % (prefix, events, small),
            "%sinstructions_%d=%d" % (prefix, 2 * events, large),
            "%sinstructions_per_event=%.1f" % (prefix, (large - small) / events)]


def callgrind(options):
    driver, = built(options.build, "bench/event_bus_bench")
    if not shutil.which("valgrind"):
        fail("valgrind is not installed")
    lines = ["events=%d" % options.events]
    with tempfile.TemporaryDirectory(prefix="dvr-callgrind-") as work:
        for prefix, bare in (("", []), ("bare_", ["--bare"])):
            small, large = (instructions([driver, "--route"] + bare + [str(n), "64"], work)
                            for n in (options.events, 2 * options.events))
            lines += per_event(prefix, options.events, small, large)
    print("\n".join(lines))


def failed_runs(report, repetitions):
    """Runs of recorder_load_bench --compare that did not pass their checks
    (each that did says so): two configurations, two runs a pair."""
    return 4 * repetitions - len(re.findall(r"^    checks:", report, re.M))


def plugin_cost(options):
    bench, plugin = built(options.build, "bench/recorder_load_bench", "plugins/metrics.so")
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        address = "127.0.0.1:%d" % free.getsockname()[1]
    scrapes, done = [], threading.Event()

    def scrape():  # once a second, so the plugin's serving is in the process's CPU time
        while not done.wait(1):
            try:
                with urllib.request.urlopen("http://%s/metrics" % address, timeout=1) as answer:
                    answer.read()
                scrapes.append(1)
            except OSError:
                pass
    load = lambda: " ".join(read_text("/proc/loadavg").split()[:3])  # noqa: E731
    commit = command_output(["git", "rev-parse", "--short", "HEAD"]) or "unknown"
    print("commit=%s\ndate=%s\nload_before=%s" % (
        commit, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), load()), flush=True)
    scraper = threading.Thread(target=scrape)
    scraper.start()
    try:
        report = subprocess.run([bench, "--compare", str(options.repetitions), "--plugin", plugin,
                                 "--seconds", str(options.seconds), "--csv", options.csv],
                                stdout=subprocess.PIPE, text=True,
                                env=dict(os.environ, DVR_METRICS_LISTEN=address)).stdout
    finally:
        done.set()
        scraper.join()
    sys.stderr.write(report)  # the benchmark's report
    failed = failed_runs(report, options.repetitions)
    print("load_after=%s\nscrapes=%d\nrepetitions=%d\nseconds=%g\nfailed_runs=%d" % (
        load(), len(scrapes), options.repetitions, options.seconds, failed))
    if failed:
        sys.exit(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    jobs = parser.add_subparsers(dest="job", required=True)
    for name, run, build, arguments in (
            ("idle", idle, "build-release", (
                ("--window", float, 10), ("--repeat", int, 7), ("--settle", float, 3))),
            ("startup", startup, "build-release", (("--plugins", int, 32), ("--runs", int, 11))),
            ("footprint", footprint, "build-armhf-bench",
             (("--parent-build", str, "build-release"),)),
            ("callgrind", callgrind, "build-release", (("--events", int, 20000),)),
            ("plugin-cost", plugin_cost, "build-release", (
                ("--csv", str, None), ("--repetitions", int, 5), ("--seconds", float, 10)))):
        job = jobs.add_parser(name)
        for flag, kind, default in arguments:
            job.add_argument(flag, type=kind, default=default, required=default is None)
        job.add_argument("build", nargs="?", default=build)
        job.set_defaults(run=run)
    options = parser.parse_args()
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    for name in ("build", "parent_build", "csv"):
        if hasattr(options, name):
            setattr(options, name, os.path.abspath(getattr(options, name)))
    options.run(options)


if __name__ == "__main__":
    main()
