#!/usr/bin/env python3
"""Tests of the start-up measurement's helpers (bench/startup.py): the
directory it lays out, how it reads the terminal, and how it counts the
plugins in the status file. Nothing here starts the core."""
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import startup  # noqa: E402


class StartupHelpers(unittest.TestCase):
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

    def test_the_directory_holds_the_core_and_numbered_copies_of_the_plugin(self):
        self.make("build/dvrcore", "core")
        self.make("build/bench-plugins/noop_plugin.so", "plugin")
        run = os.path.join(self.root, "run")
        os.mkdir(run)
        startup.lay_out(os.path.join(self.root, "build"), run, 12)
        self.assertTrue(os.path.isfile(os.path.join(run, "dvrcore")))
        names = sorted(os.listdir(os.path.join(run, "plugins")))
        self.assertEqual(names, ["noop_%02d.so" % n for n in range(12)])

    def test_reading_stops_at_the_pattern_and_reports_the_end(self):
        reader, writer = os.pipe()
        self.addCleanup(os.close, reader)
        os.write(writer, b"loading\nsuccessfully started core version 1\nmore")
        os.close(writer)
        seen = bytearray()
        deadline = time.monotonic() + 10
        self.assertTrue(startup.read_until(reader, startup.START_LINE, deadline, seen))
        self.assertIn(startup.START_LINE, seen)
        # To the end: False once the writer is gone, with everything read.
        self.assertFalse(startup.read_until(reader, None, deadline, seen))
        self.assertTrue(seen.endswith(b"more"))

    def test_plugins_are_counted_once_each_from_the_status_file(self):
        self.make("core.xml", "<p>noop_00.so</p><p>noop_01.so</p><q>noop_01.so</q>"
                              "<p>camera.so</p>")
        self.assertEqual(startup.loaded_plugins(self.root), 2)
        self.assertEqual(startup.loaded_plugins(os.path.join(self.root, "none")), 0)


if __name__ == "__main__":
    unittest.main()
