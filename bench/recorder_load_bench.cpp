// Latency and CPU cost of the event bus under a network video recorder's
// load, paced in real time (recorder_load.h).
//
//   recorder_load_bench [--cameras N] [--producers P] [--seconds S] [--bare]
//                       [--compare R] [--csv FILE] [--histogram FILE]
//                       [--plugin FILE.so]
//
// By default 64 and 256 cameras with 1, 2 and 8 producers; --bare runs on
// the bare queue. --plugin loads a real plugin beside the four, its Writes
// counted as plugins' time and reported on their own. --compare R runs 64
// and 256 cameras with one producer, R pairs of runs each in random order:
// the bus and the bare queue, or with --plugin the bus without and with it. Each run: 0.5 s warm-up, then S s (10) in which posts count:
//   latency   steady clock just before post() to the same clock first thing
//             in each Write of a window event (p50, p99, p99.9, max in us)
//   core CPU  the delivery thread's CPU time less the time inside Writes,
//             plus the producers' inside post() and the live-view sender's
//             inside release(), less the clock reads' own cost; % of a core
//   process   the whole process's CPU time (getrusage)
// Checked: every post accepted, every Write done, every kept block released,
// nothing left queued or held. --csv and --histogram append (a header first
// when new); curves are "<cameras>x<producers>[ bare queue]", with --compare
// only the bare queue's first run of each configuration.
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "recorder_load.h"

namespace {

using namespace recorder_load;

constexpr int64_t kSetupNs = 20000000;  // threads start before the first event
constexpr int64_t kWarmupNs = 500000000;

struct RunResult {
    std::string target, plugin;
    uint32_t cameras = 0, producers = 0;
    double seconds = 0;
    uint64_t events = 0, bytes = 0;
    LatencyHistogram latency, pluginLatency;
    LatencyHistogram perPlugin[kPluginCount];
    // Shares of one core over the window, in percent.
    double deliveryPct = 0, writesPct = 0, postPct = 0, releasePct = 0, clockPct = 0;
    double corePct = 0, processPct = 0, producersPct = 0, othersPct = 0, stealPct = 0;
    double pluginWritesPct = 0, pluginWriteNs = 0;
    int64_t worstLagNs = 0;
    std::string checks;                 // what was verified
    std::vector<std::string> problems;  // what went wrong
};

// The delivery thread's, the process's, and the whole machine's busy and
// stolen CPU time (/proc/stat), at a deadline.
struct CpuSnapshot {
    int64_t atNs = 0;
    uint64_t deliveryNs = 0, processNs = 0, machineBusyNs = 0, machineStealNs = 0;
};

CpuSnapshot snapshotAt(int64_t deadlineNs, std::thread &delivery)
{
    sleepUntilNs(deadlineNs);
    CpuSnapshot s;
    s.atNs = nowNs();
    clockid_t clock{};
    timespec now{};
    if (pthread_getcpuclockid(delivery.native_handle(), &clock) == 0 &&
        clock_gettime(clock, &now) == 0)
        s.deliveryNs = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    for (const timeval &t : {usage.ru_utime, usage.ru_stime})
        s.processNs += uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_usec) * 1000u;
    std::ifstream stat("/proc/stat");
    std::string label;
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (stat >> label >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal &&
        label == "cpu") {
        const uint64_t tickNs = 1000000000u / uint64_t(sysconf(_SC_CLK_TCK));
        s.machineBusyNs = (user + nice + system + irq + softirq) * tickNs;
        s.machineStealNs = steal * tickNs;
    }
    return s;
}

void verify(RunResult &r, const std::vector<ProducerTally> &tallies, LoadPlugins &plugins,
            LoadTarget &bus, const PluginFile *extra)
{
    uint64_t accepted[kKindCount] = {};
    std::string refusals;
    for (const ProducerTally &t : tallies) {
        for (int k = 0; k < kKindCount; ++k)
            accepted[k] += t.accepted[k];
        for (const auto &[result, count] : t.refusals)
            refusals += " " + std::to_string(count) + " with result " + std::to_string(result);
    }
    if (!refusals.empty())
        r.problems.push_back("refused posts:" + refusals);
    const uint64_t expected[kPluginCount] = {
        accepted[kVideo] + accepted[kAudio], accepted[kVideo],
        accepted[kLog] + 1 + (extra ? extra->logPosts.load() : 0), accepted[kVideo]};
    uint64_t writes = 0;
    for (int p = 0; p < kPluginCount; ++p) {
        writes += plugins.tallies[p].writes;
        if (plugins.tallies[p].writes != expected[p])
            r.problems.push_back(std::string(kPluginNames[p]) + ": " +
                                 std::to_string(plugins.tallies[p].writes) +
                                 " writes, expected " + std::to_string(expected[p]));
    }
    const uint64_t extraWrites = plugins.externalWrites.writes;
    if (extra) {
        const uint32_t frame = DVR_FLAG_FLOW_CONTROL, log = DVR_FLAG_LOG_MESSAGE;
        const uint64_t wanted = accepted[kVideo] * extra->takes(DVR_EVENT_VIDEO_FRAME, frame) +
                                accepted[kAudio] * extra->takes(DVR_EVENT_AUDIO_FRAME, frame) +
                                (accepted[kLog] + 1) * extra->takes(DVR_EVENT_LOG, log) +
                                extra->postsToItself;
        if (extraWrites != wanted)
            r.problems.push_back(extra->name() + ": " + std::to_string(extraWrites) +
                                 " writes, expected " + std::to_string(wanted));
    }
    if (plugins.keptBlocks != plugins.sender.releases)
        r.problems.push_back("live view kept " + std::to_string(plugins.keptBlocks) +
                             " blocks, released " + std::to_string(plugins.sender.releases));
    if (!bus.drained())
        r.problems.push_back("events or blocks left behind");
    r.checks = std::to_string(accepted[kVideo]) + " video, " + std::to_string(accepted[kAudio]) +
               " audio, " + std::to_string(accepted[kLog]) + " log posts accepted; " +
               std::to_string(writes) + " writes" +
               (extra ? " and " + std::to_string(extraWrites) + " to " + extra->name() : "") +
               "; " + std::to_string(plugins.keptBlocks) + " kept blocks released; table empty";
}

void summarize(RunResult &r, const std::vector<ProducerTally> &tallies, LoadPlugins &plugins,
               const CpuSnapshot &from, const CpuSnapshot &to, uint64_t clockCostNs)
{
    uint64_t postNs = 0, writesNs = 0, producersNs = 0;
    for (const ProducerTally &t : tallies) {
        r.events += t.windowEvents;
        r.bytes += t.windowBytes;
        postNs += t.windowPostCpuNs;
        r.worstLagNs = std::max(r.worstLagNs, t.worstLagNs);
        producersNs += t.windowThreadCpuNs;
    }
    for (int p = 0; p < kPluginCount; ++p) {
        r.perPlugin[p] = plugins.tallies[p].latency;
        r.latency.merge(plugins.tallies[p].latency);
        writesNs += plugins.tallies[p].insideNs;
    }
    const WriteTally &extra = plugins.externalWrites;
    r.pluginLatency = extra.latency;
    writesNs += extra.insideNs;
    auto pct = [&](double ns) { return 100.0 * ns / double(to.atNs - from.atNs); };
    r.deliveryPct = pct(double(to.deliveryNs - from.deliveryNs));
    r.writesPct = pct(double(writesNs));
    r.pluginWritesPct = pct(double(extra.insideNs));
    r.pluginWriteNs = extra.latency.count() ? double(extra.insideNs) / extra.latency.count() : 0;
    r.postPct = pct(double(postNs));
    r.releasePct = pct(double(plugins.sender.windowReleaseCpuNs));
    r.clockPct = pct(double((r.events + plugins.sender.releasesInWindow) * clockCostNs));
    r.corePct = r.deliveryPct - r.writesPct + r.postPct + r.releasePct - r.clockPct;
    r.producersPct = pct(double(producersNs));
    r.processPct = pct(double(to.processNs - from.processNs));
    r.othersPct = pct(double(to.machineBusyNs - from.machineBusyNs)) - r.processPct;
    r.stealPct = pct(double(to.machineStealNs - from.machineStealNs));
}

RunResult runConfiguration(uint32_t cameras, uint32_t producers, double seconds,
                           uint64_t clockCostNs, bool bare, const std::string &pluginPath)
{
    const std::unique_ptr<LoadTarget> target = makeLoadTarget(bare);
    LoadTarget &bus = *target;
    RunResult result;
    result.target = bus.name();
    result.cameras = cameras;
    result.producers = producers;
    result.seconds = seconds;

    const int64_t startNs = nowNs() + kSetupNs;
    const Window window{startNs + kWarmupNs, startNs + kWarmupNs + int64_t(seconds * 1e9)};
    LoadPlugins plugins(bus, window, cameras);
    std::unique_ptr<PluginFile> extra;
    if (!pluginPath.empty()) {
        extra = std::make_unique<PluginFile>(bus);
        std::string error;
        if (!extra->open(pluginPath, plugins, error)) {
            result.problems.push_back(error);
            return result;
        }
        result.plugin = extra->name();
    }
    std::thread delivery([&bus] {
        pthread_setname_np(pthread_self(), "delivery");
        bus.runDeliveryLoop();
    });
    std::vector<ProducerTally> tallies(producers);
    std::vector<std::thread> load;
    for (uint32_t p = 0; p < producers; ++p)
        load.emplace_back(runProducer, std::ref(bus), cameras, producers, p, startNs,
                          std::cref(window), std::ref(tallies[p]));
    const CpuSnapshot from = snapshotAt(window.startNs, delivery);
    const CpuSnapshot to = snapshotAt(window.endNs, delivery);
    for (std::thread &thread : load)
        thread.join();  // each returns by itself at the end of the window

    plugins.drain();
    plugins.sender.finish();
    if (extra)
        extra->close();
    bus.requestStop();
    delivery.join();
    summarize(result, tallies, plugins, from, to, clockCostNs);
    verify(result, tallies, plugins, bus, extra.get());
    return result;
}

double us(uint64_t ns) { return double(ns) / 1000.0; }

void printResult(const RunResult &r)
{
    const LatencyHistogram &h = r.latency;
    std::printf("%-10s %7u %9u %9.0f %7.1f %8.1f %8.1f %8.1f %9.1f %9.2f %9.2f\n",
                r.target.c_str(), r.cameras, r.producers, double(r.events) / r.seconds,
                double(r.bytes) / 1e6 / r.seconds, us(h.quantileNs(0.5)), us(h.quantileNs(0.99)),
                us(h.quantileNs(0.999)), us(h.maxNs()), r.corePct, r.processPct);
    auto percentiles = [](const char *name, const LatencyHistogram &h) {
        std::printf(" %s %.1f/%.1f/%.1f", name, us(h.quantileNs(0.5)), us(h.quantileNs(0.99)),
                    us(h.quantileNs(0.999)));
    };
    std::printf("    p50/p99/p99.9 us by plugin:");
    for (int p = 0; p < kPluginCount; ++p)
        percentiles(kPluginNames[p], r.perPlugin[p]);
    if (!r.plugin.empty()) {
        std::printf("\n    plugin %s: %llu writes in the window, %.0f ns a write, %.3f%% of a core;",
                    r.plugin.c_str(), static_cast<unsigned long long>(r.pluginLatency.count()),
                    r.pluginWriteNs, r.pluginWritesPct);
        percentiles("p50/p99/p99.9 us", r.pluginLatency);
    }
    std::printf("\n    core cpu%%: delivery %.2f - writes %.2f + post %.2f + release %.3f"
                " - clock reads %.2f\n    producer threads %.1f%% of a core in all, at most "
                "%.2f ms late\n    beside the benchmark: other processes %.0f%% of a core, "
                "stolen by the host %.0f%%\n",
                r.deliveryPct, r.writesPct, r.postPct, r.releasePct, r.clockPct, r.producersPct,
                double(r.worstLagNs) / 1e6, std::max(0.0, r.othersPct), r.stealPct);
    if (r.problems.empty())
        std::printf("    checks: %s\n", r.checks.c_str());
    for (const std::string &problem : r.problems)
        std::printf("    PROBLEM: %s\n", problem.c_str());
    std::fflush(stdout);
}

// An output file appended to, `header` first when it is new or empty.
std::ofstream appendTo(const std::string &path, const char *header)
{
    std::error_code error;
    const bool fresh =
        !std::filesystem::exists(path, error) || std::filesystem::file_size(path, error) == 0;
    std::ofstream out(path, std::ios::app);
    if (fresh)
        out << header;
    return out;
}

void appendCsv(std::ofstream &out, const RunResult &r)
{
    const LatencyHistogram &h = r.latency;
    char row[384];
    std::snprintf(row, sizeof row,
                  "%u,%u,%g,%llu,%.1f,%.2f,%.1f,%.1f,%.1f,%.1f,%.3f,%.3f,%s,%s,%.1f,%.3f,%.1f,"
                  "%.1f,%.1f\n",
                  r.cameras, r.producers, r.seconds, static_cast<unsigned long long>(r.events),
                  double(r.events) / r.seconds, double(r.bytes) / 1e6 / r.seconds,
                  us(h.quantileNs(0.5)), us(h.quantileNs(0.99)), us(h.quantileNs(0.999)),
                  us(h.maxNs()), r.corePct, r.processPct, r.target.c_str(), r.plugin.c_str(),
                  r.pluginWriteNs, r.pluginWritesPct, us(r.pluginLatency.quantileNs(0.5)),
                  us(r.pluginLatency.quantileNs(0.99)), std::max(0.0, r.othersPct));
    out << row << std::flush;
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
    out.flush();
}

[[noreturn]] void usage(const char *program, int status)
{
    std::fprintf(status ? stderr : stdout, "usage: %s [--cameras N] [--producers P] [--seconds S]"
                 " [--bare] [--compare R] [--csv FILE] [--histogram FILE] [--plugin FILE.so]\n",
                 program);
    std::exit(status);
}

struct Options {
    uint32_t cameras = 64, producers = 1;
    double seconds = 10;
    bool single = false, bare = false;
    long compare = 0;
    std::string csvPath, histogramPath, plugin;
};

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "-h" || name == "--help")
            usage(argv[0], 0);
        if (name == "--bare" || name == "--reference") {
            o.bare = true;
            continue;
        }
        if (i + 1 >= argc)
            usage(argv[0], 2);
        const char *value = argv[++i];
        const long number = std::strtol(value, nullptr, 10);
        if (name == "--cameras" || name == "--producers") {
            if (number < 1 || number > 65535)
                usage(argv[0], 2);
            (name == "--cameras" ? o.cameras : o.producers) = uint32_t(number);
            o.single = true;
        } else if (name == "--seconds") {
            o.seconds = std::strtod(value, nullptr);
            if (!(o.seconds > 0 && o.seconds <= 3600))
                usage(argv[0], 2);
        } else if (name == "--compare" && number >= 1 && number <= 1000) {
            o.compare = number;
        } else if (name == "--csv" || name == "--histogram" || name == "--plugin") {
            (name == "--csv" ? o.csvPath : name == "--plugin" ? o.plugin : o.histogramPath) = value;
        } else {
            usage(argv[0], 2);
        }
    }
    if (o.producers > o.cameras)
        usage(argv[0], 2);
    return o;
}

}  // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    const auto &[cameras, producers, seconds, single, bare, compare, csvPath, histogramPath,
                 plugin] = o;
    std::vector<std::pair<uint32_t, uint32_t>> configurations = {{cameras, producers}};
    if (!single && compare)
        configurations = {{64, 1}, {256, 1}};
    else if (!single)
        configurations = {{64, 1}, {64, 2}, {64, 8}, {256, 1}, {256, 2}, {256, 8}};

    std::ofstream csv, histogram;
    if (!csvPath.empty())
        csv = appendTo(csvPath, "cameras,producers,seconds,events,events_per_s,mbytes_per_s,"
                                "p50_us,p99_us,p999_us,max_us,core_cpu_pct,process_cpu_pct,queue,"
                                "plugin,plugin_write_ns,plugin_cpu_pct,plugin_p50_us,"
                                "plugin_p99_us,others_cpu_pct\n");
    if (!histogramPath.empty())
        histogram = appendTo(histogramPath, "config,latency_us,cumulative_fraction\n");
    const uint64_t clockCostNs = threadClockCostNs();
    std::printf("recorder load: %.1f s per run after a %.1f s warm-up; reading a thread CPU "
                "clock costs %llu ns\n%-10s %7s %9s %9s %7s %8s %8s %8s %9s %9s %9s\n",
                seconds, double(kWarmupNs) / 1e9, static_cast<unsigned long long>(clockCostNs),
                "queue", "cameras", "producers", "events/s", "MB/s", "p50_us", "p99_us",
                "p99.9_us", "max_us", "core_cpu%", "proc_cpu%");
    // With --compare each repetition runs a pair in random order: the bus and
    // the bare queue, or with --plugin the bus without and with the plugin.
    std::mt19937 random(std::random_device{}());
    bool allGood = true;
    for (const auto &[c, p] : configurations)
        for (long repetition = 0; repetition < std::max(compare, 1L); ++repetition) {
            std::vector<bool> order = {true};
            if (compare)
                order = random() % 2 ? std::vector<bool>{false, true} : std::vector<bool>{true, false};
            for (const bool variant : order) {
                const bool onBare = compare ? variant && plugin.empty() : bare;
                const RunResult result = runConfiguration(
                    c, p, seconds, clockCostNs, onBare, compare && !variant ? "" : plugin);
                printResult(result);
                allGood = allGood && result.problems.empty();
                if (csv.is_open())
                    appendCsv(csv, result);
                if (histogram.is_open() && repetition == 0 && (!compare || onBare))
                    appendCurve(histogram, result);
            }
        }
    return allGood ? 0 : 1;
}
