#include "recorder_load_plugins.h"

#include <pthread.h>
#include <time.h>

#include <cstring>

#include "plugin/dvrplugin_helpers.h"

namespace recorder_load {

const char *const kPluginNames[kPluginCount] = {"recorder", "motion", "logsink", "liveview"};
const char *const kWriteKindNames[kWriteKindCount] = {"key", "delta", "audio", "log"};

uint64_t threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

namespace {

constexpr auto kLiveViewHold = std::chrono::milliseconds(5);
constexpr uint64_t kKeepEvery = 10;

LoadPlugins *activePlugins = nullptr;

int64_t postStamp(const _WriteParmsIn &in)
{
    int64_t stamp = 0;
    if (in.eventType & DVR_EVENT_LOG)
        std::memcpy(&stamp, in.reserved1, sizeof stamp);
    else if (in.data && in.len >= sizeof(FrameHeader))
        std::memcpy(&stamp, in.data, sizeof stamp);
    return stamp;
}

WriteKind kindOf(const _WriteParmsIn &in)
{
    if (in.eventType & DVR_EVENT_VIDEO_FRAME)
        return in.frameType == DVR_FRAME_KEY ? kKeyFrame : kDeltaFrame;
    return (in.eventType & DVR_EVENT_AUDIO_FRAME) ? kAudioFrame : kLogLine;
}

// Opens every Write: reads the clock first, counts the Write, and for an
// event of the window records its latency (by plugin and, unless `byKind` is
// null, by kind) and, when the Write returns, the steady-clock time spent
// inside it. The steady clock rather than the thread's CPU clock: it costs no
// system call, and the delivery thread is rarely switched out within a Write
// this short.
class MeasuredWrite {
public:
    MeasuredWrite(WriteTally &tally, LatencyHistogram *byKind, const Window &window,
                  const _WriteParmsIn &in)
        : start(nowNs()), tally(tally)
    {
        ++tally.writes;
        const int64_t stamp = postStamp(in);
        measured = window.contains(stamp);
        if (measured) {
            tally.latency.record(start - stamp);
            if (byKind)
                byKind[kindOf(in)].record(start - stamp);
        }
    }
    ~MeasuredWrite()
    {
        if (measured)
            tally.insideNs += uint64_t(nowNs() - start);
    }
    MeasuredWrite(const MeasuredWrite &) = delete;
    MeasuredWrite &operator=(const MeasuredWrite &) = delete;

private:
    const int64_t start;
    WriteTally &tally;
    bool measured = false;
};

FrameHeader frameHeader(const _WriteParmsIn &in)
{
    FrameHeader header{};
    if (in.data && in.len >= sizeof header)
        std::memcpy(&header, in.data, sizeof header);
    return header;
}

}  // namespace

// The Write entry points, with access to the active run's plugins.
struct PluginWrites {
    static int recorder(const _WriteParmsIn *in, _WriteParmsOut *)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.tallies[kRecorder], p.byKind, p.window, *in);
        const FrameHeader header = frameHeader(*in);
        p.recordingIndex[p.recordedFrames++ % p.recordingIndex.size()] = {
            header.camera, header.sequence, in->len, in->frameType};
        p.recordedBytes += in->len;
        return 0;
    }

    static int motion(const _WriteParmsIn *in, _WriteParmsOut *)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.tallies[kMotion], p.byKind, p.window, *in);
        const FrameHeader header = frameHeader(*in);
        if (in->len <= sizeof header)
            return 0;
        const auto *bytes = static_cast<const uint8_t *>(in->data);
        uint32_t sum = 0;
        for (uint32_t i = 0; i < 16; ++i)
            sum += bytes[sizeof header + uint64_t(in->len - sizeof header) * i / 16];
        p.motionActivity[header.camera % p.motionActivity.size()] = sum;
        return 0;
    }

    static int logSink(const _WriteParmsIn *in, _WriteParmsOut *)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.tallies[kLogSink], p.byKind, p.window, *in);
        if (in->data)
            p.logBytes += strnlen(static_cast<const char *>(in->data), in->len);
        if (in->providerID == kEndMarkerId)
            p.sawEndMarker();
        return 0;
    }

    static int external(const _WriteParmsIn *in, _WriteParmsOut *out)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.externalWrites, nullptr, p.window, *in);
        const int result = p.externalWrite(in, out);
        if (in->providerID == kEndMarkerId)
            p.sawEndMarker();
        return result;
    }

    static int liveView(const _WriteParmsIn *in, _WriteParmsOut *out)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.tallies[kLiveView], p.byKind, p.window, *in);
        if (++p.liveFrames % kKeepEvery == 0) {
            out->keep = 1;
            ++p.keptBlocks;
            p.sender.hold(in->data, Clock::now() + kLiveViewHold);
        }
        return 0;
    }
};

namespace {

Subscriber subscriber(uint32_t id, DvrWriteFn write, std::initializer_list<int> words,
                      const char *name)
{
    Subscriber plugin;
    plugin.pluginId = id;
    plugin.Write = write;
    for (int word : words)
        plugin.subscribe[word] = 0xFFFFFFFFu;
    plugin.writable = true;
    plugin.fileName = name;
    return plugin;
}

}  // namespace

LoadPlugins::LoadPlugins(LoadTarget &bus, const Window &window, uint32_t cameras)
    : bus(bus), window(window), motionActivity(cameras), sender(bus, window)
{
    activePlugins = this;
    bus.addSubscriber(subscriber(kRecorderId, PluginWrites::recorder,
                                 {DVR_SUBSCRIBE_0x1, DVR_SUBSCRIBE_0x2}, "recorder.so"));
    bus.addSubscriber(subscriber(kMotionId, PluginWrites::motion, {DVR_SUBSCRIBE_0x1},
                                 "motion.so"));
    bus.addSubscriber(subscriber(kLogSinkId, PluginWrites::logSink, {DVR_SUBSCRIBE_0x40},
                                 "logsink.so"));
    bus.addSubscriber(subscriber(kLiveViewId, PluginWrites::liveView, {DVR_SUBSCRIBE_0x1},
                                 "liveview.so"));
}

LoadPlugins::~LoadPlugins()
{
    activePlugins = nullptr;
}

void LoadPlugins::addExternal(Subscriber plugin)
{
    externalWrite = plugin.Write;
    if (plugin.Write)
        plugin.Write = PluginWrites::external;
    if (plugin.Write && plugin.writable &&
        subscriptionMatches(plugin.subscribe, DVR_EVENT_LOG, DVR_MATCH_VALUE(DVR_FLAG_LOG_MESSAGE)))
        ++markerReaders;
    bus.addSubscriber(std::move(plugin));
}

void LoadPlugins::sawEndMarker()
{
    std::lock_guard<std::mutex> lock(markerMutex);
    ++markerSightings;
    markerSeen.notify_all();
}

void LoadPlugins::drain()
{
    static const char text[] = "end of run";
    _EventParmsIn marker = dvr_event_in(kEndMarkerId, DVR_EVENT_LOG, DVR_FLAG_LOG_MESSAGE);
    marker.level = 25;
    marker.data = const_cast<char *>(text);
    marker.len = sizeof text;
    bus.post(marker);
    std::unique_lock<std::mutex> lock(markerMutex);
    markerSeen.wait(lock, [this] { return markerSightings == markerReaders; });
}

LiveViewSender::LiveViewSender(LoadTarget &bus, const Window &window)
    : bus(bus), window(window), thread([this] { run(); })
{
}

LiveViewSender::~LiveViewSender()
{
    finish();
}

void LiveViewSender::hold(void *data, Clock::time_point due)
{
    std::lock_guard<std::mutex> lock(mutex);
    held.emplace_back(due, data);
    if (held.size() == 1)
        changed.notify_one();
}

void LiveViewSender::finish()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        finishing = true;
    }
    changed.notify_one();
    if (thread.joinable())
        thread.join();
}

void LiveViewSender::run()
{
    pthread_setname_np(pthread_self(), "liveview");
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (held.empty()) {
            if (finishing)
                return;
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

}  // namespace recorder_load
