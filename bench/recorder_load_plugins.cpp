// The recorder load's four plugins, each Write measured on the delivery thread:
//   recorder   video and audio: reads the frame header, adds an index entry
//   motion     video: samples 16 bytes spread over the frame
//   log sink   log events: measures the text
//   live view  video: keeps one block in ten, released 5 ms later by a
//              sender thread, as a streaming plugin would
// and a real plugin file loaded beside them (--plugin).
#include <dlfcn.h>
#include <pthread.h>

#include <cstring>
#include <utility>

#include "plugin/dvrplugin_helpers.h"
#include "recorder_load.h"

namespace recorder_load {

const char *const kPluginNames[kPluginCount] = {"recorder", "motion", "logsink", "liveview"};

namespace {

template <class Queue>
class TargetOf : public LoadTarget {
public:
    explicit TargetOf(const char *name) : label(name) {}
    const char *name() const override { return label; }
    void addSubscriber(Subscriber subscriber) override { queue.addSubscriber(std::move(subscriber)); }
    int32_t post(const _EventParmsIn &in) override { return queue.post(in); }
    void release(void *data, uint32_t holder) override { queue.release(data, holder); }
    void runDeliveryLoop() override { queue.runDeliveryLoop(); }
    void requestStop() override { queue.requestStop(); }
    bool drained() override { return queue.drained(); }

private:
    const char *label;
    Queue queue;
};

constexpr uint32_t kRecorderId = 0x00100000u, kMotionId = 0x00110000u, kLogSinkId = 0x00120000u;
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

// Opens every Write: reads the steady clock (no system call, and the thread
// is rarely switched out in a Write this short), counts the Write, and for a
// window event records its latency (from the stamp the producer took just
// before post()) and, as the Write returns, the time inside.
class MeasuredWrite {
public:
    MeasuredWrite(WriteTally &tally, const Window &window, const _WriteParmsIn &in)
        : start(nowNs()), tally(tally)
    {
        ++tally.writes;
        const int64_t stamp = postStamp(in);
        if ((measured = window.contains(stamp)))
            tally.latency.record(start - stamp);
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

std::unique_ptr<LoadTarget> makeLoadTarget(bool bare)
{
    if (bare)
        return std::make_unique<TargetOf<BareQueue>>("bare queue");
    return std::make_unique<TargetOf<BusCore>>("dvrcore");
}

struct PluginWrites {
    static int recorder(const _WriteParmsIn *in, _WriteParmsOut *)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.tallies[kRecorder], p.window, *in);
        const FrameHeader header = frameHeader(*in);
        p.recordingIndex[p.recordedFrames++ % p.recordingIndex.size()] = {
            header.camera, header.sequence, in->len, in->frameType};
        p.recordedBytes += in->len;
        return 0;
    }

    static int motion(const _WriteParmsIn *in, _WriteParmsOut *)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.tallies[kMotion], p.window, *in);
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
        MeasuredWrite measure(p.tallies[kLogSink], p.window, *in);
        if (in->data)
            p.logBytes += strnlen(static_cast<const char *>(in->data), in->len);
        if (in->providerID == kEndMarkerId)
            p.sawEndMarker();
        return 0;
    }

    static int liveView(const _WriteParmsIn *in, _WriteParmsOut *out)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.tallies[kLiveView], p.window, *in);
        if (++p.liveFrames % kKeepEvery == 0) {
            out->keep = 1;
            ++p.keptBlocks;
            p.sender.hold(in->data, Clock::now() + kLiveViewHold);
        }
        return 0;
    }

    static int external(const _WriteParmsIn *in, _WriteParmsOut *out)
    {
        LoadPlugins &p = *activePlugins;
        MeasuredWrite measure(p.externalWrites, p.window, *in);
        const int result = p.externalWrite(in, out);
        if (in->providerID == kEndMarkerId)
            p.sawEndMarker();
        return result;
    }
};

LoadPlugins::LoadPlugins(LoadTarget &bus, const Window &window, uint32_t cameras)
    : sender(bus, window), bus(bus), window(window), motionActivity(cameras)
{
    activePlugins = this;
    bus.addSubscriber(benchSubscriber(kRecorderId, PluginWrites::recorder, "recorder.so",
                                      {DVR_SUBSCRIBE_0x1, DVR_SUBSCRIBE_0x2}));
    bus.addSubscriber(benchSubscriber(kMotionId, PluginWrites::motion, "motion.so",
                                      {DVR_SUBSCRIBE_0x1}));
    bus.addSubscriber(benchSubscriber(kLogSinkId, PluginWrites::logSink, "logsink.so",
                                      {DVR_SUBSCRIBE_0x40}));
    bus.addSubscriber(benchSubscriber(kLiveViewId, PluginWrites::liveView, "liveview.so",
                                      {DVR_SUBSCRIBE_0x1}));
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

namespace {

std::atomic<PluginFile *> activeFile{nullptr};

// An entry point taking an empty record in and out; missing: not exported.
template <typename In, typename Out>
int callEntry(int (*entry)(const In *, Out *))
{
    const In in = emptyRecord<In>();
    Out out = emptyRecord<Out>();
    return entry ? entry(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
}

}  // namespace

int routeToTarget(const _EventParmsIn *in, _EventParmsOut *out)
{
    _EventParmsOut ignored{};
    out = out ? out : &ignored;
    PluginFile *file = activeFile.load();
    if (!in || !file || in->eventType == DVR_EVENT_PARENT_PACKET ||
        in->providerID == DVR_PROVIDER_TO_CORE) {
        if (in && in->eventType == DVR_EVENT_PARENT_PACKET)
            std::free(in->data);
        out->result = DVR_RESULT_REFUSED;
    } else if (in->eventType == DVR_EVENT_RELEASE) {
        file->bus.release(in->data, in->providerID);
    } else if ((in->eventType & DVR_EVENT_LOG) && (in->flags & DVR_FLAG_LOG_QUERY)) {
        out->result = -1;
    } else if ((out->result = file->bus.post(*in)) == DVR_RESULT_OK) {
        file->logPosts += (in->eventType & DVR_EVENT_LOG) != 0;
        file->postsToItself += file->takes(in->eventType, in->flags);
    }
    return 0;
}

void PluginFile::CloseLibrary::operator()(void *handle) const
{
    dlclose(handle);
}

bool PluginFile::open(const std::string &path, LoadPlugins &plugins, std::string &error)
{
    fileName = path.substr(path.find_last_of('/') + 1);
    library.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char *reason = dlerror();
        error = reason ? reason : path + ": cannot be opened";
        return false;
    }
    auto entry = [this](const char *name) { return dlsym(library.get(), name); };
    const auto load = reinterpret_cast<DvrLoadFn>(entry("Load"));
    const auto ioctl = reinterpret_cast<DvrIoctlFn>(entry("IOCTL"));
    _LoadParmsIn in = emptyRecord<_LoadParmsIn>(DVR_LOAD_IN_VERSION);
    in.eventEntry = routeToTarget;
    loadOut = emptyRecord<_LoadParmsOut>(DVR_LOAD_OUT_VERSION);
    activeFile = this;
    if (!load || load(&in, &loadOut) != 0 || loadOut.error != 0) {
        error = fileName + ": not loaded (no Load entry point, or Load refused)";
        return false;
    }
    closeEntry = reinterpret_cast<DvrCloseFn>(entry("Close"));
    unloadEntry = reinterpret_cast<DvrUnloadFn>(entry("Unload"));
    const auto write = reinterpret_cast<DvrWriteFn>(entry("Write"));
    hasWrite = write != nullptr;
    plugins.addExternal(subscriberFrom(loadOut, write, ioctl, fileName));
    if (loadOut.wantWorkerThread && ioctl)
        worker = std::thread([ioctl] {
            pthread_setname_np(pthread_self(), "plugin worker");
            const _IoctlParmsIn in = ioctlRecord(IOCTL_RUN_WORKER);
            _IoctlParmsOut out = ioctlAnswerPreset(IOCTL_RUN_WORKER);
            ioctl(&in, &out);
        });
    callEntry(reinterpret_cast<DvrOpenFn>(entry("Open")));
    return true;
}

void PluginFile::close()
{
    callEntry(std::exchange(closeEntry, nullptr));
    if (worker.joinable())
        worker.join();
}

PluginFile::~PluginFile()
{
    close();
    callEntry(unloadEntry);
    PluginFile *self = this;
    activeFile.compare_exchange_strong(self, nullptr);
}

bool PluginFile::takes(uint32_t eventType, uint32_t flags) const
{
    return hasWrite && loadOut.writable &&
           subscriptionMatches(loadOut.subscribe, eventType, DVR_MATCH_VALUE(flags));
}

}  // namespace recorder_load
