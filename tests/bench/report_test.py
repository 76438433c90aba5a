#!/usr/bin/env python3
"""Tests of the performance page's generator (bench/report.py) and its plot
(bench/report.py): what each section makes of the results it is given,
and of results that are missing."""
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import report  # noqa: E402


def run(name, items_per_second, **extra):
    entry = {"name": name + "/iterations:1/real_time", "run_name": name,
             "run_type": "iteration", "items_per_second": items_per_second}
    entry.update(extra)
    return entry


class Results(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def write(self, name, text):
        with open(os.path.join(self.directory.name, name), "w", encoding="utf-8") as f:
            f.write(text)
        return os.path.join(self.directory.name, name)

    def test_benchmark_cases_are_keyed_by_family_size_and_producers(self):
        path = self.write("event_bus.json", json.dumps({"benchmarks": [
            run("BM_EventBus/bytes:64/producers:2/events:1000000", 2e6),
            run("BM_BareQueue/bytes:0/producers:1/events:1000000", 1e6),
            run("BM_ZeroMQ/bytes:65536/producers:1/events:100000", 5e4),
            run("BM_EventBus/bytes:0/producers:1/events:1000000", 9e9, run_type="aggregate",
                aggregate_name="mean"),
            run("BM_EventBus/bytes:0/producers:1/events:1000000", 7e6, run_type="aggregate",
                aggregate_name="median"),
            run("BM_EventBus/bytes:0/producers:2/events:1000000", 9e9, error_occurred=True),
        ]}))
        self.assertEqual(report.read_benchmarks(path), {
            ("BM_EventBus", 64, 2): 2e6, ("BM_BareQueue", 0, 1): 1e6,
            ("BM_ZeroMQ", 65536, 1): 5e4, ("BM_EventBus", 0, 1): 7e6})
        self.assertEqual(report.read_benchmarks(self.write("broken.json", "{")), {})
        self.assertEqual(report.read_benchmarks("/nonexistent/event_bus.json"), {})

    def test_missing_results_read_as_not_measured(self):
        text = report.page(self.directory.name, "")
        for section in ("Latency not measured", "Sustained load not measured",
                        "Idle figures not measured",
                        "Start-up time not measured", "Instructions per event not measured",
                        "comparison with the bare queue not measured",
                        "device footprint not measured"):
            self.assertIn(section, text)
        self.assertIn("| 64 B | 1 | not measured | not measured | not measured |", text)
        self.assertIn("| Processors (nproc) |", text)
        self.assertIn("| Load average (1, 5, 15 min) | unknown before, ", text)
        self.write("load-before.txt", "0.25 0.50 0.75 1/100 42\n")
        self.assertIn("| 0.25 0.50 0.75 before, ", report.page(self.directory.name, ""))

    def test_key_value_files_are_read(self):
        path = self.write("startup.txt", "plugins=32\nstartup_median_ms=12.5\nnoise\n")
        self.assertEqual(report.read_keys(path), {"plugins": "32", "startup_median_ms": "12.5"})
        self.assertIn("| 32 plugins | 12.5 ms |", "\n".join(report.startup_section(
            report.read_keys(path))))


class Sections(unittest.TestCase):
    def test_throughput_ratios_meet_or_miss_their_targets(self):
        lines = report.throughput_section({
            ("BM_EventBus", 0, 1): 3e6, ("BM_BareQueue", 0, 1): 1e6, ("BM_ZeroMQ", 0, 1): 2e6,
            ("BM_EventBus", 65536, 1): 1e5, ("BM_BareQueue", 65536, 1): 1e5,
            ("BM_EventBus", 64, 2): 2e6, ("BM_BareQueue", 64, 2): 1e6})
        row = {line.split("|")[1].strip() + "/" + line.split("|")[2].strip(): line
               for line in lines if line.startswith("| ") and "B |" in line}
        self.assertIn("| 3.00× | ≥ 1.5×: met | 1.50× | ≥ 2.0×: **not met** |", row["0 B/1"])
        self.assertIn("| 1.00× | ≥ 1.2×: **not met** | — | ≥ 2.0×: not measured |",
                      row["64 KiB/1"])
        # Two producers: no bare-loop target below 64 KiB, and no ZeroMQ case.
        self.assertIn("| 2.00 M | 1.00 M | — | 2.00× | — | — | — |", row["64 B/2"])
        self.assertIn("| not measured | not measured | not measured | — | ≥ 1.5×: not measured",
                      row["64 B/1"])

    def test_latency_rows_check_p99_everywhere_and_cpu_at_64_cameras(self):
        header = ("cameras,producers,seconds,events,events_per_s,mbytes_per_s,p50_us,p99_us,"
                  "p999_us,max_us,core_cpu_pct,process_cpu_pct").split(",")
        rows = [dict(zip(header, values.split(","))) for values in (
            "8,1,10,1000,100,1.0,5,40,60,90,9.0,10.0", "64,1,10,8000,800,8.0,9,51,80,200,2.5,4.0")]
        text = "\n".join(report.latency_section(rows))
        self.assertIn("| 8 | 1 | 100 | 1.0 | 5.0 | 40.0 | 60.0 | 90.0 | 9.00 | 10.00 | met | — |",
                      text)
        self.assertIn("| 2.50 | 4.00 | **not met** | met |", text)
        reference = dict(rows[1], queue="bare queue")
        self.assertIn("| bare queue | 64 | 1 |", "\n".join(report.latency_section([reference])))
        self.assertIn("](performance-latency.svg)", text)
        self.assertIn("not measured", "\n".join(report.latency_section([])))

    def test_plugin_cost_compares_medians_of_the_runs_with_and_without(self):
        header = ("cameras,producers,p50_us,p99_us,core_cpu_pct,process_cpu_pct,plugin,"
                  "plugin_write_ns,plugin_cpu_pct").split(",")
        rows = [dict(zip(header, values.split(","))) for values in (
            "64,1,9,40,4.0,10,,0,0", "64,1,9,42,4.1,12,metrics.so,250,0.1",
            "64,1,8,30,3.0,11,metrics.so,230,0.1", "64,1,8,31,3.2,10,,0,0",
            "64,1,9,50,5.0,12,,0,0", "64,1,10,60,5.1,13,metrics.so,270,0.2")]
        text = "\n".join(report.plugin_cost_section(rows, {"scrapes": "61"}))
        self.assertIn("| 64 × 1 | without | 3 | 4.00 (3.20–5.00) | 10.00 (10.00–12.00) |", text)
        self.assertIn("| 64 × 1 | with | 3 | 4.10 (3.00–5.10) | 12.00 (11.00–13.00) | 9.0 (8.0–10.0) "
                      "| 42.0 (30.0–60.0) | 250 (230–270) | 0.100 (0.100–0.200) | not measured |", text)
        self.assertIn("(61 scrapes answered;", text)
        self.assertIn("64 × 1: with the plugin the core's share is +2.5 % of itself without "
                      "(the medians; run pair by run pair +2.0 %, from -6.2 % to +2.5 %): < 5 %: met.", text)
        # Medians +7.5 %, pairs +7.5, +0.0, -14.0 %: the estimates disagree.
        for index, value in zip((1, 2, 5), ("4.3", "3.2", "4.3")):
            rows[index]["core_cpu_pct"] = value
        self.assertIn("+7.5 % of itself without (the medians; run pair by run pair +0.0 %, "
                      "from -14.0 % to +7.5 %): < 5 %: **not shown** (the two estimates fall "
                      "either side).", "\n".join(report.plugin_cost_section(rows, {})))
        # Every run with the plugin 10 % above its pair.
        for index, value in zip((1, 2, 5), ("4.4", "3.52", "5.5")):
            rows[index]["core_cpu_pct"] = value
        self.assertIn("+10.0 %, from +10.0 % to +10.0 %): < 5 %: **not met**.",
                      "\n".join(report.plugin_cost_section(rows, {})))
        self.assertIn("not measured", "\n".join(report.plugin_cost_section([], {})))

    def test_bus_and_bare_queue_are_compared_by_the_medians_of_their_runs(self):
        header = "cameras,producers,queue,core_cpu_pct,p50_us,p99_us".split(",")
        rows = [dict(zip(header, values.split(","))) for values in (
            "64,1,dvrcore,4.0,10,40", "64,1,bare queue,3.0,9,50", "64,1,dvrcore,4.4,12,60",
            "64,1,bare queue,4.0,11,30", "64,1,dvrcore,9.0,11,45", "64,1,bare queue,5.0,10,35",
            "256,1,dvrcore,12,7,44")]
        text = "\n".join(report.compare_section(rows))
        self.assertIn("| 64 × 1 | 3 | 4.40 | 4.00 | 1.10× | met | 11.0 | 10.0 | 1.10× | met "
                      "| 45.0 | 35.0 |", text)
        self.assertIn("| 256 × 1 | 0 | 12.00 | not measured | — | not measured | 7.0 |", text)
        rows[0]["core_cpu_pct"] = "4.5"
        rows[2]["core_cpu_pct"] = "4.5"
        self.assertIn("| 1.12× | **not met** |", "\n".join(report.compare_section(rows)))
        self.assertIn("not measured", "\n".join(report.compare_section([])))

    def test_instructions_of_the_bus_beside_the_bare_queue_against_the_target(self):
        text = "\n".join(report.callgrind_section({
            "events": "20000", "instructions_per_event": "900.0",
            "bare_instructions_per_event": "600.0"}))
        self.assertIn("| dvrcore | 900.0 | ≤ 1,000: met |", text)
        self.assertIn("| bare queue | 600.0 | |", text)
        self.assertIn("dvrcore takes 1.50× the bare queue's instructions.", text)
        text = "\n".join(report.callgrind_section({"instructions_per_event": "1000.1"}))
        self.assertIn("| dvrcore | 1,000.1 | ≤ 1,000: **not met** |", text)
        self.assertIn("| bare queue | not measured | |", text)

    def test_footprint_shows_sections_libraries_and_heap(self):
        text = "\n".join(report.footprint_section({
            "text_bytes": "204800", "data_bytes": "4096", "bss_bytes": "512",
            "libraries": "libc.so.6:1048576,libz.so.1:missing",
            "libraries_total_bytes": "1048576", "heap_arena_bytes": "589824",
            "heap_in_use_bytes": "238592", "heap_mmapped_bytes": "0"}))
        for line in ("| text | 200.0 KiB |", "| bss | 0.5 KiB |",
                     "| shared libraries, 2 files | 1024.0 KiB |",
                     "| heap after start-up: in use | 233.0 KiB |",
                     "Shared libraries (KiB): libc.so.6 1024, libz.so.1 missing."):
            self.assertIn(line, text)
        self.assertIn("not measured", "\n".join(report.footprint_section({})))

    def test_one_section_is_replaced_in_place_or_added_at_the_end(self):
        title = report.PLUGIN_COST_TITLE
        page = "# P\n\n## A\n\na\n\n%s\n\nold\n\n## B\n\nb\n" % title
        self.assertEqual(report.replace_section(page, title, "%s\n\nnew\n" % title),
                         "# P\n\n## A\n\na\n\n%s\n\nnew\n## B\n\nb\n" % title)
        self.assertEqual(report.replace_section("# P\n\n## A\n", title, title + "\n"),
                         "# P\n\n## A\n\n%s\n" % title)

    def test_idle_targets_judge_both_cpu_figures_and_the_resident_size(self):
        text = "\n".join(report.idle_section({
            "rss_kib": "7000", "hwm_kib": "7100", "cpu_pct": "0.0000",
            "cpu_pct_schedstat": "0.2000", "wakeups_per_s": "10.2", "window_s": "30.0",
            "reference_cpu_pct": "0.1500", "rss_libs_kib": "6000"}))
        self.assertIn("| 6.8 MiB (7000 KiB) | ≤ 6 MiB: **not met** |", text)
        self.assertIn("| 0.000 % of one core | ≤ 0.05 %: met |", text)
        self.assertIn("| 0.200 % of one core | ≤ 0.05 %: **not met** |", text)
        self.assertIn("| 0.150 % of one core, ? wake-ups per second |", text)
        self.assertIn("| ? | 6000 | ? |", text)

    def test_sustained_peaks_are_judged_by_their_difference(self):
        run = {"events": "10000000", "min_bytes": "2048", "max_bytes": "204800",
               "producers": "2", "window": "64", "lead": "63", "dvrcore_peak_kib": "15000",
               "dvrcore_events_per_s": "9000", "dvrcore_seconds": "1111.1",
               "dvrcore_waits": "12", "bare_peak_kib": "12952"}
        text = "\n".join(report.sustained_section(run))
        self.assertIn("10,000,000 events of 2 to 200 KiB", text)
        self.assertIn("| dvrcore | 9000 | 14.6 MiB (15000 KiB) | 1111.1 | 12 times |", text)
        self.assertIn("| bare queue | ? | 12.6 MiB (12952 KiB) | ? | ? times |", text)
        self.assertIn("+2.00 MiB (+2048 KiB) beside the bare queue's: ≤ +2 MiB: met.", text)
        run["dvrcore_peak_kib"] = "15001"
        self.assertIn("≤ +2 MiB: **not met**.", "\n".join(report.sustained_section(run)))
        del run["bare_peak_kib"]
        self.assertIn("| bare queue | not measured |", "\n".join(report.sustained_section(run)))


class Plot(unittest.TestCase):
    def test_nines_stretch_the_tail(self):
        self.assertAlmostEqual(report.nines(0.0), 0)
        self.assertAlmostEqual(report.nines(0.9), 1)
        self.assertAlmostEqual(report.nines(0.999), 3)
        self.assertEqual(report.nines(1.0), report.MAX_NINES)

    def test_one_curve_and_legend_entry_per_configuration(self):
        svg = report.latency_svg({"8 cameras": [(2.0, 0.5), (20.0, 0.99), (80.0, 1.0)],
                                  "64 <cameras>": [(3.0, 0.5), (300.0, 1.0)]})
        self.assertEqual(svg.count("<path "), 2)
        self.assertIn(">8 cameras</text>", svg)
        self.assertIn(">64 &lt;cameras&gt;</text>", svg)
        # Decades from 1 to 1000 µs on the x axis, the 50 µs target between.
        for label in (">1</text>", ">1000</text>", ">50 µs</text>"):
            self.assertIn(label, svg)

    def test_configurations_named_cameras_x_producers_read_out_in_the_legend(self):
        self.assertEqual(report.label("64x1"), "64 cameras, 1 producer")
        self.assertEqual(report.label("256x8"), "256 cameras, 8 producers")
        self.assertEqual(report.label("64x1 bare queue"),
                         "64 cameras, 1 producer, bare queue")
        self.assertEqual(report.label("other"), "other")

    def test_no_histogram_gives_a_placeholder(self):
        svg = report.latency_svg({})
        self.assertIn("latency not measured in this run", svg)
        self.assertNotIn("<path ", svg)


if __name__ == "__main__":
    unittest.main()
