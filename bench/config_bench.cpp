// Cost of the core's status document: one save of core.xml as the core makes
// it (built, printed, written to the pending file, synced, renamed, the
// directory synced), the build and print alone beside it, and one Delta
// update from a plugin end to end, wired as the core wires it.
//
// Every case times each operation by itself (manual time) and reports, per
// repetition, the mean as the benchmark's time plus the median, 90th
// percentile and largest single time in microseconds as counters. The file
// goes to a fresh directory under TMPDIR (or /tmp): the figures are those of
// that file system.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/status_document.h"
#include "config/status_keeper.h"
#include "config/xml_document.h"
#include "bench_support.h"
#include "events/event_bus.h"
#include "log/log_levels.h"
#include "plugin/dvrplugin_helpers.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// A directory of its own for the saved file, removed with what it holds.
class ScratchDir {
public:
    ScratchDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/dvr-config-bench-XXXXXX";
        if (mkdtemp(pattern.data()))
            path = pattern;
    }
    ~ScratchDir()
    {
        if (path.empty())
            return;
        for (const char *name : {"core.xml", "core.xml.pending"})
            ::unlink(file(name).c_str());
        ::rmdir(path.c_str());
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    bool made() const { return !path.empty(); }
    std::string file(const char *name) const { return path + "/" + name; }

private:
    std::string path;
};

// A core with `plugins` plugins loaded and three files that failed to load.
StatusSnapshot coreWithPlugins(int plugins)
{
    StatusSnapshot status;
    status.coreVersion = "22.03.4.0";
    status.productFamily = "Bench";
    status.executableName = "dvrcore";
    status.parentFilename = "parent";
    status.parentVersion = "1.0";
    for (int i = 0; i < plugins; ++i)
        status.plugins.push_back({0x00010000u * uint32_t(i + 1),
                                  "plugin" + std::to_string(i) + ".so", 3 + i % 7, 1 + i % 3, 0});
    status.failed = {{"a.so", "undefined symbol: Load"},
                     {"b.so", "invalid ELF header"},
                     {"c.so", "cannot open shared object file: No such file or directory"}};
    return status;
}

void setThresholds(LogLevelTable &levels, LogLevelTable &defaults, int plugins)
{
    levels.set(LogLevelTable::kCoreIndex, 25);
    defaults.set(LogLevelTable::kCoreIndex, 25);
    for (int i = 0; i < plugins; ++i) {
        levels.set(uint32_t(i + 1), 40);
        defaults.set(uint32_t(i + 1), 40);
    }
}

// Single operation times of one repetition, reported as counters.
class Times {
public:
    void add(SteadyClock::duration time, benchmark::State &state)
    {
        const double seconds = std::chrono::duration<double>(time).count();
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    void report(benchmark::State &state)
    {
        if (micros.empty())
            return;
        std::sort(micros.begin(), micros.end());
        auto at = [&](double fraction) { return micros[size_t(fraction * double(micros.size() - 1))]; };
        state.counters["p50_us"] = at(0.5);
        state.counters["p90_us"] = at(0.9);
        state.counters["max_us"] = micros.back();
    }

private:
    std::vector<double> micros;
};

void BM_StatusSave(benchmark::State &state)
{
    const int plugins = int(state.range(0));
    ScratchDir dir;
    if (!dir.made()) {
        state.SkipWithError("no scratch directory");
        return;
    }
    LogLevelTable levels;
    LogLevelTable defaults;
    setThresholds(levels, defaults, plugins);
    const StatusSnapshot status = coreWithPlugins(plugins);
    bool saved = true;
    // A failed save is logged through the entry; the publisher notes it.
    StatusKeeper keeper({levels, defaults, [&] { return status; },
                         [&](const XmlDocument &document) { saved = document.errorId() == 0; }},
                        noEntry, dir.file("core.xml"));
    Times times;
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        keeper.saveStatus();
        times.add(SteadyClock::now() - start, state);
        if (!saved) {
            state.SkipWithError("the save failed");
            break;
        }
    }
    times.report(state);
}

void BM_StatusBuild(benchmark::State &state)
{
    const int plugins = int(state.range(0));
    LogLevelTable levels;
    LogLevelTable defaults;
    setThresholds(levels, defaults, plugins);
    const StatusSnapshot status = coreWithPlugins(plugins);
    Times times;
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        XmlDocument document;
        buildStatusDocument(status, levels, defaults, document);
        std::string text = document.print();
        benchmark::DoNotOptimize(text.data());
        times.add(SteadyClock::now() - start, state);
    }
    times.report(state);
}

// --- a Delta update end to end ----------------------------------------------

constexpr int kPlugins = 3;
constexpr uint32_t kSender = 0x00050000u;  // log-table index 5

// What the plugins' IOCTL entries look for: the status document from the
// core with the sender's new threshold, and how many plugins have had it.
struct Broadcast {
    std::mutex mutex;
    std::condition_variable arrived;
    std::string expected;
    int received = 0;
} broadcast;

int statusIoctl(const _IoctlParmsIn *in, _IoctlParmsOut *)
{
    if (in->code != IOCTL_UPDATE_CONFIG || !in->data)
        return 0;
    const std::string text(static_cast<const char *>(in->data), in->length);
    std::lock_guard<std::mutex> lock(broadcast.mutex);
    if (!broadcast.expected.empty() && text.find(broadcast.expected) != std::string::npos &&
        ++broadcast.received == kPlugins)
        broadcast.arrived.notify_one();
    return 0;
}

// The core's parts for configuration updates: the bus with its delivery
// thread, the I/O thread, the keeper applying Delta documents there and
// publishing the status back into the bus, and three plugins.
class CoreWiring {
public:
    explicit CoreWiring(const std::string &fileName)
        : status(coreWithPlugins(32)),
          keeper({levels, defaults, [this] { return status; },
                  [this](const XmlDocument &document) { publish(document); }},
                 noEntry, fileName)
    {
        setThresholds(levels, defaults, 32);
        for (int i = 0; i < kPlugins; ++i) {
            Subscriber plugin;
            plugin.pluginId = kSender + 0x00010000u * uint32_t(i);
            plugin.IOCTL = statusIoctl;
            plugin.fileName = "plugin.so";
            bus.addSubscriber(std::move(plugin));
        }
        bus.onConfigDocument([this](std::string text) {
            boost::asio::post(io, [this, text = std::move(text)] { keeper.applyUpdate(text); });
        });
        delivery = std::thread([this] { bus.runDeliveryLoop(); });
        ioThread = std::thread([this] { io.run(); });
    }
    ~CoreWiring()
    {
        work.reset();
        ioThread.join();
        keeper.close();
        bus.requestStop();
        delivery.join();
    }
    CoreWiring(const CoreWiring &) = delete;
    CoreWiring &operator=(const CoreWiring &) = delete;

    // The sender's Delta document setting its own threshold.
    void postDelta(int level)
    {
        const std::string text = "<Qarn Delta=\"1\"><Modules><Module><Plugin ID=\"" +
                                 std::to_string(kSender) + "\" LogLevel=\"" +
                                 std::to_string(level) + "\"/></Module></Modules></Qarn>";
        _EventParmsIn in = dvr_event_in(kSender, DVR_EVENT_CONFIG, DVR_FLAG_XML);
        in.data = const_cast<char *>(text.data());
        in.len = uint32_t(text.size());
        bus.post(in);
    }

    // The start of the sender's entry in the status document while its
    // threshold is `level`.
    std::string senderEntry(int level) const
    {
        for (const StatusSnapshot::Plugin &plugin : status.plugins)
            if (plugin.pluginId == kSender)
                return "<Plugin ID=\"" + std::to_string(kSender) + "\" Filename=\"" +
                       plugin.fileName + "\" Opened=\"1\" LoadTimeMs=\"" +
                       std::to_string(plugin.loadTimeMs) + "\" OpenTimeMs=\"" +
                       std::to_string(plugin.openTimeMs) + "\" OpenCode=\"" +
                       std::to_string(plugin.openCode) + "\" LogLevel=\"" +
                       std::to_string(level) + "\"";
        return "";
    }

private:
    // As the core sends its documents: compact, from the core, flow-controlled.
    void publish(const XmlDocument &document)
    {
        const std::string text = document.printCompact();
        _EventParmsIn in =
            dvr_event_in(DVR_PROVIDER_CORE, DVR_EVENT_CONFIG, DVR_FLAG_FLOW_CONTROL | DVR_FLAG_XML);
        in.data = const_cast<char *>(text.data());
        in.len = uint32_t(text.size());
        bus.post(in);
    }

    SystemClock clock;
    LogLevelTable levels;
    LogLevelTable defaults;
    const StatusSnapshot status;
    EventBus bus{clock, levels, noEntry};
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    StatusKeeper keeper;
    std::thread delivery;
    std::thread ioThread;
};

void BM_DeltaUpdate(benchmark::State &state)
{
    ScratchDir dir;
    if (!dir.made()) {
        state.SkipWithError("no scratch directory");
        return;
    }
    CoreWiring core(dir.file("core.xml"));
    Times times;
    int level = 50;
    for (auto _ : state) {
        level = level == 50 ? 60 : 50;
        std::unique_lock<std::mutex> lock(broadcast.mutex);
        broadcast.expected = core.senderEntry(level);
        broadcast.received = 0;
        lock.unlock();
        const auto start = SteadyClock::now();
        core.postDelta(level);
        lock.lock();
        // A guard against a hang, far beyond any update's time.
        const bool arrived = broadcast.arrived.wait_for(
            lock, std::chrono::seconds(30), [] { return broadcast.received == kPlugins; });
        const auto end = SteadyClock::now();
        broadcast.expected.clear();
        lock.unlock();
        if (!arrived) {
            state.SkipWithError("the status document did not reach every plugin");
            break;
        }
        times.add(end - start, state);
    }
    times.report(state);
}

}  // namespace

// Each operation timed alone, ten repetitions, their aggregates only.
static void timedAlone(benchmark::internal::Benchmark *bench)
{
    bench->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(10)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_StatusSave)->ArgName("plugins")->Arg(32)->Apply(timedAlone);
BENCHMARK(BM_StatusBuild)->ArgName("plugins")->Arg(32)->Apply(timedAlone);
BENCHMARK(BM_DeltaUpdate)->Apply(timedAlone);

BENCHMARK_MAIN();
