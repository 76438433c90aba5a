#include "recorder_load_report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace recorder_load {

namespace {

double us(uint64_t ns)
{
    return double(ns) / 1000.0;
}

}  // namespace

void printHeader()
{
    std::printf("%-10s %7s %9s %9s %7s %8s %8s %8s %9s %9s %9s\n", "queue", "cameras", "producers",
                "events/s", "MB/s", "p50_us", "p99_us", "p99.9_us", "max_us", "core_cpu%",
                "proc_cpu%");
}

void printResult(const RunResult &r)
{
    const LatencyHistogram &h = r.latency;
    std::printf("%-10s %7u %9u %9.0f %7.1f %8.1f %8.1f %8.1f %9.1f %9.2f %9.2f\n",
                r.target.c_str(), r.cameras, r.producers, double(r.events) / r.seconds, double(r.bytes) / 1e6 / r.seconds,
                us(h.quantileNs(0.5)), us(h.quantileNs(0.99)), us(h.quantileNs(0.999)),
                us(h.maxNs()), r.corePct, r.processPct);
    auto percentiles = [](const char *name, const LatencyHistogram &h) {
        std::printf(" %s %.1f/%.1f/%.1f", name, us(h.quantileNs(0.5)), us(h.quantileNs(0.99)),
                    us(h.quantileNs(0.999)));
    };
    std::printf("    p50/p99/p99.9 us by plugin:");
    for (int p = 0; p < kPluginCount; ++p)
        percentiles(kPluginNames[p], r.perPlugin[p]);
    std::printf("\n    p50/p99/p99.9 us by event:");
    for (int k = 0; k < kWriteKindCount; ++k)
        percentiles(kWriteKindNames[k], r.perKind[k]);
    if (!r.plugin.empty()) {
        std::printf("\n    plugin %s: %llu writes in the window, %.0f ns a write, %.3f%% of a core;",
                    r.plugin.c_str(), static_cast<unsigned long long>(r.pluginLatency.count()),
                    r.pluginWriteNs, r.pluginWritesPct);
        percentiles("p50/p99/p99.9 us", r.pluginLatency);
    }
    std::printf("\n    core cpu%%: delivery %.2f - writes %.2f + post %.2f + release %.3f"
                " - clock reads %.2f\n",
                r.deliveryPct, r.writesPct, r.postPct, r.releasePct, r.clockPct);
    std::printf("    producer threads %.1f%% of a core in all, at most %.2f ms late\n",
                r.producersPct, double(r.worstLagNs) / 1e6);
    std::printf("    beside the benchmark: other processes %.0f%% of a core, "
                "stolen by the host %.0f%%\n",
                std::max(0.0, r.othersPct), r.stealPct);
    if (r.problems.empty())
        std::printf("    checks: %s\n", r.checks.c_str());
    for (const std::string &problem : r.problems)
        std::printf("    PROBLEM: %s\n", problem.c_str());
    std::fflush(stdout);
}

void appendCsv(const std::string &path, const RunResult &r)
{
    std::error_code error;
    const bool fresh = !std::filesystem::exists(path, error) ||
                       std::filesystem::file_size(path, error) == 0;
    std::ofstream out(path, std::ios::app);
    if (fresh)
        out << "cameras,producers,seconds,events,events_per_s,mbytes_per_s,p50_us,p99_us,"
               "p999_us,max_us,core_cpu_pct,process_cpu_pct,queue,plugin,plugin_write_ns,"
               "plugin_cpu_pct,plugin_p50_us,plugin_p99_us,others_cpu_pct\n";
    const LatencyHistogram &h = r.latency;
    char row[384];
    std::snprintf(row, sizeof row, "%u,%u,%g,%llu,%.1f,%.2f,%.1f,%.1f,%.1f,%.1f,%.3f,%.3f,%s,%s,%.1f,%.3f,%.1f,%.1f,%.1f\n",
                  r.cameras, r.producers, r.seconds, static_cast<unsigned long long>(r.events),
                  double(r.events) / r.seconds, double(r.bytes) / 1e6 / r.seconds,
                  us(h.quantileNs(0.5)), us(h.quantileNs(0.99)), us(h.quantileNs(0.999)),
                  us(h.maxNs()), r.corePct, r.processPct, r.target.c_str(), r.plugin.c_str(),
                  r.pluginWriteNs, r.pluginWritesPct, us(r.pluginLatency.quantileNs(0.5)),
                  us(r.pluginLatency.quantileNs(0.99)), std::max(0.0, r.othersPct));
    out << row;
}

void appendCurve(std::ofstream &out, const RunResult &r)
{
    std::string config = std::to_string(r.cameras) + "x" + std::to_string(r.producers);
    if (r.target != "dvrcore")
        config += " " + r.target;
    char line[128];
    for (const LatencyHistogram::Point &point : r.latency.curve()) {
        std::snprintf(line, sizeof line, "%s,%.3f,%.7f\n", config.c_str(), point.latencyUs,
                      point.cumulativeFraction);
        out << line;
    }
}

}  // namespace recorder_load
