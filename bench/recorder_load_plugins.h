// The recorder-load benchmark's four in-process plugins and what they
// measure on the delivery thread: the latency from just before post() to the
// start of each Write, the number of Writes, and the time spent inside them.
//
//   recorder   video and audio: reads the frame header, adds an index entry
//   motion     video: samples 16 bytes spread over the frame
//   log sink   log events: measures the text
//   live view  video: keeps one block in ten; a sender thread of its own
//              releases each 5 ms later, as a streaming plugin would once
//              the frame has gone out to its viewers
//
// A real plugin from a shared object may join them, subscribed after the
// four (recorder_load_plugin_file.h): its Writes are measured the same way
// and kept apart.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "recorder_load_target.h"
#include "latency_histogram.h"
#include "plugin/dvrplugin.h"

namespace recorder_load {

using Clock = std::chrono::steady_clock;

inline int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// CPU time of the calling thread. A system call, unlike the steady clock.
uint64_t threadCpuNs();

constexpr uint32_t kRecorderId = 0x00100000u;
constexpr uint32_t kMotionId = 0x00110000u;
constexpr uint32_t kLogSinkId = 0x00120000u;
constexpr uint32_t kLiveViewId = 0x00130000u;
// Camera c posts as kCameraBaseId | c; the log lines come from kLogSourceId.
constexpr uint32_t kCameraBaseId = 0x00300000u;
constexpr uint32_t kLogSourceId = 0x00400000u;
// The last event of a run, once the producers are done: when the log sink
// sees it, every event before it has been written to every plugin.
constexpr uint32_t kEndMarkerId = 0x00410000u;

enum PluginIndex { kRecorder, kMotion, kLogSink, kLiveView, kPluginCount };
extern const char *const kPluginNames[kPluginCount];
// What a Write delivered: latencies are also kept by this.
enum WriteKind { kKeyFrame, kDeltaFrame, kAudioFrame, kLogLine, kWriteKindCount };
extern const char *const kWriteKindNames[kWriteKindCount];

// What a producer writes at the start of every audio and video frame. A log
// event's data is its text, so its post stamp rides in reserved1 instead.
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

// One plugin's record, kept by the delivery thread alone and read once the
// run is over.
struct WriteTally {
    LatencyHistogram latency;  // events posted inside the window
    uint64_t writes = 0;       // every Write, warm-up and end marker included
    uint64_t insideNs = 0;     // steady-clock time inside Writes of window events
};

// The live-view plugin's sender: holds kept blocks and releases each once it
// is due, from its own thread, timing each release on that thread's CPU
// clock (the release is the core's work, reached through the entry).
class LiveViewSender {
public:
    LiveViewSender(LoadTarget &bus, const Window &window);
    ~LiveViewSender();  // releases whatever is still held
    LiveViewSender(const LiveViewSender &) = delete;
    LiveViewSender &operator=(const LiveViewSender &) = delete;

    void hold(void *data, Clock::time_point due);
    // Releases every held block at once and ends the thread.
    void finish();

    // Read after finish().
    uint64_t released() const { return releases; }
    uint64_t releaseCpuNs() const { return windowReleaseCpuNs; }
    uint64_t windowReleases() const { return releasesInWindow; }

private:
    void run();

    LoadTarget &bus;
    const Window window;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<Clock::time_point, void *>> held;
    bool finishing = false;
    uint64_t releases = 0;
    uint64_t releasesInWindow = 0;
    uint64_t windowReleaseCpuNs = 0;
    std::thread thread;  // last: starts once everything above is ready
};

// The four plugins subscribed to `bus`, for one run at a time: Write entry
// points are plain functions, so they find the run's plugins through a
// pointer this object sets while it lives.
class LoadPlugins {
public:
    LoadPlugins(LoadTarget &bus, const Window &window, uint32_t cameras);
    ~LoadPlugins();
    LoadPlugins(const LoadPlugins &) = delete;
    LoadPlugins &operator=(const LoadPlugins &) = delete;

    // Subscribes a plugin after the four, its Writes measured on their own.
    void addExternal(Subscriber plugin);
    // Posts the end marker and sleeps until the log sink, and the external
    // plugin if it takes log events, have seen it.
    void drain();
    // Releases the blocks live view still holds; call after drain().
    void releaseKept() { sender.finish(); }

    const WriteTally &tally(int plugin) const { return tallies[plugin]; }
    const WriteTally &externalTally() const { return externalWrites; }
    const LatencyHistogram &latencyOf(int kind) const { return byKind[kind]; }
    uint64_t kept() const { return keptBlocks; }
    const LiveViewSender &liveView() const { return sender; }

private:
    friend struct PluginWrites;
    void sawEndMarker();

    LoadTarget &bus;
    const Window window;
    WriteTally tallies[kPluginCount];
    LatencyHistogram byKind[kWriteKindCount];
    WriteTally externalWrites;
    DvrWriteFn externalWrite = nullptr;

    // The plugins' own state, touched only in their Writes.
    struct IndexEntry {
        uint32_t camera, sequence, len, frameType;
    };
    std::vector<IndexEntry> recordingIndex = std::vector<IndexEntry>(4096);
    uint64_t recordedFrames = 0;
    uint64_t recordedBytes = 0;
    std::vector<uint32_t> motionActivity;
    uint64_t logBytes = 0;
    uint64_t liveFrames = 0;
    uint64_t keptBlocks = 0;

    std::mutex markerMutex;
    std::condition_variable markerSeen;
    int markerSightings = 0;
    int markerReaders = 1;  // the log sink, and the external plugin if it takes logs

    LiveViewSender sender;
};

}  // namespace recorder_load
