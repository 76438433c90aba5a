#!/usr/bin/env python3
"""Start-up time of the core with many plugins.

Lays out a temporary directory as the core expects beside its executable: a
copy of dvrcore, and in plugins/ PLUGINS copies of the no-op plugin
(bench-plugins/noop_plugin.so of the build, named noop_00.so, noop_01.so, ...;
each takes its ID from its name). Then, RUNS times, starts the core there under
the parent stand-in (dvrparent) and measures the time from starting the
stand-in, which starts the core at once, to the core's start line
("successfully started core version", logged once every plugin is loaded and
opened, just before the delivery loop runs); then stops it with SIGINT, which
the stand-in turns into the stop packet, and checks that it exits with 0.

The start line reaches the console only when standard output is a terminal,
so each run gets a pseudo-terminal, read as it is written. One run before the
measured ones writes the core's status file, so every measured run starts
like a device's: with the file of the run before. The same runs without any
plugin give the core's own share, for comparison.

Usage: bench/startup.py [--plugins N] [--runs N] [BUILD_DIR]
       (32, 11, build-release/ from the checkout's top)
Prints key=value lines.
"""
import argparse
import os
import pty
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

START_LINE = b"successfully started core version"
TIMEOUT_S = 30


def lay_out(build, directory, plugins):
    """Copies the core and `plugins` copies of the no-op plugin into directory."""
    shutil.copy2(os.path.join(build, "dvrcore"), directory)
    os.mkdir(os.path.join(directory, "plugins"))
    noop = os.path.join(build, "bench-plugins", "noop_plugin.so")
    for number in range(plugins):
        shutil.copy2(noop, os.path.join(directory, "plugins", "noop_%02d.so" % number))


def read_until(master, pattern, deadline, seen):
    """Reads the terminal into `seen` until `pattern` is in it (None: until the
    end); False at the end or the deadline."""
    while pattern is None or pattern not in seen:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        ready, _, _ = select.select([master], [], [], left)
        if not ready:
            continue
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal's other end is closed: everyone exited
            return False
        if not chunk:
            return False
        seen += chunk
    return True


def run_once(build, directory):
    """One start and stop; returns (seconds to the start line, exit status, output)."""
    master, slave = pty.openpty()
    seen = bytearray()
    try:
        began = time.perf_counter()
        parent = subprocess.Popen(
            [os.path.join(build, "dvrparent"), "--quiet", "./dvrcore"],
            cwd=directory, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
        os.close(slave)
        slave = -1
        started = read_until(master, START_LINE, time.monotonic() + TIMEOUT_S, seen)
        elapsed = time.perf_counter() - began
        parent.send_signal(signal.SIGINT)
        read_until(master, None, time.monotonic() + TIMEOUT_S, seen)
        try:
            status = parent.wait(timeout=TIMEOUT_S)
        except subprocess.TimeoutExpired:
            parent.kill()
            status = parent.wait()
        return (elapsed if started else None), status, bytes(seen)
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)


def loaded_plugins(directory):
    """How many of the no-op plugins the status file lists."""
    try:
        with open(os.path.join(directory, "core.xml"), encoding="utf-8", errors="replace") as f:
            return len(set(re.findall(r"noop_\d+\.so", f.read())))
    except OSError:
        return 0


def measure(build, plugins, runs):
    """Milliseconds to the start line of `runs` runs with `plugins` plugins, after
    one unmeasured run; and how many plugins the status file lists. Exits on a
    run that does not start or does not end with status 0."""
    times = []
    with tempfile.TemporaryDirectory(prefix="dvr-startup-") as directory:
        lay_out(build, directory, plugins)
        for run in range(runs + 1):
            elapsed, status, output = run_once(build, directory)
            if elapsed is None or status != 0:
                sys.stderr.write(output.decode(errors="replace"))
                sys.exit("startup: run %d with %d plugins %s, exit status %d" % (
                    run, plugins, "did not start" if elapsed is None else "started", status))
            if run > 0:
                times.append(elapsed * 1000)
        return times, loaded_plugins(directory)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plugins", type=int, default=32)
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("build", nargs="?", default="build-release")
    options = parser.parse_args()
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    build = os.path.abspath(options.build)
    if not os.path.exists(os.path.join(build, "bench-plugins", "noop_plugin.so")):
        sys.exit("startup: %s/bench-plugins/noop_plugin.so is not built" % build)

    times, loaded = measure(build, options.plugins, options.runs)
    if loaded != options.plugins:
        sys.exit("startup: the status file lists %d of the %d plugins" % (loaded, options.plugins))
    baseline, _ = measure(build, 0, options.runs)
    print("plugins=%d" % options.plugins)
    print("plugins_loaded=%d" % loaded)
    print("runs=%d" % len(times))
    print("startup_median_ms=%.1f" % statistics.median(times))
    print("startup_min_ms=%.1f" % min(times))
    print("startup_max_ms=%.1f" % max(times))
    print("startup_runs_ms=%s" % ",".join("%.1f" % t for t in times))
    print("startup_without_plugins_median_ms=%.1f" % statistics.median(baseline))
    print("startup_without_plugins_min_ms=%.1f" % min(baseline))
    print("exit_status=0")


if __name__ == "__main__":
    main()
