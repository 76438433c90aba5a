// What one configuration of the recorder-load benchmark measured, and the
// ways it is reported: a table row with detail lines on standard output, a
// CSV row, and the latency curve for plotting.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "latency_histogram.h"
#include "recorder_load_plugins.h"

namespace recorder_load {

struct RunResult {
    std::string target;  // "dvrcore" or the reference's name
    uint32_t cameras = 0;
    uint32_t producers = 0;
    double seconds = 0;
    uint64_t events = 0;
    uint64_t bytes = 0;
    LatencyHistogram latency;
    LatencyHistogram perPlugin[kPluginCount];
    LatencyHistogram perKind[kWriteKindCount];
    // Shares of one core over the window, in percent.
    double deliveryPct = 0, writesPct = 0, postPct = 0, releasePct = 0, clockPct = 0;
    double corePct = 0, processPct = 0;
    double producersPct = 0;  // the producer threads' CPU time, post() included
    double othersPct = 0, stealPct = 0;  // other processes' CPU time, time stolen by the host
    int64_t worstLagNs = 0;
    // The plugin from --plugin, if any: its file name, its latencies, and its
    // Writes' share of one core and time per Write (both in writesPct too).
    std::string plugin;
    LatencyHistogram pluginLatency;
    double pluginWritesPct = 0, pluginWriteNs = 0;
    std::string checks;                 // what was verified, when nothing went wrong
    std::vector<std::string> problems;  // what did
};

void printHeader();
void printResult(const RunResult &r);
// Appends one row to the CSV file at `path`, after a header line when the
// file is new or empty.
void appendCsv(const std::string &path, const RunResult &r);
// Appends the configuration's cumulative latency distribution, labelled
// "<cameras>x<producers>", followed by the reference's name for a reference.
void appendCurve(std::ofstream &out, const RunResult &r);

}  // namespace recorder_load
