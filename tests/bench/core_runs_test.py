#!/usr/bin/env python3
"""Tests of the core runs' helpers (bench/core_runs.py): the directory laid
out for the core, reading the terminal, counting plugins in the status file,
the idle measurement's /proc readings on a made-up tree, and what the
callgrind and plugin-cost jobs make of their runs. None runs the core."""
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import core_runs  # noqa: E402


class Helpers(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.root = self.directory.name

    def make(self, relative, content):
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(content)
        return path

    def test_the_directory_holds_the_core_the_plugins_and_numbered_noop_copies(self):
        self.make("build/dvrcore", "core")
        self.make("build/bench-plugins/noop_plugin.so", "plugin")
        camera = self.make("build/plugins/camera.so", "camera")
        run = os.path.join(self.root, "run")
        os.mkdir(run)
        core_runs.lay_out(os.path.join(self.root, "build"), run, [camera], 12)
        self.assertTrue(os.path.isfile(os.path.join(run, "dvrcore")))
        names = sorted(os.listdir(os.path.join(run, "plugins")))
        self.assertEqual(names, ["camera.so"] + ["noop_%02d.so" % n for n in range(12)])

    def test_reading_stops_at_the_pattern_and_reports_the_end(self):
        reader, writer = os.pipe()
        self.addCleanup(os.close, reader)
        os.write(writer, b"loading\nsuccessfully started core version 1\nmore")
        os.close(writer)
        seen = bytearray()
        deadline = time.monotonic() + 10
        self.assertTrue(core_runs.read_until(reader, core_runs.START_LINE, deadline, seen))
        self.assertIn(core_runs.START_LINE, seen)
        # To the end: False once the writer is gone, with everything read.
        self.assertFalse(core_runs.read_until(reader, None, deadline, seen))
        self.assertTrue(seen.endswith(b"more"))

    def test_plugins_are_counted_once_each_from_the_status_file(self):
        self.make("core.xml", "<p>noop_00.so</p><p>noop_01.so</p><q>noop_01.so</q>"
                              "<p>camera.so</p>")
        self.assertEqual(core_runs.loaded_plugins(self.root), 2)
        self.assertEqual(core_runs.loaded_plugins(os.path.join(self.root, "none")), 0)

    def task(self, tid, name, run_ns, voluntary, involuntary):
        base = "proc/42/task/%d/" % tid
        self.make(base + "comm", name + "\n")
        path = os.path.join(self.root, base, "schedstat")
        if run_ns is None:
            if os.path.exists(path):
                os.remove(path)
        else:
            self.make(base + "schedstat", "%d 0 0\n" % run_ns)
        self.make(base + "status", "Name:\t%s\nvoluntary_ctxt_switches:\t%d\n"
                  "nonvoluntary_ctxt_switches:\t%d\n" % (name, voluntary, involuntary))

    def stat(self, utime, stime):  # the name has a parenthesis and a space
        self.make("proc/42/stat", "42 (dvr) core) S 1 42 42 0 -1 4194560 100 0 0 0 %d %d 0 0 "
                  "20 0 3 0\n" % (utime, stime))

    def test_a_window_gives_cpu_shares_and_wakeups_by_thread(self):
        proc = os.path.join(self.root, "proc")
        self.stat(150, 50)
        self.task(42, "dvrcore", 1000000, 5, 1)
        self.task(43, "dvrcore-io", 2000000, 10, 0)
        before = core_runs.sample(proc, 42, 100.0)
        self.stat(152, 50)
        self.task(42, "dvrcore", 1500000, 5, 1)
        self.task(43, "dvrcore-io", 4000000, 108, 2)
        self.task(44, "worker", 0, 4, 1)  # started during the window: all its switches count
        lines = core_runs.report_window(before, core_runs.sample(proc, 42, 110.0), 100)
        for line in ("window_s=10.0", "cpu_pct=0.2000", "cpu_pct_schedstat=0.0250",
                     "wakeups_per_s=10.5"):
            self.assertIn(line, lines)
        by = sorted(lines[-1].split("=", 1)[1].split(","))
        self.assertEqual(by, ["dvrcore-io/43:10.0", "dvrcore/42:0.0", "worker/44:0.5"])
        # A kernel without run times: no such share.
        self.task(44, "worker", None, 4, 1)
        lines = core_runs.report_window(before, core_runs.sample(proc, 42, 110.0), 100)
        self.assertFalse([line for line in lines if line.startswith("cpu_pct_schedstat=")])

    def test_resident_memory_is_split_by_kind_of_mapping(self):
        os.makedirs(os.path.join(self.root, "proc/42"))
        os.symlink("/opt/dvr/dvrcore", os.path.join(self.root, "proc/42/exe"))
        self.make("proc/42/status", "VmHWM:\t 7100 kB\nVmRSS:\t 7000 kB\nRssAnon:\t 600 kB\n"
                  "RssFile:\t 6400 kB\nThreads:\t3\n")
        self.make("proc/42/smaps_rollup", "Rss: 7000 kB\nPss: 4300 kB\n")
        maps = [("555500000000-555500050000", "/opt/dvr/dvrcore", 320, 80),
                ("7f0000000000-7f0000100000", "/usr/lib/x86_64-linux-gnu/libc.so.6", 1024, 1000),
                ("7f0000100000-7f0000300000", "/usr/lib/libwx_baseu-3.2.so.0.2.0", 2048, 2000),
                ("7f0000300000-7f0000302000", "/tmp/run/plugins/camera.so", 8, 8),
                ("7f0000400000-7f0000457000", "/usr/lib/locale/C.utf8/LC_CTYPE", 348, 124),
                ("555500100000-555500163000", "[heap]", 396, 100),
                ("7ffd00000000-7ffd00021000", "[stack]", 132, 20),
                ("7f0001000000-7f0001800000", "", 8192, 12),
                ("7f0004000000-7f0004021000", "", 132, 16),
                ("7f0004100000-7f0004121000", "", 132, 4),
                ("7f0005000000-7f0005002000", "[vdso]", 8, 4)]
        self.make("proc/42/smaps", "".join(
            "%s rw-p 00000000 00:00 0 %s\nSize: %d kB\nRss: %d kB\nPss: 1 kB\n" % m for m in maps))
        lines = core_runs.report_memory(os.path.join(self.root, "proc"), 42, 8192)
        for line in ("rss_kib=7000", "hwm_kib=7100", "rss_anon_kib=600", "rss_file_kib=6400",
                     "threads=3", "pss_kib=4300", "rss_exe_kib=80", "rss_libs_kib=3000",
                     "rss_plugins_kib=8", "rss_other_files_kib=124", "rss_heap_kib=100",
                     "rss_main_stack_kib=20", "rss_thread_stacks_kib=12", "rss_arenas_kib=16",
                     "rss_other_anon_kib=8", "rss_top_files=libwx_baseu-3.2.so.0.2.0:2000,"
                     "libc.so.6:1000,LC_CTYPE:124,dvrcore:80,camera.so:8"):
            self.assertIn(line, lines)

    def test_instructions_per_event_are_the_difference_of_n_and_2n_over_n(self):
        self.assertEqual(core_runs.per_event("bare_", 2000, 3700000, 5640000), [
            "bare_instructions_2000=3700000", "bare_instructions_4000=5640000",
            "bare_instructions_per_event=970.0"])

    def test_runs_of_the_plugin_cost_without_their_checks_line_failed(self):
        report = ("64,1,...\n    checks: 10 video\n64,1,...\n    PROBLEM: refused posts\n"
                  "256,1,...\n    checks: 40 video\n")
        self.assertEqual(core_runs.failed_runs(report, 1), 2)
        self.assertEqual(core_runs.failed_runs("", 5), 20)


if __name__ == "__main__":
    unittest.main()
