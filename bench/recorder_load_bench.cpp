// Latency and CPU cost of the event bus under a network video recorder's
// load (recorder_load.cpp), paced in real time.
//
//   recorder_load_bench [--cameras N] [--producers P] [--seconds S] [--compare R]
//                       [--csv FILE] [--histogram FILE] [--plugin FILE.so]
//
// By default 64 and 256 cameras with 1, 2 and 8 producers. --compare R runs
// 64 and 256 cameras with one producer, R pairs of runs each in random order:
// the bus and the bare queue, or with --plugin the bus without and with the
// plugin. Each run: 0.5 s warm-up, then S s (10) in which posts count; then
// checked: every post accepted, every Write done, every kept block released,
// nothing left queued or held. --csv and --histogram append (a header first
// when new); with --compare only the bare queue's first run gives a curve.
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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
    LatencyHistogram latency;  // the four plugins'
    // Shares of one core over the window, in percent.
    double corePct = 0, processPct = 0, othersPct = 0, pluginWritesPct = 0;
    double pluginWriteNs = 0;
    std::string checks;                 // what was verified
    std::vector<std::string> problems;  // what went wrong
};

// The delivery thread's, the process's and the whole machine's busy CPU time
// (/proc/stat), at a deadline.
struct CpuSnapshot {
    int64_t atNs = 0;
    uint64_t deliveryNs = 0, processNs = 0, machineBusyNs = 0;
};

CpuSnapshot snapshotAt(int64_t deadlineNs, std::thread &delivery)
{
    sleepUntilNs(deadlineNs);
    CpuSnapshot s;
    s.atNs = nowNs();
    clockid_t clock{};
    if (pthread_getcpuclockid(delivery.native_handle(), &clock) == 0)
        s.deliveryNs = clockNs(clock);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    for (const timeval &t : {usage.ru_utime, usage.ru_stime})
        s.processNs += uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_usec) * 1000u;
    std::ifstream stat("/proc/stat");
    std::string label;
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
    if (stat >> label >> user >> nice >> system >> idle >> iowait >> irq >> softirq &&
        label == "cpu")
        s.machineBusyNs = (user + nice + system + irq + softirq) *
                          (1000000000u / uint64_t(sysconf(_SC_CLK_TCK)));
    return s;
}

// What a thread CPU clock reading around a stamp adds to the time it measures.
uint64_t threadClockCostNs()
{
    std::vector<uint64_t> samples(1001);
    for (uint64_t &sample : samples) {
        const uint64_t before = threadCpuNs();
        const int64_t stamp = nowNs();
        asm volatile("" : : "r"(stamp) : "memory");  // the stamp is taken, not optimised away
        sample = threadCpuNs() - before;
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

void verify(RunResult &r, const std::vector<ProducerTally> &tallies, LoadPlugins &plugins,
            LoadQueue &bus, const PluginFile *extra)
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
    auto expect = [&r](const std::string &name, uint64_t writes, uint64_t expected) {
        if (writes != expected)
            r.problems.push_back(name + ": " + std::to_string(writes) + " writes, expected " +
                                 std::to_string(expected));
    };
    const uint64_t logs = accepted[kLog] + 1 + (extra ? extra->logPosts.load() : 0);
    const uint64_t expected[kPluginCount] = {accepted[kVideo] + accepted[kAudio],
                                             accepted[kVideo], logs, accepted[kVideo]};
    uint64_t writes = 0;
    for (int p = 0; p < kPluginCount; ++p) {
        writes += plugins.tallies[p].writes;
        expect(kPluginNames[p], plugins.tallies[p].writes, expected[p]);
    }
    const uint64_t extraWrites = plugins.externalWrites.writes;
    if (extra) {
        const uint32_t frame = DVR_FLAG_FLOW_CONTROL, log = DVR_FLAG_LOG_MESSAGE;
        expect(extra->name, extraWrites,
               accepted[kVideo] * extra->takes(DVR_EVENT_VIDEO_FRAME, frame) +
                   accepted[kAudio] * extra->takes(DVR_EVENT_AUDIO_FRAME, frame) +
                   (accepted[kLog] + 1) * extra->takes(DVR_EVENT_LOG, log) +
                   extra->postsToItself);
    }
    if (plugins.keptBlocks != plugins.sender.releases)
        r.problems.push_back("live view kept " + std::to_string(plugins.keptBlocks) +
                             " blocks, released " + std::to_string(plugins.sender.releases));
    if (!bus.drained())
        r.problems.push_back("events or blocks left behind");
    r.checks = std::to_string(accepted[kVideo]) + " video, " + std::to_string(accepted[kAudio]) +
               " audio, " + std::to_string(accepted[kLog]) + " log posts accepted; " +
               std::to_string(writes) + " writes" +
               (extra ? " and " + std::to_string(extraWrites) + " to " + extra->name : "") +
               "; " + std::to_string(plugins.keptBlocks) + " kept blocks released; table empty";
}

// The core's CPU share: the delivery thread's CPU time less the time inside
// Writes, plus the producers' inside post() and the live-view sender's inside
// release(), less the clock reads' own cost. A plugin loaded with --plugin
// counts as plugins' time; "others" is the rest of the machine.
void summarize(RunResult &r, const std::vector<ProducerTally> &tallies, LoadPlugins &plugins,
               const CpuSnapshot &from, const CpuSnapshot &to, uint64_t clockCostNs)
{
    uint64_t postNs = 0, writesNs = 0;
    for (const ProducerTally &t : tallies) {
        r.events += t.windowEvents;
        r.bytes += t.windowBytes;
        postNs += t.windowPostCpuNs;
    }
    for (const WriteTally &tally : plugins.tallies) {
        r.latency.merge(tally.latency);
        writesNs += tally.insideNs;
    }
    const WriteTally &extra = plugins.externalWrites;
    writesNs += extra.insideNs;
    const LiveViewSender &sender = plugins.sender;
    auto pct = [&](double ns) { return 100.0 * ns / double(to.atNs - from.atNs); };
    r.corePct = pct(double(to.deliveryNs - from.deliveryNs) - double(writesNs) + double(postNs) +
                    double(sender.windowReleaseCpuNs) -
                    double((r.events + sender.releasesInWindow) * clockCostNs));
    r.processPct = pct(double(to.processNs - from.processNs));
    r.othersPct = std::max(0.0, pct(double(to.machineBusyNs - from.machineBusyNs)) - r.processPct);
    r.pluginWritesPct = pct(double(extra.insideNs));
    r.pluginWriteNs = extra.latency.count() ? double(extra.insideNs) / extra.latency.count() : 0;
}

RunResult runConfiguration(uint32_t cameras, uint32_t producers, double seconds,
                           uint64_t clockCostNs, bool bare, const std::string &pluginPath)
{
    const auto queue = bare ? std::unique_ptr<LoadQueue>(std::make_unique<BareQueue>())
                            : std::unique_ptr<LoadQueue>(std::make_unique<BusCore>());
    LoadQueue &bus = *queue;
    RunResult result;
    result.target = bare ? "bare queue" : "dvrcore";
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
        result.plugin = extra->name;
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

template <class... Values>
std::string format(const char *form, Values... values)
{
    char text[320];
    std::snprintf(text, sizeof text, form, values...);
    return text;
}

constexpr const char *kCsvHeader =
    "cameras,producers,seconds,events,events_per_s,mbytes_per_s,p50_us,p99_us,p999_us,max_us,"
    "core_cpu_pct,process_cpu_pct,queue,plugin,plugin_write_ns,plugin_cpu_pct,others_cpu_pct\n";
constexpr const char *kCurveHeader = "config,latency_us,cumulative_fraction\n";

// A run's figures as a row under kCsvHeader, for the terminal and --csv alike.
std::string csvRow(const RunResult &r)
{
    const LatencyHistogram &h = r.latency;
    return format("%u,%u,%g,%llu,%.1f,%.2f,%.1f,%.1f,%.1f,%.1f,%.3f,%.3f,%s,%s,%.1f,%.3f,%.1f\n",
                  r.cameras, r.producers, r.seconds, static_cast<unsigned long long>(r.events),
                  double(r.events) / r.seconds, double(r.bytes) / 1e6 / r.seconds,
                  us(h.quantileNs(0.5)), us(h.quantileNs(0.99)), us(h.quantileNs(0.999)),
                  us(h.maxNs()), r.corePct, r.processPct, r.target.c_str(), r.plugin.c_str(),
                  r.pluginWriteNs, r.pluginWritesPct, r.othersPct);
}

// A run's latency curve as rows under kCurveHeader, named "64x1" or "64x1 bare queue".
std::string curveRows(const RunResult &r)
{
    std::string config = std::to_string(r.cameras) + "x" + std::to_string(r.producers), rows;
    if (r.target != "dvrcore")
        config += " " + r.target;
    for (const LatencyHistogram::Point &point : r.latency.curve())
        rows += format("%s,%.3f,%.7f\n", config.c_str(), point.latencyUs, point.cumulativeFraction);
    return rows;
}

// Appends `rows` to the file at `path` (none: nothing), `header` first when
// the file is new or empty.
void append(const std::string &path, const char *header, const std::string &rows)
{
    if (path.empty())
        return;
    std::error_code error;
    const bool fresh = std::filesystem::file_size(path, error) == 0 || error;
    std::ofstream(path, std::ios::app) << (fresh ? header : "") << rows;
}

struct Options {
    long cameras = 0, producers = 0, compare = 0;  // 0: not given
    double seconds = 10;
    std::string csv, histogram, plugin;
};

// False on an option unknown, without its value or out of range.
bool parse(int argc, char **argv, Options &o)
{
    auto count = [](long &to, long most) {
        return [&to, most](const char *value) {
            to = std::strtol(value, nullptr, 10);
            return to >= 1 && to <= most;
        };
    };
    auto text = [](std::string &to) {
        return [&to](const char *value) {
            to = value;
            return true;
        };
    };
    const std::map<std::string, std::function<bool(const char *)>> options = {
        {"--cameras", count(o.cameras, 65535)}, {"--producers", count(o.producers, 65535)},
        {"--compare", count(o.compare, 1000)}, {"--csv", text(o.csv)},
        {"--histogram", text(o.histogram)}, {"--plugin", text(o.plugin)},
        {"--seconds", [&o](const char *value) {
             o.seconds = std::strtod(value, nullptr);
             return o.seconds > 0 && o.seconds <= 3600;
         }}};
    for (int i = 1; i < argc; i += 2) {
        const auto option = options.find(argv[i]);
        if (option == options.end() || i + 1 == argc || !option->second(argv[i + 1]))
            return false;
    }
    return (o.producers ? o.producers : 1) <= (o.cameras ? o.cameras : 64);
}

}  // namespace

int main(int argc, char **argv)
{
    const bool help = argc == 2 && (std::strcmp(argv[1], "-h") == 0 ||
                                    std::strcmp(argv[1], "--help") == 0);
    Options o;
    if (help || !parse(argc, argv, o)) {
        std::fprintf(help ? stdout : stderr, "usage: %s [--cameras N] [--producers P] "
                     "[--seconds S] [--compare R] [--csv FILE] [--histogram FILE] "
                     "[--plugin FILE.so]\n", argv[0]);
        return help ? 0 : 2;
    }
    std::vector<std::pair<uint32_t, uint32_t>> configurations = {
        {64, 1}, {64, 2}, {64, 8}, {256, 1}, {256, 2}, {256, 8}};
    if (o.cameras || o.producers)
        configurations = {{o.cameras ? o.cameras : 64, o.producers ? o.producers : 1}};
    else if (o.compare)
        configurations = {{64, 1}, {256, 1}};

    const uint64_t clockCostNs = threadClockCostNs();
    std::printf("recorder load: %.1f s per run after a %.1f s warm-up; reading a thread CPU "
                "clock costs %llu ns\n%s", o.seconds, double(kWarmupNs) / 1e9,
                static_cast<unsigned long long>(clockCostNs), kCsvHeader);
    std::mt19937 random(std::random_device{}());
    bool allGood = true;
    for (const auto &[cameras, producers] : configurations)
        for (long repetition = 0; repetition < std::max(o.compare, 1L); ++repetition) {
            std::vector<bool> order = {true};
            if (o.compare)
                order = random() % 2 ? std::vector<bool>{false, true} : std::vector<bool>{true, false};
            for (const bool variant : order) {
                const bool onBare = o.compare && variant && o.plugin.empty();
                const RunResult result = runConfiguration(cameras, producers, o.seconds,
                                                          clockCostNs, onBare,
                                                          o.compare && !variant ? "" : o.plugin);
                const std::string row = csvRow(result);
                std::fputs(row.c_str(), stdout);
                if (result.problems.empty())  // the plugin-cost job counts these lines
                    std::printf("    checks: %s\n", result.checks.c_str());
                for (const std::string &problem : result.problems)
                    std::printf("    PROBLEM: %s\n", problem.c_str());
                std::fflush(stdout);
                allGood = allGood && result.problems.empty();
                append(o.csv, kCsvHeader, row);
                if (repetition == 0 && (!o.compare || onBare))
                    append(o.histogram, kCurveHeader, curveRows(result));
            }
        }
    return allGood ? 0 : 1;
}
