// The recorder load's parts (recorder_load.cpp), shared with the benchmark
// that runs and measures it (recorder_load_bench.cpp).
#pragma once

#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "latency_histogram.h"

namespace recorder_load {

using Clock = std::chrono::steady_clock;

inline uint64_t clockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

inline uint64_t threadCpuNs() { return clockNs(CLOCK_THREAD_CPUTIME_ID); }
inline int64_t nowNs() { return int64_t(clockNs(CLOCK_MONOTONIC)); }  // no system call (vDSO)

inline void sleepUntilNs(int64_t deadlineNs)  // the steady clock is CLOCK_MONOTONIC
{
    const timespec at{time_t(deadlineNs / 1000000000), long(deadlineNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

constexpr uint32_t kLiveViewId = 0x00130000u;
constexpr uint32_t kEndMarkerId = 0x00410000u;  // the last event of a run, a log event

enum PluginIndex { kRecorder, kMotion, kLogSink, kLiveView, kPluginCount };
extern const char *const kPluginNames[kPluginCount];
enum EventKind { kVideo, kAudio, kLog, kKindCount };

// At the start of every frame. A log event's stamp rides in reserved1.
struct FrameHeader {
    int64_t postStampNs;  // steady clock, read just before post()
    uint32_t camera;
    uint32_t sequence;
};

// Posts stamped inside [startNs, endNs) are measured; the rest is warm-up.
struct Window {
    int64_t startNs;
    int64_t endNs;
    bool contains(int64_t stampNs) const { return stampNs >= startNs && stampNs < endNs; }
};

struct WriteTally {  // kept by the delivery thread, read after the run
    LatencyHistogram latency;  // events posted inside the window
    uint64_t writes = 0;       // every Write, warm-up and end marker included
    uint64_t insideNs = 0;     // steady-clock time inside Writes of window events
};

// Live view's sender thread: releases each held block once due, timing the
// release (core work) on its CPU clock.
class LiveViewSender {
public:
    LiveViewSender(LoadQueue &bus, const Window &window) : bus(bus), window(window) {}
    ~LiveViewSender() { finish(); }

    void hold(void *data, Clock::time_point due)
    {
        std::lock_guard<std::mutex> lock(mutex);
        held.emplace_back(due, data);
        if (held.size() == 1)
            changed.notify_one();
    }

    void finish()  // releases every held block at once and ends the thread
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            finishing = true;
        }
        changed.notify_one();
        if (thread.joinable())
            thread.join();
    }

    uint64_t releases = 0, releasesInWindow = 0, windowReleaseCpuNs = 0;  // after finish()

private:
    void run()
    {
        pthread_setname_np(pthread_self(), "liveview");
        std::unique_lock<std::mutex> lock(mutex);
        while (!held.empty() || !finishing) {
            if (held.empty()) {
                changed.wait(lock);
                continue;
            }
            const Clock::time_point due = held.front().first;
            if (!finishing && Clock::now() < due) {
                changed.wait_until(lock, due);
                continue;
            }
            void *data = held.front().second;
            held.pop_front();
            lock.unlock();
            const uint64_t before = threadCpuNs();
            const int64_t at = nowNs();
            bus.release(data, kLiveViewId);
            const uint64_t cpu = threadCpuNs() - before;
            ++releases;
            if (window.contains(at)) {
                ++releasesInWindow;
                windowReleaseCpuNs += cpu;
            }
            lock.lock();
        }
    }

    LoadQueue &bus;
    const Window window;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<Clock::time_point, void *>> held;
    bool finishing = false;
    std::thread thread{[this] { run(); }};  // last: starts once everything above is ready
};

// The four plugins of one run; their Writes find them through a pointer set
// while it lives, and keep their tallies on the delivery thread.
struct LoadPlugins {
    LoadPlugins(LoadQueue &bus, const Window &window, uint32_t cameras);
    ~LoadPlugins();
    void addExternal(Subscriber plugin);  // after the four, its Writes measured on their own
    void drain();  // posts the end marker and waits until every plugin taking logs saw it
    void sawEndMarker();

    WriteTally tallies[kPluginCount];
    WriteTally externalWrites;
    uint64_t keptBlocks = 0;
    LiveViewSender sender;
    LoadQueue &bus;
    const Window window;
    DvrWriteFn externalWrite = nullptr;
    struct IndexEntry {
        uint32_t camera, sequence, len, frameType;
    };
    std::vector<IndexEntry> recordingIndex = std::vector<IndexEntry>(4096);
    uint64_t recordedFrames = 0, recordedBytes = 0, logBytes = 0, liveFrames = 0;
    std::vector<uint32_t> motionActivity;
    std::mutex markerMutex;
    std::condition_variable markerSeen;
    int markerSightings = 0;
    int markerReaders = 1;  // the log sink, and the external plugin if it takes logs
};

// A real plugin (--plugin FILE.so) loaded, opened, closed and unloaded as the
// core does; its event entry posts to the target.
struct PluginFile {
    explicit PluginFile(LoadQueue &bus) : bus(bus) {}
    ~PluginFile();
    bool open(const std::string &path, LoadPlugins &plugins, std::string &error);
    void close();  // Close, then joins the worker
    // Whether an event of this type with these flags reaches its Write.
    bool takes(uint32_t eventType, uint32_t flags) const;

    std::atomic<uint64_t> logPosts{0}, postsToItself{0};  // its own accepted posts
    LoadQueue &bus;
    std::unique_ptr<void, int (*)(void *)> library{nullptr, dlclose};
    std::string name;
    DvrCloseFn closeEntry = nullptr;
    DvrUnloadFn unloadEntry = nullptr;
    _LoadParmsOut loadOut{};
    bool hasWrite = false;
    std::thread worker;
};

// What one producer thread did, read once it has been joined. Of the window:
// posts, their bytes and the CPU time inside post().
struct ProducerTally {
    uint64_t accepted[kKindCount] = {};
    std::map<int32_t, uint64_t> refusals;  // result word -> count
    uint64_t windowEvents = 0, windowBytes = 0, windowPostCpuNs = 0;
};

// Posts producer `index`'s share from `startNs` to the end of `window`.
void runProducer(LoadQueue &bus, uint32_t cameras, uint32_t producers, uint32_t index,
                 int64_t startNs, const Window &window, ProducerTally &tally);

}  // namespace recorder_load
