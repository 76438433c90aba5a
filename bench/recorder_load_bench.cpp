// Latency and CPU cost of the event bus under a network video recorder's
// load, paced in real time (see recorder_load_producers.h for the load and
// recorder_load_plugins.h for the four subscribing plugins).
//
//   recorder_load_bench [--cameras N] [--producers P] [--seconds S]
//                       [--csv FILE] [--histogram FILE] [--reference]
//                       [--plugin FILE.so]
//
// --reference runs the same load on a bare queue instead of the bus
// (recorder_load_target.h): what this machine allows any queue of threads.
// --plugin loads a real plugin beside the four (recorder_load_plugin_file.h):
// its Writes count as the plugins' time like theirs, and are reported on
// their own; its latencies stay out of the table's, which keep to the four.
//
// With neither --cameras nor --producers it runs the matrix: 64 and 256
// cameras, each with 1, 2 and 8 producer threads. Each configuration runs a
// 0.5 s warm-up and then a window of S seconds (10 by default); events posted
// inside the window are measured:
//
//   latency   from the steady clock read just before post() to the same
//             clock read first thing in each Write, every Write of every
//             window event in one histogram (p50, p99, p99.9, max in us)
//   core CPU  the delivery thread's CPU time over the window, less the time
//             inside the plugins' Writes, plus the producers' thread CPU time
//             inside post() and the live-view sender's inside release(), as
//             a share of one core; what reading the thread CPU clock adds is
//             measured once and taken off
//   process   the whole process's CPU time (getrusage) over the window
//
// Below each table row: the percentiles by plugin and by kind of event, the
// parts of the core's CPU share, how late the producers' sleeps ended, how
// busy the rest of the machine was, and what was checked: every post
// accepted, every Write done, every kept block released and the block table
// empty at the end.
//
// --csv appends one row per configuration (with a header line when the file
// is new or empty); --histogram appends each configuration's latency
// distribution the same way, "<cameras>x<producers>" in the config column
// (followed by " bare queue" for the reference).
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "recorder_load_target.h"
#include "recorder_load_plugin_file.h"
#include "recorder_load_plugins.h"
#include "recorder_load_producers.h"
#include "recorder_load_report.h"

namespace {

using namespace recorder_load;

constexpr int64_t kSetupNs = 20000000;   // threads start before the first event
constexpr int64_t kWarmupNs = 500000000;

// The delivery loop on a thread of its own, stopped and joined at the latest
// when this goes out of scope.
class DeliveryThread {
public:
    explicit DeliveryThread(LoadTarget &bus)
        : bus(bus), thread([&bus] {
              pthread_setname_np(pthread_self(), "delivery");
              bus.runDeliveryLoop();
          })
    {
    }
    ~DeliveryThread() { stop(); }
    DeliveryThread(const DeliveryThread &) = delete;
    DeliveryThread &operator=(const DeliveryThread &) = delete;

    void stop()
    {
        bus.requestStop();
        if (thread.joinable())
            thread.join();
    }
    uint64_t cpuNs()
    {
        clockid_t clock{};
        timespec now{};
        if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
            clock_gettime(clock, &now) != 0)
            return 0;
        return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
    }

private:
    LoadTarget &bus;
    std::thread thread;
};

// The producer threads, joined when this goes out of scope: they return by
// themselves at the end of the window.
struct ProducerThreads {
    std::vector<std::thread> threads;
    ~ProducerThreads()
    {
        for (std::thread &thread : threads)
            if (thread.joinable())
                thread.join();
    }
};

uint64_t processCpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval &t) { return uint64_t(t.tv_sec) * 1000000000u + t.tv_usec * 1000u; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// The whole machine's busy and stolen time from /proc/stat, to tell how
// much else ran beside the benchmark.
struct MachineCpu {
    uint64_t busyNs = 0;
    uint64_t stealNs = 0;
};

MachineCpu machineCpu()
{
    std::ifstream stat("/proc/stat");
    std::string label;
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (!(stat >> label >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) ||
        label != "cpu")
        return {};
    const uint64_t tickNs = 1000000000u / uint64_t(sysconf(_SC_CLK_TCK));
    return {(user + nice + system + irq + softirq) * tickNs, steal * tickNs};
}

struct CpuSnapshot {
    int64_t atNs;
    uint64_t deliveryNs;
    uint64_t processNs;
    MachineCpu machine;
};

CpuSnapshot snapshotAt(int64_t deadlineNs, DeliveryThread &delivery)
{
    sleepUntilNs(deadlineNs);
    return {nowNs(), delivery.cpuNs(), processCpuNs(), machineCpu()};
}

std::string refusalsText(const std::map<int32_t, uint64_t> &refusals)
{
    std::string text;
    for (const auto &[result, count] : refusals)
        text += " " + std::to_string(count) + " with result " + std::to_string(result);
    return text;
}

// Every posted event accepted, every Write done, every kept block released
// and freed.
void verify(RunResult &r, const std::vector<ProducerTally> &tallies, const LoadPlugins &plugins,
            LoadTarget &bus, const PluginFile *extra)
{
    uint64_t accepted[kKindCount] = {};
    std::map<int32_t, uint64_t> refusals;
    for (const ProducerTally &t : tallies) {
        for (int k = 0; k < kKindCount; ++k)
            accepted[k] += t.accepted[k];
        for (const auto &[result, count] : t.refusals)
            refusals[result] += count;
    }
    if (!refusals.empty())
        r.problems.push_back("refused posts:" + refusalsText(refusals));
    const uint64_t extraLogs = extra ? extra->logPosts.load() : 0;
    const uint64_t expected[kPluginCount] = {accepted[kVideo] + accepted[kAudio],
                                             accepted[kVideo], accepted[kLog] + 1 + extraLogs,
                                             accepted[kVideo]};
    for (int p = 0; p < kPluginCount; ++p)
        if (plugins.tally(p).writes != expected[p])
            r.problems.push_back(std::string(kPluginNames[p]) + ": " +
                                 std::to_string(plugins.tally(p).writes) + " writes, expected " +
                                 std::to_string(expected[p]));
    if (extra) {
        const uint32_t frame = DVR_FLAG_FLOW_CONTROL, log = DVR_FLAG_LOG_MESSAGE;
        const uint64_t wanted =
            accepted[kVideo] * extra->takes(DVR_EVENT_VIDEO_FRAME, frame) +
            accepted[kAudio] * extra->takes(DVR_EVENT_AUDIO_FRAME, frame) +
            (accepted[kLog] + 1) * extra->takes(DVR_EVENT_LOG, log) + extra->postsToItself;
        if (plugins.externalTally().writes != wanted)
            r.problems.push_back(extra->name() + ": " +
                                 std::to_string(plugins.externalTally().writes) +
                                 " writes, expected " + std::to_string(wanted));
    }
    if (plugins.kept() != plugins.liveView().released())
        r.problems.push_back("live view kept " + std::to_string(plugins.kept()) +
                             " blocks, released " + std::to_string(plugins.liveView().released()));
    if (!bus.drained())
        r.problems.push_back("events or blocks left behind");

    uint64_t writes = 0;
    for (int p = 0; p < kPluginCount; ++p)
        writes += plugins.tally(p).writes;
    r.checks = std::to_string(accepted[kVideo]) + " video, " + std::to_string(accepted[kAudio]) +
               " audio, " + std::to_string(accepted[kLog]) + " log posts accepted; " +
               std::to_string(writes) + " writes" +
               (extra ? " and " + std::to_string(plugins.externalTally().writes) + " to " +
                            extra->name()
                      : std::string()) +
               "; " + std::to_string(plugins.kept()) +
               " kept blocks released; table empty";
}

void summarize(RunResult &r, const std::vector<ProducerTally> &tallies, const LoadPlugins &plugins,
               const CpuSnapshot &from, const CpuSnapshot &to, uint64_t clockCostNs)
{
    uint64_t postNs = 0, writesNs = 0, measuredPosts = 0, producersNs = 0;
    for (const ProducerTally &t : tallies) {
        r.events += t.windowEvents;
        r.bytes += t.windowBytes;
        postNs += t.windowPostCpuNs;
        measuredPosts += t.windowEvents;
        r.worstLagNs = std::max(r.worstLagNs, t.worstLagNs);
        producersNs += t.windowThreadCpuNs;
    }
    for (int p = 0; p < kPluginCount; ++p) {
        r.perPlugin[p] = plugins.tally(p).latency;
        r.latency.merge(plugins.tally(p).latency);
        writesNs += plugins.tally(p).insideNs;
    }
    for (int k = 0; k < kWriteKindCount; ++k)
        r.perKind[k] = plugins.latencyOf(k);
    const WriteTally &extra = plugins.externalTally();
    r.pluginLatency = extra.latency;
    writesNs += extra.insideNs;
    const double wallNs = double(to.atNs - from.atNs);
    auto pct = [&](double ns) { return 100.0 * ns / wallNs; };
    const uint64_t clockNs = (measuredPosts + plugins.liveView().windowReleases()) * clockCostNs;
    r.deliveryPct = pct(double(to.deliveryNs - from.deliveryNs));
    r.writesPct = pct(double(writesNs));
    r.pluginWritesPct = pct(double(extra.insideNs));
    r.pluginWriteNs = extra.latency.count() ? double(extra.insideNs) / extra.latency.count() : 0;
    r.postPct = pct(double(postNs));
    r.releasePct = pct(double(plugins.liveView().releaseCpuNs()));
    r.clockPct = pct(double(clockNs));
    r.corePct = r.deliveryPct - r.writesPct + r.postPct + r.releasePct - r.clockPct;
    r.producersPct = pct(double(producersNs));
    r.processPct = pct(double(to.processNs - from.processNs));
    r.othersPct = pct(double(to.machine.busyNs - from.machine.busyNs)) - r.processPct;
    r.stealPct = pct(double(to.machine.stealNs - from.machine.stealNs));
}

RunResult runConfiguration(uint32_t cameras, uint32_t producers, double seconds,
                           uint64_t clockCostNs, bool reference, const std::string &pluginPath)
{
    const std::unique_ptr<LoadTarget> target = makeLoadTarget(reference);
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
    DeliveryThread delivery(bus);

    std::vector<ProducerTally> tallies(producers);
    CpuSnapshot from{}, to{};
    {
        ProducerThreads load;
        for (uint32_t p = 0; p < producers; ++p)
            load.threads.emplace_back(runProducer, std::ref(bus), cameras, producers, p, startNs,
                                      std::cref(window), std::ref(tallies[p]));
        from = snapshotAt(window.startNs, delivery);
        to = snapshotAt(window.endNs, delivery);
    }

    plugins.drain();
    plugins.releaseKept();
    if (extra)
        extra->close();
    delivery.stop();
    summarize(result, tallies, plugins, from, to, clockCostNs);
    verify(result, tallies, plugins, bus, extra.get());
    return result;
}

struct Options {
    uint32_t cameras = 64;
    uint32_t producers = 1;
    double seconds = 10;
    bool single = false;
    bool reference = false;
    std::string csv;
    std::string histogram;
    std::string plugin;
};

[[noreturn]] void usage(const char *program, int status)
{
    std::fprintf(status ? stderr : stdout,
                 "usage: %s [--cameras N] [--producers P] [--seconds S] [--csv FILE] "
                 "[--histogram FILE] [--reference] [--plugin FILE.so]\n"
                 "  --reference: the same load on a bare mutex and condition-variable queue\n"
                 "  --plugin: a plugin from a shared object, subscribed after the four\n"
                 "  without --cameras and --producers: 64 and 256 cameras with 1, 2, 8 producers\n",
                 program);
    std::exit(status);
}

Options parse(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "-h" || name == "--help")
            usage(argv[0], 0);
        if (name == "--reference") {
            options.reference = true;
            continue;
        }
        if (i + 1 >= argc)
            usage(argv[0], 2);
        const char *value = argv[++i];
        if (name == "--cameras" || name == "--producers") {
            const long number = std::strtol(value, nullptr, 10);
            if (number < 1 || number > 65535)
                usage(argv[0], 2);
            (name == "--cameras" ? options.cameras : options.producers) = uint32_t(number);
            options.single = true;
        } else if (name == "--seconds") {
            options.seconds = std::strtod(value, nullptr);
            if (!(options.seconds > 0 && options.seconds <= 3600))
                usage(argv[0], 2);
        } else if (name == "--csv") {
            options.csv = value;
        } else if (name == "--histogram") {
            options.histogram = value;
        } else if (name == "--plugin") {
            options.plugin = value;
        } else {
            usage(argv[0], 2);
        }
    }
    if (options.producers > options.cameras)
        usage(argv[0], 2);
    return options;
}

}  // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);
    std::vector<std::pair<uint32_t, uint32_t>> configurations;
    if (options.single)
        configurations.push_back({options.cameras, options.producers});
    else
        configurations = {{64, 1}, {64, 2}, {64, 8}, {256, 1}, {256, 2}, {256, 8}};

    std::ofstream histogram;
    if (!options.histogram.empty()) {
        // Appended to when it already has the header, as --csv is.
        std::error_code error;
        const bool fresh = !std::filesystem::exists(options.histogram, error) ||
                           std::filesystem::file_size(options.histogram, error) == 0;
        histogram.open(options.histogram, std::ios::app);
        if (fresh)
            histogram << "config,latency_us,cumulative_fraction\n";
    }
    const uint64_t clockCostNs = threadClockCostNs();
    std::printf("recorder load: %.1f s per configuration after a %.1f s warm-up; reading a "
                "thread CPU clock costs %llu ns\n",
                options.seconds, double(kWarmupNs) / 1e9,
                static_cast<unsigned long long>(clockCostNs));
    printHeader();
    bool allGood = true;
    for (const auto &[cameras, producers] : configurations) {
        const RunResult result =
            runConfiguration(cameras, producers, options.seconds, clockCostNs, options.reference,
                             options.plugin);
        printResult(result);
        allGood = allGood && result.problems.empty();
        if (!options.csv.empty())
            appendCsv(options.csv, result);
        if (histogram.is_open())
            appendCurve(histogram, result);
    }
    return allGood ? 0 : 1;
}
